// Tests of the decoder's hold on its count, over a scripted sound file standing in for a system's.
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "libbass/core/decoder.h"
#include "libbass/core/heap.h"

// The scripted file: its info, then reads that give at most `chunk` frames each until `frames`
// are given; every sample is its frame's number, so an order or a gap shows.
struct SoundFile {
    int64_t frames;
    int64_t chunk;
    int64_t given;
};

namespace {

struct Script {
    bool opens;
    SoundFileInfo info;
    int64_t file_frames;  // what the file actually gives
    int64_t chunk;
};

Script script;
int open_files = 0;

}  // namespace

SoundFile *OpenSoundFile(const char *, SoundFileInfo *info)
{
    if (!script.opens)
        return nullptr;
    *info = script.info;
    open_files++;
    return HeapNew<SoundFile>(SoundFile{script.file_frames, script.chunk, 0});
}

int64_t ReadSoundFile(SoundFile *file, int16_t *samples, int64_t frames)
{
    int64_t count = frames < file->chunk ? frames : file->chunk;
    if (count > file->frames - file->given)
        count = file->frames - file->given;
    for (int64_t i = 0; i < count; i++)
        samples[i] = static_cast<int16_t>(1 + file->given + i);
    file->given += count;
    return count;
}

void CloseSoundFile(SoundFile *file)
{
    open_files--;
    HeapDelete(file);
}

namespace {

TEST(CountedDecoderTest, GivesExactlyTheCountedFrames)
{
    struct Case {
        const char *name;
        int64_t counted;
        int64_t in_file;
        int64_t chunk;
        int64_t read_size;
        int64_t silent_from;  // the first frame given as silence, or the count
    } cases[] = {
        {"the file holds its count", 1000, 1000, 300, 256, 1000},
        {"the file holds more: the rest is never given", 1000, 5000, 4096, 512, 1000},
        {"the file gives out early: silence to the count", 1000, 600, 128, 100, 600},
        {"the file gives nothing: all silence", 500, 0, 64, 64, 0},
        {"reads larger than the count", 10, 10, 64, 4096, 10},
        {"one frame at a time", 7, 3, 1, 1, 3},
        {"no frames", 0, 100, 64, 64, 0},
    };
    for (const Case &c : cases) {
        script = Script{true, SoundFileInfo{{8000, 1}, c.counted}, c.in_file, c.chunk};
        Decoder *decoder = Decoder::Open("scripted");
        ASSERT_NE(decoder, nullptr) << c.name;
        EXPECT_EQ(decoder->Frames(), c.counted) << c.name;
        std::vector<int16_t> heard;
        std::vector<int16_t> buffer(static_cast<size_t>(c.read_size));
        int64_t got;
        while ((got = decoder->Read(buffer.data(), c.read_size)) > 0) {
            heard.insert(heard.end(), buffer.begin(), buffer.begin() + got);
            EXPECT_EQ(decoder->FramesLeft(), c.counted - static_cast<int64_t>(heard.size()))
                << c.name;
        }
        EXPECT_TRUE(decoder->AtEnd()) << c.name;
        ASSERT_EQ(static_cast<int64_t>(heard.size()), c.counted) << c.name;
        for (int64_t i = 0; i < c.counted; i++) {
            int16_t expected = i < c.silent_from ? static_cast<int16_t>(1 + i) : 0;
            ASSERT_EQ(heard[static_cast<size_t>(i)], expected) << c.name << ", frame " << i;
        }
        HeapDelete(decoder);
        EXPECT_EQ(open_files, 0) << c.name << ": the file was not closed";
    }
}

TEST(CountedDecoderTest, RefusesWhatCannotBeMeasured)
{
    struct Case {
        const char *name;
        Script script;
    } cases[] = {
        {"the file does not open", {false, {{44100, 2}, 100}, 100, 10}},
        {"no rate", {true, {{0, 2}, 100}, 100, 10}},
        {"no channels", {true, {{44100, 0}, 100}, 100, 10}},
        {"a negative count", {true, {{44100, 2}, -1}, 100, 10}},
    };
    for (const Case &c : cases) {
        script = c.script;
        Decoder *decoder = Decoder::Open("scripted");
        EXPECT_EQ(decoder, nullptr) << c.name;
        HeapDelete(decoder);
        EXPECT_EQ(open_files, 0) << c.name << ": a refused file was left open";
    }
}

}  // namespace
