// Fuzzing libbass.so: any bytes as a sound file, through the program's calls on the no-sound
// device.
#include <sndfile.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/memory_file.h"
#include "libbass/core/mp3_structure.h"
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

// What libsndfile itself makes of the file: its format and the frames a full decode yields.
struct Decoded {
    bool opens;
    SF_INFO info;
    int64_t frames;
};

static Decoded DecodeAll()
{
    Decoded decoded = {false, {}, 0};
    SNDFILE *file = sf_open(file_path, SFM_READ, &decoded.info);
    if (file == nullptr)
        return decoded;
    decoded.opens = decoded.info.channels > 0 && decoded.info.samplerate > 0;
    static short chunk[4096 * 8];
    int channels = decoded.info.channels > 0 ? decoded.info.channels : 1;
    sf_count_t got;
    while (decoded.opens && (got = sf_readf_short(file, chunk, 4096 * 8 / channels)) > 0)
        decoded.frames += got;
    sf_close(file);
    return decoded;
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
    if (stream == 0) {
        Require(length == LENGTH_ERROR && seconds == 0.0, "a failed stream with a length");
        return 0;
    }
    Decoded decoded = DecodeAll();
    // MPEG audio is measured from its structure and decoded from the frames counted there, not
    // by libsndfile (the unit tests hold that count to the decoder's): its length must be the
    // structure's. So must that of MPEG frames behind junk, which libsndfile does not open.
    if (!decoded.opens || (decoded.info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
        Mp3Structure structure = {};
        MemoryFile bytes{data, size, true, 0};
        Require(ReadMp3Structure(ReadFromMemory, &bytes, size, MP3_MOST_LEADING_JUNK, &structure),
                "a stream from a file that neither libsndfile nor the MP3 reader reads");
        Require(length == static_cast<QWORD>(structure.samples) * 2 * structure.format.channels,
                "an MP3 stream's length is not its structure's count");
        return 0;
    }
    const int64_t bytes_per_frame = 2 * decoded.info.channels;
    // The frames a full decode yields, or the header's own count where that is larger: a file
    // damaged inside may decode short of a count that its last frame bears out.
    Require(length % bytes_per_frame == 0, "the length is no whole number of frames");
    const int64_t frames = static_cast<int64_t>(length) / bytes_per_frame;
    Require(frames == decoded.frames || (frames == decoded.info.frames && frames > decoded.frames),
            "the length is neither what the file decodes to nor what its header says");
    double expected = static_cast<double>(frames) / decoded.info.samplerate;
    Require(std::fabs(seconds - expected) <= 1e-9 * (1 + expected), "seconds not length / rate");
    Require(BASS_ChannelGetLength(stream, BASS_POS_BYTE) == LENGTH_ERROR,
            "the stream outlived its stop");
    return 0;
}
