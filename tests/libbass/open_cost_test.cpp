// Every format starts at once and plays what it counts: what opening a file reads does not grow
// with its length, and its samples, read to the end, are exactly the frames it was measured at.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "libbass/core/decoder.h"
#include "libbass/core/heap.h"
#include "libbass/core/sound_file.h"
#include "libbass/decoders/input_file.h"
#include "tests/libbass/sound_files.h"

// The file access of this test's build: POSIX reads, each one counted.
namespace {
uint64_t bytes_read = 0;
}  // namespace

struct InputFile {
    int fd;
    uint64_t size;
};

InputFile *OpenInputFile(const char *path)
{
    int fd = open(path, O_RDONLY);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    return new InputFile{fd, static_cast<uint64_t>(status.st_size)};
}

uint64_t InputFileSize(const InputFile *file)
{
    return file->size;
}

size_t ReadInputFile(InputFile *file, uint64_t offset, void *buffer, size_t bytes)
{
    ssize_t got = pread(file->fd, buffer, bytes, static_cast<off_t>(offset));
    bytes_read += got > 0 ? static_cast<uint64_t>(got) : 0;
    return got > 0 ? static_cast<size_t>(got) : 0;
}

void CloseInputFile(InputFile *file)
{
    close(file->fd);
    delete file;
}

namespace {

// Rewrites STREAMINFO's 36-bit count of a FLAC file as libsndfile writes it (no ID3 tag), as
// `scale` times itself: 0 as an encoder writing to a pipe leaves it, 2 as a header that lies.
void ScaleFlacCount(const std::string &path, int scale)
{
    constexpr size_t COUNT_AT = 4 + 4 + 13;  // "fLaC", the block header, then bytes 13 to 17
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    std::vector<uint8_t> bytes(5);
    file.seekg(COUNT_AT);
    file.read(reinterpret_cast<char *>(bytes.data()), 5);
    uint64_t count = 0;
    for (uint8_t byte : bytes)
        count = count << 8 | byte;
    uint64_t scaled = ((count & 0xFFFFFFFFFULL) * static_cast<uint64_t>(scale)) & 0xFFFFFFFFFULL;
    scaled |= count & ~0xFFFFFFFFFULL;  // the bits per sample share the first byte
    for (int i = 4; i >= 0; i--, scaled >>= 8)
        bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(scaled);
    file.seekp(COUNT_AT);
    file.write(reinterpret_cast<const char *>(bytes.data()), 5);
}

void LeaveFlacCountOut(const std::string &path)
{
    ScaleFlacCount(path, 0);
}

void DoubleFlacCount(const std::string &path)
{
    ScaleFlacCount(path, 2);
}

struct Format {
    const char *name;
    const char *extension;
    int format;
    int rate;
    void (*alter)(const std::string &path) = nullptr;  // applied to the file once written
};

// The formats the shared decoders take, as libsndfile writes them.
const Format FORMATS[] = {
    {"WAV 16-bit", "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100},
    {"WAV float", "wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100},
    {"AIFF 16-bit", "aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 44100},
    {"AIFF 24-bit", "aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 48000},
    {"AIFF-C float", "aifc", SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 44100},
    {"FLAC 16-bit", "flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100},
    {"FLAC 24-bit", "flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 96000},
    {"FLAC, no count", "flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, LeaveFlacCountOut},
    {"FLAC, twice the count", "flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, DoubleFlacCount},
    {"Ogg Vorbis", "ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100},
    {"Ogg Opus", "opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000},
    {"MP3 with a tag", "mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100},
};
// What opening may read: the headers and a look at the end, never the file; and as much for a
// long file as for a shorter one, give or take where a page or a frame happens to begin.
constexpr uint64_t MOST_BYTES_AT_OPEN = 512 * 1024;
constexpr uint64_t SAME_COST_SLACK = 16 * 1024;

std::string WriteFile(const ScratchDir &dir, const Format &format, int seconds)
{
    std::string path =
        dir.Path(std::string(format.name) + "-" + std::to_string(seconds) + "." + format.extension);
    EXPECT_TRUE(WriteTone(path, format.format, format.rate, 2, int64_t{seconds} * format.rate))
        << path;
    if (format.alter != nullptr)
        format.alter(path);
    return path;
}

// The bytes opening `path` reads, and the length it finds; -1 frames if it does not open.
uint64_t BytesToOpen(const std::string &path, int64_t *frames)
{
    bytes_read = 0;
    Decoder *decoder = Decoder::Open(path.c_str());
    uint64_t bytes = bytes_read;
    *frames = decoder != nullptr ? decoder->Frames() : -1;
    HeapDelete(decoder);
    return bytes;
}

TEST(StartsAtOnceTest, OpeningReadsNoMoreForALongFile)
{
    ScratchDir dir;
    for (const Format &format : FORMATS) {
        int64_t short_frames = 0, long_frames = 0;
        uint64_t short_bytes = BytesToOpen(WriteFile(dir, format, 30), &short_frames);
        uint64_t long_bytes = BytesToOpen(WriteFile(dir, format, 120), &long_frames);
        EXPECT_EQ(long_frames, int64_t{120} * format.rate) << format.name;
        EXPECT_LE(long_bytes, MOST_BYTES_AT_OPEN)
            << format.name << ": 2 min opened by reading " << long_bytes << " bytes";
        EXPECT_LE(long_bytes, short_bytes + SAME_COST_SLACK)
            << format.name << ": " << short_bytes << " bytes to open 30 s, " << long_bytes
            << " to open 2 min";
    }
}

// Read to its end without the decoder's padding, a file gives exactly the frames it was counted
// at, cut short or whole: the wait and the sound agree to the sample.
TEST(StartsAtOnceTest, EveryCountedFrameDecodesAndNoMore)
{
    ScratchDir dir;
    for (const Format &format : FORMATS) {
        std::string whole = WriteFile(dir, format, 3);
        for (int percent : {100, 61}) {
            std::string path = whole + "." + std::to_string(percent);
            WriteCutCopy(whole, path, percent);
            SoundFileInfo info = {};
            SoundFile *file = OpenSoundFile(path.c_str(), &info);
            ASSERT_NE(file, nullptr) << path;
            std::vector<int16_t> samples(4096 * static_cast<size_t>(info.format.channels));
            int64_t total = 0, got;
            while ((got = ReadSoundFile(file, samples.data(), 4096)) > 0)
                total += got;
            CloseSoundFile(file);
            EXPECT_EQ(total, info.frames) << format.name << ", " << percent << "% of the file";
            if (percent == 100) {
                EXPECT_EQ(info.frames, 3 * int64_t{info.format.rate}) << format.name;
            }
        }
    }
}

}  // namespace
