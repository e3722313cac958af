"""A deterministic simulator of a planar robot with one IMU and wheel odometry.

The robot stands still for ``still_s`` seconds (long enough for the fusion engine's stillness
initialisation), or with ``start_speed`` drives straight from the first sample, then drives a seeded
sequence of straight stretches and turns with smooth speed and yaw-rate changes, never stopping. Everything is pure Python (standard library only) and repeatable: the same
arguments give the same recording, bit for bit.

What it produces (all stamps are integer nanoseconds of the data clock, starting at 0)::

    rec = simulate(duration_s=60.0, seed=0)
    rec.ground_truth      # [(t_ns, x, y, z, qx, qy, qz, qw)] pose of base_link in odom, IMU rate
    rec.imu_samples       # [ImuReading]  frame "imu_link", IMU axes, 200 Hz
    rec.wheel_estimates   # [WheelReading] "odom" -> "base_link", 50 Hz, like nav_msgs/Odometry
    rec.deliveries        # [Delivery] every message in arrival order (some wheel messages late)
    rec.base_from_imu     # ((x, y, z), (qx, qy, qz, qw)) mounting of the IMU on the base
    rec.fusion_config()   # an OdometryFusion configuration dict that suits the recording
    for kind, value in rec.values():   # ("imu", ImuSample) / ("wheel", OdometryEstimate)
        ...

The models:

- Ground truth: unicycle kinematics, x' = v cos(yaw), y' = v sin(yaw), yaw' = w, integrated with RK4
  at the IMU rate from analytic speed and yaw-rate profiles; z = 0, roll = pitch = 0. The odometry
  frame coincides with the base frame at t = 0.
- IMU: mounted at ``base_from_imu`` (a rotation and a lever arm). The gyroscope reads the base rate
  rotated into IMU axes; the accelerometer reads specific force, i.e. the acceleration of the IMU
  origin (base acceleration plus the tangential and centripetal lever-arm terms) minus gravity
  (0, 0, -g) of the odometry frame, in IMU axes. With ``noise`` on, each axis carries white noise of
  the stated density (standard deviation density * sqrt(rate)) and a constant bias (``gyro_bias``
  replaces the gyroscope's). ``vibration`` adds white accelerometer noise of that many m/s² per m/s
  of speed (and a fiftieth of it in rad/s on the gyroscope), as the ground shakes a driving robot.
  ``imu_spike_g`` adds one sample reading that many g more on the IMU's x axis. With
  ``ahrs_noise_deg`` each sample also carries an AHRS orientation: the true world-from-IMU attitude
  with its heading referenced to north (``AHRS_NORTH``), turned by white noise of that many degrees
  per axis; `Recording.ahrs_variance` is its per-axis variance.
- Wheels: the measured twist is the true body twist scaled by (1 + ``wheel_scale_error``) (both
  wheel radii wrong by the same factor, so speed and yaw rate share it), the yaw rate further by
  ``wheel_yaw_scale`` (a skid-steer robot's wheels slide in turns, so its kinematic yaw rate is far
  off), plus white noise; during the slip burst the wheels spin ``slip_speed`` m/s faster than the
  robot moves. The pose is
  integrated from the measured twist, so it drifts like real wheel odometry. Covariances are fixed
  diagonals, as typical drive controllers publish them.
- Delivery: IMU samples arrive 1 ms after their stamp, wheel messages 2 ms after theirs, except a
  ``late_fraction`` of them that arrive 20 to 400 ms late.
"""

from __future__ import annotations

import bisect
import math
import random
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from velk_odom._geometry import (
    IDENTITY_QUAT,
    Pair,
    Quat,
    Vec3,
    cross,
    quat_conj,
    quat_exp,
    quat_from_axis_angle,
    quat_from_rpy,
    quat_mul,
    rotate,
    yaw_of,
)

__all__ = [
    "CONDITIONS",
    "DEFAULT_BASE_FROM_IMU",
    "TILTED_BASE_FROM_IMU",
    "UNDECLARED_MOUNTS",
    "UPSIDE_DOWN_BASE_FROM_IMU",
    "Delivery",
    "ImuNoise",
    "ImuReading",
    "Recording",
    "WheelReading",
    "simulate",
]

GRAVITY = 9.80665
# The drive's speed profile stays below this; a start speed must too.
MAX_START_SPEED = 10.0
# An AHRS attitude noise beyond a half turn is no attitude at all.
MAX_AHRS_NOISE_DEG = 180.0

# The IMU sits 20 cm ahead, 5 cm right and 15 cm above the base origin, turned 90 degrees about z and
# slightly tilted, so that a wrong mounting transform or lever arm shows in the results.
DEFAULT_BASE_FROM_IMU: Pair = ((0.20, -0.05, 0.15), quat_from_rpy(0.02, -0.015, 0.5 * math.pi))
# The same place, the board mounted upside down and turned a quarter turn about z.
UPSIDE_DOWN_BASE_FROM_IMU: Pair = ((0.20, -0.05, 0.15), quat_from_rpy(math.pi, 0.0, 0.5 * math.pi))
# The same place, the board tilted well off level (as on a bracket): the recording declares it.
TILTED_BASE_FROM_IMU: Pair = ((0.20, -0.05, 0.15), quat_from_rpy(0.35, -0.5, 0.5 * math.pi))
# Mounts a recording of that condition does not declare (no /tf_static).
UNDECLARED_MOUNTS = (UPSIDE_DOWN_BASE_FROM_IMU,)

# Consumer MEMS figures (per axis).
DEFAULT_GYRO_BIAS: Vec3 = (0.003, -0.002, 0.004)  # rad/s
DEFAULT_ACCEL_BIAS: Vec3 = (0.05, -0.08, 0.06)  # m/s²

# An AHRS references its heading to magnetic north, not to where the robot started.
AHRS_NORTH: Quat = quat_from_axis_angle((0.0, 0.0, 1.0), 0.7)
# rad²: an exact simulated AHRS still reports a real covariance.
MIN_AHRS_VARIANCE = 1.0e-4
# rad/s of gyro vibration per m/s² of accelerometer vibration.
VIBRATION_GYRO_PER_ACCEL = 0.02

# The conditions a real robot's recording brings, one keyword set each (see `simulate`). A recording
# with a mount in UNDECLARED_MOUNTS is meant to go without /tf_static: the mount is not in the recording.
CONDITIONS: Dict[str, Dict[str, Any]] = {
    "start driving": dict(start_speed=1.5, vibration=0.3),
    "skid-steer yaw rate x7": dict(wheel_yaw_scale=7.0),
    "upside-down IMU": dict(base_from_imu=UPSIDE_DOWN_BASE_FROM_IMU),
    "gyro bias 0.01": dict(gyro_bias=(0.01, 0.01, 0.01)),
    "AHRS 2 deg": dict(ahrs_noise_deg=2.0),
    "16 g sample": dict(imu_spike_g=16.0),
    "2 s wheel slip": dict(slip=True),
    "gyro bias 0.08 at rest": dict(gyro_bias=(0.05, -0.05, 0.04)),
    "tilted IMU, declared": dict(base_from_imu=TILTED_BASE_FROM_IMU),
    "accelerometer without gravity": dict(accel_gravity=False),
    "start-up wheel glitch": dict(wheel_glitch_speed=100.0),
}

# White noise of the wheel speed (m/s) and yaw rate (rad/s) per message.
WHEEL_SPEED_SIGMA = 0.01
WHEEL_YAW_RATE_SIGMA = 0.005
# Variances a drive controller typically publishes: z, roll and pitch are "unknown" (huge).
_UNKNOWN = 1.0e6
WHEEL_POSE_VARIANCES = (1.0e-3, 1.0e-3, _UNKNOWN, _UNKNOWN, _UNKNOWN, 1.0e-2)
WHEEL_TWIST_VARIANCES = (4.0e-4, 4.0e-4, _UNKNOWN, _UNKNOWN, _UNKNOWN, 1.0e-3)
# (m/s)²: a ground robot's base does not move along its own z axis.
GROUND_VERTICAL_SPEED_VARIANCE = 1.0e-4


@dataclass(frozen=True)
class ImuNoise:
    """Noise figures of the simulated IMU, in the units of the fusion configuration's `imus` keys."""

    gyro_noise_density: float = 5.0e-4  # rad/s/sqrt(Hz)
    gyro_random_walk: float = 2.0e-5  # rad/s²/sqrt(Hz)
    accel_noise_density: float = 4.0e-3  # m/s²/sqrt(Hz)
    accel_random_walk: float = 2.0e-4  # m/s³/sqrt(Hz)


@dataclass(frozen=True)
class ImuReading:
    """One IMU sample in the IMU's own axes (fields of ImuSample)."""

    timestamp_ns: int
    frame_id: str
    angular_velocity: Vec3
    linear_acceleration: Vec3
    orientation: Optional[Quat] = None  # AHRS world_from_imu (heading from north), when simulated


@dataclass(frozen=True)
class WheelReading:
    """One wheel odometry message (fields of OdometryEstimate, covariances row-major)."""

    timestamp_ns: int
    frame_id: str
    child_frame_id: str
    translation: Vec3
    rotation_xyzw: Quat
    pose_covariance: Tuple[float, ...]
    twist_linear: Vec3
    twist_angular: Vec3
    twist_covariance: Tuple[float, ...]


@dataclass(frozen=True)
class Delivery:
    """A message as the host receives it: `kind` is "imu" or "wheel"."""

    arrival_ns: int
    kind: str
    message: Any


@dataclass
class Recording:
    """A simulated run. See the module docstring."""

    duration_s: float
    seed: int
    gravity: float
    odom_frame_id: str
    base_frame_id: str
    imu_frame_id: str
    base_from_imu: Pair
    imu_rate_hz: float
    wheel_rate_hz: float
    imu_noise: ImuNoise
    gyro_bias: Vec3
    accel_bias: Vec3
    still_until_ns: int
    slip_interval_ns: Optional[Tuple[int, int]]
    ground_truth: List[Tuple[int, float, float, float, float, float, float, float]] = field(repr=False)
    imu_samples: List[ImuReading] = field(repr=False)
    wheel_estimates: List[WheelReading] = field(repr=False)
    deliveries: List[Delivery] = field(repr=False)
    imu_sigmas: Tuple[float, float] = (0.0, 0.0)  # per-sample white noise of gyro (rad/s) and accel (m/s²)
    ahrs_variance: float = -1.0  # rad² per axis of the AHRS orientation; -1 without one
    wheel_yaw_scale: float = 1.0
    imu_spike_ns: Optional[int] = None

    def ground_truth_at(self, t_ns: int) -> Tuple[float, float, float, float, float, float, float]:
        """Pose (x, y, z, qx, qy, qz, qw) of the base at t_ns, interpolated linearly in position and
        heading between ground-truth samples (clamped to the recording's span)."""
        stamps = self._gt_stamps()
        i = bisect.bisect_left(stamps, t_ns)
        if i < len(stamps) and stamps[i] == t_ns:
            return self.ground_truth[i][1:]
        if i == 0:
            return self.ground_truth[0][1:]
        if i >= len(stamps):
            return self.ground_truth[-1][1:]
        a, b = self.ground_truth[i - 1], self.ground_truth[i]
        s = (t_ns - a[0]) / (b[0] - a[0])
        yaw_a = 2.0 * math.atan2(a[6], a[7])
        yaw_b = 2.0 * math.atan2(b[6], b[7])
        dyaw = math.remainder(yaw_b - yaw_a, 2.0 * math.pi)
        yaw = yaw_a + s * dyaw
        return (
            a[1] + s * (b[1] - a[1]),
            a[2] + s * (b[2] - a[2]),
            0.0,
            0.0,
            0.0,
            math.sin(0.5 * yaw),
            math.cos(0.5 * yaw),
        )

    def _gt_stamps(self) -> List[int]:
        cached = getattr(self, "_stamps_cache", None)
        if cached is None or len(cached) != len(self.ground_truth):
            cached = [row[0] for row in self.ground_truth]
            object.__setattr__(self, "_stamps_cache", cached)
        return cached

    def drift(self, rows: Sequence[Sequence[float]]) -> float:
        """Planar distance (m) between the last pose of a trajectory and the ground truth, after the
        trajectory's first pose is laid onto the ground truth at its stamp (position and heading),
        as an odometry started there would be. ``rows``: (t_ns, x, y, z, qx, qy, qz, qw), stamps on
        this recording's clock."""
        first, last = rows[0], rows[-1]
        g0, g1 = self.ground_truth_at(int(first[0])), self.ground_truth_at(int(last[0]))
        turn = yaw_of(g0[3:7]) - yaw_of(first[4:8])
        dx, dy = last[1] - first[1], last[2] - first[2]
        x = g0[0] + math.cos(turn) * dx - math.sin(turn) * dy
        y = g0[1] + math.sin(turn) * dx + math.cos(turn) * dy
        return math.hypot(x - g1[0], y - g1[1])

    def distance_travelled(self) -> float:
        """Path length of the ground truth in metres."""
        total = 0.0
        for a, b in zip(self.ground_truth, self.ground_truth[1:]):
            total += math.hypot(b[1] - a[1], b[2] - a[2])
        return total

    def fusion_config(self) -> Dict[str, Any]:
        """An OdometryFusion configuration for this recording: the IMU with its noise figures and the
        wheel odometry as a pose and twist source. x, y and yaw take the variances each message gives
        (-1); the dimensions the messages mark unknown (1e6) are left out (0), since near-infinite
        variance rows only widen the outlier gate, which grows with the row count; the body's vertical
        speed is held near zero, as for any ground robot. A wheel yaw rate scaled by
        ``wheel_yaw_scale`` is left out, with the heading the wheel pose integrates from it."""
        yaw_ok = self.wheel_yaw_scale == 1.0
        init_samples = max(1, min(200, int(0.5 * self.still_until_ns * 1e-9 * self.imu_rate_hz)))
        return {
            "odom_frame_id": self.odom_frame_id,
            "output_frame_id": self.base_frame_id,
            "initial_gravity_estimate": self.gravity,
            "imus": [
                {
                    "frame_id": self.imu_frame_id,
                    "gyro_noise_density": self.imu_noise.gyro_noise_density,
                    "gyro_random_walk": self.imu_noise.gyro_random_walk,
                    "accel_noise_density": self.imu_noise.accel_noise_density,
                    "accel_random_walk": self.imu_noise.accel_random_walk,
                    "init_samples": init_samples,
                    "init_gyro_limit": max(0.05, 2.0 * math.sqrt(sum(b * b for b in self.gyro_bias))),
                }
            ],
            "odom_sources": [
                {
                    "parent_frame_id": self.odom_frame_id,
                    "child_frame_id": self.base_frame_id,
                    "pose_variances": [-1.0, -1.0, 0.0, 0.0, 0.0, -1.0 if yaw_ok else 0.0],
                    "twist_variances": [-1.0, -1.0, GROUND_VERTICAL_SPEED_VARIANCE, 0.0, 0.0, -1.0 if yaw_ok else 0.0],
                }
            ],
        }

    def values(self, order: str = "arrival") -> Iterator[Tuple[str, Any]]:
        """Yield ("imu", ImuSample) and ("wheel", OdometryEstimate) value objects, in arrival order
        ("arrival") or by stamp ("stamp"). Needs the extension module."""
        from velk_odom import _native  # the simulator itself runs without the extension

        if order == "arrival":
            stream: Sequence[Delivery] = self.deliveries
        elif order == "stamp":
            stream = sorted(self.deliveries, key=lambda d: (d.message.timestamp_ns, d.kind != "imu"))
        else:
            raise ValueError(f"order must be 'arrival' or 'stamp', got {order!r}")
        for d in stream:
            m = d.message
            if d.kind == "imu":
                yield "imu", _native.ImuSample(
                    m.timestamp_ns, m.frame_id, m.angular_velocity, m.linear_acceleration
                )
            else:
                yield "wheel", _native.OdometryEstimate(
                    m.timestamp_ns,
                    m.frame_id,
                    m.child_frame_id,
                    m.translation,
                    m.rotation_xyzw,
                    pose_covariance=list(m.pose_covariance),
                    twist_linear=m.twist_linear,
                    twist_angular=m.twist_angular,
                    twist_covariance=list(m.twist_covariance),
                )


class _Profile:
    """Commanded forward speed v(t) and yaw rate w(t), piecewise constant with quintic blends of
    ``blend_s`` seconds, so that both and their derivatives are continuous (no jerk spikes)."""

    def __init__(self, knots: List[Tuple[float, float, float]], blend_s: float) -> None:
        self.knots = knots  # (start_s, v, w), sorted by start
        self.starts = [k[0] for k in knots]
        self.blend_s = blend_s

    def __call__(self, t: float) -> Tuple[float, float, float, float]:
        """(v, dv/dt, w, dw/dt) at t seconds."""
        i = bisect.bisect_right(self.starts, t) - 1
        if i <= 0:
            _, v, w = self.knots[0]
            return v, 0.0, w, 0.0
        t0, v1, w1 = self.knots[i]
        _, v0, w0 = self.knots[i - 1]
        tau = (t - t0) / self.blend_s
        if tau >= 1.0:
            return v1, 0.0, w1, 0.0
        s = tau * tau * tau * (10.0 + tau * (-15.0 + 6.0 * tau))
        ds = 30.0 * tau * tau * (1.0 - tau) ** 2 / self.blend_s
        return v0 + (v1 - v0) * s, (v1 - v0) * ds, w0 + (w1 - w0) * s, (w1 - w0) * ds


def _make_profile(rng: random.Random, duration_s: float, still_s: float, start_speed: float) -> _Profile:
    # A robot already driving at start_speed goes straight for the first stretch, the case that a
    # stillness test on the gyro alone takes for rest.
    knots: List[Tuple[float, float, float]] = [(0.0, start_speed, 0.0)]
    t = still_s if start_speed == 0.0 else rng.uniform(4.0, 8.0)
    while t < duration_s:
        v = rng.uniform(0.5, 1.3)
        turn = rng.uniform(0.25, 0.6) * rng.choice((-1.0, 1.0))
        w = turn if rng.random() < 0.6 else 0.0
        knots.append((t, v, w))
        t += rng.uniform(4.0, 8.0)
    return _Profile(knots, blend_s=1.5)


def _gauss3(rng: random.Random, sigma: float) -> Vec3:
    if sigma == 0.0:
        return (0.0, 0.0, 0.0)
    return (rng.gauss(0.0, sigma), rng.gauss(0.0, sigma), rng.gauss(0.0, sigma))


def _add3(*vs: Sequence[float]) -> Vec3:
    return (sum(v[0] for v in vs), sum(v[1] for v in vs), sum(v[2] for v in vs))


def _diag36(values: Sequence[float]) -> Tuple[float, ...]:
    out = [0.0] * 36
    for i, v in enumerate(values):
        out[7 * i] = v
    return tuple(out)


def _ground_truth(profile: _Profile, n: int, period_ns: int) -> List[Tuple[int, float, float, float, float, float, float, float]]:
    """Unicycle kinematics by RK4 on (x, y, yaw) at the IMU period."""
    dt = period_ns * 1e-9

    def deriv(t: float, yaw: float) -> Tuple[float, float, float]:
        v, _, w, _ = profile(t)
        return v * math.cos(yaw), v * math.sin(yaw), w

    rows = []
    x = y = yaw = 0.0
    for k in range(n):
        t = k * dt
        rows.append((k * period_ns, x, y, 0.0, 0.0, 0.0, math.sin(0.5 * yaw), math.cos(0.5 * yaw)))
        k1 = deriv(t, yaw)
        k2 = deriv(t + 0.5 * dt, yaw + 0.5 * dt * k1[2])
        k3 = deriv(t + 0.5 * dt, yaw + 0.5 * dt * k2[2])
        k4 = deriv(t + dt, yaw + dt * k3[2])
        x += dt / 6.0 * (k1[0] + 2.0 * k2[0] + 2.0 * k3[0] + k4[0])
        y += dt / 6.0 * (k1[1] + 2.0 * k2[1] + 2.0 * k3[1] + k4[1])
        yaw += dt / 6.0 * (k1[2] + 2.0 * k2[2] + 2.0 * k3[2] + k4[2])
    return rows


def _imu_readings(
    profile: _Profile,
    ground_truth: Sequence[Tuple[int, float, float, float, float, float, float, float]],
    base_from_imu: Pair,
    gravity: float,
    gyro_bias: Vec3,
    accel_bias: Vec3,
    sigma_g: float,
    sigma_a: float,
    vibration: float,
    ahrs_sigma: Optional[float],
    spike: Optional[Tuple[int, float]],
    seed: int,
    accel_gravity: bool = True,
) -> List[ImuReading]:
    """Specific force at the IMU origin and body rate, in IMU axes, with white noise, constant
    biases, speed-proportional vibration, an optional AHRS orientation and one optional spike."""
    rng = random.Random(f"velk-sim-noise-{seed}")
    vibration_rng = random.Random(f"velk-sim-vibration-{seed}")
    ahrs_rng = random.Random(f"velk-sim-ahrs-{seed}")
    lever, q_bi = base_from_imu
    q_ib = quat_conj(q_bi)
    out = []
    for row in ground_truth:
        t_ns = row[0]
        v, dv, w, dw = profile(t_ns * 1e-9)
        omega_b = (0.0, 0.0, w)
        alpha_b = (0.0, 0.0, dw)
        # Specific force at the IMU origin, base axes: a_base + alpha x r + omega x (omega x r) - g.
        f_b = _add3((dv, v * w, gravity if accel_gravity else 0.0), cross(alpha_b, lever), cross(omega_b, cross(omega_b, lever)))
        gyro = _add3(rotate(q_ib, omega_b), gyro_bias, _gauss3(rng, sigma_g))
        accel = _add3(rotate(q_ib, f_b), accel_bias, _gauss3(rng, sigma_a))
        if vibration > 0.0:
            # The ground shakes a driving robot in proportion to its speed; a standing one is calm.
            accel = _add3(accel, _gauss3(vibration_rng, vibration * abs(v)))
            gyro = _add3(gyro, _gauss3(vibration_rng, VIBRATION_GYRO_PER_ACCEL * vibration * abs(v)))
        if spike is not None and t_ns == spike[0]:
            accel = (accel[0] + spike[1], accel[1], accel[2])
        orientation = None
        if ahrs_sigma is not None:
            q_wb = (0.0, 0.0, row[6], row[7])
            noise = quat_exp(_gauss3(ahrs_rng, ahrs_sigma))
            orientation = quat_mul(AHRS_NORTH, quat_mul(q_wb, quat_mul(q_bi, noise)))
        out.append(ImuReading(t_ns, "imu_link", gyro, accel, orientation))
    return out


def _wheel_readings(
    profile: _Profile,
    end_ns: int,
    period_ns: int,
    scale: float,
    yaw_scale: float,
    sigma_v: float,
    sigma_w: float,
    slip_interval: Optional[Tuple[int, int]],
    slip_speed: float,
    seed: int,
    glitch: Tuple[float, int] = (0.0, 0),
) -> List[WheelReading]:
    """Wheel twist (scaled, noisy, slipping) and the pose a drive controller integrates from it."""
    rng = random.Random(f"velk-sim-wheel-{seed}")
    pose_cov = _diag36(WHEEL_POSE_VARIANCES)
    twist_cov = _diag36(WHEEL_TWIST_VARIANCES)
    out = []
    wx = wy = wyaw = 0.0
    prev: Optional[Tuple[int, float, float]] = None
    for t_ns in range(0, end_ns + 1, period_ns):
        v, _, w, _ = profile(t_ns * 1e-9)
        v_m = v * scale + (rng.gauss(0.0, sigma_v) if sigma_v else 0.0)
        w_m = w * scale * yaw_scale + (rng.gauss(0.0, sigma_w) if sigma_w else 0.0)
        if v == 0.0 and w == 0.0:
            v_m = w_m = 0.0  # encoders of a standing robot read zero, noise or not
        if slip_interval is not None and slip_interval[0] <= t_ns < slip_interval[1]:
            v_m += slip_speed
        if t_ns < glitch[1]:
            v_m += glitch[0]  # a driver's start-up glitch: the speed is wrong, the pose integrates it
        if prev is not None:
            # Trapezoidal rule over the twist at both ends of the interval, heading at the midpoint.
            step = (t_ns - prev[0]) * 1e-9
            v_avg = 0.5 * (v_m + prev[1])
            w_avg = 0.5 * (w_m + prev[2])
            mid_yaw = wyaw + 0.5 * w_avg * step
            wx += v_avg * step * math.cos(mid_yaw)
            wy += v_avg * step * math.sin(mid_yaw)
            wyaw += w_avg * step
        prev = (t_ns, v_m, w_m)
        q = quat_from_axis_angle((0.0, 0.0, 1.0), wyaw) if wyaw != 0.0 else IDENTITY_QUAT
        out.append(WheelReading(t_ns, "odom", "base_link", (wx, wy, 0.0), q, pose_cov, (v_m, 0.0, 0.0), (0.0, 0.0, w_m), twist_cov))
    return out


def _deliveries(
    imu: Sequence[ImuReading], wheel: Sequence[WheelReading], late_fraction: float, late_range_ms: Tuple[float, float], seed: int
) -> List[Delivery]:
    """IMU samples arrive 1 ms after their stamp, wheel messages 2 ms, a fraction of them late."""
    rng = random.Random(f"velk-sim-delivery-{seed}")
    out = [Delivery(m.timestamp_ns + 1_000_000, "imu", m) for m in imu]
    lo_ms, hi_ms = late_range_ms
    for m in wheel:
        late = rng.random() < late_fraction
        delay_ns = int(round(rng.uniform(lo_ms, hi_ms) * 1e6)) if late else 2_000_000
        out.append(Delivery(m.timestamp_ns + delay_ns, "wheel", m))
    # Ties keep the order IMU first, then by stamp.
    out.sort(key=lambda d: (d.arrival_ns, d.kind != "imu", d.message.timestamp_ns))
    return out


def _check_arguments(
    duration_s: float, imu_rate_hz: float, wheel_rate_hz: float, still_s: float, start_speed: float,
    late_fraction: float, vibration: float, ahrs_noise_deg: Optional[float],
) -> None:
    """ValueError for the arguments `simulate` refuses."""
    if not (duration_s > 0.0 and imu_rate_hz > 0.0 and wheel_rate_hz > 0.0):
        raise ValueError("duration_s, imu_rate_hz and wheel_rate_hz must be positive")
    if not (0.0 <= still_s < duration_s):
        raise ValueError(f"still_s must lie in [0, duration_s), got {still_s}")
    if not (0.0 <= start_speed < MAX_START_SPEED) or (start_speed > 0.0 and still_s > 0.0):
        raise ValueError(f"start_speed must lie in [0, {MAX_START_SPEED:g}) m/s and needs still_s 0, got {start_speed} with still_s {still_s}")
    if not (0.0 <= late_fraction <= 1.0):
        raise ValueError(f"late_fraction must lie in [0, 1], got {late_fraction}")
    if not (vibration >= 0.0) or (ahrs_noise_deg is not None and not 0.0 <= ahrs_noise_deg <= MAX_AHRS_NOISE_DEG):
        raise ValueError(f"vibration must be at least 0 and ahrs_noise_deg in [0, {MAX_AHRS_NOISE_DEG:g}], got {vibration} and {ahrs_noise_deg}")


def _event_ns(at_s: Optional[float], fraction: float, duration_s: float, still_s: float) -> int:
    """When an event (a spike, a slip) starts: at ``at_s``, else at ``fraction`` of the run but at
    least a second after the still period, so that it never disturbs the initialisation."""
    start_s = at_s if at_s is not None else max(fraction * duration_s, still_s + 1.0)
    return int(round(start_s * 1e9))


@dataclass
class _ImuErrors:
    """The simulated IMU's biases and the standard deviations of its white noise per sample."""

    gyro_bias: Vec3
    accel_bias: Vec3
    sigma_g: float
    sigma_a: float


def _imu_errors(noise: bool, gyro_bias: Optional[Vec3], imu_noise: ImuNoise, imu_rate_hz: float) -> _ImuErrors:
    """Typical MEMS biases (``gyro_bias`` when given) and the noise densities at the sample rate; none
    without ``noise``."""
    if gyro_bias is None:
        gyro_bias = DEFAULT_GYRO_BIAS if noise else (0.0, 0.0, 0.0)
    accel_bias = DEFAULT_ACCEL_BIAS if noise else (0.0, 0.0, 0.0)
    sigma_g = imu_noise.gyro_noise_density * math.sqrt(imu_rate_hz) if noise else 0.0
    sigma_a = imu_noise.accel_noise_density * math.sqrt(imu_rate_hz) if noise else 0.0
    return _ImuErrors(gyro_bias, accel_bias, sigma_g, sigma_a)


def _imu_spike(
    spike_g: Optional[float], at_s: Optional[float], duration_s: float, still_s: float, imu_period_ns: int, gravity: float
) -> Optional[Tuple[int, float]]:
    """(stamp of the sample, extra specific force in m/s²) of the one broken IMU sample, or None."""
    if spike_g is None:
        return None
    spike_ns = _event_ns(at_s, 0.4, duration_s, still_s) // imu_period_ns * imu_period_ns  # on a sample
    return spike_ns, spike_g * gravity


def _slip_interval(slip: bool, at_s: Optional[float], slip_duration_s: float, duration_s: float, still_s: float) -> Optional[Tuple[int, int]]:
    """[start, end) ns of the wheels' slip, or None."""
    if not slip:
        return None
    start = _event_ns(at_s, 0.55, duration_s, still_s)
    return start, start + int(round(slip_duration_s * 1e9))


def simulate(
    duration_s: float = 60.0,
    seed: int = 0,
    *,
    imu_rate_hz: float = 200.0,
    wheel_rate_hz: float = 50.0,
    still_s: Optional[float] = None,
    start_speed: float = 0.0,
    noise: bool = True,
    vibration: float = 0.0,
    gyro_bias: Optional[Vec3] = None,
    wheel_scale_error: float = 0.02,
    wheel_yaw_scale: float = 1.0,
    late_fraction: float = 0.1,
    late_range_ms: Tuple[float, float] = (20.0, 400.0),
    slip: bool = True,
    slip_at_s: Optional[float] = None,
    slip_duration_s: float = 2.0,
    slip_speed: float = 0.8,
    ahrs_noise_deg: Optional[float] = None,
    imu_spike_g: Optional[float] = None,
    imu_spike_at_s: Optional[float] = None,
    base_from_imu: Pair = DEFAULT_BASE_FROM_IMU,
    imu_noise: ImuNoise = ImuNoise(),
    gravity: float = GRAVITY,
    accel_gravity: bool = True,
    wheel_glitch_speed: float = 0.0,
    wheel_glitch_s: float = 1.0,
) -> Recording:
    """Simulate ``duration_s`` seconds of driving. See the module docstring for the models.

    ``noise=False`` gives exact sensors: no white noise and zero IMU biases unless ``gyro_bias`` is
    given (the wheel errors, slip, vibration and late delivery are controlled by their own arguments).
    ``still_s`` defaults to 2 s, or 0 when ``start_speed`` > 0 (driving from the first sample).
    ``slip_at_s`` defaults to 55 % of the run and ``imu_spike_at_s`` to 40 % (both at least one
    second after the still period). ``accel_gravity=False`` leaves gravity out of the specific force
    (a simulator's mistake); ``wheel_glitch_speed`` adds that many m/s to the wheel speed for the
    first ``wheel_glitch_s`` seconds (a driver glitch at start-up). Raises ValueError for a non-positive duration or rate, a still
    period longer than the run, or a still period together with a start speed.
    """
    if still_s is None:
        still_s = 0.0 if start_speed > 0.0 else 2.0
    _check_arguments(duration_s, imu_rate_hz, wheel_rate_hz, still_s, start_speed, late_fraction, vibration, ahrs_noise_deg)

    profile = _make_profile(random.Random(f"velk-sim-profile-{seed}"), duration_s, still_s, start_speed)
    imu_period_ns = int(round(1e9 / imu_rate_hz))
    end_ns = int(round(duration_s * 1e9))
    ground_truth = _ground_truth(profile, end_ns // imu_period_ns + 1, imu_period_ns)

    errors = _imu_errors(noise, gyro_bias, imu_noise, imu_rate_hz)
    spike = _imu_spike(imu_spike_g, imu_spike_at_s, duration_s, still_s, imu_period_ns, gravity)
    ahrs_sigma = math.radians(ahrs_noise_deg) if ahrs_noise_deg is not None else None
    imu_samples = _imu_readings(
        profile, ground_truth, base_from_imu, gravity, errors.gyro_bias, errors.accel_bias, errors.sigma_g, errors.sigma_a,
        vibration, ahrs_sigma, spike, seed, accel_gravity,
    )

    slip_interval = _slip_interval(slip, slip_at_s, slip_duration_s, duration_s, still_s)
    sigma_v, sigma_w = (WHEEL_SPEED_SIGMA, WHEEL_YAW_RATE_SIGMA) if noise else (0.0, 0.0)
    wheel_estimates = _wheel_readings(
        profile, end_ns, int(round(1e9 / wheel_rate_hz)), 1.0 + wheel_scale_error, wheel_yaw_scale, sigma_v, sigma_w,
        slip_interval, slip_speed, seed, (wheel_glitch_speed, int(round(wheel_glitch_s * 1e9))),
    )

    return Recording(
        duration_s=duration_s,
        seed=seed,
        gravity=gravity,
        odom_frame_id="odom",
        base_frame_id="base_link",
        imu_frame_id="imu_link",
        base_from_imu=base_from_imu,
        imu_rate_hz=imu_rate_hz,
        wheel_rate_hz=wheel_rate_hz,
        imu_noise=imu_noise,
        gyro_bias=errors.gyro_bias,
        accel_bias=errors.accel_bias,
        still_until_ns=int(round(still_s * 1e9)),
        slip_interval_ns=slip_interval,
        ground_truth=ground_truth,
        imu_samples=imu_samples,
        wheel_estimates=wheel_estimates,
        deliveries=_deliveries(imu_samples, wheel_estimates, late_fraction, late_range_ms, seed),
        imu_sigmas=(errors.sigma_g, errors.sigma_a),
        ahrs_variance=max(ahrs_sigma**2, MIN_AHRS_VARIANCE) if ahrs_sigma is not None else -1.0,
        wheel_yaw_scale=wheel_yaw_scale,
        imu_spike_ns=spike[0] if spike is not None else None,
    )
