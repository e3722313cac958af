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
