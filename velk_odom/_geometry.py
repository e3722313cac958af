"""Quaternion and rigid-transform helpers in plain Python, for the simulator, the ROS conversions and
the command line (none of which may assume numpy or the extension module).

Conventions, the same as the extension's: quaternions are tuples (x, y, z, w); products are Hamilton
products; a transform pair is ((x, y, z), (x, y, z, w)) named target_from_source, and
compose(a, b) applies b first, then a.
"""

from __future__ import annotations

import math
from typing import Sequence, Tuple

Vec3 = Tuple[float, float, float]
Quat = Tuple[float, float, float, float]
Pair = Tuple[Vec3, Quat]

IDENTITY_QUAT: Quat = (0.0, 0.0, 0.0, 1.0)
IDENTITY_PAIR: Pair = ((0.0, 0.0, 0.0), IDENTITY_QUAT)


def quat_mul(a: Sequence[float], b: Sequence[float]) -> Quat:
    """Hamilton product a ⊗ b, not renormalised."""
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


def rotation_angle(q: Sequence[float]) -> float:
    """Angle in [0, pi] of the rotation q (unit quaternion, either sign)."""
    v = math.sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2])
    return 2.0 * math.atan2(v, abs(q[3]))


def compose(a: Pair, b: Pair) -> Pair:
    """a ∘ b: translation t_a + R(q_a) t_b, rotation q_a ⊗ q_b."""
    ta, qa = a
    tb, qb = b
    rb = rotate(qa, tb)
    return ((ta[0] + rb[0], ta[1] + rb[1], ta[2] + rb[2]), quat_mul(qa, qb))


def invert(a: Pair) -> Pair:
    """Inverse transform: rotation conj(q), translation -R(conj(q)) t."""
    t, q = a
    qi = quat_conj(q)
    ti = rotate(qi, t)
    return ((-ti[0], -ti[1], -ti[2]), qi)
