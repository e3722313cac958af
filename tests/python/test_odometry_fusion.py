"""OdometryFusion from Python: configuration conversion, the refusal raised as PanicException, argument
errors that leave the engine untouched, re-entry, and the counters in the report() log line."""

import sys

import pytest
from conftest import IDENTITY, NOISE, run_python

import velk_odom
from velk_odom._native import ImuSample, OdometryEstimate, OdometryFusion

MS = 1_000_000

IMU = {"frame_id": "imu", **NOISE, "init_samples": 2}
WHEEL = {"parent_frame_id": "odom", "child_frame_id": "wheel", "pose_variances": [0.01] * 6, "twist_variances": [0.01] * 6}


def sample(t_ns, gyro=(0.0, 0.0, 0.0), accel=(0.0, 0.0, 9.8)):
    return ImuSample(t_ns, "imu", gyro, accel)


def estimate(t_ns, x):
    return OdometryEstimate(t_ns, "odom", "wheel", (x, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0))


def diagonal(values):
    return [values[7 * i] for i in range(6)]


# ---- construction and configuration conversion ----


@pytest.mark.parametrize("config, error, fragment", [
    (None, None, ""),
    ({"publish_rat": 5.0, "unknown": object()}, None, ""),  # unknown keys are left to the callers' own checks
    ([], TypeError, "config"),
    ("odom", TypeError, "config"),
    ({"publish_rate": "fast"}, ValueError, "publish_rate"),
    ({1: 2.0}, ValueError, "str"),
    ({"imus": [{**IMU, "init_samples": 2**63}]}, ValueError, "init_samples"),
    ({"imus": [{**IMU, "init_samples": 2.0}]}, ValueError, "init_samples"),
    ({"imus": {"frame_id": "imu"}}, ValueError, "imus"),
    ({"odom_sources": [{**WHEEL, "pose_variances": [0.1] * 5}]}, ValueError, "length 6, got length 5"),
    ({"initial_stds": [0.1]}, ValueError, "initial_stds"),
    ({"odom_frame_id": b"odom"}, ValueError, "odom_frame_id"),
    ({"init_moving_after_seconds": None}, ValueError, "init_moving_after_seconds"),
    ({"odom_sources": [{**WHEEL, "odom_from_parent": [[0, 0, 0], [0, 0, 0]]}]}, ValueError, "odom_from_parent"),
    ({"odom_sources": [{**WHEEL, "odom_from_parent": [[0, 0, 0], [0, 0, 0, 0]]}]}, ValueError, "quaternion"),
    ({"per_dimension_error_variance": frozenset()}, ValueError, "per_dimension_error_variance"),  # sequences only
])
def test_conversion(config, error, fragment):
    if error is None:
        assert OdometryFusion(config).maybe_publish() is None and OdometryFusion().maybe_publish() is None
        return
    with pytest.raises(error) as info:
        OdometryFusion(config)
    assert fragment in str(info.value) and (error is TypeError or str(info.value).startswith("config: "))


@pytest.mark.parametrize("source, initial_stds, translation, rotation", [
    # Without IMUs the blend path never changes the covariance, so the first estimate shows the initial
    # standard deviations: only `rotation` given, the others keep their defaults; sequences may be tuples.
    ({"twist_variances": (0.0,) * 6}, {"rotation": 0.2}, (0.1, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0)),
    # A lone absolute source's pose lands at odom_from_parent ∘ pose, here a quarter turn and a shift given
    # as YAML-style lists (the quaternion not normalised).
    ({"differential": False, "odom_from_parent": [[1, 0, 0], [0, 0, 2, 2]]}, {}, (1.0, 0.1, 0.0), (0, 0, 2**-0.5, 2**-0.5)),
])
def test_nested_values_are_converted(source, initial_stds, translation, rotation):
    fusion = OdometryFusion({"odom_sources": ({**WHEEL, **source},), "initial_stds": initial_stds})
    fusion.handle_source(estimate(1000 * MS, 0.0))
    fusion.handle_source(estimate(1020 * MS, 0.1))
    out = fusion.maybe_publish()
    assert (out.frame_id, out.child_frame_id, out.timestamp_ns) == ("odom", "base_link", 1020 * MS)
    assert out.translation == pytest.approx(translation) and out.rotation_xyzw == pytest.approx(rotation)
    if initial_stds:
        assert diagonal(out.pose_covariance) == [0.1 * 0.1] * 3 + [0.2 * 0.2] * 3
        assert diagonal(out.twist_covariance)[:3] == [0.1 * 0.1] * 3


# ---- the refusal at first use ----


@pytest.mark.parametrize("config, call, message", [
    ({"imus": [{"frame_id": "imu"}]}, lambda f, t: f.handle_imu(sample(t), IDENTITY), 'imu "imu" needs all four noise figures set'),
    ({"odom_sources": [{**WHEEL, "child_frame_id": " "}]}, lambda f, t: f.handle_source(estimate(t, 0.0)),
     "an `odom_sources` entry needs both parent_frame_id and child_frame_id set"),
])
def test_refused_configuration_raises_base_exception_on_every_call(config, call, message):
    fusion = OdometryFusion(config)
    for i in range(3):
        with pytest.raises(velk_odom.PanicException) as info:
            call(fusion, (i + 1) * MS)
        assert str(info.value) == message and not isinstance(info.value, Exception)
        assert fusion.maybe_publish() is None  # the object stays usable
        fusion.report()


# ---- argument errors ----


def test_argument_errors_leave_the_engine_untouched():
    reference, fusion = (OdometryFusion({"imus": [IMU], "odom_sources": [WHEEL]}) for _ in range(2))
    good = [sample(1 * MS), sample(2 * MS), sample(10 * MS, accel=(0.5, 0, 9.8)), sample(20 * MS, accel=(0.5, 0, 9.8))]
    moving = sample(15 * MS, gyro=(0.0, 0.0, 1.0), accel=(3.0, 0.0, 9.8))
    bad_calls = [  # (error, the argument it names, the call)
        (TypeError, "base_from_imu", lambda: fusion.handle_imu(moving, [[0, 0, 0], [0, 0, 0, 1]])),
        (ValueError, "", lambda: fusion.handle_imu(moving, ((0, 0), (0, 0, 0, 1)))),
        (TypeError, "", lambda: fusion.handle_imu(moving, ((0, 0, "0"), (0, 0, 0, 1)))),
        (TypeError, "imu", lambda: fusion.handle_imu(estimate(15 * MS, 1.0), IDENTITY)),
        (TypeError, "", lambda: fusion.handle_imu(imu=moving, base=IDENTITY)),
        (TypeError, "estimate", lambda: fusion.handle_source(moving)),
        (TypeError, "", lambda: fusion.maybe_publish(1)),
    ]
    for engine in (reference, fusion):
        assert [engine.handle_imu(s, IDENTITY) for s in good[:3]] == [None] * 3
    for error, name, call in bad_calls:
        with pytest.raises(error, match=name or None):
            call()
    for engine in (reference, fusion):
        assert engine.handle_imu(good[3], base_from_imu=IDENTITY) is None
        assert engine.handle_source(estimate=estimate(20 * MS, 0.0)) is None
    a, b = reference.maybe_publish(), fusion.maybe_publish()
    fields = ("timestamp_ns", "translation", "rotation_xyzw", "pose_covariance", "twist_linear", "twist_covariance")
    assert a is not None and [getattr(a, f) for f in fields] == [getattr(b, f) for f in fields]


def test_reentry_and_impostors_are_refused():
    fusion, errors = OdometryFusion({"imus": [IMU]}), []

    class Reentrant:  # a number whose float conversion calls back into the engine it is being passed to
        def __float__(self):
            with pytest.raises(RuntimeError, match="OdometryFusion") as info:
                fusion.maybe_publish()
            errors.append(info.value)
            return 0.0

    class Impostor:
        @property
        def __class__(self):
            return ImuSample

    fusion.handle_imu(sample(1 * MS), ((Reentrant(), 0.0, 0.0), (0.0, 0.0, 0.0, 1.0)))
    assert len(errors) == 1 and fusion.maybe_publish() is None  # free again afterwards
    assert isinstance(Impostor(), ImuSample)
    with pytest.raises(TypeError, match="imu"):
        fusion.handle_imu(Impostor(), IDENTITY)


def test_no_reference_leaks_over_many_calls():
    fusion = OdometryFusion({"imus": [{**IMU, "init_samples": 1}], "odom_sources": [WHEEL]})
    transform, wheel, counts = ((0.1, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0)), estimate(0, 0.0), []
    for round_ in range(3):
        for i in range(2000):
            imu = sample((1 + round_ * 2000 + i) * MS, gyro=(0.0, 0.0, 0.01))
            fusion.handle_imu(imu, transform), fusion.handle_source(wheel), fusion.maybe_publish()
        counts.append([sys.getrefcount(x) for x in (imu, transform, wheel, fusion)])
    assert counts[0] == counts[-1]


# ---- log output ----


def test_report_line_carries_the_counters():
    out = run_python(f"""
import velk_odom
from velk_odom._native import ImuSample, OdometryEstimate, OdometryFusion
velk_odom.init_logging()
f = OdometryFusion({{"imus": [{IMU!r}], "odom_sources": [{WHEEL!r}]}})
ms, I = 1_000_000, ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0))
for t in (1, 2, 10, 30, 20, 1):  # two to initialise, one in order, one ahead, one late, one older than the buffer
    f.handle_imu(ImuSample(t * ms, "imu", (0.0, 0.0, 0.0), (0.0, 0.0, 9.8)), I)
f.handle_imu(ImuSample(31 * ms, "imu", (float("nan"), 0.0, 0.0), (0.0, 0.0, 9.8)), I)
f.handle_imu(ImuSample(31 * ms, "other", (0.0, 0.0, 0.0), (0.0, 0.0, 9.8)), I)
f.handle_source(OdometryEstimate(25 * ms, "odom", "wheel", (0.0, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0)))
f.report()
print({{k: v for k, v in f.counters().items() if v}})
print(" ".join(f"{{k}}={{v}}" for k, v in f.counters().items()))
""")
    assert out.returncode == 0, out.stderr
    nonzero, line = out.stdout.splitlines()
    assert nonzero == "{'imu_samples': 4, 'measurements': 1, 'replayed': 2, 'too_late': 1, 'non_finite_imu': 1}"
    counters = [x for x in out.stderr.splitlines() if "odometry fusion counters" in x]
    assert len(counters) == 1 and counters[0].endswith(" INFO velk_slam::odometry_fusion: odometry fusion counters " + line)
    for text in ("initialized gyro_biases=[0.0] use_imu=true init_mode=still",
                 "WARN velk_slam::odometry_fusion: measurement older than the replay buffer dropped. Raise "
                 "replay_buffer_seconds, or cut the source's latency. dropped=1 replay_buffer_seconds=0.5",
                 "imu sample with a non-finite rate, acceleration or mounting transform dropped.",
                 "imu from an unconfigured frame_id dropped. Add an `imus` entry with it. frame_id=other"):
        assert text in out.stderr, text
