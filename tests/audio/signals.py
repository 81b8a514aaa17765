# Test signals whose position in a capture is unambiguous, and the files made of them.
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
