// Fuzzing the library: any bytes as a sound file, through the program's calls on the no-sound
// device, then through the decoding layer itself, read to the end.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/memory_file.h"
#include "libbass/core/sound_file.h"
#include "libbass/decoders/format_reader.h"
#include "platform/bass_api.h"

constexpr int NO_SOUND_DEVICE = 0;
constexpr QWORD LENGTH_ERROR = ~static_cast<QWORD>(0);

static int file_descriptor = -1;
static char file_path[64];

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // An in-memory file, named through /proc so the library opens it as any path.
    file_descriptor = memfd_create("library-fuzz", 0);
    Require(file_descriptor >= 0, "no memory file");
    std::snprintf(file_path, sizeof file_path, "/proc/self/fd/%d", file_descriptor);
    Require(BASS_Init(NO_SOUND_DEVICE, 44100, BASS_DEVICE_SPEAKERS, nullptr, nullptr),
            "no-sound device refused");
    return 0;
}

static bool WriteFile(const uint8_t *data, size_t size)
{
    return ftruncate(file_descriptor, 0) == 0 &&
           pwrite(file_descriptor, data, size, 0) == static_cast<ssize_t>(size);
}

// What the decoding layer makes of the file: the reader that took it, its count, and the frames
// it gives read to the end, before the core cuts or pads them to the count.
struct Decoded {
    const FormatReader *reader;
    SoundFileInfo info;
    int64_t frames;
};

static Decoded DecodeAll()
{
    Decoded decoded = {nullptr, {}, 0};
    SoundFile *file = OpenSoundFile(file_path, &decoded.info);
    if (file == nullptr)
        return decoded;
    decoded.reader = ReaderOf(file);
    std::vector<int16_t> chunk(4096 * static_cast<size_t>(decoded.info.format.channels));
    int64_t got;
    while ((got = ReadSoundFile(file, chunk.data(), 4096)) > 0)
        decoded.frames += got;
    CloseSoundFile(file);
    return decoded;
}

// Readers whose count is the file's own structure, so that what they decode is the count, to the
// frame, however the file is damaged: the uncompressed ones, and FLAC, whose damaged frames
// become silence of their length between the whole ones.
static bool DecodesExactlyItsCount(const FormatReader *reader)
{
    return reader == &WAVE_READER || reader == &AIFF_READER || reader == &FLAC_READER;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1 << 16 || !WriteFile(data, size))
        return 0;
    HSTREAM stream =
        BASS_StreamCreateFile(false, file_path, 0, 0, BASS_STREAM_PRESCAN | BASS_STREAM_AUTOFREE);
    QWORD length = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
    double seconds = BASS_ChannelBytes2Seconds(stream, length);
    BASS_ChannelSetAttribute(stream, BASS_ATTRIB_VOL, 1.0f);
    BASS_ChannelPlay(stream, false);
    BASS_ChannelStop(stream);
    Require(std::isfinite(seconds) && seconds >= 0, "seconds not a finite, positive number");
    Require(BASS_ChannelGetLength(stream, BASS_POS_BYTE) == LENGTH_ERROR,
            "the stream outlived its stop");
    Decoded decoded = DecodeAll();
    if (stream == 0) {
        Require(length == LENGTH_ERROR && seconds == 0.0, "a failed stream with a length");
        Require(decoded.reader == nullptr, "no stream from a file the decoders open");
        return 0;
    }
    Require(decoded.reader != nullptr, "a stream from a file the decoders do not open");
    const int64_t bytes_per_frame = 2 * decoded.info.format.channels;
    Require(length == static_cast<QWORD>(decoded.info.frames * bytes_per_frame),
            "the length is not the decoders' count");
    double expected = static_cast<double>(decoded.info.frames) / decoded.info.format.rate;
    Require(std::fabs(seconds - expected) <= 1e-9 * (1 + expected), "seconds not length / rate");
    if (DecodesExactlyItsCount(decoded.reader))
        Require(decoded.frames == decoded.info.frames, "decodes to other than its count");
    return 0;
}
