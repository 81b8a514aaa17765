// ApplyVolume and ClampVolume: the gain stage between the decoder and the output.
#include "libbass/volume.h"

#include <math.h>

bool ClampVolume(float requested, float *gain)
{
    if (isnan(requested))
        return false;
    *gain = requested < 0.0f ? 0.0f : requested > UNITY_GAIN ? UNITY_GAIN : requested;
    return true;
}

void ApplyVolume(int16_t *samples, size_t count, float gain)
{
    if (gain >= UNITY_GAIN)
        return;
    for (size_t i = 0; i < count; i++)
        samples[i] = static_cast<int16_t>(lrintf(static_cast<float>(samples[i]) * gain));
}
