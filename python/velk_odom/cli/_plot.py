"""The commands' figure: the path in the plane of travel with its start and end marked, heading in that
plane and position across it over time, the position error over time when there is a reference, and
shaded spans for events the run knows about (a wheel slip, a gap, a reset). Every time axis counts
seconds from one origin.

The plane of travel is x-y when the frame is known to have z up (a level odometry frame); otherwise,
as for a camera's own frame (x right, y down, z forward), it is the two axes along which the
trajectories travel furthest."""

from __future__ import annotations

import math
import textwrap
from typing import Any, Iterable, List, Optional, Sequence, Tuple

Track = Tuple[str, Any, Any]  # (label, stamps ns, poses N x 7)
Span = Tuple[str, int, int]  # (label, start ns, end ns) on the stamps' clock
Curve = Tuple[str, Any, Any]  # (label, stamps ns, position error m)
AXES = "xyz"


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


def travel_plane(tracks: Sequence[Track], gravity_up: bool) -> Tuple[int, int, int]:
    """(a, b, n): the axes drawn across and up the path panel, and the axis across the plane (a < b).
    x-y with ``gravity_up``; else the two axes of the largest extent over all ``tracks``."""
    import numpy as np

    if gravity_up:
        return 0, 1, 2
    points = [t[2][:, 0:3] for t in tracks if len(t[2])]
    if not points:
        return 0, 1, 2
    extent = np.ptp(np.concatenate(points), axis=0)
    # The smallest extent is the normal; a tie keeps z as the normal (the usual view from above).
    n = int(min((2, 1, 0), key=lambda k: extent[k]))
    a, b = (k for k in range(3) if k != n)
    return a, b, n


def forward_axis(tracks: Sequence[Track]) -> int:
    """The body axis that points most along the motion (x for a robot base, z for a camera), from
    the first track with any travel: the heading panel follows that axis."""
    import numpy as np

    from velk_odom._geometry import quat_to_matrix

    for _, _, poses in tracks:
        if len(poses) < 2:
            continue
        steps = np.diff(poses[:, 0:3], axis=0)
        if not np.any(steps):
            continue
        axes = quat_to_matrix(poses[:-1, 3:7])  # columns: the body axes in the fixed frame
        along = np.abs(np.einsum("nij,ni->nj", axes, steps)).sum(axis=0)
        return int(np.argmax(along))
    return 0


def heading_deg(poses: Any, plane: Tuple[int, int, int], forward: int) -> Any:
    """The angle in the plane of travel (a towards b, as drawn) of the body's ``forward`` axis,
    unwrapped, in degrees; about z for a level frame and a robot base, this is the yaw."""
    import numpy as np

    from velk_odom._geometry import quat_to_matrix

    a, b, _ = plane
    direction = quat_to_matrix(poses[:, 3:7])[:, :, forward]
    return np.degrees(np.unwrap(np.arctan2(direction[:, b], direction[:, a])))


def plot_run(
    path: str,
    title: str,
    tracks: Sequence[Track],
    reference: Optional[Track] = None,
    errors: Iterable[Curve] = (),
    spans: Sequence[Span] = (),
    t0_ns: Optional[int] = None,
    gravity_up: bool = True,
    empty_reason: Optional[str] = None,
) -> None:
    """Save a PNG of the tracks (and the reference, dashed black). Time axes are seconds since
    ``t0_ns`` (default: the earliest stamp drawn); ``errors`` are (label, stamps ns, metres).
    ``gravity_up``: the frame has z up (see `travel_plane`). ``empty_reason`` is written across
    the path panel when no track has a pose."""
    import matplotlib
    import numpy as np

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    errors = list(errors)
    drawn: List[Track] = ([reference] if reference is not None else []) + [t for t in tracks if len(t[2])]
    if t0_ns is None:
        firsts = [int(t[1][0]) for t in drawn if len(t[1])] + [int(c[1][0]) for c in errors if len(c[1])]
        t0_ns = min(firsts, default=0)
    plane = travel_plane(drawn, gravity_up)
    a, b, n = plane
    forward = forward_axis(drawn)
    fig, axes = plt.subplots(2, 2, figsize=(13, 9))
    ax_xy, ax_err, ax_yaw, ax_z = axes[0][0], axes[0][1], axes[1][0], axes[1][1]
    for i, (label, stamps, poses) in enumerate(drawn):
        is_ref = reference is not None and i == 0
        style = dict(color="k", linestyle="--", linewidth=1.5) if is_ref else dict(linewidth=1.2)
        line = ax_xy.plot(poses[:, a], poses[:, b], label=label, **style)[0]
        ax_xy.plot(poses[0, a], poses[0, b], "o", color=line.get_color(), markersize=7, markerfacecolor="none")
        ax_xy.plot(poses[-1, a], poses[-1, b], "s", color=line.get_color(), markersize=6)
        seconds = (np.asarray(stamps, dtype=np.int64) - t0_ns) * 1e-9
        ax_yaw.plot(seconds, heading_deg(poses, plane, forward), label=label, **style)
        ax_z.plot(seconds, poses[:, n], label=label, **style)
    empty = not any(len(t[2]) for t in tracks)
    if empty:
        reason = textwrap.fill(empty_reason or "no estimate", 50)
        ax_xy.text(0.5, 0.5, reason, ha="center", va="center", transform=ax_xy.transAxes, color="tab:red",
                   bbox=dict(facecolor="white", edgecolor="tab:red", alpha=0.9))
    ax_xy.plot([], [], "ko", markerfacecolor="none", label="start")
    ax_xy.plot([], [], "ks", label="end")
    ax_xy.set(xlabel=f"{AXES[a]} [m]", ylabel=f"{AXES[b]} [m]", title=f"trajectory ({AXES[a]}-{AXES[b]} plane)")
    ax_xy.set_aspect("equal", adjustable="datalim")
    if gravity_up and forward == 0:
        ax_yaw.set(xlabel="time [s]", ylabel="heading [deg]", title="heading (yaw)")
        ax_z.set(xlabel="time [s]", ylabel="z [m]", title="height")
    else:
        ax_yaw.set(xlabel="time [s]", ylabel="heading [deg]",
                   title=f"heading: body {AXES[forward]} axis in the {AXES[a]}-{AXES[b]} plane")
        ax_z.set(xlabel="time [s]", ylabel=f"{AXES[n]} [m]", title=f"{AXES[n]} (across the plane of travel)")
    if errors:
        for label, stamps, metres in errors:
            ax_err.plot((np.asarray(stamps, dtype=np.int64) - t0_ns) * 1e-9, metres, linewidth=1.2, label=label)
        ax_err.set(xlabel="time [s]", ylabel="position error [m]", title="position error")
    else:
        missing = "no estimate to compare" if empty and reference is not None else "no ground truth"
        ax_err.text(0.5, 0.5, missing, ha="center", va="center", transform=ax_err.transAxes, color="grey")
        ax_err.set(title="position error")
    for ax in (ax_err, ax_yaw, ax_z):
        for label, start_ns, end_ns in spans:
            start, end = (start_ns - t0_ns) * 1e-9, (end_ns - t0_ns) * 1e-9
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
