// Tests of the header readers: WAVE layouts and FLAC STREAMINFO from bytes made here, good and bad.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "libbass/core/flac_header.h"
#include "libbass/core/wav_header.h"
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

TEST(WavLayoutTest, ReadsWhatItDecodesAndLeavesTheRest)
{
    const Bytes pcm16 = Format(1, 2, 44100, 16);
    const Bytes samples(400, 0x11);
    Bytes junk_chunks;
    for (int i = 0; i < 300; i++)
        PutChunk(junk_chunks, "junk", Bytes(2, 0), 2);
    struct Case {
        const char *name;
        Bytes file;
        bool readable;
        PcmFormat format = {};
        SampleEncoding encoding = SampleEncoding::S16;
        uint64_t data_offset = 0;
        int64_t frames = 0;
    } cases[] = {
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
    for (const Case &c : cases) {
        WavLayout layout = {};
        Bytes file = c.file;
        bool readable = ReadWavLayout(ReadFromBytes, &file, file.size(), &layout);
        EXPECT_EQ(readable, c.readable) << c.name;
        if (!readable || !c.readable)
            continue;
        EXPECT_EQ(layout.format.rate, c.format.rate) << c.name;
        EXPECT_EQ(layout.format.channels, c.format.channels) << c.name;
        EXPECT_EQ(layout.encoding, c.encoding) << c.name;
        EXPECT_EQ(layout.data_offset, c.data_offset) << c.name;
        EXPECT_EQ(layout.frames, c.frames) << c.name;
    }
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
