// Tests of the MP3 structure reader: frames built here, then real encoders' files against a decode.
#include <gtest/gtest.h>
#include <mpg123.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "libbass/decoders/mp3_structure.h"
#include "libbass/decoders/mpg123_file.h"
#include "tests/libbass/byte_file.h"
#include "tests/libbass/sound_files.h"

namespace {

bool Read(const Bytes &file, Mp3Structure *structure, uint64_t junk = MP3_MOST_LEADING_JUNK)
{
    Bytes copy = file;
    return ReadMp3Structure(ReadFromBytes, &copy, copy.size(), junk, structure);
}

// A frame's four header bytes: version bits (3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5), layer (1 to 3),
// bit rate and sample rate indexes, padding, channel mode (3 mono).
struct Header {
    int version_bits;
    int layer;
    int rate_index;
    int sample_rate_index;
    int pad;
    int mode;
};

constexpr Header MPEG1_L3_128K_44100_STEREO = {3, 3, 9, 0, 0, 0};  // 417 bytes, 1152 samples
constexpr Header MPEG2_L3_64K_22050_MONO = {2, 3, 8, 0, 0, 3};     // 208 bytes, 576 samples
constexpr Header MPEG25_L3_8K_8000_MONO = {0, 3, 1, 2, 0, 3};      // 72 bytes, 576 samples
constexpr Header MPEG1_L2_192K_48000_STEREO = {3, 2, 10, 1, 0, 0};  // 576 bytes, 1152 samples
constexpr Header MPEG1_L1_384K_32000_STEREO = {3, 1, 12, 2, 0, 1};  // 576 bytes, 384 samples

Bytes HeaderBytes(const Header &h)
{
    return {0xFF, static_cast<uint8_t>(0xE0 | h.version_bits << 3 | (4 - h.layer) << 1 | 1),
            static_cast<uint8_t>(h.rate_index << 4 | h.sample_rate_index << 2 | h.pad << 1),
            static_cast<uint8_t>(h.mode << 6)};
}

Bytes Frame(const Header &h, int bytes)
{
    Bytes frame = HeaderBytes(h);
    frame.resize(static_cast<size_t>(bytes), 0);
    return frame;
}

Bytes Frames(const Header &h, int bytes, int count)
{
    Bytes all;
    for (int i = 0; i < count; i++) {
        Bytes frame = Frame(h, bytes);
        all.insert(all.end(), frame.begin(), frame.end());
    }
    return all;
}

void Put32(Bytes &bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        bytes[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// A first frame holding an Xing tag (frames, bytes, TOC, quality), then LAME's delay and padding.
Bytes XingFrame(const Header &h, int bytes, const char *id, uint32_t frames, uint32_t stream_bytes,
                int delay, int padding)
{
    Bytes frame = Frame(h, bytes);
    size_t at = 4 + 32;  // MPEG-1 stereo side information
    memcpy(&frame[at], id, 4);
    Put32(frame, at + 4, 0xF);
    Put32(frame, at + 8, frames);
    Put32(frame, at + 12, stream_bytes);
    size_t lame = at + 8 + 4 + 4 + 100 + 4;
    memcpy(&frame[lame], "LAME3.100", 9);
    frame[lame + 21] = static_cast<uint8_t>(delay >> 4);
    frame[lame + 22] = static_cast<uint8_t>((delay & 0xF) << 4 | padding >> 8);
    frame[lame + 23] = static_cast<uint8_t>(padding & 0xFF);
    return frame;
}

Bytes Join(std::vector<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Id3v2(size_t size)
{
    Bytes tag = {'I', 'D', '3', 3, 0, 0};
    for (int shift = 21; shift >= 0; shift -= 7)
        tag.push_back(static_cast<uint8_t>(size >> shift & 0x7F));
    tag.resize(10 + size, 0);
    return tag;
}

Bytes Id3v1()
{
    Bytes tag(128, ' ');
    memcpy(tag.data(), "TAG", 3);
    return tag;
}

Bytes ApeTag(uint32_t items_bytes)
{
    Bytes body(items_bytes, 'a');
    Bytes footer(32, 0);
    memcpy(footer.data(), "APETAGEX", 8);
    uint32_t size = items_bytes + 32;
    for (int i = 0; i < 4; i++)
        footer[12 + i] = static_cast<uint8_t>(size >> (8 * i));
    return Join({body, footer});
}

TEST(Mp3StructureTest, FramesBuiltHere)
{
    const Header cd = MPEG1_L3_128K_44100_STEREO;
    Bytes ten = Frames(cd, 417, 10);
    Bytes other_rate = Frames(MPEG1_L2_192K_48000_STEREO, 576, 3);
    Bytes free_format = Frames({3, 3, 0, 0, 0, 0}, 400, 10);
    const int64_t TAGGED_FRAMES = 100;
    Bytes tagged_audio = Frames(cd, 417, TAGGED_FRAMES);
    auto tagged = [&](uint32_t frames, uint32_t bytes) {
        return Join({XingFrame(cd, 417, "Info", frames, bytes, 576, 1000), tagged_audio});
    };
    struct Case {
        const char *name;
        Bytes file;
        uint64_t leading_junk;
        bool readable;
        int rate = 0;
        int channels = 0;
        int64_t frames = 0;
        int64_t samples = 0;
        bool by_tag = false;
    } cases[] = {
        {"MPEG-1 layer III", ten, 0, true, 44100, 2, 10, 11520},
        {"padding bits make frames a byte longer", [&] {
             Header padded = cd;
             padded.pad = 1;
             return Join({Frames(padded, 418, 3), Frames(cd, 417, 2)});
         }(), 0, true, 44100, 2, 5, 5760},
        {"MPEG-2 layer III mono", Frames(MPEG2_L3_64K_22050_MONO, 208, 7), 0, true, 22050, 1, 7,
         4032},
        {"MPEG-2.5 layer III at 8 kHz", Frames(MPEG25_L3_8K_8000_MONO, 72, 9), 0, true, 8000, 1,
         9, 5184},
        {"MPEG-1 layer II", Frames(MPEG1_L2_192K_48000_STEREO, 576, 4), 0, true, 48000, 2, 4,
         4608},
        {"MPEG-1 layer I", Frames(MPEG1_L1_384K_32000_STEREO, 576, 4), 0, true, 32000, 2, 4,
         1536},
        {"ID3v2 before, ID3v1 after", Join({Id3v2(300), ten, Id3v1()}), 0, true, 44100, 2, 10,
         11520},
        {"APE and ID3v1 after", Join({ten, ApeTag(64), Id3v1()}), 0, true, 44100, 2, 10, 11520},
        {"junk between frames", Join({Frames(cd, 417, 4), Bytes(3000, 0), Frames(cd, 417, 6)}),
         0, true, 44100, 2, 10, 11520},
        {"truncated last frame not counted", [&] {
             Bytes cut = ten;
             cut.resize(cut.size() - 100);
             return cut;
         }(), 0, true, 44100, 2, 9, 10368},
        {"junk before the first frame, allowed", Join({Bytes(500, 0x11), ten}),
         MP3_MOST_LEADING_JUNK, true, 44100, 2, 10, 11520},
        {"junk before the first frame, not allowed", Join({Bytes(500, 0x11), ten}), 0, false},
        {"another stream after: not counted", Join({ten, other_rate}), 0, true, 44100, 2, 10,
         11520},
        {"trusted LAME tag: delay and padding cut", tagged(TAGGED_FRAMES, 418 * 101), 0, true,
         44100, 2, TAGGED_FRAMES, TAGGED_FRAMES * 1152 - 576 - 1000, true},
        {"tag frames too many for the bytes: walked", tagged(5000, 418 * 101), 0, true, 44100, 2,
         TAGGED_FRAMES, TAGGED_FRAMES * 1152 - 576 - MP3_DECODER_DELAY},
        {"tag bytes not the file's: walked, its end still cuts", tagged(TAGGED_FRAMES, 417 * 300),
         0, true, 44100, 2, TAGGED_FRAMES, TAGGED_FRAMES * 1152 - 576 - 1000},
        {"tagged file cut short: walked", [&] {
             Bytes cut = tagged(TAGGED_FRAMES, 418 * 101);
             cut.resize(cut.size() / 2 + 10);
             return cut;
         }(), 0, true, 44100, 2, 49, 49 * 1152 - 576 - MP3_DECODER_DELAY},
        {"free format", free_format, 0, false},
        {"one frame header only", Bytes(ten.begin(), ten.begin() + 4), 0, false},
        {"text", Bytes(2000, 'x'), MP3_MOST_LEADING_JUNK, false},
        {"empty", Bytes(), 0, false},
    };
    for (const Case &c : cases) {
        Mp3Structure structure = {};
        bool readable = Read(c.file, &structure, c.leading_junk);
        EXPECT_EQ(readable, c.readable) << c.name;
        if (!readable || !c.readable)
            continue;
        EXPECT_EQ(structure.format.rate, c.rate) << c.name;
        EXPECT_EQ(structure.format.channels, c.channels) << c.name;
        EXPECT_EQ(structure.frames, c.frames) << c.name;
        EXPECT_EQ(structure.samples, c.samples) << c.name;
        EXPECT_EQ(structure.counted_by_tag, c.by_tag) << c.name;
    }
}

Bytes ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const Bytes &bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

// What the library's own decoding gives: the counted frames fed to libmpg123, read to the end.
int64_t LibraryDecodes(const std::string &path)
{
    SoundFileInfo info = {};
    InputFile *input = OpenInputFile(path.c_str());
    Mpg123File *file =
        input == nullptr ? nullptr : OpenMpg123File(input, MP3_MOST_LEADING_JUNK, &info);
    int64_t total = file == nullptr ? -1 : 0, got;
    std::vector<int16_t> buffer(4096 * 2);
    while (file != nullptr && (got = ReadMpg123File(file, buffer.data(), 4096)) > 0)
        total += got;
    if (file != nullptr)
        CloseMpg123File(file);
    if (input != nullptr)
        CloseInputFile(input);
    return total;
}

// What libmpg123 gives reading the file itself, to its end: a decoder's own view of it.
int64_t DecodedSamples(const std::string &path)
{
    int error = MPG123_OK;
    mpg123_handle *decoder = mpg123_new(nullptr, &error);
    mpg123_param(decoder, MPG123_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0.0);
    mpg123_param(decoder, MPG123_RESYNC_LIMIT, -1, 0.0);
    int64_t samples = -1;
    long rate = 0;
    int channels = 0, encoding = 0;
    if (mpg123_open(decoder, path.c_str()) == MPG123_OK &&
        mpg123_getformat(decoder, &rate, &channels, &encoding) == MPG123_OK) {
        mpg123_format_none(decoder);
        mpg123_format(decoder, rate, channels, MPG123_ENC_SIGNED_16);
        std::vector<unsigned char> buffer(65536);
        size_t bytes = 0, total = 0;
        int result;
        while ((result = mpg123_read(decoder, buffer.data(), buffer.size(), &bytes)) ==
                   MPG123_OK ||
               result == MPG123_NEW_FORMAT)
            total += bytes;
        samples = static_cast<int64_t>((total + bytes) / (2 * static_cast<size_t>(channels)));
    }
    mpg123_delete(decoder);
    return samples;
}

bool Encode(const std::string &path, double seconds, int rate, int seed, int channels,
            const std::string &options)
{
    char command[1024];
    snprintf(command, sizeof command,
             "ffmpeg -loglevel error -nostdin -y -f lavfi -i anoisesrc=d=%.6f:r=%d:a=0.3:seed=%d "
             "-ac %d %s '%s'",
             seconds, rate, seed, channels, options.c_str(), path.c_str());
    return system(command) == 0;
}

// Real encoders' files (FFmpeg's, with LAME): the count read from the structure is what the
// decoder gives reading the file, what the library's decoding gives, and, where a tag declares
// delay and padding, the source's own length. Damaged, the library still gives what it counted.
TEST(Mp3StructureTest, RealEncodersAgreeWithTheDecoder)
{
    ScratchDir dir;
    struct Case {
        const char *name;
        int rate;
        int channels;
        const char *options;
        bool tagged;
    } cases[] = {
        {"CBR, LAME tag", 44100, 2, "-b:a 128k", true},
        {"VBR, LAME tag", 44100, 2, "-q:a 4", true},
        {"no tag", 44100, 2, "-b:a 128k -write_xing 0", false},
        {"MPEG-2 mono, LAME tag", 22050, 1, "-b:a 32k", true},
        {"MPEG-2.5 mono at 8 kHz, no tag", 8000, 1, "-b:a 8k -write_xing 0", false},
        {"48 kHz, ID3v2 and ID3v1", 48000, 2,
         "-b:a 192k -metadata title=chime -id3v2_version 3 -write_id3v1 1", true},
    };
    const double SECONDS = 1.2345;
    const int SEED = 7;
    for (const Case &c : cases) {
        std::string path = dir.Path(std::string(c.name).substr(0, 12) + ".mp3");
        for (char &ch : path)
            ch = ch == ' ' || ch == ',' ? '_' : ch;
        ASSERT_TRUE(Encode(path, SECONDS, c.rate, SEED, c.channels, c.options)) << c.name;
        Bytes file = ReadFile(path);
        Mp3Structure structure = {};
        ASSERT_TRUE(Read(file, &structure)) << c.name;
        EXPECT_EQ(structure.counted_by_tag, c.tagged) << c.name;
        EXPECT_EQ(structure.samples, DecodedSamples(path)) << c.name;
        EXPECT_EQ(structure.samples, LibraryDecodes(path)) << c.name;
        if (c.tagged) {
            EXPECT_EQ(structure.samples, static_cast<int64_t>(SECONDS * c.rate + 0.5)) << c.name;
        }
        struct Damage {
            const char *name;
            Bytes file;
        } damages[] = {
            {"cut at 60%", Bytes(file.begin(), file.begin() + file.size() * 6 / 10)},
            {"zeros inside", [&] {
                 Bytes damaged = file;
                 damaged.insert(damaged.begin() + damaged.size() / 2, 5000, 0);
                 return damaged;
             }()},
        };
        for (const Damage &d : damages) {
            std::string damaged = path + ".damaged";
            WriteFile(damaged, d.file);
            Mp3Structure seen = {};
            ASSERT_TRUE(Read(d.file, &seen)) << c.name << ", " << d.name;
            EXPECT_EQ(seen.samples, LibraryDecodes(damaged)) << c.name << ", " << d.name;
        }
    }
}

}  // namespace
