"""`velk-odom vo RECORDING`: replay a recording's cameras through CuvslamOdometry."""

from __future__ import annotations

import argparse
import os
import posixpath
import reprlib
import sys
from collections import Counter
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple

from velk_odom._native import CuvslamOdometry
from velk_odom.cli._bagout import add_output_bag_arguments
from velk_odom.cli._config import VO_KEYS, VO_TOPIC_ROLES
from velk_odom.cli._datasetrec import dataset_config_hints
from velk_odom.cli._errors import UserError
from velk_odom.cli._output import add_evaluation_arguments, log_filter
from velk_odom.cli._recording import (
    CAMERA_INFO,
    IMAGE,
    IMU,
    TF,
    Message,
    RecordingBase,
    require_messages,
    short_type,
    static_topics,
    static_transforms,
)
from velk_odom.cli._replay import Replay, Row, add_window_arguments, warn_refused
from velk_odom.cli._visual import CONVERSIONS, engine_config as visual_engine_config, hand, imu_noise_model
from velk_odom.ros import TransformBuffer

VO_COUNTERS = CuvslamOdometry.COUNTER_NAMES
DEPTH_ENCODINGS = ("16UC1", "32FC1", "mono16")
# Depth samples per metre of each depth encoding, by the ROS convention.
ROS_DEPTH_UNITS = {"16UC1": 1000.0, "mono16": 1000.0, "32FC1": 1.0}
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
    add_evaluation_arguments(p)
    add_window_arguments(p)
    add_output_bag_arguments(p)
    p.add_argument("--log", default="warn", type=log_filter, metavar="LEVEL", help="engine log filter on stderr (default warn)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")


def _namespace(topic: str) -> str:
    return posixpath.dirname(topic.rstrip("/"))


def propose_config(bag: RecordingBase, tf: TransformBuffer) -> Tuple[Dict[str, Any], List[str]]:
    images = bag.topics_of(IMAGE)
    if not images:
        raise UserError(f"recording {str(bag.path)!r} has no sensor_msgs/Image topic to track; it has: {bag.describe_topics()}")
    notes: List[str] = []
    topics: Dict[str, str] = {}
    cameras: List[str] = []
    depth_namespaces = []
    depth_units: Dict[str, float] = {}
    for t in images:
        m = bag.first(t)
        if m is not None and m.encoding in DEPTH_ENCODINGS:
            topics[t] = "depth"
            depth_namespaces.append(_namespace(t))
            depth_units.setdefault(m.header.frame_id, ROS_DEPTH_UNITS[m.encoding])
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
    if mode == "rgbd":
        # Depth in the ROS convention: 16-bit millimetres, float metres.
        config["cameras"] = [{"frame_id": f} for f in cameras[:1]] + [
            {"frame_id": f, "depth_units_per_meter": u} for f, u in depth_units.items()]
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


def check_topics(config: Dict[str, Any], bag: RecordingBase, source: str) -> Dict[str, str]:
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


def write_ply(path: Path, points: List[Tuple[float, float, float]]) -> None:
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


class VoReplay(Replay):
    """The replay of the mapped camera, IMU and transform topics through CuvslamOdometry."""

    command, output_suffix, track_label = "vo", "_vo", "vo"
    config_keys = VO_KEYS
    counter_names = VO_COUNTERS

    def propose(self, tf: TransformBuffer) -> Tuple[Dict[str, Any], List[str]]:
        config, notes = propose_config(self.bag, tf)
        config = {**config, **dataset_config_hints(self.bag), "topics": config["topics"]}
        imu_topics = [t for t, role in config["topics"].items() if role == "imu"]
        if imu_topics:
            # Inertial tracking needs the IMU's noise figures; an IMU fed without them would be refused.
            if "imu_noise" in config and config["camera_mode"] == "stereo":
                config["enable_imu"] = True
                notes.append(f"enable_imu: true, with the noise figures the dataset declares for {imu_topics[0]}")
            else:
                why = ("inertial tracking needs a stereo rig" if config["camera_mode"] != "stereo"
                       else "the recording declares no noise figures for it")
                del config["topics"][imu_topics[0]]
                config.pop("imu_noise", None)
                notes.append(f"the IMU topic {imu_topics[0]} is left out: {why}; to use it, map it as `imu`, "
                             "set enable_imu: true and add an `imu_noise` section")
        return config, notes

    def plan(self, tf: TransformBuffer) -> None:
        self.roles = check_topics(self.config, self.bag, self.source)
        imu_topics = [t for t, role in self.roles.items() if role == "imu"]
        if self.config.get("enable_imu"):
            if not isinstance(self.config.get("imu_noise"), dict):
                raise UserError(
                    f"{self.source}: enable_imu is true but there is no `imu_noise` section; add one with the IMU's "
                    "gyro_noise_density (rad/s/√Hz), gyro_random_walk (rad/s²/√Hz), accel_noise_density (m/s²/√Hz), "
                    "accel_random_walk (m/s³/√Hz) and frequency (Hz)")
            if not imu_topics:
                raise UserError(f"{self.source}: enable_imu is true but no topic is mapped as `imu`")
        elif imu_topics:
            # The engine reads IMU samples only with enable_imu; feeding them would only be refused.
            for t in imu_topics:
                del self.roles[t]
            print(f"velk-odom: note: {', '.join(imu_topics)} mapped as `imu` is not replayed because enable_imu is off",
                  file=sys.stderr)

    def start(self, tf: TransformBuffer) -> Any:
        from velk_odom import _native

        self.clouds_dir = _clouds_folder(self.args.clouds, self.roles)
        self.clouds = 0
        self.fed: Counter = Counter()  # messages fed per role (and refused, per role)
        engine_config = visual_engine_config(self.config)
        # Static transforms are known from the start, as a latched /tf_static is on a robot.
        static = sorted(t for t, r in self.roles.items() if r == "tf" and t.endswith("tf_static"))
        self.live_tf = tf if static == static_topics(self.bag) else static_transforms(self.bag, static)
        vo = self.new_engine(_native.CuvslamOdometry, engine_config, tf=self.live_tf)
        imu_noise = self.config.get("imu_noise")
        if isinstance(imu_noise, dict):
            try:
                vo.handle_imu_info(self._imu_noise_model(imu_noise))
            except (TypeError, ValueError) as err:
                raise UserError(f"{self.source}: imu_noise: {err}") from None
        return vo

    def _imu_noise_model(self, imu_noise: Dict[str, Any]) -> Any:
        imu_topics = [t for t, r in self.roles.items() if r == "imu"]
        first = self.bag.first(imu_topics[0]) if imu_topics else None
        return imu_noise_model(imu_noise, first.header.frame_id if first is not None else "imu")

    def topics(self) -> List[str]:
        return list(self.roles)

    def feed(self, m: Message) -> Iterator[Any]:
        role = self.roles[m.topic]
        if role == "tf":
            self._add_transforms(m)
            return
        try:
            value = CONVERSIONS[role](m.msg)
        except (TypeError, ValueError, AttributeError) as err:
            self.fed[f"{role} refused"] += 1
            if self.fed[f"{role} refused"] == 1:
                warn_refused(m.topic, err)
            return
        cloud, est = hand(self.engine, role, value)
        if cloud is not None and self.clouds_dir is not None:
            write_ply(self.clouds_dir / f"cloud_{cloud.timestamp_ns}.ply", cloud.points)
            self.clouds += 1
        self.fed[role] += 1
        if est is not None:
            yield est

    def _add_transforms(self, m: Message) -> None:
        before = self.live_tf.rejected
        self.live_tf.add_message(m.msg, static=m.topic.endswith("tf_static"))
        if self.live_tf.rejected > before:
            if "tf refused" not in self.fed:
                print(f"velk-odom: warning: {m.topic}: {self.live_tf.last_rejection}; left out (such transforms "
                      "are counted in the summary)", file=sys.stderr)
            self.fed["tf refused"] += self.live_tf.rejected - before
        self.fed["tf"] += 1

    def inputs_summary(self) -> List[Row]:
        return [("fed", ", ".join(f"{n} {r}" for r, n in sorted(self.fed.items())) or "nothing")]

    def outputs_summary(self, trajectory: Any) -> List[Row]:
        rows = [("estimates", f"{trajectory.count} -> {self.output}")]
        if self.clouds_dir is not None:
            rows.append(("point clouds", f"{self.clouds} PLY files in {self.clouds_dir}"))
        return rows

    def default_alignment(self) -> str:
        # A single camera sees the motion only up to scale: a rigid fit would count the scale as error.
        return "sim" if self.config.get("camera_mode") == "mono" else "rigid"

    def why_no_estimate(self, counters: Optional[Dict[str, int]]) -> str:
        return why_no_estimate(self.fed, counters)


def run(args: argparse.Namespace) -> int:
    return VoReplay(args).run()
