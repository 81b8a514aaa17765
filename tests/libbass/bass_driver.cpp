// bass_driver: makes the program's seven calls on one file, in its order, and reports the results.
// Usage: bass_driver [-d DEVICE] [-v VOLUME] [-q] [-x] [-s MS] FILE. Prints handle, length,
// seconds and what Play and Stop returned, unless -q (for timing runs, which must write nothing).
// -x exits right after Play, the stream still playing; -s MS stops after MS ms, not the length.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "platform/bass_api.h"

namespace {

struct Options {
    int device = 1;
    float volume = 1.0f;
    bool quiet = false;
    bool exit_while_playing = false;
    long stop_after_ms = -1;
    const char *path = nullptr;
};

bool ParseOptions(int argc, char **argv, Options *options)
{
    int option;
    while ((option = getopt(argc, argv, "d:v:qxs:")) != -1) {
        if (option == 'd')
            options->device = atoi(optarg);
        else if (option == 'v')
            options->volume = strtof(optarg, nullptr);
        else if (option == 'q')
            options->quiet = true;
        else if (option == 'x')
            options->exit_while_playing = true;
        else if (option == 's')
            options->stop_after_ms = atol(optarg);
        else
            return false;
    }
    options->path = optind < argc ? argv[optind] : nullptr;
    return options->path != nullptr;
}

void SleepMilliseconds(long ms)
{
    timespec span = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&span, &span) != 0) {
    }
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr, "usage: %s [-d DEVICE] [-v VOLUME] [-q] [-x] [-s MS] FILE\n", argv[0]);
        return 2;
    }
    BASS_Init(options.device, 44100, BASS_DEVICE_SPEAKERS, nullptr, nullptr);
    HSTREAM stream = BASS_StreamCreateFile(false, options.path, 0, 0,
                                           BASS_STREAM_PRESCAN | BASS_STREAM_AUTOFREE);
    QWORD length = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
    double seconds = BASS_ChannelBytes2Seconds(stream, length);
    BOOL volume_set = BASS_ChannelSetAttribute(stream, BASS_ATTRIB_VOL, options.volume);
    BOOL played = BASS_ChannelPlay(stream, false);
    if (options.exit_while_playing)
        exit(0);
    long wait_ms = lround(fabs(seconds) * 1000.0);
    SleepMilliseconds(options.stop_after_ms >= 0 ? options.stop_after_ms : wait_ms);
    BOOL stopped = BASS_ChannelStop(stream);
    if (!options.quiet)
        printf("stream=%u length=%llu seconds=%.9f volume=%d play=%d stop=%d\n", stream,
               static_cast<unsigned long long>(length), seconds, volume_set, played, stopped);
    exit(0);
}
