// FLAC through libFLAC: the length from a bounded look at the file's end, where its last whole
// frame tells the sample it ends on; frames handed on in the stream's own timeline.
#include <FLAC/stream_decoder.h>

#include "libbass/core/heap.h"
#include "libbass/decoders/file_cursor.h"
#include "libbass/decoders/flac_header.h"
#include "libbass/decoders/format_reader.h"

namespace {

// FLAC's own limits: a frame of up to 8 channels, 4 to 32 bits.
constexpr int MOST_CHANNELS = 8;
constexpr int FEWEST_BITS = 4;
constexpr int MOST_BITS = 32;
// The end look reads these last stretches of the file in turn until one holds a whole frame.
// The first holds a few frames of any ordinary file; the last, the largest frame FLAC allows.
constexpr uint64_t END_WINDOWS[] = {64 * 1024, 1024 * 1024, 4 * 1024 * 1024};

struct FlacFile {
    FLAC__StreamDecoder *decoder;
    FileCursor cursor;
    PcmFormat format;
    bool probing;         // in the end look: frames are measured, not kept
    int64_t probed_end;   // the sample after the last whole frame the end look found, or -1
    int64_t next_sample;  // where the frames handed on so far end
    int64_t silence;      // a gap in the timeline before the pending frames, as silence
    int16_t *pending;     // the last frame decoded, interleaved, from pending_offset on
    int64_t pending_frames;
    int64_t pending_offset;
    int64_t pending_capacity;
};

FLAC__StreamDecoderReadStatus ReadCallback(const FLAC__StreamDecoder *, FLAC__byte buffer[],
                                           size_t *bytes, void *client)
{
    *bytes = ReadFromCursor(&static_cast<FlacFile *>(client)->cursor, buffer, *bytes);
    return *bytes == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                       : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderSeekStatus SeekCallback(const FLAC__StreamDecoder *, FLAC__uint64 offset,
                                           void *client)
{
    FileCursor *cursor = &static_cast<FlacFile *>(client)->cursor;
    if (offset > cursor->size)
        return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    cursor->position = offset;
    return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

FLAC__StreamDecoderTellStatus TellCallback(const FLAC__StreamDecoder *, FLAC__uint64 *offset,
                                           void *client)
{
    *offset = static_cast<FlacFile *>(client)->cursor.position;
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderLengthStatus LengthCallback(const FLAC__StreamDecoder *, FLAC__uint64 *length,
                                               void *client)
{
    *length = static_cast<FlacFile *>(client)->cursor.size;
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

FLAC__bool EofCallback(const FLAC__StreamDecoder *, void *client)
{
    const FileCursor &cursor = static_cast<FlacFile *>(client)->cursor;
    return cursor.position >= cursor.size;
}

void MetadataCallback(const FLAC__StreamDecoder *, const FLAC__StreamMetadata *metadata,
                      void *client)
{
    if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO)
        return;
    auto *file = static_cast<FlacFile *>(client);
    const FLAC__StreamMetadata_StreamInfo &info = metadata->data.stream_info;
    file->format = PcmFormat{static_cast<int>(info.sample_rate), static_cast<int>(info.channels)};
}

// libFLAC reports damage by skipping the frame (and filling short gaps with silence itself).
void ErrorCallback(const FLAC__StreamDecoder *, FLAC__StreamDecoderErrorStatus, void *)
{
}

int16_t ToSixteenBits(FLAC__int32 sample, int bits)
{
    // The top 16 bits of a wider sample, as a 16-bit reading of it; a narrower one scaled up.
    return static_cast<int16_t>(bits > 16 ? sample >> (bits - 16) : sample * (1 << (16 - bits)));
}

bool MakeRoom(FlacFile *file, int64_t frames)
{
    if (frames <= file->pending_capacity)
        return true;
    FreeMemory(file->pending);
    file->pending = HeapArray<int16_t>(static_cast<size_t>(frames * file->format.channels));
    file->pending_capacity = file->pending == nullptr ? 0 : frames;
    return file->pending != nullptr;
}

// Keeps the frame's samples past what was handed on already; a gap before it becomes silence.
FLAC__StreamDecoderWriteStatus Keep(FlacFile *file, const FLAC__Frame *frame,
                                    const FLAC__int32 *const planes[], int64_t first)
{
    int64_t blocksize = frame->header.blocksize;
    int64_t skip = file->next_sample > first ? file->next_sample - first : 0;
    if (skip >= blocksize)
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    if (!MakeRoom(file, blocksize - skip))
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    int channels = file->format.channels, bits = static_cast<int>(frame->header.bits_per_sample);
    int16_t *out = file->pending;
    for (int64_t i = skip; i < blocksize; i++)
        for (int channel = 0; channel < channels; channel++)
            *out++ = ToSixteenBits(planes[channel][i], bits);
    file->silence = first > file->next_sample ? first - file->next_sample : 0;
    file->pending_frames = blocksize - skip;
    file->pending_offset = 0;
    file->next_sample = first + blocksize;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

FLAC__StreamDecoderWriteStatus WriteCallback(const FLAC__StreamDecoder *, const FLAC__Frame *frame,
                                             const FLAC__int32 *const planes[], void *client)
{
    auto *file = static_cast<FlacFile *>(client);
    int bits = static_cast<int>(frame->header.bits_per_sample);
    // A frame of another layout than the stream's is damage that passed the checksums.
    if (static_cast<int>(frame->header.channels) != file->format.channels || bits < FEWEST_BITS ||
        bits > MOST_BITS)
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    auto first = static_cast<int64_t>(frame->header.number.sample_number);
    if (file->probing) {
        file->probed_end = first + frame->header.blocksize;
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }
    return Keep(file, frame, planes, first);
}

// Decodes frames from the cursor's place to the end of the file, or until the decoder gives up.
void DecodeToEnd(FlacFile *file)
{
    FLAC__StreamDecoderState state;
    while ((state = FLAC__stream_decoder_get_state(file->decoder)) !=
               FLAC__STREAM_DECODER_END_OF_STREAM &&
           state != FLAC__STREAM_DECODER_ABORTED &&
           FLAC__stream_decoder_process_single(file->decoder)) {
    }
}

// The sample after the file's last whole frame: decoded from a short stretch before its end,
// larger ones only where that holds no whole frame. -1 where none does. STREAMINFO's count is
// not taken on trust: a file cut short, or a header that lies, would have the wait and the sound
// disagree; where it is right, the last frame ends on it.
int64_t ProbeEnd(FlacFile *file, uint64_t audio_start)
{
    uint64_t size = file->cursor.size;
    file->probing = true;
    file->probed_end = -1;
    for (uint64_t window : END_WINDOWS) {
        if (audio_start >= size)
            break;
        uint64_t start = size - audio_start > window ? size - window : audio_start;
        if (!FLAC__stream_decoder_flush(file->decoder))
            break;
        file->cursor.position = start;
        DecodeToEnd(file);
        if (file->probed_end >= 0 || start == audio_start)
            break;
    }
    file->probing = false;
    return file->probed_end;
}

bool BeginsAsFlac(InputFile *input)
{
    uint8_t *head = HeapArray<uint8_t>(FLAC_HEAD_BYTES);
    FlacStreamInfo info = {};
    bool flac = head != nullptr &&
                ReadFlacStreamInfo(head, ReadInputFile(input, 0, head, FLAC_HEAD_BYTES), &info);
    FreeMemory(head);
    return flac;
}

bool StartDecoder(FlacFile *file)
{
    file->decoder = FLAC__stream_decoder_new();
    return file->decoder != nullptr &&
           FLAC__stream_decoder_init_stream(file->decoder, ReadCallback, SeekCallback, TellCallback,
                                            LengthCallback, EofCallback, WriteCallback,
                                            MetadataCallback, ErrorCallback,
                                            file) == FLAC__STREAM_DECODER_INIT_STATUS_OK &&
           FLAC__stream_decoder_process_until_end_of_metadata(file->decoder);
}

// Measures the stream and goes back to its first frame.
bool Measure(FlacFile *file, int64_t *frames)
{
    FLAC__uint64 audio_start = 0;
    if (file->format.rate <= 0 || file->format.channels < 1 ||
        file->format.channels > MOST_CHANNELS ||
        !FLAC__stream_decoder_get_decode_position(file->decoder, &audio_start))
        return false;
    *frames = ProbeEnd(file, audio_start);
    if (*frames <= 0 || !FLAC__stream_decoder_flush(file->decoder))
        return false;
    file->cursor.position = audio_start;
    return true;
}

void Close(void *state)
{
    auto *file = static_cast<FlacFile *>(state);
    if (file->decoder != nullptr)
        FLAC__stream_decoder_delete(file->decoder);
    FreeMemory(file->pending);
    HeapDelete(file);
}

void *Open(InputFile *input, const char *, SoundFileInfo *info)
{
    auto *file = BeginsAsFlac(input) ? HeapNew<FlacFile>() : nullptr;
    if (file == nullptr)
        return nullptr;
    file->cursor = CursorAtStart(input);
    int64_t frames = 0;
    if (!StartDecoder(file) || !Measure(file, &frames)) {
        Close(file);
        return nullptr;
    }
    *info = SoundFileInfo{file->format, frames};
    return file;
}

// Hands on what is pending: first the silence of a gap, then the frame's samples.
int64_t TakePending(FlacFile *file, int16_t *samples, int64_t frames)
{
    int channels = file->format.channels;
    if (file->silence > 0) {
        int64_t count = frames < file->silence ? frames : file->silence;
        for (int64_t i = 0; i < count * channels; i++)
            samples[i] = 0;
        file->silence -= count;
        return count;
    }
    int64_t left = file->pending_frames - file->pending_offset;
    int64_t count = frames < left ? frames : left;
    const int16_t *from = file->pending + file->pending_offset * channels;
    for (int64_t i = 0; i < count * channels; i++)
        samples[i] = from[i];
    file->pending_offset += count;
    return count;
}

bool HasPending(const FlacFile *file)
{
    return file->silence > 0 || file->pending_offset < file->pending_frames;
}

int64_t Read(void *state, int16_t *samples, int64_t frames)
{
    auto *file = static_cast<FlacFile *>(state);
    int64_t done = 0;
    while (done < frames) {
        if (HasPending(file)) {
            done += TakePending(file, samples + done * file->format.channels, frames - done);
            continue;
        }
        FLAC__StreamDecoderState decoder_state = FLAC__stream_decoder_get_state(file->decoder);
        if (decoder_state == FLAC__STREAM_DECODER_END_OF_STREAM ||
            decoder_state == FLAC__STREAM_DECODER_ABORTED ||
            !FLAC__stream_decoder_process_single(file->decoder))
            break;
    }
    return done;
}

}  // namespace

const FormatReader FLAC_READER = {Open, Read, Close};
