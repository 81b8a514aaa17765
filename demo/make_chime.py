#!/usr/bin/python3
# Writes the demonstration's chime: 1 s of a two-note bell, 16-bit 44.1 kHz stereo WAV.
"""Usage: make_chime.py OUT.wav

Only the standard library, so that the committed demo/chime.wav can be made again anywhere
and compared byte for byte (a test does).
"""

import math
import struct
import sys
import wave

RATE = 44100
SECONDS = 1.0
PEAK = 0.45  # of full scale, summed over the partials
ATTACK_S = 0.004  # a short rise: no click at the start
# (start s, fundamental Hz, pan: 0 left .. 1 right) for each strike of the bell
STRIKES = [(0.0, 880.0, 0.3), (0.18, 1318.5, 0.7)]
PARTIALS = [(1.0, 1.0, 3.0), (2.76, 0.45, 5.0), (5.40, 0.2, 8.0)]  # (ratio, level, decay /s)


def bell(t, fundamental):
    """One strike of the bell at t seconds after it: inharmonic partials, each dying away."""
    if t < 0:
        return 0.0
    rise = min(1.0, t / ATTACK_S)
    total = sum(level * math.exp(-decay * t) * math.sin(2 * math.pi * fundamental * ratio * t)
                for ratio, level, decay in PARTIALS)
    return rise * total / sum(level for _, level, _ in PARTIALS)


def fade_out(t):
    """The last 50 ms go down to silence, so the sound ends on zero."""
    remaining = SECONDS - t
    return min(1.0, remaining / 0.05)


def frame(index):
    t = index / RATE
    left = right = 0.0
    for start, fundamental, pan in STRIKES:
        value = bell(t - start, fundamental)
        left += value * (1.0 - pan)
        right += value * pan
    gain = PEAK * fade_out(t)
    return to_sample(left * gain), to_sample(right * gain)


def to_sample(value):
    return max(-32768, min(32767, int(round(value * 32767))))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    frames = int(RATE * SECONDS)
    data = b"".join(struct.pack("<hh", *frame(i)) for i in range(frames))
    with wave.open(sys.argv[1], "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(data)


if __name__ == "__main__":
    main()
