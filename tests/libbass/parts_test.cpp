// Tests of the small parts: byte and time arithmetic, the gain stage, the stream table and the
// look-by-look count of a wait on the audio system and what the system tells it of our threads.
#include <gtest/gtest.h>

#include <math.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

#include "libbass/core/patience.h"
#include "libbass/core/pcm_format.h"
#include "libbass/core/starved_time.h"
#include "libbass/core/stream_table.h"
#include "libbass/core/volume.h"

namespace {

TEST(PcmFormatTest, LengthsAndDurations)
{
    struct Case {
        const char *name;
        PcmFormat format;
        int64_t frames;
        uint64_t bytes;
        double seconds;
    } cases[] = {
        {"CD stereo, one second", {44100, 2}, 44100, 176400, 1.0},
        {"mono 8 kHz, one frame", {8000, 1}, 1, 2, 1.0 / 8000},
        {"5.1 at 48 kHz", {48000, 6}, 48000 * 3, 48000 * 3 * 12, 3.0},
        {"a day of stereo, past 32 bits",
         {44100, 2},
         44100LL * 86400,
         44100ULL * 86400 * 4,
         86400.0},
        {"empty", {22050, 2}, 0, 0, 0.0},
    };
    for (const Case &c : cases) {
        uint64_t bytes = FramesToBytes(c.format, c.frames);
        EXPECT_EQ(bytes, c.bytes) << c.name;
        EXPECT_DOUBLE_EQ(BytesToSeconds(c.format, bytes), c.seconds) << c.name;
    }
}

// A wait's looks, as a waiting thread makes them: each `every_ms` after the one before (late by
// `late_ms`), the process's other threads kept off the processor for `starved_ms` of it, an
// answer of the system at the looks listed, another thread of ours ready to run at each look up
// to `ready_through`; the time of the look that gives up.
struct LookSeries {
    const char *name;
    int64_t every_ms;
    int64_t late_ms;
    int64_t starved_ms;
    std::set<int> answered_at;  // look numbers, from 1
    int64_t gives_up_at_ms;     // -1: never, in the looks made
    int ready_through = 0;
};

int64_t GivesUpAt(const LookSeries &series, int looks)
{
    Moment now = {1000, 7, false};
    Patience patience = StartPatience(now);
    for (int look = 1; look <= looks; look++) {
        now.clock_ms += series.every_ms + series.late_ms;
        now.starved_ms += series.starved_ms;
        now.others_ready = look <= series.ready_through;
        if (series.answered_at.count(look) != 0)
            NoteAnswer(&patience, now);
        else if (LookOutOfPatience(&patience, now, ANSWER_BOUND_MS))
            return now.clock_ms - 1000;
    }
    return -1;
}

TEST(PatienceTest, CountsTheSystemsSilenceNotOurLateness)
{
    const LookSeries cases[] = {
        {"looks on time: the bound, to the look", LOOK_EVERY_MS, 0, 0, {}, ANSWER_BOUND_MS},
        {"looks a little late count in full",
         LOOK_EVERY_MS,
         40,
         0,
         {},
         (ANSWER_BOUND_MS + 89) / 90 * 90},
        {"a starved thread's looks, a second apart, count as on time",
         1000,
         0,
         0,
         {},
         1000 * (ANSWER_BOUND_MS / LOOK_CAP_MS)},
        {"time our other threads waited for the processor is not the system's",
         LOOK_EVERY_MS,
         0,
         LOOK_EVERY_MS / 2,
         {},
         2 * ANSWER_BOUND_MS},
        {"a look is not counted below nothing when several threads waited through it",
         LOOK_EVERY_MS,
         0,
         3 * LOOK_EVERY_MS,
         {},
         -1},
        {"starved late looks count what the cap leaves beyond the waiting",
         1000,
         0,
         LOOK_CAP_MS / 2,
         {},
         1000 * (2 * ANSWER_BOUND_MS / LOOK_CAP_MS)},
        {"an answer starts the count again",
         LOOK_EVERY_MS,
         0,
         0,
         {20},
         20 * LOOK_EVERY_MS + ANSWER_BOUND_MS},
        {"a system that keeps answering is waited for",
         LOOK_EVERY_MS,
         0,
         0,
         {10, 30, 50, 70, 90, 110},
         -1},
        {"looks while our other threads wait for the processor count nothing",
         LOOK_EVERY_MS,
         0,
         0,
         {},
         30 * LOOK_EVERY_MS + ANSWER_BOUND_MS,
         30},
        {"a thread of ours that never stops working is never the system's silence",
         LOOK_EVERY_MS,
         0,
         0,
         {},
         -1,
         120},
    };
    for (const LookSeries &series : cases)
        EXPECT_EQ(GivesUpAt(series, 120), series.gives_up_at_ms) << series.name;
}

// OthersReady as the system reports it: a thread of ours that computes is ready, one blocked on
// a pipe is not, and the caller itself never counts.
TEST(StarvedTimeTest, OthersReadyTellsWorkingThreadsFromWaitingOnes)
{
    EXPECT_FALSE(OthersReady()) << "the test's lone thread";
    const struct {
        const char *name;
        bool computes;
    } cases[] = {{"a thread that computes", true}, {"a thread blocked on a pipe", false}};
    for (const auto &c : cases) {
        int wake[2];
        ASSERT_EQ(pipe(wake), 0);
        std::atomic<bool> stop{false};
        std::atomic<bool> started{false};
        std::thread other([&] {
            started = true;
            char byte;
            if (!c.computes) {
                EXPECT_EQ(read(wake[0], &byte, 1), 1);
            }
            while (c.computes && !stop) {
            }
        });
        while (!started) {
        }
        // The blocked one may take a moment to reach its read; the one that computes never
        // leaves the run queue.
        bool ready = OthersReady();
        for (int look = 0; look < 1000 && ready != c.computes; look++) {
            usleep(1000);
            ready = OthersReady();
        }
        EXPECT_EQ(ready, c.computes) << c.name;
        stop = true;
        EXPECT_EQ(write(wake[1], "x", 1), 1);
        other.join();
        close(wake[0]);
        close(wake[1]);
    }
}

// A count that goes back, on either reading, counts nothing for that look.
TEST(PatienceTest, ACountThatGoesBackCountsNothing)
{
    const struct {
        const char *name;
        Moment second_look;
        int64_t counted_ms;
    } cases[] = {
        {"the clock went back", {1000, 0, false}, 0},
        {"a starved thread ended, taking its count with it", {5010, -500, false}, 10},
    };
    for (const auto &c : cases) {
        Patience patience = StartPatience(Moment{5000, 0, false});
        int64_t bound_ms = c.counted_ms + 1;
        EXPECT_FALSE(LookOutOfPatience(&patience, c.second_look, bound_ms)) << c.name;
        EXPECT_EQ(patience.waited_ms, c.counted_ms) << c.name;
        Moment third = {c.second_look.clock_ms + 1, c.second_look.starved_ms, false};
        EXPECT_TRUE(LookOutOfPatience(&patience, third, bound_ms)) << c.name;
    }
}

TEST(VolumeTest, ClampsRequests)
{
    struct Case {
        float requested;
        bool accepted;
        float gain;
    } cases[] = {
        {1.0f, true, 1.0f}, {0.25f, true, 0.25f},   {0.0f, true, 0.0f}, {-3.0f, true, 0.0f},
        {7.0f, true, 1.0f}, {INFINITY, true, 1.0f}, {NAN, false, 0.5f},
    };
    for (const Case &c : cases) {
        float gain = 0.5f;
        EXPECT_EQ(ClampVolume(c.requested, &gain), c.accepted) << "volume " << c.requested;
        EXPECT_EQ(gain, c.gain) << "volume " << c.requested;
    }
}

TEST(VolumeTest, ScalesSamples)
{
    struct Case {
        const char *name;
        float gain;
        int16_t in[4];
        int16_t out[4];
    } cases[] = {
        {"unity is bit-exact", 1.0f, {32767, -32768, 1, -1}, {32767, -32768, 1, -1}},
        {"half rounds to nearest even", 0.5f, {32767, -32768, 3, -3}, {16384, -16384, 2, -2}},
        {"silence", 0.0f, {32767, -32768, 1, -1}, {0, 0, 0, 0}},
        {"quarter", 0.25f, {1000, -1000, 4000, 2}, {250, -250, 1000, 0}},
    };
    for (const Case &c : cases) {
        int16_t samples[4] = {c.in[0], c.in[1], c.in[2], c.in[3]};
        ApplyVolume(samples, 4, c.gain);
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(samples[i], c.out[i]) << c.name << ", sample " << i << " from " << c.in[i];
    }
}

TEST(StreamTableTest, HandlesAreUniqueNonzeroAndForgotten)
{
    int objects[70];
    std::set<uint32_t> handles;
    for (int &object : objects) {
        uint32_t handle = AddStream(reinterpret_cast<struct Stream *>(&object));
        if (handle == 0)
            break;
        EXPECT_TRUE(handles.insert(handle).second) << "handle " << handle << " given twice";
    }
    EXPECT_EQ(handles.size(), 64u) << "slots before the table reports full";
    EXPECT_EQ(FindStream(0), nullptr);
    uint32_t first = *handles.begin();
    EXPECT_EQ(FindStream(first), reinterpret_cast<struct Stream *>(&objects[0]));
    EXPECT_EQ(RemoveStream(first), reinterpret_cast<struct Stream *>(&objects[0]));
    EXPECT_EQ(FindStream(first), nullptr) << "a freed handle still finds its stream";
    EXPECT_EQ(RemoveStream(first), nullptr);
    uint32_t reused_slot = AddStream(reinterpret_cast<struct Stream *>(&objects[69]));
    EXPECT_NE(reused_slot, 0u);
    EXPECT_EQ(handles.count(reused_slot), 0u) << "a freed handle was given out again at once";
    int left = 0;
    while (RemoveAnyStream() != nullptr)
        left++;
    EXPECT_EQ(left, 64);
}

}  // namespace
