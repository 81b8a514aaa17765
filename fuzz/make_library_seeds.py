#!/usr/bin/env python3
"""Writes the library fuzzer's seeds: 20 ms of a tone in each format the decoders read, as
libsndfile writes them; a FLAC file whose STREAMINFO leaves the count out, a chained Ogg Vorbis
stream whose links differ, and a file cut inside its header.
Usage: /usr/bin/python3 make_library_seeds.py corpus/library"""
import os
import sys

import numpy as np
import soundfile

FORMATS = [
    ('pcm16.wav', 'WAV', 'PCM_16', 44100, 2),
    ('float.wav', 'WAV', 'FLOAT', 22050, 1),
    ('pcm24.aiff', 'AIFF', 'PCM_24', 8000, 2),
    ('pcm16.aiff', 'AIFF', 'PCM_16', 44100, 1),
    ('float.aifc', 'AIFF', 'FLOAT', 11025, 2),
    ('pcm16.flac', 'FLAC', 'PCM_16', 44100, 1),
    ('pcm24.flac', 'FLAC', 'PCM_24', 48000, 2),
    ('vorbis.ogg', 'OGG', 'VORBIS', 8000, 1),
    ('vorbis-stereo.ogg', 'OGG', 'VORBIS', 44100, 2),
    ('opus.opus', 'OGG', 'OPUS', 8000, 1),
    ('opus-stereo.opus', 'OGG', 'OPUS', 48000, 2),
    ('layer3.mp3', 'MP3', 'MPEG_LAYER_III', 8000, 1),
]


def tone(rate, channels):
    t = np.arange(rate // 50) / rate
    wave = 0.5 * np.sin(2 * np.pi * 440 * t)
    return np.repeat(wave[:, None], channels, axis=1)


def main(folder):
    os.makedirs(folder, exist_ok=True)
    for name, container, subtype, rate, channels in FORMATS:
        soundfile.write(os.path.join(folder, name), tone(rate, channels), rate,
                        subtype=subtype, format=container)
    with open(os.path.join(folder, 'pcm16.wav'), 'rb') as whole:
        head = whole.read(30)
    with open(os.path.join(folder, 'cut-in-header.wav'), 'wb') as cut:
        cut.write(head)
    with open(os.path.join(folder, 'pcm16.flac'), 'rb') as flac:
        uncounted = bytearray(flac.read())
    # STREAMINFO's 36-bit count is the low nibble of byte 21 and bytes 22 to 25.
    uncounted[21] &= 0xF0
    uncounted[22:26] = bytes(4)
    with open(os.path.join(folder, 'uncounted.flac'), 'wb') as out:
        out.write(uncounted)
    with open(os.path.join(folder, 'chained.ogg'), 'wb') as chained:
        for name in ('vorbis.ogg', 'vorbis-stereo.ogg'):
            with open(os.path.join(folder, name), 'rb') as link:
                chained.write(link.read())


if __name__ == '__main__':
    main(sys.argv[1])
