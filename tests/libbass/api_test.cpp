// The seven calls through libbass.so on the no-sound device: values, error values and freeing.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <math.h>

#include <string>

#include "platform/bass_api.h"
#include "tests/libbass/sound_files.h"

namespace {

constexpr QWORD LENGTH_ERROR = ~static_cast<QWORD>(0);
constexpr DWORD PROGRAM_FLAGS = BASS_STREAM_PRESCAN | BASS_STREAM_AUTOFREE;

class ApiTest : public testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(BASS_Init(0, 44100, BASS_DEVICE_SPEAKERS, nullptr, nullptr));
    }

    std::string Tone(const char *name, int rate, int channels, int64_t frames)
    {
        std::string path = dir_.Path(name);
        EXPECT_TRUE(WriteTone(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, rate, channels, frames));
        return path;
    }

    ScratchDir dir_;
};

TEST_F(ApiTest, SecondInitIsRefused)
{
    EXPECT_FALSE(BASS_Init(0, 44100, 0, nullptr, nullptr));
}

TEST_F(ApiTest, ProgramRunMeasuresPlaysAndFrees)
{
    HSTREAM stream =
        BASS_StreamCreateFile(false, Tone("a.wav", 22050, 1, 11025).c_str(), 0, 0, PROGRAM_FLAGS);
    ASSERT_NE(stream, 0u);
    QWORD length = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
    EXPECT_EQ(length, 22050u);
    EXPECT_DOUBLE_EQ(BASS_ChannelBytes2Seconds(stream, length), 0.5);
    EXPECT_TRUE(BASS_ChannelSetAttribute(stream, BASS_ATTRIB_VOL, 1.0f));
    EXPECT_TRUE(BASS_ChannelPlay(stream, false));
    EXPECT_TRUE(BASS_ChannelStop(stream));
    EXPECT_EQ(BASS_ChannelGetLength(stream, BASS_POS_BYTE), LENGTH_ERROR) << "not freed on Stop";
    EXPECT_FALSE(BASS_ChannelStop(stream));
}

TEST_F(ApiTest, StreamWithoutAutofreeOutlivesStop)
{
    HSTREAM stream = BASS_StreamCreateFile(false, Tone("b.wav", 48000, 2, 4800).c_str(), 0, 0,
                                           BASS_STREAM_PRESCAN);
    ASSERT_NE(stream, 0u);
    EXPECT_TRUE(BASS_ChannelPlay(stream, false));
    EXPECT_TRUE(BASS_ChannelStop(stream));
    EXPECT_EQ(BASS_ChannelGetLength(stream, BASS_POS_BYTE), 4800u * 4);
}

TEST_F(ApiTest, StreamsThatCannotBeMadeAreZero)
{
    std::string wav = Tone("c.wav", 44100, 2, 100);
    WriteBytes(dir_.Path("junk.wav"), "RIFF and then nothing of use");
    std::string junk = dir_.Path("junk.wav"), gone = dir_.Path("gone.wav");
    struct Case {
        const char *name;
        BOOL mem;
        const char *path;
        QWORD offset, length;
    } cases[] = {
        {"undecodable file", false, junk.c_str(), 0, 0},
        {"missing file", false, gone.c_str(), 0, 0},
        {"null path", false, nullptr, 0, 0},
        {"from memory", true, wav.c_str(), 0, 0},
        {"part of a file", false, wav.c_str(), 44, 100},
    };
    for (const Case &c : cases)
        EXPECT_EQ(BASS_StreamCreateFile(c.mem, c.path, c.offset, c.length, PROGRAM_FLAGS), 0u)
            << c.name;
}

TEST_F(ApiTest, UnknownHandlesGiveErrorValues)
{
    HSTREAM freed =
        BASS_StreamCreateFile(false, Tone("d.wav", 8000, 1, 10).c_str(), 0, 0, PROGRAM_FLAGS);
    ASSERT_NE(freed, 0u);
    BASS_ChannelStop(freed);
    for (DWORD handle : {0u, freed, 0xdeadbeefu}) {
        EXPECT_EQ(BASS_ChannelGetLength(handle, BASS_POS_BYTE), LENGTH_ERROR) << handle;
        EXPECT_EQ(BASS_ChannelBytes2Seconds(handle, 176400), 0.0) << handle;
        EXPECT_FALSE(BASS_ChannelSetAttribute(handle, BASS_ATTRIB_VOL, 1.0f)) << handle;
        EXPECT_FALSE(BASS_ChannelPlay(handle, false)) << handle;
        EXPECT_FALSE(BASS_ChannelStop(handle)) << handle;
    }
}

TEST_F(ApiTest, OnlyTheVolumeAttributeIsKnown)
{
    HSTREAM stream =
        BASS_StreamCreateFile(false, Tone("e.wav", 8000, 1, 10).c_str(), 0, 0, PROGRAM_FLAGS);
    ASSERT_NE(stream, 0u);
    EXPECT_TRUE(BASS_ChannelSetAttribute(stream, BASS_ATTRIB_VOL, 0.5f));
    EXPECT_FALSE(BASS_ChannelSetAttribute(stream, 1, 0.5f)) << "attribute 1 accepted";
    EXPECT_FALSE(BASS_ChannelSetAttribute(stream, BASS_ATTRIB_VOL, NAN)) << "NaN volume accepted";
    EXPECT_EQ(BASS_ChannelGetLength(stream, 1), LENGTH_ERROR) << "a length not in bytes";
    BASS_ChannelStop(stream);
}

}  // namespace
