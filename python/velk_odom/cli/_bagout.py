"""`--output-bag PATH`: the replay's odometry as a new ROS 2 bag (MCAP by default), so that it opens in
the usual viewers beside the raw data.

Topics: nav_msgs/Odometry on ``/odom`` (header frame: the odometry frame, child: the output frame),
with the pose, twist and covariances the engine published, and its transform on ``/tf``; with
``--copy-input``, the recording's own topics as well, unchanged, but for a dataset's depth images in
other units than millimetres (TUM RGB-D's 5000 a metre): those become 32FC1 metres, as ROS tools read
depth, so that a replay of the copy gives the same poses.
"""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any, Iterable

from velk_odom.cli._errors import UserError

ODOM_TOPIC = "/odom"
TF_TOPIC = "/tf"
ODOM_TYPE, TF_TYPE = "nav_msgs/msg/Odometry", "tf2_msgs/msg/TFMessage"
STORAGES = ("mcap", "sqlite3")


def add_output_bag_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--output-bag", metavar="PATH", help="also write the odometry (nav_msgs/Odometry on /odom and /tf) as a new ROS 2 bag folder")
    p.add_argument("--bag-storage", choices=STORAGES, default="mcap", help="storage of --output-bag (default mcap)")
    p.add_argument("--copy-input", action="store_true", help="--output-bag also carries the recording's topics")


def check_output_bag(args: argparse.Namespace) -> None:
    """Refuse an unusable --output-bag before any work is done."""
    out = getattr(args, "output_bag", None)
    if getattr(args, "copy_input", False) and not out:
        raise UserError("--copy-input needs --output-bag PATH")
    if not out:
        return
    p = Path(out)
    if p.exists():
        raise UserError(f"--output-bag {out!r} exists; give a new folder (a ROS 2 bag is never overwritten)")
    if not p.parent.is_dir():
        raise UserError(f"--output-bag {out!r}: folder {str(p.parent)!r} does not exist")
    try:  # the bag's folder made and removed: a read-only place is found before the replay, not after it
        p.mkdir()
        p.rmdir()
    except OSError as err:
        raise UserError(f"--output-bag {out!r}: cannot create the bag: {err.strerror or err}") from None


def check_copy_input(args: argparse.Namespace, recording: Any) -> None:
    """Refuse --copy-input of a recording it cannot copy, before any work is done."""
    from velk_odom.cli._recording import BagRecording

    if getattr(args, "copy_input", False) and isinstance(recording, BagRecording) and not recording.is_ros2:
        raise UserError("--copy-input copies ROS 2 bags and dataset folders; convert a ROS 1 bag first (rosbags-convert)")


class BagStream:
    """The --output-bag being written: each published estimate goes in as it comes (pose, twist and
    both covariances as the engine gave them, and its transform), so an interrupted replay keeps what
    it made; `close` adds the recording's topics with --copy-input."""

    def __init__(self, args: argparse.Namespace) -> None:
        from rosbags.rosbag2 import StoragePlugin, Writer

        from velk_odom.ros import MessageBuilder, bag_typestore

        self.args = args
        self.store = bag_typestore()
        self.build = MessageBuilder(self.store, ros1=False)
        plugin = StoragePlugin.MCAP if args.bag_storage == "mcap" else StoragePlugin.SQLITE3
        self.count = 0
        self.writer: Any = None
        try:
            self.writer = Writer(args.output_bag, version=9, storage_plugin=plugin)
            self.writer.open()
        except Exception as err:  # rosbags raises its own WriterError and OSError
            raise UserError(f"--output-bag {args.output_bag!r}: cannot create the bag: {err}") from None
        self.odom = self.writer.add_connection(ODOM_TOPIC, ODOM_TYPE, typestore=self.store)
        self.tf = self.writer.add_connection(TF_TOPIC, TF_TYPE, typestore=self.store)

    def write(self, estimate: Any) -> None:
        t = int(estimate.timestamp_ns)
        pair = (estimate.translation, estimate.rotation_xyzw)
        self.writer.write(self.odom, t, self.store.serialize_cdr(self.build.odometry(t, estimate), ODOM_TYPE))
        tf = self.build.tf_message(t, estimate.frame_id, estimate.child_frame_id, pair)
        self.writer.write(self.tf, t, self.store.serialize_cdr(tf, TF_TYPE))
        self.count += 2

    def close(self, recording: Any = None) -> int:
        """Copy ``recording``'s topics (with --copy-input) and close; returns the messages written.
        Closing a closed bag does nothing."""
        if self.writer is None:
            return self.count
        writer, self.writer = self.writer, None
        try:
            if recording is not None:
                self.count += _copy(writer, self.store, recording)
        finally:
            writer.close()
        return self.count


def _copy(writer: Any, store: Any, recording: Any) -> int:
    """The recording's topics, as they are (a ROS 2 bag's bytes; a dataset's messages serialised)."""
    from velk_odom.cli._recording import BagRecording

    skip = {ODOM_TOPIC, TF_TOPIC}
    count = 0
    if isinstance(recording, BagRecording):
        conns = {}
        for c in recording.connections:
            if c.topic in skip:
                continue
            conns[c.id] = writer.add_connection(c.topic, c.msgtype, typestore=recording.typestore)
        # Read on past damage as the replay does; what was skipped is the recording's `damage`.
        for c, t, raw in recording.raw_messages([c for c in recording.connections if c.id in conns]):
            writer.write(conns[c.id], t, raw)
            count += 1
        return count
    topics = [t for t in recording.topics if t not in skip]
    conns = {t: writer.add_connection(t, recording.topics[t], typestore=store) for t in topics}
    # Millimetres are the ROS convention for 16-bit depth: those stay as they are.
    rescaled = {t: u for t, u in recording.depth_units().items() if u != MILLIMETRES}
    for m in _messages(recording, topics):
        msg = _depth_in_metres(m.msg, rescaled[m.topic], store) if m.topic in rescaled else m.msg
        writer.write(conns[m.topic], m.record_ns, store.serialize_cdr(msg, m.msgtype))
        count += 1
    return count


MILLIMETRES = 1000.0


def _depth_in_metres(msg: Any, units: float, store: Any) -> Any:
    """A 16-bit depth image in ``units`` a metre as 32FC1 metres. Each sample is scaled as the
    tracker scales 16-bit depth, float(sample) * float(1 / units) in single precision, so the copy
    hands the tracker the very metres the original gave it."""
    import numpy as np

    raw = np.frombuffer(bytes(msg.data), dtype="<u2" if not msg.is_bigendian else ">u2")
    raw = raw[: (msg.step // 2) * msg.height].reshape(msg.height, msg.step // 2)[:, : msg.width]
    metres = raw.astype(np.float32) * (np.float32(1.0) / np.float32(units))
    return store.types["sensor_msgs/msg/Image"](
        header=msg.header, height=msg.height, width=msg.width, encoding="32FC1", is_bigendian=0,
        step=4 * msg.width, data=np.ascontiguousarray(metres, dtype="<f4").reshape(-1).view(np.uint8),
    )


def _messages(recording: Any, topics: Iterable[str]) -> Iterable[Any]:
    return recording.messages(topics, "recorded")
