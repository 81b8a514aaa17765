// The seven exported calls: argument checks, the stream table and the device, over the subsystems.
#include "libbass/core/exports.h"

#include "libbass/core/api_lock.h"
#include "libbass/core/heap.h"
#include "libbass/core/output_device.h"
#include "libbass/core/playback.h"
#include "libbass/core/stream.h"
#include "libbass/core/stream_table.h"
#include "platform/bass_api.h"

namespace {

constexpr QWORD LENGTH_ERROR = ~static_cast<QWORD>(0);
constexpr int NO_SOUND_DEVICE = 0;
constexpr int FIRST_DEVICE = 1;
constexpr int DEFAULT_DEVICE = -1;

enum class Device { NONE, NO_SOUND, DEFAULT_OUTPUT };

// The calls may come from any thread; ApiLock makes them take turns, which keeps the table and
// the streams consistent.
Device device = Device::NONE;

bool HasFrames(const Stream *stream)
{
    return stream->decoder->Frames() > 0 && !stream->decoder->AtEnd();
}

void StopStream(uint32_t handle, Stream *stream)
{
    if (stream->playback != nullptr) {
        FinishPlayback(stream->playback);
        stream->playback = nullptr;
    }
    if (stream->free_when_stopped)
        DeleteStream(RemoveStream(handle));
}

}  // namespace

void ShutDownLibrary()
{
    HaltOutputDevice();
    while (Stream *stream = RemoveAnyStream()) {
        if (stream->playback != nullptr)
            AbandonPlayback(stream->playback);
        DeleteStream(stream);
    }
    CloseOutputDevice();
}

BOOL WINAPI BASS_Init(int device_number, DWORD, DWORD, HWND, const void *)
{
    ApiLock lock;
    if (device != Device::NONE)
        return false;
    if (device_number == NO_SOUND_DEVICE) {
        device = Device::NO_SOUND;
        return true;
    }
    if (device_number != FIRST_DEVICE && device_number != DEFAULT_DEVICE)
        return false;
    device = Device::DEFAULT_OUTPUT;
    return OpenOutputDevice();
}

HSTREAM WINAPI BASS_StreamCreateFile(BOOL mem, const void *file, QWORD offset, QWORD length,
                                     DWORD flags)
{
    ApiLock lock;
    if (device == Device::NONE || mem || file == nullptr || offset != 0 || length != 0)
        return 0;
    Decoder *decoder = Decoder::Open(static_cast<const char *>(file));
    if (decoder == nullptr)
        return 0;
    auto *stream = HeapNew<Stream>();
    if (stream == nullptr) {
        HeapDelete(decoder);
        return 0;
    }
    stream->decoder = decoder;
    stream->free_when_stopped = (flags & BASS_STREAM_AUTOFREE) != 0;
    HSTREAM handle = AddStream(stream);
    if (handle == 0)
        DeleteStream(stream);
    return handle;
}

QWORD WINAPI BASS_ChannelGetLength(DWORD handle, DWORD mode)
{
    ApiLock lock;
    Stream *stream = FindStream(handle);
    if (stream == nullptr || mode != BASS_POS_BYTE)
        return LENGTH_ERROR;
    return FramesToBytes(stream->decoder->Format(), stream->decoder->Frames());
}

double WINAPI BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos)
{
    ApiLock lock;
    Stream *stream = FindStream(handle);
    if (stream == nullptr)
        return 0.0;
    return BytesToSeconds(stream->decoder->Format(), pos);
}

BOOL WINAPI BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value)
{
    ApiLock lock;
    Stream *stream = FindStream(handle);
    float gain = UNITY_GAIN;
    if (stream == nullptr || attrib != BASS_ATTRIB_VOL || !ClampVolume(value, &gain))
        return false;
    stream->gain.store(gain, std::memory_order_relaxed);
    return true;
}

BOOL WINAPI BASS_ChannelPlay(DWORD handle, BOOL)
{
    ApiLock lock;
    Stream *stream = FindStream(handle);
    if (stream == nullptr)
        return false;
    if (stream->playback != nullptr || device == Device::NO_SOUND || !HasFrames(stream))
        return true;
    stream->playback = StartPlayback(stream->decoder->Format(), StreamSource(stream));
    return stream->playback != nullptr;
}

BOOL WINAPI BASS_ChannelStop(DWORD handle)
{
    ApiLock lock;
    Stream *stream = FindStream(handle);
    if (stream == nullptr)
        return false;
    StopStream(handle, stream);
    return true;
}
