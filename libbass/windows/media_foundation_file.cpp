// The system's own decoding on Windows: Media Foundation, loaded only when a file needs it, for
// what the shared decoders leave (AAC and M4A, WMA, ALAC, ADPCM WAVE ...). An IMFSourceReader
// on the file's first audio stream gives 16-bit PCM at the file's own rate and channels; the
// length is its duration.
#include "libbass/core/heap.h"
#include "libbass/decoders/format_reader.h"
#include "libbass/windows/ansi_path.h"
#include "libbass/windows/media_foundation.h"

struct MediaFoundationFile {
    IMFSourceReader *reader;
    int channels;
    // The part of the last sample the reader gave that is not yet handed on, locked meanwhile.
    IMFMediaBuffer *pending;
    BYTE *pending_bytes;
    DWORD pending_length;
    DWORD pending_offset;
    bool ended;
};

namespace {

constexpr DWORD AUDIO = static_cast<DWORD>(MF_SOURCE_READER_FIRST_AUDIO_STREAM);
constexpr DWORD EVERY_STREAM = static_cast<DWORD>(MF_SOURCE_READER_ALL_STREAMS);
constexpr DWORD MEDIA_SOURCE = static_cast<DWORD>(MF_SOURCE_READER_MEDIASOURCE);

template <typename T> void Release(T *&object)
{
    if (object != nullptr)
        object->Release();
    object = nullptr;
}

// Asks for 16-bit PCM and leaves rate and channels as the file has them.
bool AskForPcm16(IMFSourceReader *reader)
{
    IMFMediaType *wanted = nullptr;
    bool asked = SUCCEEDED(MediaFoundation().create_media_type(&wanted)) &&
                 SUCCEEDED(wanted->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio)) &&
                 SUCCEEDED(wanted->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM)) &&
                 SUCCEEDED(wanted->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16)) &&
                 SUCCEEDED(reader->SetStreamSelection(EVERY_STREAM, FALSE)) &&
                 SUCCEEDED(reader->SetStreamSelection(AUDIO, TRUE)) &&
                 SUCCEEDED(reader->SetCurrentMediaType(AUDIO, nullptr, wanted));
    Release(wanted);
    return asked;
}

bool ReadPcmFormat(IMFSourceReader *reader, PcmFormat *format)
{
    IMFMediaType *given = nullptr;
    UINT32 rate = 0, channels = 0, bits = 0;
    GUID subtype = {};
    bool read = SUCCEEDED(reader->GetCurrentMediaType(AUDIO, &given)) &&
                SUCCEEDED(given->GetGUID(MF_MT_SUBTYPE, &subtype)) &&
                SUCCEEDED(given->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &rate)) &&
                SUCCEEDED(given->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels)) &&
                SUCCEEDED(given->GetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, &bits));
    Release(given);
    if (!read || subtype != MFAudioFormat_PCM || bits != 16 || rate == 0 || channels == 0 ||
        rate > 0x7FFFFFFF || channels > 0x7FFF)
        return false;
    *format = PcmFormat{static_cast<int>(rate), static_cast<int>(channels)};
    return true;
}

// The media's duration, in units of 100 ns.
bool ReadDuration(IMFSourceReader *reader, uint64_t *duration)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    bool read = SUCCEEDED(reader->GetPresentationAttribute(MEDIA_SOURCE, MF_PD_DURATION, &value)) &&
                value.vt == VT_UI8;
    if (read)
        *duration = value.uhVal.QuadPart;
    PropVariantClear(&value);
    return read;
}

IMFSourceReader *OpenReader(const char *path)
{
    wchar_t *wide = WidePathFromAnsi(path);
    IMFSourceReader *reader = nullptr;
    if (wide == nullptr || FAILED(MediaFoundation().create_source_reader(wide, nullptr, &reader)))
        reader = nullptr;
    FreeMemory(wide);
    return reader;
}

void DropPending(MediaFoundationFile *file)
{
    if (file->pending == nullptr)
        return;
    file->pending->Unlock();
    Release(file->pending);
    file->pending_bytes = nullptr;
    file->pending_length = file->pending_offset = 0;
}

// Takes the reader's next sample as the pending bytes; false at the end of the stream.
bool TakeNextSample(MediaFoundationFile *file)
{
    DropPending(file);
    while (!file->ended) {
        DWORD stream = 0, flags = 0;
        LONGLONG timestamp = 0;
        IMFSample *sample = nullptr;
        HRESULT read = file->reader->ReadSample(AUDIO, 0, &stream, &flags, &timestamp, &sample);
        // A change of format mid-stream would need a conversion this library does not make.
        if (FAILED(read) || (flags & (MF_SOURCE_READERF_ENDOFSTREAM | MF_SOURCE_READERF_ERROR |
                                      MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED)) != 0)
            file->ended = true;
        IMFMediaBuffer *buffer = nullptr;
        bool taken = sample != nullptr && !file->ended &&
                     SUCCEEDED(sample->ConvertToContiguousBuffer(&buffer)) &&
                     SUCCEEDED(buffer->Lock(&file->pending_bytes, nullptr, &file->pending_length));
        Release(sample);
        if (taken) {
            file->pending = buffer;
            return true;
        }
        Release(buffer);
    }
    return false;
}

// The file at `path` (8-bit, ANSI code page); nullptr if Media Foundation is missing or
// refuses the file.
void *OpenMediaFoundationFile(InputFile *, const char *path, SoundFileInfo *info)
{
    if (!StartMediaFoundation())
        return nullptr;
    IMFSourceReader *reader = OpenReader(path);
    PcmFormat format = {};
    uint64_t duration = 0;
    if (reader == nullptr || !AskForPcm16(reader) || !ReadPcmFormat(reader, &format) ||
        !ReadDuration(reader, &duration)) {
        Release(reader);
        return nullptr;
    }
    int64_t frames = FramesInDuration(duration, format.rate);
    auto *file = HeapNew<MediaFoundationFile>();
    if (file == nullptr) {
        Release(reader);
        return nullptr;
    }
    file->reader = reader;
    file->channels = format.channels;
    *info = SoundFileInfo{format, frames};
    return file;
}

int64_t ReadMediaFoundationFile(void *state, int16_t *samples, int64_t frames)
{
    auto *file = static_cast<MediaFoundationFile *>(state);
    const DWORD frame_bytes = static_cast<DWORD>(file->channels) * BYTES_PER_SAMPLE;
    int64_t done = 0;
    while (done < frames) {
        if (file->pending_length - file->pending_offset < frame_bytes && !TakeNextSample(file))
            break;
        DWORD whole = (file->pending_length - file->pending_offset) / frame_bytes;
        int64_t count = frames - done < whole ? frames - done : whole;
        const BYTE *from = file->pending_bytes + file->pending_offset;
        auto *to = reinterpret_cast<BYTE *>(samples + done * file->channels);
        for (int64_t i = 0; i < count * frame_bytes; i++)
            to[i] = from[i];
        file->pending_offset += static_cast<DWORD>(count) * frame_bytes;
        done += count;
    }
    return done;
}

void CloseMediaFoundationFile(void *state)
{
    auto *file = static_cast<MediaFoundationFile *>(state);
    DropPending(file);
    Release(file->reader);
    HeapDelete(file);
}

}  // namespace

const FormatReader SYSTEM_READER = {OpenMediaFoundationFile, ReadMediaFoundationFile,
                                    CloseMediaFoundationFile};
