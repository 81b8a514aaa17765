// ReadMp3Structure: the frame header tables, the tags at either end, the Xing/LAME tag, the walk.
#include "libbass/decoders/mp3_structure.h"

#include <string.h>

#include "libbass/core/heap.h"

namespace {

constexpr size_t WINDOW_BYTES = 65536;
constexpr size_t HEADER_BYTES = 4;
constexpr size_t ID3V2_HEADER_BYTES = 10;
constexpr uint64_t ID3V1_BYTES = 128;
constexpr uint64_t APE_FOOTER_BYTES = 32;
constexpr uint32_t APE_HAS_HEADER = 0x80000000u;
constexpr int MOST_ID3V2_TAGS = 8;
constexpr uint32_t XING_FRAMES = 0x1, XING_BYTES = 0x2, XING_TOC = 0x4, XING_QUALITY = 0x8;
constexpr size_t XING_TOC_BYTES = 100;
constexpr size_t VBRI_OFFSET = 36;

// Bit rates in kbit/s by [MPEG-1 or not][layer - 1][index]; 0 is free format, 15 no rate.
constexpr int BIT_RATES[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
};
constexpr int MPEG1_RATES[3] = {44100, 48000, 32000};

enum class Version { MPEG1, MPEG2, MPEG25 };

struct FrameHeader {
    Version version;
    int layer;
    int rate;
    int channels;
    int bytes;
    int samples;
    int side_info_bytes;  // of layer III, where an Xing or Info tag follows it
};

uint32_t BigEndian32(const uint8_t *bytes)
{
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

uint32_t LittleEndian32(const uint8_t *bytes)
{
    return static_cast<uint32_t>(bytes[3]) << 24 | static_cast<uint32_t>(bytes[2]) << 16 |
           static_cast<uint32_t>(bytes[1]) << 8 | bytes[0];
}

int FrameBytes(Version version, int layer, int kbits, int rate, int pad)
{
    int bits_per_second = kbits * 1000;
    if (layer == 1)
        return (12 * bits_per_second / rate + pad) * 4;
    if (layer == 3 && version != Version::MPEG1)
        return 72 * bits_per_second / rate + pad;
    return 144 * bits_per_second / rate + pad;
}

int SamplesPerFrame(Version version, int layer)
{
    if (layer == 1)
        return 384;
    return layer == 3 && version != Version::MPEG1 ? 576 : 1152;
}

int SideInfoBytes(Version version, int channels)
{
    if (version == Version::MPEG1)
        return channels == 1 ? 17 : 32;
    return channels == 1 ? 9 : 17;
}

bool ParseHeader(const uint8_t *bytes, FrameHeader *header)
{
    uint32_t word = BigEndian32(bytes);
    uint32_t version_bits = word >> 19 & 3, layer_bits = word >> 17 & 3;
    uint32_t rate_index = word >> 12 & 15, rate_bits = word >> 10 & 3, emphasis = word & 3;
    // Free format (rate index 0) has no frame size in its header: it is not read here.
    if ((word & 0xFFE00000u) != 0xFFE00000u || version_bits == 1 || layer_bits == 0 ||
        rate_index == 0 || rate_index == 15 || rate_bits == 3 || emphasis == 2)
        return false;
    Version version = version_bits == 3 ? Version::MPEG1
                      : version_bits == 2 ? Version::MPEG2
                                          : Version::MPEG25;
    int layer = 4 - static_cast<int>(layer_bits);
    int divisor = version == Version::MPEG1 ? 1 : version == Version::MPEG2 ? 2 : 4;
    int rate = MPEG1_RATES[rate_bits] / divisor;
    int kbits = BIT_RATES[version == Version::MPEG1 ? 0 : 1][layer - 1][rate_index];
    int channels = (word >> 6 & 3) == 3 ? 1 : 2;
    int pad = static_cast<int>(word >> 9 & 1);
    *header = FrameHeader{version,
                          layer,
                          rate,
                          channels,
                          FrameBytes(version, layer, kbits, rate, pad),
                          SamplesPerFrame(version, layer),
                          SideInfoBytes(version, channels)};
    return true;
}

bool SameStream(const FrameHeader &a, const FrameHeader &b)
{
    return a.version == b.version && a.layer == b.layer && a.rate == b.rate &&
           a.channels == b.channels;
}

// The file seen through one window of it at a time, so that a walk over every frame header of
// an hour of sound costs a few hundred reads, not one for each frame.
struct Window {
    ReadAtFunction read_at;
    void *file;
    uint64_t size;
    uint64_t start;
    size_t length;
    uint8_t bytes[WINDOW_BYTES];

    // `count` bytes at `offset`, or nullptr if the file holds fewer.
    const uint8_t *At(uint64_t offset, size_t count)
    {
        if (offset >= start && offset + count <= start + length)
            return bytes + (offset - start);
        if (count > WINDOW_BYTES || offset > size || size - offset < count)
            return nullptr;
        start = offset;
        length = read_at(file, offset, bytes, WINDOW_BYTES);
        return length >= count ? bytes : nullptr;
    }
};

// Where the audio lies: after ID3v2 tags, before an APE tag and an ID3v1 tag.
struct Span {
    uint64_t begin;
    uint64_t end;
};

uint64_t SkipId3v2Tags(Window *window, uint64_t offset)
{
    for (int tags = 0; tags < MOST_ID3V2_TAGS; tags++) {
        const uint8_t *tag = window->At(offset, ID3V2_HEADER_BYTES);
        if (tag == nullptr || memcmp(tag, "ID3", 3) != 0 || (tag[6] | tag[7] | tag[8] | tag[9]) & 0x80)
            return offset;
        uint64_t size = static_cast<uint64_t>(tag[6]) << 21 | tag[7] << 14 | tag[8] << 7 | tag[9];
        offset += ID3V2_HEADER_BYTES + size + ((tag[5] & 0x10) != 0 ? ID3V2_HEADER_BYTES : 0);
    }
    return offset;
}

uint64_t CutTrailingTags(Window *window, uint64_t begin, uint64_t end)
{
    const uint8_t *tag = end >= begin + ID3V1_BYTES ? window->At(end - ID3V1_BYTES, 3) : nullptr;
    if (tag != nullptr && memcmp(tag, "TAG", 3) == 0)
        end -= ID3V1_BYTES;
    const uint8_t *ape = end >= begin + APE_FOOTER_BYTES ? window->At(end - APE_FOOTER_BYTES, 32)
                                                        : nullptr;
    if (ape != nullptr && memcmp(ape, "APETAGEX", 8) == 0) {
        uint64_t size = LittleEndian32(ape + 12);
        if ((LittleEndian32(ape + 20) & APE_HAS_HEADER) != 0)
            size += APE_FOOTER_BYTES;
        end = size <= end - begin ? end - size : begin;
    }
    return end;
}

bool HeaderAt(Window *window, uint64_t offset, FrameHeader *header)
{
    const uint8_t *bytes = window->At(offset, HEADER_BYTES);
    return bytes != nullptr && ParseHeader(bytes, header);
}

// A frame starts at `offset` if its header is sound and the next one, where its size says, is a
// header of the same stream, or the audio ends there.
bool FrameStartsAt(Window *window, uint64_t offset, const Span &span, FrameHeader *header)
{
    FrameHeader next;
    if (!HeaderAt(window, offset, header) || offset + header->bytes > span.end)
        return false;
    uint64_t following = offset + header->bytes;
    return following == span.end ||
           (HeaderAt(window, following, &next) && SameStream(*header, next));
}

bool FindFrame(Window *window, uint64_t from, uint64_t limit, const Span &span, uint64_t *offset,
               FrameHeader *header)
{
    for (uint64_t at = from; at < limit && at + HEADER_BYTES <= span.end; at++) {
        if (FrameStartsAt(window, at, span, header)) {
            *offset = at;
            return true;
        }
    }
    return false;
}

struct Tag {
    bool found;
    int64_t frames;
    int64_t bytes;  // -1 when the tag does not say
    int64_t delay;
    int64_t padding;
};

// A LAME extension after the Xing fields: the encoder's name, then at 21 bytes 12 bits of delay
// and 12 of padding. Encoders of the LAME family and FFmpeg's write it.
void ReadLameExtension(const uint8_t *lame, Tag *tag)
{
    if (memcmp(lame, "LAME", 4) != 0 && memcmp(lame, "Lavc", 4) != 0 &&
        memcmp(lame, "Lavf", 4) != 0 && memcmp(lame, "L3.9", 4) != 0)
        return;
    tag->delay = lame[21] << 4 | lame[22] >> 4;
    tag->padding = (lame[22] & 0x0F) << 8 | lame[23];
}

Tag ReadXing(const uint8_t *xing, size_t available)
{
    Tag tag = {false, 0, -1, 0, 0};
    if (available < 8 || (memcmp(xing, "Xing", 4) != 0 && memcmp(xing, "Info", 4) != 0))
        return tag;
    uint32_t flags = BigEndian32(xing + 4);
    size_t at = 8;
    if ((flags & XING_FRAMES) != 0 && at + 4 <= available) {
        tag.frames = BigEndian32(xing + at);
        at += 4;
    }
    if ((flags & XING_BYTES) != 0 && at + 4 <= available) {
        tag.bytes = BigEndian32(xing + at);
        at += 4;
    }
    at += (flags & XING_TOC) != 0 ? XING_TOC_BYTES : 0;
    at += (flags & XING_QUALITY) != 0 ? 4 : 0;
    if (at + 24 <= available)
        ReadLameExtension(xing + at, &tag);
    tag.found = (flags & XING_FRAMES) != 0;
    return tag;
}

// Fraunhofer's VBRI tag, 32 bytes past the header: bytes, then frames.
Tag ReadVbri(const uint8_t *vbri, size_t available)
{
    Tag tag = {false, 0, -1, 0, 0};
    if (available < 18 || memcmp(vbri, "VBRI", 4) != 0)
        return tag;
    tag.bytes = BigEndian32(vbri + 10);
    tag.frames = BigEndian32(vbri + 14);
    tag.found = true;
    return tag;
}

// The tag in the first frame, if that frame holds one instead of sound.
Tag ReadTag(Window *window, uint64_t offset, const FrameHeader &header)
{
    const uint8_t *frame = window->At(offset, static_cast<size_t>(header.bytes));
    Tag none = {false, 0, -1, 0, 0};
    if (frame == nullptr || header.layer != 3)
        return none;
    size_t xing_at = HEADER_BYTES + header.side_info_bytes;
    Tag tag = ReadXing(frame + xing_at, header.bytes - xing_at);
    if (!tag.found && static_cast<size_t>(header.bytes) > VBRI_OFFSET)
        tag = ReadVbri(frame + VBRI_OFFSET, header.bytes - VBRI_OFFSET);
    return tag;
}

// The smallest and largest frame this stream's format allows.
void FrameBounds(const FrameHeader &header, int *smallest, int *largest)
{
    int row = header.version == Version::MPEG1 ? 0 : 1;
    const int *rates = BIT_RATES[row][header.layer - 1];
    *smallest = FrameBytes(header.version, header.layer, rates[1], header.rate, 0);
    *largest = FrameBytes(header.version, header.layer, rates[14], header.rate, 1);
}

// A frame of the stream that ends where the audio ends: the file is not cut short inside one.
bool EndsOnAFrame(Window *window, const Span &span, const FrameHeader &first, int largest)
{
    uint64_t lowest = span.end > span.begin + largest ? span.end - largest : span.begin;
    window->At(lowest, static_cast<size_t>(span.end - lowest));  // one read for the whole search
    for (uint64_t at = span.end - HEADER_BYTES + 1; at-- > lowest;) {
        FrameHeader header;
        if (HeaderAt(window, at, &header) && SameStream(first, header) &&
            at + header.bytes == span.end)
            return true;
    }
    return false;
}

// A tag's count holds up when its bytes are the stream's (give or take the tag frame), the
// count fits the stream's length at some bit rate, and the last frame ends with the audio.
bool TagHoldsUp(Window *window, const Tag &tag, const Span &span, uint64_t first_offset,
                const FrameHeader &first)
{
    int smallest = 0, largest = 0;
    FrameBounds(first, &smallest, &largest);
    auto stream_bytes = static_cast<int64_t>(span.end - first_offset);
    int64_t audio_bytes = stream_bytes - first.bytes;
    bool bytes_agree = tag.bytes < 0 || (tag.bytes >= audio_bytes - largest &&
                                         tag.bytes <= stream_bytes + largest);
    bool count_fits = tag.frames > 0 && tag.frames * smallest <= audio_bytes &&
                      audio_bytes <= tag.frames * (largest + 1);
    return bytes_agree && count_fits && EndsOnAFrame(window, span, first, largest);
}

// The samples a gapless decoder gives. With a LAME tag it skips the declared delay and its own,
// and ends where the tag's count, less the padding, ends, or where the frames end if sooner.
int64_t GaplessSamples(int64_t frames, int samples_per_frame, const Tag &tag)
{
    int64_t decoded = frames * samples_per_frame;
    if (tag.delay == 0 && tag.padding == 0)
        return decoded;
    int64_t begin = tag.delay + MP3_DECODER_DELAY;
    int64_t end = tag.frames > 0 ? tag.frames * samples_per_frame - tag.padding + MP3_DECODER_DELAY
                                 : decoded;
    int64_t samples = (end < decoded ? end : decoded) - begin;
    return samples > 0 ? samples : 0;
}

}  // namespace

struct Mp3Walk {
    Window window;
    Span span;
    FrameHeader first;
    uint64_t first_offset;  // the first frame, which may hold a tag instead of sound
    uint64_t audio_offset;  // the first frame of sound
    uint64_t next;          // where the walk stands
    bool tag_frame;         // the first frame holds a tag
    bool tag_given;         // and NextMp3Frame has handed it out
};

namespace {

// The next frame of the stream from where the walk stands, past junk, up to the audio's end; a
// frame cut short by the end is not one.
bool StepToFrame(Mp3Walk *walk, uint64_t *offset, FrameHeader *header)
{
    while (walk->next + HEADER_BYTES <= walk->span.end) {
        if (HeaderAt(&walk->window, walk->next, header) && SameStream(walk->first, *header)) {
            if (walk->next + header->bytes > walk->span.end)
                return false;
            *offset = walk->next;
            walk->next += header->bytes;
            return true;
        }
        uint64_t found = 0;
        if (!FindFrame(&walk->window, walk->next + 1, walk->span.end, walk->span, &found, header) ||
            !SameStream(walk->first, *header))
            return false;
        walk->next = found;
    }
    return false;
}

int64_t CountFrames(Mp3Walk *walk)
{
    int64_t frames = 0;
    uint64_t offset = 0;
    FrameHeader header;
    walk->next = walk->audio_offset;
    while (StepToFrame(walk, &offset, &header))
        frames++;
    walk->next = walk->audio_offset;
    return frames;
}

bool StartWalk(Mp3Walk *walk, uint64_t leading_junk, Mp3Structure *structure)
{
    Window *window = &walk->window;
    walk->span = Span{SkipId3v2Tags(window, 0), window->size};
    if (walk->span.begin >= walk->span.end)
        return false;
    walk->span.end = CutTrailingTags(window, walk->span.begin, walk->span.end);
    if (!FindFrame(window, walk->span.begin, walk->span.begin + leading_junk + 1, walk->span,
                   &walk->first_offset, &walk->first))
        return false;
    Tag tag = ReadTag(window, walk->first_offset, walk->first);
    walk->tag_frame = tag.found;
    walk->audio_offset = walk->first_offset + (tag.found ? walk->first.bytes : 0);
    bool trusted = tag.found && TagHoldsUp(window, tag, walk->span, walk->first_offset, walk->first);
    int64_t frames = trusted ? tag.frames : CountFrames(walk);
    walk->next = walk->audio_offset;
    *structure = Mp3Structure{PcmFormat{walk->first.rate, walk->first.channels},
                              walk->first.samples,
                              frames,
                              tag.delay,
                              tag.padding,
                              trusted,
                              GaplessSamples(frames, walk->first.samples, tag)};
    return frames > 0;
}

}  // namespace

Mp3Walk *StartMp3Walk(ReadAtFunction read_at, void *file, uint64_t file_size,
                      uint64_t leading_junk, Mp3Structure *structure)
{
    auto *walk = static_cast<Mp3Walk *>(AllocateMemory(sizeof(Mp3Walk)));
    if (walk == nullptr)
        return nullptr;
    walk->window.read_at = read_at;
    walk->window.file = file;
    walk->window.size = file_size;
    if (!StartWalk(walk, leading_junk, structure)) {
        FreeMemory(walk);
        return nullptr;
    }
    return walk;
}

const uint8_t *NextMp3Frame(Mp3Walk *walk, size_t *bytes)
{
    uint64_t offset = walk->first_offset;
    FrameHeader header = walk->first;
    if (walk->tag_frame && !walk->tag_given)
        walk->tag_given = true;
    else if (!StepToFrame(walk, &offset, &header))
        return nullptr;
    *bytes = static_cast<size_t>(header.bytes);
    return walk->window.At(offset, *bytes);
}

void EndMp3Walk(Mp3Walk *walk)
{
    FreeMemory(walk);
}

bool ReadMp3Structure(ReadAtFunction read_at, void *file, uint64_t file_size,
                      uint64_t leading_junk, Mp3Structure *structure)
{
    Mp3Walk *walk = StartMp3Walk(read_at, file, file_size, leading_junk, structure);
    if (walk == nullptr)
        return false;
    EndMp3Walk(walk);
    return true;
}
