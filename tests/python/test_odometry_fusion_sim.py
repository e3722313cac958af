"""OdometryFusion on a simulated robot with a known trajectory (velk_odom.sim): 60 s of planar driving with
turns, an IMU at 200 Hz mounted with a rotation and a lever arm (white noise and constant biases), wheel
odometry at 50 Hz with noise and a 2 % scale error, 10 % of the wheel messages 20 to 400 ms late, and a 2 s
burst of wheel slip. Also the blend path without IMU, with two odometry sources."""

import json
import math
import os
import random
import subprocess
import sys

import pytest

from velk_odom._native import OdometryEstimate, OdometryFusion
from velk_odom.sim import simulate

SEED = 0
DURATION_S = 60.0

# Runs in a fresh interpreter, so that the counters can be read from the report() log lines: the fused
# run (reporting at the start and the end of the slip and at the end), the IMU alone (dead reckoning),
# and the planar errors of each against the ground truth at every published stamp.
SCRIPT = """
import json, math, sys
import velk_odom
from velk_odom._native import OdometryFusion
from velk_odom.sim import simulate

velk_odom.init_logging("velk_slam::odometry_fusion=info")
rec = simulate(%(duration)r, seed=%(seed)r)

def planar_errors(estimates):
    out = []
    for t, x, y in estimates:
        g = rec.ground_truth_at(t)
        out.append(math.hypot(x - g[0], y - g[1]))
    return out

def run(config, marks=()):
    fusion = OdometryFusion(config)
    marks = list(marks)
    newest = 0
    published = []
    for delivery, (kind, value) in zip(rec.deliveries, rec.values("arrival")):
        if kind == "imu":
            fusion.handle_imu(value, rec.base_from_imu)
        else:
            fusion.handle_source(value)
        newest = max(newest, delivery.message.timestamp_ns)
        while marks and newest >= marks[0]:
            marks.pop(0)
            fusion.report()
        e = fusion.maybe_publish()
        if e is not None:
            published.append((e.timestamp_ns, e.translation[0], e.translation[1]))
    fusion.report()
    return planar_errors(published)

config = rec.fusion_config()
fused = run(config, marks=rec.slip_interval_ns)
imu_only = run(dict(config, odom_sources=[]))
wheel = planar_errors([(m.timestamp_ns, m.translation[0], m.translation[1]) for m in rec.wheel_estimates])
print(json.dumps({"fused": fused, "imu_only": imu_only, "wheel": wheel, "distance": rec.distance_travelled(),
                  "wheel_in_slip": sum(1 for m in rec.wheel_estimates
                                       if rec.slip_interval_ns[0] <= m.timestamp_ns < rec.slip_interval_ns[1])}))
"""


def rms(values):
    return math.sqrt(sum(v * v for v in values) / len(values))


def counters(line):
    fields = line.split("odometry fusion counters ")[1].split()
    return {k: int(v) for k, v in (f.split("=") for f in fields)}


@pytest.fixture(scope="module")
def simulated_run():
    env = dict(os.environ, NO_COLOR="1")
    out = subprocess.run([sys.executable, "-c", SCRIPT % {"duration": DURATION_S, "seed": SEED}],
                         capture_output=True, text=True, timeout=600, env=env)
    assert out.returncode == 0, out.stderr[-2000:]
    reports = [counters(line) for line in out.stderr.splitlines() if "odometry fusion counters" in line]
    return json.loads(out.stdout), reports


def test_fused_trajectory_error_bounds(simulated_run):
    result, _ = simulated_run
    fused, wheel, imu_only = result["fused"], result["wheel"], result["imu_only"]
    distance = result["distance"]
    assert len(fused) > 5000  # published at 100 Hz over the drive
    # What the fusion cannot remove is the wheels' 2 % scale error: the wheel pose and speed rows carry it
    # into the estimate, at most 2 % of the distance travelled along the track. The 1.6 m of the slip
    # (0.8 m/s for 2 s) must not appear: the gate keeps it out. (The speed error also reaches the heading:
    # the IMU's lateral acceleration and the 2 % fast wheel speed disagree on the turn rate, and the
    # filter splits the difference. This route turns both ways; one that keeps turning the same way
    # collects that heading error and can exceed the budget.)
    scale_budget = 0.02 * distance
    assert max(fused) < scale_budget
    assert fused[-1] < scale_budget
    # The wheels alone carry both the scale error and the slip.
    assert wheel[-1] > 1.6
    assert rms(fused) < rms(wheel) / 2
    # Dead reckoning on the IMU alone diverges quadratically with the horizontal accelerometer bias that
    # the stillness initialisation cannot tell from tilt: far worse than either.
    assert imu_only[-1] > 10 * wheel[-1]
    print(f"\nplanar error [m] over {distance:.1f} m: fused rms {rms(fused):.3f} max {max(fused):.3f} "
          f"final {fused[-1]:.3f}; wheel rms {rms(wheel):.3f} final {wheel[-1]:.3f}; "
          f"IMU dead reckoning rms {rms(imu_only):.1f} final {imu_only[-1]:.1f}")


def test_gate_rejects_the_slip(simulated_run):
    result, reports = simulated_run
    at_slip_start, at_slip_end, fused_end, imu_only_end = reports
    in_slip = at_slip_end["gated"] - at_slip_start["gated"]
    # Every wheel message during the slip disagrees with the IMU by 0.8 m/s against a speed standard
    # deviation of 2 cm/s: each is refused (replays of late ones refuse again).
    assert in_slip >= result["wheel_in_slip"]
    # Before the slip only occasional noise outliers are refused.
    assert at_slip_start["gated"] < 0.05 * at_slip_start["measurements"]
    assert fused_end["too_late"] <= 2 and fused_end["replayed"] > 100
    assert imu_only_end["measurements"] == 0 and imu_only_end["gated"] == 0


def test_blend_path_with_two_sources():
    rec = simulate(DURATION_S, seed=SEED)
    rng = random.Random(7)
    # Source "vo": the ground truth at 10 Hz with 2 cm and 5 mrad of noise, variance 1e-3; the wheels keep
    # their scale error and slip, variance 1e-2. Both report, so each step moves the pose by the weighted
    # mean of the two sources' motion: 10/11 of the visual step and 1/11 of the wheel step.
    vo = []
    for row in rec.ground_truth[::20]:
        t, x, y, yaw = row[0], row[1], row[2], 2.0 * math.atan2(row[6], row[7])
        yaw += rng.gauss(0.0, 0.005)
        vo.append(OdometryEstimate(t, "odom", "camera", (x + rng.gauss(0, 0.02), y + rng.gauss(0, 0.02), 0.0),
                                   (0.0, 0.0, math.sin(yaw / 2), math.cos(yaw / 2))))
    stream = [(m.timestamp_ns, 1, m) for m in vo]
    for kind, value in rec.values("stamp"):
        if kind == "wheel":
            stream.append((value.timestamp_ns, 0, value))
    stream.sort(key=lambda item: (item[0], item[1]))

    config = {
        "odom_sources": [
            {"parent_frame_id": "odom", "child_frame_id": "base_link", "pose_variances": [1e-2] * 6},
            {"parent_frame_id": "odom", "child_frame_id": "camera", "pose_variances": [1e-3] * 6},
        ],
    }
    fusion = OdometryFusion(config)
    errors = []
    for _, _, estimate in stream:
        fusion.handle_source(estimate)
        out = fusion.maybe_publish()
        if out is not None:
            g = rec.ground_truth_at(out.timestamp_ns)
            errors.append(math.hypot(out.translation[0] - g[0], out.translation[1] - g[1]))
            assert out.twist_linear == (0.0, 0.0, 0.0) and out.twist_angular == (0.0, 0.0, 0.0)
    wheel = []
    for m in rec.wheel_estimates:
        g = rec.ground_truth_at(m.timestamp_ns)
        wheel.append(math.hypot(m.translation[0] - g[0], m.translation[1] - g[1]))
    assert len(errors) > 1000
    # The wheel's share of the motion is 1/11, but its heading errors also turn the visual steps: allow
    # twice its share, plus the visual source's noise (its steps telescope to a few cm).
    assert errors[-1] < 2 / 11 * wheel[-1] + 0.1
    assert rms(errors) < 2 / 11 * rms(wheel) + 0.05
    print(f"\nblend of two sources, planar error [m]: rms {rms(errors):.3f} final {errors[-1]:.3f}; "
          f"wheel alone rms {rms(wheel):.3f} final {wheel[-1]:.3f}")
