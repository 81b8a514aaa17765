// Tests of the header readers: WAVE and AIFF layouts and FLAC STREAMINFO from bytes made here,
// good and bad.
#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "libbass/decoders/aiff_header.h"
#include "libbass/decoders/flac_header.h"
#include "libbass/decoders/wav_header.h"
#include "tests/libbass/byte_file.h"

namespace {

void Put16(Bytes &bytes, uint32_t value)
{
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(Bytes &bytes, uint32_t value)
{
    Put16(bytes, value & 0xFFFF);
    Put16(bytes, value >> 16);
}

void PutId(Bytes &bytes, const char *id)
{
    for (int i = 0; i < 4; i++)
        bytes.push_back(static_cast<uint8_t>(id[i]));
}

void PutChunk(Bytes &bytes, const char *id, const Bytes &body, uint32_t claimed_size)
{
    PutId(bytes, id);
    Put32(bytes, claimed_size);
    bytes.insert(bytes.end(), body.begin(), body.end());
    if (body.size() % 2 != 0)
        bytes.push_back(0);
}

Bytes Format(uint16_t tag, int channels, uint32_t rate, int bits, int block_align = 0)
{
    Bytes body;
    Put16(body, tag);
    Put16(body, channels);
    Put32(body, rate);
    int align = block_align != 0 ? block_align : channels * bits / 8;
    Put32(body, rate * align);
    Put16(body, align);
    Put16(body, bits);
    return body;
}

// WAVE_FORMAT_EXTENSIBLE naming `sub_tag` (1 PCM, 3 float) in its sub-format GUID, whose last
// byte is `last` (0x71 in the GUIDs of the plain tags).
Bytes ExtensibleFormat(uint16_t sub_tag, int channels, uint32_t rate, int bits,
                       uint8_t last = 0x71)
{
    Bytes body = Format(0xFFFE, channels, rate, bits);
    const uint8_t tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                              0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, last};
    Put16(body, 22);    // cbSize
    Put16(body, bits);  // valid bits
    Put32(body, 3);     // channel mask
    Put16(body, sub_tag);
    body.insert(body.end(), tail, tail + 14);
    return body;
}

Bytes Riff(const std::vector<Bytes> &chunks, const char *form = "WAVE")
{
    Bytes bytes;
    PutId(bytes, "RIFF");
    Put32(bytes, 0);  // the total, which readers do not need
    PutId(bytes, form);
    for (const Bytes &chunk : chunks)
        bytes.insert(bytes.end(), chunk.begin(), chunk.end());
    return bytes;
}

Bytes Chunk(const char *id, const Bytes &body, int64_t claimed = -1)
{
    Bytes bytes;
    PutChunk(bytes, id, body,
             claimed < 0 ? static_cast<uint32_t>(body.size()) : static_cast<uint32_t>(claimed));
    return bytes;
}

struct LayoutCase {
    const char *name;
    Bytes file;
    bool readable;
    PcmFormat format = {};
    SampleEncoding encoding = SampleEncoding::S16;
    uint64_t data_offset = 0;
    int64_t frames = 0;
};

typedef bool (*LayoutReader)(ReadAtFunction, void *, uint64_t, PcmLayout *);

void ExpectLayouts(const std::vector<LayoutCase> &cases, LayoutReader read_layout)
{
    for (const LayoutCase &c : cases) {
        PcmLayout layout = {};
        Bytes file = c.file;
        bool readable = read_layout(ReadFromBytes, &file, file.size(), &layout);
        EXPECT_EQ(readable, c.readable) << c.name;
        if (!readable || !c.readable)
            continue;
        EXPECT_EQ(layout.format.rate, c.format.rate) << c.name;
        EXPECT_EQ(layout.format.channels, c.format.channels) << c.name;
        EXPECT_EQ(layout.encoding, c.encoding) << c.name;
        EXPECT_EQ(layout.frame_bytes, c.format.channels * BytesPerSample(c.encoding)) << c.name;
        EXPECT_EQ(layout.data_offset, c.data_offset) << c.name;
        EXPECT_EQ(layout.frames, c.frames) << c.name;
    }
}

TEST(PcmLayoutTest, ReadsWhatItDecodesAndLeavesTheRest)
{
    const Bytes pcm16 = Format(1, 2, 44100, 16);
    const Bytes samples(400, 0x11);
    Bytes junk_chunks;
    for (int i = 0; i < 300; i++)
        PutChunk(junk_chunks, "junk", Bytes(2, 0), 2);
    const std::vector<LayoutCase> cases = {
        {"16-bit stereo", Riff({Chunk("fmt ", pcm16), Chunk("data", samples)}), true,
         {44100, 2}, SampleEncoding::S16, 44, 100},
        {"8-bit mono", Riff({Chunk("fmt ", Format(1, 1, 22050, 8)), Chunk("data", samples)}),
         true, {22050, 1}, SampleEncoding::U8, 44, 400},
        {"24-bit stereo, a partial last frame dropped",
         Riff({Chunk("fmt ", Format(1, 2, 48000, 24)), Chunk("data", samples)}), true,
         {48000, 2}, SampleEncoding::S24, 44, 66},
        {"32-bit integer", Riff({Chunk("fmt ", Format(1, 2, 96000, 32)), Chunk("data", samples)}),
         true, {96000, 2}, SampleEncoding::S32, 44, 50},
        {"float", Riff({Chunk("fmt ", Format(3, 1, 44100, 32)), Chunk("data", samples)}), true,
         {44100, 1}, SampleEncoding::F32, 44, 100},
        {"double", Riff({Chunk("fmt ", Format(3, 1, 48000, 64)), Chunk("data", samples)}), true,
         {48000, 1}, SampleEncoding::F64, 44, 50},
        {"extensible PCM", Riff({Chunk("fmt ", ExtensibleFormat(1, 2, 44100, 16)),
                                 Chunk("data", samples)}),
         true, {44100, 2}, SampleEncoding::S16, 68, 100},
        {"extensible float", Riff({Chunk("fmt ", ExtensibleFormat(3, 2, 44100, 32)),
                                   Chunk("data", samples)}),
         true, {44100, 2}, SampleEncoding::F32, 68, 50},
        {"odd chunk padded to even before the data",
         Riff({Chunk("fmt ", pcm16), Chunk("LIST", Bytes(5, 'x')), Chunk("data", samples)}), true,
         {44100, 2}, SampleEncoding::S16, 58, 100},
        {"data claiming more than the file holds",
         Riff({Chunk("fmt ", pcm16), Chunk("data", samples, 1 << 30)}), true, {44100, 2},
         SampleEncoding::S16, 44, 100},
        {"data size unknown (all ones): the rest of the file",
         Riff({Chunk("fmt ", pcm16), Chunk("data", samples, 0xFFFFFFFF)}), true, {44100, 2},
         SampleEncoding::S16, 44, 100},
        {"no frames", Riff({Chunk("fmt ", pcm16), Chunk("data", Bytes())}), true, {44100, 2},
         SampleEncoding::S16, 44, 0},
        {"data before the format", Riff({Chunk("data", samples), Chunk("fmt ", pcm16)}), false},
        {"two format chunks",
         Riff({Chunk("fmt ", pcm16), Chunk("fmt ", pcm16), Chunk("data", samples)}), false},
        {"ADPCM, left to the system",
         Riff({Chunk("fmt ", Format(2, 2, 44100, 4, 2048)), Chunk("data", samples)}), false},
        {"block size that is not channels times bytes",
         Riff({Chunk("fmt ", Format(1, 2, 44100, 16, 6)), Chunk("data", samples)}), false},
        {"no channels", Riff({Chunk("fmt ", Format(1, 0, 44100, 16)), Chunk("data", samples)}),
         false},
        {"rate 0", Riff({Chunk("fmt ", Format(1, 2, 0, 16)), Chunk("data", samples)}), false},
        {"12-bit", Riff({Chunk("fmt ", Format(1, 1, 8000, 12, 2)), Chunk("data", samples)}),
         false},
        {"format chunk shorter than its fields", Riff({Chunk("fmt ", Bytes(14, 1))}), false},
        {"extensible with another sub-format",
         Riff({Chunk("fmt ", ExtensibleFormat(1, 2, 44100, 16, 0x71 ^ 0xFF)),
               Chunk("data", samples)}),
         false},
        {"cut inside the format chunk", [&] {
             Bytes file = Riff({Chunk("fmt ", pcm16)});
             file.resize(30);
             return file;
         }(), false},
        {"no data chunk", Riff({Chunk("fmt ", pcm16)}), false},
        {"too many chunks before the data",
         Riff({Chunk("fmt ", pcm16), junk_chunks, Chunk("data", samples)}), false},
        {"big-endian RIFX", [&] {
             Bytes file = Riff({Chunk("fmt ", pcm16), Chunk("data", samples)});
             memcpy(file.data(), "RIFX", 4);
             return file;
         }(), false},
        {"AIFF", Riff({Chunk("COMM", Bytes(18, 0))}, "AIFF"), false},
        {"empty file", Bytes(), false},
    };
    ExpectLayouts(cases, ReadWavLayout);
}

void PutBig16(Bytes &bytes, uint32_t value)
{
    bytes.push_back(static_cast<uint8_t>(value >> 8));
    bytes.push_back(static_cast<uint8_t>(value));
}

void PutBig32(Bytes &bytes, uint32_t value)
{
    PutBig16(bytes, value >> 16);
    PutBig16(bytes, value & 0xFFFF);
}

// `rate` as the 80-bit IEEE extended number COMM holds: sign and exponent, then a 64-bit
// mantissa whose top bit is the integer one.
Bytes Extended(double rate)
{
    Bytes bytes;
    int exponent = 0;
    double fraction = frexp(fabs(rate), &exponent);  // in [0.5, 1)
    auto mantissa = static_cast<uint64_t>(ldexp(fraction, 64));
    PutBig16(bytes, rate == 0 ? 0 : (rate < 0 ? 0x8000u : 0u) | (16383 + exponent - 1));
    PutBig32(bytes, static_cast<uint32_t>(mantissa >> 32));
    PutBig32(bytes, static_cast<uint32_t>(mantissa));
    return bytes;
}

// COMM of plain AIFF; with a `type`, of AIFF-C, followed by the type's name as a Pascal string.
Bytes Comm(int channels, uint32_t frames, int bits, const Bytes &rate, const char *type = nullptr)
{
    Bytes body;
    PutBig16(body, channels);
    PutBig32(body, frames);
    PutBig16(body, bits);
    body.insert(body.end(), rate.begin(), rate.end());
    if (type != nullptr) {
        PutId(body, type);
        for (uint8_t byte : {uint8_t{3}, uint8_t{'a'}, uint8_t{'b'}, uint8_t{'c'}})  // Pascal
            body.push_back(byte);
    }
    return body;
}

Bytes Comm(int channels, uint32_t frames, int bits, double rate, const char *type = nullptr)
{
    return Comm(channels, frames, bits, Extended(rate), type);
}

// SSND: the offset of the first sample past its header, the block size, then the bytes.
Bytes Ssnd(uint32_t offset, const Bytes &samples)
{
    Bytes body;
    PutBig32(body, offset);
    PutBig32(body, 0);
    body.insert(body.end(), samples.begin(), samples.end());
    return body;
}

Bytes BigChunk(const char *id, const Bytes &body, int64_t claimed = -1)
{
    Bytes bytes;
    PutId(bytes, id);
    PutBig32(bytes, claimed < 0 ? static_cast<uint32_t>(body.size()) : static_cast<uint32_t>(claimed));
    bytes.insert(bytes.end(), body.begin(), body.end());
    if (body.size() % 2 != 0)
        bytes.push_back(0);
    return bytes;
}

Bytes Form(const std::vector<Bytes> &chunks, const char *form = "AIFF")
{
    Bytes bytes;
    PutId(bytes, "FORM");
    PutBig32(bytes, 0);  // the total, which readers do not need
    PutId(bytes, form);
    for (const Bytes &chunk : chunks)
        bytes.insert(bytes.end(), chunk.begin(), chunk.end());
    return bytes;
}

TEST(PcmLayoutTest, ReadsAiffAndTheUncompressedAiffC)
{
    const Bytes samples(400, 0x11);
    const Bytes sound = BigChunk("SSND", Ssnd(0, samples));
    // FORM header 12, COMM 8 + 18 (AIFF-C: + 4 + 4 for the type and its name), SSND 8 + 8.
    const uint64_t AFTER_COMM = 54, AFTER_COMPRESSED_COMM = 62;
    auto aifc = [&](const char *type, int bits) {
        return Form({BigChunk("COMM", Comm(2, 1000, bits, 44100, type)), sound}, "AIFC");
    };
    const std::vector<LayoutCase> cases = {
        {"16-bit stereo", Form({BigChunk("COMM", Comm(2, 100, 16, 44100)), sound}), true,
         {44100, 2}, SampleEncoding::S16_BE, AFTER_COMM, 100},
        {"8-bit mono, signed", Form({BigChunk("COMM", Comm(1, 400, 8, 22050)), sound}), true,
         {22050, 1}, SampleEncoding::S8, AFTER_COMM, 400},
        {"12-bit, left-justified in two bytes",
         Form({BigChunk("COMM", Comm(1, 200, 12, 8000)), sound}), true, {8000, 1},
         SampleEncoding::S16_BE, AFTER_COMM, 200},
        {"24-bit, claiming more than is there",
         Form({BigChunk("COMM", Comm(2, 1000, 24, 48000)), sound}), true, {48000, 2},
         SampleEncoding::S24_BE, AFTER_COMM, 66},
        {"32-bit, claiming fewer than are there",
         Form({BigChunk("COMM", Comm(2, 10, 32, 96000)), sound}), true, {96000, 2},
         SampleEncoding::S32_BE, AFTER_COMM, 10},
        {"sound before COMM", Form({sound, BigChunk("COMM", Comm(2, 100, 16, 44100))}), true,
         {44100, 2}, SampleEncoding::S16_BE, 28, 100},
        {"sound behind its declared offset",
         Form({BigChunk("COMM", Comm(2, 1000, 16, 44100)), BigChunk("SSND", Ssnd(4, samples))}),
         true, {44100, 2}, SampleEncoding::S16_BE, AFTER_COMM + 4, 99},
        {"sound chunk claiming more than the file holds",
         Form({BigChunk("COMM", Comm(2, 1000, 16, 44100)),
               BigChunk("SSND", Ssnd(0, samples), 1 << 30)}),
         true, {44100, 2}, SampleEncoding::S16_BE, AFTER_COMM, 100},
        {"odd chunk padded to even before the sound",
         Form({BigChunk("COMM", Comm(2, 100, 16, 44100)), BigChunk("NAME", Bytes(5, 'x')),
               sound}),
         true, {44100, 2}, SampleEncoding::S16_BE, AFTER_COMM + 14, 100},
        {"no frames", Form({BigChunk("COMM", Comm(2, 0, 16, 44100)), sound}), true, {44100, 2},
         SampleEncoding::S16_BE, AFTER_COMM, 0},
        {"rate of an old Macintosh, 22254.545 Hz",
         Form({BigChunk("COMM", Comm(1, 100, 8, 22254.545454)), sound}), true, {22255, 1},
         SampleEncoding::S8, AFTER_COMM, 100},
        {"AIFF-C NONE", aifc("NONE", 16), true, {44100, 2}, SampleEncoding::S16_BE,
         AFTER_COMPRESSED_COMM, 100},
        {"AIFF-C twos", aifc("twos", 24), true, {44100, 2}, SampleEncoding::S24_BE,
         AFTER_COMPRESSED_COMM, 66},
        {"AIFF-C sowt, little-endian", aifc("sowt", 16), true, {44100, 2}, SampleEncoding::S16,
         AFTER_COMPRESSED_COMM, 100},
        {"AIFF-C fl32", aifc("fl32", 32), true, {44100, 2}, SampleEncoding::F32_BE,
         AFTER_COMPRESSED_COMM, 50},
        {"AIFF-C FL64", aifc("FL64", 64), true, {44100, 2}, SampleEncoding::F64_BE,
         AFTER_COMPRESSED_COMM, 25},
        {"AIFF-C raw, offset binary", aifc("raw ", 8), true, {44100, 2}, SampleEncoding::U8,
         AFTER_COMPRESSED_COMM, 200},
        {"AIFF-C in32", aifc("in32", 32), true, {44100, 2}, SampleEncoding::S32_BE,
         AFTER_COMPRESSED_COMM, 50},
        {"AIFF-C µ-law, left to the system", aifc("ulaw", 16), false},
        {"AIFF-C IMA ADPCM, left to the system", aifc("ima4", 16), false},
        {"AIFF-C's longer COMM in a plain AIFF form",
         Form({BigChunk("COMM", Comm(2, 100, 16, 44100, "sowt")), sound}), true, {44100, 2},
         SampleEncoding::S16_BE, AFTER_COMPRESSED_COMM, 100},
        {"AIFF-C's COMM too short for its type",
         Form({BigChunk("COMM", Comm(2, 100, 16, 44100)), sound}, "AIFC"), false},
        {"rate 0", Form({BigChunk("COMM", Comm(2, 100, 16, 0.0)), sound}), false},
        {"rate below 1 Hz", Form({BigChunk("COMM", Comm(2, 100, 16, 0.25)), sound}), false},
        {"negative rate", Form({BigChunk("COMM", Comm(2, 100, 16, -44100.0)), sound}), false},
        {"rate of a gigahertz", Form({BigChunk("COMM", Comm(2, 100, 16, 1e9)), sound}), false},
        {"rate not finite",
         Form({BigChunk("COMM", Comm(2, 100, 16, Bytes{0x7F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0})),
               sound}),
         false},
        {"no channels", Form({BigChunk("COMM", Comm(0, 100, 16, 44100)), sound}), false},
        {"33 bits", Form({BigChunk("COMM", Comm(1, 100, 33, 44100)), sound}), false},
        {"no sound chunk", Form({BigChunk("COMM", Comm(2, 100, 16, 44100))}), false},
        {"no COMM", Form({sound}), false},
        {"two COMM chunks",
         Form({BigChunk("COMM", Comm(2, 100, 16, 44100)),
               BigChunk("COMM", Comm(2, 100, 16, 44100)), sound}),
         false},
        {"sound offset past the chunk",
         Form({BigChunk("COMM", Comm(2, 100, 16, 44100)), BigChunk("SSND", Ssnd(1000, samples))}),
         false},
        {"sound offset past the end of a chunk claiming more than the file",
         Form({BigChunk("COMM", Comm(2, 100, 16, 44100)),
               BigChunk("SSND", Ssnd(1000, samples), 1 << 30)}),
         false},
        {"cut inside COMM", [&] {
             Bytes file = Form({BigChunk("COMM", Comm(2, 100, 16, 44100)), sound});
             file.resize(30);
             return file;
         }(), false},
        {"a RIFF WAVE file", Riff({Chunk("fmt ", Format(1, 2, 44100, 16)), Chunk("data", samples)}),
         false},
        {"FORM of another kind", Form({BigChunk("COMM", Comm(2, 100, 16, 44100)), sound}, "8SVX"),
         false},
        {"empty file", Bytes(), false},
    };
    ExpectLayouts(cases, ReadAiffLayout);
}

Bytes Flac(uint32_t rate, int channels, int bits, uint64_t frames, uint8_t first_block_type = 0)
{
    Bytes bytes = {'f', 'L', 'a', 'C', first_block_type, 0, 0, 34};
    Bytes info(34, 0);
    uint64_t packed = static_cast<uint64_t>(rate) << 44 |
                      static_cast<uint64_t>(channels - 1) << 41 |
                      static_cast<uint64_t>(bits - 1) << 36 | frames;
    for (int i = 0; i < 8; i++)
        info[10 + i] = static_cast<uint8_t>(packed >> (56 - 8 * i));
    bytes.insert(bytes.end(), info.begin(), info.end());
    return bytes;
}

Bytes Id3(size_t size, bool footer)
{
    Bytes tag = {'I', 'D', '3', 4, 0, static_cast<uint8_t>(footer ? 0x10 : 0)};
    for (int shift = 21; shift >= 0; shift -= 7)
        tag.push_back(static_cast<uint8_t>((size >> shift) & 0x7F));
    tag.resize(10 + size + (footer ? 10 : 0), 0);
    return tag;
}

Bytes Join(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(FlacStreamInfoTest, FindsTheCountOrSaysThereIsNone)
{
    const uint64_t LONGEST = (1ULL << 36) - 1;
    struct Case {
        const char *name;
        Bytes head;
        bool found;
        PcmFormat format = {};
        int64_t frames = 0;
    } cases[] = {
        {"CD stereo", Flac(44100, 2, 16, 54441), true, {44100, 2}, 54441},
        {"mono 8 kHz 24-bit", Flac(8000, 1, 24, 1), true, {8000, 1}, 1},
        {"the largest count a header holds", Flac(192000, 8, 24, LONGEST), true, {192000, 8},
         static_cast<int64_t>(LONGEST)},
        {"count not known to the encoder", Flac(48000, 2, 16, 0), true, {48000, 2}, 0},
        {"after an ID3v2 tag", Join(Id3(200, false), Flac(44100, 2, 16, 1000)), true,
         {44100, 2}, 1000},
        {"after an ID3v2 tag with a footer", Join(Id3(37, true), Flac(22050, 1, 16, 77)), true,
         {22050, 1}, 77},
        {"rate 0", Flac(0, 2, 16, 1000), false},
        {"first block not STREAMINFO", Flac(44100, 2, 16, 1000, 4), false},
        {"marked last, still STREAMINFO", Flac(44100, 2, 16, 1000, 0x80), true, {44100, 2},
         1000},
        {"cut inside STREAMINFO", [] {
             Bytes head = Flac(44100, 2, 16, 1000);
             head.resize(30);
             return head;
         }(), false},
        {"ID3v2 tag longer than the bytes read", Join(Id3(5000, false), Flac(44100, 2, 16, 9)),
         false},
        {"not FLAC", Bytes(64, 'x'), false},
        {"nothing", Bytes(), false},
    };
    for (const Case &c : cases) {
        FlacStreamInfo info = {};
        size_t bytes = c.head.size() < FLAC_HEAD_BYTES ? c.head.size() : FLAC_HEAD_BYTES;
        bool found = ReadFlacStreamInfo(c.head.data(), bytes, &info);
        EXPECT_EQ(found, c.found) << c.name;
        if (!found || !c.found)
            continue;
        EXPECT_EQ(info.format.rate, c.format.rate) << c.name;
        EXPECT_EQ(info.format.channels, c.format.channels) << c.name;
        EXPECT_EQ(info.frames, c.frames) << c.name;
    }
}

}  // namespace
