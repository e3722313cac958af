"""The simulator against independent physics: its exact IMU readings and wheel odometry integrate to its
ground truth; noise, slip, delivery and the conditions of real robots have the stated statistics."""

import math

import pytest

from velk_odom import _geometry as geo
from velk_odom.sim import AHRS_NORTH, CONDITIONS, DEFAULT_ACCEL_BIAS, DEFAULT_GYRO_BIAS, simulate

# RK4 ground truth against trapezoidal IMU integration at 200 Hz: the integration error of 20 s of
# driving is some 1e-5 m; a wrong sign, lever arm or axis gives metres.
IMU_INTEGRATION_TOL_M = 1e-3
# Trapezoidal wheel integration at 50 Hz against RK4 ground truth: about 1e-4 m and 3e-5 rad.
WHEEL_INTEGRATION_TOL_M = 1e-3
WHEEL_YAW_TOL_RAD = 2e-4


def exact(duration_s=20.0, **kw):
    return simulate(duration_s, seed=1, noise=False, wheel_scale_error=0.0, slip=False, late_fraction=0.0, **kw)


def test_same_arguments_give_the_same_recording():
    a, b = simulate(8.0, seed=7), simulate(8.0, seed=7)
    assert (a.ground_truth, a.imu_samples, a.wheel_estimates) == (b.ground_truth, b.imu_samples, b.wheel_estimates)
    assert [(d.arrival_ns, d.kind) for d in a.deliveries] == [(d.arrival_ns, d.kind) for d in b.deliveries]
    assert simulate(8.0, seed=8).ground_truth != a.ground_truth
    for kwargs in (dict(duration_s=0.0), dict(duration_s=5.0, still_s=5.0), dict(imu_rate_hz=-1.0), dict(late_fraction=1.5)):
        with pytest.raises(ValueError):
            simulate(**kwargs)


@pytest.mark.parametrize("mount", [
    ((0.0, 0.0, 0.0), geo.IDENTITY_QUAT),
    ((0.20, -0.05, 0.15), geo.quat_from_rpy(0.02, -0.015, 0.5 * math.pi)),
    ((-0.3, 0.4, 0.0), geo.quat_from_rpy(math.pi, 0.0, -0.7)),  # upside down
])
def test_integrating_exact_imu_readings_reproduces_the_ground_truth(mount):
    rec = exact(base_from_imu=mount)
    lever, q_bi = mount
    dt = 1.0 / rec.imu_rate_hz
    omegas = [geo.rotate(q_bi, s.angular_velocity) for s in rec.imu_samples]
    forces = [geo.rotate(q_bi, s.linear_acceleration) for s in rec.imu_samples]
    n = len(omegas)

    def base_accel(k):
        # Angular acceleration by central differences, then remove the lever-arm terms and gravity.
        lo, hi = max(k - 1, 0), min(k + 1, n - 1)
        alpha = tuple((omegas[hi][i] - omegas[lo][i]) / ((hi - lo) * dt) for i in range(3))
        tang = geo.cross(alpha, lever)
        cent = geo.cross(omegas[k], geo.cross(omegas[k], lever))
        return tuple(forces[k][i] - tang[i] - cent[i] for i in range(3))

    q, p, v = geo.IDENTITY_QUAT, [0.0, 0.0, 0.0], [0.0, 0.0, 0.0]
    a_prev = [c - g for c, g in zip(geo.rotate(q, base_accel(0)), (0.0, 0.0, rec.gravity))]
    for k in range(1, n):
        w_mid = tuple(0.5 * (omegas[k - 1][i] + omegas[k][i]) * dt for i in range(3))
        angle = math.sqrt(sum(c * c for c in w_mid))
        if angle > 0.0:
            q = geo.quat_normalize(geo.quat_mul(q, geo.quat_from_axis_angle(w_mid, angle)))
        a_now = [c - g for c, g in zip(geo.rotate(q, base_accel(k)), (0.0, 0.0, rec.gravity))]
        for i in range(3):
            v_new = v[i] + 0.5 * (a_prev[i] + a_now[i]) * dt
            p[i] += 0.5 * (v[i] + v_new) * dt
            v[i] = v_new
        a_prev = a_now
    gt = rec.ground_truth[-1]
    assert math.dist(p, gt[1:4]) < IMU_INTEGRATION_TOL_M and geo.rotation_angle(geo.quat_mul(geo.quat_conj(q), gt[4:8])) < 1e-6


def test_exact_wheel_odometry_follows_the_ground_truth():
    rec = exact()
    assert rec.distance_travelled() > 10.0
    for w in rec.wheel_estimates[::25]:
        gt = rec.ground_truth_at(w.timestamp_ns)
        assert math.dist(w.translation, gt[0:3]) < WHEEL_INTEGRATION_TOL_M
        assert abs(math.remainder(geo.yaw_of(w.rotation_xyzw) - geo.yaw_of(gt[3:7]), 2 * math.pi)) < WHEEL_YAW_TOL_RAD


def test_still_period_noise_and_bias_statistics():
    np = pytest.importorskip("numpy")
    rec = simulate(12.0, seed=3, still_s=10.0)
    still = [s for s in rec.imu_samples if s.timestamp_ns < rec.still_until_ns]
    gyro, accel = np.array([s.angular_velocity for s in still]), np.array([s.linear_acceleration for s in still])
    sigma_g = rec.imu_noise.gyro_noise_density * math.sqrt(rec.imu_rate_hz)
    gravity_imu = geo.rotate(geo.quat_conj(rec.base_from_imu[1]), (0.0, 0.0, rec.gravity))
    # 2000 samples: the mean is within 5 standard errors, the deviation within 10 %.
    assert np.all(abs(gyro.mean(axis=0) - DEFAULT_GYRO_BIAS) < 5 * sigma_g / math.sqrt(len(still)))
    assert np.all(abs(gyro.std(axis=0, ddof=1) / sigma_g - 1.0) < 0.1)
    assert np.all(abs(accel.mean(axis=0) - np.add(gravity_imu, DEFAULT_ACCEL_BIAS)) < 0.01)
    # The default stillness test of the fusion engine (0.05 rad/s) must pass on every still sample.
    assert np.linalg.norm(gyro, axis=1).max() < 0.05 and all(w.twist_linear == (0.0, 0.0, 0.0) for w in rec.wheel_estimates if w.timestamp_ns < rec.still_until_ns)


def test_slip_burst_and_scale_error_show_in_the_wheel_speed():
    rec = simulate(20.0, seed=2, noise=False, slip_at_s=10.0, late_fraction=0.0)
    start, end = rec.slip_interval_ns
    assert (start, end) == (10_000_000_000, 12_000_000_000)
    for w in rec.wheel_estimates[1:-1]:
        a, b = (rec.ground_truth[w.timestamp_ns * int(rec.imu_rate_hz) // 10**9 + i] for i in (-1, 1))
        true_speed = math.hypot(b[1] - a[1], b[2] - a[2]) * rec.imu_rate_hz / 2
        assert w.twist_linear[0] == pytest.approx(1.02 * true_speed + 0.8 * (start <= w.timestamp_ns < end), abs=2e-4)


def test_delivery_order_and_latency():
    rec = simulate(30.0, seed=4, late_fraction=0.25)
    assert [d.arrival_ns for d in rec.deliveries] == sorted(d.arrival_ns for d in rec.deliveries)
    assert len(rec.deliveries) == len(rec.imu_samples) + len(rec.wheel_estimates)
    imu_stamps = [d.message.timestamp_ns for d in rec.deliveries if d.kind == "imu"]
    stamps = [d.message.timestamp_ns for d in rec.deliveries]
    assert imu_stamps == sorted(imu_stamps) and stamps != sorted(stamps)  # some wheel messages really are out of order
    delays = [d.arrival_ns - d.message.timestamp_ns for d in rec.deliveries if d.kind == "wheel"]
    late = [x for x in delays if x != 2_000_000]
    assert all(20_000_000 <= x <= 400_000_000 for x in late) and abs(len(late) / len(delays) - 0.25) < 0.05


def _ahrs_error_deg(rec):
    # Rms angle between the AHRS readings and the true world-from-IMU attitude referenced to north.
    truths = (geo.quat_mul(AHRS_NORTH, geo.quat_mul(g[4:8], rec.base_from_imu[1])) for g in rec.ground_truth)
    sq = sum(geo.rotation_angle(geo.quat_mul(geo.quat_conj(q), s.orientation)) ** 2 for s, q in zip(rec.imu_samples, truths))
    return math.degrees(math.sqrt(sq / len(rec.imu_samples)))


def _wheel_yaw_ratio(rec):
    # Least-squares slope of the wheel yaw rate against the ground truth's (central differences).
    num = den = 0.0
    for w in rec.wheel_estimates[1:-1]:
        a, b = rec.ground_truth_at(w.timestamp_ns - 5_000_000), rec.ground_truth_at(w.timestamp_ns + 5_000_000)
        rate = math.remainder(geo.yaw_of(b[3:7]) - geo.yaw_of(a[3:7]), 2 * math.pi) / 0.01
        num += w.twist_angular[2] * rate
        den += rate * rate
    return num / den


# Each condition, seen in the data it changes. Per-axis AHRS noise of 2 deg is an rms angle of 2 sqrt(3)
# deg; the wheel yaw rate carries the 2 % scale error of both wheels as well.
@pytest.mark.parametrize("condition, measure, expected, tol", [
    ("start driving", lambda r: r.wheel_estimates[0].twist_linear[0], 1.5 * 1.02, 0.05),
    ("skid-steer yaw rate x7", _wheel_yaw_ratio, 7.0 * 1.02, 0.1),
    ("16 g sample", lambda r: sum(1 for s in r.imu_samples if math.dist(s.linear_acceleration, (0, 0, 0)) > 10 * r.gravity), 1, 0),
    ("AHRS 2 deg", _ahrs_error_deg, 2.0 * math.sqrt(3.0), 0.2),
    ("gyro bias 0.01", lambda r: sum(s.angular_velocity[0] for s in r.imu_samples[:300]) / 300, 0.01, 0.002),
])
def test_conditions_show_in_the_data(condition, measure, expected, tol):
    rec = simulate(20.0, seed=6, **CONDITIONS[condition])
    assert abs(measure(rec) - expected) <= tol
