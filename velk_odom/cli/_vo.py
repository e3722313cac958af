"""`velk-odom vo RECORDING`: replay a recording's cameras through CuvslamOdometry."""

from __future__ import annotations

import argparse
import os
import posixpath
import reprlib
import sys
from collections import Counter
from contextlib import nullcontext
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from velk_odom._native import CuvslamOdometry
from velk_odom.cli._config import VO_KEYS, VO_TOPIC_ROLES, check_keys, dump_yaml, load_config_file
from velk_odom.cli import _bagout
from velk_odom.cli._datasetrec import dataset_config_hints
from velk_odom.cli._errors import UserError, one_line
from velk_odom.cli._recording import (
    CAMERA_INFO,
    IMAGE,
    IMU,
    TF,
    BagRecording,
    load_ground_truth,
    open_recording,
    require_messages,
    short_type,
    static_topics,
    static_transforms,
)
from velk_odom.ros import (
    TransformBuffer,
    camera_model_from_msg,
    image_frame_from_msg,
    imu_sample_from_msg,
)

VO_COUNTERS = CuvslamOdometry.COUNTER_NAMES
DEPTH_ENCODINGS = ("16UC1", "32FC1", "mono16")
ROLE_TYPES = {
    "image": IMAGE,
    "depth": IMAGE,
    "camera_info": CAMERA_INFO,
    "depth_camera_info": CAMERA_INFO,
    "imu": IMU,
    "tf": TF,
}


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("recording", help="ROS 1 .bag file, ROS 2 bag folder (sqlite3 or MCAP), or EuRoC, TUM RGB-D or KITTI odometry folder")
    p.add_argument("--config", metavar="FILE", help="YAML or JSON: the engine's configuration keys plus `topics` (topic: role) and `imu_noise`")
    p.add_argument("--print-config", action="store_true", help="print the configuration (proposed, or the --config file) and exit")
    p.add_argument("--order", choices=("stamp", "recorded"), default="stamp", help="feed by header stamp (default) or in recording order")
    p.add_argument("-o", "--output", metavar="FILE.tum", help="trajectory in TUM format (default: <recording>_vo.tum)")
    p.add_argument("--clouds", metavar="DIR", help="write the depth point clouds as PLY files into DIR")
    p.add_argument("--plot", metavar="FILE.png", help="also plot the trajectory")
    p.add_argument("--ground-truth", metavar="FILE.tum", help="reference trajectory: report ATE and RPE after alignment")
    _bagout.add_arguments(p)
    p.add_argument("--log", default="warn", metavar="LEVEL", help="engine log filter on stderr (default warn)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")


def _namespace(topic: str) -> str:
    return posixpath.dirname(topic.rstrip("/"))


def propose_config(bag: BagRecording, tf: TransformBuffer) -> Tuple[Dict[str, Any], List[str]]:
    images = bag.topics_of(IMAGE)
    if not images:
        raise UserError(f"recording {str(bag.path)!r} has no sensor_msgs/Image topic to track; it has: {bag.describe_topics()}")
    notes: List[str] = []
    topics: Dict[str, str] = {}
    cameras: List[str] = []
    depth_namespaces = []
    for t in images:
        m = bag.first(t)
        if m is not None and m.encoding in DEPTH_ENCODINGS:
            topics[t] = "depth"
            depth_namespaces.append(_namespace(t))
        else:
            topics[t] = "image"
            if m is not None:
                cameras.append(m.header.frame_id)
    for t in bag.topics_of(CAMERA_INFO):
        ns = _namespace(t)
        topics[t] = "depth_camera_info" if any(d == ns or d.startswith(ns + "/") for d in depth_namespaces) else "camera_info"
    for t in bag.topics_of(TF):
        topics[t] = "tf"
    imus = bag.topics_of(IMU)
    if imus:
        topics[imus[0]] = "imu"
    n_images = sum(1 for r in topics.values() if r == "image")
    n_depth = sum(1 for r in topics.values() if r == "depth")
    if n_images >= 2:
        mode = "stereo"
        if n_images > 2:
            notes.append("more than two camera topics: the first two form the stereo rig; list yours in `cameras`")
    elif n_depth:
        mode = "rgbd"
    else:
        mode = "mono"
    config: Dict[str, Any] = {"camera_mode": mode, "use_gpu": False}
    if n_images > 2:
        config["cameras"] = [{"frame_id": f} for f in cameras[:2]]
    first_cam = cameras[0] if cameras else ""
    if first_cam and tf.lookup("base_link", first_cam) is not None:
        output = "base_link"
    elif first_cam and first_cam in tf.frames():
        output = _root(tf, first_cam)
        notes.append(f"the transforms do not reach base_link; odometry is given for {output!r}")
    else:
        output = first_cam or "base_link"
        notes.append("no transforms for the cameras in the recording; odometry is given for the first camera's frame")
    config["output_frame_id"] = output
    config["odom_frame_id"] = "odom"
    notes.append("use_gpu: false, since this build tracks on the CPU")
    config["topics"] = topics
    return config, notes


def _root(tf: TransformBuffer, frame: str) -> str:
    seen = {frame}
    while (parent := tf.parent(frame)) is not None and parent not in seen:
        frame = parent
        seen.add(frame)
    return frame


def _check_topics(config: Dict[str, Any], bag: BagRecording, source: str) -> Dict[str, str]:
    topics = config.get("topics")
    if not isinstance(topics, dict) or not topics:
        raise UserError(f"{source}: needs a `topics` section mapping topics to roles ({', '.join(VO_TOPIC_ROLES)})")
    for t, role in topics.items():
        if t not in bag.topics:
            raise UserError(f"{source}: topics.{t}: the recording has no topic {t}; it has: {bag.describe_topics()}")
        if not isinstance(role, str) or role not in ROLE_TYPES:
            raise UserError(f"{source}: topics.{t}: unknown role {reprlib.repr(role)}; use one of {', '.join(VO_TOPIC_ROLES)}")
        if bag.topics[t] != ROLE_TYPES[role]:
            raise UserError(
                f"{source}: topics.{t}: role {role!r} needs a {short_type(ROLE_TYPES[role])} topic, "
                f"but {t} carries {short_type(bag.topics[t])}"
            )
    require_messages(bag, (t for t, role in topics.items() if role in ("image", "depth")))
    return dict(topics)


def _write_ply(path: Path, points: List[Tuple[float, float, float]]) -> None:
    import numpy as np

    data = np.asarray(points, dtype="<f4").reshape(-1, 3)
    header = (
        "ply\nformat binary_little_endian 1.0\n"
        f"element vertex {data.shape[0]}\n"
        "property float x\nproperty float y\nproperty float z\nend_header\n"
    )
    with open(path, "wb") as f:
        f.write(header.encode("ascii"))
        f.write(data.tobytes())


# The conversion of each role's messages; `tf` messages go to the transform buffer instead.
CONVERSIONS = {
    "image": image_frame_from_msg,
    "depth": image_frame_from_msg,
    "camera_info": camera_model_from_msg,
    "depth_camera_info": camera_model_from_msg,
    "imu": imu_sample_from_msg,
}


def why_no_estimate(fed: Counter, counters: Optional[Dict[str, int]]) -> str:
    """Why a replay that fed ``fed`` (messages per role) published no estimate, in one phrase."""
    images = fed["image"] + fed["depth"]
    if not images:
        return "no image was fed: the image topics hold no usable message"
    if counters is None:
        return f"none of the {images} images was tracked"
    notable = ("calibration_rejects", "image_size_rejects", "unmatched_images", "resets")
    rejects = "".join(f", {k}={counters[k]}" for k in notable if counters.get(k))
    return f"{counters.get('tracked', 0)} of {counters.get('frames', 0)} frame sets tracked from {images} images{rejects}"


def _replay(
    bag: BagRecording, topics: Dict[str, str], vo: Any, live_tf: TransformBuffer, args: argparse.Namespace,
    trajectory: Any, clouds_dir: Optional[Path], console: Any,
) -> Tuple[Counter, int]:
    """Feed the mapped topics to the engine, each estimate streamed to ``trajectory`` and each point
    cloud written into ``clouds_dir``; returns the messages fed per role (and refused, per role) and
    the number of clouds written."""
    from velk_odom.cli._output import Progress

    fed: Counter = Counter()
    clouds = 0
    progress = Progress(sum(bag.counts.get(t, 0) for t in topics), "vo", enabled=not args.no_progress, console=console)
    try:
        for m in bag.messages(topics, args.order):
            role = topics[m.topic]
            progress.update()
            est = None
            if role == "tf":
                before = live_tf.rejected
                live_tf.add_message(m.msg, static=m.topic.endswith("tf_static"))
                if live_tf.rejected > before:
                    if "tf refused" not in fed:
                        print(f"velk-odom: warning: {m.topic}: {live_tf.last_rejection}; left out (such transforms "
                              "are counted in the summary)", file=sys.stderr)
                    fed["tf refused"] += live_tf.rejected - before
                fed[role] += 1
                continue
            try:
                value = CONVERSIONS[role](m.msg)
            except (TypeError, ValueError, AttributeError) as err:
                fed[f"{role} refused"] += 1
                if fed[f"{role} refused"] == 1:
                    print(f"velk-odom: warning: a message on {m.topic} was refused ({one_line(err)}); such messages are "
                          "counted in the summary", file=sys.stderr)
                continue
            if role == "camera_info":
                vo.handle_camera_info(value)
            elif role == "depth_camera_info":
                vo.handle_depth_camera_info(value)
            elif role == "imu":
                vo.handle_imu(value)
            elif role == "image":
                est = vo.handle_image(value)
            else:
                cloud, est = vo.handle_depth_image(value)
                if cloud is not None and clouds_dir is not None:
                    _write_ply(clouds_dir / f"cloud_{cloud.timestamp_ns}.ply", cloud.points)
                    clouds += 1
            fed[role] += 1
            if est is not None:
                trajectory.write((est.timestamp_ns, *est.translation, *est.rotation_xyzw))
    finally:
        progress.close()
    return fed, clouds


def _clouds_folder(arg: Optional[str], topics: Dict[str, str]) -> Optional[Path]:
    """The --clouds folder, made and checked before the replay."""
    if not arg:
        return None
    folder = Path(arg)
    if "depth" not in topics.values():
        raise UserError("--clouds needs a depth image topic (role `depth`), and the configuration maps none")
    if folder.exists() and not folder.is_dir():
        raise UserError(f"--clouds {arg!r} is a file; give a folder")
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as err:
        raise UserError(f"--clouds {arg!r}: cannot make the folder ({err.strerror or err})") from None
    if not os.access(folder, os.W_OK):
        raise UserError(f"--clouds {arg!r}: the folder is not writable")
    return folder


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
    from velk_odom.trajectory import absolute_trajectory_error, relative_pose_error

    reference = load_ground_truth(args.ground_truth)
    _bagout.check(args)

    with open_recording(args.recording) as bag:
        if reference is None:
            reference = getattr(bag, "ground_truth", None)  # a dataset's own
        tf = static_transforms(bag)
        if args.config:
            config = load_config_file(args.config)
            check_keys(config, VO_KEYS, args.config)
            source = args.config
            notes: List[str] = []
        else:
            config, notes = propose_config(bag, tf)
            config = {**config, **dataset_config_hints(bag), "topics": config["topics"]}
            source = "proposed configuration"
        topics = _check_topics(config, bag, source)
        text = dump_yaml(
            config,
            ([f"configuration proposed for {bag.path.name}; save it with --print-config > vo.yaml, edit, pass --config vo.yaml", ""] + notes)
            if not args.config
            else [],
        )
        if args.print_config:
            sys.stdout.write(text)
            return 0
        if not args.config:
            sys.stdout.write(text + "\n")
        stem = bag.path.stem or "recording"
        output = args.output or f"{stem}_vo.tum"
        inputs = [bag.path, args.config, args.ground_truth]
        plot = plot_target(args.plot, f"{stem}_vo.png", inputs + [output])
        clouds_dir = _clouds_folder(args.clouds, topics)
        imu_noise = config.get("imu_noise")
        engine_config = {k: v for k, v in config.items() if k not in ("topics", "imu_noise")}
        # Static transforms are known from the start, as a latched /tf_static is on a robot.
        static = sorted(t for t, r in topics.items() if r == "tf" and t.endswith("tf_static"))
        live_tf = tf if static == static_topics(bag) else static_transforms(bag, static)
        try:
            vo = _native.CuvslamOdometry(engine_config, tf=live_tf)
        except (TypeError, ValueError) as err:
            raise UserError(f"{source}: {err}") from None
        if isinstance(imu_noise, dict):
            imu_topics = [t for t, r in topics.items() if r == "imu"]
            first = bag.first(imu_topics[0]) if imu_topics else None
            frame = imu_noise.get("frame_id") or (first.header.frame_id if first is not None else "imu")
            try:
                vo.handle_imu_info(
                    _native.ImuNoiseModel(
                        frame,
                        float(imu_noise.get("gyro_noise_density", 0.0)),
                        float(imu_noise.get("gyro_random_walk", 0.0)),
                        float(imu_noise.get("accel_noise_density", 0.0)),
                        float(imu_noise.get("accel_random_walk", 0.0)),
                        float(imu_noise.get("frequency", 0.0)),
                    )
                )
            except (TypeError, ValueError) as err:
                raise UserError(f"{source}: imu_noise: {err}") from None
        with open_trajectory(output, inputs, keep=reference is not None or plot is not None or bool(args.output_bag)) as trajectory, EngineLog(args.log) as log:
            fed, clouds = _replay(bag, topics, vo, live_tf, args, trajectory, clouds_dir, log.console)
            counters = engine_counters(vo, VO_COUNTERS)

    estimates = trajectory.count
    summary = [
        ("recording", f"{bag.path} ({bag.kind}, {bag.duration_s:.1f} s, {sum(bag.counts.values())} messages)"),
        ("fed", ", ".join(f"{n} {r}" for r, n in sorted(fed.items())) or "nothing"),
        ("engine counters", format_counters(counters, VO_COUNTERS)),
        ("estimates", f"{estimates} -> {output}"),
    ]
    if clouds_dir is not None:
        summary.append(("point clouds", f"{clouds} PLY files in {clouds_dir}"))
    stamps, poses = trajectory.kept.arrays() if trajectory.kept is not None else (np.zeros(0, dtype=np.int64), np.zeros((0, 7)))
    bag_messages = 0
    if args.output_bag:
        with (open_recording(args.recording) if args.copy_input else nullcontext()) as copied:
            rows = [(int(t), *pose) for t, pose in zip(stamps, poses)]
            bag_messages = _bagout.write_if_asked(args, rows, config.get("odom_frame_id", "odom"), config.get("output_frame_id", "base_link"), copied)
    curves = []
    if reference is not None and estimates:
        try:
            ate, t_m, errors = absolute_trajectory_error((stamps, poses), reference)
            rpe_t, _ = relative_pose_error((stamps, poses), reference)
            summary.append(("vs ground truth", f"ATE rmse {ate.rmse:.3f} m (max {ate.max:.3f} m); RPE/1 s rmse {rpe_t.rmse:.3f} m"))
            curves.append(("vo", (t_m - t_m[0]) * 1e-9, errors))
        except ValueError as e:
            summary.append(("vs ground truth", str(e)))
    plot_failed = None
    if plot is not None:
        ref_track = ("ground truth", *reference) if reference is not None else None
        track = ("vo", stamps, poses)
        if reference is not None and estimates:
            track = aligned_track(track, reference)
        plot_failed = save_plot(plot, f"velk-odom vo {bag.path.name}", [track], ref_track, curves)
        summary.append(("plot", plot if plot_failed is None else "not written"))
    if args.output_bag:
        summary.append(("output bag", f"{args.output_bag} ({args.bag_storage}, {bag_messages} messages)"))
    print(table(summary))
    no_estimate = None if estimates else f"no estimate was published ({why_no_estimate(fed, counters)}); {output} is empty"
    return conclude(bag.damage, no_estimate, plot_failed)
