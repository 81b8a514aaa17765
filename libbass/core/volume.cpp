// ApplyVolume and ClampVolume: the gain stage between the decoder and the output.
#include "libbass/core/volume.h"

#include "libbass/core/sample_conversion.h"

bool ClampVolume(float requested, float *gain)
{
    if (requested != requested)  // not a number
        return false;
    *gain = requested < 0.0f ? 0.0f : requested > UNITY_GAIN ? UNITY_GAIN : requested;
    return true;
}

void ApplyVolume(int16_t *samples, size_t count, float gain)
{
    if (gain >= UNITY_GAIN)
        return;
    for (size_t i = 0; i < count; i++)
        samples[i] = RoundToSample(static_cast<double>(samples[i]) * gain);
}
