"""The package's rotation and rigid-transform helpers, in one place: plain Python for single values
(the simulator, the ROS conversions, the command line), numpy for arrays of them (trajectories, the
rendered scene), and the extension's `compose` and `invert` for transform pairs.

Conventions, the same as the extension's: quaternions are (x, y, z, w); products are Hamilton
products; a transform pair is ((x, y, z), (x, y, z, w)) named target_from_source, and
compose(a, b) applies b first, then a. The numpy helpers import numpy when called, so that the
plain-Python ones need nothing beyond the standard library.
"""

from __future__ import annotations

import math
from typing import Any, Sequence, Tuple

from velk_odom._native import compose, invert  # noqa: F401  (transform pairs: one implementation, in C++)

Vec3 = Tuple[float, float, float]
Quat = Tuple[float, float, float, float]
Pair = Tuple[Vec3, Quat]

IDENTITY_QUAT: Quat = (0.0, 0.0, 0.0, 1.0)
IDENTITY_PAIR: Pair = ((0.0, 0.0, 0.0), IDENTITY_QUAT)


def quat_mul(a: Sequence[float], b: Sequence[float]) -> Quat:
    """Hamilton product a ⊗ b, not renormalised (element by element when the components are arrays)."""
    ax, ay, az, aw = a
    bx, by, bz, bw = b
    return (
        aw * bx + ax * bw + ay * bz - az * by,
        aw * by - ax * bz + ay * bw + az * bx,
        aw * bz + ax * by - ay * bx + az * bw,
        aw * bw - ax * bx - ay * by - az * bz,
    )


def quat_conj(q: Sequence[float]) -> Quat:
    return (-q[0], -q[1], -q[2], q[3])


def quat_normalize(q: Sequence[float]) -> Quat:
    """q divided by its norm, scaled by its largest component first so that the norm neither overflows
    (1e200, 0, 0, 1e200) nor underflows (0, 0, 0, 1e-320); raises ValueError for a zero or non-finite
    quaternion."""
    largest = max(abs(c) for c in q)
    if not (all(math.isfinite(c) for c in q) and largest > 0.0):
        raise ValueError(f"quaternion {tuple(q)} has no direction")
    s = [c / largest for c in q]
    n = math.sqrt(sum(c * c for c in s))
    return (s[0] / n, s[1] / n, s[2] / n, s[3] / n)


def rotate(q: Sequence[float], v: Sequence[float]) -> Vec3:
    """R(q) v for a unit quaternion: v + 2w (u × v) + 2 u × (u × v), u the vector part."""
    ux, uy, uz, w = q
    cx = uy * v[2] - uz * v[1]
    cy = uz * v[0] - ux * v[2]
    cz = ux * v[1] - uy * v[0]
    ccx = uy * cz - uz * cy
    ccy = uz * cx - ux * cz
    ccz = ux * cy - uy * cx
    return (v[0] + 2.0 * (w * cx + ccx), v[1] + 2.0 * (w * cy + ccy), v[2] + 2.0 * (w * cz + ccz))


def cross(a: Sequence[float], b: Sequence[float]) -> Vec3:
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def quat_from_axis_angle(axis: Sequence[float], angle: float) -> Quat:
    n = math.sqrt(sum(c * c for c in axis))
    s = math.sin(0.5 * angle) / n
    return (axis[0] * s, axis[1] * s, axis[2] * s, math.cos(0.5 * angle))


def quat_exp(v: Sequence[float]) -> Quat:
    """The rotation by the rotation vector v (axis times angle in radians)."""
    angle = math.sqrt(sum(c * c for c in v))
    return quat_from_axis_angle(v, angle) if angle > 0.0 else IDENTITY_QUAT


def quat_from_rpy(roll: float, pitch: float, yaw: float) -> Quat:
    """Rotation Rz(yaw) Ry(pitch) Rx(roll), the usual fixed-axis roll, pitch, yaw."""
    qx = quat_from_axis_angle((1.0, 0.0, 0.0), roll)
    qy = quat_from_axis_angle((0.0, 1.0, 0.0), pitch)
    qz = quat_from_axis_angle((0.0, 0.0, 1.0), yaw)
    return quat_mul(qz, quat_mul(qy, qx))


def yaw_of(q: Sequence[float]) -> float:
    """Heading (rotation about z) of a unit quaternion, in (-pi, pi]."""
    x, y, z, w = q
    return math.atan2(2.0 * (w * z + x * y), 1.0 - 2.0 * (y * y + z * z))


def roll_pitch_yaw(q: Sequence[float]) -> Vec3:
    """(roll, pitch, yaw) in radians of a unit quaternion, the angles of `quat_from_rpy`; pitch is
    clamped to [-pi/2, pi/2] against rounding."""
    x, y, z, w = q
    roll = math.atan2(2 * (w * x + y * z), 1 - 2 * (x**2 + y**2))
    pitch = math.asin(max(-1.0, min(1.0, 2 * (w * y - z * x))))
    return roll, pitch, yaw_of(q)


def rotation_angle(q: Sequence[float]) -> float:
    """Angle in [0, pi] of the rotation q (unit quaternion, either sign)."""
    v = math.sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2])
    return 2.0 * math.atan2(v, abs(q[3]))


# ---- arrays (numpy) ----


def rotation_matrix(q: Any) -> Any:
    """Rotation matrices (..., 3, 3) of unit quaternions (..., 4)."""
    import numpy as np

    q = np.asarray(q, dtype=float)
    x, y, z, w = q[..., 0], q[..., 1], q[..., 2], q[..., 3]
    m = np.empty(q.shape[:-1] + (3, 3))
    m[..., 0, 0] = 1 - 2 * (y * y + z * z)
    m[..., 0, 1] = 2 * (x * y - w * z)
    m[..., 0, 2] = 2 * (x * z + w * y)
    m[..., 1, 0] = 2 * (x * y + w * z)
    m[..., 1, 1] = 1 - 2 * (x * x + z * z)
    m[..., 1, 2] = 2 * (y * z - w * x)
    m[..., 2, 0] = 2 * (x * z - w * y)
    m[..., 2, 1] = 2 * (y * z + w * x)
    m[..., 2, 2] = 1 - 2 * (x * x + y * y)
    return m


def quat_to_matrix(q: Any) -> Any:
    """Rotation matrices (..., 3, 3) of quaternions (..., 4), normalised first."""
    import numpy as np

    q = np.asarray(q, dtype=float)
    return rotation_matrix(q / np.linalg.norm(q, axis=-1, keepdims=True))


def matrix_to_quat(m: Any) -> Any:
    """Quaternion (x, y, z, w), w >= 0, of a rotation matrix, as a numpy array (Shepperd's method:
    dividing by the largest of the four candidates keeps it exact near every angle, half turns
    included, where the signs of the off-diagonal differences are rounding noise)."""
    import numpy as np

    m = np.asarray(m, dtype=float)
    trace = m[0, 0] + m[1, 1] + m[2, 2]
    candidates = [trace, m[0, 0], m[1, 1], m[2, 2]]
    k = int(np.argmax(candidates))
    if k == 0:
        w = 0.5 * math.sqrt(1.0 + trace)
        q = np.array([(m[2, 1] - m[1, 2]) / (4 * w), (m[0, 2] - m[2, 0]) / (4 * w), (m[1, 0] - m[0, 1]) / (4 * w), w])
    else:
        i = k - 1
        j, l = (i + 1) % 3, (i + 2) % 3
        r = math.sqrt(max(0.0, 1.0 + m[i, i] - m[j, j] - m[l, l]))
        q = np.zeros(4)
        q[i] = 0.5 * r
        q[j] = (m[j, i] + m[i, j]) / (2 * r)
        q[l] = (m[l, i] + m[i, l]) / (2 * r)
        q[3] = (m[l, j] - m[j, l]) / (2 * r)
    return q if q[3] >= 0 else -q


def matrix_angles(r: Any) -> Any:
    """Rotation angles in [0, pi] of N x 3 x 3 rotation matrices."""
    import numpy as np

    # From both the symmetric and the skew part (atan2): exact near 0, where arccos of the trace is not.
    cos_angle = (np.trace(r, axis1=1, axis2=2) - 1.0) / 2.0
    axis = np.stack([r[:, 2, 1] - r[:, 1, 2], r[:, 0, 2] - r[:, 2, 0], r[:, 1, 0] - r[:, 0, 1]], axis=1)
    sin_angle = np.linalg.norm(axis, axis=1) / 2.0
    return np.arctan2(sin_angle, cos_angle)

