// ReadFlacStreamInfo: past an ID3v2 tag to "fLaC" and its first metadata block.
#include "libbass/decoders/flac_header.h"

#include <string.h>

namespace {

constexpr size_t ID3_HEADER_BYTES = 10;
constexpr uint8_t ID3_FOOTER_FLAG = 0x10;
constexpr size_t MARKER_BYTES = 4;
constexpr size_t BLOCK_HEADER_BYTES = 4;
constexpr size_t STREAMINFO_BYTES = 34;
constexpr uint8_t STREAMINFO_TYPE = 0;

// Where the FLAC stream begins: after an ID3v2 tag, whose size is stored seven bits a byte.
size_t StreamStart(const uint8_t *head, size_t bytes)
{
    if (bytes < ID3_HEADER_BYTES || memcmp(head, "ID3", 3) != 0)
        return 0;
    size_t size = 0;
    for (int i = 6; i < 10; i++)
        size = size << 7 | (head[i] & 0x7F);
    size_t footer = (head[5] & ID3_FOOTER_FLAG) != 0 ? ID3_HEADER_BYTES : 0;
    return ID3_HEADER_BYTES + size + footer;
}

}  // namespace

bool ReadFlacStreamInfo(const uint8_t *head, size_t bytes, FlacStreamInfo *info)
{
    size_t start = StreamStart(head, bytes);
    size_t needed = MARKER_BYTES + BLOCK_HEADER_BYTES + STREAMINFO_BYTES;
    if (start > bytes || bytes - start < needed || memcmp(head + start, "fLaC", 4) != 0)
        return false;
    const uint8_t *block = head + start + MARKER_BYTES;
    size_t length = static_cast<size_t>(block[1]) << 16 | block[2] << 8 | block[3];
    if ((block[0] & 0x7F) != STREAMINFO_TYPE || length < STREAMINFO_BYTES)
        return false;
    // Bytes 10 to 17 of the block: rate (20 bits), channels - 1 (3), bits - 1 (5), frames (36).
    const uint8_t *fields = block + BLOCK_HEADER_BYTES + 10;
    uint64_t packed = 0;
    for (int i = 0; i < 8; i++)
        packed = packed << 8 | fields[i];
    int rate = static_cast<int>(packed >> 44);
    int channels = static_cast<int>((packed >> 41) & 0x7) + 1;
    if (rate == 0)
        return false;
    info->format = PcmFormat{rate, channels};
    info->frames = static_cast<int64_t>(packed & 0xFFFFFFFFFULL);
    return true;
}
