// The process's one PulseAudio connection, started early and closed when the library unloads.
#include "libbass/posix/pulse_output.h"

#include "libbass/core/output_device.h"

namespace {

constexpr const char *CLIENT_NAME = "playonce";

// Plain pointers: nothing here has a destructor that could run before CloseOutputDevice at exit.
pa_threaded_mainloop *loop = nullptr;
pa_context *context = nullptr;

void SignalOnStateChange(pa_context *, void *)
{
    pa_threaded_mainloop_signal(loop, 0);
}

bool ContextSettled(void *)
{
    pa_context_state_t state = pa_context_get_state(context);
    return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
}

void MarkExpired(pa_mainloop_api *, pa_time_event *, const struct timeval *, void *expired)
{
    *static_cast<bool *>(expired) = true;
    pa_threaded_mainloop_signal(loop, 0);
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

pa_context *WaitForContext(pa_usec_t deadline_usec)
{
    if (context == nullptr)
        return nullptr;
    WaitUntil(deadline_usec, ContextSettled, nullptr);
    return pa_context_get_state(context) == PA_CONTEXT_READY ? context : nullptr;
}

bool ConnectionFailed()
{
    return context == nullptr || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
}

bool WaitUntil(pa_usec_t deadline_usec, bool (*done)(void *arg), void *arg)
{
    if (done(arg))
        return true;
    bool expired = false;
    pa_time_event *timer = pa_context_rttime_new(context, deadline_usec, MarkExpired, &expired);
    if (timer == nullptr)
        return false;
    while (!done(arg) && !expired)
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
