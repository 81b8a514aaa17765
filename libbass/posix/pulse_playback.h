// Playback through a PulseAudio-protocol server (PulseAudio itself, or PipeWire's).
#pragma once

#include "libbass/core/playback.h"

struct PulsePlayback;

// A stream on the server's default sink, started once its first samples are with the server;
// nullptr if there is none. `*server_answered` is false only where no server could be reached
// at all (none there, the connection refused): a server that refused the stream, or took the
// connection and stayed silent, answered.
PulsePlayback *StartPulsePlayback(PcmFormat format, SampleSource source, bool *server_answered);
void FinishPulsePlayback(PulsePlayback *playback);
void AbandonPulsePlayback(PulsePlayback *playback);
