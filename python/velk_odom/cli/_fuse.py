"""`velk-odom fuse RECORDING`: replay a recording through OdometryFusion."""

from __future__ import annotations

import argparse
import math
import sys
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Set, Tuple

from velk_odom import _geometry as geo
from velk_odom.cli._bagout import add_output_bag_arguments
from velk_odom.cli._config import FUSION_KEYS, parse_frame_pair, parse_pair, parse_positive
from velk_odom.cli._errors import UserError
from velk_odom.cli._init_watch import InitWatch
from velk_odom.cli._output import FUSION_COUNTERS, add_evaluation_arguments, log_filter
from velk_odom.cli._propose import propose_config
from velk_odom.cli._recording import IMU, ODOMETRY, POSE_COV, TWIST_COV, Message, RecordingBase, require_messages, short_type
from velk_odom.cli._replay import Replay, Row, Track, add_window_arguments, warn_refused
from velk_odom.cli._visual import VisualPart
from velk_odom.ros import (
    TransformBuffer,
    imu_sample_from_msg,
    odometry_estimate_from_msg,
    odometry_estimate_from_pose_msg,
    odometry_estimate_from_twist_msg,
    orientation_estimate_from_imu_msg,
)

ODOM_TYPES = (ODOMETRY, POSE_COV, TWIST_COV)


@dataclass
class TopicPlan:
    """What the replay does with one topic."""

    topic: str
    msgtype: str
    imu_frame: Optional[str] = None
    base_from_imu: geo.Pair = geo.IDENTITY_PAIR
    mount_from: str = ""
    max_accel: float = math.inf
    orientation: Optional[Tuple[str, str]] = None
    odom_source: Optional[Tuple[str, str]] = None
    yaw_rate_scale: float = 1.0
    fed: Counter = field(default_factory=Counter)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("recording", help="ROS 1 .bag file, ROS 2 bag folder (sqlite3 or MCAP), or EuRoC, TUM RGB-D or KITTI odometry folder")
    p.add_argument("--config", metavar="FILE", help="YAML or JSON: the engine's configuration keys plus a `topics` section")
    p.add_argument("--print-config", action="store_true", help="print the configuration (proposed, or the --config file as used) and exit")
    p.add_argument(
        "--order",
        choices=("stamp", "recorded"),
        default="stamp",
        help="feed messages by header stamp (default) or in recording order, which exercises the replay buffer as on a robot",
    )
    p.add_argument("-o", "--output", metavar="FILE.tum", help="fused trajectory in TUM format (default: <recording>_fused.tum)")
    p.add_argument("--plot", metavar="FILE.png", help="also plot the trajectories")
    p.add_argument("--ground-truth", metavar="FILE.tum", help="reference trajectory: report ATE and RPE after alignment")
    add_evaluation_arguments(p)
    add_window_arguments(p)
    add_output_bag_arguments(p)
    p.add_argument("--log", default="warn", type=log_filter, metavar="LEVEL", help="engine log filter on stderr, e.g. warn, info, velk_slam=debug (default warn)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")




def _check_type(source: str, topic: str, msgtype: str, key: str, allowed: Tuple[str, ...]) -> None:
    if msgtype not in allowed:
        want = " or ".join(short_type(a) for a in allowed)
        raise UserError(f"{source}: topics.{topic}.{key} needs a {want} topic, but {topic} carries {short_type(msgtype)}; map it to an entry of the right kind")


def _source_pair(source: str, topic: str, entry: Dict[str, Any], key: str, source_pairs: Set[Tuple[Any, Any]], advice: str) -> Tuple[str, str]:
    """The frame pair ``entry[key]`` names, which must be an `odom_sources` entry's (UserError)."""
    pair = parse_frame_pair(entry[key], f"{source}: topics.{topic}.{key}")
    if pair not in source_pairs:
        raise UserError(
            f"{source}: topics.{topic}.{key} names {list(pair)}, but no `odom_sources` entry has that "
            f"parent_frame_id and child_frame_id; {advice}"
        )
    return pair


def plan_topics(config: Dict[str, Any], bag: RecordingBase, tf: TransformBuffer, source: str) -> List[TopicPlan]:
    """Check the `topics` section against the recording and the configuration's entries (or match
    topics to entries by frame ids when there is no such section)."""
    imus = config.get("imus") or []
    sources = config.get("odom_sources") or []
    if not isinstance(imus, list) or not isinstance(sources, list):
        raise UserError(f"{source}: `imus` and `odom_sources` must be lists of entries")
    imu_frames = {e.get("frame_id") for e in imus if isinstance(e, dict)}
    source_pairs = {(e.get("parent_frame_id"), e.get("child_frame_id")) for e in sources if isinstance(e, dict)}
    topics = config.get("topics")
    if topics is None:
        plans = _plans_by_frames(bag, imu_frames, source_pairs, source)
    else:
        plans = plans_from_section(topics, bag, imu_frames, source_pairs, source)
    require_messages(bag, (p.topic for p in plans))
    _mount_imus(plans, bag, tf, config.get("output_frame_id", "base_link"))
    return plans


def _plans_by_frames(bag: RecordingBase, imu_frames: Set[Any], source_pairs: Set[Any], source: str) -> List[TopicPlan]:
    """Without a `topics` section, a topic feeds the entry whose frame ids its first message carries."""
    plans: List[TopicPlan] = []
    for t in bag.topics_of(IMU):
        m = bag.first(t)
        if m is not None and m.header.frame_id in imu_frames:
            plans.append(TopicPlan(t, IMU, imu_frame=m.header.frame_id))
    for t in bag.topics_of(ODOMETRY):
        m = bag.first(t)
        if m is not None and (m.header.frame_id, m.child_frame_id) in source_pairs:
            plans.append(TopicPlan(t, ODOMETRY, odom_source=(m.header.frame_id, m.child_frame_id)))
    if not plans:
        raise UserError(
            f"{source}: no topic of the recording matches an `imus` frame_id or an `odom_sources` frame pair; "
            "add a `topics` section mapping topics to entries (run without --config to see one)"
        )
    return plans


def plans_from_section(
    topics: Any, bag: RecordingBase, imu_frames: Set[Any], source_pairs: Set[Any], source: str
) -> List[TopicPlan]:
    if not isinstance(topics, dict):
        raise UserError(f"{source}: `topics` must map topic names to entries")
    plans: List[TopicPlan] = []
    for t, entry in topics.items():
        if t not in bag.topics:
            raise UserError(f"{source}: topics.{t}: the recording has no topic {t}; it has: {bag.describe_topics()}")
        if not isinstance(entry, dict) or not any(k in entry for k in ("imu", "orientation", "odom_source")):
            raise UserError(f"{source}: topics.{t} maps to nothing; give it `imu`, `orientation` or `odom_source`")
        msgtype = bag.topics[t]
        plan = TopicPlan(t, msgtype)
        if "imu" in entry:
            _check_type(source, t, msgtype, "imu", (IMU,))
            if entry["imu"] not in imu_frames:
                raise UserError(
                    f"{source}: topics.{t}.imu names {entry['imu']!r}, but no `imus` entry has that frame_id; "
                    f"add the entry or use one of: {', '.join(sorted(map(str, imu_frames))) or 'none'}"
                )
            plan.imu_frame = entry["imu"]
        if "base_from_imu" in entry:
            _check_type(source, t, msgtype, "base_from_imu", (IMU,))
            plan.base_from_imu = parse_pair(entry["base_from_imu"], f"{source}: topics.{t}.base_from_imu")
            plan.mount_from = source
        if "max_accel" in entry:
            _check_type(source, t, msgtype, "max_accel", (IMU,))
            plan.max_accel = parse_positive(entry["max_accel"], f"{source}: topics.{t}.max_accel")
        if "orientation" in entry:
            _check_type(source, t, msgtype, "orientation", (IMU,))
            plan.orientation = _source_pair(source, t, entry, "orientation", source_pairs, "add one with position variances 0")
        if "odom_source" in entry:
            _check_type(source, t, msgtype, "odom_source", ODOM_TYPES)
            plan.odom_source = _source_pair(source, t, entry, "odom_source", source_pairs, "add the entry or fix the names")
        if "yaw_rate_scale" in entry:
            _check_type(source, t, msgtype, "yaw_rate_scale", (ODOMETRY, TWIST_COV))
            plan.yaw_rate_scale = parse_positive(entry["yaw_rate_scale"], f"{source}: topics.{t}.yaw_rate_scale")
        plans.append(plan)
    return plans


def _mount_imus(plans: List[TopicPlan], bag: RecordingBase, tf: TransformBuffer, output_frame: str) -> None:
    """An IMU topic without a mount in the configuration takes it from /tf_static, else identity (warned)."""
    for plan in plans:
        if plan.msgtype != IMU or plan.mount_from:
            continue
        m = bag.first(plan.topic)
        header_frame = m.header.frame_id if m is not None else ""
        mount = tf.lookup(output_frame, header_frame) if header_frame else None
        if mount is not None:
            plan.base_from_imu, plan.mount_from = mount, "/tf_static"
        else:
            plan.mount_from = "identity"
            print(
                f"velk-odom: warning: no mounting transform for IMU frame {header_frame!r} (topic {plan.topic}) "
                f"in /tf_static or the configuration; using identity. Set topics.{plan.topic}.base_from_imu in --config",
                file=sys.stderr,
            )


def convert_message(plan: TopicPlan, msg: Any) -> List[Tuple[str, Any]]:
    out: List[Tuple[str, Any]] = []
    if plan.imu_frame is not None:
        a = msg.linear_acceleration
        if math.sqrt(a.x * a.x + a.y * a.y + a.z * a.z) > plan.max_accel:
            # A reading no robot body makes (a shock on the board, a bus error); the engine would take it
            # as motion. Dropped and counted in the summary.
            plan.fed["imu over max_accel dropped"] += 1
        else:
            out.append(("imu", imu_sample_from_msg(msg, plan.imu_frame)))
    if plan.orientation is not None:
        est = orientation_estimate_from_imu_msg(msg, plan.base_from_imu, *plan.orientation)
        if est is not None:
            out.append(("orientation", est))
    if plan.odom_source is not None:
        parent, child = plan.odom_source
        if plan.msgtype == ODOMETRY:
            est = odometry_estimate_from_msg(msg, parent, child)
        elif plan.msgtype == POSE_COV:
            est = odometry_estimate_from_pose_msg(msg, child, parent)
        else:
            est = odometry_estimate_from_twist_msg(msg, parent, child)
        out.append(("odometry", _scale_yaw_rate(est, plan.yaw_rate_scale) if plan.yaw_rate_scale != 1.0 else est))
    return out


def _scale_yaw_rate(est: Any, scale: float) -> Any:
    """``est`` with its twist's yaw rate, and that rate's covariance row and column, multiplied by ``scale``
    (a skid-steer drive's kinematic yaw rate, a multiple of the turn it makes). The pose is left as it is."""
    from velk_odom._native import OdometryEstimate

    cov = [float(v) for v in est.twist_covariance]
    for i in range(6):
        cov[6 * i + 5] *= scale
        cov[6 * 5 + i] *= scale
    wx, wy, wz = est.twist_angular
    return OdometryEstimate(
        est.timestamp_ns, est.frame_id, est.child_frame_id, est.translation, est.rotation_xyzw,
        pose_covariance=est.pose_covariance, twist_linear=est.twist_linear, twist_angular=(wx, wy, wz * scale),
        twist_covariance=cov,
    )


def why_no_estimate(plans: List[TopicPlan], counters: Optional[Dict[str, int]], fusion: Any, watch: InitWatch, config: Dict[str, Any]) -> str:
    """Why a replay that fed ``plans`` (what each topic fed is in its ``fed``) to ``fusion`` published
    no estimate, in one phrase for the closing line; ``counters`` are the engine's, or None; ``watch``
    saw the IMU samples the engine's initialisation waited on."""
    fed_imu = sum(p.fed["imu"] for p in plans)
    fed = sum(sum(p.fed.values()) - p.fed["refused"] for p in plans)
    if not fed:
        return f"nothing was fed: {', '.join(p.topic for p in plans)} hold no usable message"
    if counters is not None and fed_imu and counters.get("non_finite_imu", 0) >= fed_imu:
        return "every IMU sample was dropped as not finite; check the IMU data and its base_from_imu mount"
    reason = watch.reason(config, counters, 0)
    if reason is not None:
        return reason
    return f"the filter never started from the {fed_imu} IMU samples and {fed - fed_imu} odometry messages fed"


class FuseReplay(Replay):
    """The replay of the planned IMU and odometry topics through OdometryFusion."""

    command, output_suffix, track_label = "fuse", "_fused", "fused"
    labelled_comparisons = True
    config_keys = FUSION_KEYS
    counter_names = FUSION_COUNTERS

    def propose(self, tf: TransformBuffer) -> Tuple[Dict[str, Any], List[str]]:
        require_messages(self.bag, self.bag.topics_of(IMU, ODOMETRY))
        config, notes, warnings = propose_config(self.bag, tf)
        for w in warnings:
            print(f"velk-odom: warning: {w}", file=sys.stderr)
        return config, notes

    def plan(self, tf: TransformBuffer) -> None:
        self.plans = plan_topics(self.config, self.bag, tf, self.source)
        self.plan_of = {p.topic: p for p in self.plans}
        self.visual = VisualPart.plan(self.config, self.bag, self.source)

    def start(self, tf: TransformBuffer) -> Any:
        from velk_odom import _native
        from velk_odom.trajectory import Trajectory

        self.engine_config = {k: v for k, v in self.config.items() if k not in ("topics", "visual", "node")}
        fusion = self.new_engine(_native.OdometryFusion, self.engine_config)
        if self.visual is not None:
            self.visual.start(self.bag, tf, self.new_engine)
        # Odometry topics kept, compactly, only for the comparisons.
        self.raw = {p.topic: Trajectory() for p in self.plans if self.keep and p.odom_source and p.msgtype != TWIST_COV}
        self.watch = InitWatch(self.engine_config)
        return fusion

    def topics(self) -> List[str]:
        return list(self.plan_of) + (list(self.visual.roles) if self.visual is not None else [])

    def feed(self, m: Message) -> Iterator[Any]:
        from velk_odom.trajectory import StampedPose

        if self.visual is not None and m.topic in self.visual.roles:
            for value in self.visual.feed(m):
                self.engine.handle_source(value)
                est = self.engine.maybe_publish()
                if est is not None:
                    yield est
            if m.topic not in self.plan_of:
                return
        plan = self.plan_of[m.topic]
        try:
            values = convert_message(plan, m.msg)
        except (TypeError, ValueError, AttributeError) as err:
            plan.fed["refused"] += 1
            if plan.fed["refused"] == 1:
                warn_refused(m.topic, err)
            return
        for kind, value in values:
            if kind == "imu":
                self.watch.feed(plan.imu_frame, m.stamp_ns, m.msg.angular_velocity)
                self.engine.handle_imu(value, plan.base_from_imu)
            else:
                self.engine.handle_source(value)
                if kind == "odometry" and m.topic in self.raw:
                    self.raw[m.topic].add(StampedPose.of(value))
            plan.fed[kind] += 1
            est = self.engine.maybe_publish()
            if est is not None:
                yield est

    def inputs_summary(self) -> List[Row]:
        fed = "; ".join(
            f"{p.topic}: " + ", ".join(f"{n} {k}" for k, n in sorted(p.fed.items())) for p in self.plans if p.fed
        ) or "nothing"
        rows = [("order", "header stamp" if self.args.order == "stamp" else "as recorded"), ("fed", fed)]
        if self.visual is not None:
            rows.append(("visual", self.visual.summary()))
        for p in self.plans:
            if p.imu_frame is not None or p.orientation is not None:
                rows.append((f"mount {p.topic}", f"{_pair_text(p.base_from_imu)} from {p.mount_from}"))
        return rows

    def outputs_summary(self, trajectory: Any) -> List[Row]:
        rows = [("published", f"{trajectory.count} estimates -> {self.output}")]
        last = trajectory.last
        if last is not None:
            rows.append(
                ("final pose", f"x {last.x:.3f} m, y {last.y:.3f} m, z {last.z:.3f} m, yaw {math.degrees(geo.yaw_of(last[4:8])):.1f} deg, "
                 f"path {trajectory.path_length_m:.1f} m")
            )
        return rows

    def other_tracks(self) -> List[Track]:
        return [(topic, *poses.arrays()) for topic, poses in self.raw.items()]

    def gravity_known(self) -> bool:
        return True  # the filter's odometry frame is level: z up

    def why_no_estimate(self, counters: Optional[Dict[str, int]]) -> str:
        return why_no_estimate(self.plans, counters, self.engine, self.watch, self.engine_config)


def run(args: argparse.Namespace) -> int:
    return FuseReplay(args).run()


def _pair_text(pair: geo.Pair) -> str:
    t, q = pair
    return f"t=({t[0]:.3f}, {t[1]:.3f}, {t[2]:.3f}) q=({q[0]:.4f}, {q[1]:.4f}, {q[2]:.4f}, {q[3]:.4f})"

