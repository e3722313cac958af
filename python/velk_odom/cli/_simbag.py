"""Write a simulated recording (`velk_odom.sim`) as a ROS bag with the `rosbags` writers, so that the
replay command can be tried, and tested, on data with a known ground truth.

Topics: sensor_msgs/Imu on ``imu_topic`` (with the simulated AHRS orientation when the recording has
one, and the noise variances of its gyroscope and accelerometer), nav_msgs/Odometry on ``odom_topic``
and the IMU's mounting on /tf_static (when ``with_tf_static``).
Each message is recorded at its arrival time, so recorded order differs from stamp order exactly as
the simulator's deliveries do. Stamps are shifted by ``start_ns`` (a bag at time 0 confuses tools).
"""

from __future__ import annotations

from pathlib import Path
from typing import Any, Optional

import numpy as np
from rosbags.typesys import Stores, get_types_from_msg, get_typestore

from velk_odom._geometry import Pair
from velk_odom.sim import Recording
from velk_odom.trajectory import write_tum

FORMATS = ("ros1", "ros2-sqlite3", "ros2-mcap")
DEFAULT_START_NS = 1_700_000_000_000_000_000

_TFMESSAGE_MSG = "geometry_msgs/TransformStamped[] transforms\n"


def _typestore(fmt: str) -> Any:
    if fmt == "ros1":
        store = get_typestore(Stores.ROS1_NOETIC)
        if "tf2_msgs/msg/TFMessage" not in store.types:
            store.register(get_types_from_msg(_TFMESSAGE_MSG, "tf2_msgs/msg/TFMessage"))
        return store
    return get_typestore(Stores.ROS2_HUMBLE)


class _Builder:
    """Builds messages of one typestore; hides the ROS 1 / ROS 2 header difference."""

    def __init__(self, store: Any, ros1: bool) -> None:
        self.t = store.types
        self.ros1 = ros1

    def header(self, t_ns: int, frame: str) -> Any:
        stamp = self.t["builtin_interfaces/msg/Time"](sec=t_ns // 1_000_000_000, nanosec=t_ns % 1_000_000_000)
        if self.ros1:
            return self.t["std_msgs/msg/Header"](seq=0, stamp=stamp, frame_id=frame)
        return self.t["std_msgs/msg/Header"](stamp=stamp, frame_id=frame)

    def vec3(self, v: Any) -> Any:
        return self.t["geometry_msgs/msg/Vector3"](x=float(v[0]), y=float(v[1]), z=float(v[2]))

    def point(self, v: Any) -> Any:
        return self.t["geometry_msgs/msg/Point"](x=float(v[0]), y=float(v[1]), z=float(v[2]))

    def quat(self, q: Any) -> Any:
        return self.t["geometry_msgs/msg/Quaternion"](x=float(q[0]), y=float(q[1]), z=float(q[2]), w=float(q[3]))

    def imu(self, t_ns: int, frame: str, gyro: Any, accel: Any, orientation: Any = None, orientation_variance: float = 0.0,
            gyro_variance: float = 0.0, accel_variance: float = 0.0) -> Any:
        # sensor_msgs/Imu: covariance 0 means unknown, -1 in the first element means not reported.
        ocov = np.zeros(9)
        if orientation is None:
            ocov[0] = -1.0
            orientation = (0.0, 0.0, 0.0, 0.0)
        else:
            ocov[[0, 4, 8]] = orientation_variance
        gcov, acov = np.zeros(9), np.zeros(9)
        gcov[[0, 4, 8]] = gyro_variance
        acov[[0, 4, 8]] = accel_variance
        return self.t["sensor_msgs/msg/Imu"](
            header=self.header(t_ns, frame),
            orientation=self.quat(orientation),
            orientation_covariance=ocov,
            angular_velocity=self.vec3(gyro),
            angular_velocity_covariance=gcov,
            linear_acceleration=self.vec3(accel),
            linear_acceleration_covariance=acov,
        )

    def odometry(self, t_ns: int, w: Any) -> Any:
        pose = self.t["geometry_msgs/msg/Pose"](position=self.point(w.translation), orientation=self.quat(w.rotation_xyzw))
        twist = self.t["geometry_msgs/msg/Twist"](linear=self.vec3(w.twist_linear), angular=self.vec3(w.twist_angular))
        return self.t["nav_msgs/msg/Odometry"](
            header=self.header(t_ns, w.frame_id),
            child_frame_id=w.child_frame_id,
            pose=self.t["geometry_msgs/msg/PoseWithCovariance"](pose=pose, covariance=np.asarray(w.pose_covariance, dtype=float)),
            twist=self.t["geometry_msgs/msg/TwistWithCovariance"](twist=twist, covariance=np.asarray(w.twist_covariance, dtype=float)),
        )

    def pose_stamped(self, t_ns: int, w: Any) -> Any:
        pose = self.t["geometry_msgs/msg/Pose"](position=self.point(w.translation), orientation=self.quat(w.rotation_xyzw))
        return self.t["geometry_msgs/msg/PoseWithCovarianceStamped"](
            header=self.header(t_ns, w.frame_id),
            pose=self.t["geometry_msgs/msg/PoseWithCovariance"](pose=pose, covariance=np.asarray(w.pose_covariance, dtype=float)),
        )

    def twist_stamped(self, t_ns: int, w: Any) -> Any:
        twist = self.t["geometry_msgs/msg/Twist"](linear=self.vec3(w.twist_linear), angular=self.vec3(w.twist_angular))
        return self.t["geometry_msgs/msg/TwistWithCovarianceStamped"](
            header=self.header(t_ns, w.child_frame_id),
            twist=self.t["geometry_msgs/msg/TwistWithCovariance"](twist=twist, covariance=np.asarray(w.twist_covariance, dtype=float)),
        )

    def camera_info(self, t_ns: int, frame: str, width: int, height: int, intrinsics: Any, distortion: Any = ()) -> Any:
        """A plumb-bob calibration from (fx, fy, cx, cy) and its distortion coefficients."""
        fx, fy, cx, cy = intrinsics
        roi = self.t["sensor_msgs/msg/RegionOfInterest"](x_offset=0, y_offset=0, height=0, width=0, do_rectify=False)
        k = np.array([fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0])
        p = np.zeros(12)
        p[[0, 2, 5, 6, 10]] = [fx, cx, fy, cy, 1.0]
        return self.t["sensor_msgs/msg/CameraInfo"](
            header=self.header(t_ns, frame), height=height, width=width, distortion_model="plumb_bob",
            d=np.asarray(distortion, dtype=float), k=k, r=np.eye(3).ravel(), p=p, binning_x=0, binning_y=0, roi=roi,
        )

    def image(self, t_ns: int, frame: str, encoding: str, pixels: Any) -> Any:
        """An image message of a height x width (x channels) array, rows unpadded."""
        return self.t["sensor_msgs/msg/Image"](
            header=self.header(t_ns, frame), height=pixels.shape[0], width=pixels.shape[1], encoding=encoding,
            is_bigendian=0, step=pixels.strides[0], data=np.ascontiguousarray(pixels).reshape(-1).view(np.uint8),
        )

    def tf_message(self, t_ns: int, parent: str, child: str, pair: Any) -> Any:
        tr = self.t["geometry_msgs/msg/Transform"](translation=self.vec3(pair[0]), rotation=self.quat(pair[1]))
        ts = self.t["geometry_msgs/msg/TransformStamped"](header=self.header(t_ns, parent), child_frame_id=child, transform=tr)
        return self.t["tf2_msgs/msg/TFMessage"](transforms=[ts])


def write_sim_bag(
    rec: Recording,
    path: "Path | str",
    fmt: str = "ros2-sqlite3",
    *,
    imu_topic: str = "/imu/data",
    odom_topic: str = "/wheel/odom",
    with_tf_static: bool = True,
    wheel_type: str = "nav_msgs/msg/Odometry",
    start_ns: int = DEFAULT_START_NS,
    declared_mount: Optional[Pair] = None,
) -> Path:
    """Write ``rec`` to ``path`` (a .bag file for "ros1", a bag folder for the ROS 2 formats) and return
    the path. ``wheel_type``
    may also be geometry_msgs/msg/PoseWithCovarianceStamped or TwistWithCovarianceStamped (the twist
    stamped in the child frame). ``declared_mount`` puts another mount than the simulated one on
    /tf_static (a robot description that is wrong)."""
    if fmt not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, got {fmt!r}")
    path = Path(path)
    store = _typestore(fmt)
    build = _Builder(store, fmt == "ros1")
    if fmt == "ros1":
        from rosbags.rosbag1 import Writer as Writer1

        writer: Any = Writer1(path)
        serialize = store.serialize_ros1
    else:
        from rosbags.rosbag2 import StoragePlugin
        from rosbags.rosbag2 import Writer as Writer2

        plugin = StoragePlugin.MCAP if fmt == "ros2-mcap" else StoragePlugin.SQLITE3
        writer = Writer2(path, version=9, storage_plugin=plugin)
        serialize = store.serialize_cdr

    with writer:
        conns = {}
        conns["imu"] = writer.add_connection(imu_topic, "sensor_msgs/msg/Imu", typestore=store)
        conns["wheel"] = writer.add_connection(odom_topic, wheel_type, typestore=store)
        wheel_msg = {
            "nav_msgs/msg/Odometry": build.odometry,
            "geometry_msgs/msg/PoseWithCovarianceStamped": build.pose_stamped,
            "geometry_msgs/msg/TwistWithCovarianceStamped": build.twist_stamped,
        }[wheel_type]
        if with_tf_static:
            tf_conn = writer.add_connection("/tf_static", "tf2_msgs/msg/TFMessage", typestore=store)
            msg = build.tf_message(start_ns, rec.base_frame_id, rec.imu_frame_id, declared_mount or rec.base_from_imu)
            writer.write(tf_conn, start_ns, serialize(msg, "tf2_msgs/msg/TFMessage"))
        for d in rec.deliveries:
            m = d.message
            t = start_ns + m.timestamp_ns
            if d.kind == "imu":
                msg = build.imu(t, m.frame_id, m.angular_velocity, m.linear_acceleration, m.orientation, rec.ahrs_variance,
                                rec.imu_sigmas[0] ** 2, rec.imu_sigmas[1] ** 2)
                writer.write(conns["imu"], start_ns + d.arrival_ns, serialize(msg, "sensor_msgs/msg/Imu"))
            else:
                msg = wheel_msg(t, m)
                writer.write(conns["wheel"], start_ns + d.arrival_ns, serialize(msg, wheel_type))
    return path


def write_ground_truth_tum(rec: Recording, path: "Path | str", start_ns: int = DEFAULT_START_NS) -> Path:
    """The simulator's ground truth as a TUM file, stamps shifted like `write_sim_bag`'s."""
    path = Path(path)
    write_tum(path, ((start_ns + row[0], *row[1:]) for row in rec.ground_truth))
    return path


__all__ = ["DEFAULT_START_NS", "FORMATS", "write_ground_truth_tum", "write_sim_bag"]
