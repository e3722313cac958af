"""Depth point clouds of a 640 x 480 16-bit image through CuvslamOdometry.handle_depth_image (full
resolution and decimation 4), beside a vectorised numpy implementation of the same rules; and reading a
cloud's points as tuples against the one-block points_bytes()."""

import math
import timeit

import velk_odom

W, H = 640, 480
FX = FY = 525.0
CX, CY = 319.5, 239.5
UNITS, MIN_RANGE, MAX_RANGE = 1000.0, 0.2, 8.0


def best_of(fn, number, repeat=7):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def scene(np):
    """A sloped floor, a box in front of it, 8 % holes and some speckle, in millimetres."""
    rng = np.random.default_rng(3)
    v, u = np.mgrid[0:H, 0:W]
    z = 3000 - 4 * v + rng.integers(-15, 16, size=(H, W))
    box = (u > 200) & (u < 400) & (v > 150) & (v < 330)
    z = np.where(box, 1500 + rng.integers(-15, 16, size=(H, W)), z)
    z = np.where(rng.integers(0, 100, size=(H, W)) < 8, 0, z)
    return np.clip(z, 0, 65535).astype("<u2")


def band():
    lo = min(max(math.ceil(UNITS * MIN_RANGE), 1), 65535)
    hi = min(math.floor(min(UNITS * MAX_RANGE, 65535)), 65535)
    return lo, hi


def numpy_full(np, depth):
    lo, hi = band()
    v, u = np.nonzero((depth >= lo) & (depth <= hi))
    z = depth[v, u] / UNITS
    return np.stack([(u - CX) / FX * z, (v - CY) / FY * z, z], axis=1).astype(np.float32)


def numpy_decimated(np, depth, d):
    lo, hi = band()
    gh, gw = -(-H // d), -(-W // d)
    padded = np.zeros((gh * d, gw * d), dtype=np.int32)
    padded[:H, :W] = depth
    blocks = padded.reshape(gh, d, gw, d).transpose(0, 2, 1, 3).reshape(gh, gw, d * d)
    inband = (blocks >= lo) & (blocks <= hi)
    n = inband.sum(axis=2)
    ordered = np.sort(np.where(inband, blocks, 1 << 20), axis=2)  # out-of-band values sort last
    median = np.take_along_axis(ordered, (n // 2)[..., None], axis=2)[..., 0].astype(np.float64)
    valid = (n >= d * d // 2) & (n > 0)
    # Edge test against the four pairs of opposite neighbours, on a grid framed by invalid cells.
    fv = np.zeros((gh + 2, gw + 2), dtype=bool)
    fm = np.zeros((gh + 2, gw + 2))
    fv[1:-1, 1:-1], fm[1:-1, 1:-1] = valid, median
    tol = np.trunc(np.maximum(0.3 * UNITS, 0.1 * median))
    edge = np.zeros((gh, gw), dtype=bool)
    for (r1, k1), (r2, k2) in [((0, -1), (0, 1)), ((-1, 0), (1, 0)), ((-1, -1), (1, 1)), ((1, -1), (-1, 1))]:
        v1, m1 = fv[1 + r1:gh + 1 + r1, 1 + k1:gw + 1 + k1], fm[1 + r1:gh + 1 + r1, 1 + k1:gw + 1 + k1]
        v2, m2 = fv[1 + r2:gh + 1 + r2, 1 + k2:gw + 1 + k2], fm[1 + r2:gh + 1 + r2, 1 + k2:gw + 1 + k2]
        a, b = np.minimum(m1, m2), np.maximum(m1, m2)
        edge |= v1 & v2 & (a + tol < median) & (b - tol > median)
    r, k = np.nonzero(valid & ~edge)
    z = median[r, k] / UNITS
    c0 = (d - 1) / 2
    return np.stack([(c0 + k * d - CX) / FX * z, (c0 + r * d - CY) / FY * z, z], axis=1).astype(np.float32)


def rows():
    try:
        import numpy as np
    except ImportError:
        return []
    depth = scene(np)
    out = []
    for d in (0, 4):
        vo = velk_odom.CuvslamOdometry(
            {"cameras": [{"frame_id": "l"}, {"frame_id": "r"},
                         {"frame_id": "depth", "depth_units_per_meter": UNITS, "depth_cloud_min_range": MIN_RANGE,
                          "depth_cloud_max_range": MAX_RANGE, "depth_cloud_decimation": d}]},
            tf=lambda target, source: None)
        vo.handle_depth_camera_info(velk_odom.CameraModel(0, "depth", W, H, [], [FX, 0, CX, 0, FY, CY, 0, 0, 1]))
        frame = velk_odom.ImageFrame(0, "depth", W, H, "16UC1", 2 * W, depth.tobytes())
        engine = best_of(lambda: vo.handle_depth_image(frame), 20)
        reference = numpy_full if d == 0 else (lambda np_, z: numpy_decimated(np_, z, d))
        vectorised = best_of(lambda: reference(np, depth), 5)
        cloud, _ = vo.handle_depth_image(frame)
        same = np.array_equal(np.frombuffer(cloud.points_bytes(), np.float32).reshape(-1, 3), reference(np, depth))
        label = "full resolution" if d == 0 else f"decimation {d}"
        out += [
            (f"vo: cloud 640x480 {label}, handle_depth_image", engine * 1e3, "ms",
             f"{len(cloud)} points, image copy included"),
            (f"vo: cloud 640x480 {label}, numpy", vectorised * 1e3, "ms", "same points" if same else "DIFFERENT points"),
            (f"vo: cloud 640x480 {label}, numpy / engine", vectorised / engine, "ratio", ""),
        ]
        if d == 0:
            as_tuples = best_of(lambda: cloud.points, 3)
            as_block = best_of(lambda: np.frombuffer(cloud.points_bytes(), np.float32).reshape(-1, 3), 20)
            out += [
                ("vo: cloud.points (tuples)", as_tuples * 1e3, "ms", f"{len(cloud)} points"),
                ("vo: numpy.frombuffer(cloud.points_bytes())", as_block * 1e3, "ms", ""),
                ("vo: tuples / points_bytes", as_tuples / as_block, "ratio", ""),
            ]
    return out
