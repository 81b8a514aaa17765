#!/usr/bin/python3
# Makes the mp3 fuzz target's seeds with FFmpeg: short files of every kind the reader meets.
"""Usage: /usr/bin/python3 fuzz/make_mp3_seeds.py [FOLDER]   (default fuzz/corpus/mp3)"""
import os
import subprocess
import sys

SEEDS = [
    # name, rate, channels, FFmpeg options
    ("tagged-cbr.mp3", 44100, 2, ["-b:a", "64k"]),
    ("tagged-vbr.mp3", 44100, 2, ["-q:a", "6"]),
    ("untagged.mp3", 44100, 2, ["-b:a", "64k", "-write_xing", "0"]),
    ("id3v2-id3v1.mp3", 48000, 1, ["-b:a", "32k", "-metadata", "title=seed", "-write_id3v1", "1"]),
    ("mpeg25-8k-mono.mp3", 8000, 1, ["-b:a", "8k"]),
    ("mpeg2-22k-mono.mp3", 22050, 1, ["-b:a", "24k", "-write_xing", "0"]),
]


def make(folder, name, rate, channels, options):
    path = os.path.join(folder, name)
    subprocess.run(["ffmpeg", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                    f"anoisesrc=d=0.15:r={rate}:a=0.3:seed=3", "-ac", str(channels), *options,
                    path], check=True)
    return path


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "corpus", "mp3")
    os.makedirs(folder, exist_ok=True)
    for name, rate, channels, options in SEEDS:
        make(folder, name, rate, channels, options)
    # A tagged file cut inside its last frames: the tag claims more than is there.
    with open(os.path.join(folder, "tagged-cbr.mp3"), "rb") as whole:
        data = whole.read()
    with open(os.path.join(folder, "truncated.mp3"), "wb") as cut:
        cut.write(data[:len(data) * 2 // 3])


if __name__ == "__main__":
    main()
