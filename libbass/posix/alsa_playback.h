// Playback straight through ALSA's default PCM, for systems where no sound server answers.
#pragma once

#include "libbass/core/playback.h"

struct AlsaPlayback;

// The stream on ALSA's "default" device (resampled by its plug layer where the device needs
// it), its first samples written; nullptr if the device does not open (none, or busy).
AlsaPlayback *StartAlsaPlayback(PcmFormat format, SampleSource source);
void FinishAlsaPlayback(AlsaPlayback *playback);
void AbandonAlsaPlayback(AlsaPlayback *playback);
