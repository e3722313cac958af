"""Duck-typed ROS conversions and the transform buffer, checked against the extension's own compose
and invert and against hand-built messages of both ROS generations."""

import math
import random
import re
from types import SimpleNamespace as NS

import pytest

import velk_odom
from velk_odom import ros

K = (500.0, 0.0, 320.0, 0.0, 500.0, 240.0, 0.0, 0.0, 1.0)


def stamp2(t_ns):
    return NS(sec=t_ns // 1_000_000_000, nanosec=t_ns % 1_000_000_000)


def stamp1(t_ns):
    return NS(secs=t_ns // 1_000_000_000, nsecs=t_ns % 1_000_000_000)


def v3(x, y, z):
    return NS(x=x, y=y, z=z)


def q4(x, y, z, w):
    return NS(x=x, y=y, z=z, w=w)


def random_pair(rng):
    q = [rng.gauss(0, 1) for _ in range(4)]
    return tuple(rng.uniform(-2, 2) for _ in range(3)), tuple(c / math.hypot(*q) for c in q)


def assert_pair_close(a, b, tol=1e-9):
    assert a[0] == pytest.approx(b[0], abs=tol)
    sign = 1.0 if sum(x * y for x, y in zip(a[1], b[1])) >= 0 else -1.0
    assert tuple(sign * c for c in a[1]) == pytest.approx(b[1], abs=tol)


def test_stamps_of_both_ros_generations():
    stamps = [stamp2(1_700_000_000_123_456_789), stamp1(42_000_000_007), NS(nanoseconds=5), 17]
    assert [ros.stamp_ns(s) for s in stamps] == [1_700_000_000_123_456_789, 42_000_000_007, 5, 17]
    with pytest.raises(TypeError):
        ros.stamp_ns(NS(seconds=1.5))


POSE_COV = [float(i) for i in range(36)]
TWIST_COV = [float(100 + i) for i in range(36)]
NO_COV = [0.0] * 36


def odometry_msg(stamp):
    return NS(header=NS(stamp=stamp, frame_id="odom"), child_frame_id="base_link",
              pose=NS(pose=NS(position=v3(1.0, -2.0, 0.5), orientation=q4(0.0, 0.0, 0.6, 0.8)), covariance=POSE_COV),
              twist=NS(twist=NS(linear=v3(0.3, 0.0, 0.0), angular=v3(0.0, 0.0, -0.1)), covariance=TWIST_COV))


FULL = ("odom", "base_link", (1.0, -2.0, 0.5), (0.3, 0.0, 0.0), (0.0, 0.0, -0.1), POSE_COV, TWIST_COV)


@pytest.mark.parametrize("convert, expected", [
    (lambda m: ros.odometry_estimate_from_msg(m), FULL),
    (lambda m: ros.odometry_estimate_from_msg(m, "wheels", "chassis"), ("wheels", "chassis") + FULL[2:]),
    (lambda m: ros.odometry_estimate_from_pose_msg(NS(header=m.header, pose=m.pose), "base_link"),
     FULL[:3] + ((0.0,) * 3, (0.0,) * 3, POSE_COV, NO_COV)),
    (lambda m: ros.odometry_estimate_from_twist_msg(NS(header=NS(stamp=m.header.stamp, frame_id="base_link"), twist=m.twist),
                                                    "wheels"), ("wheels", "base_link", (0.0,) * 3) + FULL[3:5] + (NO_COV, TWIST_COV)),
])
@pytest.mark.parametrize("stamp", [stamp2(3_000_000_001), stamp1(3_000_000_001)])
def test_odometry_pose_and_twist_messages_keep_every_field(convert, expected, stamp):
    est = convert(odometry_msg(stamp))
    assert est.timestamp_ns == 3_000_000_001
    assert (est.frame_id, est.child_frame_id, est.translation, est.twist_linear, est.twist_angular, est.pose_covariance,
            est.twist_covariance) == expected
    if expected[2] != (0.0,) * 3:
        assert est.rotation_xyzw == pytest.approx((0.0, 0.0, 0.6, 0.8))
    msg = odometry_msg(stamp)
    msg.pose.covariance = [0.0] * 35
    with pytest.raises(ValueError, match="got 35"):
        ros.odometry_estimate_from_msg(msg)


def imu_msg(orientation, ocov):
    return NS(header=NS(stamp=stamp2(5_000), frame_id="imu_link"), orientation=q4(*orientation), orientation_covariance=ocov,
              angular_velocity=v3(0.1, 0.2, 0.3), angular_velocity_covariance=[0.0] * 9,
              linear_acceleration=v3(0.0, 0.0, 9.8), linear_acceleration_covariance=[0.0] * 9)


@pytest.mark.parametrize("orientation, ocov, expected", [
    ((0, 0, 0, 1), [-1.0] + [0.0] * 8, False),  # the message's "no orientation" marker
    ((0, 0, 0, 0), [0.0] * 9, False),  # an all-zero quaternion says nothing either
    ((0, 0, 0, 1), [0.0] * 9, True),
    ((0.1, 0.2, 0.3, 0.9), [0.01, 0, 0, 0, 0.01, 0, 0, 0, 0.02], True),
])
def test_has_orientation(orientation, ocov, expected):
    msg = imu_msg(orientation, ocov)
    assert ros.has_orientation(msg) is expected
    est = ros.orientation_estimate_from_imu_msg(msg, ((0, 0, 0), (0, 0, 0, 1)), "imu/orientation", "base_link")
    assert (est is not None) is expected


@pytest.mark.parametrize("seed", range(4))
def test_orientation_is_turned_into_the_base_frame(seed):
    rng = random.Random(seed)
    world_from_imu = ((0.0, 0.0, 0.0), random_pair(rng)[1])
    base_from_imu = random_pair(rng)
    ocov = [0.01, 0.001, 0.002, 0.001, 0.03, 0.004, 0.002, 0.004, 0.05]
    est = ros.orientation_estimate_from_imu_msg(imu_msg(world_from_imu[1], ocov), base_from_imu, "imu/orientation", "base_link")
    world_from_base = velk_odom.compose(world_from_imu, velk_odom.invert(base_from_imu))
    assert_pair_close((est.translation, est.rotation_xyzw), ((0.0, 0.0, 0.0), world_from_base[1]))
    assert (est.frame_id, est.child_frame_id, est.timestamp_ns) == ("imu/orientation", "base_link", 5_000)
    cov = est.pose_covariance
    assert [cov[6 * r + c] for r in range(3, 6) for c in range(3, 6)] == ocov
    assert sum(abs(cov[6 * r + c]) for r in range(6) for c in range(6) if r < 3 or c < 3) == 0.0


@pytest.mark.parametrize("fields, data", [({"k": list(K), "d": [0.1, 0.0, 0.0, 0.0, 0.0]}, bytes(range(12))),
                                          ({"K": list(K), "D": []}, list(range(12))), ({"k": list(K), "d": []}, "numpy")])
def test_camera_info_and_image_messages_of_both_generations(fields, data):
    info = NS(header=NS(stamp=stamp2(1), frame_id="cam"), width=640, height=480, **fields)
    assert isinstance(ros.camera_model_from_msg(info), velk_odom.CameraModel)
    with pytest.raises(AttributeError, match="none of the fields"):
        ros.camera_model_from_msg(NS(header=info.header, width=1, height=1, d=[]))
    data = pytest.importorskip("numpy").arange(12, dtype="uint8") if data == "numpy" else data
    msg = NS(header=NS(stamp=stamp2(77), frame_id="cam"), width=4, height=3, encoding="mono8", step=4, data=data)
    frame = ros.image_frame_from_msg(msg)
    assert (frame.timestamp_ns, frame.frame_id) == (77, "cam")


def test_lookups_follow_the_tree_in_both_directions():
    # A robot with base -> imu, base -> camera -> optical, and odom -> base.
    rng = random.Random(11)
    p = {name: random_pair(rng) for name in ("base_imu", "base_cam", "cam_opt", "odom_base")}
    buf = ros.TransformBuffer()
    buf.set_transform("base_link", "imu_link", p["base_imu"], static=True)
    buf.set_transform("/base_link", "camera", p["base_cam"], static=True)  # a ROS 1 leading slash
    buf.set_transform("camera", "camera_optical", p["cam_opt"], static=True)
    buf.set_transform("odom", "base_link", p["odom_base"])
    c, inv = velk_odom.compose, velk_odom.invert
    base_from_opt = c(p["base_cam"], p["cam_opt"])
    for target, source, expected in [("base_link", "imu_link", p["base_imu"]), ("imu_link", "base_link", inv(p["base_imu"])),
                                     ("base_link", "camera_optical", base_from_opt),
                                     ("camera_optical", "imu_link", c(inv(base_from_opt), p["base_imu"])),
                                     ("odom", "camera_optical", c(p["odom_base"], base_from_opt)),
                                     ("imu_link", "odom", c(inv(p["base_imu"]), inv(p["odom_base"])))]:
        assert_pair_close(buf(target, source), expected)
    assert buf("camera", "camera") == ((0.0, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0))
    assert buf("base_link", "lidar") is None and buf("map", "odom") is None
    assert buf.frames() == ["base_link", "camera", "camera_optical", "imu_link", "odom"]
    assert buf.parent("camera_optical") == "camera" and buf.parent("odom") is None
    # A newer transform replaces the older one: base_link moves under map.
    buf.set_transform("map", "base_link", ((1.0, 0.0, 0.0), (0.0, 0.0, 0.0, 2.0)))
    assert buf("odom", "base_link") is None
    assert_pair_close(buf("map", "imu_link"), c(((1.0, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0)), p["base_imu"]))


def transform_msg(parent, child, t, q):
    return NS(header=NS(stamp=stamp2(1), frame_id=parent), child_frame_id=child, transform=NS(translation=v3(*t), rotation=q4(*q)))


@pytest.mark.parametrize("parent, child, t, q, reason", [
    ("base_link", "/base_link", (0, 0, 0), (0, 0, 0, 1), "transform from 'base_link' to itself"),
    ("base_link", "imu", (0, 0, 0), (0, 0, 0, 0), "transform 'base_link' -> 'imu': quaternion (0.0, 0.0, 0.0, 0.0) has no direction"),
    ("base_link", "imu", (0, 0, 0), (0, 0, math.nan, 1), "has no direction"),
    ("base_link", "imu", (math.inf, 0, 0), (0, 0, 0, 1), "transform 'base_link' -> 'imu' has a non-finite translation"),
])
def test_a_bad_transform_is_refused_and_the_rest_of_its_message_kept(parent, child, t, q, reason):
    buf = ros.TransformBuffer()
    with pytest.raises(ValueError, match=re.escape(reason)):
        buf.set_transform(parent, child, (t, q))
    good = transform_msg("base_link", "laser", (0.1, 0.0, 0.2), (0.0, 0.0, 0.0, 3.0))
    assert buf.add_message(NS(transforms=[transform_msg(parent, child, t, q), good]), static=True) == 1
    assert buf("base_link", "laser") == ((0.1, 0.0, 0.2), (0.0, 0.0, 0.0, 1.0)) and buf.frames() == ["base_link", "laser"]
    assert buf.rejected == 1 and reason in buf.last_rejection
