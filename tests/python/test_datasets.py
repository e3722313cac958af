"""Dataset folders (EuRoC, TUM RGB-D, KITTI odometry) written from the rendered scene, read back with
their calibration, mounts and ground truth, and tracked by `velk-odom vo` against their own ground truth."""

import os
import re
import struct
import zlib

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("rosbags")
Image = pytest.importorskip("PIL.Image")

from conftest import needs_vo  # noqa: E402

from velk_odom import _native  # noqa: E402
from velk_odom import datasets  # noqa: E402
from velk_odom import scene as s  # noqa: E402
from velk_odom.cli import main  # noqa: E402

FRAMES, DT = 16, 50_000_000
START = 1_403_636_579_763_555_584
RIG = {"left": s.Pose((0, 0.05, 0), s.OPTICAL), "right": s.Pose((0, -0.05, 0), s.OPTICAL)}


def png(path, pixels):
    path.parent.mkdir(parents=True, exist_ok=True)
    Image.fromarray(pixels).save(path)


def euroc(root, distortion="radial-tangential", frames=FRAMES):
    mav = root / "mav0"
    truth = s.robot_path(frames)
    for k, cam in enumerate(RIG):
        body_from_cam, d = s.BASE_FROM_RIG * RIG[cam], mav / f"cam{k}"
        m = np.vstack([np.hstack([s.rotation_matrix(body_from_cam.q), body_from_cam.t[:, None]]), [0, 0, 0, 1]])
        for i, pose in enumerate(truth):
            png(d / "data" / f"{START + i * DT}.png", s.render(pose * body_from_cam)[0])
        (d / "data.csv").write_text("#timestamp [ns],filename\n" + "".join(f"{START + i * DT},{START + i * DT}.png\n" for i in range(frames)))
        (d / "sensor.yaml").write_text(
            "%YAML:1.0\n---\nsensor_type: camera\nT_BS:\n  cols: 4\n  rows: 4\n  data: [" + ", ".join(f"{v:.12f}" for v in m.ravel())
            + f"]\nrate_hz: 20\nresolution: [{s.W}, {s.H}]\ncamera_model: pinhole\nintrinsics: [{s.F}, {s.F}, {s.CX}, {s.CY}] #fu, fv, cu, cv\n"
            f"distortion_model: {distortion}\ndistortion_coefficients: [0.0, 0.0, 0.0, 0.0]\n")
    (mav / "imu0").mkdir()
    (mav / "imu0" / "sensor.yaml").write_text("%YAML:1.0\nT_BS:\n  data: [1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1]\ngyroscope_noise_density: 1.7e-4\nrate_hz: 200\n")
    (mav / "imu0" / "data.csv").write_text("".join(f"{START + i * 5_000_000},0,0,0,0,0,9.81\n" for i in range(4 * frames)))
    (gt := mav / "state_groundtruth_estimate0").mkdir()
    # x y z qw qx qy qz, then velocity and biases
    (gt / "data.csv").write_text("".join(
        f"{START + i * DT}," + ",".join(f"{v:.9f}" for v in [*p.t, p.q[3], *p.q[:3]] + [0.0] * 9) + "\n" for i, p in enumerate(truth)))
    return root, truth


def tum(root, frames=FRAMES):
    root = root / "rgbd_dataset_test"
    truth = [p * s.BASE_FROM_RIG * RIG["left"] for p in s.robot_path(frames)]
    lists = {"rgb": ["# color images"], "depth": ["# depth maps"]}
    for i, pose in enumerate(truth):
        pixels, z = s.render(pose, 640, 480, 525.0)
        for kind, t, data in (("rgb", START + i * DT, np.repeat(pixels[..., None], 3, 2)),
                              ("depth", START + i * DT + 4_000_000, np.clip(np.round(z * 5000), 0, 65535).astype(np.uint16))):
            name = f"{t // 10**9}.{t % 10**9:09d}"
            png(root / kind / f"{name}.png", data)
            lists[kind].append(f"{name} {kind}/{name}.png")
    for kind, lines in lists.items():
        (root / f"{kind}.txt").write_text("\n".join(lines) + "\n")
    (root / "groundtruth.txt").write_text("# timestamp tx ty tz qx qy qz qw\n" + "".join(
        f"{(START + i * DT) / 1e9:.6f} " + " ".join(f"{v:.7f}" for v in [*p.t, *p.q]) + "\n" for i, p in enumerate(truth)))
    return root, truth


def kitti(root, frames=FRAMES):
    seq = root / "sequences" / "07"
    cams = [p * s.BASE_FROM_RIG * RIG[c] for p in s.robot_path(frames) for c in RIG]
    truth = [cams[0].inv() * c for c in cams[0::2]]
    for i, pose in enumerate(cams):
        png(seq / f"image_{i % 2}" / f"{i // 2:06d}.png", s.render(pose)[0])
    p = lambda tx: f"{s.F:.6e} 0 {s.CX:.6e} {tx:.6e} 0 {s.F:.6e} {s.CY:.6e} 0 0 0 1 0"  # noqa: E731
    (seq / "calib.txt").write_text(f"P0: {p(0)}\nP1: {p(-s.F * 0.1)}\nP2: {p(0)}\nP3: {p(0)}\nTr: 1 0 0 0 0 1 0 0 0 0 1 0\n")
    (seq / "times.txt").write_text("".join(f"{i * DT / 1e9:.6e}\n" for i in range(frames)))
    (root / "poses").mkdir()
    (root / "poses" / "07.txt").write_text("".join(
        " ".join(f"{v:.9e}" for v in np.hstack([s.rotation_matrix(p.q), p.t[:, None]]).ravel()) + "\n" for p in truth))
    return seq, truth


def kitti_two_principal_points(root, frames=FRAMES):
    """The KITTI folder with the right camera's principal point 4 px right of the left's, as a pair rectified
    without zero disparity has it: read with the left camera's, every disparity is 4 px off."""
    seq, truth = kitti(root, frames)
    for f in (seq / "image_1").glob("*.png"):
        a = np.asarray(Image.open(f))
        png(f, np.concatenate([np.repeat(a[:, :1], 4, axis=1), a[:, :-4]], axis=1))
    edit(seq / "calib.txt", f"P1: {s.F:.6e} 0 {s.CX:.6e}", f"P1: {s.F:.6e} 0 {s.CX + 4:.6e}")
    return seq, truth


@pytest.mark.parametrize("writer, kind, cameras, base_from_cam0", [
    (euroc, "EuRoC", ["cam0", "cam1"], s.BASE_FROM_RIG * RIG["left"]),
    (tum, "TUM RGB-D", ["rgb", "depth"], s.Pose()),
    (kitti, "KITTI odometry", ["cam0", "cam1"], s.Pose()),
    (kitti_two_principal_points, "KITTI odometry", ["cam0", "cam1"], s.Pose()),
])
def test_dataset_folders_are_read_and_tracked(writer, kind, cameras, base_from_cam0, tmp_path, capsys):
    folder, truth = writer(tmp_path)
    data = datasets.open_dataset(folder)
    assert data.kind == kind and [c.name for c in data.cameras] == cameras
    assert all(len(c.stamps) == FRAMES and c.distortion == (0.0,) * 5 for c in data.cameras)
    t, q = data.cameras[0].base_from_camera
    assert np.allclose(t, base_from_cam0.t, atol=1e-6) and abs(abs(np.dot(q, base_from_cam0.q)) - 1) < 1e-9
    stamps, poses = data.ground_truth
    assert len(stamps) == FRAMES and np.allclose(poses[-1, :3], truth[-1].t, atol=1e-5)
    pixels, stream = data.read_image(data.cameras[-1], 0), data.cameras[-1]
    assert pixels.shape[:2] == (stream.height, stream.width) and pixels.dtype == (np.uint16 if stream.is_depth else np.uint8)
    if hasattr(_native, "CuvslamOdometry"):  # tracked, against the folder's own ground truth
        code = main(["vo", str(folder), "-o", str(tmp_path / "vo.tum"), "--no-progress", "--output-bag", str(tmp_path / "copy"), "--copy-input"])
        out = capsys.readouterr().out
        assert code == 0 and float(re.search(r"ATE rmse ([0-9.]+) m", out).group(1)) < 0.03, out
        # The copy replays to the very same poses (TUM's depth in its own units included).
        assert main(["vo", str(tmp_path / "copy"), "-o", str(tmp_path / "copy.tum"), "--no-progress"]) == 0, capsys.readouterr()
        assert (tmp_path / "copy.tum").read_text() == (tmp_path / "vo.tum").read_text()


def edit(path, old, new):
    path.write_bytes(path.read_bytes().replace(old.encode(), new.encode() if isinstance(new, str) else new, 1))


def bomb(path):
    """A PNG whose header claims 30000 x 30000 pixels."""
    chunk = lambda kind, data: struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))  # noqa: E731
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 30000, 30000, 8, 0, 0, 0, 0)) + chunk(b"IEND", b""))


E, CAM0, IMU0 = "mav0/cam0/", "mav0/cam0/sensor.yaml", "mav0/imu0/"
STAMP1 = str(START + DT)


# (writer, damage(folder) -> the path to replay or None for the folder, exit status, what stderr says). The
# EuRoC folder has 4 frame sets: damage to one image costs that image only (status 1 names it).
@pytest.mark.parametrize("writer, damage, status, message", [
    (euroc, lambda d: edit(d / "mav0/cam1/sensor.yaml", "intrinsics", "x"), 2, "intrinsics"),
    (euroc, lambda d: (d / CAM0).unlink(), 2, "cam0/sensor.yaml: missing"),
    (euroc, lambda d: euroc(d / "fisheye", "equidistant", 2) and d / "fisheye", 2, "distortion model 'equidistant' is not supported"),
    (euroc, lambda d: (d / IMU0 / "data.csv").write_text("1,0,0\n") and None, 2, "expected 7 fields"),
    (euroc, lambda d: edit(d / CAM0, "[0.0, 0.0, 0.0, 0.0]", "[a, 0, 0, 0]"), 2, "distortion_coefficients must be a finite number, got 'a'"),
    (euroc, lambda d: edit(d / CAM0, "[0.0, 0.0, 0.0, 0.0]", "0.5"), 2, "distortion_coefficients must be a list of numbers"),
    (euroc, lambda d: edit(d / CAM0, f"[{s.W},", "[.inf,"), 2, "resolution must be a finite number"),
    (euroc, lambda d: edit(d / IMU0 / "sensor.yaml", "1.7e-4", "abc"), 2, "gyroscope_noise_density must be a finite number"),
    (euroc, lambda d: edit(d / IMU0 / "sensor.yaml", "rate_hz: 200", "rate_hz: [200]"), 2, "rate_hz must be a finite number"),
    (euroc, lambda d: edit(d / E / "data.csv", STAMP1 + ",", "1" + "0" * 23 + ","), 2, "out of range"),
    (euroc, lambda d: edit(d / E / "data.csv", STAMP1 + ".png", "a\0b.png"), 1, "1 unreadable image"),
    (euroc, lambda d: (d / E / "data" / f"{STAMP1}.png").unlink(), 1, "1 unreadable image"),
    (euroc, lambda d: png(d / E / "data" / f"{STAMP1}.png", np.zeros((8, 8), np.uint8)), 1, "image is 8 x 8, the calibration says"),
    (euroc, lambda d: bomb(d / E / "data" / f"{STAMP1}.png"), 1, "decompression bomb"),
    (euroc, lambda d: (d / E / "data.csv").write_text("".join(reversed((d / E / "data.csv").read_text().splitlines(True)[1:]))) and None,
     0, "rows out of timestamp order"),
    (euroc, lambda d: edit(d / IMU0 / "data.csv", ",9.81", ",nan"), 0, "imu0/data.csv: 1 of 16 rows with a non-finite value dropped"),
    (euroc, lambda d: edit(d / "mav0/state_groundtruth_estimate0/data.csv", ",", ",nan,"), 0, "1 of 4 rows with a non-finite value"),
    (euroc, lambda d: os.renames(d / "mav0", d / "caf\udce9" / "mav0") or d / "caf\udce9", 0, None),
    (kitti, lambda d: bomb(d / "image_0/000000.png"), 2, "000000.png: cannot read the image"),
    (kitti, lambda d: (d / "image_0/000002.png").unlink(), 1, "1 unreadable image"),
    (kitti, lambda d: edit(d / "calib.txt", "P2", b"P\xe9"), 2, "calib.txt: cannot read"),
    (kitti, lambda d: edit(d / "times.txt", "\n", "\n1e300\n"), 2, "is not a number of seconds"),
    (tum, lambda d: edit(d / "rgb.txt", "images\n", "images\n1e300 rgb/x.png\n"), 2, "is not a number of seconds"),
    (tum, lambda d: [png(f, np.zeros((480, 640), np.uint8)) for f in (d / "depth").iterdir()] and None, 2, "16-bit PNGs"),
    (tum, lambda d: (d / "x.bag").write_text("not a bag") and d / "x.bag", 2, "cannot read recording"),
])
def test_damaged_dataset_folders_name_the_file_and_the_problem(writer, damage, status, message, tmp_path, capsys):
    folder = writer(tmp_path, frames=4)
    folder = folder[0] if isinstance(folder, tuple) else folder
    target = damage(folder) or folder
    assert main(["vo", str(target), "--no-progress", "-o", str(tmp_path / "o.tum")]) == status
    out, err = capsys.readouterr()
    assert (message in err if message else True) and "Traceback" not in err, err
    if status < 2:  # the other frame sets are tracked
        assert "tracked=" in out and int(re.search(r"tracked=(\d+)", out).group(1)) >= 3 - status, out


@pytest.mark.parametrize("place, fx", [
    ("rgbd_dataset_freiburg2_desk", 520.9),
    ("fr1_xyz", 517.3),
    ("fr3/long_office", 535.4),  # the sequence's parent folder names it
    ("tum/desk", 525.0),
    ("fr12_desk", 525.0),
    ("transfr1", 525.0),
])
def test_tum_lens_follows_the_sequence_name(place, fx, tmp_path):
    root, _ = tum(tmp_path, frames=2)
    (tmp_path / place).parent.mkdir(parents=True, exist_ok=True)
    root = root.rename(tmp_path / place)
    data = datasets.open_dataset(root)
    assert data.cameras[0].intrinsics[0] == fx
    assert any("default Kinect calibration" in n for n in data.notes) == (fx == 525.0)


@needs_vo
def test_vo_demo_stays_within_its_bounds(tmp_path, capsys):
    assert main(["demo", "--vo", "--out-dir", str(tmp_path), "--no-progress", "--write-bag", str(tmp_path / "cam")]) == 0
    out = capsys.readouterr().out
    assert "tracked=80" in out and float(re.search(r"ATE rmse ([0-9.]+) m", out).group(1)) < 0.1, out
    assert (tmp_path / "velk_odom_vo_demo_cloud.ply").read_bytes().startswith(b"ply\nformat binary_little_endian")
    assert len((tmp_path / "velk_odom_vo_demo.tum").read_text().splitlines()) == 80
    # The rendered drive written as a bag replays through `vo` as well as the demo tracked it.
    assert main(["vo", str(tmp_path / "cam"), "--ground-truth", str(tmp_path / "cam_ground_truth.tum"), "--clouds", str(tmp_path / "clouds"),
                 "-o", str(tmp_path / "cam.tum"), "--no-progress"]) == 0
    out = capsys.readouterr().out
    assert "tracked=80" in out and float(re.search(r"ATE rmse ([0-9.]+) m", out).group(1)) < 0.1, out
    assert len(list((tmp_path / "clouds").glob("*.ply"))) == 80


ALL_NOISE = "gyroscope_random_walk: 1.9e-5\naccelerometer_noise_density: 2.0e-3\naccelerometer_random_walk: 3.0e-3\n"


@pytest.mark.parametrize("noise, config, status, expect", [
    # Every noise figure declared: the IMU is proposed on, with the dataset's figures.
    (ALL_NOISE, None, 0, {"enable_imu": True, "/imu0": "imu", "accel_random_walk": 3.0e-3, "frequency": 200.0}),
    # A figure missing: the IMU topic is left out, said in words.
    ("", None, 0, {"enable_imu": None, "/imu0": None, "note": "/imu0 is left out: the recording declares no noise figures"}),
    ({}, {"enable_imu": True}, 2, {"error": "no `imu_noise` section; add one with the IMU's gyro_noise_density"}),
    ({}, {"enable_imu": False}, 0, {"note": "/imu0 mapped as `imu` is not replayed because enable_imu is off"}),
])
def test_dataset_imu_is_used_only_with_its_noise_figures(noise, config, status, expect, tmp_path, cli):
    yaml = pytest.importorskip("yaml")
    euroc(tmp_path, frames=2)
    if isinstance(noise, str):
        sensor = tmp_path / "mav0/imu0/sensor.yaml"
        sensor.write_text(sensor.read_text() + noise)
        code, out, err = cli("vo", tmp_path, "--print-config")
        cfg = yaml.safe_load(out)
        assert code == status and cfg.get("enable_imu") == expect["enable_imu"] and cfg["topics"].get("/imu0") == expect["/imu0"]
        assert all(cfg["imu_noise"][k] == expect[k] for k in ("accel_random_walk", "frequency") if k in expect)
        assert expect.get("note", "") in out
        return
    topics = {f"/cam{k}/{kind}": role for k in (0, 1) for kind, role in (("image_raw", "image"), ("camera_info", "camera_info"))}
    topics.update({"/tf_static": "tf", "/imu0": "imu"})
    (tmp_path / "cfg.yaml").write_text(yaml.safe_dump({**config, "camera_mode": "stereo", "use_gpu": False, "topics": topics}))
    code, out, err = cli("vo", tmp_path, "--config", tmp_path / "cfg.yaml", "-o", tmp_path / "out.tum", "--no-progress")
    assert code == status and expect.get("error", expect.get("note")) in err, err
    assert "does not read IMU" not in err
