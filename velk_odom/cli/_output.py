"""What the commands show: the engines' counters, the progress bar and the trajectory plot."""

from __future__ import annotations

import os
import re
import sys
import tempfile
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from velk_odom.cli._errors import UserError

FUSION_COUNTERS = ("imu_samples", "measurements", "gated", "replayed", "too_late")

_ANSI = re.compile(r"\x1b\[[0-9;]*m")
_FIELD = re.compile(r"\b([a-z_]+)=(\d+)\b")

def enable_engine_log(level: str) -> bool:
    """Send the engines' log to stderr at ``level``. A bare level below info also keeps the engines'
    info events (their counter reports, read by `engine_counters`). Returns False when a logger was
    installed earlier in this process; raises UserError for a filter that does not parse."""
    from velk_odom._native import init_logging

    directive = level
    if level in ("off", "error", "warn"):
        directive = f"{level},velk_slam::odometry_fusion=info,velk_slam::cuvslam_odometry=info"
    try:
        init_logging(directive)
    except ValueError as err:
        if str(err).startswith("level: "):
            raise UserError(f"--log {level!r}: {err}; give a level such as warn or info, or a filter such as velk_slam=debug") from None
        return False
    return True


def engine_counters(engine: Any, names: Sequence[str] = FUSION_COUNTERS) -> Optional[Dict[str, int]]:
    """The counters of an engine, read from the line its ``report()`` logs to stderr (fd 2 is
    redirected to a temporary file for the call). None when the line cannot be read."""
    counters = getattr(engine, "counters", None)
    if callable(counters):
        return {k: int(v) for k, v in dict(counters()).items()}
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        with tempfile.TemporaryFile() as tmp:
            os.dup2(tmp.fileno(), 2)
            try:
                engine.report()
            finally:
                os.dup2(saved, 2)
            tmp.seek(0)
            text = _ANSI.sub("", tmp.read().decode("utf-8", errors="replace"))
    finally:
        os.close(saved)
    found = {k: int(v) for k, v in _FIELD.findall(text) if k in names}
    return found if all(k in found for k in names) else None


def format_counters(counters: Optional[Dict[str, int]], names: Sequence[str] = FUSION_COUNTERS) -> str:
    if counters is None:
        return "unavailable (another log subscriber was installed before this command)"
    return "  ".join(f"{k}={counters[k]}" for k in names)


class Progress:
    """A tqdm progress bar on stderr when stderr is a terminal, silent otherwise."""

    def __init__(self, total: int, desc: str, enabled: bool = True) -> None:
        self._bar = None
        if enabled and sys.stderr.isatty():
            from tqdm import tqdm

            self._bar = tqdm(total=total, desc=desc, unit="msg", unit_scale=True, leave=False, file=sys.stderr)

    def update(self, n: int = 1) -> None:
        if self._bar is not None:
            self._bar.update(n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


Track = Tuple[str, Any, Any]  # (label, stamps ns, poses N x 7)


def plot_trajectories(
    path: str,
    title: str,
    tracks: Sequence[Track],
    reference: Optional[Track] = None,
    errors: Iterable[Tuple[str, Any, Any]] = (),
) -> None:
    """Save a PNG: the tracks (and the reference, dashed black) in the x-y plane and, when ``errors``
    are given as (label, seconds, metres), the position error over time beside it."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    errors = list(errors)
    fig, axes = plt.subplots(1, 2 if errors else 1, figsize=(13 if errors else 7, 6), squeeze=False)
    ax = axes[0][0]
    if reference is not None:
        ax.plot(reference[2][:, 0], reference[2][:, 1], "k--", linewidth=1.5, label=reference[0])
    for label, _, poses in tracks:
        if len(poses):
            ax.plot(poses[:, 0], poses[:, 1], linewidth=1.2, label=label)
    ax.set_xlabel("x [m]")
    ax.set_ylabel("y [m]")
    ax.set_aspect("equal", adjustable="datalim")
    ax.grid(True, alpha=0.3)
    ax.legend(loc="best")
    ax.set_title("trajectory")
    if errors:
        ax2 = axes[0][1]
        for label, seconds, metres in errors:
            ax2.plot(seconds, metres, linewidth=1.2, label=label)
        ax2.set_xlabel("time [s]")
        ax2.set_ylabel("position error [m]")
        ax2.grid(True, alpha=0.3)
        ax2.legend(loc="best")
        ax2.set_title("position error")
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def aligned_track(track: Track, reference: Tuple[Any, Any]) -> Track:
    """The track mapped into the reference's frame by its own rigid alignment (for drawing both in
    one plot); unchanged when no pose matches the reference in time."""
    from velk_odom.trajectory import alignment, apply_alignment

    label, stamps, poses = track
    try:
        rot, trans, scale = alignment((stamps, poses), reference)
    except ValueError:
        return track
    return f"{label} (aligned)", stamps, apply_alignment(poses, rot, trans, scale)


def table(rows: List[Tuple[str, str]]) -> str:
    width = max(len(k) for k, _ in rows)
    return "\n".join(f"{k.ljust(width)}  {v}" for k, v in rows)
