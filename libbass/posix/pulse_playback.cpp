// Playback on PulseAudio: the pa_stream, its small buffer, the write callback and the bounded
// drain.
#include "libbass/posix/pulse_playback.h"

#include "libbass/core/heap.h"
#include "libbass/core/patience.h"
#include "libbass/core/stop_rule.h"
#include "libbass/posix/pulse_output.h"

namespace {

constexpr const char *STREAM_NAME = "playonce";
// Two seconds queued ahead, as paplay keeps: a player starved of the processor for a while
// (a busy or slow machine) does not run the server dry. All of it is decoded in the first
// request, which takes a few ms: the sound starts as soon as with a short buffer.
constexpr pa_usec_t BUFFER_USEC = 2000 * PA_USEC_PER_MSEC;
// Refills a quarter buffer at a time: few wakeups of the loop thread, still well ahead.
constexpr pa_usec_t REQUEST_USEC = 25 * PA_USEC_PER_MSEC;

}  // namespace

struct PulsePlayback {
    pa_stream *stream = nullptr;
    SampleSource source = {};
    PcmFormat format = {};
    pa_sample_spec spec = {};
    size_t frame_bytes = 0;
    pa_usec_t first_written_usec = 0;  // pa_rtclock_now when the first samples went
    int64_t written_frames = 0;
    bool written_some = false;
    bool corked = true;  // connected corked; see StartServerPlaying
    bool written_all = false;
    bool drained = false;
    pa_operation *drain = nullptr;
};

namespace {

void SignalLoop()
{
    pa_threaded_mainloop_signal(OutputLoop(), 0);
}

bool StreamFailed(const PulsePlayback *playback)
{
    return !PA_STREAM_IS_GOOD(pa_stream_get_state(playback->stream));
}

void MarkDrained(pa_stream *, int, void *arg);

// The stream is connected corked and uncorked once its first request is written, the command
// queued behind those samples: PipeWire's PulseAudio server starts a stream on its first quantum
// whatever the prebuffer, and a player starved while the rest of its first two seconds is still
// on the way to the server would run it dry mid-file (seen: a 70 ms gap). Uncorked, a stream
// starts on its prebuffer, or at once when triggered.
void StartServerPlaying(PulsePlayback *playback)
{
    if (!playback->corked)
        return;
    playback->corked = false;
    pa_operation *uncork = pa_stream_cork(playback->stream, 0, nullptr, nullptr);
    if (uncork != nullptr)
        pa_operation_unref(uncork);
}

// The source is written out: the stream drains from now on. A server that mixes in fixed quanta
// (PipeWire's, 1,024 frames here) plays a last, partial quantum only once it is told the stream
// drains; told no earlier than at Stop, the stream has run dry by then and the tail comes out
// after a gap (seen: 68 frames a second of sound, 256 frames late). Less than the prebuffer in
// all is started too, rather than waiting for it.
void FinishSource(PulsePlayback *playback)
{
    playback->written_all = true;
    // Uncorked before the drain: a server that takes a corked stream's drain for one played out
    // would end it unheard.
    StartServerPlaying(playback);
    pa_operation *trigger = pa_stream_trigger(playback->stream, nullptr, nullptr);
    if (trigger != nullptr)
        pa_operation_unref(trigger);
    playback->drain = pa_stream_drain(playback->stream, MarkDrained, playback);
}

// Decodes straight into the server's buffer until the request is met or the source runs dry.
void WriteRequested(pa_stream *stream, size_t requested, void *arg)
{
    auto *playback = static_cast<PulsePlayback *>(arg);
    while (requested >= playback->frame_bytes && !playback->written_all) {
        void *buffer = nullptr;
        size_t bytes = requested;
        if (pa_stream_begin_write(stream, &buffer, &bytes) < 0 || buffer == nullptr)
            break;
        bool ended = false;
        size_t frames = bytes / playback->frame_bytes;
        size_t got = playback->source.fill(playback->source.source, static_cast<int16_t *>(buffer),
                                           frames, &ended);
        if (got > 0) {
            pa_stream_write(stream, buffer, got * playback->frame_bytes, nullptr, 0,
                            PA_SEEK_RELATIVE);
            if (!playback->written_some)
                playback->first_written_usec = pa_rtclock_now();
            playback->written_frames += static_cast<int64_t>(got);
            playback->written_some = true;
            requested -= got * playback->frame_bytes;
        } else {
            pa_stream_cancel_write(stream);
        }
        if (ended || got == 0)
            FinishSource(playback);
    }
    if (playback->written_some)
        StartServerPlaying(playback);
    NoteServerAnswer();
    SignalLoop();
}

void SignalOnStateChange(pa_stream *, void *)
{
    NoteServerAnswer();
    SignalLoop();
}

bool Started(void *arg)
{
    auto *playback = static_cast<PulsePlayback *>(arg);
    return playback->written_some || playback->written_all || StreamFailed(playback);
}

bool WrittenAllOrFailed(void *arg)
{
    auto *playback = static_cast<PulsePlayback *>(arg);
    return playback->written_all || StreamFailed(playback);
}

bool DrainedOrFailed(void *arg)
{
    auto *playback = static_cast<PulsePlayback *>(arg);
    return playback->drained || StreamFailed(playback);
}

void MarkDrained(pa_stream *, int, void *arg)
{
    static_cast<PulsePlayback *>(arg)->drained = true;
    NoteServerAnswer();
    SignalLoop();
}

pa_buffer_attr BufferAttributes(const pa_sample_spec &spec)
{
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(BUFFER_USEC, &spec));
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(pa_usec_to_bytes(REQUEST_USEC, &spec));
    attr.fragsize = static_cast<uint32_t>(-1);
    return attr;
}

bool ConnectStream(PulsePlayback *playback, pa_context *context, PcmFormat format)
{
    pa_sample_spec spec = {PA_SAMPLE_S16LE, static_cast<uint32_t>(format.rate),
                           static_cast<uint8_t>(format.channels)};
    pa_channel_map map;
    if (!pa_sample_spec_valid(&spec) ||
        pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_WAVEEX) == nullptr)
        return false;
    playback->stream = pa_stream_new(context, STREAM_NAME, &spec, &map);
    if (playback->stream == nullptr)
        return false;
    playback->spec = spec;
    playback->frame_bytes = pa_frame_size(&spec);
    pa_stream_set_state_callback(playback->stream, SignalOnStateChange, playback);
    pa_stream_set_write_callback(playback->stream, WriteRequested, playback);
    pa_buffer_attr attr = BufferAttributes(spec);
    // Unity stream volume and unmuted, whatever the server remembers for this program's name.
    pa_cvolume unity;
    pa_cvolume_reset(&unity, spec.channels);
    // No PA_STREAM_ADJUST_LATENCY: asking the sink for less latency than it runs at makes a sink
    // that cannot rewind play out what it already rendered first, delaying the start.
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_UNMUTED | PA_STREAM_START_CORKED);
    return pa_stream_connect_playback(playback->stream, nullptr, &attr, flags, &unity, nullptr) >=
           0;
}

void CancelDrain(PulsePlayback *playback);

void ReleaseStream(PulsePlayback *playback)
{
    CancelDrain(playback);
    if (playback->stream == nullptr)
        return;
    pa_stream_set_state_callback(playback->stream, nullptr, nullptr);
    pa_stream_set_write_callback(playback->stream, nullptr, nullptr);
    if (pa_stream_get_state(playback->stream) != PA_STREAM_UNCONNECTED)
        pa_stream_disconnect(playback->stream);
    pa_stream_unref(playback->stream);
    playback->stream = nullptr;
}

// What is written and should not have played yet, had the server played it from the first
// write on: the server may stay quiet that long before it has kept us waiting. Our own count,
// not the server's: a server that stopped answering would have its last word stand.
int64_t UnplayedMs(const PulsePlayback *playback)
{
    int64_t written_ms = FramesToMilliseconds(playback->format, playback->written_frames);
    auto since_ms =
        static_cast<int64_t>((pa_rtclock_now() - playback->first_written_usec) / PA_USEC_PER_MSEC);
    return written_ms > since_ms ? written_ms - since_ms : 0;
}

// Whether the rest plays out at Stop (FramesLeftAtStop: a Stop well before the end finds much
// of the sound still to come, one at the end of a starved writer's sound none).
bool PlaysOutRest(const PulsePlayback *playback)
{
    auto since_ms =
        static_cast<int64_t>((pa_rtclock_now() - playback->first_written_usec) / PA_USEC_PER_MSEC);
    int64_t left =
        FramesLeftAtStop(playback->format, playback->written_frames,
                         playback->source.frames_left(playback->source.source), since_ms);
    return PlaysOutAtStop(playback->format, left);
}

void WriteLateTail(PulsePlayback *playback)
{
    WaitUntil(UnplayedMs(playback) + ANSWER_BOUND_MS, WrittenAllOrFailed, playback);
}

void DrainStream(PulsePlayback *playback)
{
    int64_t bound_ms = UnplayedMs(playback) + ANSWER_BOUND_MS;
    if (playback->drain == nullptr)
        playback->drain = pa_stream_drain(playback->stream, MarkDrained, playback);
    if (playback->drain != nullptr)
        WaitUntil(bound_ms, DrainedOrFailed, playback);
}

void CancelDrain(PulsePlayback *playback)
{
    if (playback->drain == nullptr)
        return;
    pa_operation_cancel(playback->drain);
    pa_operation_unref(playback->drain);
    playback->drain = nullptr;
}

}  // namespace

PulsePlayback *StartPulsePlayback(PcmFormat format, SampleSource source, bool *server_answered)
{
    pa_threaded_mainloop *loop = OutputLoop();
    *server_answered = false;
    if (loop == nullptr)
        return nullptr;
    // A server that took the connection but gives no answer in time (frozen, say) counts as
    // answered: another route to the same system would hang on it too. The server's time is
    // counted from Play: the connection made at Init may still be on its way.
    pa_threaded_mainloop_lock(loop);
    auto *playback = HeapNew<PulsePlayback>();
    if (playback == nullptr) {
        pa_threaded_mainloop_unlock(loop);
        return nullptr;
    }
    playback->source = source;
    playback->format = format;
    pa_context *context = WaitForContext();
    *server_answered = !ConnectionFailed();
    bool started = context != nullptr && ConnectStream(playback, context, format) &&
                   WaitUntil(ANSWER_BOUND_MS, Started, playback) && !StreamFailed(playback);
    if (!started) {
        ReleaseStream(playback);
        HeapDelete(playback);
        playback = nullptr;
    }
    pa_threaded_mainloop_unlock(loop);
    return playback;
}

void FinishPulsePlayback(PulsePlayback *playback)
{
    pa_threaded_mainloop *loop = OutputLoop();
    pa_threaded_mainloop_lock(loop);
    bool plays_out = !StreamFailed(playback) && PlaysOutRest(playback);
    if (plays_out && !playback->written_all)
        WriteLateTail(playback);
    if (plays_out && playback->written_all && !StreamFailed(playback))
        DrainStream(playback);
    ReleaseStream(playback);
    pa_threaded_mainloop_unlock(loop);
    HeapDelete(playback);
}

void AbandonPulsePlayback(PulsePlayback *playback)
{
    ReleaseStream(playback);
    HeapDelete(playback);
}
