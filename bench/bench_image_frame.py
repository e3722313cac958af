"""ImageFrame construction from a 1280 x 720 rgb8 buffer, beside a plain bytearray copy of it."""

import timeit

import velk_odom

WIDTH, HEIGHT = 1280, 720


def best_of(fn, number, repeat=7):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def rows():
    buf = bytes(range(256)) * (WIDTH * HEIGHT * 3 // 256)
    assert len(buf) == 2_764_800
    copy = best_of(lambda: bytearray(buf), 200)
    from_bytes = best_of(lambda: velk_odom.ImageFrame(0, "cam", WIDTH, HEIGHT, "rgb8", WIDTH * 3, buf), 200)
    out = [
        ("image_frame: bytearray(buf), 2,764,800 B", copy * 1e6, "us", "reference copy"),
        ("image_frame: ImageFrame from bytes", from_bytes * 1e6, "us", ""),
        ("image_frame: from bytes / bytearray copy", from_bytes / copy, "ratio", "target <= 2"),
    ]
    try:
        import numpy as np

        arr = np.frombuffer(buf, dtype=np.uint8).reshape(HEIGHT, WIDTH, 3)
        from_numpy = best_of(lambda: velk_odom.ImageFrame(0, "cam", WIDTH, HEIGHT, "rgb8", WIDTH * 3, arr), 200)
        out.append(("image_frame: from numpy uint8 / bytearray copy", from_numpy / copy, "ratio", "no extra copy"))
    except ImportError:
        pass
    return out
