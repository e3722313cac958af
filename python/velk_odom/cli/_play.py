"""`velk-odom play RECORDING`: a recording published onto a live ROS 2 graph.

Every topic whose message type this ROS installation has is published as recorded, with the
recording's own header stamps, paced by the recording times x --rate. /tf_static is published first
and latched (transient local), as a robot's static transform publisher does. Before the first
message the command waits, --wait-subscribers seconds at most, until the graph's subscribers have
matched its publishers: messages published before discovery completes are lost.
"""

from __future__ import annotations

import argparse
import importlib
import signal
import sys
import time
from typing import Any, Dict, List, Optional

from velk_odom.cli._errors import UserError, one_line

NODE_NAME = "velk_odom_play"
STATIC = "/tf_static"
MATCH_SETTLE_S = 0.2  # the subscriber counts must hold this long: a node subscribes topic by topic


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("recording", help="ROS 1 .bag file, ROS 2 bag folder (sqlite3 or MCAP), or EuRoC, TUM RGB-D or KITTI odometry folder")
    p.add_argument("--rate", type=float, default=1.0, metavar="R", help="play R times as fast as recorded (default 1)")
    p.add_argument("--loop", action="store_true", help="start again from the beginning at the end, until interrupted")
    p.add_argument("--start", type=float, default=0.0, metavar="S", help="skip the first S seconds of the recording")
    p.add_argument("--duration", type=float, metavar="D", help="play D seconds of the recording (default: to its end)")
    p.add_argument("--topics", nargs="+", metavar="TOPIC", help="play only these topics (default: every one)")
    p.add_argument("--wait-subscribers", type=float, default=5.0, metavar="SECONDS",
                   help="wait at most this long for subscribers to match before the first message (default 5)")
    p.add_argument("--qos", choices=("reliable", "best_effort"), default="reliable", help="reliability of the publishers (default reliable)")
    p.add_argument("--depth", type=int, default=1000, help="history depth of the publishers (default 1000)")


def _check(args: argparse.Namespace) -> None:
    if not args.rate > 0:
        raise UserError(f"--rate must be above 0, got {args.rate}")
    if not args.start >= 0:
        raise UserError(f"--start must be 0 or more seconds, got {args.start}")
    if args.duration is not None and not args.duration > 0:
        raise UserError(f"--duration must be above 0 seconds, got {args.duration}")
    if not args.wait_subscribers >= 0:
        raise UserError(f"--wait-subscribers must be 0 or more seconds, got {args.wait_subscribers}")
    if not 1 <= args.depth <= 100_000:
        raise UserError(f"--depth must be from 1 to 100000, got {args.depth}")


def message_class(msgtype: str) -> Optional[Any]:
    """The rclpy class of 'pkg/msg/Name', or None where this installation lacks the package."""
    parts = msgtype.split("/")
    if len(parts) != 3:
        return None
    try:
        return getattr(importlib.import_module(f"{parts[0]}.{parts[1]}"), parts[2])
    except (ImportError, AttributeError):
        return None


def run(args: argparse.Namespace) -> int:
    _check(args)
    try:
        import rclpy
        from rclpy.qos import DurabilityPolicy, QoSProfile, ReliabilityPolicy
        from rclpy.signals import SignalHandlerOptions
    except ImportError as err:
        raise UserError(f"velk-odom play needs ROS 2's Python client ({err.name} is missing): "
                        'pip install "velk_odom[ros]", or source a ROS 2 installation') from None
    from rosbags.typesys import Stores, get_typestore

    from velk_odom.cli._open import open_recording

    store = get_typestore(Stores.ROS2_HUMBLE)
    with open_recording(args.recording) as rec:
        wanted = list(rec.topics) if not args.topics else args.topics
        unknown = [t for t in wanted if t not in rec.topics]
        if unknown:
            raise UserError(f"--topics: the recording has no topic {', '.join(unknown)}; it has: {rec.describe_topics()}")
        classes = {t: message_class(rec.topics[t]) for t in wanted}
        missing = sorted(t for t, c in classes.items() if c is None)
        if missing:
            print(f"velk-odom: note: not published, this ROS installation lacks their message types: "
                  f"{', '.join(f'{t} ({rec.topics[t]})' for t in missing)}", file=sys.stderr)
        topics = [t for t in wanted if classes[t] is not None]
        if not topics:
            raise UserError("no topic of the recording can be published with this ROS installation's message types")

        rclpy.init(args=["velk-odom", "--ros-args", *args.ros_args] if getattr(args, "ros_args", None) else None,
                   signal_handler_options=SignalHandlerOptions.NO)
        node = rclpy.create_node(NODE_NAME)
        stop: List[int] = []
        old = {s: signal.signal(s, lambda signum, frame: stop.append(signum)) for s in (signal.SIGINT, signal.SIGTERM)}
        reliability = ReliabilityPolicy.RELIABLE if args.qos == "reliable" else ReliabilityPolicy.BEST_EFFORT
        pubs: Dict[str, Any] = {}
        try:
            for t in topics:
                static = t == STATIC
                qos = QoSProfile(depth=max(args.depth, rec.counts.get(t, 0)) if static else args.depth,
                                 reliability=ReliabilityPolicy.RELIABLE if static else reliability,
                                 durability=DurabilityPolicy.TRANSIENT_LOCAL if static else DurabilityPolicy.VOLATILE)
                pubs[t] = node.create_publisher(classes[t], t, qos)
            sent, skipped = _play(rec, store, node, pubs, topics, args, stop)
            for p in pubs.values():
                p.wait_for_all_acked(rclpy.duration.Duration(seconds=1.0))
        finally:
            for s, h in old.items():
                signal.signal(s, h)
            node.destroy_node()
            rclpy.try_shutdown()
    note = f"; {skipped} messages could not be serialised and were left out" if skipped else ""
    print(f"velk-odom: published {sent} messages on {len(topics)} topics{note}", file=sys.stderr)
    return 130 if stop and stop[0] == signal.SIGINT else 0


def _wait_for_subscribers(node: Any, pubs: Dict[str, Any], limit_s: float, stop: List[int]) -> None:
    """Until every publisher has a subscriber and every subscriber the graph shows has matched (held
    for MATCH_SETTLE_S), or ``limit_s``."""
    deadline = time.monotonic() + limit_s
    settled_since: Optional[float] = None
    while not stop:
        now = time.monotonic()
        ready = all(p.get_subscription_count() > 0 and p.get_subscription_count() >= node.count_subscribers(t) for t, p in pubs.items())
        if ready:
            settled_since = settled_since or now
            if now - settled_since >= MATCH_SETTLE_S:
                return
        else:
            settled_since = None
        if now >= deadline:
            lonely = sorted(t for t, p in pubs.items() if p.get_subscription_count() == 0)
            if lonely:
                print(f"velk-odom: note: no subscriber after {limit_s:g} s on {', '.join(lonely)}; playing anyway", file=sys.stderr)
            return
        time.sleep(0.01)


def _play(rec: Any, store: Any, node: Any, pubs: Dict[str, Any], topics: List[str], args: argparse.Namespace,
          stop: List[int]) -> "tuple[int, int]":
    sent = skipped = 0
    warned = False

    def publish(m: Any) -> None:
        nonlocal sent, skipped, warned
        try:
            raw = bytes(store.serialize_cdr(m.msg, m.msgtype))
        except Exception as err:  # noqa: BLE001 - a message the ROS 2 definitions do not fit
            skipped += 1
            if not warned:
                warned = True
                print(f"velk-odom: warning: a message on {m.topic} could not be serialised ({one_line(err)}); left out", file=sys.stderr)
            return
        pubs[m.topic].publish(raw)
        sent += 1

    # The static transforms first, latched: known before any sensor message, as on a robot.
    for m in rec.messages([t for t in topics if t == STATIC]):
        publish(m)
    _wait_for_subscribers(node, pubs, args.wait_subscribers, stop)
    paced = [t for t in topics if t != STATIC]
    while not stop:
        wall0: Optional[float] = None
        begin = end = None
        for m in rec.messages(paced, "recorded"):
            if stop:
                break
            if begin is None:  # the recording's times count from its first message
                begin = m.record_ns + int(args.start * 1e9)
                end = begin + int(args.duration * 1e9) if args.duration is not None else None
            if m.record_ns < begin:
                continue
            if end is not None and m.record_ns > end:
                break
            if wall0 is None:
                wall0 = time.monotonic()
            due = wall0 + (m.record_ns - begin) / 1e9 / args.rate
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            publish(m)
        if not args.loop:
            break
    return sent, skipped
