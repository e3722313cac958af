"""`velk-odom plot TRAJECTORY.tum...`: several runs in one figure, each scored against one ground truth."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any, Dict, List

from velk_odom.cli._errors import UserError
from velk_odom.cli._output import (
    RESULT_COLUMNS,
    add_evaluation_arguments,
    aligned_track,
    check_rpe_delta,
    conclude,
    describe_evaluation,
    plot_target,
    results_target,
    save_plot,
    table,
    write_results,
)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("trajectories", nargs="+", metavar="TRAJECTORY.tum", help="TUM files, e.g. the outputs of fuse or vo")
    p.add_argument("--ground-truth", metavar="FILE.tum", help="reference trajectory: each run is aligned to it and scored")
    p.add_argument("-o", "--output", metavar="FILE.png", default="velk_odom_plot.png", help="the figure (default velk_odom_plot.png)")
    add_evaluation_arguments(p)


def _read(path: str) -> Any:
    from velk_odom.trajectory import read_tum

    if not Path(path).is_file():
        raise UserError(f"trajectory {path!r} not found; give a TUM file (timestamp x y z qx qy qz qw)")
    try:
        return read_tum(path)
    except (ValueError, UnicodeDecodeError) as err:
        raise UserError(f"trajectory: {err}") from None


def run(args: argparse.Namespace) -> int:
    from velk_odom.cli._recording import load_ground_truth
    from velk_odom.trajectory import evaluate, path_length

    check_rpe_delta(args)
    inputs = [*args.trajectories, args.ground_truth]
    reference = load_ground_truth(args.ground_truth)
    runs = [(path, *_read(path)) for path in args.trajectories]
    png = plot_target(args.output, "velk_odom_plot.png", inputs)
    results = results_target(args.results, inputs + [png])
    align = args.align or "rigid"
    labels = _labels(args.trajectories)
    tracks, curves, summary, rows = [], [], [], []
    for label, (path, stamps, poses) in zip(labels, runs):
        row: Dict[str, Any] = {"command": "plot", "recording": path, "trajectory": label, "poses": len(stamps),
                               "path_m": path_length(poses), "error": None}
        track = (label, stamps, poses)
        if reference is None:
            summary.append((label, f"{len(stamps)} poses, path {row['path_m']:.2f} m"))
            row["error"] = "no ground truth"
        else:
            try:
                ev = evaluate((stamps, poses), reference, align=align, delta_s=args.rpe_delta)
            except ValueError as err:
                summary.append((label, str(err)))
                row["error"] = str(err)
            else:
                summary.append((label, describe_evaluation(ev)))
                row.update(ev.as_row())
                curves.append((label, ev.stamps, ev.errors))
                track = aligned_track(track, reference, align)
        tracks.append(track)
        rows.append(row)
    reference_track = ("ground truth", *reference) if reference is not None else None
    title = f"velk-odom plot: {len(runs)} runs" + (f" against {Path(args.ground_truth).name}" if reference is not None else "")
    plot_failed = save_plot(png, title, tracks, reference_track, curves, gravity_up=False)
    summary.append(("plot", png if plot_failed is None else "not written"))
    results_failed = write_results(results, rows, RESULT_COLUMNS) if results is not None else None
    if results is not None:
        summary.append(("results", str(results) if results_failed is None else "not written"))
    print(table(summary))
    unscored = [r["trajectory"] for r in rows if reference is not None and r["error"]]
    return conclude(f"{', '.join(unscored)} could not be scored against the ground truth" if unscored else None,
                    plot_failed, results_failed)


def _labels(paths: List[str]) -> List[str]:
    """Each file's name, or its path where two names are the same."""
    names = [Path(p).name for p in paths]
    return [n if names.count(n) == 1 else p for n, p in zip(names, paths)]
