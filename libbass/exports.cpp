// The seven exported calls: argument checks, the stream table and the device, over the subsystems.
#include <pthread.h>

#include "libbass/heap.h"
#include "libbass/playback.h"
#include "libbass/pulse_output.h"
#include "libbass/stream.h"
#include "libbass/stream_table.h"

// The library is built with hidden visibility: these seven declarations, and only they, are public.
#pragma GCC visibility push(default)
#include "platform/bass_api.h"
#pragma GCC visibility pop

namespace {

constexpr QWORD LENGTH_ERROR = ~static_cast<QWORD>(0);
constexpr int NO_SOUND_DEVICE = 0;
constexpr int FIRST_DEVICE = 1;
constexpr int DEFAULT_DEVICE = -1;

enum class Device { NONE, NO_SOUND, DEFAULT_SINK };

// The calls may come from any thread; one at a time keeps the table and the streams consistent.
pthread_mutex_t api_lock = PTHREAD_MUTEX_INITIALIZER;
Device device = Device::NONE;

class ApiLock {
  public:
    ApiLock()
    {
        pthread_mutex_lock(&api_lock);
    }
    ~ApiLock()
    {
        pthread_mutex_unlock(&api_lock);
    }
};

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

// At exit the program may still hold playing streams: stop the loop thread before anything it
// touches goes away, then free the streams and the connection.
__attribute__((destructor)) void ShutDown()
{
    HaltOutputThread();
    while (Stream *stream = RemoveAnyStream()) {
        if (stream->playback != nullptr)
            AbandonPlayback(stream->playback);
        DeleteStream(stream);
    }
    CloseOutput();
}

}  // namespace

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
    device = Device::DEFAULT_SINK;
    return StartConnecting();
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
