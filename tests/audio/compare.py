# Locating a file's samples in a capture of the sink, bit for bit or by correlation.
from dataclasses import dataclass

import numpy as np

FULL_SCALE = 32768.0
SILENCE_THRESHOLD = 1e-3  # about -60 dBFS: a resampler's ringing stays under it


@dataclass
class ExactMatch:
    offset: int  # capture frame holding the file's first frame, or -1 when it never appears
    matched: int  # frames of the file that follow there exactly, from its start


QUICK_CHECK_FRAMES = 64


def longest_exact_run(capture, source, offset):
    """How many frames of `source` follow at `offset` in `capture` exactly, from its first."""
    window = capture[offset:offset + len(source)]
    differs = np.any(window != source[:len(window)], axis=1)
    return int(np.argmax(differs)) if differs.any() else len(window)


def first_nonzero_frame(frames):
    loud = np.nonzero(np.any(frames != 0, axis=1))[0]
    return int(loud[0]) if len(loud) else -1


def find_exact(capture, source):
    """Where in `capture` the longest exact run of `source`, from its first frame, begins.

    The search keys on the source's first nonzero frame: a silent lead-in would match every
    silent frame of the capture.
    """
    key = first_nonzero_frame(source)
    best = ExactMatch(-1, 0)
    if key < 0:
        return best
    for hit in np.nonzero(np.all(capture == source[key], axis=1))[0]:
        offset = int(hit) - key
        if offset < 0:
            continue
        matched = run_from(capture, source, offset, key + QUICK_CHECK_FRAMES)
        if matched > best.matched:
            best = ExactMatch(offset, matched)
        if matched == len(source):
            break
    return best


def run_from(capture, source, offset, quick_frames):
    """The exact run at `offset`, trying a short prefix first: most candidates fail at once."""
    quick = longest_exact_run(capture, source[:quick_frames], offset)
    if quick < min(quick_frames, len(source)):
        return quick
    return longest_exact_run(capture, source, offset)


def count_nonzero_frames(frames):
    return int(np.count_nonzero(np.any(frames != 0, axis=1)))


def to_float(capture):
    return capture.astype(np.float64) / FULL_SCALE


def resample(frames, from_rate, to_rate):
    """Band-limited resampling through the spectrum, column by column."""
    if from_rate == to_rate:
        return frames
    length = int(round(len(frames) * to_rate / from_rate))
    spectrum = np.fft.rfft(frames, axis=0)
    bins = length // 2 + 1
    kept = np.zeros((bins, frames.shape[1]), dtype=complex)
    shared = min(bins, spectrum.shape[0])
    kept[:shared] = spectrum[:shared]
    return np.fft.irfft(kept, n=length, axis=0) * (length / len(frames))


def reference_at_sink(decoded, rate, sink_rate, sink_channels):
    """What the server should make of the decoded file: the sink's rate, mono copied to each side."""
    frames = resample(decoded, rate, sink_rate)
    if frames.shape[1] == 1:
        frames = np.repeat(frames, sink_channels, axis=1)
    return frames


def best_lag(capture_mono, reference_mono):
    """The capture offset at which the reference fits best, by FFT cross-correlation."""
    size = 1 << int(np.ceil(np.log2(len(capture_mono) + len(reference_mono))))
    product = np.fft.rfft(capture_mono, size) * np.conj(np.fft.rfft(reference_mono, size))
    correlation = np.fft.irfft(product, size)[:len(capture_mono)]
    return int(np.argmax(correlation))


def correlation(a, b):
    a = a - a.mean()
    b = b - b.mean()
    denominator = np.sqrt(np.dot(a, a) * np.dot(b, b))
    return float(np.dot(a, b) / denominator) if denominator > 0 else 0.0


def heard_span(frames, threshold=SILENCE_THRESHOLD):
    """First and one-past-last frame louder than the threshold, or (0, 0) for silence."""
    loud = np.nonzero(np.max(np.abs(frames), axis=1) > threshold)[0]
    if len(loud) == 0:
        return 0, 0
    return int(loud[0]), int(loud[-1]) + 1


@dataclass
class Likeness:
    lag: int
    channel_correlations: list
    level_ratio: float  # RMS of the aligned capture over that of the reference
    heard_frames: int
    reference_heard_frames: int
    peak_outside: float  # loudest sample of the capture away from the aligned file


def compare_by_correlation(capture, reference, edge_frames):
    """How closely the capture holds `reference` (float frames at the sink's rate and channels)."""
    heard = to_float(capture)
    lag = best_lag(heard.mean(axis=1), reference.mean(axis=1))
    window = heard[lag:lag + len(reference)]
    aligned = reference[:len(window)]
    correlations = [correlation(window[:, c], aligned[:, c]) for c in range(reference.shape[1])]
    level_ratio = float(np.sqrt(np.mean(window ** 2) / np.mean(aligned ** 2)))
    first, last = heard_span(heard)
    reference_first, reference_last = heard_span(reference)
    outside = np.concatenate([heard[:max(0, lag - edge_frames)],
                              heard[lag + len(reference) + edge_frames:]])
    peak_outside = float(np.max(np.abs(outside))) if len(outside) else 0.0
    return Likeness(lag, correlations, level_ratio, last - first,
                    reference_last - reference_first, peak_outside)
