// Playback on Windows: a waveOut stream on the wave mapper, kept full by a thread of its own.
//
// Two facts of winmm shape it. A wave block is reported done once the device's clock has passed
// it, which can be before its last frames have left the system's mixer; and a device whose queue
// runs empty is stopped and reset, dropping what the mixer still held. So the queue is kept
// deep, and the file's last block is followed by one of silence: when that is done, every frame
// of the file has been heard, and what the reset drops is silence.
#include "libbass/core/heap.h"
#include "libbass/core/playback.h"
#include "libbass/core/stop_rule.h"
#include "libbass/windows/win32.h"

#include <mmreg.h>
#include <mmsystem.h>
#include <objbase.h>

namespace {

constexpr DWORD BLOCK_MS = 50;
constexpr int BLOCK_COUNT = 8;  // 400 ms queued ahead: a thread that wakes late does not run dry
constexpr DWORD SILENCE_MS = 50;
constexpr DWORD QUEUED_MS = BLOCK_COUNT * BLOCK_MS + SILENCE_MS;
// How long a stopped thread may take to notice: it only ever waits on its event.
constexpr DWORD CUT_TIMEOUT_MS = 1000;

enum Request : LONG { PLAYING, FINISHING, CUTTING };

}  // namespace

struct Playback {
    HWAVEOUT device;
    HANDLE wake;    // set by the device as each block is done, and by the caller to stop
    HANDLE thread;
    HMODULE module;  // the library, held loaded while the thread runs
    SampleSource source;
    PcmFormat format;
    DWORD block_frames;
    int16_t *samples;  // BLOCK_COUNT blocks of block_frames, then the silence
    WAVEHDR blocks[BLOCK_COUNT];
    WAVEHDR silence;
    volatile LONG request;
    bool written_all;     // touched by the thread alone, once it runs
    bool silence_queued;
};

namespace {

DWORD FrameBytes(const Playback *playback)
{
    return static_cast<DWORD>(FrameBytes(playback->format));
}

DWORD FramesIn(const Playback *playback, DWORD milliseconds)
{
    return static_cast<DWORD>(static_cast<uint64_t>(playback->format.rate) * milliseconds / 1000);
}

// The channel layouts of WAVEFORMATEXTENSIBLE for 3 to 8 channels, in the order files store them.
DWORD ChannelMask(int channels)
{
    constexpr DWORD FRONT = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    constexpr DWORD BACK = SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT;
    constexpr DWORD SIX = FRONT | SPEAKER_FRONT_CENTER | SPEAKER_LOW_FREQUENCY | BACK;
    constexpr DWORD MASKS[] = {
        FRONT | SPEAKER_FRONT_CENTER,
        FRONT | BACK,
        FRONT | SPEAKER_FRONT_CENTER | BACK,
        SIX,
        SIX | SPEAKER_BACK_CENTER,
        SIX | SPEAKER_SIDE_LEFT | SPEAKER_SIDE_RIGHT,
    };
    return channels >= 3 && channels <= 8 ? MASKS[channels - 3] : 0;
}

// 16-bit PCM at the file's rate; beyond stereo the extensible form, which names the speakers.
WAVEFORMATEXTENSIBLE WaveFormat(PcmFormat format)
{
    // KSDATAFORMAT_SUBTYPE_PCM, spelled out: its header defines it only with a GUID library.
    constexpr GUID PCM_SUBTYPE = {0x00000001, 0x0000, 0x0010,
                                  {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    WAVEFORMATEXTENSIBLE wave = {};
    WAVEFORMATEX &plain = wave.Format;
    plain.wFormatTag = WAVE_FORMAT_PCM;
    plain.nChannels = static_cast<WORD>(format.channels);
    plain.nSamplesPerSec = static_cast<DWORD>(format.rate);
    plain.wBitsPerSample = 16;
    plain.nBlockAlign = static_cast<WORD>(FrameBytes(format));
    plain.nAvgBytesPerSec = plain.nSamplesPerSec * plain.nBlockAlign;
    if (format.channels > 2) {
        plain.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        plain.cbSize = sizeof wave - sizeof plain;
        wave.Samples.wValidBitsPerSample = 16;
        wave.dwChannelMask = ChannelMask(format.channels);
        wave.SubFormat = PCM_SUBTYPE;
    }
    return wave;
}

bool IsQueued(const WAVEHDR &block)
{
    // The device's own thread clears the flag.
    return (*static_cast<const volatile DWORD *>(&block.dwFlags) & WHDR_INQUEUE) != 0;
}

bool AllDone(const Playback *playback)
{
    for (const WAVEHDR &block : playback->blocks)
        if (IsQueued(block))
            return false;
    return !IsQueued(playback->silence);
}

// Refills one free block from the source and queues it; false once the source has no more.
bool QueueBlock(Playback *playback, WAVEHDR *block)
{
    bool ended = false;
    auto *samples = reinterpret_cast<int16_t *>(block->lpData);
    size_t got = playback->source.fill(playback->source.source, samples, playback->block_frames,
                                       &ended);
    if (got > 0) {
        block->dwBufferLength = static_cast<DWORD>(got) * FrameBytes(playback);
        waveOutWrite(playback->device, block, sizeof *block);
    }
    return got > 0 && !ended;
}

void QueueFreeBlocks(Playback *playback)
{
    for (WAVEHDR &block : playback->blocks) {
        if (playback->written_all)
            break;
        if (!IsQueued(block))
            playback->written_all = !QueueBlock(playback, &block);
    }
    if (playback->written_all && !playback->silence_queued) {
        waveOutWrite(playback->device, &playback->silence, sizeof playback->silence);
        playback->silence_queued = true;
    }
}

bool ShouldEnd(Playback *playback)
{
    LONG request = InterlockedCompareExchange(&playback->request, PLAYING, PLAYING);
    if (request == CUTTING)
        return true;
    if (request == FINISHING && !playback->written_all &&
        !PlaysOutAtStop(playback->format, playback->source.frames_left(playback->source.source)))
        return true;
    return playback->silence_queued && AllDone(playback);
}

DWORD WINAPI RunPlayback(void *argument)
{
    auto *playback = static_cast<Playback *>(argument);
    // Decoders through Media Foundation are read on this thread too.
    HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    while (!ShouldEnd(playback)) {
        QueueFreeBlocks(playback);
        if (!ShouldEnd(playback))
            WaitForSingleObject(playback->wake, INFINITE);
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    FreeLibraryAndExitThread(playback->module, 0);
}

bool PrepareBlocks(Playback *playback)
{
    DWORD frames = FramesIn(playback, BLOCK_MS);
    DWORD silence_frames = FramesIn(playback, SILENCE_MS);
    playback->block_frames = frames > 0 ? frames : 1;
    size_t samples = (static_cast<size_t>(playback->block_frames) * BLOCK_COUNT + silence_frames + 1) *
                     static_cast<size_t>(playback->format.channels);
    playback->samples = HeapArray<int16_t>(samples);
    if (playback->samples == nullptr)
        return false;
    DWORD block_bytes = playback->block_frames * FrameBytes(playback);
    auto *bytes = reinterpret_cast<char *>(playback->samples);
    for (WAVEHDR &block : playback->blocks) {
        block.lpData = bytes;
        block.dwBufferLength = block_bytes;
        bytes += block_bytes;
    }
    playback->silence.lpData = bytes;
    playback->silence.dwBufferLength = (silence_frames > 0 ? silence_frames : 1) * FrameBytes(playback);
    for (WAVEHDR &block : playback->blocks)
        if (waveOutPrepareHeader(playback->device, &block, sizeof block) != MMSYSERR_NOERROR)
            return false;
    return waveOutPrepareHeader(playback->device, &playback->silence, sizeof playback->silence) ==
           MMSYSERR_NOERROR;
}

bool OpenDevice(Playback *playback)
{
    playback->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    WAVEFORMATEXTENSIBLE wave = WaveFormat(playback->format);
    return playback->wake != nullptr &&
           waveOutOpen(&playback->device, WAVE_MAPPER, &wave.Format,
                       reinterpret_cast<DWORD_PTR>(playback->wake), 0,
                       CALLBACK_EVENT) == MMSYSERR_NOERROR;
}

// The thread keeps the library loaded while it runs, and lets it go as it ends.
bool StartThread(Playback *playback)
{
    auto flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    if (!GetModuleHandleExW(flags, reinterpret_cast<const wchar_t *>(&RunPlayback),
                            &playback->module))
        return false;
    playback->thread = CreateThread(nullptr, 0, RunPlayback, playback, 0, nullptr);
    if (playback->thread != nullptr)
        return true;
    FreeLibrary(playback->module);
    return false;
}

void Release(Playback *playback)
{
    if (playback->device != nullptr) {
        waveOutReset(playback->device);
        for (WAVEHDR &block : playback->blocks)
            if (block.dwFlags & WHDR_PREPARED)
                waveOutUnprepareHeader(playback->device, &block, sizeof block);
        if (playback->silence.dwFlags & WHDR_PREPARED)
            waveOutUnprepareHeader(playback->device, &playback->silence, sizeof playback->silence);
        waveOutClose(playback->device);
    }
    if (playback->thread != nullptr)
        CloseHandle(playback->thread);
    if (playback->wake != nullptr)
        CloseHandle(playback->wake);
    FreeMemory(playback->samples);
    HeapDelete(playback);
}

// Asks the thread to end and waits up to `timeout_ms`; true once it has.
bool EndThread(Playback *playback, Request request, DWORD timeout_ms)
{
    InterlockedExchange(&playback->request, request);
    SetEvent(playback->wake);
    return WaitForSingleObject(playback->thread, timeout_ms) == WAIT_OBJECT_0;
}

// A thread that will not end still uses the playback: that is left, not freed under it.
void CutAndRelease(Playback *playback)
{
    if (EndThread(playback, CUTTING, CUT_TIMEOUT_MS))
        Release(playback);
}

}  // namespace

Playback *StartPlayback(PcmFormat format, SampleSource source)
{
    auto *playback = HeapNew<Playback>();
    if (playback == nullptr)
        return nullptr;
    playback->format = format;
    playback->source = source;
    if (!OpenDevice(playback) || !PrepareBlocks(playback)) {
        Release(playback);
        return nullptr;
    }
    // The first blocks go out from here, so the sound is on its way when Play returns.
    QueueFreeBlocks(playback);
    if (!StartThread(playback)) {
        Release(playback);
        return nullptr;
    }
    return playback;
}

void FinishPlayback(Playback *playback)
{
    DWORD bound = QUEUED_MS + static_cast<DWORD>(LATE_TAIL_MS + STOP_MARGIN_MS);
    if (EndThread(playback, FINISHING, bound))
        Release(playback);
    else
        CutAndRelease(playback);
}

void AbandonPlayback(Playback *playback)
{
    CutAndRelease(playback);
}
