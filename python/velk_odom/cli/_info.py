"""`velk-odom info RECORDING`: what a recording holds, as the usual bag tools show it: its kind, start,
duration, and per topic the message type, the message count and the mean rate over the recording."""

from __future__ import annotations

import argparse
from datetime import datetime, timezone

from velk_odom.cli._batch import ground_truth_of
from velk_odom.cli._open import open_recording
from velk_odom.cli._recording import short_type


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("recording", help="ROS 1 .bag file, ROS 2 bag folder (sqlite3 or MCAP), or EuRoC, TUM RGB-D or KITTI odometry folder")


def describe(rec) -> str:  # type: ignore[no-untyped-def]
    start = datetime.fromtimestamp(rec.start_ns * 1e-9, tz=timezone.utc).strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]
    lines = [
        f"recording  {rec.path} ({rec.kind})",
        f"start      {start} UTC ({rec.start_ns * 1e-9:.3f} s)",
        f"duration   {rec.duration_s:.3f} s",
        f"messages   {sum(rec.counts.values())}",
    ]
    rows = [("topic", "type", "count", "rate Hz")]
    for topic in sorted(rec.topics):
        rate = rec.rate_hz(topic)
        rows.append((topic, short_type(rec.topics[topic]), str(rec.counts.get(topic, 0)), "-" if rate is None else f"{rate:.1f}"))
    widths = [max(len(r[i]) for r in rows) for i in range(4)]
    for r in rows:
        lines.append(f"  {r[0]:<{widths[0]}}  {r[1]:<{widths[1]}}  {r[2]:>{widths[2]}}  {r[3]:>{widths[3]}}")
    truth = getattr(rec, "ground_truth", None)
    if truth is not None:
        lines.append(f"ground truth  {len(truth[0])} poses (the dataset's own)")
    elif (beside := ground_truth_of(str(rec.path))) is not None:
        lines.append(f"ground truth  {beside}")
    return "\n".join(lines)


def run(args: argparse.Namespace) -> int:
    with open_recording(args.recording) as rec:
        print(describe(rec))
    return 0
