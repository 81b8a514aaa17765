// Tests of the arithmetic every system shares: sample conversion, durations, the rule at Stop.
#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "libbass/core/pcm_format.h"
#include "libbass/core/sample_conversion.h"
#include "libbass/core/stop_rule.h"

namespace {

std::vector<uint8_t> FloatBytes(float value)
{
    std::vector<uint8_t> bytes(4);
    memcpy(bytes.data(), &value, 4);
    return bytes;
}

std::vector<uint8_t> DoubleBytes(double value)
{
    std::vector<uint8_t> bytes(8);
    memcpy(bytes.data(), &value, 8);
    return bytes;
}

std::vector<uint8_t> Reversed(std::vector<uint8_t> bytes)
{
    return std::vector<uint8_t>(bytes.rbegin(), bytes.rend());
}

TEST(SampleConversionTest, EveryCodingToSixteenBits)
{
    struct Case {
        const char *name;
        SampleEncoding encoding;
        std::vector<uint8_t> bytes;
        int16_t sample;
    } cases[] = {
        {"u8 middle is silence", SampleEncoding::U8, {0x80}, 0},
        {"u8 lowest", SampleEncoding::U8, {0x00}, -32768},
        {"u8 highest", SampleEncoding::U8, {0xFF}, 32512},
        {"s16 as stored, little-endian", SampleEncoding::S16, {0x34, 0x12}, 0x1234},
        {"s16 negative", SampleEncoding::S16, {0x00, 0x80}, -32768},
        {"s24 keeps its top 16 bits", SampleEncoding::S24, {0xFF, 0x34, 0x12}, 0x1234},
        {"s24 negative floors", SampleEncoding::S24, {0x01, 0xFF, 0xFF}, -1},
        {"s24 lowest", SampleEncoding::S24, {0x00, 0x00, 0x80}, -32768},
        {"s32 keeps its top 16 bits", SampleEncoding::S32, {0xFF, 0xFF, 0x34, 0x12}, 0x1234},
        {"s32 highest", SampleEncoding::S32, {0xFF, 0xFF, 0xFF, 0x7F}, 32767},
        {"f32 full scale", SampleEncoding::F32, FloatBytes(1.0f), 32767},
        {"f32 half", SampleEncoding::F32, FloatBytes(0.5f), 16384},
        {"f32 over full scale clips", SampleEncoding::F32, FloatBytes(3.0f), 32767},
        {"f32 under full scale clips", SampleEncoding::F32, FloatBytes(-3.0f), -32768},
        {"f32 not a number is silence", SampleEncoding::F32, FloatBytes(NAN), 0},
        {"f32 infinity clips", SampleEncoding::F32, FloatBytes(-INFINITY), -32768},
        {"f64 minus full scale", SampleEncoding::F64, DoubleBytes(-1.0), -32767},
        {"f64 a quarter", SampleEncoding::F64, DoubleBytes(0.25), 8192},
        {"s8 lowest", SampleEncoding::S8, {0x80}, -32768},
        {"s8 highest", SampleEncoding::S8, {0x7F}, 32512},
        {"s16 big-endian", SampleEncoding::S16_BE, {0x12, 0x34}, 0x1234},
        {"s24 big-endian keeps its top 16 bits", SampleEncoding::S24_BE, {0x12, 0x34, 0xFF},
         0x1234},
        {"s24 big-endian negative floors", SampleEncoding::S24_BE, {0xFF, 0xFF, 0x01}, -1},
        {"s32 big-endian", SampleEncoding::S32_BE, {0x80, 0x00, 0x00, 0x01}, -32768},
        {"f32 big-endian half", SampleEncoding::F32_BE, Reversed(FloatBytes(0.5f)), 16384},
        {"f64 big-endian minus full scale", SampleEncoding::F64_BE, Reversed(DoubleBytes(-1.0)),
         -32767},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(c.bytes.size(), static_cast<size_t>(BytesPerSample(c.encoding))) << c.name;
        int16_t sample = 0x5555;
        ConvertToPcm16(c.bytes.data(), c.encoding, 1, &sample);
        EXPECT_EQ(sample, c.sample) << c.name;
    }
}

TEST(SampleConversionTest, RoundsHalvesToEven)
{
    struct Case {
        double scaled;
        int16_t sample;
    } cases[] = {
        {0.5, 0},       {1.5, 2},         {2.5, 2},       {-0.5, 0},     {-1.5, -2},
        {-2.5, -2},     {0.4999, 0},      {0.5001, 1},    {-0.5001, -1}, {32766.5, 32766},
        {32767.0, 32767}, {-32767.5, -32768}, {-32768.0, -32768}, {40000.0, 32767},
    };
    for (const Case &c : cases)
        EXPECT_EQ(RoundToSample(c.scaled), c.sample) << "scaled " << c.scaled;
}

TEST(PcmFormatTest, DurationsToTheNearestFrame)
{
    struct Case {
        const char *name;
        uint64_t units;  // 100 ns each
        int rate;
        int64_t frames;
    } cases[] = {
        {"a whole second", 10000000, 44100, 44100},
        {"1.2345 s cut to its unit rounds back", 12344999, 44100, 54441},
        {"a frame's duration truncated rounds back", 226, 44100, 1},
        {"under half a frame is none", 113, 44100, 0},
        {"half a frame rounds up", 125, 40000, 1},
        {"an hour at 192 kHz", 36000000000ULL, 192000, 691200000},
        {"a year at 48 kHz does not overflow", 315360000000000ULL, 48000, 1513728000000LL},
        {"nothing", 0, 48000, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(FramesInDuration(c.units, c.rate), c.frames) << c.name;
}

TEST(StopRuleTest, ShortTailsPlayOutLongOnesStop)
{
    const PcmFormat cd = {44100, 2};
    struct Case {
        const char *name;
        PcmFormat format;
        int64_t frames_left;
        int64_t milliseconds;
        bool plays_out;
    } cases[] = {
        {"all written", cd, 0, 0, true},
        {"one frame is a whole millisecond", cd, 1, 1, true},
        {"exactly the longest tail", cd, 11025, 250, true},
        {"one frame past it", cd, 11026, 251, false},
        {"a stop early in a long file", cd, 441000, 10000, false},
        {"the same tail at a low rate", {8000, 1}, 2000, 250, true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(FramesToMilliseconds(c.format, c.frames_left), c.milliseconds) << c.name;
        EXPECT_EQ(PlaysOutAtStop(c.format, c.frames_left), c.plays_out) << c.name;
    }
}

// What is left at Stop, timed from the first write, and whether it plays out.
TEST(StopRuleTest, TheRestIsTimedFromTheFirstWrite)
{
    const PcmFormat cd = {44100, 2};
    struct Case {
        const char *name;
        int64_t written;
        int64_t unwritten;
        int64_t since_ms;
        int64_t left;
        bool plays_out;
    } cases[] = {
        {"a Stop at the end, all written and played", 44100, 0, 1000, 0, true},
        {"a Stop early, most of the sound queued", 88200, 352800, 500, 418950, false},
        {"a Stop early, nothing written yet", 0, 441000, 123456, 441000, false},
        {"a starved writer behind at the end", 26460, 17640, 1100, -4410, true},
        {"a starved writer still far from the end", 4410, 436590, 1100, 392490, false},
        {"a tail still queued, the longest that plays out", 44100, 0, 750, 11025, true},
    };
    for (const Case &c : cases) {
        int64_t left = FramesLeftAtStop(cd, c.written, c.unwritten, c.since_ms);
        EXPECT_EQ(left, c.left) << c.name;
        EXPECT_EQ(PlaysOutAtStop(cd, left), c.plays_out) << c.name;
    }
}

}  // namespace
