// RunMain: the whole run, from opening the audio output to the end of the process.
#include "cmdline/cmdline.h"
#include "pathprobe/pathprobe.h"
#include "player/player.h"

static bool IsWorthPlaying(const char *path)
{
    return path != nullptr && path[0] != '\0' && ProbePathSize(path) > 0;
}

static void PlayToEnd(RunState *run)
{
    run->stream = BASS_StreamCreateFile(false, run->path, 0, 0, STREAM_FLAGS);
    run->length_bytes = static_cast<int64_t>(BASS_ChannelGetLength(run->stream, LENGTH_MODE));
    run->duration = BASS_ChannelBytes2Seconds(run->stream, static_cast<QWORD>(run->length_bytes));
    BASS_ChannelSetAttribute(run->stream, VOLUME_ATTRIBUTE, FULL_VOLUME);
    BASS_ChannelPlay(run->stream, false);
    run->duration = __builtin_fabs(run->duration) * MILLISECONDS_PER_SECOND;
    WaitMilliseconds(RoundWait(run->duration));
    BASS_ChannelStop(run->stream);
}

[[noreturn]] static void ShutDown(RunState *run)
{
    if (run->path != nullptr)
        HeapFree(GetProcessHeap(), 0, run->path);
    ExitProcess(EXIT_CODE);
}

extern "C" [[noreturn]] void RunMain(void)
{
    RunState run = {};
    parameter_cursor = 0;
    BASS_Init(OUTPUT_DEVICE, OUTPUT_RATE, DEVICE_FLAGS, NO_WINDOW, nullptr);
    run.path = ReadParameter(0);
    if (IsWorthPlaying(run.path))
        PlayToEnd(&run);
    ShutDown(&run);
}
