"""`velk-odom demo --vo`: a rendered stereo and depth drive through CuvslamOdometry, with no files needed.

A robot drives a gentle curve through a textured room (`velk_odom.scene`) with a stereo rig mounted
away from its base; the left camera also gives aligned depth. Prints drift and tracking speed, and
writes the trajectory (TUM), a plot and one depth cloud (PLY); with --write-bag, also the rendered
drive as a ROS 2 bag and its ground truth beside it, to try `velk-odom vo` on.
"""

from __future__ import annotations

import argparse
import math
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Tuple

VO_TUM_NAME = "velk_odom_vo_demo.tum"
VO_PNG_NAME = "velk_odom_vo_demo.png"
VO_PLY_NAME = "velk_odom_vo_demo_cloud.ply"
FRAMES = 80  # 4 s at 20 Hz, 2.4 m
FRAME_NS = 50_000_000
START_NS = 1_700_000_000_000_000_000
BASELINE_M = 0.1


class CameraBag:
    """The rendered drive as a ROS 2 bag (sqlite3): /left and /right image_raw and camera_info, the left
    camera's aligned depth (millimetres) on /depth/image_rect and /depth/camera_info, the mounts on
    /tf_static."""

    def __init__(self, path: Path, mounts: Dict[Tuple[str, str], Any]) -> None:
        from rosbags.rosbag2 import StoragePlugin, Writer

        from velk_odom.ros import MessageBuilder, bag_typestore

        self.store = bag_typestore()
        self.build = MessageBuilder(self.store, ros1=False)
        self.writer = Writer(path, version=9, storage_plugin=StoragePlugin.SQLITE3)
        self.writer.open()
        self.conns: Dict[str, Any] = {}
        self.messages = 0
        static = [(parent, child, pair) for (parent, child), pair in mounts.items() if parent != child]
        self.write("/tf_static", "tf2_msgs/msg/TFMessage", START_NS, self.build.transforms_message(START_NS, static))

    def write(self, topic: str, msgtype: str, t_ns: int, msg: Any) -> None:
        if topic not in self.conns:
            self.conns[topic] = self.writer.add_connection(topic, msgtype, typestore=self.store)
        self.writer.write(self.conns[topic], t_ns, self.store.serialize_cdr(msg, msgtype))
        self.messages += 1

    def frame(self, t_ns: int, images: Dict[str, Any], depth_mm: Any, size: Tuple[int, int], intrinsics: Any) -> None:
        """One frame set: every calibration (as drivers publish them, before their images), then each
        camera's image and the depth of the left camera."""
        width, height = size
        streams = [*((f"/{c}", c, "mono8", "image_raw", p) for c, p in images.items()), ("/depth", "left", "16UC1", "image_rect", depth_mm)]
        for topic, frame, _, _, _ in streams:
            self.write(f"{topic}/camera_info", "sensor_msgs/msg/CameraInfo", t_ns,
                       self.build.camera_info(t_ns, frame, width, height, intrinsics, [0.0] * 5))
        for topic, frame, encoding, name, pixels in streams:
            self.write(f"{topic}/{name}", "sensor_msgs/msg/Image", t_ns, self.build.image(t_ns, frame, encoding, pixels))

    def close(self) -> None:
        self.writer.close()


def run(args: argparse.Namespace) -> int:
    from velk_odom import scene as s
    from velk_odom.cli._output import table

    started = time.perf_counter()
    rig_from, mounts = _rig()
    vo = _engine(mounts, rig_from)
    truth = s.robot_path(FRAMES)
    bag = CameraBag(Path(args.write_bag), mounts) if args.write_bag else None
    drive = _track(args, vo, truth, rig_from, bag)
    ground_truth = _ground_truth(truth)
    written = _write_outputs(args, drive, bag, ground_truth)
    summary = _summary_and_plot(args, drive, truth, ground_truth)
    summary += [("wrote", ", ".join(written)), ("took", f"{time.perf_counter() - started:.1f} s")]
    print(table(summary))
    return 0


def _rig() -> Tuple[Dict[str, Any], Dict[Tuple[str, str], Any]]:
    """Each camera's pose in the rig, and every mount (parent, child) -> transform pair: the rig on the
    base, the cameras on the rig, the depth aligned with the left camera."""
    from velk_odom import scene as s

    rig_from = {"left": s.Pose((0, BASELINE_M / 2, 0), s.OPTICAL), "right": s.Pose((0, -BASELINE_M / 2, 0), s.OPTICAL)}
    mounts = {("base_link", "rig"): s.BASE_FROM_RIG.pair(), **{("rig", c): p.pair() for c, p in rig_from.items()},
              ("left", "left"): ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0))}
    return rig_from, mounts


def _engine(mounts: Dict[Tuple[str, str], Any], rig_from: Dict[str, Any]) -> Any:
    """A stereo CuvslamOdometry on the CPU with the left camera's depth clouds, its calibrations given."""
    from velk_odom import _native
    from velk_odom import scene as s

    config = {"camera_mode": "stereo", "use_gpu": False, "rig_frame_id": "rig",
              "cameras": [{"frame_id": "left", "depth_cloud_max_range": 8.0, "depth_cloud_decimation": 4}, {"frame_id": "right"}]}
    vo = _native.CuvslamOdometry(config, tf=lambda target, source: mounts.get((target, source)))
    intrinsics = [s.F, 0.0, s.CX, 0.0, s.F, s.CY, 0.0, 0.0, 1.0]
    for frame in rig_from:
        vo.handle_camera_info(_native.CameraModel(0, frame, s.W, s.H, [0.0] * 5, intrinsics))
    vo.handle_depth_camera_info(_native.CameraModel(0, "left", s.W, s.H, [], intrinsics))
    return vo


@dataclass
class _Drive:
    """The rendered drive tracked: the estimates, CPU seconds of tracking, the depth cloud of the middle
    frame (when one came) and the engine's counters."""

    estimates: Any
    tracking_s: float
    cloud_points: Any
    counters: Dict[str, int]


def _track(args: argparse.Namespace, vo: Any, truth: Any, rig_from: Dict[str, Any], bag: "CameraBag | None") -> _Drive:
    """Each frame set rendered along ``truth``, written to ``bag`` when given, and tracked."""
    import numpy as np

    from velk_odom import _native
    from velk_odom import scene as s
    from velk_odom.cli._output import EngineLog, Progress, engine_counters
    from velk_odom.cli._vo import VO_COUNTERS
    from velk_odom.trajectory import StampedPose, Trajectory

    estimates = Trajectory()
    tracking_s = 0.0
    cloud_points = None
    with EngineLog(args.log) as log:
        progress = Progress(FRAMES, "vo demo", enabled=not args.no_progress, console=log.console)
        try:
            for k, odom_from_base in enumerate(truth):
                stamp = START_NS + k * FRAME_NS
                frames = {}
                for cam, rig_from_camera in rig_from.items():
                    frames[cam] = s.render(odom_from_base * s.BASE_FROM_RIG * rig_from_camera)
                millimetres = np.clip(np.round(frames["left"][1] * 1000), 0, 65535).astype("<u2")
                if bag is not None:
                    bag.frame(stamp, {cam: pixels for cam, (pixels, _) in frames.items()}, millimetres, (s.W, s.H), (s.F, s.F, s.CX, s.CY))
                t0 = time.process_time()
                est = None
                for cam, (pixels, _) in frames.items():
                    est = vo.handle_image(_native.ImageFrame(stamp, cam, s.W, s.H, "mono8", s.W, pixels.tobytes())) or est
                cloud, _ = vo.handle_depth_image(_native.ImageFrame(stamp, "left", s.W, s.H, "16UC1", 2 * s.W, millimetres.tobytes()))
                tracking_s += time.process_time() - t0
                if cloud is not None and k == FRAMES // 2:
                    cloud_points = cloud.points
                if est is not None:
                    estimates.add(StampedPose.of(est))
                progress.update()
        finally:
            progress.close()
            if bag is not None:
                bag.close()
        counters = engine_counters(vo, VO_COUNTERS)
    return _Drive(estimates, tracking_s, cloud_points, counters)


def _ground_truth(truth: Any) -> Tuple[Any, Any]:
    """The drive's stamps and poses (x, y, z, qx, qy, qz, qw) as arrays."""
    import numpy as np

    gt_stamps = np.array([START_NS + k * FRAME_NS for k in range(FRAMES)], dtype=np.int64)
    gt_poses = np.array([[*p.t, *p.q] for p in truth], dtype=float)
    return gt_stamps, gt_poses


def _write_outputs(args: argparse.Namespace, drive: _Drive, bag: "CameraBag | None", ground_truth: Tuple[Any, Any]) -> List[str]:
    """The trajectory, the middle frame's depth cloud and the bag's ground truth; returns what was and
    will be written (the plot comes last)."""
    from velk_odom.cli._vo import write_ply
    from velk_odom.trajectory import write_tum

    out_dir = Path(args.out_dir)
    tum_path, png_path, ply_path = out_dir / VO_TUM_NAME, out_dir / VO_PNG_NAME, out_dir / VO_PLY_NAME
    write_tum(tum_path, drive.estimates)
    written = [str(tum_path), str(png_path)]
    if drive.cloud_points is not None:
        write_ply(ply_path, drive.cloud_points)
        written.append(f"{ply_path} ({len(drive.cloud_points)} points)")
    if bag is not None:
        gt_stamps, gt_poses = ground_truth
        gt_path = Path(f"{args.write_bag}_ground_truth.tum")
        write_tum(gt_path, ((int(t), *p) for t, p in zip(gt_stamps, gt_poses)))
        written.append(f"{args.write_bag} (ROS 2 bag, sqlite3, {bag.messages} messages) and {gt_path}")
    return written


def _summary_and_plot(args: argparse.Namespace, drive: _Drive, truth: Any, ground_truth: Tuple[Any, Any]) -> List[Tuple[str, str]]:
    """Drift and errors against the ground truth, and speed, as table rows; the plot written."""
    import numpy as np

    from velk_odom import scene as s
    from velk_odom.cli._output import aligned_track, format_counters, plot_trajectories
    from velk_odom.cli._vo import VO_COUNTERS
    from velk_odom.trajectory import absolute_trajectory_error, path_length, relative_pose_error

    gt_stamps, gt_poses = ground_truth
    stamps, poses = drive.estimates.arrays()
    distance = path_length(gt_poses)
    summary = [
        ("drive", f"{FRAMES} stereo frames + depth at {1e9 / FRAME_NS:g} Hz, {s.W} x {s.H}, {distance:.2f} m, rig {BASELINE_M * 100:g} cm baseline"),
        ("engine counters", format_counters(drive.counters, VO_COUNTERS)),
    ]
    curves = []
    track = ("visual odometry", stamps, poses)
    if drive.estimates:
        last = s.Pose(poses[-1, :3], poses[-1, 3:])
        drift = float(np.linalg.norm(last.t - truth[int((stamps[-1] - START_NS) // FRAME_NS)].t))
        ate, t_m, errors = absolute_trajectory_error((stamps, poses), (gt_stamps, gt_poses))
        rpe_t, rpe_r = relative_pose_error((stamps, poses), (gt_stamps, gt_poses), delta_s=1.0)
        summary += [
            ("final position error", f"{drift:.3f} m ({100 * drift / distance:.1f} % of distance), unaligned"),
            ("vs ground truth", f"ATE rmse {ate.rmse:.3f} m (max {ate.max:.3f} m, rigid alignment); RPE/1 s rmse {rpe_t.rmse:.3f} m, {math.degrees(rpe_r.rmse):.2f} deg"),
        ]
        curves.append(("visual odometry (rigid alignment)", t_m, errors))
    tracking_s = drive.tracking_s
    summary.append(("speed", f"{1000 * tracking_s / FRAMES:.1f} ms of CPU a frame for tracking and depth cloud ({FRAMES / max(tracking_s, 1e-9):.0f} frames/s; rendering excluded)"))
    if drive.estimates:
        track = aligned_track(track, (gt_stamps, gt_poses))
    png_path = Path(args.out_dir) / VO_PNG_NAME
    counters = drive.counters
    plot_trajectories(str(png_path), f"velk-odom demo --vo: {FRAMES} rendered stereo frames", [track], ("ground truth", gt_stamps, gt_poses), curves,
                      empty_reason=f"no estimate: {counters['tracked']} of {counters['frames']} frame sets tracked")
    return summary
