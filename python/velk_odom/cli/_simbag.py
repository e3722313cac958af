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

from velk_odom._geometry import Pair
from velk_odom.ros import MessageBuilder, bag_typestore
from velk_odom.sim import Recording
from velk_odom.trajectory import write_tum

FORMATS = ("ros1", "ros2-sqlite3", "ros2-mcap")
DEFAULT_START_NS = 1_700_000_000_000_000_000


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
    store = bag_typestore(ros1=fmt == "ros1")
    build = MessageBuilder(store, ros1=fmt == "ros1")
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
