"""Shared fixtures: a fresh interpreter for what only a new process shows (log output, load-time behaviour),
the command line run in-process, the simulated drive and its bags, and the rendered stereo rig."""

import os
import subprocess
import sys

import pytest
from hypothesis import settings

from velk_odom import _native

# The random tests draw the same examples on every run and keep no database of past failures: a failure
# found once stays reproducible, and a fault-injection run is not fooled by an example an earlier run saved.
settings.register_profile("velk", derandomize=True, database=None)
settings.load_profile("velk")

IDENTITY = ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0))
NOISE = dict(gyro_noise_density=1e-3, gyro_random_walk=1e-5, accel_noise_density=1e-2, accel_random_walk=1e-4)
STEREO = {"rig_frame_id": "rig", "cameras": [{"frame_id": "left"}, {"frame_id": "right"}]}
needs_fusion = pytest.mark.skipif(not hasattr(_native, "OdometryFusion"), reason="OdometryFusion is not in this build")
needs_vo = pytest.mark.skipif(not hasattr(_native, "CuvslamOdometry"), reason="CuvslamOdometry is not in this build")


def run_python(code, **env):
    """`code` in a fresh interpreter (a log subscriber is installed once per process), colour off."""
    env = {**os.environ, "NO_COLOR": "1", **env}
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)


def run_cli_process(*argv):
    """The command in a fresh interpreter: exit status, stdout, stderr."""
    done = subprocess.run([sys.executable, "-m", "velk_odom.cli", *map(str, argv)], capture_output=True, text=True,
                          timeout=300)
    return done.returncode, done.stdout, done.stderr


@pytest.fixture
def cli(capsys):
    """The command in this process: cli(*argv) -> (exit status, stdout, stderr)."""
    from velk_odom.cli import main

    def run(*argv):
        code = main([str(a) for a in argv])
        captured = capsys.readouterr()
        return code, captured.out, captured.err

    return run


def stereo_rig():
    """The stereo rig of the rendered room: {camera: rig_from_camera} and the tf table that places it."""
    from velk_odom.scene import BASE_FROM_RIG, OPTICAL, Pose

    rig_from = {"left": Pose((0, 0.05, 0), OPTICAL), "right": Pose((0, -0.05, 0), OPTICAL)}
    return rig_from, {("base_link", "rig"): BASE_FROM_RIG.pair(), **{("rig", c): p.pair() for c, p in rig_from.items()}}


@pytest.fixture(scope="session")
def rec():
    """A 12 s simulated drive with a wheel slip at 7 s."""
    from velk_odom.sim import simulate

    return simulate(12.0, seed=5, slip_at_s=7.0)


@pytest.fixture(scope="session")
def bags(rec, tmp_path_factory):
    """`rec` written in every bag format (the MCAP one with an orientation-reporting IMU), once without
    /tf_static, and its ground truth as TUM."""
    pytest.importorskip("rosbags")
    from velk_odom.cli._simbag import write_ground_truth_tum, write_sim_bag
    from velk_odom.sim import simulate

    root = tmp_path_factory.mktemp("bags")
    return {
        "ros1": write_sim_bag(rec, root / "sim.bag", "ros1"),
        "ros2-sqlite3": write_sim_bag(rec, root / "sim_sqlite", "ros2-sqlite3"),
        "ros2-mcap": write_sim_bag(simulate(12.0, seed=5, slip_at_s=7.0, ahrs_noise_deg=0.0), root / "sim_mcap", "ros2-mcap"),
        "no-tf": write_sim_bag(rec, root / "sim_notf", "ros2-sqlite3", with_tf_static=False),
        "gt": write_ground_truth_tum(rec, root / "gt.tum"),
    }


def write_camera_bag(path, frames, start_ns=1_700_000_000_000_000_000, lag_ns=None):
    """A rendered drive as a ROS 2 bag at ``path``: a stereo rig mounted away from base_link (/left, /right
    images and camera_info), a depth camera (/depth, millimetres), /tf_static; returns the ground truth rows
    (stamp ns, x, y, z, qx, qy, qz, qw) of its base. ``lag_ns`` {topic: ns} records a topic's messages
    that much after their stamps (a slower driver or link)."""
    import numpy as np
    from rosbags.rosbag2 import Writer
    from rosbags.typesys import Stores, get_typestore

    import velk_odom.scene as h
    from velk_odom.ros import MessageBuilder

    store = get_typestore(Stores.ROS2_HUMBLE)
    t, msg = store.types, MessageBuilder(store, ros1=False)
    rig_from, _ = stereo_rig()

    def info(stamp, frame):
        return t["sensor_msgs/msg/CameraInfo"](
            header=msg.header(stamp, frame), height=h.H, width=h.W, distortion_model="plumb_bob", d=np.zeros(5),
            k=np.array([h.F, 0, h.CX, 0, h.F, h.CY, 0, 0, 1]), r=np.eye(3).ravel(), p=np.zeros(12), binning_x=0, binning_y=0,
            roi=t["sensor_msgs/msg/RegionOfInterest"](x_offset=0, y_offset=0, height=0, width=0, do_rectify=False))

    def image(stamp, frame, encoding, pixels):
        return t["sensor_msgs/msg/Image"](header=msg.header(stamp, frame), height=h.H, width=h.W, encoding=encoding,
                                          is_bigendian=0, step=pixels.nbytes // h.H, data=pixels.view(np.uint8).ravel())

    mounts = [("base_link", "rig", h.BASE_FROM_RIG), ("rig", "left", rig_from["left"]),
              ("rig", "right", rig_from["right"]), ("rig", "depth_cam", rig_from["right"])]
    messages = [("/tf_static", start_ns, msg.tf_message(start_ns, parent, child, pose.pair())) for parent, child, pose in mounts]
    rows = []
    for k, odom_from_base in enumerate(h.robot_path(frames)):
        stamp = start_ns + k * 50_000_000
        for cam, rig_from_camera in rig_from.items():
            pixels, z = h.render(odom_from_base * h.BASE_FROM_RIG * rig_from_camera)
            messages += [(f"/{cam}/camera_info", stamp, info(stamp, cam)), (f"/{cam}/image_raw", stamp, image(stamp, cam, "mono8", pixels))]
        depth = np.clip(np.round(z * 1000), 0, 65535).astype("<u2")  # the right camera's, in millimetres
        messages += [("/depth/camera_info", stamp, info(stamp, "depth_cam")),
                     ("/depth/image_rect", stamp, image(stamp, "depth_cam", "16UC1", depth))]
        rows.append((stamp, *odom_from_base.t, *odom_from_base.q))
    with Writer(path, version=9) as w:
        conns = {}
        lag_ns = lag_ns or {}
        for topic, stamp, m in sorted(messages, key=lambda e: e[1] + lag_ns.get(e[0], 0)):
            stamp += lag_ns.get(topic, 0)
            if topic not in conns:
                conns[topic] = w.add_connection(topic, m.__msgtype__, typestore=store)
            w.write(conns[topic], stamp, store.serialize_cdr(m, m.__msgtype__))
    return rows
