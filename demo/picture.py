# The demonstration's picture: the file's waveform above what reached the sink, on one time axis.
import matplotlib

matplotlib.use("Agg")  # a file, never a window
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

MAX_POINTS = 20000  # per trace: enough for the eye, small enough to draw at once


def _envelope(times, mono):
    """Keeps each stretch's extremes, so that thinning never hides a click or a gap."""
    if len(mono) <= MAX_POINTS:
        return times, mono
    step = int(np.ceil(len(mono) / (MAX_POINTS / 2)))
    usable = len(mono) - len(mono) % step
    blocks = mono[:usable].reshape(-1, step)
    block_times = times[:usable:step]
    return np.repeat(block_times, 2), np.column_stack([blocks.min(1), blocks.max(1)]).ravel()


def draw(path, heard, title, facts, exit_s):
    """Writes the PNG. `heard` holds the two traces, `facts` the lines written on the picture;
    dotted lines mark playonce's start (0 s) and its exit (`exit_s`)."""
    figure, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(10, 5), dpi=100)
    for axes, (label, times, mono, colour) in zip((top, bottom), heard):
        axes.plot(*_envelope(times, mono), color=colour, linewidth=0.6)
        axes.set_ylim(-1.05, 1.05)
        axes.set_ylabel(label)
        for moment in (0.0, exit_s):
            axes.axvline(moment, color="grey", linewidth=0.8, linestyle=":")
        axes.grid(True, alpha=0.3)
    bottom.set_xlabel("seconds after playonce was started (dotted: its start and its exit)")
    top.set_title(title, fontsize=10)
    bottom.text(0.01, 0.04, "\n".join(facts), transform=bottom.transAxes, fontsize=9,
                family="monospace", va="bottom",
                bbox={"facecolor": "white", "alpha": 0.85, "edgecolor": "none"})
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)
