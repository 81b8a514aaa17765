// AlsaPlayback: a thread of the library's own writes the source period by period, then drains.
//
// A device that stops taking frames (the PulseAudio plugin over a frozen server) holds that
// thread inside its write. Stop does not wait for it then: once the device has gone
// STALL_MS without taking a period it is left to itself, and the thread, should it ever come
// back, no longer reads the stream, which may be gone by then.
#include "libbass/posix/alsa_playback.h"

#include <alsa/asoundlib.h>
#include <pthread.h>
#include <time.h>

#include "libbass/core/heap.h"
#include "libbass/core/stop_rule.h"

namespace {

constexpr const char *DEVICE = "default";
// The device's buffer: short, so that the tail after Stop and the start are short too, and
// still four periods, so that a thread that wakes late does not run it dry.
constexpr unsigned int BUFFER_USEC = 100000;
constexpr long QUEUED_MS = BUFFER_USEC / 1000;
constexpr long CUT_TIMEOUT_MS = 1000;
// A device that takes a period every 25 ms and has taken none for this long has stopped: as long
// as the PulseAudio output gives its server to answer.
constexpr long STALL_MS = 500;

enum class Request { PLAYING, FINISHING, CUTTING };

}  // namespace

struct AlsaPlayback {
    snd_pcm_t *pcm;
    SampleSource source;
    PcmFormat format;
    int16_t *chunk;
    snd_pcm_uframes_t chunk_frames;
    bool written_all;  // the thread's alone once it runs
    pthread_t thread;
    bool thread_started;
    pthread_mutex_t lock;
    pthread_cond_t changed;
    Request request;
    bool ended;
    bool let_go;           // under lock: the caller has gone, and the source may be too
    long last_written_ms;  // under lock: when the device last took frames
};

namespace {

// ALSA's own messages would reach the user's terminal: the library writes nothing.
void IgnoreAlsaMessage(const char *, int, const char *, int, const char *, ...)
{
}

long NowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

void NoteWritten(AlsaPlayback *playback)
{
    pthread_mutex_lock(&playback->lock);
    playback->last_written_ms = NowMs();
    pthread_mutex_unlock(&playback->lock);
}

Request CurrentRequest(AlsaPlayback *playback)
{
    pthread_mutex_lock(&playback->lock);
    Request request = playback->request;
    pthread_mutex_unlock(&playback->lock);
    return request;
}

// Writes the frames, recovering from an underrun; false if the device has failed.
bool WriteFrames(AlsaPlayback *playback, const int16_t *samples, snd_pcm_uframes_t frames)
{
    while (frames > 0) {
        snd_pcm_sframes_t written = snd_pcm_writei(playback->pcm, samples, frames);
        if (written < 0 && snd_pcm_recover(playback->pcm, static_cast<int>(written), 1) < 0)
            return false;
        if (written < 0)
            continue;
        NoteWritten(playback);
        samples += written * playback->format.channels;
        frames -= static_cast<snd_pcm_uframes_t>(written);
    }
    return true;
}

// Up to a period from the source; false once the caller has let go of it. The lock is held
// while the source is read, never while the device is written.
bool Fill(AlsaPlayback *playback, size_t *got, bool *ended)
{
    pthread_mutex_lock(&playback->lock);
    bool held = !playback->let_go;
    if (held)
        *got = playback->source.fill(playback->source.source, playback->chunk,
                                     playback->chunk_frames, ended);
    pthread_mutex_unlock(&playback->lock);
    return held;
}

// One period from the source to the device; false once the source is written out, the caller
// has let go, or the device has failed.
bool WriteChunk(AlsaPlayback *playback)
{
    bool ended = false;
    size_t got = 0;
    if (!Fill(playback, &got, &ended)) {
        playback->written_all = true;
        return false;
    }
    bool written = WriteFrames(playback, playback->chunk, got);
    playback->written_all = !written || ended || got == 0;
    return !playback->written_all;
}

// Whether the source's unwritten rest is to play out at Stop; false once the caller has gone.
bool PlaysOutRest(AlsaPlayback *playback)
{
    pthread_mutex_lock(&playback->lock);
    bool plays_out =
        !playback->let_go &&
        PlaysOutAtStop(playback->format, playback->source.frames_left(playback->source.source));
    pthread_mutex_unlock(&playback->lock);
    return plays_out;
}

bool ShouldStop(AlsaPlayback *playback)
{
    Request request = CurrentRequest(playback);
    return request == Request::CUTTING ||
           (request == Request::FINISHING && !playback->written_all && !PlaysOutRest(playback));
}

void *RunPlayback(void *argument)
{
    auto *playback = static_cast<AlsaPlayback *>(argument);
    while (!ShouldStop(playback) && !playback->written_all)
        WriteChunk(playback);
    // Draining lets the last sample be heard; a stop that does not play out drops the rest.
    if (playback->written_all && CurrentRequest(playback) != Request::CUTTING)
        snd_pcm_drain(playback->pcm);
    else
        snd_pcm_drop(playback->pcm);
    pthread_mutex_lock(&playback->lock);
    playback->ended = true;
    pthread_cond_broadcast(&playback->changed);
    pthread_mutex_unlock(&playback->lock);
    return nullptr;
}

bool OpenDevice(AlsaPlayback *playback)
{
    static bool quiet = false;
    if (!quiet)
        snd_lib_error_set_handler(IgnoreAlsaMessage);
    quiet = true;
    // Opened without blocking, so that a busy device refuses at once instead of holding Play.
    if (snd_pcm_open(&playback->pcm, DEVICE, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
        playback->pcm = nullptr;
        return false;
    }
    snd_pcm_uframes_t buffer_frames = 0;
    return snd_pcm_nonblock(playback->pcm, 0) == 0 &&
           snd_pcm_set_params(playback->pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                              static_cast<unsigned int>(playback->format.channels),
                              static_cast<unsigned int>(playback->format.rate), 1,
                              BUFFER_USEC) == 0 &&
           snd_pcm_get_params(playback->pcm, &buffer_frames, &playback->chunk_frames) == 0 &&
           playback->chunk_frames > 0;
}

bool StartThread(AlsaPlayback *playback)
{
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&playback->changed, &attributes);
    pthread_condattr_destroy(&attributes);
    playback->thread_started =
        pthread_create(&playback->thread, nullptr, RunPlayback, playback) == 0;
    return playback->thread_started;
}

void Release(AlsaPlayback *playback)
{
    if (playback->thread_started) {
        pthread_join(playback->thread, nullptr);
        pthread_cond_destroy(&playback->changed);
    }
    pthread_mutex_destroy(&playback->lock);
    if (playback->pcm != nullptr)
        snd_pcm_close(playback->pcm);
    FreeMemory(playback->chunk);
    HeapDelete(playback);
}

// Asks the thread to end and waits up to `timeout_ms` for it; true once it has.
bool EndThread(AlsaPlayback *playback, Request request, long timeout_ms)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += (timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&playback->lock);
    playback->request = request;
    while (!playback->ended &&
           pthread_cond_timedwait(&playback->changed, &playback->lock, &deadline) == 0) {
    }
    bool ended = playback->ended;
    pthread_mutex_unlock(&playback->lock);
    return ended;
}

// The device has taken no frames for STALL_MS: waiting for it would be waiting for nothing.
bool DeviceStalled(AlsaPlayback *playback)
{
    pthread_mutex_lock(&playback->lock);
    bool stalled = !playback->ended && NowMs() - playback->last_written_ms >= STALL_MS;
    pthread_mutex_unlock(&playback->lock);
    return stalled;
}

// Leaves a stalled device's thread to itself: told to stop, it no longer reads the source; the
// playback stays allocated for it.
void LetThreadGo(AlsaPlayback *playback)
{
    pthread_mutex_lock(&playback->lock);
    playback->request = Request::CUTTING;
    playback->let_go = true;
    pthread_mutex_unlock(&playback->lock);
    pthread_detach(playback->thread);
}

// A thread that will not end (a device stuck in its drain) still uses the playback: it is
// left, not freed under it.
void CutAndRelease(AlsaPlayback *playback)
{
    if (EndThread(playback, Request::CUTTING, CUT_TIMEOUT_MS))
        Release(playback);
    else
        LetThreadGo(playback);
}

}  // namespace

AlsaPlayback *StartAlsaPlayback(PcmFormat format, SampleSource source)
{
    auto *playback = HeapNew<AlsaPlayback>();
    if (playback == nullptr)
        return nullptr;
    playback->format = format;
    playback->source = source;
    pthread_mutex_init(&playback->lock, nullptr);
    playback->last_written_ms = NowMs();
    bool opened = OpenDevice(playback);
    if (opened)
        playback->chunk =
            HeapArray<int16_t>(playback->chunk_frames * static_cast<size_t>(format.channels));
    if (!opened || playback->chunk == nullptr) {
        Release(playback);
        return nullptr;
    }
    // The first period goes out from here, so the sound is on its way when Play returns.
    WriteChunk(playback);
    if (!StartThread(playback)) {
        Release(playback);
        return nullptr;
    }
    return playback;
}

void FinishAlsaPlayback(AlsaPlayback *playback)
{
    if (DeviceStalled(playback)) {
        LetThreadGo(playback);
        return;
    }
    long bound = QUEUED_MS + LATE_TAIL_MS + STOP_MARGIN_MS;
    if (EndThread(playback, Request::FINISHING, bound))
        Release(playback);
    else
        CutAndRelease(playback);
}

void AbandonAlsaPlayback(AlsaPlayback *playback)
{
    CutAndRelease(playback);
}
