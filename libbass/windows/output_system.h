// Whether the system's audio has answered so far: once it has not, nothing more waits for it.
#pragma once

// False once a call into the system's audio took longer than DEVICE_ANSWER_MS
// (libbass/windows/bounded_call.h): every later playback then plays nothing, at once.
bool OutputSystemAnswers();
void MarkOutputSystemSilent();
