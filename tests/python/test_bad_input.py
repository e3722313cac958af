"""Arbitrary Python values at every constructor and function: only TypeError, ValueError or
OverflowError may come out, never a crash; and no reference leaks over many calls."""

import gc
import os
import resource

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velk_odom

SANITIZED = bool(os.environ.get("VELK_TEST_SANITIZED"))
EXAMPLES = 60 if SANITIZED else 300

numbers = st.one_of(st.integers(min_value=-(2**70), max_value=2**70), st.floats(allow_nan=True, allow_infinity=True))
leaves = st.one_of(st.none(), st.booleans(), numbers, st.text(max_size=8), st.binary(max_size=8),
                   st.just(np.zeros(3, dtype=np.uint8)), st.just(np.float64(1.5)), st.just(object()))
values = st.recursive(
    leaves,
    lambda inner: st.one_of(st.lists(inner, max_size=9), st.lists(inner, max_size=9).map(tuple),
                            st.dictionaries(st.text(max_size=4), inner, max_size=3)),
    max_leaves=40,
)
# Values that are close to valid, so that conversion gets past the first argument.
vec = lambda n: st.tuples(*[numbers] * n)
near_valid = st.one_of(values, vec(3), vec(4), st.tuples(vec(3), vec(4)), st.lists(numbers, min_size=36, max_size=36),
                       st.lists(st.integers(-3, 300), max_size=12), st.integers(-(2**64), 2**64))

CALLABLES = [
    (velk_odom.ImageFrame, 7),
    (velk_odom.CameraModel, 6),
    (velk_odom.ImuSample, 4),
    (velk_odom.ImuNoiseModel, 6),
    (velk_odom.OdometryEstimate, 9),
    (velk_odom.invert, 1),
    (velk_odom.compose, 2),
]
ALLOWED = (TypeError, ValueError, OverflowError)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(index=st.integers(0, len(CALLABLES) - 1), args=st.lists(near_valid, max_size=10))
def test_only_argument_errors_come_out(index, args):
    fn, arity = CALLABLES[index]
    try:
        fn(*args[: arity + 1])
    except ALLOWED:
        pass


@settings(max_examples=EXAMPLES // 3, deadline=None, suppress_health_check=list(HealthCheck))
@given(kwargs=st.dictionaries(st.sampled_from(["timestamp_ns", "frame_id", "child_frame_id", "translation",
                                               "rotation_xyzw", "pose_covariance", "twist_linear", "twist_angular",
                                               "twist_covariance", "bogus"]), near_valid))
def test_keywords_only_raise_argument_errors(kwargs):
    try:
        velk_odom.OdometryEstimate(**kwargs)
    except ALLOWED:
        pass


def test_init_logging_refuses_bad_filters_with_value_error():
    for level in ("velk_slam=loud", "=debug", "a[b]"):
        try:
            velk_odom.init_logging(level)
        except ValueError as e:
            assert str(e).startswith("level: ")
        else:  # a filter that parsed installs the subscriber; nothing more to probe in this process
            return


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


def churn(n):
    image = bytes(64)
    for i in range(n):
        e = velk_odom.OdometryEstimate(i, "odom", "base_link", (1.0, 2.0, 3.0), (0, 0, 0, 1), [0.0] * 36,
                                       twist_linear=(1, 2, 3))
        e.translation, e.rotation_xyzw, e.pose_covariance, e.twist_covariance, e.frame_id, repr(e)
        f = velk_odom.ImageFrame(i, "cam", 8, 8, "mono8", 8, image)
        f.frame_id, f.timestamp_ns
        velk_odom.ImuSample(i, "imu", (0, 0, 0), (0, 0, 9.8))
        velk_odom.CameraModel(i, "cam", 8, 8, [0.1, 0.2], [1, 0, 4, 0, 1, 4, 0, 0, 1])
        velk_odom.compose(velk_odom.invert(((1, 2, 3), (0, 0, 0, 1))), ((0, 0, 0), (0, 0, 0, 1)))
        try:
            velk_odom.OdometryEstimate(i, "odom", "base_link", (1, 2, 3), (0, 0, 0, 1), [0.0] * 35)
        except ValueError:
            pass


def test_no_reference_leaks_over_a_million_objects():
    if SANITIZED:
        n = 20_000  # the sanitizer's allocator makes resident size meaningless; this still runs the paths
        churn(n)
        return
    churn(20_000)  # warm up allocator pools
    gc.collect()
    before = rss_kib()
    churn(1_000_000 // 5)  # five value objects per round: a million constructions and their reads
    gc.collect()
    grown = rss_kib() - before
    assert grown < 4096, f"resident memory grew by {grown} KiB"
