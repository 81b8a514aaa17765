// Software volume on 16-bit samples: unity leaves them untouched, lower gains scale and round.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr float UNITY_GAIN = 1.0f;

// The gain a requested volume stands for: within 0..1; nothing for a value that is not a number.
bool ClampVolume(float requested, float *gain);

void ApplyVolume(int16_t *samples, size_t count, float gain);
