"""Typed stubs of the compiled module velk_odom._native."""

from typing import Any, Callable, Optional, Sequence, Tuple, Union

__version__: str

Vector3 = Tuple[float, float, float]
Quaternion = Tuple[float, float, float, float]
TransformPair = Tuple[Vector3, Quaternion]
"""((x, y, z), (qx, qy, qz, qw)), named target-from-source."""

ByteData = Union[bytes, bytearray, Sequence[int], Any]
"""bytes, bytearray, a numpy uint8 array, or any sequence of ints 0-255."""

class PanicException(BaseException):
    """Raised for a fusion configuration refused at first use and for a CuvslamOdometry call from a
    thread other than its creator. Derives from BaseException, not Exception."""

class ImageFrame:
    """A camera or depth image. `encoding` uses ROS names; anything but `mono8` is fed
    to cuVSLAM as three-channel colour. `step` is bytes per row."""

    def __new__(cls, timestamp_ns: int, frame_id: str, width: int, height: int, encoding: str, step: int,
                data: ByteData) -> "ImageFrame": ...
    @property
    def frame_id(self) -> str: ...
    @property
    def timestamp_ns(self) -> int: ...

class CameraModel:
    """Pinhole intrinsics plus plumb_bob distortion (k1, k2, p1, p2, k3).
    `intrinsics` is the row-major 3x3: fx, 0, cx, 0, fy, cy, 0, 0, 1."""

    def __new__(cls, timestamp_ns: int, frame_id: str, width: int, height: int, distortion: Sequence[float],
                intrinsics: Sequence[float]) -> "CameraModel": ...

class ImuSample:
    def __new__(cls, timestamp_ns: int, frame_id: str, angular_velocity: Vector3,
                linear_acceleration: Vector3) -> "ImuSample": ...

class ImuNoiseModel:
    """cuVSLAM's inertial mode needs the sensor's noise model up front."""

    def __new__(cls, frame_id: str, gyro_noise_density: float, gyro_random_walk: float, accel_noise_density: float,
                accel_random_walk: float, frequency: float) -> "ImuNoiseModel": ...

class OdometryEstimate:
    """A pose of `child_frame_id` in `frame_id`, with the twist expressed in
    `child_frame_id`. Covariances are 36 row-major values, xyz then rpy."""

    def __new__(cls, timestamp_ns: int, frame_id: str, child_frame_id: str, translation: Vector3,
                rotation_xyzw: Quaternion, pose_covariance: Optional[Sequence[float]] = None,
                twist_linear: Vector3 = ..., twist_angular: Vector3 = ...,
                twist_covariance: Optional[Sequence[float]] = None) -> "OdometryEstimate": ...
    @property
    def timestamp_ns(self) -> int: ...
    @property
    def frame_id(self) -> str: ...
    @property
    def child_frame_id(self) -> str: ...
    @property
    def translation(self) -> Vector3: ...
    @property
    def rotation_xyzw(self) -> Quaternion: ...
    @property
    def pose_covariance(self) -> list[float]: ...
    @property
    def twist_linear(self) -> Vector3: ...
    @property
    def twist_angular(self) -> Vector3: ...
    @property
    def twist_covariance(self) -> list[float]: ...

class PointCloud:
    """Range-gated depth points in the depth sensor's own frame."""

    @property
    def points(self) -> list[Vector3]: ...
    @property
    def frame_id(self) -> str: ...
    @property
    def timestamp_ns(self) -> int: ...
    def points_bytes(self) -> bytes:
        """The points as one bytes block of float32 x, y, z triples in native byte order (12 bytes a point),
        for example numpy.frombuffer(cloud.points_bytes(), numpy.float32).reshape(-1, 3)."""
    @property
    def __array_interface__(self) -> dict[str, Any]:
        """numpy's array interface over the stored points: numpy.asarray(cloud) is an (n, 3) read-only
        float32 array without a copy, which keeps the cloud alive."""
    def __len__(self) -> int: ...

TfLookup = Callable[[str, str], Optional[TransformPair]]
"""tf(target, source): the latest target-from-source transform, or None while it is not known yet."""

class CuvslamOdometry:
    """The cuVSLAM visual odometry front end. `config` mirrors the CuvslamOdometryConfig record
    as a dict (absent keys take their defaults). `tf(target, source)` answers rigid-mount
    lookups with the transform pair ((x, y, z), (x, y, z, w)) of source in target, or None
    while it is not known yet.

    Bound to the thread that created it: a call from another thread raises PanicException.
    Nothing raises for a running condition (drops, lost tracking, gates, missing transforms);
    those are counted and logged. An exception raised by `tf` during a call is raised once the
    engine has finished that call.

    Config keys: camera_mode ("stereo", "mono", "rgbd", "multisensor"), cameras (list of
    {frame_id, rectified, depth_units_per_meter, depth_cloud_min_range, depth_cloud_max_range,
    depth_cloud_decimation, provides_depth}), use_gpu, odom_frame_id, output_frame_id,
    rig_frame_id, map_frame_id, covariance_gate_translation_std, speed_gate_max_linear,
    speed_gate_max_angular, enable_imu, max_skew_ms, imu_gap_seconds, tracker_threads. Depth samples are
    raw sensor units: metres = sample / depth_units_per_meter, for 16-bit and "32FC1" depth alike."""

    COUNTER_NAMES: tuple[str, ...]
    """The counters, in report order: frames, tracked, resets, imu_samples,
    imu_dropped_before_start, skew_rejects, depth_reprojected, covariance_gated, speed_gated,
    unmatched_images, image_size_rejects, calibration_rejects, bad_transforms,
    construction_retries, imu_rejects."""
    CONFIG_KEYS: dict[str, Any]
    """The configuration keys: None for a value, a dict for a nested record, a one-element list
    holding the keys of a list's records."""
    CONFIG_DEFAULTS: dict[str, Any]
    """The configuration's defaults, in the tree of CONFIG_KEYS: each key's default value, a dict
    for a nested record, a one-element list holding the defaults of a list's records."""

    def __init__(self, config: Optional[dict[str, Any]] = None, *, tf: TfLookup) -> None: ...
    def handle_camera_info(self, info: CameraModel) -> None: ...
    def handle_imu_info(self, info: ImuNoiseModel) -> None: ...
    def handle_imu(self, imu: ImuSample) -> None: ...
    def handle_image(self, image: ImageFrame) -> Optional[OdometryEstimate]: ...
    def handle_depth_image(self, image: ImageFrame) -> Tuple[Optional[PointCloud], Optional[OdometryEstimate]]: ...
    def handle_depth_camera_info(self, info: CameraModel) -> None: ...
    def report(self) -> None:
        """Log the engine's counters (frames tracked, poses, resets, gated poses and every kind of drop)
        as one info event through the log output of init_logging."""
    def counters(self) -> dict[str, int]:
        """The engine's counters as a dict keyed by COUNTER_NAMES, in that order (the fields of the
        line report() logs)."""

class OdometryFusion:
    """The error-state Kalman fuser of IMU samples and odometry estimates. `config` mirrors the
    OdometryFusionConfig record as a dict (absent keys take their defaults); every
    `odom_sources` entry names its parent_frame_id and child_frame_id.

    Config keys: odom_frame_id, output_frame_id, publish_rate (Hz), replay_buffer_seconds,
    outlier_rejection_allowed_variance, max_position_m, imus (list of {frame_id,
    gyro_noise_density, gyro_random_walk, accel_noise_density, accel_random_walk, init_samples,
    init_gyro_limit, init_accel_limit}), initial_gravity_estimate, initial_stds ({position,
    velocity, rotation, bias}), odom_sources (list of {parent_frame_id, child_frame_id,
    pose_variances, twist_variances, differential, odom_from_parent}, six variances each,
    negative: take the estimate's covariance diagonal; differential false: absolute poses, tied to
    the odometry frame by odom_from_parent, a transform pair, or at the first pose),
    per_dimension_error_variance (six variances of zero-twist rows), gate_recovery_seconds,
    init_moving_after_seconds. The README's table gives every key's meaning and default.

    A configuration the engine cannot run with is reported by the first handle_imu (or, without
    IMUs, handle_source) call as PanicException; the object stays usable. Nothing else raises
    while running: late, gated, unconfigured and non-finite inputs are counted and logged."""

    COUNTER_NAMES: tuple[str, ...]
    """The counters, in report order: imu_samples, measurements, gated, replayed, too_late,
    non_finite_imu, stale_poses, gate_resets, init_deferred_gyro, init_deferred_accel,
    init_deferred_moving, init_refused_twist, held_back, buffer_overflow, reinitialized."""
    CONFIG_KEYS: dict[str, Any]
    """The configuration keys: None for a value, a dict for a nested record, a one-element list
    holding the keys of a list's records."""
    CONFIG_DEFAULTS: dict[str, Any]
    """The configuration's defaults, in the tree of CONFIG_KEYS: each key's default value, a dict
    for a nested record, a one-element list holding the defaults of a list's records."""

    def __init__(self, config: Optional[dict[str, Any]] = None) -> None: ...
    def handle_imu(self, imu: ImuSample, base_from_imu: TransformPair) -> None:
        """Feed one IMU sample; base_from_imu is the pose of the IMU in the robot's base
        frame, ((x, y, z), (qx, qy, qz, qw)). Returns None: what became of the sample
        shows in counters() and the log."""
    def handle_source(self, estimate: OdometryEstimate) -> None:
        """Feed one estimate of an odometry source, matched to its odom_sources entry by
        parent_frame_id and child_frame_id. Returns None: what became of it shows in
        counters() and the log."""
    def maybe_publish(self) -> Optional[OdometryEstimate]:
        """The fused estimate once the publish period has elapsed on the data clock,
        else None. Call after each input."""
    def report(self) -> None: ...
    def counters(self) -> dict[str, int]:
        """The engine's counters as a dict keyed by COUNTER_NAMES, in that order (the fields of the
        line report() logs)."""

def init_logging(level: Union[str, Callable[[str], object]] = "info", writer: Optional[Callable[[str], object]] = None) -> None:
    """Send the engines' diagnostic output to stderr. `level` is a filter such as "info",
    "debug" or "velk_slam=debug". Without this call the engines are silent.

    With `writer`, a callable, each line (a str ending in a newline, without colour codes) is
    passed to writer(line) instead of being written to stderr; init_logging(writer) keeps the
    level "info". A line the writer logs itself, by calling an engine, is dropped. An exception
    raised by the writer drops that line and never reaches the engine: the first one is reported
    through sys.unraisablehook, later ones are dropped silently."""

def compose(a: TransformPair, b: TransformPair) -> TransformPair:
    """Compose two transforms."""

def invert(t: TransformPair) -> TransformPair:
    """Invert a transform."""
