"""`velk-odom fuse RECORDING`: replay a recording through OdometryFusion."""

from __future__ import annotations

import argparse
import math
import sys
from collections import Counter
from contextlib import nullcontext
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

from velk_odom import _geometry as geo
from velk_odom.cli._config import FUSION_KEYS, check_keys, dump_yaml, load_config_file, parse_frame_pair, parse_pair
from velk_odom.cli import _bagout
from velk_odom.cli._errors import UserError
from velk_odom.cli._recording import open_recording, IMU, ODOMETRY, POSE_COV, TF, TWIST_COV, BagRecording, load_ground_truth, short_type
from velk_odom.ros import (
    TransformBuffer,
    covariance_diagonal,
    has_orientation,
    imu_sample_from_msg,
    odometry_estimate_from_msg,
    odometry_estimate_from_pose_msg,
    odometry_estimate_from_twist_msg,
    orientation_estimate_from_imu_msg,
)

# Figures of a typical consumer MEMS IMU, used when a recording says nothing about its IMU.
MEMS_NOISE = {
    "gyro_noise_density": 1.0e-3,  # rad/s/sqrt(Hz)
    "gyro_random_walk": 1.0e-4,  # rad/s²/sqrt(Hz)
    "accel_noise_density": 1.0e-2,  # m/s²/sqrt(Hz)
    "accel_random_walk": 1.0e-3,  # m/s³/sqrt(Hz)
}
# Attitude variance (rad²) for an IMU orientation whose message gives no covariance.
ORIENTATION_VARIANCE = 1.0e-4
# Planar wheel odometry without covariances: x, y and yaw only.
PLANAR_POSE_VARIANCES = [1.0e-2, 1.0e-2, 0.0, 0.0, 0.0, 1.0e-2]
PLANAR_TWIST_VARIANCES = [1.0e-2, 1.0e-2, 1.0e-4, 0.0, 0.0, 1.0e-2]
# Drivers mark a dimension they do not measure with a huge variance (1e3 to 1e6, or more). Such rows add
# no information but widen the outlier gate, whose bound grows with the row count, so they are left out.
UNKNOWN_VARIANCE = 1.0e3
# (m/s)²: the base of a ground robot does not move along its own z axis.
GROUND_VERTICAL_SPEED_VARIANCE = 1.0e-4
ODOM_TYPES = (ODOMETRY, POSE_COV, TWIST_COV)
PROPOSED = "proposed configuration"


@dataclass
class TopicPlan:
    """What the replay does with one topic."""

    topic: str
    msgtype: str
    imu_frame: Optional[str] = None
    base_from_imu: geo.Pair = geo.IDENTITY_PAIR
    mount_from: str = ""
    orientation: Optional[Tuple[str, str]] = None
    odom_source: Optional[Tuple[str, str]] = None
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
    p.add_argument("--rpe-delta", type=float, default=1.0, metavar="SECONDS", help="time step of the relative pose error (default 1 s)")
    _bagout.add_arguments(p)
    p.add_argument("--log", default="warn", metavar="LEVEL", help="engine log filter on stderr, e.g. warn, info, velk_slam=debug (default warn)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")


def _tf_static(bag: BagRecording) -> TransformBuffer:
    tf = TransformBuffer()
    topics = [t for t in bag.topics_of(TF) if t.endswith("tf_static")]
    for m in bag.messages(topics, "recorded"):
        tf.add_message(m.msg, static=True)
    return tf


def _frame_name(topic: str) -> str:
    return topic.strip("/").replace("/", "_") or "imu"


def _density(cov: Any, rate: Optional[float]) -> Optional[float]:
    # A per-sample variance v at rate f is a white-noise density sqrt(v / f).
    var = float(list(cov)[0]) if len(list(cov)) else 0.0
    if var > 0.0 and math.isfinite(var) and rate:
        return math.sqrt(var / rate)
    return None


def propose_config(bag: BagRecording, tf: TransformBuffer) -> Tuple[Dict[str, Any], List[str]]:
    """A configuration for the recording's IMU and odometry topics, with notes on what was guessed."""
    imu_topics = bag.topics_of(IMU)
    odom_topics = bag.topics_of(ODOMETRY)
    if not imu_topics and not odom_topics:
        raise UserError(
            f"recording {str(bag.path)!r} has no sensor_msgs/Imu or nav_msgs/Odometry topic to fuse; it has: {bag.describe_topics()}"
        )
    notes: List[str] = []
    children: Counter = Counter()
    for t in odom_topics:
        m = bag.first(t)
        if m is not None and m.child_frame_id:
            children[m.child_frame_id] += 1
    output_frame = children.most_common(1)[0][0] if children else "base_link"
    config: Dict[str, Any] = {"odom_frame_id": "odom", "output_frame_id": output_frame, "imus": [], "odom_sources": []}
    topics: Dict[str, Dict[str, Any]] = {}
    used_frames: set = set()
    for t in imu_topics:
        m = bag.first(t)
        if m is None:
            continue
        frame = m.header.frame_id or _frame_name(t)
        while frame in used_frames:
            frame = f"{frame}_{_frame_name(t)}"
        used_frames.add(frame)
        rate = bag.rate_hz(t)
        entry: Dict[str, Any] = {"frame_id": frame}
        gyro = _density(m.angular_velocity_covariance, rate)
        accel = _density(m.linear_acceleration_covariance, rate)
        entry["gyro_noise_density"] = gyro if gyro is not None else MEMS_NOISE["gyro_noise_density"]
        entry["gyro_random_walk"] = MEMS_NOISE["gyro_random_walk"]
        entry["accel_noise_density"] = accel if accel is not None else MEMS_NOISE["accel_noise_density"]
        entry["accel_random_walk"] = MEMS_NOISE["accel_random_walk"]
        entry["init_samples"] = int(max(20, min(200, round(0.5 * rate)))) if rate else 200
        if gyro is None or accel is None:
            notes.append(f"imus {frame}: noise figures are typical MEMS values; take yours from the IMU's datasheet")
        config["imus"].append(entry)
        tentry: Dict[str, Any] = {"imu": frame}
        mount = tf.lookup(output_frame, m.header.frame_id) if m.header.frame_id else None
        if mount is not None:
            tentry["base_from_imu"] = [list(mount[0]), list(mount[1])]
            notes.append(f"topics.{t}.base_from_imu: from the recording's /tf_static")
        else:
            notes.append(
                f"topics.{t}: /tf_static does not place {m.header.frame_id or frame!r} on {output_frame!r}; "
                "set base_from_imu: [[x, y, z], [qx, qy, qz, qw]] (identity is used)"
            )
        if has_orientation(m):
            parent = f"{frame}/orientation"
            ocov = list(m.orientation_covariance)
            var = -1.0 if ocov and all(float(ocov[i]) > 0.0 for i in (0, 4, 8)) else ORIENTATION_VARIANCE
            config["odom_sources"].append(
                {
                    "parent_frame_id": parent,
                    "child_frame_id": output_frame,
                    "pose_variances": [0.0, 0.0, 0.0, var, var, var],
                    "twist_variances": [0.0] * 6,
                }
            )
            tentry["orientation"] = [parent, output_frame]
            notes.append(
                f"topics.{t}.orientation: the IMU reports an orientation; it is fused as an attitude-only source "
                "(without it the heading drifts without bound); remove the key to ignore it"
            )
        topics[t] = tentry
    pairs: set = set()
    for t in odom_topics:
        m = bag.first(t)
        if m is None:
            continue
        parent = m.header.frame_id or "odom"
        child = m.child_frame_id or output_frame
        if (parent, child) in pairs:
            parent = f"{parent}@{t}"
        pairs.add((parent, child))
        pose_var, pose_known = _variances_from(covariance_diagonal(m.pose.covariance), PLANAR_POSE_VARIANCES)
        twist_var, twist_known = _variances_from(covariance_diagonal(m.twist.covariance), PLANAR_TWIST_VARIANCES)
        if not pose_known or not twist_known:
            notes.append(f"odom_sources {parent} -> {child}: {t} gives no covariance; planar variances assumed")
        if pose_known and pose_var[2:5] == [0.0, 0.0, 0.0] and twist_var[2] == 0.0:
            # z, roll and pitch unmeasured: a ground robot, whose base has no vertical speed of its own.
            twist_var[2] = GROUND_VERTICAL_SPEED_VARIANCE
            notes.append(
                f"odom_sources {parent} -> {child}: planar odometry, so the base's vertical speed is held near 0 "
                "(twist_variances[2]); set it to 0 for a robot that climbs or flies"
            )
        config["odom_sources"].append(
            {"parent_frame_id": parent, "child_frame_id": child, "pose_variances": pose_var, "twist_variances": twist_var}
        )
        topics[t] = {"odom_source": [parent, child]}
    if not config["odom_sources"]:
        notes.append("no odometry topic: the IMU alone dead-reckons, and its position drifts quickly")
    config["topics"] = topics
    return config, notes


def _variances_from(diagonal: List[float], fallback: List[float]) -> Tuple[List[float], bool]:
    """Per dimension: -1 (take the message's variance) where the message gives a real one, 0 (leave
    the dimension out) where it gives 0 or an "unknown" marker. Without any real variance, the
    fallback. Returns (variances, whether the message had any)."""
    known = [0.0 < v < UNKNOWN_VARIANCE and math.isfinite(v) for v in diagonal]
    if not any(known):
        return list(fallback), False
    return [-1.0 if k else 0.0 for k in known], True


def _check_type(source: str, topic: str, msgtype: str, key: str, allowed: Tuple[str, ...]) -> None:
    if msgtype not in allowed:
        want = " or ".join(short_type(a) for a in allowed)
        raise UserError(f"{source}: topics.{topic}.{key} needs a {want} topic, but {topic} carries {short_type(msgtype)}; map it to an entry of the right kind")


def plan_topics(config: Dict[str, Any], bag: BagRecording, tf: TransformBuffer, source: str) -> List[TopicPlan]:
    """Check the `topics` section against the recording and the configuration's entries (or match
    topics to entries by frame ids when there is no such section)."""
    imus = config.get("imus") or []
    sources = config.get("odom_sources") or []
    if not isinstance(imus, list) or not isinstance(sources, list):
        raise UserError(f"{source}: `imus` and `odom_sources` must be lists of entries")
    imu_frames = {e.get("frame_id") for e in imus if isinstance(e, dict)}
    source_pairs = {(e.get("parent_frame_id"), e.get("child_frame_id")) for e in sources if isinstance(e, dict)}
    output_frame = config.get("output_frame_id", "base_link")
    topics = config.get("topics")
    plans: List[TopicPlan] = []
    if topics is None:
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
    else:
        if not isinstance(topics, dict):
            raise UserError(f"{source}: `topics` must map topic names to entries")
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
                plan.mount_from = source if source != PROPOSED else "/tf_static"  # proposals copy it from there
            if "orientation" in entry:
                _check_type(source, t, msgtype, "orientation", (IMU,))
                pair = parse_frame_pair(entry["orientation"], f"{source}: topics.{t}.orientation")
                if pair not in source_pairs:
                    raise UserError(
                        f"{source}: topics.{t}.orientation names {list(pair)}, but no `odom_sources` entry has that "
                        "parent_frame_id and child_frame_id; add one with position variances 0"
                    )
                plan.orientation = pair
            if "odom_source" in entry:
                _check_type(source, t, msgtype, "odom_source", ODOM_TYPES)
                pair = parse_frame_pair(entry["odom_source"], f"{source}: topics.{t}.odom_source")
                if pair not in source_pairs:
                    raise UserError(
                        f"{source}: topics.{t}.odom_source names {list(pair)}, but no `odom_sources` entry has that "
                        "parent_frame_id and child_frame_id; add the entry or fix the names"
                    )
                plan.odom_source = pair
            plans.append(plan)
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
    return plans


def _convert(plan: TopicPlan, msg: Any) -> List[Tuple[str, Any]]:
    out: List[Tuple[str, Any]] = []
    if plan.imu_frame is not None:
        out.append(("imu", imu_sample_from_msg(msg, plan.imu_frame)))
    if plan.orientation is not None:
        est = orientation_estimate_from_imu_msg(msg, plan.base_from_imu, *plan.orientation)
        if est is not None:
            out.append(("orientation", est))
    if plan.odom_source is not None:
        parent, child = plan.odom_source
        if plan.msgtype == ODOMETRY:
            out.append(("odometry", odometry_estimate_from_msg(msg, parent, child)))
        elif plan.msgtype == POSE_COV:
            out.append(("odometry", odometry_estimate_from_pose_msg(msg, child, parent)))
        else:
            out.append(("odometry", odometry_estimate_from_twist_msg(msg, parent, child)))
    return out


def run(args: argparse.Namespace) -> int:
    import numpy as np

    from velk_odom import _native
    from velk_odom.cli._output import (
        Progress,
        aligned_track,
        EngineLog,
        engine_counters,
        format_counters,
        plot_trajectories,
        table,
    )
    from velk_odom.trajectory import absolute_trajectory_error, path_length, relative_pose_error, write_tum

    reference = load_ground_truth(args.ground_truth)
    _bagout.check(args)
    if not args.rpe_delta > 0:
        raise UserError(f"--rpe-delta must be above 0 seconds, got {args.rpe_delta}")

    with open_recording(args.recording) as bag:
        if reference is None:
            reference = getattr(bag, "ground_truth", None)  # a dataset's own
        tf = _tf_static(bag)
        if args.config:
            config = load_config_file(args.config)
            check_keys(config, FUSION_KEYS, args.config)
            source = args.config
            notes: List[str] = []
        else:
            config, notes = propose_config(bag, tf)
            source = PROPOSED
        text = dump_yaml(
            config,
            ([f"configuration proposed for {bag.path.name}; save it with --print-config > fuse.yaml, edit, pass --config fuse.yaml", ""] + notes)
            if not args.config
            else [],
        )
        if args.print_config:
            plan_topics(config, bag, tf, source)
            sys.stdout.write(text)
            return 0
        plans = plan_topics(config, bag, tf, source)
        if not args.config:
            sys.stdout.write(text + "\n")
        engine_config = {k: v for k, v in config.items() if k != "topics"}
        try:
            fusion = _native.OdometryFusion(engine_config)
        except (TypeError, ValueError) as err:
            raise UserError(f"{source}: {err}") from None
        with EngineLog(args.log) as log:
            by_topic = {p.topic: p for p in plans}
            total = sum(bag.counts.get(t, 0) for t in by_topic)
            rows: List[Tuple[int, ...]] = []
            raw: Dict[str, List[Tuple[int, ...]]] = {p.topic: [] for p in plans if p.odom_source and p.msgtype != TWIST_COV}
            progress = Progress(total, "fuse", enabled=not args.no_progress, console=log.console)
            try:
                for m in bag.messages(by_topic, args.order):
                    plan = by_topic[m.topic]
                    for kind, value in _convert(plan, m.msg):
                        if kind == "imu":
                            fusion.handle_imu(value, plan.base_from_imu)
                        else:
                            fusion.handle_source(value)
                            if kind == "odometry" and m.topic in raw:
                                raw[m.topic].append((value.timestamp_ns, *value.translation, *value.rotation_xyzw))
                        plan.fed[kind] += 1
                        est = fusion.maybe_publish()
                        if est is not None:
                            rows.append((est.timestamp_ns, *est.translation, *est.rotation_xyzw))
                    progress.update()
            except _native.PanicException as err:
                raise UserError(f"{source}: the engine refused the configuration: {err}; fix it in the configuration") from None
            finally:
                progress.close()
            counters = engine_counters(fusion)

    output = args.output or f"{bag.path.stem or 'recording'}_fused.tum"
    write_tum(output, rows)
    if args.output_bag:
        with (open_recording(args.recording) if args.copy_input else nullcontext()) as copied:
            bag_messages = _bagout.write_if_asked(args, rows, config.get("odom_frame_id", "odom"), config.get("output_frame_id", "base_link"), copied)
    fused = (np.array([r[0] for r in rows], dtype=np.int64), np.array([r[1:] for r in rows], dtype=float).reshape(-1, 7))
    tracks = [("fused", *fused)] + [
        (topic, np.array([r[0] for r in rs], dtype=np.int64), np.array([r[1:] for r in rs], dtype=float).reshape(-1, 7))
        for topic, rs in raw.items()
    ]

    fed = "; ".join(
        f"{p.topic}: " + ", ".join(f"{n} {k}" for k, n in sorted(p.fed.items())) for p in plans if p.fed
    ) or "nothing"
    summary = [
        ("recording", f"{bag.path} ({bag.kind}, {bag.duration_s:.1f} s, {sum(bag.counts.values())} messages)"),
        ("order", "header stamp" if args.order == "stamp" else "as recorded"),
        ("fed", fed),
    ]
    for p in plans:
        if p.imu_frame is not None or p.orientation is not None:
            summary.append((f"mount {p.topic}", f"{_pair_text(p.base_from_imu)} from {p.mount_from}"))
    summary.append(("engine counters", format_counters(counters)))
    summary.append(("published", f"{len(rows)} estimates -> {output}"))
    if rows:
        last = rows[-1]
        summary.append(
            ("final pose", f"x {last[1]:.3f} m, y {last[2]:.3f} m, z {last[3]:.3f} m, yaw {math.degrees(geo.yaw_of(last[4:8])):.1f} deg, "
             f"path {path_length(fused[1]):.1f} m")
        )
    error_curves = []
    if reference is not None:
        for label, stamps, poses in tracks:
            if len(stamps) == 0:
                summary.append((f"vs ground truth [{label}]", "no poses"))
                continue
            try:
                ate, t_m, errors = absolute_trajectory_error((stamps, poses), reference)
                rpe_t, rpe_r = relative_pose_error((stamps, poses), reference, delta_s=args.rpe_delta)
            except ValueError as e:
                summary.append((f"vs ground truth [{label}]", str(e)))
                continue
            summary.append(
                (f"vs ground truth [{label}]",
                 f"ATE rmse {ate.rmse:.3f} m (max {ate.max:.3f} m, {ate.count} poses); "
                 f"RPE/{args.rpe_delta:g} s rmse {rpe_t.rmse:.3f} m, {math.degrees(rpe_r.rmse):.2f} deg")
            )
            error_curves.append((label, (t_m - t_m[0]) * 1e-9 if len(t_m) else t_m, errors))
    if args.plot:
        ref_track = None
        if reference is not None:
            # Each trajectory drawn in the reference's frame, by its own alignment.
            ref_track = ("ground truth", *reference)
            tracks = [aligned_track(track, reference) for track in tracks]
        plot_trajectories(args.plot, f"velk-odom fuse {bag.path.name}", tracks, ref_track, error_curves)
        summary.append(("plot", args.plot))
    if args.output_bag:
        summary.append(("output bag", f"{args.output_bag} ({args.bag_storage}, {bag_messages} messages)"))
    print(table(summary))
    return 0


def _pair_text(pair: geo.Pair) -> str:
    t, q = pair
    return f"t=({t[0]:.3f}, {t[1]:.3f}, {t[2]:.3f}) q=({q[0]:.4f}, {q[1]:.4f}, {q[2]:.4f}, {q[3]:.4f})"

