"""The fusion configuration that `velk-odom fuse` proposes for a recording, worked out from its data.

The first `WINDOW_S` seconds of the IMU and odometry topics are read and each choice is explained in
a note, printed as a comment above the proposed YAML:

- the IMU mount: roll and pitch from the specific force (gravity, averaged over the window), yaw from
  how the horizontal specific force follows the wheel speed changes and the centripetal acceleration
  (wheel speed times gyro yaw rate). Both come from one least-squares rotation (Kabsch) between the
  IMU's specific force and the base acceleration the wheels imply, per `BIN_S` bin. /tf_static,
  when it places the IMU, is checked against it;
- wheel odometry: its twist only (a pose integrated from the same twist adds no information), the
  base's lateral and vertical speed held at 0, and the wheel yaw rate when it agrees with the gyro,
  or divided by the steady multiple of the gyro's rate it reads (a skid-steer drive) with a variance
  from its spread against the gyro's;
- an IMU orientation with a real covariance (an AHRS with an absolute heading): an absolute attitude
  source;
- noise densities from the messages' covariances and rate, or the measured spread when larger; a gate
  that recovers from a lock-out; an initialisation that suits how the recording starts.
"""

from __future__ import annotations

import math
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

from velk_odom import _geometry as geo
from velk_odom._native import OdometryFusion
from velk_odom.cli._errors import UserError
from velk_odom.cli._recording import IMU, ODOMETRY, RecordingBase
from velk_odom.ros import TransformBuffer, covariance_diagonal, has_orientation

# Seconds of the recording read for the proposal, and the bin over which IMU samples are averaged
# (long enough for the wheel-speed difference to beat its noise, short against the robot's motion).
WINDOW_S = 60.0
BIN_S = 0.5
GRAVITY = 9.80665
# Figures of a typical MEMS IMU; recordings never carry the random walks. A random walk set too high
# lets the filter move the gyro biases, and with them the heading, on every noisy source row.
MEMS_NOISE = {
    "gyro_noise_density": 1.0e-3,  # rad/s/sqrt(Hz)
    "gyro_random_walk": 2.0e-5,  # rad/s²/sqrt(Hz)
    "accel_noise_density": 1.0e-2,  # m/s²/sqrt(Hz)
    "accel_random_walk": 1.0e-3,  # m/s³/sqrt(Hz)
}
# m/s²/sqrt(Hz): the least accelerometer noise density proposed for a robot that drives on the ground.
DRIVING_ACCEL_NOISE_DENSITY = 0.03
# The specific force beyond which an IMU sample is taken for broken: this many g, or this many times the
# window's 99.9th percentile when the robot really shakes that hard.
MAX_ACCEL_G = 8.0
MAX_ACCEL_FACTOR = 3.0
# Attitude variance (rad²) for an IMU orientation whose message gives no covariance.
ORIENTATION_VARIANCE = 1.0e-4
# Drivers mark a dimension they do not measure with a huge variance (1e3 to 1e6, or more). Such rows
# add no information but widen the outlier gate, whose bound grows with the row count.
UNKNOWN_VARIANCE = 1.0e3
# Wheel twist without covariances: forward speed and yaw rate (m/s)², (rad/s)².
PLANAR_SPEED_VARIANCE = 1.0e-2
PLANAR_YAW_RATE_VARIANCE = 1.0e-2
# (m/s)²: the base of a ground robot moves neither sideways nor along its own z axis.
GROUND_LATERAL_SPEED_VARIANCE = 1.0e-3
GROUND_VERTICAL_SPEED_VARIANCE = 1.0e-4
# Largest relative disagreement of the wheel yaw rate with the gyro's for the wheels' to be fused.
YAW_RATE_AGREEMENT = 0.15
# Yaw rate (rad/s) above which a bin counts as turning for the comparison.
TURNING_RATE = 0.05
# A data-derived mount is trusted in yaw when its standard error is below this (degrees).
MOUNT_YAW_STD_DEG = 3.0
# /tf_static and the data may disagree by this much before a warning (degrees).
MOUNT_DISAGREEMENT_DEG = 10.0
# A bin whose residual exceeds this many times the median residual (and MIN_OUTLIER_M_S2) is left
# out of the mount fit: a slip, a bump, a spike.
OUTLIER_FACTOR = 3.0
# Fewest bins with both IMU and wheel data for a mount from the motion.
MIN_MOTION_BINS = 6
# A lever arm from the data is used when the turns pin it down to this (m); fitted in turn with the
# rotation this many times.
LEVER_STD_M = 0.05
LEVER_ITERATIONS = 3
MIN_OUTLIER_M_S2 = 0.3
# The engine's defaults that the proposal writes out, so that the file shows them, or builds on: the
# frame names; the data time of lock-out after which the filter takes a refused source back; the time
# without stillness after which it starts from the wheel speed instead; its stillness limit (rad/s).
ENGINE_DEFAULTS: Dict[str, Any] = OdometryFusion.CONFIG_DEFAULTS
GATE_RECOVERY_SECONDS = ENGINE_DEFAULTS["gate_recovery_seconds"]
INIT_MOVING_AFTER_SECONDS = ENGINE_DEFAULTS["init_moving_after_seconds"]
INIT_GYRO_LIMIT = ENGINE_DEFAULTS["imus"][0]["init_gyro_limit"]
# The initial bias standard deviation after a still start: this many times the averaging's standard
# error, and no less than MIN_INIT_BIAS_STD (rad/s, m/s²).
INIT_BIAS_STD_FACTOR = 1.5
MIN_INIT_BIAS_STD = 3.0e-4
# The initial bias standard deviation when a source measures heading or yaw rate (m/s², rad/s): above the
# engine's default, so that the filter learns part of the accelerometer bias a still start cannot measure
# rather than turning the heading against the sources' speed rows; well below a MEMS accelerometer's bias
# spread all the same, or a slipping wheel's speed is taken for an accelerometer bias and followed.
INIT_BIAS_STD_WITH_HEADING = 0.015
# m/s²: the bias spread of a MEMS accelerometer, for a start that measures none of it.
MEMS_ACCEL_BIAS_STD = 0.05
WHEEL_STILL_SPEED = 0.01  # m/s
# Seconds at the start over which a steady gyro reading is taken for its bias at rest, and the largest
# bias so taken (rad/s): a steadier, larger rate is a turn, not a MEMS bias.
GYRO_OFFSET_WINDOW_S = 0.5
# m/s² and s: a specific force that moves this far off its reading at the start, averaged over this
# span (a bump or a humming motor averages out, a start does not), ends the initial stillness.
STILL_ACCEL_CHANGE = 0.3
STILL_ACCEL_SMOOTH_S = 0.2
MAX_GYRO_OFFSET = 0.3
# At rest the specific force reads gravity; off by more than this fraction of it, the accelerometer is
# taken for broken (no gravity, wrong units) and neither mount nor stillness is built on it.
GRAVITY_TOLERANCE = 0.1
# Seconds over which the wheels' speed change is compared with the accelerometer's integral.
CONSISTENCY_SPAN_S = 1.0


@dataclass
class _Series:
    """Stamps (s, from the window start) and values of one topic within the window."""

    t: List[float] = field(default_factory=list)
    a: List[Tuple[float, ...]] = field(default_factory=list)
    b: List[Tuple[float, ...]] = field(default_factory=list)
    first: Any = None
    o: List[Tuple[float, ...]] = field(default_factory=list)  # IMU orientations (x, y, z, w), when given


@dataclass
class MountEstimate:
    """base_from_imu rotation from the data and how well the data determine it."""

    rotation: geo.Quat
    yaw_std_deg: float  # inf when the motion does not determine the yaw
    bins: int
    left_out: int
    lever: Optional[geo.Vec3] = None  # IMU origin in the base frame (z taken as 0), when the turns determine it

    @property
    def yaw_known(self) -> bool:
        return self.yaw_std_deg < MOUNT_YAW_STD_DEG


def _read_window(bag: RecordingBase, imu_topics: List[str], odom_topics: List[str]) -> Dict[str, _Series]:
    series = {t: _Series() for t in imu_topics + odom_topics}
    end_ns = bag.start_ns + int(WINDOW_S * 1e9)
    for m in bag.messages(list(series), "recorded"):
        if m.record_ns > end_ns:
            break
        s = series[m.topic]
        t = (m.stamp_ns - bag.start_ns) * 1e-9
        if s.first is None:
            s.first = m.msg
        if m.msgtype == IMU:
            av, la = m.msg.angular_velocity, m.msg.linear_acceleration
            s.t.append(t)
            s.a.append((av.x, av.y, av.z))
            s.b.append((la.x, la.y, la.z))
            if has_orientation(m.msg):
                q = m.msg.orientation
                s.o.append((q.x, q.y, q.z, q.w))
        else:
            tw = m.msg.twist.twist
            s.t.append(t)
            s.a.append((tw.linear.x, tw.linear.y, tw.linear.z))
            s.b.append((tw.angular.x, tw.angular.y, tw.angular.z))
    return series


def _binned(t: Any, values: Any, edges: Any, reduce: Any) -> Any:
    import numpy as np

    out = np.full((len(edges) - 1, values.shape[1]), np.nan)
    idx = np.searchsorted(t, edges)
    for i in range(len(edges) - 1):
        lo, hi = idx[i], idx[i + 1]
        if hi - lo >= 1:
            out[i] = reduce(values[lo:hi], axis=0)
    return out


def _kabsch(f: Any, b: Any, weight: Any) -> Any:
    """The rotation R minimising sum weight_i |R f_i - b_i|²."""
    import numpy as np

    u, _, vt = np.linalg.svd((b * weight[:, None]).T @ f)
    d = np.diag([1.0, 1.0, np.sign(np.linalg.det(u @ vt))])
    return u @ d @ vt


def _quat_from_matrix(r: Any) -> geo.Quat:
    return tuple(float(c) for c in geo.matrix_to_quat(r))  # type: ignore[return-value]


def _tilt_only(up: Any) -> Any:
    """The rotation with horizontal axis turning ``up`` (IMU axes) onto +z; a half turn about x when
    the IMU is upside down."""
    import numpy as np

    u = up / np.linalg.norm(up)
    c = np.cross(u, [0.0, 0.0, 1.0])
    s = np.linalg.norm(c)
    if s < 1e-12:
        return np.eye(3) if u[2] > 0 else np.diag([1.0, -1.0, -1.0])
    return geo.rotation_matrix(geo.quat_from_axis_angle(c / s, math.atan2(s, u[2])))


def estimate_mount(imu: _Series, wheel: Optional[_Series], still_s: float = 0.0) -> Tuple[MountEstimate, Dict[str, Any]]:
    """The IMU's mount rotation from the window's data, and per-bin series (IMU axes and base axes)
    that the other choices reuse. Bins within the first ``still_s`` seconds (the robot at rest)
    weigh as much as all the others together in roll and pitch: gravity at rest is the cleanest
    reference."""
    import numpy as np

    t = np.asarray(imu.t)
    gyro = np.asarray(imu.a, dtype=float)
    accel = np.asarray(imu.b, dtype=float)
    order = np.argsort(t, kind="stable")
    t, gyro, accel = t[order], gyro[order], accel[order]
    t0, t1 = t[0], t[-1]
    if wheel is not None and wheel.t:
        t0, t1 = max(t0, min(wheel.t)), min(t1, max(wheel.t))
    edges = np.arange(t0, t1 + 1e-9, BIN_S)
    if len(edges) < 2:
        edges = np.array([t[0], t[-1] + 1e-9])
    # Medians, so that one wild sample does not move a bin.
    f = _binned(t, accel, edges, np.median)
    w = _binned(t, gyro, edges, np.median)
    ok = np.all(np.isfinite(f), axis=1)
    up = np.mean(f[ok], axis=0) if ok.any() else np.zeros(3)
    if not (np.all(np.isfinite(up)) and np.linalg.norm(up) > 0.0):
        return MountEstimate(geo.IDENTITY_QUAT, math.inf, 0, 0), {"f": f, "w": w, "r": np.eye(3)}
    # The rate's mean too, as the wheels' yaw rate is binned: a median follows a turn's changing rate
    # differently, enough to take a multiple of it for several parts in a thousand less.
    bins: Dict[str, Any] = {"f": f, "w": w, "w_mean": _binned(t, gyro, edges, np.mean), "centres": 0.5 * (edges[:-1] + edges[1:])}
    if wheel is not None and len(wheel.t) >= 3:
        estimate = _mount_from_motion(f, w, up, ok, edges, wheel, still_s, bins)
        if estimate is not None:
            return estimate, bins
    r = _tilt_only(up)
    bins["r"] = r
    return MountEstimate(_quat_from_matrix(r), math.inf, int(ok.sum()), 0), bins


def _mount_from_motion(
    f: Any, w: Any, up: Any, ok: Any, edges: Any, wheel: _Series, still_s: float, bins: Dict[str, Any]
) -> Optional[MountEstimate]:
    """The full rotation by least squares between the IMU's binned specific force and the base
    acceleration the wheels imply, or None when too few bins hold both."""
    import numpy as np

    wt = np.asarray(wheel.t)
    wo = np.argsort(wt, kind="stable")
    speed = _binned(wt[wo], np.asarray(wheel.a, dtype=float)[wo][:, :1], edges, np.mean)[:, 0]
    wheel_yaw = _binned(wt[wo], np.asarray(wheel.b, dtype=float)[wo][:, 2:3], edges, np.mean)[:, 0]
    dvdt = np.full(len(speed), np.nan)
    dvdt[1:-1] = (speed[2:] - speed[:-2]) / (2.0 * BIN_S)
    yaw_rate = w @ (up / np.linalg.norm(up))  # about the gravity axis, whatever the mount's yaw
    alpha = np.full(len(yaw_rate), np.nan)
    alpha[1:-1] = (yaw_rate[2:] - yaw_rate[:-2]) / (2.0 * BIN_S)
    base = np.stack([dvdt, speed * yaw_rate, np.full(len(speed), GRAVITY)], axis=1)
    ok = ok & np.all(np.isfinite(base), axis=1) & np.isfinite(alpha)
    if ok.sum() < MIN_MOTION_BINS:
        return None
    at_rest = bins["centres"] < edges[0] + still_s
    weight = np.where(at_rest, max(1.0, float(ok.sum())) / max(1, int((at_rest & ok).sum())), 1.0)
    sel = np.flatnonzero(ok)
    lever: Optional[geo.Vec3] = None
    # The lever arm adds to the IMU's specific force what the turns make of it, and a yaw fitted
    # without it takes some of that: fit both in turn.
    for _ in range(LEVER_ITERATIONS):
        rx, ry = (lever[0], lever[1]) if lever is not None else (0.0, 0.0)
        w2 = yaw_rate**2
        at_imu = base + np.stack([-w2 * rx - alpha * ry, -w2 * ry + alpha * rx, np.zeros(len(w2))], axis=1)
        r = _kabsch(f[sel], at_imu[sel], weight[sel])
        res = np.linalg.norm(f[ok] @ r.T - at_imu[ok], axis=1)
        keep = res <= max(OUTLIER_FACTOR * float(np.median(res)), MIN_OUTLIER_M_S2)
        sel = np.flatnonzero(ok)[keep]
        r = _kabsch(f[sel], at_imu[sel], weight[sel])
        lever = _lever((f[sel] @ r.T - base[sel])[:, :2], yaw_rate[sel], alpha[sel])
    horizontal = at_imu[sel, :2]
    residual_xy = (f[sel] @ r.T - at_imu[sel])[:, :2]
    excitation = float(np.sum(horizontal**2))
    # Yaw standard error: the horizontal residual against the horizontal excitation.
    sigma = float(np.sqrt(np.mean(residual_xy**2) / 2.0)) if len(sel) > 1 else math.inf
    yaw_std = math.degrees(sigma / math.sqrt(excitation)) if excitation > 0.0 else math.inf
    bins.update(r=r, speed=speed, wheel_yaw=wheel_yaw)
    return MountEstimate(_quat_from_matrix(r), yaw_std, len(sel), int(ok.sum()) - len(sel), lever)


def _lever(residual_xy: Any, rate: Any, alpha: Any) -> Optional[geo.Vec3]:
    """The IMU's horizontal offset r from the base origin, from what the turns add to its specific
    force: e_x = -w² r_x - a r_y, e_y = -w² r_y + a r_x (w yaw rate, a its rate of change). None
    when the turns leave it uncertain by more than LEVER_STD_M."""
    import numpy as np

    w2 = rate**2
    ok = np.isfinite(alpha) & np.isfinite(w2)
    rows = np.concatenate([np.stack([-w2[ok], -alpha[ok]], axis=1), np.stack([alpha[ok], -w2[ok]], axis=1)])
    rhs = np.concatenate([residual_xy[ok, 0], residual_xy[ok, 1]])
    if len(rhs) < 8:
        return None
    normal = rows.T @ rows
    if np.linalg.cond(normal) > 1e8:
        return None
    r = np.linalg.solve(normal, rows.T @ rhs)
    sigma2 = float(np.sum((rows @ r - rhs) ** 2)) / max(1, len(rhs) - 2)
    std = math.sqrt(sigma2 * float(np.max(np.diag(np.linalg.inv(normal)))))
    return (float(r[0]), float(r[1]), 0.0) if std < LEVER_STD_M else None


def wheel_consistency_density(imu: _Series, wheel: _Series, mount: geo.Quat) -> Optional[float]:
    """The accelerometer noise density (m/s²/sqrt(Hz)) that the wheels' forward speed allows: over each
    CONSISTENCY_SPAN_S the speed change against the integral of the forward acceleration the IMU reads
    (gravity removed along the IMU's own orientation when it gives one, else as the window's mean, a
    ground robot being level on average), their robust spread divided by the span's square root. What the
    accelerometer misses of a hard stop (a low sample rate, a knock) shows here, and a filter that trusts
    it more refuses the wheels exactly then. None without enough overlap."""
    import numpy as np

    t = np.asarray(imu.t)
    f = np.asarray(imu.b, dtype=float) @ geo.rotation_matrix(mount).T  # base axes
    if len(imu.o) == len(imu.t):
        # World-frame acceleration along the base's forward axis: R_wb = R_wi R_ib.
        r_wb = np.array([geo.rotation_matrix(tuple(q)) for q in imu.o]) @ geo.rotation_matrix(mount).T
        a_world = np.einsum("nij,nj->ni", r_wb, f) - np.array([0.0, 0.0, GRAVITY])
        forward = np.einsum("ni,ni->n", a_world, r_wb[:, :, 0])
    else:
        forward = f[:, 0] - np.nanmean(f[:, 0])
    wt = np.asarray(wheel.t)
    if len(wt) < 3 or len(t) < 10:
        return None
    edges = np.arange(max(t[0], wt.min()), min(t[-1], wt.max()), BIN_S)
    if len(edges) < 8:
        return None
    acc = _binned(t, forward[:, None], edges, np.mean)[:, 0]
    order = np.argsort(wt, kind="stable")
    speed = _binned(wt[order], np.asarray(wheel.a, dtype=float)[order][:, :1], edges, np.mean)[:, 0]
    k = max(1, int(round(CONSISTENCY_SPAN_S / BIN_S)))
    ok = np.isfinite(acc) & np.isfinite(speed)
    cum = np.concatenate([[0.0], np.cumsum(np.where(ok, acc, 0.0) * BIN_S)])
    gaps = []
    for i in range(len(speed) - k):
        if ok[i : i + k + 1].all():
            # Speed change between bin centres against the acceleration integrated between them.
            integral = cum[i + k] - cum[i + 1] + 0.5 * (acc[i] + acc[i + k]) * BIN_S
            gaps.append(speed[i + k] - speed[i] - integral)
    if len(gaps) < 8:
        return None
    g = np.asarray(gaps)
    spread = 1.4826 * float(np.median(np.abs(g - np.median(g))))
    return spread / math.sqrt(k * BIN_S)


def _density(cov: Any, rate: Optional[float]) -> Optional[float]:
    # A per-sample variance v at rate f is a white-noise density sqrt(v / f).
    values = [float(v) for v in list(cov)]
    var = values[0] if values else 0.0
    if var > 0.0 and math.isfinite(var) and rate:
        return math.sqrt(var / rate)
    return None


def _measured_density(values: Any, rate: float) -> float:
    """White-noise density from sample-to-sample differences, by their median absolute deviation so
    that a single wild sample does not count."""
    import numpy as np

    d = np.diff(np.asarray(values, dtype=float), axis=0)
    if len(d) < 10:
        return 0.0
    mad = np.median(np.abs(d - np.median(d, axis=0)), axis=0)
    sigma = 1.4826 * float(np.max(mad)) / math.sqrt(2.0)
    return sigma / math.sqrt(rate)


def _initial_stillness(imu: _Series, wheel: Optional[_Series]) -> Tuple[float, Any]:
    """Seconds from the start during which the gyro stays within the engine's stillness limit of its
    reading over the first GYRO_OFFSET_WINDOW_S and the wheels (if any) read no speed, and that reading
    (rad/s, IMU axes): a steady offset at rest is the gyro's bias, not motion."""
    import numpy as np

    t = np.asarray(imu.t)
    gyro = np.asarray(imu.a, dtype=float)
    first = gyro[t <= t[0] + GYRO_OFFSET_WINDOW_S]
    offset = np.median(first, axis=0) if len(first) else np.zeros(3)
    if not np.all(np.isfinite(offset)) or np.linalg.norm(offset) > MAX_GYRO_OFFSET:
        offset = np.zeros(3)
    moving = np.linalg.norm(gyro - offset, axis=1) > INIT_GYRO_LIMIT
    # Without wheels only the accelerometer tells a start along a straight line from rest: its reading,
    # averaged over STILL_ACCEL_SMOOTH_S against the first one, moves off by more than STILL_ACCEL_CHANGE.
    accel = np.asarray(imu.b, dtype=float)
    first_f = accel[t <= t[0] + GYRO_OFFSET_WINDOW_S]
    if len(first_f) and np.all(np.isfinite(accel)):
        change = np.linalg.norm(accel - np.median(first_f, axis=0), axis=1)
        k = max(1, int(np.sum(t <= t[0] + STILL_ACCEL_SMOOTH_S)))
        moving |= np.convolve(change, np.ones(k) / k, mode="same") > STILL_ACCEL_CHANGE
    end = float(t[np.argmax(moving)]) if moving.any() else float(t[-1])
    if wheel is not None and wheel.t:
        order = np.argsort(np.asarray(wheel.t), kind="stable")  # the recording's order may hold late messages
        wt = np.asarray(wheel.t)[order]
        speed = np.asarray(wheel.a, dtype=float)[order, 0]
        rolling = np.abs(speed) > WHEEL_STILL_SPEED
        # Speeds before a jump no robot makes (beyond MAX_ACCEL_G from one message to the next) are a driver's
        # glitch, not motion: the stillness is judged from the speeds after it.
        jumps = np.flatnonzero(np.abs(np.diff(speed)) > MAX_ACCEL_G * GRAVITY * np.maximum(np.diff(wt), 1e-3))
        jumps = jumps[wt[jumps + 1] <= end]  # while the gyro holds still
        if len(jumps):
            rolling[: jumps[-1] + 1] = False
        if rolling.any():
            end = min(end, float(wt[np.argmax(rolling)]))
    still = max(0.0, end - float(t[0]))
    return still, (offset if still >= GYRO_OFFSET_WINDOW_S else np.zeros(3))


def _force_at_rest(imu: _Series, still_s: float) -> float:
    """The specific force's norm (m/s²) over the initial stillness, or its median over the window when
    the recording starts moving (a ground robot's mean specific force is gravity all the same)."""
    import numpy as np

    t = np.asarray(imu.t)
    f = np.asarray(imu.b, dtype=float)
    at_rest = f[t <= t[0] + still_s] if still_s >= GYRO_OFFSET_WINDOW_S else f
    at_rest = at_rest[np.all(np.isfinite(at_rest), axis=1)]
    return float(np.linalg.norm(np.median(at_rest, axis=0))) if len(at_rest) else math.nan


def _max_accel(topic: str, s: _Series, notes: List[str]) -> float:
    """A bound on the specific force that only a broken sample exceeds."""
    import numpy as np

    norms = np.linalg.norm(np.asarray(s.b, dtype=float), axis=1)
    limit = max(MAX_ACCEL_G * GRAVITY, MAX_ACCEL_FACTOR * float(np.percentile(norms, 99.9)))
    wild = int(np.sum(norms > limit))
    notes.append(
        f"topics.{topic}.max_accel: samples reading more than {limit / GRAVITY:.0f} g are dropped (a shock on the board, not "
        f"motion of the robot)" + (f"; {wild} such in the data read" if wild else "")
    )
    return round(limit, 1)


def _deg(q: geo.Quat) -> str:
    roll, pitch, yaw = (math.degrees(a) for a in geo.roll_pitch_yaw(q))
    return f"roll {roll:.1f}, pitch {pitch:.1f}, yaw {yaw:.1f} deg"


def _angle_deg(a: geo.Quat, b: geo.Quat) -> float:
    return math.degrees(geo.rotation_angle(geo.quat_mul(geo.quat_conj(a), b)))


def _choose_mount(
    topic: str, estimate: MountEstimate, from_tf: Optional[geo.Pair], contradiction_deg: Optional[float],
    notes: List[str], warnings: List[str],
) -> geo.Pair:
    """The mount to use: the declared one (/tf_static) unless the recording's motion contradicts it by
    more than MOUNT_DISAGREEMENT_DEG (``contradiction_deg``); the data's when none is declared."""
    where = f"topics.{topic}.base_from_imu"
    lever = from_tf[0] if from_tf is not None else (estimate.lever or (0.0, 0.0, 0.0))
    lever_note = (
        ""
        if from_tf is not None
        else f"; lever arm from the turns ({lever[0]:.2f}, {lever[1]:.2f}, 0) m: measure it and set it here"
        if estimate.lever is not None
        else "; lever arm unknown (no /tf_static, too little turning), 0 assumed: measure it and set it here"
    )
    data_q = estimate.rotation
    if from_tf is not None:
        # A declared mount stands: gravity at rest says nothing against it (the base need not be level), only
        # the motion can (the gyro's turning axis against the wheels' yaw rate, the forward specific force
        # against their speed changes).
        if contradiction_deg is not None and contradiction_deg > MOUNT_DISAGREEMENT_DEG and estimate.yaw_known:
            warnings.append(
                f"{where}: /tf_static ({_deg(from_tf[1])}) is contradicted by the recording's motion by {contradiction_deg:.0f} deg "
                f"(gyro turns against the wheels' yaw rate, specific force against their speed changes); using the motion's "
                f"rotation ({_deg(data_q)}). Check the IMU's frame in the robot description"
            )
            notes.append(f"{where}: the motion's rotation ({_deg(data_q)}), /tf_static ({_deg(from_tf[1])}) being contradicted by it")
            return from_tf[0], data_q
        check = (
            f"the motion agrees within {contradiction_deg:.1f} deg" if contradiction_deg is not None
            else "the motion is too little to check it"
        )
        notes.append(f"{where}: from /tf_static ({_deg(from_tf[1])}), the declared mount; {check}")
        return from_tf
    if not estimate.yaw_known:
        notes.append(
            f"{where}: roll and pitch from gravity ({_deg(data_q)}); the first {WINDOW_S:g} s hold too little "
            "acceleration and turning to find the yaw, so it is a guess: measure it and set it here" + lever_note
        )
        return lever, data_q
    detail = f"{estimate.bins} bins of {BIN_S:g} s, yaw to +-{estimate.yaw_std_deg:.1f} deg" + (
        f", {estimate.left_out} bins left out as outliers" if estimate.left_out else ""
    )
    notes.append(
        f"{where}: rotation from the data ({_deg(data_q)}): roll and pitch from gravity, yaw from the forward and "
        f"centripetal acceleration the wheels imply ({detail})"
        + lever_note
    )
    return lever, data_q


def motion_contradiction_deg(bins: Dict[str, Any], declared: geo.Quat) -> Optional[float]:
    """How far (degrees) the recording's motion puts the base axes from where the declared base_from_imu
    rotation puts them, in IMU axes: the gyro's turning axis (signed by the wheels' yaw rate) against
    base z, the specific force's change with the wheel speed against base x (horizontal parts). None when
    the motion holds too little turning and speed change for either."""
    import numpy as np

    if "speed" not in bins:
        return None
    r = geo.rotation_matrix(declared)
    up, forward = r.T @ np.array([0.0, 0.0, 1.0]), r.T @ np.array([1.0, 0.0, 0.0])
    f, w, speed, wheel_yaw = bins["f"], bins["w"], bins["speed"], bins["wheel_yaw"]
    angles = []
    turning = np.isfinite(wheel_yaw) & np.all(np.isfinite(w), axis=1) & (np.abs(wheel_yaw) > TURNING_RATE)
    if turning.sum() >= 4:
        signed = np.sign(wheel_yaw[turning])[:, None] * w[turning]
        axis = signed.sum(axis=0)
        # Only when the turns agree on their axis (a wheel yaw rate of the wrong sign half the time does not).
        if np.linalg.norm(axis) > 0.7 * float(np.sum(np.linalg.norm(signed, axis=1))):
            angles.append(math.degrees(math.acos(float(np.clip(axis @ up / np.linalg.norm(axis), -1.0, 1.0)))))
    dvdt = np.full(len(speed), np.nan)
    dvdt[1:-1] = (speed[2:] - speed[:-2]) / (2.0 * BIN_S)
    # The centripetal acceleration (speed times the yaw rate about up) is fitted beside it: the speed changes
    # where the turns start and end, and without it the lateral force turns the forward axis.
    centripetal = speed * (w @ up)
    ok = np.isfinite(dvdt) & np.all(np.isfinite(f), axis=1) & np.isfinite(centripetal)
    if ok.sum() >= MIN_MOTION_BINS:
        d = dvdt[ok] - dvdt[ok].mean()
        if np.sum(np.abs(d) > 0.1) >= MIN_MOTION_BINS // 2:
            a = np.stack([d, centripetal[ok] - centripetal[ok].mean()], axis=1)
            x = np.linalg.lstsq(a, f[ok] - f[ok].mean(axis=0), rcond=None)[0][0]  # the specific force per unit of forward acceleration
            x_h = x - (x @ up) * up
            if np.linalg.norm(x_h) > 0.5:
                angles.append(math.degrees(math.acos(float(np.clip(x_h @ forward / np.linalg.norm(x_h), -1.0, 1.0)))))
    return max(angles) if angles else None


def _level_by(rotation: geo.Quat, up_imu: Any) -> geo.Quat:
    """``rotation`` (base_from_imu) turned about a horizontal axis so that it maps ``up_imu`` (IMU axes)
    onto base +z, its heading kept."""
    import numpy as np

    r = geo.rotation_matrix(rotation)
    u = r @ (up_imu / np.linalg.norm(up_imu))
    return _quat_from_matrix(_tilt_only(u) @ r)


def _tilt_of(q: geo.Quat) -> geo.Quat:
    """The part of base_from_imu that decides where gravity points: q with its yaw removed."""
    return geo.quat_mul(geo.quat_from_axis_angle((0.0, 0.0, 1.0), -geo.yaw_of(q)), q)


@dataclass
class YawRateCheck:
    """The wheel yaw rate against the gyro's (base z) over the window's bins."""

    ratio: Optional[float]  # slope of the wheel rate against the gyro's; None with too little turning
    turning_s: float  # seconds of turning it rests on
    ratio_std: float = math.inf  # standard error of the slope, relative to it
    scaled_spread: float = math.inf  # (rad/s)²: variance over the bins of the wheel rate / ratio less the gyro's


def _wheel_yaw_ratio(bins: Dict[str, Any]) -> YawRateCheck:
    import numpy as np

    if "wheel_yaw" not in bins:
        return YawRateCheck(None, 0.0)
    gz = (bins["w_mean"] @ bins["r"].T)[:, 2]
    wz = bins["wheel_yaw"]
    both = np.isfinite(gz) & np.isfinite(wz)
    ok = both & (np.abs(gz) > TURNING_RATE)
    if ok.sum() < 4:
        return YawRateCheck(None, float(ok.sum()) * BIN_S)
    # Fitted with an offset, over the straight stretches too: the gyro's bias is in its rate, and turns
    # mostly one way would otherwise take it for part of the slope.
    g, w = gz[both] - gz[both].mean(), wz[both] - wz[both].mean()
    ratio = float(np.sum(w * g) / np.sum(g**2))
    check = YawRateCheck(ratio, float(ok.sum()) * BIN_S)
    if ratio > 0.0:
        residual = w - ratio * g
        check.ratio_std = math.sqrt(float(np.sum(residual**2)) / (both.sum() - 2) / float(np.sum(g**2))) / ratio
        # That the wheels read no turn where the gyro reads none is what the scaled rate tells the filter
        # about the gyro's bias; the spread is about the mean, the bias the filter estimates.
        check.scaled_spread = float(np.var(residual / ratio))
    return check


def _imu_entry(
    topic: str, frame: str, s: _Series, rate: Optional[float], still_s: float, gyro_offset: Any, notes: List[str],
    declared: Optional[Tuple[Dict[str, float], str]] = None, driving: bool = True,
) -> Dict[str, Any]:
    """The `imus` entry of one IMU topic. ``declared``: the noise figures the recording declares (a dataset's
    sensor file) and where; ``driving``: a wheeled robot carries the IMU."""
    m = s.first
    figures, origin = declared or ({}, "")
    density: Dict[str, float] = {}
    for key, cov, values in (
        ("gyro_noise_density", m.angular_velocity_covariance, s.a),
        ("accel_noise_density", m.linear_acceleration_covariance, s.b),
    ):
        stated = _density(cov, rate)
        measured = _measured_density(values, rate) if rate else 0.0
        if key in figures and figures[key] > 0.0 and figures[key] >= measured:
            density[key] = figures[key]
            notes.append(f"imus.{frame}.{key}: from {origin}")
        elif stated is not None and stated >= measured:
            density[key] = stated
            notes.append(f"imus.{frame}.{key}: from the messages' covariance and rate ({rate:.0f} Hz)")
        elif measured > 0.0:
            density[key] = measured
            why = f"larger than the messages' covariance gives ({stated:.2g})" if stated is not None else "the messages give no covariance"
            notes.append(f"imus.{frame}.{key}: the spread measured between samples, vibration included ({why})")
        else:
            density[key] = MEMS_NOISE[key]
            notes.append(f"imus.{frame}.{key}: a typical MEMS value; take yours from the IMU's datasheet")
    if driving and density["accel_noise_density"] < DRIVING_ACCEL_NOISE_DENSITY:
        density["accel_noise_density"] = DRIVING_ACCEL_NOISE_DENSITY
        notes.append(
            f"imus.{frame}.accel_noise_density: raised to {DRIVING_ACCEL_NOISE_DENSITY:g}: on a driving robot the accelerometer "
            "also reads bumps and a bias the filter cannot tell from tilt, and trusted more it pulls the heading off the wheels"
        )
    entry: Dict[str, Any] = {
        "frame_id": frame,
        "gyro_noise_density": density["gyro_noise_density"],
        "gyro_random_walk": MEMS_NOISE["gyro_random_walk"],
        "accel_noise_density": density["accel_noise_density"],
        "accel_random_walk": MEMS_NOISE["accel_random_walk"],
    }
    for key in ("gyro_random_walk", "accel_random_walk"):
        if figures.get(key, 0.0) > 0.0:
            entry[key] = figures[key]
            notes.append(f"imus.{frame}.{key}: from {origin}")
        else:
            notes.append(f"imus.{frame}.{key}: a typical MEMS value (the recording does not declare it)")
    if rate:
        # Average as much of the initial standstill as there is, up to 10 s.
        entry["init_samples"] = int(max(20, min(10.0 * rate, 0.8 * still_s * rate if still_s >= 1.0 else 0.5 * rate)))
    notes.append(
        f"imus.{frame}.init_samples: the robot holds still for the first {still_s:.1f} s"
        if still_s >= 1.0
        else f"imus.{frame}.init_samples: the recording starts moving ({still_s:.1f} s still)"
    )
    offset = math.sqrt(sum(float(c) ** 2 for c in gyro_offset))
    if offset > 0.5 * INIT_GYRO_LIMIT:
        # A gyro that reads a steady offset at rest holds still all the same: the limit sits that far above the
        # engine's, so that the filter starts at rest and takes the offset for the gyro bias it starts from.
        entry["init_gyro_limit"] = math.ceil((offset + INIT_GYRO_LIMIT) * 1000.0) / 1000.0
        notes.append(
            f"imus.{frame}.init_gyro_limit: the gyro reads a steady {offset:.3f} rad/s at rest (its bias), so the stillness "
            f"limit is that plus {INIT_GYRO_LIMIT:g}"
        )
    return entry


def _wheel_twist_variances(m: Any, check: YawRateCheck, wheel_rate: Optional[float], where: str, notes: List[str]) -> Tuple[List[float], Optional[float]]:
    """The twist variances of a wheel odometry source, and the factor its yaw rate is to be multiplied by
    (None: as it is)."""
    diag = covariance_diagonal(m.twist.covariance)
    known = [0.0 < v < UNKNOWN_VARIANCE and math.isfinite(v) for v in diag]
    var = [
        -1.0 if known[0] else PLANAR_SPEED_VARIANCE,
        -1.0 if known[1] else GROUND_LATERAL_SPEED_VARIANCE,
        GROUND_VERTICAL_SPEED_VARIANCE,
        0.0,
        0.0,
        -1.0 if known[5] else PLANAR_YAW_RATE_VARIANCE,
    ]
    notes.append(
        f"{where}.twist_variances: forward speed{' (message covariance, -1)' if known[0] else ''}; the base's lateral and "
        "vertical speed held at 0 as on a ground robot (set [1] and [2] to 0 for one that slides or climbs)"
    )
    ratio, turning_s = check.ratio, check.turning_s
    if ratio is None:
        var[5] = 0.0
        notes.append(f"{where}.twist_variances[5]: wheel yaw rate left out: the first {WINDOW_S:g} s hold too little turning to check it against the gyro")
    elif abs(ratio - 1.0) <= YAW_RATE_AGREEMENT:
        notes.append(f"{where}.twist_variances[5]: wheel yaw rate used: it agrees with the gyro (ratio {ratio:.2f} over {turning_s:.0f} s of turning)")
    elif ratio > 0.0 and check.ratio_std <= YAW_RATE_AGREEMENT and wheel_rate and math.isfinite(check.scaled_spread):
        # A steady multiple of the turn (a skid-steer drive, a wrong track width): divided by it, the wheel rate
        # still tells the gyro's bias on every straight stretch. Its variance per message is the spread of the
        # bins' scaled rate against the gyro's, times the messages a bin averages, and no less than what the
        # messages state for it once scaled: the turns' own disagreement is then no surprise to the filter.
        stated = diag[5] if known[5] else 0.0
        var[5] = max(check.scaled_spread * wheel_rate * BIN_S, stated / ratio**2)
        notes.append(
            f"{where}.twist_variances[5]: wheel yaw rate used divided by {ratio:.2f}, the multiple of the gyro's it reads over "
            f"{turning_s:.0f} s of turning (skid steering, or a wrong track width; topics yaw_rate_scale); variance "
            f"{var[5]:.2g}, from its spread against the gyro's"
        )
        return var, 1.0 / ratio
    else:
        var[5] = 0.0
        notes.append(
            f"{where}.twist_variances[5]: wheel yaw rate left out: it is {ratio:.2f} times the gyro's over {turning_s:.0f} s of "
            "turning, not a steady multiple of it"
        )
    return var, None


@dataclass
class _Proposal:
    """The proposal as it is worked out: the configuration's parts, the notes that explain them and the
    warnings to show."""

    config: Dict[str, Any]
    notes: List[str] = field(default_factory=list)
    warnings: List[str] = field(default_factory=list)
    imus: List[Dict[str, Any]] = field(default_factory=list)
    sample_sigmas: List[float] = field(default_factory=list)  # per IMU: the gyro's noise per sample (rad/s)
    sources: List[Dict[str, Any]] = field(default_factory=list)
    topics: Dict[str, Dict[str, Any]] = field(default_factory=dict)
    still_s: float = math.inf  # the shortest initial stillness of the IMUs
    yaw_check: Optional[YawRateCheck] = None  # the wheel yaw rate against the gyro's (first IMU)


def propose_config(bag: RecordingBase, tf: TransformBuffer) -> Tuple[Dict[str, Any], List[str], List[str]]:
    """A configuration for the recording's IMU and odometry topics, the notes that explain it and the
    warnings to show (a mount that /tf_static contradicts)."""
    imu_topics, odom_topics = _fusable_topics(bag)
    data = _read_window(bag, imu_topics, odom_topics)
    output_frame = _output_frame(data, odom_topics)
    wheel_topic = next((t for t in odom_topics if len(data[t].t) > 2), None)
    wheel = data[wheel_topic] if wheel_topic is not None else None
    p = _Proposal({"odom_frame_id": ENGINE_DEFAULTS["odom_frame_id"], "output_frame_id": output_frame})
    used_frames: set = set()
    for t in imu_topics:
        if len(data[t].t) >= 10:
            _propose_imu(p, bag, tf, t, _imu_frame(t, data[t].first, used_frames), data[t], wheel, output_frame)
    _propose_odom_sources(p, bag, data, odom_topics, wheel_topic, output_frame)
    if p.imus:
        p.config["imus"] = p.imus
        _propose_initial_stds(p)
        _propose_recovery_and_start(p, wheel)
    p.config["odom_sources"] = p.sources
    if not p.sources:
        p.notes.append("no odometry topic: the IMU alone dead-reckons, and its position drifts quickly")
    p.config["topics"] = p.topics
    return p.config, p.notes, p.warnings


def _fusable_topics(bag: RecordingBase) -> Tuple[List[str], List[str]]:
    """The IMU and the odometry topics that hold messages; UserError when there are none."""
    imu_topics = [t for t in bag.topics_of(IMU) if bag.counts.get(t, 0) > 0]
    odom_topics = [t for t in bag.topics_of(ODOMETRY) if bag.counts.get(t, 0) > 0]
    if not imu_topics and not odom_topics:
        raise UserError(
            f"recording {str(bag.path)!r} has no sensor_msgs/Imu or nav_msgs/Odometry topic to fuse; it has: {bag.describe_topics()}"
        )
    return imu_topics, odom_topics


def _output_frame(data: Dict[str, _Series], odom_topics: List[str]) -> str:
    """The child frame most odometry topics name, else the engine's default."""
    children: Counter = Counter(data[t].first.child_frame_id for t in odom_topics if data[t].first is not None and data[t].first.child_frame_id)
    return children.most_common(1)[0][0] if children else ENGINE_DEFAULTS["output_frame_id"]


def _imu_frame(topic: str, m: Any, used_frames: set) -> str:
    """The `imus` entry's frame of an IMU topic: its messages' frame, or one named after the topic, made
    unique among ``used_frames`` (to which it is added)."""
    frame = m.header.frame_id or (topic.strip("/").replace("/", "_") or "imu")
    while frame in used_frames:
        frame = f"{frame}_{topic.strip('/').replace('/', '_')}"
    used_frames.add(frame)
    return frame


def _propose_imu(
    p: _Proposal, bag: RecordingBase, tf: TransformBuffer, t: str, frame: str, s: _Series, wheel: Optional[_Series], output_frame: str
) -> None:
    """The `imus` entry of IMU topic ``t``, its `topics` entry with the mount, and its orientation as a source
    when the messages carry one."""
    m = s.first
    rate = bag.rate_hz(t)
    still, gyro_offset = _initial_stillness(s, wheel)
    gravity_ok = _check_gravity(p, t, s, still)
    p.still_s = min(p.still_s, still)
    entry = _imu_entry(t, frame, s, rate, still, gyro_offset, p.notes, bag.declared_imu_noise(t), wheel is not None)
    p.imus.append(entry)
    p.sample_sigmas.append(entry["gyro_noise_density"] * math.sqrt(rate or 1.0))
    from_tf = tf.lookup(output_frame, m.header.frame_id) if m.header.frame_id else None
    estimate, bins = estimate_mount(s, wheel, still)  # its bins serve the wheel yaw rate's check in any case
    if gravity_ok:
        if from_tf is None:
            _level_by_own_orientation(t, s, estimate, p.notes)
    else:
        estimate = MountEstimate(geo.IDENTITY_QUAT, math.inf, 0, 0)
    contradiction = motion_contradiction_deg(bins, from_tf[1]) if from_tf is not None and gravity_ok else None
    mount = _choose_mount(t, estimate, from_tf, contradiction, p.notes, p.warnings)
    if wheel is not None:
        _raise_to_wheel_consistency(entry, frame, s, wheel, mount, p.notes)
    bins["r"] = geo.rotation_matrix(mount[1])
    if p.yaw_check is None or p.yaw_check.ratio is None:
        p.yaw_check = _wheel_yaw_ratio(bins)
    p.topics[t] = {"imu": frame, "base_from_imu": [list(mount[0]), list(mount[1])], "max_accel": _max_accel(t, s, p.notes)}
    if has_orientation(m):
        p.sources.append(_orientation_source(t, frame, output_frame, m, p.notes))
        p.topics[t]["orientation"] = [p.sources[-1]["parent_frame_id"], output_frame]


def _check_gravity(p: _Proposal, t: str, s: _Series, still: float) -> bool:
    """True when the specific force at rest reads gravity; else a warning, and the filter's gravity set to
    what the accelerometer reads."""
    force = _force_at_rest(s, still)
    if abs(force - GRAVITY) <= GRAVITY_TOLERANCE * GRAVITY:
        return True
    p.warnings.append(
        f"{t}: the specific force reads {force:.2f} m/s² at rest, not gravity ({GRAVITY:.2f}); no mount or stillness "
        "is taken from it. Check that the IMU driver reports m/s² with gravity included"
    )
    # The filter's gravity must be the one its accelerometer reads: none when the force at rest is far
    # below it (what is left is the accelerometer's bias), else its norm.
    p.config["initial_gravity_estimate"] = 0.0 if force < 0.5 * GRAVITY else round(force, 3)
    p.notes.append(
        f"initial_gravity_estimate: {p.config['initial_gravity_estimate']:g}, the gravity in the specific force {t} "
        f"reads at rest ({force:.3f} m/s²)"
    )
    return False


def _level_by_own_orientation(t: str, s: _Series, estimate: MountEstimate, notes: List[str]) -> None:
    """Roll and pitch of ``estimate`` from where the IMU's own orientation finds gravity, with its bias
    removed (the mean specific force holds the accelerometer bias too, which would tilt the mount by
    bias / g), when the messages carry one."""
    import numpy as np

    if len(s.o) < 10:
        return
    up = np.mean([geo.rotation_matrix(tuple(q)).T[:, 2] for q in s.o], axis=0)
    if np.all(np.isfinite(up)) and np.linalg.norm(up) > 0.5:
        estimate.rotation = _level_by(estimate.rotation, up)
        notes.append(f"topics.{t}.base_from_imu: roll and pitch from the IMU's own orientation (its gravity, bias removed)")


def _raise_to_wheel_consistency(entry: Dict[str, Any], frame: str, s: _Series, wheel: _Series, mount: geo.Pair, notes: List[str]) -> None:
    """The accelerometer noise density raised to what the wheels' speed changes allow, when that is more."""
    consistency = wheel_consistency_density(s, wheel, mount[1])
    if consistency is not None and consistency > entry["accel_noise_density"]:
        entry["accel_noise_density"] = consistency
        notes.append(
            f"imus.{frame}.accel_noise_density: raised to {consistency:.3g}, the spread of the wheels' speed changes against "
            f"the accelerometer's over {CONSISTENCY_SPAN_S:g} s: trusted more, the filter would refuse the wheels where the "
            "accelerometer misses a hard stop or start"
        )


def _propose_odom_sources(
    p: _Proposal, bag: RecordingBase, data: Dict[str, _Series], odom_topics: List[str], wheel_topic: Optional[str], output_frame: str
) -> None:
    """An `odom_sources` entry and a `topics` entry per odometry topic: the twist of wheels (with an IMU),
    else the pose."""
    pairs: set = set()
    for t in odom_topics:
        m = data[t].first
        if m is None:
            continue
        parent = m.header.frame_id or "odom"
        child = m.child_frame_id or output_frame
        if (parent, child) in pairs:
            parent = f"{parent}@{t}"
        pairs.add((parent, child))
        where = f"odom_sources {parent} -> {child}"
        entry = {"parent_frame_id": parent, "child_frame_id": child, "pose_variances": [0.0] * 6}
        yaw_scale: Optional[float] = None
        twist_stated = any(0.0 < v < UNKNOWN_VARIANCE for v in covariance_diagonal(m.twist.covariance))
        has_twist = twist_stated or any(any(v != 0.0 for v in row) for row in data[t].a + data[t].b)
        if has_twist and p.imus:
            check = p.yaw_check if t == wheel_topic and p.yaw_check is not None else YawRateCheck(None, 0.0)
            entry["twist_variances"], yaw_scale = _wheel_twist_variances(m, check, bag.rate_hz(t), where, p.notes)
            p.notes.append(f"{where}.pose_variances: 0, the pose is integrated from the same twist and would count it twice")
        else:
            diag = covariance_diagonal(m.pose.covariance)
            entry["pose_variances"] = [-1.0 if 0.0 < v < UNKNOWN_VARIANCE else 0.0 for v in diag]
            if not any(entry["pose_variances"]):
                entry["pose_variances"] = [1.0e-2, 1.0e-2, 0.0, 0.0, 0.0, 1.0e-2]
            entry["twist_variances"] = [0.0] * 6
            p.notes.append(
                f"{where}: the messages carry no twist, so their pose is fused"
                if p.imus
                else f"{where}: without an IMU the sources' poses are blended, so the pose is fused"
            )
        p.sources.append(entry)
        p.topics[t] = {"odom_source": [parent, child]}
        if yaw_scale is not None:
            p.topics[t]["yaw_rate_scale"] = yaw_scale


def _propose_initial_stds(p: _Proposal) -> None:
    """The initial bias spreads: what a still start measures, what a heading reference lets the filter
    learn, a MEMS part's spread for a start in motion."""
    heading_reference = any(e.get("pose_variances", [0.0] * 6)[5] != 0.0 or e.get("twist_variances", [0.0] * 6)[5] != 0.0 for e in p.sources)
    if p.still_s >= 1.0 and not heading_reference:
        # Nothing measures the heading or the yaw rate, so the yaw gyro bias is unobservable: the still
        # start measures it to the noise over init_samples, and the filter must not let the sources'
        # velocity rows, which couple to the heading through its linearisation, pull it further.
        n = min(e.get("init_samples", 1) for e in p.imus)
        sigma = max(p.sample_sigmas)
        p.config["initial_stds"] = {"bias": max(INIT_BIAS_STD_FACTOR * sigma / math.sqrt(n), MIN_INIT_BIAS_STD)}
        p.notes.append(
            f"initial_stds.bias: no source measures heading or yaw rate, so the gyro biases stay as the still start "
            f"measures them over {n} samples, to about {sigma / math.sqrt(n):.1g} rad/s"
        )
    elif heading_reference:
        # A still start cannot measure the accelerometer biases (the tilt absorbs them); held too tight,
        # the filter explains what they leave in the integrated velocity by a heading error.
        p.config["initial_stds"] = {"gyro_bias": INIT_BIAS_STD_WITH_HEADING, "accel_bias": INIT_BIAS_STD_WITH_HEADING}
        p.notes.append(
            f"initial_stds.gyro_bias: {INIT_BIAS_STD_WITH_HEADING:g}; a source measures heading or yaw rate, so the gyro "
            "biases settle quickly"
        )
        if p.still_s >= 1.0:
            p.notes.append(
                f"initial_stds.accel_bias: {INIT_BIAS_STD_WITH_HEADING:g}, room for the accelerometer bias that the still "
                "start cannot measure (the tilt absorbs it)"
            )
    if p.still_s < 1.0:
        # Started in motion, nothing has measured the accelerometer bias at all: a MEMS part's spread.
        p.config.setdefault("initial_stds", {})["accel_bias"] = MEMS_ACCEL_BIAS_STD
        p.notes.append(
            f"initial_stds.accel_bias: {MEMS_ACCEL_BIAS_STD:g}, a MEMS accelerometer's bias spread: the filter starts "
            "in motion, with no still window to measure any of it"
        )


def _propose_recovery_and_start(p: _Proposal, wheel: Optional[_Series]) -> None:
    """The gate's recovery, and a start from the wheel speed for a recording that starts while driving."""
    p.config["gate_recovery_seconds"] = GATE_RECOVERY_SECONDS
    p.notes.append(
        f"gate_recovery_seconds: a source whose updates the outlier gate refuses for {GATE_RECOVERY_SECONDS:g} s of data is "
        "taken back, so one bad stretch cannot shut it out for good"
    )
    if p.still_s < 1.0 and wheel is not None:
        p.config["init_moving_after_seconds"] = INIT_MOVING_AFTER_SECONDS
        p.notes.append(
            f"init_moving_after_seconds: the recording starts while driving; the filter starts from the wheel speed "
            f"once the robot has not held still for {INIT_MOVING_AFTER_SECONDS:g} s"
        )


def _orientation_source(topic: str, frame: str, output_frame: str, m: Any, notes: List[str]) -> Dict[str, Any]:
    parent = f"{frame}/orientation"
    cov = [float(v) for v in m.orientation_covariance]
    diag = [cov[0], cov[4], cov[8]] if len(cov) == 9 else [0.0, 0.0, 0.0]
    stated = [0.0 < v < UNKNOWN_VARIANCE and math.isfinite(v) for v in diag]
    var = [-1.0 if ok else (0.0 if v >= UNKNOWN_VARIANCE else ORIENTATION_VARIANCE) for ok, v in zip(stated, diag)]
    where = f"odom_sources {parent} -> {output_frame}"
    if stated[2]:
        heading = "its heading has a real covariance, so it is absolute (magnetic north)"
    elif var[2] == 0.0:
        heading = "its heading is marked unknown and left out"
    else:
        heading = f"it gives no covariance; {ORIENTATION_VARIANCE:g} rad² assumed"
    notes.append(
        f"{where}: the IMU's orientation on {topic} as an absolute attitude source (differential: false, position "
        f"variances 0): it bounds roll, pitch and heading and makes the gyro biases observable; {heading}"
    )
    return {
        "parent_frame_id": parent,
        "child_frame_id": output_frame,
        "differential": False,
        "pose_variances": [0.0, 0.0, 0.0] + var,
        "twist_variances": [0.0] * 6,
    }


__all__ = ["MountEstimate", "WINDOW_S", "estimate_mount", "propose_config"]
