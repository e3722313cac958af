"""CuvslamOdometry from Python: arguments, tf, threads, re-entry, cycles, images and depth clouds across the
boundary. Rendered drives (stereo with a mounted rig, RGB-D, datasets) run through the `vo` command's tests."""

import sys
import threading

import pytest
from conftest import IDENTITY, STEREO, run_python

from velk_odom import _native as n

np = pytest.importorskip("numpy")


def camera_model(frame, w=64, h=48, f=50.0):
    return n.CameraModel(0, frame, w, h, [0.0] * 5, [f, 0, w / 2, 0, f, h / 2, 0, 0, 1])


def mono(frame, stamp, w=64, h=48, fill=128):
    return n.ImageFrame(stamp, frame, w, h, "mono8", w, bytes([fill]) * (w * h))


def depth16(frame, stamp, w, h, values):
    return n.ImageFrame(stamp, frame, w, h, "16UC1", 2 * w, np.asarray(values, dtype=np.uint16).reshape(h, w))


# ---- construction and arguments ----


@pytest.mark.parametrize("config, error, message", [
    (None, None, None),
    ({"unknown_key": object(), "cameras": ({"frame_id": "a"}, {"frame_id": "b", "rectified": 0})}, None, None),
    ({"depth_cloud_decimation": 10**12, "camera_mode": "mono", "max_skew_ms": float("nan"), "imu_gap_seconds": -1.0},
     None, None),
    ([], TypeError, "config"),
    ("no tf", TypeError, "tf"),
    ({"max_skew_ms": "1"}, ValueError, "config: `max_skew_ms`: expected a number, got str"),
    ({"cameras": [{"depth_cloud_decimation": 10**30}]}, ValueError, "config: "),
])
def test_configurations(config, error, message):
    make = (lambda: n.CuvslamOdometry({})) if config == "no tf" else (lambda: n.CuvslamOdometry(config, tf=None))
    if error is None:
        make().report()
        return
    with pytest.raises(error) as info:
        make()
    assert str(info.value).startswith(message) if error is ValueError else message in str(info.value)


def test_wrong_argument_types_name_the_argument():
    vo = n.CuvslamOdometry(tf=None)
    for method, argument, name in [(vo.handle_image, camera_model("left"), "image"), (vo.handle_depth_image, None, "image"),
                                   (vo.handle_camera_info, mono("left", 1), "info"), (vo.handle_depth_camera_info, 3, "info"),
                                   (vo.handle_imu_info, camera_model("left"), "info"),
                                   (vo.handle_imu, n.ImuNoiseModel("imu", 0, 0, 0, 0, 0), "imu")]:
        with pytest.raises(TypeError, match=name):
            method(argument)
    with pytest.raises(TypeError):
        vo.handle_image()
    assert (vo.handle_image(image=mono("left", 1)), vo.handle_imu(imu=n.ImuSample(1, "imu", (0, 0, 0), (0, 0, 9.8)))) == (None, None)


# ---- tf ----


def test_tf_answering_none_only_delays_and_is_asked_by_lookups_alone():
    asked = []
    vo = n.CuvslamOdometry(STEREO, tf=lambda target, source: asked.append((target, source)))
    vo.handle_imu(n.ImuSample(1, "imu", (0, 0, 0), (0, 0, 9.8)))
    vo.handle_depth_camera_info(camera_model("depth"))
    vo.report()
    assert asked == []
    assert (vo.handle_camera_info(camera_model("left")), vo.handle_camera_info(camera_model("right")),
            vo.handle_image(mono("left", 1))) == (None, None, None)
    assert ("rig", "left") in asked and all(isinstance(t, str) and isinstance(s, str) for t, s in asked)


BOOM = LookupError("tf is broken")


def broken_tf(vo):
    raise BOOM


@pytest.mark.parametrize("answer, error", [
    (broken_tf, LookupError),
    (lambda vo: [[0, 0, 0], [0, 0, 0, 1]], TypeError),
    (lambda vo: ((0, 0, 0), [0, 0, 0, 1]), TypeError),
    (lambda vo: ((0, 0), (0, 0, 0, 1)), ValueError),
    (lambda vo: ((0, 0, 0), (0, 0, 0, 1), 5), ValueError),
    (lambda vo: "base_link", TypeError),
    (lambda vo: vo.report(), RuntimeError),  # re-entry: the object is busy inside the lookup
])
def test_tf_failures_are_raised_after_the_engine_finished_its_work(answer, error):
    # The calibrations given while tf fails are stored: once tf works, images alone create the tracker (a
    # frame set reaches it instead of being counted as unmatched).
    def tf(target, source):
        return answer(engines[0]) if engines else ((0.1 if source == "right" else 0.0, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0))

    engines = []
    vo = n.CuvslamOdometry(dict(STEREO, use_gpu=False), tf=tf)
    engines.append(vo)
    for frame in ("left", "right"):  # each call starts with an empty slot and raises its own error again
        with pytest.raises(error, match="CuvslamOdometry" if error is RuntimeError else None) as info:
            vo.handle_camera_info(camera_model(frame))
        assert error is not LookupError or info.value is BOOM  # the caller's own exception object
    engines.clear()
    for frame in ("left", "right"):
        assert vo.handle_image(mono(frame, 1, fill=0)) is None  # no pending error carried over
    assert {k: v for k, v in vo.counters().items() if v} == {"frames": 1}


# ---- threads and lifetime ----


def test_calls_from_another_thread_raise_the_base_exception():
    vo, caught = n.CuvslamOdometry(tf=None), []

    def call_all():
        for call in (lambda: vo.handle_imu(n.ImuSample(1, "imu", (0, 0, 0), (0, 0, 9.8))), vo.report, lambda: vo.handle_image(42)):
            try:
                call()
            except BaseException as e:  # noqa: B036 - the error derives from BaseException on purpose
                caught.append((type(e), isinstance(e, Exception), str(e)))

    worker = threading.Thread(target=call_all)
    worker.start(), worker.join()
    assert caught == [(n.PanicException, False, "velk_odom::CuvslamOdometry is unsendable, but sent to another thread")] * 3
    vo.report()  # still usable on its own thread


def test_engines_freed_on_another_thread_are_released_on_their_own():
    """A cycle through tf goes at once on the owning thread; collected on another thread, or dropped there
    (which is reported), the engine waits for its own thread's next call."""
    out = run_python("""
import gc, threading, weakref
from velk_odom import _native as n
n.init_logging("velk_slam=debug")
class Node:
    def __init__(self):
        self.vo = n.CuvslamOdometry(tf=lambda target, source: self and None)
def on_a_thread(work):
    worker = threading.Thread(target=work)
    worker.start(), worker.join()
for collect in (gc.collect, lambda: on_a_thread(gc.collect)):
    ref = weakref.ref(Node())
    gc.disable()
    collect()
    assert ref() is None
on_a_thread([n.CuvslamOdometry(tf=None)].clear)
n.CuvslamOdometry(tf=None).report()
""")
    assert out.returncode == 0, out.stderr
    assert "engine collected on another thread; its own thread releases it waiting=1" in out.stderr
    assert out.stderr.count("RuntimeError: velk_odom::CuvslamOdometry is unsendable, but is being dropped on another "
                            "thread") == 1, out.stderr
    assert out.stderr.count("engines freed on another thread released released=1 waiting=0") == 2, out.stderr


def test_no_reference_leaks_over_many_calls():
    objects = tf, image, depth, info = (lambda target, source: IDENTITY, mono("elsewhere", 1),
                                        depth16("left", 1, 4, 2, [1000] * 8), camera_model("left"))
    vo = n.CuvslamOdometry(STEREO, tf=tf)
    before = [sys.getrefcount(x) for x in objects]
    for _ in range(500):
        vo.handle_image(image), vo.handle_depth_image(depth), vo.handle_camera_info(info)
    assert [sys.getrefcount(x) for x in objects] == before


# ---- depth ----


def test_depth_images_and_clouds():
    vo = n.CuvslamOdometry({"cameras": [{"frame_id": "left"}, {"frame_id": "right"},
                                        {"frame_id": "tof", "depth_units_per_meter": 1000.0,
                                         "depth_cloud_max_range": 2.5}]}, tf=None)
    # Uncalibrated, or smaller than its header claims: neither cloud nor estimate.
    assert vo.handle_depth_image(depth16("tof", 5, 4, 2, [1000] * 8)) == (None, None)
    vo.handle_depth_camera_info(n.CameraModel(0, "tof", 4, 2, [], [2.0, 0, 1.0, 0, 2.0, 0.5, 0, 0, 1]))
    assert vo.handle_depth_image(n.ImageFrame(5, "tof", 4, 2, "16UC1", 8, bytes(15))) == (None, None)
    cloud, estimate = vo.handle_depth_image(depth16("tof", 7, 4, 2, [0, 1000, 2000, 3000, 500, 500, 500, 2500]))
    assert estimate is None and (cloud.frame_id, cloud.timestamp_ns, len(cloud)) == ("tof", 7, 6)
    assert cloud.points[0] == pytest.approx((0.0, -0.25, 1.0))  # pixel (1, 0): x = (1 - 1) / 2, y = (0 - 0.5) / 2
    assert cloud.points[1] == pytest.approx((1.0 / 2 * 2.0, -0.25 * 2.0, 2.0))
    block = np.frombuffer(cloud.points_bytes(), dtype=np.float32).reshape(6, 3)
    np.testing.assert_array_equal(block, np.array(cloud.points, dtype=np.float32))
    # Without a copy: the array reads the cloud's own block, keeps the cloud alive and cannot write to it.
    view = np.asarray(cloud)
    del cloud
    assert view.dtype == np.float32 and not view.flags.writeable
    np.testing.assert_array_equal(view, block)
    with pytest.raises(ValueError):
        view[0, 0] = 1.0
    assert np.asarray(vo.handle_depth_image(depth16("tof", 8, 4, 2, [0] * 8))[0]).shape == (0, 3)


def test_float_depth_is_read_as_floats():
    vo = n.CuvslamOdometry({"cameras": [{"frame_id": "l"}, {"frame_id": "r"},
                                        {"frame_id": "tof", "depth_units_per_meter": 1.0}]}, tf=None)
    vo.handle_depth_camera_info(n.CameraModel(0, "tof", 3, 1, [], [1.0, 0, 0, 0, 1.0, 0, 0, 0, 1]))
    data = np.array([[0.75, float("nan"), 2.5]], dtype="<f4")
    for given in (data, data.tobytes(), np.tile(data, 2)[:, ::2]):  # an array, its bytes, a strided view
        cloud, _ = vo.handle_depth_image(n.ImageFrame(1, "tof", 3, 1, "32FC1", 12, given))
        assert [p[2] for p in cloud.points] == [0.75, 2.5]
    # 4 bytes a sample: a row of 2 × width is too small.
    assert vo.handle_depth_image(n.ImageFrame(1, "tof", 3, 1, "32FC1", 6, bytes(6))) == (None, None)


STRIDED_VIEWS = {
    "crop": lambda b: b[1:3, 2:6],
    "negative strides": lambda b: b[::-1, ::-2][1:3, :4],
    "column-major": lambda b: np.asfortranarray(b)[1:3, 2:6],
    "one channel of two": lambda b: np.stack([b, b + 100], axis=-1)[1:3, 2:6, 1],
    "a unit channel axis": lambda b: np.stack([b, b + 100], axis=-1)[1:3, 2:6, :1],
}


@pytest.mark.parametrize("view", sorted(STRIDED_VIEWS))
def test_strided_arrays_are_gathered_in_c_order(view):
    # Every depth sample distinct, so a sample read from the wrong place or order moves a point.
    base = np.random.default_rng(4).permutation(np.arange(1000, 1045, dtype=np.uint16)).reshape(5, 9)
    data = STRIDED_VIEWS[view](base)
    vo = n.CuvslamOdometry({"cameras": [{"frame_id": "l"}, {"frame_id": "r"}, {"frame_id": "tof"}]}, tf=None)
    vo.handle_depth_camera_info(n.CameraModel(0, "tof", 4, 2, [], [2.0, 0, 1.0, 0, 2.0, 0.5, 0, 0, 1]))
    gathered, _ = vo.handle_depth_image(n.ImageFrame(1, "tof", 4, 2, "16UC1", 8, data))
    packed, _ = vo.handle_depth_image(n.ImageFrame(2, "tof", 4, 2, "16UC1", 8, np.ascontiguousarray(data).tobytes()))
    assert len(packed) == 8 and gathered.points == packed.points


def test_sizes_from_python_are_bounded():
    vo = n.CuvslamOdometry({"cameras": [{"frame_id": "left", "depth_cloud_decimation": 10**12},
                                        {"frame_id": "right", "depth_cloud_decimation": -5}]}, tf=lambda t, s: None)
    for w, h in [(-640, 480), (2**31 - 1, 2**31 - 1), (0, 0), (70000, 1)]:
        vo.handle_camera_info(n.CameraModel(0, "left", w, h, [], [1, 0, 0, 0, 1, 0, 0, 0, 1]))
    vo.handle_depth_camera_info(n.CameraModel(0, "left", 2**31 - 1, 2**31 - 1, [], [1, 0, 0, 0, 1, 0, 0, 0, 1]))
    assert [len(vo.handle_depth_image(depth16(c, 1, 16, 16, [1000] * 256))[0]) for c in ("left", "right")] == [0, 256]
    huge = n.ImageFrame(1, "left", 2**31 - 1, 2**31 - 1, "mono8", 2**31 - 1, bytes(10))
    assert (vo.handle_image(huge), vo.handle_depth_image(huge)) == (None, (None, None))


def test_dropped_inputs_are_counted_and_logged():
    out = run_python("""
from velk_odom import _native as n
n.init_logging("info")
vo = n.CuvslamOdometry({"cameras": [{"frame_id": "left"}, {"frame_id": "right"}]}, tf=lambda t, s: ((0, 0, 0), (0, 0, 0, 1)))
for frame, width in (("left", -64), ("left", 64), ("right", 64)):
    vo.handle_camera_info(n.CameraModel(0, frame, width, 48, [], [50, 0, 32, 0, 50, 24, 0, 0, 1]))
vo.handle_image(n.ImageFrame(1, "left", 64, 48, "rgb8", 192, bytes(64 * 48)))
vo.handle_image(n.ImageFrame(1, "nowhere", 64, 48, "mono8", 64, bytes(64 * 48)))
vo.report()
print({k: v for k, v in vo.counters().items() if v})
""")
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "{'unmatched_images': 1, 'image_size_rejects': 1, 'calibration_rejects': 1}"
    for line in ("ignoring camera_info with an unusable image size.", "frame_id=left width=-64 height=48 ignored=1",
                 "dropping a camera image smaller than its header claims.", "step=192 bytes=3072 dropped=1",
                 "dropping image with a frame_id not on the rig.", "frame_id=nowhere dropped=1 rig_cameras=2",
                 "odometry counters frames=0 tracked=0 resets=0 imu_samples=0"):
        assert line in out.stderr, line
