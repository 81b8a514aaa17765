// Samples of other codings turned into the library's 16-bit PCM, the same way on every system.
#pragma once

#include <stddef.h>
#include <stdint.h>

// How a file stores one sample: unsigned or signed 8-bit, signed 16/24/32-bit, IEEE float;
// little-endian as WAVE files store them, big-endian (_BE) as AIFF files do.
enum class SampleEncoding {
    U8,
    S8,
    S16,
    S24,
    S32,
    F32,
    F64,
    S16_BE,
    S24_BE,
    S32_BE,
    F32_BE,
    F64_BE,
};

int BytesPerSample(SampleEncoding encoding);

// A scaled sample clipped to 16 bits, a half going to the even neighbour; not-a-number is silence.
int16_t RoundToSample(double scaled);

// A float sample of full scale ±1.0 as 16-bit: scaled by 32767, clipped, a half to the even
// neighbour; not-a-number is silence.
int16_t FloatToSample(double value);

// Converts `count` samples stored at `bytes` into `samples`. Wider integers keep their top 16
// bits, as a 16-bit reading of them would.
void ConvertToPcm16(const uint8_t *bytes, SampleEncoding encoding, size_t count, int16_t *samples);
