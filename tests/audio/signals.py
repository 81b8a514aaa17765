# Test signals whose position in a capture is unambiguous, and the files made of them.
import os
import shutil
import subprocess
import tempfile

import numpy as np
import soundfile as sf

AMPLITUDE = 0.5


def noise_frames(frames, channels=2, seed=1):
    """16-bit white noise from a fixed seed; its first frame is made nonzero in every channel."""
    generator = np.random.default_rng(seed)
    limit = int(AMPLITUDE * 32767)
    samples = generator.integers(-limit, limit + 1, size=(frames, channels), dtype=np.int32)
    samples[0] = np.where(samples[0] == 0, 1, samples[0])
    return samples.astype(np.int16)


def chirp(seconds, rate, start_hz, end_hz):
    """A linear sweep: its autocorrelation has one sharp peak, so alignment is unambiguous."""
    t = np.arange(int(round(seconds * rate))) / rate
    slope = (end_hz - start_hz) / seconds
    return AMPLITUDE * np.sin(2 * np.pi * (start_hz * t + 0.5 * slope * t * t))


def chirp_channels(seconds, rate, channels):
    """One sweep per channel, each its own (up, down, then shifted), as float frames."""
    sweeps = [(300.0, 6000.0), (6000.0, 300.0), (1000.0, 4000.0), (4000.0, 1000.0)]
    columns = [chirp(seconds, rate, *sweeps[c % len(sweeps)]) for c in range(channels)]
    return np.stack(columns, axis=1)


def write_pcm16_wav(path, frames, rate=44100):
    sf.write(path, frames, rate, format="WAV", subtype="PCM_16")


def write_sound(path, frames, rate, file_format, subtype):
    sf.write(path, frames, rate, format=file_format, subtype=subtype)


def decode(path):
    """The file as libsndfile decodes it: float frames of shape (n, channels), and the rate."""
    data, rate = sf.read(path, dtype="float64", always_2d=True)
    return data, rate


def read_pcm16(path):
    """A 16-bit file's frames as int16 (n, channels), exactly as stored, and its rate."""
    data, rate = sf.read(path, dtype="int16", always_2d=True)
    return data, rate


def encode_with_ffmpeg(path, frames, rate, options):
    """Float `frames` at `rate` encoded by FFmpeg with `options` into `path`, for what libsndfile
    does not write; returns the file as FFmpeg decodes it, as decode() does."""
    if shutil.which("ffmpeg") is None:
        import unittest
        raise unittest.SkipTest("ffmpeg makes and decodes this format")
    with tempfile.TemporaryDirectory() as work:
        source = os.path.join(work, "source.wav")
        decoded = os.path.join(work, "decoded.wav")
        sf.write(source, frames, rate, format="WAV", subtype="FLOAT")
        quiet = ["ffmpeg", "-loglevel", "error", "-nostdin", "-y"]
        subprocess.run([*quiet, "-i", source, *options, path], check=True, timeout=60)
        subprocess.run([*quiet, "-i", path, "-c:a", "pcm_f32le", decoded], check=True,
                       timeout=60)
        return decode(decoded)
