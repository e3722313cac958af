"""Conversions from ROS messages to velk_odom's value classes, and a transform buffer usable as the
``tf`` callable of `CuvslamOdometry`.

The conversions are duck-typed: any object with the message's fields works, whether it comes from
rclpy, rospy, a bag reader such as `rosbags`, or a test. Both ROS 2 field spellings (``header.stamp``
with ``sec``/``nanosec``, CameraInfo ``k``/``d``) and ROS 1 ones (``secs``/``nsecs``, ``K``/``D``)
are read. Nothing here needs ROS installed.

==========================================  ===========================================
ROS message                                 function
==========================================  ===========================================
sensor_msgs/Imu                             `imu_sample_from_msg`
sensor_msgs/Imu with an orientation         `orientation_estimate_from_imu_msg`
nav_msgs/Odometry                           `odometry_estimate_from_msg`
geometry_msgs/PoseWithCovarianceStamped     `odometry_estimate_from_pose_msg`
geometry_msgs/TwistWithCovarianceStamped    `odometry_estimate_from_twist_msg`
sensor_msgs/CameraInfo                      `camera_model_from_msg`
sensor_msgs/Image                           `image_frame_from_msg`
tf2_msgs/TFMessage, TransformStamped        `TransformBuffer.add_message`, `transform_from_msg`
==========================================  ===========================================

The other way, `fill_odometry_msg`, `fill_transform_msg` and `fill_point_cloud2_msg` write an estimate
or a depth cloud into a message object made by the caller (an rclpy message, for a node), and
`MessageBuilder` makes whole messages of a `rosbags` typestore (`bag_typestore`) for writing bags.
"""

from __future__ import annotations

import math
from collections import deque
from typing import Any, Dict, List, Optional, Sequence, Tuple

from velk_odom import _geometry as geo
from velk_odom._native import CameraModel, ImageFrame, ImuSample, OdometryEstimate

__all__ = [
    "MessageBuilder",
    "TransformBuffer",
    "bag_typestore",
    "camera_model_from_msg",
    "has_orientation",
    "image_frame_from_msg",
    "imu_sample_from_msg",
    "odometry_estimate_from_msg",
    "odometry_estimate_from_pose_msg",
    "odometry_estimate_from_twist_msg",
    "orientation_estimate_from_imu_msg",
    "stamp_ns",
    "covariance_diagonal",
    "fill_odometry_msg",
    "fill_point_cloud2_msg",
    "fill_transform_msg",
    "transform_from_msg",
]

Pair = geo.Pair


def stamp_ns(stamp: Any) -> int:
    """Nanoseconds of a ROS time: ``sec``/``nanosec`` (ROS 2), ``secs``/``nsecs`` (ROS 1), an object
    with ``nanoseconds`` or ``to_nsec()``, or a plain int of nanoseconds."""
    if isinstance(stamp, int):
        return stamp
    if hasattr(stamp, "nanosec"):
        return int(stamp.sec) * 1_000_000_000 + int(stamp.nanosec)
    if hasattr(stamp, "nsecs"):
        return int(stamp.secs) * 1_000_000_000 + int(stamp.nsecs)
    if hasattr(stamp, "nanoseconds"):
        return int(stamp.nanoseconds)
    if hasattr(stamp, "to_nsec"):
        return int(stamp.to_nsec())
    raise TypeError(f"cannot read a time from {type(stamp).__name__}")


def _vec3(v: Any) -> Tuple[float, float, float]:
    return (float(v.x), float(v.y), float(v.z))


def _quat(q: Any) -> Tuple[float, float, float, float]:
    return (float(q.x), float(q.y), float(q.z), float(q.w))


def _cov36(values: Any) -> List[float]:
    out = [float(v) for v in values]
    if len(out) != 36:
        raise ValueError(f"covariance needs 36 row-major values, got {len(out)}")
    return out


def _header(msg: Any) -> Tuple[int, str]:
    return stamp_ns(msg.header.stamp), str(msg.header.frame_id)


def imu_sample_from_msg(msg: Any, frame_id: Optional[str] = None) -> ImuSample:
    """sensor_msgs/Imu → ImuSample (rates in rad/s and specific force in m/s², IMU axes). The
    sample's frame is ``frame_id`` when given, else the header's. The orientation is not carried:
    see `orientation_estimate_from_imu_msg`."""
    t, header_frame = _header(msg)
    return ImuSample(
        t,
        header_frame if frame_id is None else frame_id,
        _vec3(msg.angular_velocity),
        _vec3(msg.linear_acceleration),
    )


def has_orientation(msg: Any) -> bool:
    """True when a sensor_msgs/Imu reports an orientation: ``orientation_covariance[0]`` is not -1
    (the message definition's marker for "no orientation") and the quaternion is not zero."""
    cov = list(msg.orientation_covariance)
    if cov and float(cov[0]) == -1.0:
        return False
    q = _quat(msg.orientation)
    return all(math.isfinite(c) for c in q) and sum(c * c for c in q) > 0.0


def orientation_estimate_from_imu_msg(
    msg: Any,
    base_from_imu: Pair,
    frame_id: str,
    child_frame_id: str,
) -> Optional[OdometryEstimate]:
    """The absolute orientation of a sensor_msgs/Imu as an attitude-only OdometryEstimate of the
    base frame: rotation q_world_imu ⊗ q_imu_base, translation zero, pose covariance zero except the
    roll/pitch/yaw block, which holds the message's ``orientation_covariance``; zero twist and twist
    covariance. Configure its `odom_sources` entry with position variances 0 (the position carries
    no information). Returns None when the message has no orientation (`has_orientation`)."""
    if not has_orientation(msg):
        return None
    t = stamp_ns(msg.header.stamp)
    q_wi = geo.quat_normalize(_quat(msg.orientation))
    q_wb = geo.quat_mul(q_wi, geo.quat_conj(geo.quat_normalize(base_from_imu[1])))
    cov = [0.0] * 36
    rpy = [float(v) for v in msg.orientation_covariance]
    if len(rpy) == 9:
        for r in range(3):
            for c in range(3):
                cov[6 * (3 + r) + 3 + c] = rpy[3 * r + c]
    return OdometryEstimate(t, frame_id, child_frame_id, (0.0, 0.0, 0.0), q_wb, pose_covariance=cov)


def odometry_estimate_from_msg(
    msg: Any, frame_id: Optional[str] = None, child_frame_id: Optional[str] = None
) -> OdometryEstimate:
    """nav_msgs/Odometry → OdometryEstimate: pose of ``child_frame_id`` in ``header.frame_id``, twist
    in the child frame, both covariances. ``frame_id``/``child_frame_id`` replace the message's
    frame names when given."""
    t, header_frame = _header(msg)
    pose = msg.pose.pose
    twist = msg.twist.twist
    return OdometryEstimate(
        t,
        header_frame if frame_id is None else frame_id,
        str(msg.child_frame_id) if child_frame_id is None else child_frame_id,
        _vec3(pose.position),
        _quat(pose.orientation),
        pose_covariance=_cov36(msg.pose.covariance),
        twist_linear=_vec3(twist.linear),
        twist_angular=_vec3(twist.angular),
        twist_covariance=_cov36(msg.twist.covariance),
    )


def odometry_estimate_from_pose_msg(
    msg: Any, child_frame_id: str, frame_id: Optional[str] = None
) -> OdometryEstimate:
    """geometry_msgs/PoseWithCovarianceStamped → OdometryEstimate with that pose and covariance and a
    zero twist (give the source twist variances 0). The message names no child frame, so the caller
    does."""
    t, header_frame = _header(msg)
    pose = msg.pose.pose
    return OdometryEstimate(
        t,
        header_frame if frame_id is None else frame_id,
        child_frame_id,
        _vec3(pose.position),
        _quat(pose.orientation),
        pose_covariance=_cov36(msg.pose.covariance),
    )


def odometry_estimate_from_twist_msg(
    msg: Any, frame_id: str, child_frame_id: Optional[str] = None
) -> OdometryEstimate:
    """geometry_msgs/TwistWithCovarianceStamped → OdometryEstimate carrying only the twist (expressed
    in ``header.frame_id``, which becomes the child frame unless ``child_frame_id`` is given). The
    pose is the identity with zero covariance, so the engine takes no pose information from it."""
    t, header_frame = _header(msg)
    twist = msg.twist.twist
    return OdometryEstimate(
        t,
        frame_id,
        header_frame if child_frame_id is None else child_frame_id,
        (0.0, 0.0, 0.0),
        (0.0, 0.0, 0.0, 1.0),
        twist_linear=_vec3(twist.linear),
        twist_angular=_vec3(twist.angular),
        twist_covariance=_cov36(msg.twist.covariance),
    )


def _field(msg: Any, *names: str) -> Any:
    for name in names:
        if hasattr(msg, name):
            return getattr(msg, name)
    raise AttributeError(f"{type(msg).__name__} has none of the fields {', '.join(names)}")


def camera_model_from_msg(msg: Any, frame_id: Optional[str] = None) -> CameraModel:
    """sensor_msgs/CameraInfo → CameraModel (``k``/``K`` intrinsics, ``d``/``D`` plumb_bob
    distortion)."""
    t, header_frame = _header(msg)
    return CameraModel(
        t,
        header_frame if frame_id is None else frame_id,
        int(msg.width),
        int(msg.height),
        [float(v) for v in _field(msg, "d", "D")],
        [float(v) for v in _field(msg, "k", "K")],
    )


def _bytes_of(data: Any) -> bytes:
    if isinstance(data, (bytes, bytearray)):
        return bytes(data)
    tobytes = getattr(data, "tobytes", None)  # numpy arrays, array.array
    if tobytes is not None:
        return tobytes()
    return bytes(data)


def image_frame_from_msg(msg: Any, frame_id: Optional[str] = None) -> ImageFrame:
    """sensor_msgs/Image → ImageFrame (pixel rows copied once into a bytes object)."""
    t, header_frame = _header(msg)
    return ImageFrame(
        t,
        header_frame if frame_id is None else frame_id,
        int(msg.width),
        int(msg.height),
        str(msg.encoding),
        int(msg.step),
        _bytes_of(msg.data),
    )


def transform_from_msg(msg: Any) -> Tuple[str, str, int, Pair]:
    """geometry_msgs/TransformStamped → (parent frame, child frame, stamp ns, parent_from_child).
    Raises ValueError for a quaternion without a direction (zero or not finite)."""
    tr = msg.transform
    parent, child = str(msg.header.frame_id), str(msg.child_frame_id)
    try:
        q = geo.quat_normalize(_quat(tr.rotation))
    except ValueError as err:
        raise ValueError(f"transform {parent!r} -> {child!r}: {err}") from None
    return parent, child, stamp_ns(msg.header.stamp), (_vec3(tr.translation), q)


def _strip(frame: str) -> str:
    # tf2 ignores a leading slash (a ROS 1 habit); so do we.
    return frame[1:] if frame.startswith("/") else frame


class TransformBuffer:
    """The latest known transforms between frames, from /tf and /tf_static messages or set by hand.

    Each edge parent → child holds parent_from_child; a lookup walks the tree in either direction,
    so any two connected frames can be related. The instance is callable as ``tf(target, source)``
    and answers the transform pair target_from_source, or None when the frames are not connected, the
    form `CuvslamOdometry` expects. A later transform for the same child replaces the earlier one
    (also across /tf and /tf_static); no time interpolation is done.

    ``rejected`` counts the transforms of messages that `add_message` skipped, and
    ``last_rejection`` says why the latest one was.
    """

    def __init__(self) -> None:
        self._edges: Dict[str, Tuple[str, Pair, int, bool]] = {}  # child -> (parent, pair, stamp, static)
        self._children: Dict[str, set] = {}
        self.rejected = 0
        self.last_rejection: Optional[str] = None

    def set_transform(self, parent: str, child: str, parent_from_child: Pair, stamp_ns: int = 0, static: bool = False) -> None:
        """Record parent_from_child (quaternion normalised). Raises ValueError for a frame that is its
        own parent, a zero quaternion or a value that is not finite."""
        parent, child = _strip(parent), _strip(child)
        if parent == child:
            raise ValueError(f"transform from {child!r} to itself")
        t, q = parent_from_child
        t = (float(t[0]), float(t[1]), float(t[2]))
        if not all(math.isfinite(c) for c in t):
            raise ValueError(f"transform {parent!r} -> {child!r} has a non-finite translation {t}")
        try:
            pair = (t, geo.quat_normalize(tuple(float(c) for c in q)))
        except ValueError as err:
            raise ValueError(f"transform {parent!r} -> {child!r}: {err}") from None
        old = self._edges.get(child)
        if old is not None:
            self._children[old[0]].discard(child)
        self._edges[child] = (parent, pair, stamp_ns, static)
        self._children.setdefault(parent, set()).add(child)

    def add_message(self, msg: Any, static: bool = False) -> int:
        """Add every transform of a tf2_msgs/TFMessage; returns how many were added. As tf2 does, a
        transform that `set_transform` refuses is skipped (counted in ``rejected``, its reason kept
        in ``last_rejection``) and the message's other transforms are still added."""
        count = 0
        for ts in msg.transforms:
            try:
                parent, child, t, pair = transform_from_msg(ts)
                self.set_transform(parent, child, pair, t, static)
            except ValueError as err:
                self.rejected += 1
                self.last_rejection = str(err)
                continue
            count += 1
        return count

    def frames(self) -> List[str]:
        """Every frame named by a stored transform, sorted."""
        names = set(self._edges)
        names.update(p for p, _, _, _ in self._edges.values())
        return sorted(names)

    def parent(self, frame: str) -> Optional[str]:
        """The parent of ``frame`` in the tree, or None for a root or an unknown frame."""
        edge = self._edges.get(_strip(frame))
        return edge[0] if edge is not None else None

    def lookup(self, target: str, source: str) -> Optional[Pair]:
        """target_from_source, or None when no chain of transforms connects the two frames."""
        target, source = _strip(target), _strip(source)
        if target == source:
            return geo.IDENTITY_PAIR
        # Breadth-first search from source; each step carries source-relative transform
        # node_from_source.
        found: Dict[str, Pair] = {source: geo.IDENTITY_PAIR}
        queue = deque([source])
        while queue:
            node = queue.popleft()
            node_from_source = found[node]
            steps: List[Tuple[str, Pair]] = []
            edge = self._edges.get(node)
            if edge is not None:
                parent, parent_from_node, _, _ = edge
                steps.append((parent, parent_from_node))
            for child in self._children.get(node, ()):
                steps.append((child, geo.invert(self._edges[child][1])))
            for nxt, nxt_from_node in steps:
                if nxt in found:
                    continue
                found[nxt] = geo.compose(nxt_from_node, node_from_source)
                if nxt == target:
                    return found[nxt]
                queue.append(nxt)
        return None

    def __call__(self, target: str, source: str) -> Optional[Pair]:
        return self.lookup(target, source)


def covariance_diagonal(values: Sequence[float]) -> List[float]:
    """The six diagonal elements of a 36-value row-major covariance."""
    return [float(values[7 * i]) for i in range(6)]


def _set_stamp(header: Any, t_ns: int, frame_id: str) -> None:
    header.stamp.sec, header.stamp.nanosec = divmod(int(t_ns), 1_000_000_000)
    header.frame_id = frame_id


def _set_vec3(v: Any, values: Sequence[float]) -> None:
    v.x, v.y, v.z = (float(c) for c in values)


def fill_odometry_msg(msg: Any, estimate: Any) -> Any:
    """Write an OdometryEstimate into a nav_msgs/Odometry: stamp and frames, pose, twist (child frame)
    and both covariances as the engine gave them. Returns ``msg``."""
    _set_stamp(msg.header, estimate.timestamp_ns, estimate.frame_id)
    msg.child_frame_id = estimate.child_frame_id
    pose = msg.pose.pose
    _set_vec3(pose.position, estimate.translation)
    q = estimate.rotation_xyzw
    pose.orientation.x, pose.orientation.y, pose.orientation.z, pose.orientation.w = (float(c) for c in q)
    msg.pose.covariance = _cov36(estimate.pose_covariance)
    _set_vec3(msg.twist.twist.linear, estimate.twist_linear)
    _set_vec3(msg.twist.twist.angular, estimate.twist_angular)
    msg.twist.covariance = _cov36(estimate.twist_covariance)
    return msg


def fill_transform_msg(msg: Any, estimate: Any) -> Any:
    """Write an OdometryEstimate's pose into a geometry_msgs/TransformStamped (parent: its frame_id,
    child: its child_frame_id). Returns ``msg``."""
    _set_stamp(msg.header, estimate.timestamp_ns, estimate.frame_id)
    msg.child_frame_id = estimate.child_frame_id
    _set_vec3(msg.transform.translation, estimate.translation)
    r = msg.transform.rotation
    r.x, r.y, r.z, r.w = (float(c) for c in estimate.rotation_xyzw)
    return msg


def fill_point_cloud2_msg(msg: Any, cloud: Any, point_field: Any) -> Any:
    """Write a depth PointCloud into a sensor_msgs/PointCloud2: one unordered row of float32 x, y, z
    in the cloud's frame. ``point_field`` is the PointField class of the caller's message package.
    Returns ``msg``."""
    import sys

    _set_stamp(msg.header, cloud.timestamp_ns, cloud.frame_id)
    n = len(cloud)
    msg.height, msg.width = 1, n
    fields = []
    for i, name in enumerate("xyz"):
        f = point_field()
        f.name, f.offset, f.datatype, f.count = name, 4 * i, 7, 1  # 7: FLOAT32
        fields.append(f)
    msg.fields = fields
    msg.is_bigendian = sys.byteorder == "big"
    msg.point_step, msg.row_step = 12, 12 * n
    msg.data = cloud.points_bytes()
    msg.is_dense = True
    return msg


# tf2_msgs/TFMessage, which the ROS 1 Noetic typestore of `rosbags` lacks.
_TFMESSAGE_MSG = "geometry_msgs/TransformStamped[] transforms\n"


def bag_typestore(ros1: bool = False) -> Any:
    """The `rosbags` typestore of ROS 1 Noetic messages (with tf2_msgs/TFMessage) or ROS 2 Humble ones."""
    from rosbags.typesys import Stores, get_types_from_msg, get_typestore

    if ros1:
        store = get_typestore(Stores.ROS1_NOETIC)
        if "tf2_msgs/msg/TFMessage" not in store.types:
            store.register(get_types_from_msg(_TFMESSAGE_MSG, "tf2_msgs/msg/TFMessage"))
        return store
    return get_typestore(Stores.ROS2_HUMBLE)


class MessageBuilder:
    """Builds messages of one `rosbags` typestore (`bag_typestore`); hides the ROS 1 / ROS 2 header
    difference. Stamps are int nanoseconds; vectors and quaternions (x, y, z[, w]) any sequences."""

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
        """A sensor_msgs/Imu: covariance 0 means unknown; without ``orientation``, -1 in the first element
        of its covariance marks it not reported."""
        import numpy as np

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

    def _pose_with_covariance(self, w: Any) -> Any:
        import numpy as np

        pose = self.t["geometry_msgs/msg/Pose"](position=self.point(w.translation), orientation=self.quat(w.rotation_xyzw))
        return self.t["geometry_msgs/msg/PoseWithCovariance"](pose=pose, covariance=np.asarray(w.pose_covariance, dtype=float))

    def _twist_with_covariance(self, w: Any) -> Any:
        import numpy as np

        twist = self.t["geometry_msgs/msg/Twist"](linear=self.vec3(w.twist_linear), angular=self.vec3(w.twist_angular))
        return self.t["geometry_msgs/msg/TwistWithCovariance"](twist=twist, covariance=np.asarray(w.twist_covariance, dtype=float))

    def odometry(self, t_ns: int, w: Any) -> Any:
        """A nav_msgs/Odometry of an OdometryEstimate (or any object with its fields)."""
        return self.t["nav_msgs/msg/Odometry"](
            header=self.header(t_ns, w.frame_id),
            child_frame_id=w.child_frame_id,
            pose=self._pose_with_covariance(w),
            twist=self._twist_with_covariance(w),
        )

    def pose_stamped(self, t_ns: int, w: Any) -> Any:
        """A geometry_msgs/PoseWithCovarianceStamped of an estimate's pose."""
        return self.t["geometry_msgs/msg/PoseWithCovarianceStamped"](
            header=self.header(t_ns, w.frame_id), pose=self._pose_with_covariance(w)
        )

    def twist_stamped(self, t_ns: int, w: Any) -> Any:
        """A geometry_msgs/TwistWithCovarianceStamped of an estimate's twist, stamped in its child frame."""
        return self.t["geometry_msgs/msg/TwistWithCovarianceStamped"](
            header=self.header(t_ns, w.child_frame_id), twist=self._twist_with_covariance(w)
        )

    def camera_info(self, t_ns: int, frame: str, width: int, height: int, intrinsics: Any, distortion: Any = ()) -> Any:
        """A plumb-bob calibration from (fx, fy, cx, cy) and its distortion coefficients."""
        import numpy as np

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
        import numpy as np

        return self.image_of_bytes(t_ns, frame, encoding, pixels.shape[1], pixels.shape[0], pixels.strides[0],
                                   np.ascontiguousarray(pixels).reshape(-1).view(np.uint8))

    def image_of_bytes(self, t_ns: int, frame: str, encoding: str, width: int, height: int, step: int, data: Any) -> Any:
        """An image message of its rows as a uint8 array of ``step`` bytes a row."""
        return self.t["sensor_msgs/msg/Image"](
            header=self.header(t_ns, frame), height=height, width=width, encoding=encoding,
            is_bigendian=0, step=step, data=data,
        )

    def transform(self, t_ns: int, parent: str, child: str, pair: Any) -> Any:
        """A geometry_msgs/TransformStamped: ``pair`` is parent_from_child."""
        tr = self.t["geometry_msgs/msg/Transform"](translation=self.vec3(pair[0]), rotation=self.quat(pair[1]))
        return self.t["geometry_msgs/msg/TransformStamped"](header=self.header(t_ns, parent), child_frame_id=child, transform=tr)

    def tf_message(self, t_ns: int, parent: str, child: str, pair: Any) -> Any:
        """A tf2_msgs/TFMessage of one transform: ``pair`` is parent_from_child."""
        return self.transforms_message(t_ns, [(parent, child, pair)])

    def transforms_message(self, t_ns: int, transforms: Any) -> Any:
        """A tf2_msgs/TFMessage of (parent, child, parent_from_child) triples, all stamped ``t_ns``."""
        return self.t["tf2_msgs/msg/TFMessage"](transforms=[self.transform(t_ns, *tr) for tr in transforms])
