"""Value classes: construction, conversion rules, errors, read-only attributes."""

import array
import math

import numpy as np
import pytest

from velk_odom import CameraModel, ImageFrame, ImuNoiseModel, ImuSample, OdometryEstimate, PointCloud

K = (500.0, 0.0, 320.0, 0.0, 500.0, 240.0, 0.0, 0.0, 1.0)


def estimate(**overrides):
    args = dict(timestamp_ns=42, frame_id="odom", child_frame_id="base_link", translation=(1, -2.5, 0),
                rotation_xyzw=(0, 0, 0, 1))
    args.update(overrides)
    return OdometryEstimate(**args)


class TestOdometryEstimate:
    def test_repr_has_four_decimals(self):
        assert repr(estimate()) == "OdometryEstimate(odom -> base_link @ 42 ns, t=[1.0000, -2.5000, 0.0000])"
        assert repr(estimate(translation=(math.nan, math.inf, -math.inf))).endswith("t=[NaN, inf, -inf])")

    def test_defaults_and_normalised_rotation(self):
        e = estimate(rotation_xyzw=(0, 0, 0, 2))
        assert e.rotation_xyzw == (0.0, 0.0, 0.0, 1.0)
        assert e.twist_linear == (0.0, 0.0, 0.0) and e.twist_angular == (0.0, 0.0, 0.0)
        assert e.pose_covariance == [0.0] * 36 and e.twist_covariance == [0.0] * 36
        assert isinstance(e.translation, tuple) and e.translation == (1.0, -2.5, 0.0)

    def test_covariances_keep_row_major_order(self):
        values = list(range(36))
        e = estimate(pose_covariance=values, twist_covariance=tuple(reversed(values)))
        assert e.pose_covariance == [float(v) for v in values]
        assert e.twist_covariance == [float(v) for v in reversed(values)]
        assert estimate(pose_covariance=np.arange(36.0)).pose_covariance[35] == 35.0

    @pytest.mark.parametrize("fields, count", [({"pose_covariance": 35}, 35), ({"twist_covariance": 35}, 35),
                                              ({"pose_covariance": 2, "twist_covariance": 3}, 2)])  # pose first
    def test_covariance_length_message(self, fields, count):
        with pytest.raises(ValueError, match=rf"^covariance needs 36 row-major values, got {count}$"):
            estimate(**{field: [0.0] * n for field, n in fields.items()})

    @pytest.mark.parametrize(
        "overrides, exc, arg",
        [
            ({"twist_linear": None}, TypeError, "twist_linear"),
            ({"twist_angular": [0, 0, 0]}, TypeError, "twist_angular"),
            ({"translation": [1, 2, 3]}, TypeError, "translation"),
            ({"translation": (1, 2)}, ValueError, "translation"),
            ({"rotation_xyzw": (0, 0, 1)}, ValueError, "rotation_xyzw"),
            ({"timestamp_ns": 1.5}, TypeError, "timestamp_ns"),
            ({"timestamp_ns": 2**63}, OverflowError, "timestamp_ns"),
            ({"frame_id": b"odom"}, TypeError, "frame_id"),
            ({"child_frame_id": None}, TypeError, "child_frame_id"),
            ({"pose_covariance": "x" * 36}, TypeError, "pose_covariance"),
            ({"twist_covariance": [0.0] * 35 + ["x"]}, TypeError, "twist_covariance"),
        ],
    )
    def test_argument_errors(self, overrides, exc, arg):
        with pytest.raises(exc, match=arg):
            estimate(**overrides)

    def test_stamps_at_both_ends_of_the_range(self):
        assert [estimate(timestamp_ns=t).timestamp_ns for t in (-(2**63), 2**63 - 1)] == [-(2**63), 2**63 - 1]
        with pytest.raises(OverflowError):
            estimate(timestamp_ns=-(2**63) - 1)

    @pytest.mark.parametrize("name", ["translation", "new_attribute"])
    def test_attributes_are_read_only(self, name):
        with pytest.raises(AttributeError):
            setattr(estimate(), name, (0, 0, 0))


class TestImageFrame:
    def test_data_forms(self):
        for data in (bytes([0, 1]), bytearray([0, 1]), [0, 1], (0, 1), array.array("B", [0, 1]),
                     np.array([0, 1], dtype=np.uint8), np.array([0, 1], dtype=np.int64)):
            f = ImageFrame(7, "cam", 2, 1, "mono8", 2, data)
            assert f.frame_id == "cam" and f.timestamp_ns == 7

    def test_numpy_image_and_strided_view(self):
        img = np.arange(4 * 6 * 3, dtype=np.uint8).reshape(4, 6, 3)
        ImageFrame(0, "cam", 6, 4, "rgb8", 18, img)
        ImageFrame(0, "cam", 3, 4, "rgb8", 9, img[:, ::2])  # a strided view is gathered
        with pytest.raises(TypeError, match="data"):
            ImageFrame(0, "cam", 3, 4, "rgb8", 9, img[:, ::2].tolist())

    @pytest.mark.parametrize(
        "data, exc",
        [([0, 256], OverflowError), ([-1], OverflowError), ("ab", TypeError), ([0.5], TypeError),
         (None, TypeError), ({0: 1}, TypeError)],
    )
    def test_bad_data(self, data, exc):
        with pytest.raises(exc, match="data"):
            ImageFrame(0, "cam", 1, 1, "mono8", 1, data)

    @pytest.mark.parametrize("arg, value, exc", [("width", 2**31, OverflowError), ("step", "1", TypeError),
                                                 ("height", 1.0, TypeError), ("encoding", 8, TypeError)])
    def test_integer_and_string_arguments(self, arg, value, exc):
        args = dict(timestamp_ns=0, frame_id="c", width=1, height=1, encoding="mono8", step=1, data=b"\0")
        args[arg] = value
        with pytest.raises(exc, match=arg):
            ImageFrame(**args)

    def test_sizes_need_not_agree_and_pixels_stay_hidden(self):
        f = ImageFrame(0, "cam", 640, 480, "mono8", 640, b"\x00\x01")  # the engines drop it, counted
        assert not hasattr(f, "data") and not hasattr(f, "width")


class TestOtherRecords:
    def test_camera_model_intrinsics_length(self):
        CameraModel(0, "cam", 640, 480, [], K)
        CameraModel(0, "cam", 640, 480, np.zeros(8), np.array(K))
        with pytest.raises(ValueError, match="intrinsics"):
            CameraModel(0, "cam", 640, 480, [], K[:8])
        with pytest.raises(TypeError, match="distortion"):
            CameraModel(0, "cam", 640, 480, "k1", K)

    def test_imu_sample_vectors_are_tuples(self):
        ImuSample(timestamp_ns=1, frame_id="imu", angular_velocity=(0, 0, 0), linear_acceleration=(0, 0, 9.8))
        with pytest.raises(TypeError, match="linear_acceleration"):
            ImuSample(1, "imu", (0, 0, 0), [0, 0, 9.8])
        with pytest.raises(ValueError, match="angular_velocity"):
            ImuSample(1, "imu", (0, 0), (0, 0, 9.8))

    def test_imu_noise_model_takes_any_float(self):
        ImuNoiseModel("imu", 1, 2.0, np.float64(3), -4, math.nan)
        with pytest.raises(TypeError, match="frequency"):
            ImuNoiseModel("imu", 1, 2, 3, 4, "200")

    def test_point_cloud_has_no_constructor(self):
        with pytest.raises(TypeError):
            PointCloud()
