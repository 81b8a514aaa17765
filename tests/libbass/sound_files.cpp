// Sound files for the tests, written and read back with libsndfile itself.
#include "tests/libbass/sound_files.h"

#include <sndfile.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

ScratchDir::ScratchDir()
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/libbass_test.XXXXXX";
    root_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
}

ScratchDir::~ScratchDir()
{
    if (!root_.empty())
        std::filesystem::remove_all(root_);
}

std::string ScratchDir::Path(const std::string &name) const
{
    return root_ + "/" + name;
}

int16_t ToneSample(int64_t index)
{
    return static_cast<int16_t>(6000.0 * std::sin(static_cast<double>(index) * 0.03));
}

bool WriteTone(const std::string &path, int format, int rate, int channels, int64_t frames)
{
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr)
        return false;
    // Most float files in the wild carry no PEAK chunk, and libsndfile reads them differently.
    sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    // Written as floats in -1..1, as a float file holds them; 16-bit formats get ToneSample back.
    // In parts: libvorbis's encoder takes a stack frame the size of what one write hands it.
    constexpr int64_t PART_FRAMES = 65536;
    std::vector<float> samples(static_cast<size_t>(PART_FRAMES * channels));
    sf_count_t written = 0;
    for (int64_t start = 0; start < frames && written == start; start += PART_FRAMES) {
        int64_t count = frames - start < PART_FRAMES ? frames - start : PART_FRAMES;
        for (int64_t i = 0; i < count * channels; i++)
            samples[static_cast<size_t>(i)] =
                static_cast<float>(ToneSample(start * channels + i)) / 32768.0f;
        written += sf_writef_float(file, samples.data(), count);
    }
    sf_close(file);
    return written == frames;
}

void WriteCutCopy(const std::string &from, const std::string &to, int percent)
{
    std::ifstream in(from, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    WriteBytes(to, bytes.substr(0, bytes.size() * static_cast<size_t>(percent) / 100));
}

void WriteBytes(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

int64_t DecodeAllFrames(const std::string &path)
{
    SF_INFO info = {};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
        return -1;
    std::vector<short> chunk(static_cast<size_t>(1024 * info.channels));
    int64_t frames = 0;
    sf_count_t got;
    while ((got = sf_readf_short(file, chunk.data(), 1024)) > 0)
        frames += got;
    sf_close(file);
    return frames;
}
