// Test sound files made with libsndfile at test time: tones of any format, cut copies, junk.
#pragma once

#include <stdint.h>

#include <string>

// A fresh directory under TMPDIR for one test's files, removed with everything in it.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    std::string Path(const std::string &name) const;

  private:
    std::string root_;
};

// Sample `index` (frames interleaved) of the quiet tone that WriteTone writes.
int16_t ToneSample(int64_t index);

// Writes `frames` frames of the tone; false if libsndfile cannot write that format.
bool WriteTone(const std::string &path, int format, int rate, int channels, int64_t frames);

// Keeps the first `percent` of the file at `from` in `to`.
void WriteCutCopy(const std::string &from, const std::string &to, int percent);

void WriteBytes(const std::string &path, const std::string &bytes);

// How many frames libsndfile decodes from the file, read to its end; -1 if it cannot open it.
int64_t DecodeAllFrames(const std::string &path);
