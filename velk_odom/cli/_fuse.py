"""`velk-odom fuse RECORDING`: replay a recording through OdometryFusion."""

from __future__ import annotations

import argparse
import math
import sys
from collections import Counter
from contextlib import nullcontext
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from velk_odom import _geometry as geo
from velk_odom.cli._config import FUSION_KEYS, check_keys, dump_yaml, load_config_file, parse_frame_pair, parse_pair, parse_positive
from velk_odom.cli import _bagout
from velk_odom.cli._errors import UserError, one_line
from velk_odom.cli._init_watch import InitWatch
from velk_odom.cli._propose import propose_config
from velk_odom.cli._recording import (
    IMU,
    ODOMETRY,
    POSE_COV,
    TWIST_COV,
    BagRecording,
    load_ground_truth,
    open_recording,
    require_messages,
    short_type,
    static_transforms,
)
from velk_odom.ros import (
    TransformBuffer,
    imu_sample_from_msg,
    odometry_estimate_from_msg,
    odometry_estimate_from_pose_msg,
    odometry_estimate_from_twist_msg,
    orientation_estimate_from_imu_msg,
)

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
    max_accel: float = math.inf
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
                plan.mount_from = source
            if "max_accel" in entry:
                _check_type(source, t, msgtype, "max_accel", (IMU,))
                plan.max_accel = parse_positive(entry["max_accel"], f"{source}: topics.{t}.max_accel")
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
    require_messages(bag, (p.topic for p in plans))
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
            out.append(("odometry", odometry_estimate_from_msg(msg, parent, child)))
        elif plan.msgtype == POSE_COV:
            out.append(("odometry", odometry_estimate_from_pose_msg(msg, child, parent)))
        else:
            out.append(("odometry", odometry_estimate_from_twist_msg(msg, parent, child)))
    return out


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


def _replay(
    bag: BagRecording, plans: List[TopicPlan], fusion: Any, args: argparse.Namespace, trajectory: Any,
    raw: Dict[str, Any], console: Any, watch: InitWatch,
) -> None:
    """Feed the planned topics to the engine in the chosen order, each published estimate streamed to
    ``trajectory`` and each odometry message of a topic in ``raw`` kept there for the comparisons."""
    from velk_odom.cli._output import Progress

    by_topic = {p.topic: p for p in plans}
    progress = Progress(sum(bag.counts.get(t, 0) for t in by_topic), "fuse", enabled=not args.no_progress, console=console)
    try:
        for m in bag.messages(by_topic, args.order):
            plan = by_topic[m.topic]
            progress.update()
            try:
                values = _convert(plan, m.msg)
            except (TypeError, ValueError, AttributeError) as err:
                plan.fed["refused"] += 1
                if plan.fed["refused"] == 1:
                    print(f"velk-odom: warning: a message on {m.topic} was refused ({one_line(err)}); such messages are "
                          "counted in the summary", file=sys.stderr)
                continue
            for kind, value in values:
                if kind == "imu":
                    watch.feed(plan.imu_frame, m.stamp_ns, m.msg.angular_velocity)
                    fusion.handle_imu(value, plan.base_from_imu)
                else:
                    fusion.handle_source(value)
                    if kind == "odometry" and m.topic in raw:
                        raw[m.topic].append(value.timestamp_ns, value.translation, value.rotation_xyzw)
                plan.fed[kind] += 1
                est = fusion.maybe_publish()
                if est is not None:
                    trajectory.write((est.timestamp_ns, *est.translation, *est.rotation_xyzw))
    finally:
        progress.close()


def run(args: argparse.Namespace) -> int:
    import numpy as np

    from velk_odom import _native
    from velk_odom.cli._output import (
        EngineLog,
        aligned_track,
        conclude,
        engine_counters,
        format_counters,
        open_trajectory,
        plot_target,
        save_plot,
        table,
    )
    from velk_odom.trajectory import TrackBuffer, absolute_trajectory_error, relative_pose_error

    reference = load_ground_truth(args.ground_truth)
    _bagout.check(args)
    if not args.rpe_delta > 0:
        raise UserError(f"--rpe-delta must be above 0 seconds, got {args.rpe_delta}")

    with open_recording(args.recording) as bag:
        if reference is None:
            reference = getattr(bag, "ground_truth", None)  # a dataset's own
        tf = static_transforms(bag)
        if args.config:
            config = load_config_file(args.config)
            check_keys(config, FUSION_KEYS, args.config)
            source = args.config
            notes: List[str] = []
        else:
            require_messages(bag, bag.topics_of(IMU, ODOMETRY))
            config, notes, warnings = propose_config(bag, tf)
            for w in warnings:
                print(f"velk-odom: warning: {w}", file=sys.stderr)
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
        stem = bag.path.stem or "recording"
        output = args.output or f"{stem}_fused.tum"
        inputs = [bag.path, args.config, args.ground_truth]
        plot = plot_target(args.plot, f"{stem}_fused.png", inputs + [output])
        compare = reference is not None or plot is not None or bool(args.output_bag)
        # Fused poses and odometry topics kept, compactly, only for the comparisons.
        raw = {p.topic: TrackBuffer() for p in plans if compare and p.odom_source and p.msgtype != TWIST_COV}
        watch = InitWatch(engine_config)
        with open_trajectory(output, inputs, keep=compare) as trajectory, EngineLog(args.log) as log:
            try:
                _replay(bag, plans, fusion, args, trajectory, raw, log.console, watch)
            except _native.PanicException as err:
                trajectory.close()
                Path(output).unlink(missing_ok=True)
                raise UserError(f"{source}: the engine refused the configuration: {err}; fix it in the configuration") from None
            counters = engine_counters(fusion)

    published = trajectory.count
    fused = trajectory.kept.arrays() if trajectory.kept is not None else (np.zeros(0, dtype=np.int64), np.zeros((0, 7)))
    tracks = [("fused", *fused)] + [(topic, *buf.arrays()) for topic, buf in raw.items()]
    bag_messages = 0
    if args.output_bag:
        with (open_recording(args.recording) if args.copy_input else nullcontext()) as copied:
            rows = [(int(t), *pose) for t, pose in zip(fused[0], fused[1])]
            bag_messages = _bagout.write_if_asked(args, rows, config.get("odom_frame_id", "odom"), config.get("output_frame_id", "base_link"), copied)

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
    summary.append(("published", f"{published} estimates -> {output}"))
    if trajectory.last is not None:
        last = trajectory.last
        summary.append(
            ("final pose", f"x {last[1]:.3f} m, y {last[2]:.3f} m, z {last[3]:.3f} m, yaw {math.degrees(geo.yaw_of(last[4:8])):.1f} deg, "
             f"path {trajectory.path_length_m:.1f} m")
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
    plot_failed = None
    if plot is not None:
        ref_track = None
        if reference is not None:
            # Each trajectory drawn in the reference's frame, by its own alignment.
            ref_track = ("ground truth", *reference)
            tracks = [aligned_track(track, reference) for track in tracks]
        plot_failed = save_plot(plot, f"velk-odom fuse {bag.path.name}", tracks, ref_track, error_curves)
        summary.append(("plot", plot if plot_failed is None else "not written"))
    if args.output_bag:
        summary.append(("output bag", f"{args.output_bag} ({args.bag_storage}, {bag_messages} messages)"))
    print(table(summary))
    no_estimate = None if published else f"no estimate was published ({why_no_estimate(plans, counters, fusion, watch, engine_config)}); {output} is empty"
    return conclude(bag.damage, no_estimate, plot_failed)


def _pair_text(pair: geo.Pair) -> str:
    t, q = pair
    return f"t=({t[0]:.3f}, {t[1]:.3f}, {t[2]:.3f}) q=({q[0]:.4f}, {q[1]:.4f}, {q[2]:.4f}, {q[3]:.4f})"

