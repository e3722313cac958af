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
    def __len__(self) -> int: ...

# <CuvslamOdometry>
# </CuvslamOdometry>

# <OdometryFusion>
# </OdometryFusion>

def init_logging(level: str = "info") -> None:
    """Send the engines' diagnostic output to stderr. `level` is a filter such as "info",
    "debug" or "velk_slam=debug". Without this call the engines are silent."""

def compose(a: TransformPair, b: TransformPair) -> TransformPair:
    """Compose two transforms."""

def invert(t: TransformPair) -> TransformPair:
    """Invert a transform."""
