// The playback run over the recording double, and the rounding of its wait.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "player/player.h"
#include "tests/unit/fake_platform.h"

namespace {

TEST(RoundWait, RoundsHalfToEvenAndHoldsTheRange)
{
    constexpr double kInf = std::numeric_limits<double>::infinity();
    struct {
        double ms;
        int32_t expected;
    } const cases[] = {
        {0.0, 0},
        {-0.0, 0},
        {0.4999999999999999, 0},
        {0.5, 0},
        {1.5, 2},
        {2.5, 2},
        {3.5, 4},
        {2.5000000000000004, 3},
        {3200.0, 3200},
        {3199.9999999, 3200},
        {1e-300, 0},
        {-1000.0, 0},
        {2147483646.5, 2147483646},
        {2147483646.75, 2147483647},
        {2147483647.0, 2147483647},
        {2147483648.0, 2147483647},
        {4294967295.0, 2147483647},
        {1e300, 2147483647},
        {kInf, 0},
        {-kInf, 0},
        {std::nan(""), 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(RoundWait(c.ms), c.expected) << "RoundWait(" << c.ms << ")";
}

TEST(RunMain, PlaysTheFileForItsLengthThenExits)
{
    fake::Reset();
    fake::world.command_line = "playonce.exe \"D:\\My Music\\cue.wav\" ignored";
    fake::world.entries = {{"D:\\My Music\\cue.wav", {0x20, 564480}}};
    fake::world.length_bytes = 564444;
    fake::world.seconds = 3.2;
    EXPECT_EQ(fake::RunToExit(), 0u);
    const std::vector<std::string> expected = {
        "BASS_Init(1, 44100, 0x800, 0, 0)",
        "GetCommandLineA()",
        "HeapAlloc(20)",
        "FindFirstFileA(D:\\My Music\\cue.wav)",
        "FindClose()",
        "BASS_StreamCreateFile(0, D:\\My Music\\cue.wav, 0, 0, 0x60000)",
        "BASS_ChannelGetLength(0x1234, 0)",
        "BASS_ChannelBytes2Seconds(0x1234, 564444)",
        "BASS_ChannelSetAttribute(0x1234, 2, 1)",
        "BASS_ChannelPlay(0x1234, 0)",
        "timeBeginPeriod(1)",
        "Sleep(3200)",
        "timeEndPeriod(1)",
        "BASS_ChannelStop(0x1234)",
        "HeapFree()",
        "ExitProcess(0)",
    };
    EXPECT_EQ(fake::calls, expected);
    EXPECT_EQ(fake::live_blocks, 0);
}

}  // namespace
