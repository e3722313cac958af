"""A deterministic simulator of a planar robot with one IMU and wheel odometry.

The robot stands still for ``still_s`` seconds (long enough for the fusion engine's stillness
initialisation), then drives a seeded sequence of straight stretches and turns with smooth speed and
yaw-rate changes. Everything is pure Python (standard library only) and repeatable: the same
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
  the stated density (standard deviation density * sqrt(rate)) and a constant bias.
- Wheels: the measured twist is the true body twist scaled by (1 + ``wheel_scale_error``) (both
  wheel radii wrong by the same factor, so speed and yaw rate share it), plus white noise; during
  the slip burst the wheels spin ``slip_speed`` m/s faster than the robot moves. The pose is
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
    quat_from_axis_angle,
    quat_from_rpy,
    rotate,
)

__all__ = [
    "DEFAULT_BASE_FROM_IMU",
    "Delivery",
    "ImuNoise",
    "ImuReading",
    "Recording",
    "WheelReading",
    "simulate",
]

GRAVITY = 9.80665

# The IMU sits 20 cm ahead, 5 cm right and 15 cm above the base origin, turned 90 degrees about z and
# slightly tilted, so that a wrong mounting transform or lever arm shows in the results.
DEFAULT_BASE_FROM_IMU: Pair = ((0.20, -0.05, 0.15), quat_from_rpy(0.02, -0.015, 0.5 * math.pi))

# Consumer MEMS figures (per axis).
DEFAULT_GYRO_BIAS: Vec3 = (0.003, -0.002, 0.004)  # rad/s
DEFAULT_ACCEL_BIAS: Vec3 = (0.05, -0.08, 0.06)  # m/s²

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
        speed is held near zero, as for any ground robot."""
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
                }
            ],
            "odom_sources": [
                {
                    "parent_frame_id": self.odom_frame_id,
                    "child_frame_id": self.base_frame_id,
                    "pose_variances": [-1.0, -1.0, 0.0, 0.0, 0.0, -1.0],
                    "twist_variances": [-1.0, -1.0, GROUND_VERTICAL_SPEED_VARIANCE, 0.0, 0.0, -1.0],
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


def _make_profile(rng: random.Random, duration_s: float, still_s: float) -> _Profile:
    knots: List[Tuple[float, float, float]] = [(0.0, 0.0, 0.0)]
    t = still_s
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


def _diag36(values: Sequence[float]) -> Tuple[float, ...]:
    out = [0.0] * 36
    for i, v in enumerate(values):
        out[7 * i] = v
    return tuple(out)


def simulate(
    duration_s: float = 60.0,
    seed: int = 0,
    *,
    imu_rate_hz: float = 200.0,
    wheel_rate_hz: float = 50.0,
    still_s: float = 2.0,
    noise: bool = True,
    wheel_scale_error: float = 0.02,
    late_fraction: float = 0.1,
    late_range_ms: Tuple[float, float] = (20.0, 400.0),
    slip: bool = True,
    slip_at_s: Optional[float] = None,
    slip_duration_s: float = 2.0,
    slip_speed: float = 0.8,
    base_from_imu: Pair = DEFAULT_BASE_FROM_IMU,
    imu_noise: ImuNoise = ImuNoise(),
    gravity: float = GRAVITY,
) -> Recording:
    """Simulate ``duration_s`` seconds of driving. See the module docstring for the models.

    ``noise=False`` gives exact sensors: no white noise and zero IMU biases (the wheel scale error,
    slip and late delivery are controlled by their own arguments). ``slip_at_s`` defaults to 55 % of
    the run (at least one second after the still period). Raises ValueError for a non-positive
    duration or rate, or a still period longer than the run.
    """
    if not (duration_s > 0.0 and imu_rate_hz > 0.0 and wheel_rate_hz > 0.0):
        raise ValueError("duration_s, imu_rate_hz and wheel_rate_hz must be positive")
    if not (0.0 <= still_s < duration_s):
        raise ValueError(f"still_s must lie in [0, duration_s), got {still_s}")
    if not (0.0 <= late_fraction <= 1.0):
        raise ValueError(f"late_fraction must lie in [0, 1], got {late_fraction}")

    profile = _make_profile(random.Random(f"velk-sim-profile-{seed}"), duration_s, still_s)
    rng = random.Random(f"velk-sim-noise-{seed}")
    delivery_rng = random.Random(f"velk-sim-delivery-{seed}")

    imu_period_ns = int(round(1e9 / imu_rate_hz))
    wheel_period_ns = int(round(1e9 / wheel_rate_hz))
    end_ns = int(round(duration_s * 1e9))

    # Ground truth, RK4 on (x, y, yaw) at the IMU period.
    dt = imu_period_ns * 1e-9

    def deriv(t: float, yaw: float) -> Tuple[float, float, float]:
        v, _, w, _ = profile(t)
        return v * math.cos(yaw), v * math.sin(yaw), w

    ground_truth = []
    x = y = yaw = 0.0
    n_imu = end_ns // imu_period_ns + 1
    for k in range(n_imu):
        t = k * dt
        ground_truth.append((k * imu_period_ns, x, y, 0.0, 0.0, 0.0, math.sin(0.5 * yaw), math.cos(0.5 * yaw)))
        k1 = deriv(t, yaw)
        k2 = deriv(t + 0.5 * dt, yaw + 0.5 * dt * k1[2])
        k3 = deriv(t + 0.5 * dt, yaw + 0.5 * dt * k2[2])
        k4 = deriv(t + dt, yaw + dt * k3[2])
        x += dt / 6.0 * (k1[0] + 2.0 * k2[0] + 2.0 * k3[0] + k4[0])
        y += dt / 6.0 * (k1[1] + 2.0 * k2[1] + 2.0 * k3[1] + k4[1])
        yaw += dt / 6.0 * (k1[2] + 2.0 * k2[2] + 2.0 * k3[2] + k4[2])

    # IMU readings.
    lever, q_bi = base_from_imu
    q_ib = quat_conj(q_bi)
    gyro_bias = DEFAULT_GYRO_BIAS if noise else (0.0, 0.0, 0.0)
    accel_bias = DEFAULT_ACCEL_BIAS if noise else (0.0, 0.0, 0.0)
    sigma_g = imu_noise.gyro_noise_density * math.sqrt(imu_rate_hz) if noise else 0.0
    sigma_a = imu_noise.accel_noise_density * math.sqrt(imu_rate_hz) if noise else 0.0
    imu_frame = "imu_link"
    imu_samples = []
    for k in range(n_imu):
        t_ns = k * imu_period_ns
        v, dv, w, dw = profile(t_ns * 1e-9)
        omega_b = (0.0, 0.0, w)
        alpha_b = (0.0, 0.0, dw)
        # Specific force at the IMU origin, base axes: a_base + alpha x r + omega x (omega x r) - g.
        tangential = cross(alpha_b, lever)
        centripetal = cross(omega_b, cross(omega_b, lever))
        f_b = (
            dv + tangential[0] + centripetal[0],
            v * w + tangential[1] + centripetal[1],
            gravity + tangential[2] + centripetal[2],
        )
        gyro = rotate(q_ib, omega_b)
        accel = rotate(q_ib, f_b)
        ng = _gauss3(rng, sigma_g)
        na = _gauss3(rng, sigma_a)
        imu_samples.append(
            ImuReading(
                t_ns,
                imu_frame,
                tuple(gyro[i] + gyro_bias[i] + ng[i] for i in range(3)),  # type: ignore[arg-type]
                tuple(accel[i] + accel_bias[i] + na[i] for i in range(3)),  # type: ignore[arg-type]
            )
        )

    # Wheel odometry.
    if slip:
        slip_start_s = slip_at_s if slip_at_s is not None else max(0.55 * duration_s, still_s + 1.0)
        slip_interval: Optional[Tuple[int, int]] = (
            int(round(slip_start_s * 1e9)),
            int(round((slip_start_s + slip_duration_s) * 1e9)),
        )
    else:
        slip_interval = None
    sigma_v = 0.01 if noise else 0.0
    sigma_w = 0.005 if noise else 0.0
    scale = 1.0 + wheel_scale_error
    pose_cov = _diag36(WHEEL_POSE_VARIANCES)
    twist_cov = _diag36(WHEEL_TWIST_VARIANCES)
    wheel_estimates = []
    wx = wy = wyaw = 0.0
    prev_t_ns: Optional[int] = None
    prev_v = prev_w = 0.0
    for t_ns in range(0, end_ns + 1, wheel_period_ns):
        v, _, w, _ = profile(t_ns * 1e-9)
        v_m = v * scale + rng.gauss(0.0, sigma_v) if sigma_v else v * scale
        w_m = w * scale + rng.gauss(0.0, sigma_w) if sigma_w else w * scale
        if v == 0.0 and w == 0.0:
            v_m = w_m = 0.0  # encoders of a standing robot read zero, noise or not
        if slip_interval is not None and slip_interval[0] <= t_ns < slip_interval[1]:
            v_m += slip_speed
        if prev_t_ns is not None:
            # Trapezoidal rule over the twist at both ends of the interval, heading at the midpoint.
            step = (t_ns - prev_t_ns) * 1e-9
            v_avg = 0.5 * (v_m + prev_v)
            w_avg = 0.5 * (w_m + prev_w)
            mid_yaw = wyaw + 0.5 * w_avg * step
            wx += v_avg * step * math.cos(mid_yaw)
            wy += v_avg * step * math.sin(mid_yaw)
            wyaw += w_avg * step
        prev_t_ns, prev_v, prev_w = t_ns, v_m, w_m
        wheel_estimates.append(
            WheelReading(
                t_ns,
                "odom",
                "base_link",
                (wx, wy, 0.0),
                quat_from_axis_angle((0.0, 0.0, 1.0), wyaw) if wyaw != 0.0 else IDENTITY_QUAT,
                pose_cov,
                (v_m, 0.0, 0.0),
                (0.0, 0.0, w_m),
                twist_cov,
            )
        )

    # Arrival order. Ties keep the order IMU first, then by stamp.
    deliveries = [Delivery(m.timestamp_ns + 1_000_000, "imu", m) for m in imu_samples]
    lo_ms, hi_ms = late_range_ms
    for m in wheel_estimates:
        if delivery_rng.random() < late_fraction:
            delay_ns = int(round(delivery_rng.uniform(lo_ms, hi_ms) * 1e6))
        else:
            delay_ns = 2_000_000
        deliveries.append(Delivery(m.timestamp_ns + delay_ns, "wheel", m))
    deliveries.sort(key=lambda d: (d.arrival_ns, d.kind != "imu", d.message.timestamp_ns))

    return Recording(
        duration_s=duration_s,
        seed=seed,
        gravity=gravity,
        odom_frame_id="odom",
        base_frame_id="base_link",
        imu_frame_id=imu_frame,
        base_from_imu=base_from_imu,
        imu_rate_hz=imu_rate_hz,
        wheel_rate_hz=wheel_rate_hz,
        imu_noise=imu_noise,
        gyro_bias=gyro_bias,
        accel_bias=accel_bias,
        still_until_ns=int(round(still_s * 1e9)),
        slip_interval_ns=slip_interval,
        ground_truth=ground_truth,
        imu_samples=imu_samples,
        wheel_estimates=wheel_estimates,
        deliveries=deliveries,
    )
