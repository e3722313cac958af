"""`velk-odom fuse` with no configuration on the Jackal bag of the development data: the end point in the
frame of the hand-tuned filter the data README describes (origin where the robot is at the first message,
axes along the IMU orientation's world frame), against that filter's end point and tolerance, and the
largest gap along the run to the wheels' forward speed integrated along the IMU's orientation.

    python bench/bench_fusion_jackal.py [BAG]       # default ../shared/data/jackal_61s.bag

The fused odometry frame starts at the filter's first pose with its own heading; it is carried into the
README's frame by the mean heading difference between the fused and the IMU's orientation over the run
(the absolute attitude source ties the two) and by the dead reckoning's position at the first fused pose.
"""

import math
import os
import subprocess
import sys
import tempfile

import numpy as np

from bench_fusion_conditions import _env, check_importable
from velk_odom import _geometry as geo
from velk_odom.cli._recording import BagRecording

TREE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_BAG = os.path.join(TREE, "..", "shared", "data", "jackal_61s.bag")
REFERENCE_END = np.array([1.0206, 3.4292, 0.7419])  # the hand-tuned filter's end point, m
TOLERANCE_M = 0.1383


def dead_reckoning(bag_path):
    """(stamps s, positions) of the wheels' forward speed integrated along the IMU's orientation, and the
    IMU's (stamps s, quaternions)."""
    imu, odom = [], []
    for m in BagRecording(bag_path).messages(["/imu/data", "/jackal_velocity_controller/odom"], "recorded"):
        if m.topic == "/imu/data":
            o = m.msg.orientation
            imu.append((m.stamp_ns * 1e-9, o.x, o.y, o.z, o.w))
        else:
            odom.append((m.stamp_ns * 1e-9, m.msg.twist.twist.linear.x))
    imu, odom = np.array(sorted(imu)), np.array(sorted(odom))
    p, track = np.zeros(3), [np.zeros(3)]
    for i in range(1, len(odom)):
        j = min(int(np.searchsorted(imu[:, 0], odom[i, 0])), len(imu) - 1)
        p = p + geo.rotation_matrix(tuple(imu[j, 1:])) @ np.array([odom[i, 1], 0.0, 0.0]) * (odom[i, 0] - odom[i - 1, 0])
        track.append(p)
    return odom[:, 0], np.array(track), imu


def main():
    bag = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else DEFAULT_BAG)
    check_importable(None)
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "fused.tum")
        subprocess.run([sys.executable, "-m", "velk_odom.cli", "fuse", bag, "-o", out, "--no-progress", "--log", "off"],
                       check=True, capture_output=True, env=_env(None), cwd=tmp)
        fused = np.loadtxt(out)
    t_dr, dr, imu = dead_reckoning(bag)
    idx = np.clip(np.searchsorted(imu[:, 0], fused[:, 0]), 0, len(imu) - 1)
    turn = np.array([geo.yaw_of(tuple(imu[i, 1:])) - geo.yaw_of(tuple(q)) for i, q in zip(idx, fused[:, 4:8])])
    yaw = math.atan2(np.sin(turn).mean(), np.cos(turn).mean())
    r = geo.rotation_matrix(geo.quat_from_axis_angle((0.0, 0.0, 1.0), yaw))
    start = np.array([np.interp(fused[0, 0], t_dr, dr[:, k]) for k in range(3)])
    track = (fused[:, 1:4] - fused[0, 1:4]) @ r.T + start
    gap = np.linalg.norm(track - np.stack([np.interp(fused[:, 0], t_dr, dr[:, k]) for k in range(3)], axis=1), axis=1)
    err = float(np.linalg.norm(track[-1] - REFERENCE_END))
    print(f"end {np.round(track[-1], 3).tolist()} m, {err:.3f} m from the hand-tuned filter's end "
          f"(tolerance {TOLERANCE_M} m); largest gap to the dead reckoning {gap.max():.2f} m")


if __name__ == "__main__":
    main()
