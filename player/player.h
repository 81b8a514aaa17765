// The playback run: its settings, its state and the routines that carry it out.
#pragma once

#include <stdint.h>

#include "platform/bass_api.h"

constexpr int OUTPUT_DEVICE = 1;  // the audio library's first real output device
constexpr DWORD OUTPUT_RATE = 44100;
constexpr DWORD DEVICE_FLAGS = BASS_DEVICE_SPEAKERS;
constexpr HWND NO_WINDOW = nullptr;
constexpr DWORD STREAM_FLAGS = BASS_STREAM_PRESCAN | BASS_STREAM_AUTOFREE;
constexpr DWORD LENGTH_MODE = BASS_POS_BYTE;
constexpr DWORD VOLUME_ATTRIBUTE = BASS_ATTRIB_VOL;
constexpr float FULL_VOLUME = 1.0f;
constexpr double MILLISECONDS_PER_SECOND = 1000.0;
constexpr UINT TIMER_RESOLUTION_MS = 1;
constexpr UINT EXIT_CODE = 0;
constexpr int32_t LONGEST_WAIT_MS = INT32_MAX;

struct RunState {
    char *path;
    HSTREAM stream;
    int64_t length_bytes;  // the whole 64-bit count: a long file must not wrap to a short wait
    double duration;       // first the length in seconds, then the wait in milliseconds
};

// The program's entry point: plays the file named by the first parameter, then ends the process.
extern "C" [[noreturn]] void RunMain(void);

// Sleeps `ms` milliseconds with the system timer held at 1 ms resolution.
void WaitMilliseconds(int32_t ms);

// The sleep count for a span in milliseconds: rounded half to even, held within
// 0..LONGEST_WAIT_MS; a span that is not a finite number gives 0.
int32_t RoundWait(double milliseconds);
