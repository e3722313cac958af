"""Opening what the replay commands are given: a ROS bag, or a research dataset folder read as one."""

from __future__ import annotations

from pathlib import Path

from velk_odom.cli._recording import BagRecording, RecordingBase


def open_recording(path: "str | Path") -> RecordingBase:
    """A ROS bag, or a research dataset folder (EuRoC, TUM RGB-D, KITTI odometry) read as one."""
    from velk_odom.datasets import detect

    if detect(path) is not None:
        from velk_odom.cli._datasetrec import DatasetRecording

        return DatasetRecording(path)
    return BagRecording(path)
