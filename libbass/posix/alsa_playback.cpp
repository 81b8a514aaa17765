// AlsaPlayback: a thread of the library's own writes the source period by period, then drains.
//
// A device that stops taking frames (the PulseAudio plugin over a frozen server) holds that
// thread inside its write or its drain. Stop does not wait for it then: once the device has gone
// ANSWER_BOUND_MS (patience.h) without taking a period, beyond what it still had queued to play,
// it is left to itself, and the thread, should it ever come back, no longer reads the stream,
// which may be gone by then.
#include "libbass/posix/alsa_playback.h"

#include <alsa/asoundlib.h>
#include <pthread.h>
#include <time.h>

#include "libbass/core/heap.h"
#include "libbass/core/patience.h"
#include "libbass/core/starved_time.h"
#include "libbass/core/stop_rule.h"

namespace {

constexpr const char *DEVICE = "default";
// The device's buffer: two seconds, so that a writing thread starved of the processor for a while
// does not run it dry; in short periods, so that the device's progress shows often.
constexpr unsigned int BUFFER_USEC = 2000000;
constexpr unsigned int PERIOD_USEC = 25000;
constexpr long CUT_TIMEOUT_MS = 1000;

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
    bool let_go;             // under lock: the caller has gone, and the source may be too
    int64_t written_frames;  // under lock: how many frames the device has taken
    long first_written_ms;   // under lock: when it first took frames, or 0
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

// What the caller's look at a stalled device reads (patience.h).
Moment Look()
{
    return Moment{NowMs(), StarvedMs(), OthersReady()};
}

void NoteWritten(AlsaPlayback *playback, snd_pcm_sframes_t frames)
{
    pthread_mutex_lock(&playback->lock);
    if (playback->written_frames == 0)
        playback->first_written_ms = NowMs();
    playback->written_frames += frames;
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
        NoteWritten(playback, written);
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

// Under lock: what the device has taken and should not have played yet, had it played from its
// first frame on; the device may take nothing more that long before it has kept us waiting.
int64_t UnplayedMs(const AlsaPlayback *playback)
{
    if (playback->written_frames == 0)
        return 0;
    int64_t written_ms = FramesToMilliseconds(playback->format, playback->written_frames);
    int64_t since_ms = NowMs() - playback->first_written_ms;
    return written_ms > since_ms ? written_ms - since_ms : 0;
}

// Whether the rest is to play out at Stop (FramesLeftAtStop: a Stop well before the end finds
// much of the sound still to come, one at the end of a starved writer's sound none); false once
// the caller has gone.
bool PlaysOutRest(AlsaPlayback *playback)
{
    pthread_mutex_lock(&playback->lock);
    bool plays_out = false;
    if (!playback->let_go) {
        int64_t left = FramesLeftAtStop(playback->format, playback->written_frames,
                                        playback->source.frames_left(playback->source.source),
                                        NowMs() - playback->first_written_ms);
        plays_out = PlaysOutAtStop(playback->format, left);
    }
    pthread_mutex_unlock(&playback->lock);
    return plays_out;
}

// Once all is written, the device plays its queue on (started now if it holds less than a full
// buffer) until Stop, which may still cut it short.
void PlayUntilStop(AlsaPlayback *playback)
{
    if (snd_pcm_state(playback->pcm) == SND_PCM_STATE_PREPARED)
        snd_pcm_start(playback->pcm);
    pthread_mutex_lock(&playback->lock);
    while (playback->request == Request::PLAYING)
        pthread_cond_wait(&playback->changed, &playback->lock);
    pthread_mutex_unlock(&playback->lock);
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
    if (playback->written_all)
        PlayUntilStop(playback);
    // Draining lets the last sample be heard; a stop that does not play out drops the rest.
    if (playback->written_all && CurrentRequest(playback) == Request::FINISHING &&
        PlaysOutRest(playback))
        snd_pcm_drain(playback->pcm);
    else
        snd_pcm_drop(playback->pcm);
    pthread_mutex_lock(&playback->lock);
    playback->ended = true;
    pthread_cond_broadcast(&playback->changed);
    pthread_mutex_unlock(&playback->lock);
    return nullptr;
}

// The file's format through the plug layer's conversions, and the buffer and period asked for
// (or the nearest the device has).
bool SetHardware(AlsaPlayback *playback)
{
    snd_pcm_t *pcm = playback->pcm;
    snd_pcm_hw_params_t *hardware = nullptr;
    snd_pcm_hw_params_alloca(&hardware);
    unsigned int buffer_usec = BUFFER_USEC;
    unsigned int period_usec = PERIOD_USEC;
    int direction = 0;
    return snd_pcm_hw_params_any(pcm, hardware) >= 0 &&
           snd_pcm_hw_params_set_rate_resample(pcm, hardware, 1) == 0 &&
           snd_pcm_hw_params_set_access(pcm, hardware, SND_PCM_ACCESS_RW_INTERLEAVED) == 0 &&
           snd_pcm_hw_params_set_format(pcm, hardware, SND_PCM_FORMAT_S16_LE) == 0 &&
           snd_pcm_hw_params_set_channels(
               pcm, hardware, static_cast<unsigned int>(playback->format.channels)) == 0 &&
           snd_pcm_hw_params_set_rate(pcm, hardware,
                                      static_cast<unsigned int>(playback->format.rate), 0) == 0 &&
           snd_pcm_hw_params_set_buffer_time_near(pcm, hardware, &buffer_usec, &direction) == 0 &&
           snd_pcm_hw_params_set_period_time_near(pcm, hardware, &period_usec, &direction) == 0 &&
           snd_pcm_hw_params(pcm, hardware) == 0 &&
           snd_pcm_hw_params_get_period_size(hardware, &playback->chunk_frames, &direction) == 0 &&
           playback->chunk_frames > 0;
}

// The device starts once its buffer is full (or at the drain, for a shorter sound), as the
// PulseAudio output's stream does: started on less, it would have only that much queued while
// the writer, starved, falls behind (seen: 100 ms, then silence). It wakes the writer for each
// free period.
bool SetStart(AlsaPlayback *playback)
{
    snd_pcm_t *pcm = playback->pcm;
    snd_pcm_sw_params_t *software = nullptr;
    snd_pcm_sw_params_alloca(&software);
    snd_pcm_uframes_t buffer_frames = 0;
    snd_pcm_uframes_t period = 0;
    return snd_pcm_get_params(pcm, &buffer_frames, &period) == 0 &&
           snd_pcm_sw_params_current(pcm, software) == 0 &&
           snd_pcm_sw_params_set_start_threshold(pcm, software, buffer_frames) == 0 &&
           snd_pcm_sw_params_set_avail_min(pcm, software, playback->chunk_frames) == 0 &&
           snd_pcm_sw_params(pcm, software) == 0;
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
    // Prepared once more with the start set: the PulseAudio plugin takes its server's prebuffer
    // from the start threshold at prepare, which snd_pcm_hw_params did with the default of one
    // frame; so prepared, the server started on the first period and ran dry behind a starved
    // writer (seen: 1,102 frames heard, then silence).
    return snd_pcm_nonblock(playback->pcm, 0) == 0 && SetHardware(playback) && SetStart(playback) &&
           snd_pcm_prepare(playback->pcm) == 0;
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

void AddMilliseconds(timespec *time, long milliseconds)
{
    time->tv_sec += milliseconds / 1000;
    time->tv_nsec += (milliseconds % 1000) * 1000000L;
    if (time->tv_nsec >= 1000000000L) {
        time->tv_sec++;
        time->tv_nsec -= 1000000000L;
    }
}

// Asks the thread to end and waits up to `timeout_ms` for it; true once it has.
bool EndThread(AlsaPlayback *playback, Request request, long timeout_ms)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    AddMilliseconds(&deadline, timeout_ms);
    pthread_mutex_lock(&playback->lock);
    playback->request = request;
    pthread_cond_broadcast(&playback->changed);
    while (!playback->ended &&
           pthread_cond_timedwait(&playback->changed, &playback->lock, &deadline) == 0) {
    }
    bool ended = playback->ended;
    pthread_mutex_unlock(&playback->lock);
    return ended;
}

// Asks the thread to finish, and waits for it while the device keeps taking frames: true once it
// has ended; false once the device has gone ANSWER_BOUND_MS, beyond what it had queued, without
// taking any, as the caller's own looks count it. A tail still to write is taken as it plays.
bool FinishThread(AlsaPlayback *playback)
{
    pthread_mutex_lock(&playback->lock);
    playback->request = Request::FINISHING;
    pthread_cond_broadcast(&playback->changed);
    int64_t bound_ms = UnplayedMs(playback) + ANSWER_BOUND_MS;
    int64_t seen = playback->written_frames;
    Patience patience = StartPatience(Look());
    bool gave_up = false;
    while (!playback->ended && !gave_up) {
        timespec look;
        clock_gettime(CLOCK_MONOTONIC, &look);
        AddMilliseconds(&look, LOOK_EVERY_MS);
        if (pthread_cond_timedwait(&playback->changed, &playback->lock, &look) == 0 ||
            playback->ended)
            continue;
        if (playback->written_frames != seen) {
            seen = playback->written_frames;
            NoteAnswer(&patience, Look());
        } else {
            gave_up = LookOutOfPatience(&patience, Look(), bound_ms);
        }
    }
    bool ended = playback->ended;
    pthread_mutex_unlock(&playback->lock);
    return ended;
}

// Leaves a stalled device's thread to itself: told to stop, it no longer reads the source; the
// playback stays allocated for it.
void LetThreadGo(AlsaPlayback *playback)
{
    pthread_mutex_lock(&playback->lock);
    playback->request = Request::CUTTING;
    pthread_cond_broadcast(&playback->changed);
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

// A thread that has not ended by the time the device stopped taking frames is inside the device:
// it is left to it.
void FinishAlsaPlayback(AlsaPlayback *playback)
{
    if (FinishThread(playback))
        Release(playback);
    else
        LetThreadGo(playback);
}

void AbandonAlsaPlayback(AlsaPlayback *playback)
{
    CutAndRelease(playback);
}
