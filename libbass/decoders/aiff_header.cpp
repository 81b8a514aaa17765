// ReadAiffLayout: the FORM chunk walk to COMM and SSND, the 80-bit rate and the AIFF-C codings.
#include "libbass/decoders/aiff_header.h"

#include <string.h>

namespace {

constexpr size_t FORM_HEADER_BYTES = 12;
constexpr size_t CHUNK_HEADER_BYTES = 8;
constexpr size_t PLAIN_COMM_BYTES = 18;
constexpr size_t COMPRESSED_COMM_BYTES = 22;  // and the compression's name, not needed
constexpr size_t SOUND_HEADER_BYTES = 8;      // SSND: offset and block size before the samples
// Files put COMM and SSND within the first few chunks; a walk this long is not a sound file.
constexpr int MOST_CHUNKS = 256;
constexpr int EXTENDED_BIAS = 16383;
constexpr int MANTISSA_BITS = 63;  // below the explicit integer bit

uint16_t Read16(const uint8_t *bytes)
{
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

uint32_t Read32(const uint8_t *bytes)
{
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

// Plain AIFF and AIFF-C's "NONE" and "twos": big-endian two's complement, left-justified in
// whole bytes, so any width from 1 to 32 bits reads as its bytes' width.
bool BigEndianPcm(int bits, SampleEncoding *encoding)
{
    constexpr SampleEncoding BY_BYTES[] = {SampleEncoding::S8, SampleEncoding::S16_BE,
                                           SampleEncoding::S24_BE, SampleEncoding::S32_BE};
    if (bits < 1 || bits > 32)
        return false;
    *encoding = BY_BYTES[(bits + 7) / 8 - 1];
    return true;
}

bool LittleEndianPcm(int bits, SampleEncoding *encoding)
{
    constexpr SampleEncoding BY_BYTES[] = {SampleEncoding::S8, SampleEncoding::S16,
                                           SampleEncoding::S24, SampleEncoding::S32};
    if (bits < 1 || bits > 32)
        return false;
    *encoding = BY_BYTES[(bits + 7) / 8 - 1];
    return true;
}

// The uncompressed codings of AIFF-C, by their four-character type.
bool CompressedEncoding(const uint8_t *type, int bits, SampleEncoding *encoding)
{
    struct Fixed {
        const char *type;
        SampleEncoding encoding;
    };
    constexpr Fixed FIXED[] = {
        {"raw ", SampleEncoding::U8},     {"fl32", SampleEncoding::F32_BE},
        {"FL32", SampleEncoding::F32_BE}, {"fl64", SampleEncoding::F64_BE},
        {"FL64", SampleEncoding::F64_BE}, {"in24", SampleEncoding::S24_BE},
        {"in32", SampleEncoding::S32_BE}, {"23ni", SampleEncoding::S24},
        {"42ni", SampleEncoding::S32},
    };
    if (memcmp(type, "NONE", 4) == 0 || memcmp(type, "twos", 4) == 0)
        return BigEndianPcm(bits, encoding);
    if (memcmp(type, "sowt", 4) == 0)
        return LittleEndianPcm(bits, encoding);
    for (const Fixed &fixed : FIXED) {
        if (memcmp(type, fixed.type, 4) == 0) {
            *encoding = fixed.encoding;
            return true;
        }
    }
    return false;
}

struct Comm {
    int channels;
    uint32_t frames;
    uint32_t rate;
    SampleEncoding encoding;
};

bool ReadComm(const ChunkWalk &walk, uint64_t offset, uint32_t size, bool compressed, Comm *comm)
{
    uint8_t chunk[COMPRESSED_COMM_BYTES] = {};
    size_t needed = compressed ? COMPRESSED_COMM_BYTES : PLAIN_COMM_BYTES;
    if (size < needed || !ReadExactly(walk, offset, chunk, needed))
        return false;
    comm->channels = Read16(chunk);
    comm->frames = Read32(chunk + 2);
    int bits = Read16(chunk + 6);
    comm->rate = ReadExtendedRate(chunk + 8);
    bool known = compressed ? CompressedEncoding(chunk + 18, bits, &comm->encoding)
                            : BigEndianPcm(bits, &comm->encoding);
    return known && comm->channels >= 1 && comm->channels <= PCM_MOST_CHANNELS && comm->rate >= 1 &&
           comm->rate <= PCM_HIGHEST_RATE;
}

// Where SSND's samples begin: past its header and the offset it declares.
bool ReadSoundStart(const ChunkWalk &walk, uint64_t body, uint32_t size, uint64_t *start,
                    uint64_t *bytes)
{
    uint8_t header[SOUND_HEADER_BYTES];
    if (size < SOUND_HEADER_BYTES || !ReadExactly(walk, body, header, sizeof header))
        return false;
    uint32_t offset = Read32(header);
    if (offset > size - SOUND_HEADER_BYTES)
        return false;
    // A chunk that claims more than the file holds may also place its samples past the end:
    // such a file has no samples to give.
    if (body + SOUND_HEADER_BYTES + offset > walk.file_size)
        return false;
    *start = body + SOUND_HEADER_BYTES + offset;
    *bytes = size - SOUND_HEADER_BYTES - offset;
    return true;
}

void PlaceSamples(const ChunkWalk &walk, const Comm &comm, uint64_t start, uint64_t bytes,
                  PcmLayout *layout)
{
    int frame_bytes = comm.channels * BytesPerSample(comm.encoding);
    int64_t present = WholeFramesPresent(start, bytes, walk.file_size, frame_bytes);
    *layout =
        PcmLayout{PcmFormat{static_cast<int>(comm.rate), comm.channels}, comm.encoding, frame_bytes,
                  start, present < comm.frames ? present : static_cast<int64_t>(comm.frames)};
}

}  // namespace

uint32_t ReadExtendedRate(const uint8_t bytes[10])
{
    int exponent = Read16(bytes) & 0x7FFF;
    uint64_t mantissa = static_cast<uint64_t>(Read32(bytes + 2)) << 32 | Read32(bytes + 6);
    int shift = EXTENDED_BIAS + MANTISSA_BITS - exponent;
    if ((bytes[0] & 0x80) != 0 || shift < 1 || shift > MANTISSA_BITS)
        return 0;
    // Rounded to the nearest hertz, a half going up, without overflowing the mantissa.
    uint64_t rate = ((mantissa >> (shift - 1)) + 1) >> 1;
    return rate > PCM_HIGHEST_RATE ? 0 : static_cast<uint32_t>(rate);
}

bool ReadAiffLayout(ReadAtFunction read_at, void *file, uint64_t file_size, PcmLayout *layout)
{
    ChunkWalk walk{read_at, file, file_size};
    uint8_t header[FORM_HEADER_BYTES];
    if (!ReadExactly(walk, 0, header, sizeof header) || memcmp(header, "FORM", 4) != 0)
        return false;
    bool compressed = memcmp(header + 8, "AIFC", 4) == 0;
    if (!compressed && memcmp(header + 8, "AIFF", 4) != 0)
        return false;
    Comm comm = {};
    bool have_comm = false, have_sound = false;
    uint64_t start = 0, bytes = 0;
    uint64_t offset = FORM_HEADER_BYTES;
    // Unlike WAVE, the chunks may come in any order: the walk goes on until it has both.
    for (int chunks = 0; chunks < MOST_CHUNKS && !(have_comm && have_sound); chunks++) {
        uint8_t chunk[CHUNK_HEADER_BYTES];
        if (!ReadExactly(walk, offset, chunk, sizeof chunk))
            return false;
        uint32_t size = Read32(chunk + 4);
        uint64_t body = offset + CHUNK_HEADER_BYTES;
        if (memcmp(chunk, "COMM", 4) == 0) {
            if (have_comm || !ReadComm(walk, body, size, compressed, &comm))
                return false;
            have_comm = true;
        } else if (memcmp(chunk, "SSND", 4) == 0) {
            if (have_sound || !ReadSoundStart(walk, body, size, &start, &bytes))
                return false;
            have_sound = true;
        }
        // Chunk bodies are padded to an even length.
        offset = body + size + (size & 1);
    }
    if (!have_comm || !have_sound)
        return false;
    PlaceSamples(walk, comm, start, bytes, layout);
    return true;
}
