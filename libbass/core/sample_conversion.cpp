// ConvertToPcm16 and FloatToSample: byte by byte, so that no system's byte order or libm matters.
#include "libbass/core/sample_conversion.h"

#include <string.h>

namespace {

constexpr double FULL_SCALE = 32767.0;

uint32_t LittleEndian(const uint8_t *bytes, int count)
{
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; i--)
        value = value << 8 | bytes[i];
    return value;
}

uint32_t BigEndian(const uint8_t *bytes, int count)
{
    uint32_t value = 0;
    for (int i = 0; i < count; i++)
        value = value << 8 | bytes[i];
    return value;
}

// The top 16 bits of a `bits`-wide two's-complement sample, as an arithmetic shift gives them.
int16_t TopBits(uint32_t value, int bits)
{
    uint32_t top = value >> (bits - 16);
    return static_cast<int16_t>(static_cast<uint16_t>(top & 0xFFFF));
}

int16_t RoundHalfEven(double scaled)
{
    auto truncated = static_cast<int32_t>(scaled);
    double rest = scaled - truncated;
    if (rest > 0.5 || (rest == 0.5 && (truncated & 1) != 0))
        truncated++;
    else if (rest < -0.5 || (rest == -0.5 && (truncated & 1) != 0))
        truncated--;
    return static_cast<int16_t>(truncated);
}

double FloatFromBits(uint32_t bits)
{
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

double DoubleFromBits(uint64_t bits)
{
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

uint64_t LittleEndian64(const uint8_t *bytes)
{
    return static_cast<uint64_t>(LittleEndian(bytes + 4, 4)) << 32 | LittleEndian(bytes, 4);
}

uint64_t BigEndian64(const uint8_t *bytes)
{
    return static_cast<uint64_t>(BigEndian(bytes, 4)) << 32 | BigEndian(bytes + 4, 4);
}

int16_t ConvertOne(const uint8_t *bytes, SampleEncoding encoding)
{
    switch (encoding) {
    case SampleEncoding::U8:
        return static_cast<int16_t>((bytes[0] - 128) * 256);
    case SampleEncoding::S8:
        return static_cast<int16_t>(static_cast<int8_t>(bytes[0]) * 256);
    case SampleEncoding::S16:
        return TopBits(LittleEndian(bytes, 2), 16);
    case SampleEncoding::S24:
        return TopBits(LittleEndian(bytes, 3), 24);
    case SampleEncoding::S32:
        return TopBits(LittleEndian(bytes, 4), 32);
    case SampleEncoding::F32:
        return FloatToSample(FloatFromBits(LittleEndian(bytes, 4)));
    case SampleEncoding::F64:
        return FloatToSample(DoubleFromBits(LittleEndian64(bytes)));
    case SampleEncoding::S16_BE:
        return TopBits(BigEndian(bytes, 2), 16);
    case SampleEncoding::S24_BE:
        return TopBits(BigEndian(bytes, 3), 24);
    case SampleEncoding::S32_BE:
        return TopBits(BigEndian(bytes, 4), 32);
    case SampleEncoding::F32_BE:
        return FloatToSample(FloatFromBits(BigEndian(bytes, 4)));
    case SampleEncoding::F64_BE:
        return FloatToSample(DoubleFromBits(BigEndian64(bytes)));
    }
    return 0;
}

}  // namespace

int BytesPerSample(SampleEncoding encoding)
{
    switch (encoding) {
    case SampleEncoding::U8:
    case SampleEncoding::S8:
        return 1;
    case SampleEncoding::S16:
    case SampleEncoding::S16_BE:
        return 2;
    case SampleEncoding::S24:
    case SampleEncoding::S24_BE:
        return 3;
    case SampleEncoding::S32:
    case SampleEncoding::F32:
    case SampleEncoding::S32_BE:
    case SampleEncoding::F32_BE:
        return 4;
    case SampleEncoding::F64:
    case SampleEncoding::F64_BE:
        return 8;
    }
    return 0;
}

int16_t FloatToSample(double value)
{
    return RoundToSample(value * FULL_SCALE);
}

int16_t RoundToSample(double scaled)
{
    if (scaled >= FULL_SCALE)
        return 32767;
    if (scaled <= -32768.0)
        return -32768;
    if (scaled != scaled)
        return 0;
    return RoundHalfEven(scaled);
}

void ConvertToPcm16(const uint8_t *bytes, SampleEncoding encoding, size_t count, int16_t *samples)
{
    int width = BytesPerSample(encoding);
    for (size_t i = 0; i < count; i++)
        samples[i] = ConvertOne(bytes + i * width, encoding);
}
