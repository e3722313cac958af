"""Value classes: construction, conversion rules, errors, read-only attributes."""

import array
import math

import numpy as np
import pytest

from velk_odom import CameraModel, ImageFrame, ImuNoiseModel, ImuSample, OdometryEstimate, PointCloud

K = (500.0, 0.0, 320.0, 0.0, 500.0, 240.0, 0.0, 0.0, 1.0)


def estimate(**overrides):
    return OdometryEstimate(**dict(dict(timestamp_ns=42, frame_id="odom", child_frame_id="base_link",
                                        translation=(1, -2.5, 0), rotation_xyzw=(0, 0, 0, 1)), **overrides))


def test_odometry_estimate_fields():
    assert repr(estimate()) == "OdometryEstimate(odom -> base_link @ 42 ns, t=[1.0000, -2.5000, 0.0000])"
    assert repr(estimate(translation=(math.nan, math.inf, -math.inf))).endswith("t=[NaN, inf, -inf])")
    e = estimate(rotation_xyzw=(0, 0, 0, 2))
    assert (e.translation, e.rotation_xyzw) == ((1.0, -2.5, 0.0), (0.0, 0.0, 0.0, 1.0))
    assert e.twist_linear == e.twist_angular == (0.0, 0.0, 0.0) and e.pose_covariance == e.twist_covariance == [0.0] * 36
    # Covariances keep their row-major order, from any sequence.
    e = estimate(pose_covariance=np.arange(36.0), twist_covariance=tuple(range(35, -1, -1)))
    assert e.pose_covariance == [float(v) for v in range(36)] and e.twist_covariance == [float(v) for v in range(35, -1, -1)]
    assert [estimate(timestamp_ns=t).timestamp_ns for t in (-(2**63), 2**63 - 1)] == [-(2**63), 2**63 - 1]
    for name in ("translation", "new_attribute"):
        with pytest.raises(AttributeError):
            setattr(e, name, (0, 0, 0))


@pytest.mark.parametrize("make, exc, message", [
    (lambda: estimate(pose_covariance=[0.0] * 35), ValueError, r"^covariance needs 36 row-major values, got 35$"),
    (lambda: estimate(pose_covariance=[0.0] * 2, twist_covariance=[0.0] * 3), ValueError, "got 2$"),  # pose first
    (lambda: estimate(twist_linear=None), TypeError, "twist_linear"),
    (lambda: estimate(twist_angular=[0, 0, 0]), TypeError, "twist_angular"),
    (lambda: estimate(translation=[1, 2, 3]), TypeError, "translation"),
    (lambda: estimate(translation=(1, 2)), ValueError, "translation"),
    (lambda: estimate(rotation_xyzw=(0, 0, 1)), ValueError, "rotation_xyzw"),
    (lambda: estimate(timestamp_ns=1.5), TypeError, "timestamp_ns"),
    (lambda: estimate(timestamp_ns=2**63), OverflowError, "timestamp_ns"),
    (lambda: estimate(timestamp_ns=-(2**63) - 1), OverflowError, "timestamp_ns"),
    (lambda: estimate(frame_id=b"odom"), TypeError, "frame_id"),
    (lambda: estimate(child_frame_id=None), TypeError, "child_frame_id"),
    (lambda: estimate(pose_covariance="x" * 36), TypeError, "pose_covariance"),
    (lambda: estimate(twist_covariance=[0.0] * 35 + ["x"]), TypeError, "twist_covariance"),
    (lambda: ImageFrame(0, "cam", 3, 4, "rgb8", 9, np.zeros((4, 6, 3), np.uint8)[:, ::2].tolist()), TypeError, "data"),
    (lambda: ImageFrame(0, "c", 2**31, 1, "mono8", 1, b"\0"), OverflowError, "width"),
    (lambda: ImageFrame(0, "c", 1, 1, "mono8", "1", b"\0"), TypeError, "step"),
    (lambda: ImageFrame(0, "c", 1, 1.0, "mono8", 1, b"\0"), TypeError, "height"),
    (lambda: ImageFrame(0, "c", 1, 1, 8, 1, b"\0"), TypeError, "encoding"),
    (lambda: CameraModel(0, "cam", 640, 480, [], K[:8]), ValueError, "intrinsics"),
    (lambda: CameraModel(0, "cam", 640, 480, "k1", K), TypeError, "distortion"),
    (lambda: ImuSample(1, "imu", (0, 0, 0), [0, 0, 9.8]), TypeError, "linear_acceleration"),
    (lambda: ImuSample(1, "imu", (0, 0), (0, 0, 9.8)), ValueError, "angular_velocity"),
    (lambda: ImuNoiseModel("imu", 1, 2, 3, 4, "200"), TypeError, "frequency"),
    (lambda: PointCloud(), TypeError, ""),
])
def test_argument_errors(make, exc, message):
    with pytest.raises(exc, match=message or None):
        make()


@pytest.mark.parametrize("data, exc", [([0, 256], OverflowError), ([-1], OverflowError), ("ab", TypeError), ([0.5], TypeError),
                                       (None, TypeError), ({0: 1}, TypeError)])
def test_bad_image_data(data, exc):
    with pytest.raises(exc, match="data"):
        ImageFrame(0, "cam", 1, 1, "mono8", 1, data)


def test_accepted_forms():
    for data in (bytes([0, 1]), bytearray([0, 1]), [0, 1], (0, 1), array.array("B", [0, 1]), np.array([0, 1], dtype=np.uint8),
                 np.array([0, 1], dtype=np.int64)):
        f = ImageFrame(7, "cam", 2, 1, "mono8", 2, data)
        assert (f.frame_id, f.timestamp_ns) == ("cam", 7)
    img = np.arange(4 * 6 * 3, dtype=np.uint8).reshape(4, 6, 3)
    ImageFrame(0, "cam", 6, 4, "rgb8", 18, img)
    ImageFrame(0, "cam", 3, 4, "rgb8", 9, img[:, ::2])  # a strided view is gathered
    f = ImageFrame(0, "cam", 640, 480, "mono8", 640, b"\x00\x01")  # sizes need not agree: the engines drop it, counted
    assert not hasattr(f, "data") and not hasattr(f, "width")  # the pixels stay hidden
    CameraModel(0, "cam", 640, 480, np.zeros(8), np.array(K))
    ImuSample(timestamp_ns=1, frame_id="imu", angular_velocity=(0, 0, 0), linear_acceleration=(0, 0, 9.8))
    ImuNoiseModel("imu", 1, 2.0, np.float64(3), -4, math.nan)
