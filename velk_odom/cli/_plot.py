"""The commands' figure: the path in the x-y plane with its start and end marked, heading and height over
time, the position error over time when there is a reference, and shaded spans for events the run
knows about (a wheel slip, a gap, a reset)."""

from __future__ import annotations

import math
from typing import Any, Iterable, List, Optional, Sequence, Tuple

Track = Tuple[str, Any, Any]  # (label, stamps ns, poses N x 7)
Span = Tuple[str, float, float]  # (label, start s, end s) on the plot's time axis


def anchored_at_start(track: Track, anchor: Track) -> Track:
    """``track`` moved rigidly so that its first pose lies on ``anchor``'s pose at the same time (raw
    odometry drawn in the fused path's frame instead of its own); unchanged when they do not overlap."""
    import numpy as np

    from velk_odom._geometry import quat_to_matrix
    from velk_odom.trajectory import apply_alignment, nearest_pose

    label, stamps, poses = track
    if not len(poses) or not len(anchor[2]):
        return track
    target = nearest_pose(anchor[1], anchor[2], int(stamps[0]))
    if target is None:
        return track
    rot = quat_to_matrix(np.asarray(target[3:7])) @ quat_to_matrix(np.asarray(poses[0, 3:7])).T
    trans = np.asarray(target[0:3]) - rot @ poses[0, 0:3]
    return f"{label} (anchored at start)", stamps, apply_alignment(poses, rot, trans)


def _yaw_deg(poses: Any) -> Any:
    import numpy as np

    from velk_odom._geometry import yaws

    return np.degrees(np.unwrap(yaws(poses[:, 3:7])))


def plot_run(
    path: str,
    title: str,
    tracks: Sequence[Track],
    reference: Optional[Track] = None,
    errors: Iterable[Tuple[str, Any, Any]] = (),
    spans: Sequence[Span] = (),
    t0_ns: Optional[int] = None,
) -> None:
    """Save a PNG of the tracks (and the reference, dashed black). Time axes are seconds since
    ``t0_ns`` (default: the earliest stamp drawn); ``errors`` are (label, seconds, metres)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    errors = list(errors)
    drawn: List[Track] = ([reference] if reference is not None else []) + [t for t in tracks if len(t[2])]
    if t0_ns is None:
        t0_ns = min((int(t[1][0]) for t in drawn if len(t[1])), default=0)
    fig, axes = plt.subplots(2, 2, figsize=(13, 9))
    ax_xy, ax_err, ax_yaw, ax_z = axes[0][0], axes[0][1], axes[1][0], axes[1][1]
    colours = {}
    for i, (label, stamps, poses) in enumerate(drawn):
        is_ref = reference is not None and i == 0
        style = dict(color="k", linestyle="--", linewidth=1.5) if is_ref else dict(linewidth=1.2)
        line = ax_xy.plot(poses[:, 0], poses[:, 1], label=label, **style)[0]
        colours[label] = line.get_color()
        ax_xy.plot(poses[0, 0], poses[0, 1], "o", color=line.get_color(), markersize=7, markerfacecolor="none")
        ax_xy.plot(poses[-1, 0], poses[-1, 1], "s", color=line.get_color(), markersize=6)
        seconds = (stamps - t0_ns) * 1e-9
        ax_yaw.plot(seconds, _yaw_deg(poses), label=label, **style)
        ax_z.plot(seconds, poses[:, 2], label=label, **style)
    ax_xy.plot([], [], "ko", markerfacecolor="none", label="start")
    ax_xy.plot([], [], "ks", label="end")
    ax_xy.set(xlabel="x [m]", ylabel="y [m]", title="trajectory")
    ax_xy.set_aspect("equal", adjustable="datalim")
    ax_yaw.set(xlabel="time [s]", ylabel="heading [deg]", title="heading (yaw)")
    ax_z.set(xlabel="time [s]", ylabel="z [m]", title="height")
    if errors:
        for label, seconds, metres in errors:
            ax_err.plot(seconds, metres, linewidth=1.2, label=label)
        ax_err.set(xlabel="time [s]", ylabel="position error [m]", title="position error")
    else:
        ax_err.text(0.5, 0.5, "no ground truth", ha="center", va="center", transform=ax_err.transAxes, color="grey")
        ax_err.set(title="position error")
    for ax in (ax_err, ax_yaw, ax_z):
        for label, start, end in spans:
            if math.isfinite(start) and math.isfinite(end) and end > start:
                ax.axvspan(start, end, color="tab:red", alpha=0.15, label=label)
    for ax in (ax_xy, ax_err, ax_yaw, ax_z):
        ax.grid(True, alpha=0.3)
        if ax.get_legend_handles_labels()[1]:
            ax.legend(loc="best", fontsize="small")
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
