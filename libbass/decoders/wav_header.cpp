// ReadWavLayout: the RIFF chunk walk to the format and data chunks, and the checks on the format.
#include "libbass/decoders/wav_header.h"

#include <string.h>

namespace {

constexpr uint16_t FORMAT_PCM = 1;
constexpr uint16_t FORMAT_FLOAT = 3;
constexpr uint16_t FORMAT_EXTENSIBLE = 0xFFFE;
constexpr size_t RIFF_HEADER_BYTES = 12;
constexpr size_t CHUNK_HEADER_BYTES = 8;
constexpr size_t PLAIN_FORMAT_BYTES = 16;
constexpr size_t EXTENSIBLE_FORMAT_BYTES = 40;
constexpr uint32_t SIZE_UNKNOWN = 0xFFFFFFFF;  // written by recorders that could not seek back
// Files put the data chunk within the first few chunks; a walk this long is not a sound file.
constexpr int MOST_CHUNKS = 256;
// The sub-format GUID of an extensible format is the plain tag followed by these bytes.
constexpr uint8_t SUBFORMAT_TAIL[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t Read16(const uint8_t *bytes)
{
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

uint32_t Read32(const uint8_t *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// The plain tag a format chunk stands for: an extensible one names it in its sub-format.
bool FormatTag(const uint8_t *chunk, uint32_t size, uint16_t *tag)
{
    *tag = Read16(chunk);
    if (*tag != FORMAT_EXTENSIBLE)
        return true;
    if (size < EXTENSIBLE_FORMAT_BYTES || memcmp(chunk + 26, SUBFORMAT_TAIL, 14) != 0)
        return false;
    *tag = Read16(chunk + 24);
    return true;
}

bool EncodingOf(uint16_t tag, int bits, SampleEncoding *encoding)
{
    if (tag == FORMAT_PCM && bits == 8)
        *encoding = SampleEncoding::U8;
    else if (tag == FORMAT_PCM && bits == 16)
        *encoding = SampleEncoding::S16;
    else if (tag == FORMAT_PCM && bits == 24)
        *encoding = SampleEncoding::S24;
    else if (tag == FORMAT_PCM && bits == 32)
        *encoding = SampleEncoding::S32;
    else if (tag == FORMAT_FLOAT && bits == 32)
        *encoding = SampleEncoding::F32;
    else if (tag == FORMAT_FLOAT && bits == 64)
        *encoding = SampleEncoding::F64;
    else
        return false;
    return true;
}

bool ReadFormat(const ChunkWalk &walk, uint64_t offset, uint32_t size, PcmLayout *layout)
{
    uint8_t chunk[EXTENSIBLE_FORMAT_BYTES] = {};
    if (size < PLAIN_FORMAT_BYTES)
        return false;
    size_t wanted = size < sizeof chunk ? size : sizeof chunk;
    uint16_t tag = 0;
    if (!ReadExactly(walk, offset, chunk, wanted) || !FormatTag(chunk, size, &tag))
        return false;
    int channels = Read16(chunk + 2);
    uint32_t rate = Read32(chunk + 4);
    int block_align = Read16(chunk + 12);
    int bits = Read16(chunk + 14);
    if (channels < 1 || channels > PCM_MOST_CHANNELS || rate < 1 || rate > PCM_HIGHEST_RATE ||
        !EncodingOf(tag, bits, &layout->encoding) || block_align != channels * bits / 8)
        return false;
    layout->format = PcmFormat{static_cast<int>(rate), channels};
    layout->frame_bytes = block_align;
    return true;
}

void PlaceData(const ChunkWalk &walk, uint64_t offset, uint32_t size, PcmLayout *layout)
{
    uint64_t claimed = size == SIZE_UNKNOWN ? UINT64_MAX : size;
    layout->data_offset = offset;
    layout->frames = WholeFramesPresent(offset, claimed, walk.file_size, layout->frame_bytes);
}

}  // namespace

bool ReadWavLayout(ReadAtFunction read_at, void *file, uint64_t file_size, PcmLayout *layout)
{
    ChunkWalk walk{read_at, file, file_size};
    uint8_t header[RIFF_HEADER_BYTES];
    if (!ReadExactly(walk, 0, header, sizeof header) || memcmp(header, "RIFF", 4) != 0 ||
        memcmp(header + 8, "WAVE", 4) != 0)
        return false;
    bool have_format = false;
    uint64_t offset = RIFF_HEADER_BYTES;
    for (int chunks = 0; chunks < MOST_CHUNKS; chunks++) {
        uint8_t chunk[CHUNK_HEADER_BYTES];
        if (!ReadExactly(walk, offset, chunk, sizeof chunk))
            return false;
        uint32_t size = Read32(chunk + 4);
        uint64_t body = offset + CHUNK_HEADER_BYTES;
        if (memcmp(chunk, "fmt ", 4) == 0) {
            if (have_format || !ReadFormat(walk, body, size, layout))
                return false;
            have_format = true;
        } else if (memcmp(chunk, "data", 4) == 0) {
            if (!have_format)
                return false;
            PlaceData(walk, body, size, layout);
            return true;
        }
        // Chunk bodies are padded to an even length.
        offset = body + size + (size & 1);
    }
    return false;
}
