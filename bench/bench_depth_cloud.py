"""Depth clouds from Python: CuvslamOdometry.handle_depth_image on a 640 x 480 16-bit image (ImageFrame
from numpy, the cloud wrapped by numpy.asarray) beside the same rules written with numpy, at decimation 1,
2, 4, 8 and 16, on a clean rendered room and on the same room with speckle. Medians of interleaved runs;
the note says whether the two clouds are equal."""

import time

import velk_odom

W, H = 640, 480
K = [525.0, 0.0, 319.5, 0.0, 525.0, 239.5, 0.0, 0.0, 1.0]
UNITS, MIN_RANGE, MAX_RANGE = 1000.0, 0.2, 8.0


def room(np, speckle):
    """Millimetres of a room seen from 1.2 m above the floor (floor, walls, a box and a ball)."""
    v, u = np.mgrid[0:H, 0:W].astype(np.float64)
    x, y = (u - K[2]) / K[0], (v - K[5]) / K[4]
    z = np.full((H, W), 6.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        z = np.where(y > 0, np.minimum(z, 1.2 / y), z)
        z = np.where(x < 0, np.minimum(z, 2.0 / -x), z)
        box = (x * 2.5 > 0.2) & (x * 2.5 < 0.9) & (y * 2.5 > -0.3) & (y * 2.5 < 1.2)
        z = np.where(box, np.minimum(z, 2.5), z)
        b, a = -0.8 * x + 0.4 * y + 3.5, x * x + y * y + 1.0
        disc = b * b - a * 12.8
        z = np.where(disc > 0, np.minimum(z, (b - np.sqrt(np.maximum(disc, 0))) / a), z)
    mm = z * 1000.0
    if speckle:
        rng = np.random.default_rng(7)
        mm *= 1.0 + rng.normal(0.0, 0.01, mm.shape)
        p = rng.integers(0, 1000, mm.shape)
        mm = np.where(p < 80, 0.0, np.where(p < 90, rng.integers(1, 65536, mm.shape), mm))
    return np.clip(np.rint(mm), 0, 65535).astype("<u2")


def numpy_cloud(np, s, d):
    """The cloud rules with numpy: band, block medians (sorting), edge test, back-projection."""
    lo, hi = max(np.ceil(UNITS * MIN_RANGE), 1), min(np.floor(UNITS * MAX_RANGE), 65535)
    fx, cx, fy, cy = K[0], K[2], K[4], K[5]
    if d <= 1:
        v, c = np.nonzero((s >= lo) & (s <= hi))
        z = s[v, c] / UNITS
        return np.stack([(c - cx) / fx * z, (v - cy) / fy * z, z], axis=1).astype(np.float32)
    oh, ow = -(-H // d), -(-W // d)
    padded = np.zeros((oh * d, ow * d), s.dtype)
    padded[:H, :W] = s
    blocks = padded.reshape(oh, d, ow, d).transpose(0, 2, 1, 3).reshape(oh, ow, d * d)
    inside = (blocks >= lo) & (blocks <= hi)
    n = inside.sum(axis=2)
    ranked = np.sort(np.where(inside, blocks, 0), axis=2)
    median = np.take_along_axis(ranked, np.minimum(d * d - n + n // 2, d * d - 1)[..., None], axis=2)[..., 0].astype(np.float64)
    grid = np.zeros((oh + 2, ow + 2))
    grid[1:-1, 1:-1] = np.where(n >= max(d * d // 2, 1), median, 0.0)
    zr = grid[1:-1, 1:-1]
    tol = np.trunc(np.maximum(0.3 * UNITS, 0.1 * zr))
    edge = np.zeros(zr.shape, bool)
    for (r1, k1), (r2, k2) in (((0, -1), (0, 1)), ((-1, 0), (1, 0)), ((-1, -1), (1, 1)), ((1, -1), (-1, 1))):
        a = grid[1 + r1:oh + 1 + r1, 1 + k1:ow + 1 + k1]
        b = grid[1 + r2:oh + 1 + r2, 1 + k2:ow + 1 + k2]
        low, high = np.minimum(a, b), np.maximum(a, b)
        edge |= (a > 0) & (b > 0) & (low + tol < zr) & (high - tol > zr)
    r, k = np.nonzero((zr > 0) & ~edge)
    c0, z = (d - 1) / 2.0, zr[r, k] / UNITS
    return np.stack([(c0 + k * d - cx) / fx * z, (c0 + r * d - cy) / fy * z, z], axis=1).astype(np.float32)


def engine(d):
    vo = velk_odom.CuvslamOdometry({"cameras": [
        {"frame_id": "left"}, {"frame_id": "right"},
        {"frame_id": "tof", "depth_units_per_meter": UNITS, "depth_cloud_min_range": MIN_RANGE,
         "depth_cloud_max_range": MAX_RANGE, "depth_cloud_decimation": d}]}, tf=None)
    vo.handle_depth_camera_info(velk_odom.CameraModel(0, "tof", W, H, [], K))
    return vo


def rows():
    try:
        import numpy as np
    except ImportError:
        return []
    out = []
    for name, speckle in (("clean", False), ("speckled", True)):
        s = room(np, speckle)
        raw = s.view(np.uint8)  # the bytes, read by ImageFrame without an intermediate copy
        for d in (1, 2, 4, 8, 16):
            vo = engine(d)

            def ours():
                cloud, _ = vo.handle_depth_image(velk_odom.ImageFrame(0, "tof", W, H, "16UC1", 2 * W, raw))
                return np.asarray(cloud)

            def theirs():
                return numpy_cloud(np, s, d)

            times = ([], [])
            for _ in range(15):
                for fn, t in zip((ours, theirs), times):
                    start = time.perf_counter()
                    fn()
                    t.append(time.perf_counter() - start)
            engine_ms, numpy_ms = (sorted(t)[len(t) // 2] * 1e3 for t in times)
            a, b = ours(), theirs()
            same = "equal clouds" if a.shape == b.shape and np.array_equal(a, b) else "CLOUDS DIFFER"
            label = f"depth cloud {name} from Python, decimation {d}"
            out.append((label, engine_ms, "ms", f"{len(a)} points, {same}"))
            out.append((label + ", numpy / engine", numpy_ms / engine_ms, "ratio", f"numpy {numpy_ms:.2f} ms"))
    return out


if __name__ == "__main__":
    for row in rows():
        print("\t".join(str(v) for v in row))
