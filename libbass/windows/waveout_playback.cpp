// Playback on Windows: a waveOut stream on the wave mapper, owned and kept full by a thread of
// its own.
//
// Two facts of winmm shape it. A wave block is reported done once the device's clock has passed
// it, which can be before its last frames have left the system's mixer; and a device whose queue
// runs empty is stopped and reset, dropping what the mixer still held. So the queue is kept
// deep, and the file's last block is followed by one of silence: when that is done, every frame
// of the file has been heard, and what the reset drops is silence.
//
// And winmm's calls wait for the audio service or its driver (under Wine, for the sound
// server), which may stop answering. So every one of them is made on the playback's thread, and
// the caller waits for that thread for as long as the system keeps answering (answer_wait.h):
// while the thread works at the device's open, and at Stop while the device keeps finishing
// blocks; DEVICE_ANSWER_MS without, as the caller's own looks count it, and it stops waiting. A
// thread the caller stops waiting for is let go: it no longer touches the stream, keeps the library
// loaded, and frees the playback if it ever ends. A device that stopped answering is left as it is,
// neither reset nor closed: those calls would wait for it too, and a thread waiting inside the
// audio system when the process exits takes Wine's process down with it (exit status SIGSEGV, seen
// here); its blocks stay the device's.
#include "libbass/core/heap.h"
#include "libbass/core/patience.h"
#include "libbass/core/playback.h"
#include "libbass/core/stop_rule.h"
#include "libbass/windows/answer_wait.h"
#include "libbass/windows/bounded_call.h"
#include "libbass/windows/library_thread.h"
#include "libbass/windows/output_system.h"
#include "libbass/windows/win32.h"

#include <mmreg.h>
#include <mmsystem.h>
#include <objbase.h>

namespace {

constexpr DWORD BLOCK_MS = 50;
// Two seconds queued ahead: a thread starved of the processor for a while does not run dry.
constexpr int BLOCK_COUNT = 40;
constexpr DWORD SILENCE_MS = 50;

enum Request : LONG { PLAYING, FINISHING, CUTTING };

}  // namespace

struct Playback {
    HWAVEOUT device;
    HANDLE wake;    // auto-reset: set by the device as each block is done, and by the caller
    HANDLE opened;  // manual-reset: the device is open and its first blocks queued, or it failed
    HANDLE played;  // manual-reset: every frame has been played, or the thread has stopped
    HANDLE thread;  // the caller's
    SampleSource source;
    PcmFormat format;
    DWORD block_frames;
    int16_t *samples;  // BLOCK_COUNT blocks of block_frames, then the silence
    WAVEHDR blocks[BLOCK_COUNT];
    WAVEHDR silence;
    SRWLOCK source_lock;  // held by the thread while it reads the source, by the caller to let go
    bool let_go;          // under source_lock: the caller has gone, and the source may be too
    volatile LONG request;
    volatile LONG device_given_up;  // the device stopped answering: no more calls into it
    volatile LONG opened_well;
    volatile LONG last_progress_ms;  // GetTickCount when a block was last found done
    volatile LONG holders;           // the caller and the thread
    bool submitted[BLOCK_COUNT];     // touched by the thread alone, as are the two below
    bool written_all;
    bool silence_queued;
    DWORD first_write_ms;    // GetTickCount at the first block written
    int64_t written_frames;  // in all blocks written so far
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

int QueuedBlocks(const Playback *playback)
{
    int queued = IsQueued(playback->silence) ? 1 : 0;
    for (const WAVEHDR &block : playback->blocks)
        queued += IsQueued(block) ? 1 : 0;
    return queued;
}

bool AllDone(const Playback *playback)
{
    return QueuedBlocks(playback) == 0;
}

void NoteProgress(Playback *playback)
{
    InterlockedExchange(&playback->last_progress_ms, static_cast<LONG>(GetTickCount()));
}

// The device holds blocks it has gone DEVICE_ANSWER_MS without finishing one of.
bool DeviceStalled(const Playback *playback)
{
    auto last = static_cast<DWORD>(InterlockedCompareExchange(
        const_cast<volatile LONG *>(&playback->last_progress_ms), 0, 0));
    return !AllDone(playback) && GetTickCount() - last >= DEVICE_ANSWER_MS;
}

// The device no longer answers: nothing is asked of it any more, by this playback or another.
void GiveUpDevice(Playback *playback)
{
    InterlockedExchange(&playback->device_given_up, 1);
    MarkOutputSystemSilent();
}

bool DeviceGivenUp(Playback *playback)
{
    return InterlockedCompareExchange(&playback->device_given_up, 0, 0) != 0;
}

// Up to a block's frames from the source; false once the caller has let go of it.
bool Fill(Playback *playback, int16_t *samples, size_t *got, bool *ended)
{
    AcquireSRWLockExclusive(&playback->source_lock);
    bool held = !playback->let_go;
    if (held)
        *got = playback->source.fill(playback->source.source, samples, playback->block_frames,
                                     ended);
    ReleaseSRWLockExclusive(&playback->source_lock);
    return held;
}

// Whether the rest is to play out at Stop (FramesLeftAtStop: a Stop well before the end finds
// much of the sound still to come, one at the end of a starved writer's sound none); false once
// the caller has gone.
bool PlaysOutRest(Playback *playback)
{
    AcquireSRWLockExclusive(&playback->source_lock);
    bool plays_out =
        !playback->let_go &&
        PlaysOutAtStop(playback->format,
                       FramesLeftAtStop(playback->format, playback->written_frames,
                                        playback->source.frames_left(playback->source.source),
                                        MillisecondsSince(playback->first_write_ms)));
    ReleaseSRWLockExclusive(&playback->source_lock);
    return plays_out;
}

// Refills one free block from the source and queues it; false once the source has no more.
bool QueueBlock(Playback *playback, int index)
{
    WAVEHDR *block = &playback->blocks[index];
    bool ended = false;
    size_t got = 0;
    if (!Fill(playback, reinterpret_cast<int16_t *>(block->lpData), &got, &ended))
        return false;
    if (got > 0) {
        block->dwBufferLength = static_cast<DWORD>(got) * FrameBytes(playback);
        if (playback->written_frames == 0)
            playback->first_write_ms = GetTickCount();
        playback->written_frames += static_cast<int64_t>(got);
        waveOutWrite(playback->device, block, sizeof *block);
        playback->submitted[index] = true;
    }
    return got > 0 && !ended;
}

bool CallerLetGo(Playback *playback)
{
    return InterlockedCompareExchange(&playback->request, PLAYING, PLAYING) == CUTTING;
}

void QueueFreeBlocks(Playback *playback)
{
    for (int index = 0; index < BLOCK_COUNT; index++) {
        // A call that answered after the caller gave up on it is the last one made.
        if (CallerLetGo(playback))
            return;
        if (IsQueued(playback->blocks[index]))
            continue;
        if (playback->submitted[index]) {
            playback->submitted[index] = false;
            NoteProgress(playback);
        }
        if (!playback->written_all)
            playback->written_all = !QueueBlock(playback, index);
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
    if (request == FINISHING && !PlaysOutRest(playback))
        return true;
    return playback->silence_queued && AllDone(playback);
}

bool PrepareBlocks(Playback *playback)
{
    DWORD frames = FramesIn(playback, BLOCK_MS);
    DWORD silence_frames = FramesIn(playback, SILENCE_MS);
    playback->block_frames = frames > 0 ? frames : 1;
    size_t samples =
        (static_cast<size_t>(playback->block_frames) * BLOCK_COUNT + silence_frames + 1) *
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
    playback->silence.dwBufferLength =
        (silence_frames > 0 ? silence_frames : 1) * FrameBytes(playback);
    for (WAVEHDR &block : playback->blocks)
        if (waveOutPrepareHeader(playback->device, &block, sizeof block) != MMSYSERR_NOERROR)
            return false;
    return waveOutPrepareHeader(playback->device, &playback->silence,
                                sizeof playback->silence) == MMSYSERR_NOERROR;
}

bool OpenDevice(Playback *playback)
{
    WAVEFORMATEXTENSIBLE wave = WaveFormat(playback->format);
    return waveOutOpen(&playback->device, WAVE_MAPPER, &wave.Format,
                       reinterpret_cast<DWORD_PTR>(playback->wake), 0,
                       CALLBACK_EVENT) == MMSYSERR_NOERROR;
}

void CloseDevice(Playback *playback)
{
    if (playback->device == nullptr)
        return;
    waveOutReset(playback->device);
    for (WAVEHDR &block : playback->blocks)
        if (block.dwFlags & WHDR_PREPARED)
            waveOutUnprepareHeader(playback->device, &block, sizeof block);
    if (playback->silence.dwFlags & WHDR_PREPARED)
        waveOutUnprepareHeader(playback->device, &playback->silence, sizeof playback->silence);
    waveOutClose(playback->device);
}

void LetGoOf(Playback *playback)
{
    if (InterlockedDecrement(&playback->holders) != 0)
        return;
    const HANDLE events[] = {playback->wake, playback->opened, playback->played};
    for (HANDLE event : events)
        if (event != nullptr)
            CloseHandle(event);
    FreeMemory(playback->samples);
    HeapDelete(playback);
}

DWORD WINAPI RunPlayback(void *argument)
{
    auto *playback = static_cast<Playback *>(argument);
    // Decoders through Media Foundation are read on this thread too.
    HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    bool opened = OpenDevice(playback);
    // A device that opens only once the caller has given up on it gets nothing more but its
    // close: nothing of the playback is its yet.
    bool ready = opened && !CallerLetGo(playback) && PrepareBlocks(playback);
    if (ready) {
        // The first blocks go out before Play returns, so the sound is on its way by then.
        NoteProgress(playback);
        QueueFreeBlocks(playback);
        InterlockedExchange(&playback->opened_well, 1);
    }
    SetEvent(playback->opened);
    while (ready && !ShouldEnd(playback)) {
        QueueFreeBlocks(playback);
        if (!ShouldEnd(playback))
            WaitForSingleObject(playback->wake, INFINITE);
    }
    SetEvent(playback->played);
    if (ready && !DeviceGivenUp(playback) && DeviceStalled(playback))
        GiveUpDevice(playback);
    // A device given up with blocks of ours may still write into them: the playback is left to
    // it, as the device is.
    bool left_to_device = ready && DeviceGivenUp(playback);
    if (opened && !left_to_device)
        CloseDevice(playback);
    if (SUCCEEDED(com))
        CoUninitialize();
    if (!left_to_device)
        LetGoOf(playback);
    EndLibraryThread();
}

// Stops waiting for the thread: it is told to stop, no longer reads the source, and frees the
// playback once neither needs it.
void LetThreadGo(Playback *playback)
{
    InterlockedExchange(&playback->request, CUTTING);
    SetEvent(playback->wake);
    AcquireSRWLockExclusive(&playback->source_lock);
    playback->let_go = true;
    ReleaseSRWLockExclusive(&playback->source_lock);
    CloseHandle(playback->thread);
    LetGoOf(playback);
}

bool StartThread(Playback *playback)
{
    playback->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    playback->opened = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    playback->played = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (playback->wake == nullptr || playback->opened == nullptr || playback->played == nullptr)
        return false;
    playback->thread = StartLibraryThread(RunPlayback, playback);
    return playback->thread != nullptr;
}

// Waits for every frame to be played while the device keeps finishing blocks (or the thread
// queueing them: a block done and refilled at once looks the same); false, the device given up,
// once it has gone DEVICE_ANSWER_MS without, as the caller's looks count it. The blocks' flags are
// read here, not the thread's note of them: a thread that wakes late must not make the device
// look stalled.
bool WaitPlayedOut(Playback *playback)
{
    DWORD start = GetTickCount();
    Patience patience = StartPatience(MomentSince(start));
    int queued = QueuedBlocks(playback);
    LONG noted = InterlockedCompareExchange(&playback->last_progress_ms, 0, 0);
    while (WaitForSingleObject(playback->played, static_cast<DWORD>(LOOK_EVERY_MS)) !=
           WAIT_OBJECT_0) {
        int now_queued = QueuedBlocks(playback);
        LONG now_noted = InterlockedCompareExchange(&playback->last_progress_ms, 0, 0);
        if (now_queued != queued || now_noted != noted) {
            queued = now_queued;
            noted = now_noted;
            NoteAnswer(&patience, MomentSince(start));
        } else if (LookOutOfPatience(&patience, MomentSince(start), DEVICE_ANSWER_MS)) {
            if (WaitForSingleObject(playback->played, 0) == WAIT_OBJECT_0)
                return true;
            GiveUpDevice(playback);
            return false;
        }
    }
    return true;
}

}  // namespace

Playback *StartPlayback(PcmFormat format, SampleSource source)
{
    if (!OutputSystemAnswers())
        return nullptr;
    auto *playback = HeapNew<Playback>();
    if (playback == nullptr)
        return nullptr;
    playback->format = format;
    playback->source = source;
    playback->holders = 2;
    InitializeSRWLock(&playback->source_lock);
    if (!StartThread(playback)) {
        playback->holders = 1;
        if (playback->thread != nullptr)
            CloseHandle(playback->thread);
        LetGoOf(playback);
        return nullptr;
    }
    bool answered = WaitForAnswer(playback->opened, playback->thread, DEVICE_ANSWER_MS);
    if (!answered)
        GiveUpDevice(playback);
    if (!answered || InterlockedCompareExchange(&playback->opened_well, 0, 0) == 0) {
        LetThreadGo(playback);
        return nullptr;
    }
    return playback;
}

void FinishPlayback(Playback *playback)
{
    InterlockedExchange(&playback->request, FINISHING);
    SetEvent(playback->wake);
    // Played out, the device is closed before Stop returns, unless that too stops answering: a
    // thread still inside the close when the process exits would take Wine's process down.
    if (WaitPlayedOut(playback))
        WaitForAnswer(playback->thread, playback->thread, DEVICE_ANSWER_MS);
    LetThreadGo(playback);
}

void AbandonPlayback(Playback *playback)
{
    LetThreadGo(playback);
}
