// The process's one PulseAudio connection, started early and closed when the library unloads.
#include "libbass/posix/pulse_output.h"

#include "libbass/core/output_device.h"
#include "libbass/core/patience.h"
#include "libbass/core/starved_time.h"

namespace {

constexpr const char *CLIENT_NAME = "playonce";

// Plain pointers: nothing here has a destructor that could run before CloseOutputDevice at exit.
pa_threaded_mainloop *loop = nullptr;
pa_context *context = nullptr;
// Counted by the loop thread alone: how many times the server has said anything.
unsigned long server_answers = 0;

void SignalOnStateChange(pa_context *, void *)
{
    NoteServerAnswer();
    pa_threaded_mainloop_signal(loop, 0);
}

bool ContextSettled(void *)
{
    pa_context_state_t state = pa_context_get_state(context);
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
}

// One wait's looks, made by a timer of the loop's. The loop dispatches its timers before what
// came in on the server's socket in the same round; so a look that finds the count full does not
// decide at once but comes back one look later, when all that had arrived has been taken in.
struct Watch {
    Patience patience;
    int64_t bound_ms;
    unsigned long answers_seen;
    bool last_look;
    bool expired;
};

Moment Now()
{
    return Moment{static_cast<int64_t>(pa_rtclock_now() / PA_USEC_PER_MSEC), StarvedMs(),
                  OthersReady()};
}

void Look(pa_mainloop_api *, pa_time_event *timer, const struct timeval *, void *argument)
{
    auto *watch = static_cast<Watch *>(argument);
    Moment now = Now();
    if (server_answers != watch->answers_seen) {
        watch->answers_seen = server_answers;
        NoteAnswer(&watch->patience, now);
        watch->last_look = false;
    } else if (LookOutOfPatience(&watch->patience, now, watch->bound_ms)) {
        watch->expired = watch->last_look;
        watch->last_look = true;
    }
    if (watch->expired)
        pa_threaded_mainloop_signal(loop, 0);
    else
        pa_context_rttime_restart(context, timer,
                                  pa_rtclock_now() + LOOK_EVERY_MS * PA_USEC_PER_MSEC);
}

bool ConnectContext()
{
    context = pa_context_new(pa_threaded_mainloop_get_api(loop), CLIENT_NAME);
    if (context == nullptr)
        return false;
    pa_context_set_state_callback(context, SignalOnStateChange, nullptr);
    // A player that starts a sound server of its own would outlive its one sound.
    return pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
}

}  // namespace

bool OpenOutputDevice()
{
    if (loop != nullptr)
        return true;
    loop = pa_threaded_mainloop_new();
    if (loop == nullptr)
        return false;
    pa_threaded_mainloop_lock(loop);
    bool connecting = ConnectContext();
    pa_threaded_mainloop_unlock(loop);
    if (connecting && pa_threaded_mainloop_start(loop) >= 0)
        return true;
    CloseOutputDevice();
    return false;
}

pa_threaded_mainloop *OutputLoop()
{
    return loop;
}

pa_context *WaitForContext()
{
    if (context == nullptr)
        return nullptr;
    WaitUntil(ANSWER_BOUND_MS, ContextSettled, nullptr);
    return pa_context_get_state(context) == PA_CONTEXT_READY ? context : nullptr;
}

bool ConnectionFailed()
{
    return context == nullptr || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
}

void NoteServerAnswer()
{
    server_answers++;
}

bool WaitUntil(int64_t bound_ms, bool (*done)(void *arg), void *arg)
{
    if (done(arg))
        return true;
    Watch watch = {StartPatience(Now()), bound_ms, server_answers, false, false};
    pa_time_event *timer = pa_context_rttime_new(
        context, pa_rtclock_now() + LOOK_EVERY_MS * PA_USEC_PER_MSEC, Look, &watch);
    if (timer == nullptr)
        return false;
    while (!done(arg) && !watch.expired)
        pa_threaded_mainloop_wait(loop);
    pa_threaded_mainloop_get_api(loop)->time_free(timer);
    return done(arg);
}

// At unload the thread stops first, so that streams can be dropped without the lock.
void HaltOutputDevice()
{
    if (loop != nullptr && !pa_threaded_mainloop_in_thread(loop))
        pa_threaded_mainloop_stop(loop);
}

void CloseOutputDevice()
{
    if (loop == nullptr || pa_threaded_mainloop_in_thread(loop))
        return;
    if (context != nullptr) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    pa_threaded_mainloop_free(loop);
    loop = nullptr;
}
