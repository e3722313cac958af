"""A synthetic scene for visual odometry (needs numpy): a textured box room rendered by pinhole
cameras as intensity and depth images, and a robot driving through it. The demo and the tests share it.

Poses are `Pose` objects (translation and quaternion x, y, z, w), composed with ``*``; camera frames
are optical frames (z forward, x right, y down), body frames x forward, y left, z up.
"""

from __future__ import annotations

import math
from typing import List, Sequence, Tuple

import numpy as np

from velk_odom._geometry import quat_conj, quat_from_axis_angle, quat_mul, rotation_matrix, yaw_of

__all__ = ["BASE_FROM_RIG", "CX", "CY", "F", "H", "OPTICAL", "Pose", "W", "quat", "render", "robot_path"]


def quat(axis: Sequence[float], angle: float) -> np.ndarray:
    """The rotation by ``angle`` radians about ``axis`` (any length), as an array (x, y, z, w)."""
    return np.array(quat_from_axis_angle(axis, angle))


class Pose:
    def __init__(self, t: Sequence[float] = (0, 0, 0), q: Sequence[float] = (0, 0, 0, 1)) -> None:
        self.t = np.asarray(t, float)
        self.q = np.asarray(q, float) / np.linalg.norm(q)

    def __mul__(self, other: "Pose") -> "Pose":
        return Pose(self.t + rotation_matrix(self.q) @ other.t, quat_mul(self.q, other.q))

    def inv(self) -> "Pose":
        qc = quat_conj(self.q)
        return Pose(-(rotation_matrix(qc) @ self.t), qc)

    def yaw(self) -> float:
        return yaw_of(self.q)

    def pair(self) -> Tuple[Tuple[float, ...], Tuple[float, ...]]:
        return tuple(map(float, self.t)), tuple(map(float, self.q))


# An optical frame (z forward, x right, y down) in a body frame (x forward, y left, z up).
OPTICAL = np.array(quat_mul(quat((0, 0, 1), -math.pi / 2), quat((1, 0, 0), -math.pi / 2)))
# A box room, z up: (point, normal, in-plane axes) of each wall.
ROOM = [
    ((0, 0, -0.5), (0, 0, 1), (1, 0, 0), (0, 1, 0)),
    ((0, 0, 2.5), (0, 0, -1), (1, 0, 0), (0, 1, 0)),
    ((6, 0, 0), (-1, 0, 0), (0, 1, 0), (0, 0, 1)),
    ((-6, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1)),
    ((0, 3, 0), (0, -1, 0), (1, 0, 0), (0, 0, 1)),
    ((0, -3, 0), (0, 1, 0), (1, 0, 0), (0, 0, 1)),
]
# Default image size and focal length: below about 160 x 120 the tracker loses this scene's geometry.
W, H, F = 320, 240, 240.0
CX, CY = (W - 1) / 2, (H - 1) / 2


def render(world_from_camera: Pose, width: int = W, height: int = H, focal: float = F) -> Tuple[np.ndarray, np.ndarray]:
    """Intensity (uint8) and optical-axis depth (metres) of the textured room seen by a pinhole camera
    with its principal point at the image centre."""
    cx, cy = (width - 1) / 2, (height - 1) / 2
    u, v = np.meshgrid(np.arange(width, dtype=float), np.arange(height, dtype=float))
    rays = np.stack([(u - cx) / focal, (v - cy) / focal, np.ones_like(u)], -1) @ rotation_matrix(world_from_camera.q).T
    origin = world_from_camera.t
    depth = np.full((height, width), np.inf)
    image = np.zeros((height, width))
    for k, (p, normal, a_axis, b_axis) in enumerate(ROOM):
        n = np.asarray(normal, float)
        with np.errstate(divide="ignore", invalid="ignore"):
            s = ((np.asarray(p, float) - origin) @ n) / (rays @ n)
        hit = (s > 1e-6) & (s < depth)
        points = origin + rays * s[..., None]
        a, b = points @ np.asarray(a_axis, float), points @ np.asarray(b_axis, float)
        # Cells of hashed grey levels with a ripple inside, so that there are corners and gradients.
        i, j = np.floor(a / 0.25).astype(np.int64), np.floor(b / 0.25).astype(np.int64)
        h = (((i * 73856093) ^ (j * 19349663) ^ (k * 83492791)) * 2654435761) & 0xFFFFFFFF
        texture = np.clip(40 + (h % 176) + 20 * np.sin(a * 9.0) * np.cos(b * 7.0), 0, 255)
        image = np.where(hit, texture, image)
        depth = np.where(hit, s, depth)
    return image.astype(np.uint8), depth


def robot_path(frames: int, step_m: float = 0.03) -> List[Pose]:
    """odom_from_base of a robot driving forward along a gentle curve, ``step_m`` a frame."""
    k = np.arange(frames) * (step_m / 0.03)
    return [Pose((0.03 * s, 0.2 * math.sin(0.05 * s), 0.0), quat((0, 0, 1), 0.01 * s)) for s in k]


BASE_FROM_RIG = Pose((0.2, -0.05, 0.4), quat((0, 0, 1), 0.6))  # rig turned 34° to the left of the robot
