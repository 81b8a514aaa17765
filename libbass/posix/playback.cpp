// Playback on POSIX: a PulseAudio-protocol server when one answers, else ALSA's default device.
#include "libbass/core/heap.h"
#include "libbass/core/playback.h"
#include "libbass/posix/alsa_playback.h"
#include "libbass/posix/pulse_playback.h"

// One of the two; the other is nullptr.
struct Playback {
    PulsePlayback *pulse;
    AlsaPlayback *alsa;
};

// A server that answers but refuses the stream is not gone round: the sound was meant for it.
Playback *StartPlayback(PcmFormat format, SampleSource source)
{
    bool server_answered = false;
    PulsePlayback *pulse = StartPulsePlayback(format, source, &server_answered);
    AlsaPlayback *alsa =
        pulse == nullptr && !server_answered ? StartAlsaPlayback(format, source) : nullptr;
    if (pulse == nullptr && alsa == nullptr)
        return nullptr;
    auto *playback = HeapNew<Playback>();
    if (playback == nullptr) {
        if (pulse != nullptr)
            AbandonPulsePlayback(pulse);
        if (alsa != nullptr)
            AbandonAlsaPlayback(alsa);
        return nullptr;
    }
    *playback = Playback{pulse, alsa};
    return playback;
}

void FinishPlayback(Playback *playback)
{
    if (playback->pulse != nullptr)
        FinishPulsePlayback(playback->pulse);
    else
        FinishAlsaPlayback(playback->alsa);
    HeapDelete(playback);
}

void AbandonPlayback(Playback *playback)
{
    if (playback->pulse != nullptr)
        AbandonPulsePlayback(playback->pulse);
    else
        AbandonAlsaPlayback(playback->alsa);
    HeapDelete(playback);
}
