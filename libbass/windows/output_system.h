// Whether the system's audio has answered so far: once it has not, nothing more waits for it.
#pragma once

// False once the system's audio went DEVICE_ANSWER_MS without answering a call
// (libbass/windows/bounded_call.h): every later playback then plays nothing, at once.
bool OutputSystemAnswers();
void MarkOutputSystemSilent();
