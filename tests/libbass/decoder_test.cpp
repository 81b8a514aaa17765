// Decoder tests: exact lengths over generated files of every format, cut files, and junk.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "libbass/core/decoder.h"
#include "libbass/core/heap.h"
#include "tests/libbass/sound_files.h"

namespace {

struct Format {
    const char *name;
    const char *extension;
    int format;
};

constexpr Format FORMATS[] = {
    {"wav16", "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
    {"wav24", "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
    {"wavfloat", "wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
    {"aiff", "aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
    {"flac", "flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
    {"vorbis", "ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
    {"opus", "opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},
    {"mp3", "mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
};

using DecoderPtr = std::unique_ptr<Decoder, void (*)(Decoder *)>;

DecoderPtr OpenDecoder(const std::string &path)
{
    return DecoderPtr(Decoder::Open(path.c_str()), HeapDelete<Decoder>);
}

bool IsOpus(const Format &format)
{
    return (format.format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS;
}

// Opus decodes at 48 kHz whatever rate it was made from: as long, at that rate.
constexpr int OPUS_RATE = 48000;

int DecodedRate(const Format &format, int rate)
{
    return IsOpus(format) ? OPUS_RATE : rate;
}

int64_t DecodedFrames(const Format &format, int rate, int64_t frames)
{
    return frames * DecodedRate(format, rate) / rate;
}

std::string FileName(const Format &format, int rate, int channels, int64_t frames)
{
    return std::string(format.name) + "_" + std::to_string(rate) + "_" + std::to_string(channels) +
           "_" + std::to_string(frames) + "." + format.extension;
}

TEST(DecoderTest, CountsEveryFrameOfCompleteFiles)
{
    ScratchDir dir;
    const int rates[] = {8000, 44100, 48000};
    const int channel_counts[] = {1, 2, 6};
    const int64_t frame_counts[] = {1, 1153, 48001};
    for (const Format &format : FORMATS)
        for (int rate : rates)
            for (int channels : channel_counts)
                for (int64_t frames : frame_counts) {
                    if (IsOpus(format) && rate == 44100)
                        continue;  // Opus has no 44.1 kHz
                    std::string path = dir.Path(FileName(format, rate, channels, frames));
                    if (!WriteTone(path, format.format, rate, channels, frames))
                        continue;  // e.g. MP3 has no six-channel layout
                    DecoderPtr decoder = OpenDecoder(path);
                    ASSERT_NE(decoder, nullptr) << path;
                    EXPECT_EQ(decoder->Frames(), DecodedFrames(format, rate, frames)) << path;
                    EXPECT_EQ(decoder->Format().rate, DecodedRate(format, rate)) << path;
                    EXPECT_EQ(decoder->Format().channels, channels) << path;
                }
}

// Cut short inside the data, a file's header may still claim the whole (FLAC, MP3 with a Xing
// header) or nothing (Ogg): the count must be what decoding delivers.
TEST(DecoderTest, CountsWhatCutFilesDecodeTo)
{
    ScratchDir dir;
    for (const Format &format : FORMATS) {
        int rate = IsOpus(format) ? 48000 : 44100;
        std::string whole = dir.Path(FileName(format, rate, 2, 100000));
        ASSERT_TRUE(WriteTone(whole, format.format, rate, 2, 100000)) << whole;
        for (int percent : {40, 75, 99}) {
            std::string cut = whole + ".cut" + std::to_string(percent);
            WriteCutCopy(whole, cut, percent);
            DecoderPtr decoder = OpenDecoder(cut);
            int64_t decodable = DecodeAllFrames(cut);
            if (decodable < 0) {
                EXPECT_EQ(decoder, nullptr) << cut;
                continue;
            }
            ASSERT_NE(decoder, nullptr) << cut;
            EXPECT_EQ(decoder->Frames(), decodable) << cut;
            EXPECT_LT(decoder->Frames(), 100000) << cut;
        }
    }
}

TEST(DecoderTest, ReadDeliversExactlyTheCountedFrames)
{
    ScratchDir dir;
    for (const Format &format : FORMATS) {
        int rate = IsOpus(format) ? 48000 : 22050;
        std::string path = dir.Path(FileName(format, rate, 2, 30011));
        ASSERT_TRUE(WriteTone(path, format.format, rate, 2, 30011)) << path;
        DecoderPtr decoder = OpenDecoder(path);
        ASSERT_NE(decoder, nullptr) << path;
        int16_t samples[2 * 1000];
        int64_t total = 0, got;
        while ((got = decoder->Read(samples, 1000)) > 0)
            total += got;
        EXPECT_EQ(total, 30011) << path;
        EXPECT_TRUE(decoder->AtEnd()) << path;
        EXPECT_EQ(decoder->FramesLeft(), 0) << path;
    }
}

// Lossless sources, float and double ones included, decode to the very samples written.
TEST(DecoderTest, LosslessFormatsDecodeToTheSamplesWritten)
{
    ScratchDir dir;
    const Format lossless[] = {
        {"wav16", "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
        {"wav24", "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
        {"wavfloat", "wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
        {"wavdouble", "wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE},
        {"aifffloat", "aiff", SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
        {"flac24", "flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
    };
    for (const Format &format : lossless) {
        std::string path = dir.Path(FileName(format, 44100, 2, 2000));
        ASSERT_TRUE(WriteTone(path, format.format, 44100, 2, 2000)) << path;
        DecoderPtr decoder = OpenDecoder(path);
        ASSERT_NE(decoder, nullptr) << path;
        int16_t samples[2 * 2000];
        ASSERT_EQ(decoder->Read(samples, 2000), 2000) << path;
        int wrong = 0;
        for (int i = 0; i < 2 * 2000; i++)
            wrong += std::abs(samples[i] - ToneSample(i)) > 1;
        EXPECT_EQ(wrong, 0) << path << ": sample 100 is " << samples[100] << ", written "
                            << ToneSample(100);
    }
}

TEST(DecoderTest, RejectsWhatCannotBeDecoded)
{
    ScratchDir dir;
    std::string wav = dir.Path("whole.wav");
    ASSERT_TRUE(WriteTone(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 1000));
    WriteCutCopy(wav, dir.Path("header_cut.wav"), 1);
    WriteBytes(dir.Path("empty.wav"), "");
    WriteBytes(dir.Path("text.mp3"), "this is not a sound at all, just some words\n");
    WriteBytes(dir.Path("zeros.ogg"), std::string(4096, '\0'));
    struct Case {
        const char *name;
        std::string path;
    } cases[] = {
        {"header cut short", dir.Path("header_cut.wav")},
        {"empty file", dir.Path("empty.wav")},
        {"text", dir.Path("text.mp3")},
        {"zeros", dir.Path("zeros.ogg")},
        {"missing file", dir.Path("missing.wav")},
        {"directory", dir.Path("")},
    };
    for (const Case &c : cases) {
        DecoderPtr decoder = OpenDecoder(c.path);
        EXPECT_EQ(decoder, nullptr) << c.name << ": " << c.path << " gave a decoder";
    }
}

// mpg123 warns on stderr about a cut MP3 whose Xing header claims more; none of it may show.
TEST(DecoderTest, DamagedMp3sStayQuiet)
{
    ScratchDir dir;
    std::string whole = dir.Path("whole.mp3"), cut = dir.Path("cut.mp3");
    ASSERT_TRUE(WriteTone(whole, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 2, 200000));
    WriteCutCopy(whole, cut, 50);
    testing::internal::CaptureStderr();
    DecodeAllFrames(cut);
    std::string plain = testing::internal::GetCapturedStderr();
    ASSERT_NE(plain, "") << "the cut file no longer makes mpg123 warn: the test proves nothing";

    testing::internal::CaptureStderr();
    DecoderPtr decoder = OpenDecoder(cut);
    int16_t samples[2 * 4096];
    while (decoder != nullptr && decoder->Read(samples, 4096) > 0) {
    }
    std::string ours = testing::internal::GetCapturedStderr();
    EXPECT_NE(decoder, nullptr);
    EXPECT_EQ(ours, "");
}

}  // namespace
