"""Research dataset folders: EuRoC/ASL, TUM RGB-D and KITTI odometry (needs numpy, pyyaml and pillow,
which the `tools` extra brings through matplotlib).

``open_dataset(path)`` recognises the format from the folder and returns a `Dataset`: its camera
streams with calibration and mounting, its IMU (if any), its ground truth (if any) and the frames
and transforms below. Every dataset describes the same tree, in ROS conventions:

- ``base_link``: the dataset's body frame, whose pose the ground truth gives (EuRoC: the IMU body
  frame; TUM RGB-D: the colour camera's optical frame; KITTI: the left camera's optical frame);
- one optical frame per camera (z forward, x right, y down), placed by ``base_from_camera`` (TUM
  RGB-D depth is registered to the colour camera: its frame coincides with the colour camera's);
- ``imu`` (EuRoC) placed by ``base_from_imu``.

Image files are read on demand by `Dataset.read_image`. Stamps are integer nanoseconds.

    import velk_odom.datasets as ds
    data = ds.open_dataset("MH_01_easy")        # or a TUM RGB-D or KITTI sequence folder
    for stamp_ns, stream, index in data.frames():
        pixels = data.read_image(stream, index)  # uint8 (mono8/rgb8) or uint16 (depth) numpy array
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple

import numpy as np

from velk_odom._geometry import IDENTITY_PAIR, Pair, matrix_to_quat

__all__ = ["CameraStream", "Dataset", "DatasetError", "ImuData", "detect", "open_dataset"]

# TUM RGB-D: depth PNG samples per metre, and the pairing window of colour and depth frames.
TUM_DEPTH_PER_METRE = 5000.0
TUM_PAIR_NS = 20_000_000
# TUM RGB-D's published calibration of the Kinect colour cameras (fx, fy, cx, cy; k1, k2, p1, p2, k3),
# picked by the "freiburgN" in the sequence name, or the "frN" of the short names the dataset's own
# pages use (fr1/xyz, a folder renamed fr1_desk), in the folder's name or its parent's; other sequences
# get the ROS default.
TUM_CAMERAS = {
    "1": ((517.3, 516.5, 318.6, 255.3), (0.2624, -0.9531, -0.0054, 0.0026, 1.1633)),
    "2": ((520.9, 521.0, 325.1, 249.7), (0.2312, -0.7849, -0.0033, -0.0001, 0.9172)),
    "3": ((535.4, 539.2, 320.1, 247.6), (0.0, 0.0, 0.0, 0.0, 0.0)),
}
TUM_SEQUENCE_NAME = re.compile(r"(?<![a-z])(?:freiburg|fr)([123])(?![0-9])")
TUM_DEFAULT_CAMERA = ((525.0, 525.0, 319.5, 239.5), (0.0, 0.0, 0.0, 0.0, 0.0))


class DatasetError(ValueError):
    """A folder that is not a readable dataset; the message names the file and the problem."""


@dataclass
class CameraStream:
    """One image stream: pinhole intrinsics with plumb_bob distortion (k1, k2, p1, p2, k3)."""

    name: str  # "cam0", "rgb", "depth", ...
    frame_id: str  # the optical frame of the images
    width: int
    height: int
    intrinsics: Tuple[float, float, float, float]  # fx, fy, cx, cy
    distortion: Tuple[float, ...]
    base_from_camera: Pair
    encoding: str  # "mono8", "rgb8" or "16UC1"
    stamps: np.ndarray  # int64 nanoseconds, one per file
    files: List[Path]
    depth_units_per_meter: float = 0.0  # depth streams: samples per metre

    @property
    def is_depth(self) -> bool:
        return self.encoding == "16UC1"

    @property
    def camera_matrix(self) -> List[float]:
        fx, fy, cx, cy = self.intrinsics
        return [fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0]


@dataclass
class ImuData:
    frame_id: str
    base_from_imu: Pair
    stamps: np.ndarray  # int64 nanoseconds
    gyro: np.ndarray  # N x 3, rad/s (NaN where the dataset has no gyro)
    accel: np.ndarray  # N x 3, m/s²
    noise: Dict[str, float] = field(default_factory=dict)  # gyro/accel noise densities and random walks


@dataclass
class Dataset:
    kind: str  # "EuRoC", "TUM RGB-D", "KITTI odometry"
    path: Path
    cameras: List[CameraStream]
    imu: Optional[ImuData] = None
    ground_truth: Optional[Tuple[np.ndarray, np.ndarray]] = None  # stamps, N x 7 poses of base_link
    notes: List[str] = field(default_factory=list)
    warnings: List[str] = field(default_factory=list)  # input dropped or put in order while reading

    @property
    def start_ns(self) -> int:
        firsts = [int(c.stamps[0]) for c in self.cameras if len(c.stamps)]
        if self.imu is not None and len(self.imu.stamps):
            firsts.append(int(self.imu.stamps[0]))
        return min(firsts) if firsts else 0

    @property
    def end_ns(self) -> int:
        lasts = [int(c.stamps[-1]) for c in self.cameras if len(c.stamps)]
        if self.imu is not None and len(self.imu.stamps):
            lasts.append(int(self.imu.stamps[-1]))
        return max(lasts) if lasts else 0

    def frames(self) -> Iterator[Tuple[int, CameraStream, int]]:
        """(stamp, stream, index) of every image of every stream, in stamp order."""
        entries = [(int(t), k, i) for k, c in enumerate(self.cameras) for i, t in enumerate(c.stamps)]
        entries.sort()
        for t, k, i in entries:
            yield t, self.cameras[k], i

    def read_image(self, stream: CameraStream, index: int) -> np.ndarray:
        """The pixels of one file: H x W uint8 (mono8), H x W x 3 uint8 (rgb8) or H x W uint16 (depth)."""
        return read_png(stream.files[index], stream.encoding, (stream.height, stream.width))


def _image_errors() -> Tuple[type, ...]:
    """What the image library raises for a file it cannot decode: OSError for most damage, but also
    its decompression-bomb error (a header claiming billions of pixels), SyntaxError and ValueError
    (a NUL byte in the name)."""
    from PIL import Image

    return (OSError, ValueError, SyntaxError, Image.DecompressionBombError)


def read_png(path: Path, encoding: str, shape: Optional[Tuple[int, int]] = None) -> np.ndarray:
    from PIL import Image

    try:
        with Image.open(path) as img:
            mode = img.mode
            if encoding == "16UC1":
                pixels = np.asarray(img)
            else:
                pixels = np.asarray(img.convert("L" if encoding == "mono8" else "RGB"), dtype=np.uint8)
    except _image_errors() as err:
        raise DatasetError(f"{path!s}: cannot read the image: {err}") from None
    if encoding == "16UC1":
        if pixels.ndim != 2 or pixels.dtype.kind not in "iu" or pixels.dtype.itemsize < 2 or pixels.size and (pixels.min() < 0 or pixels.max() > 65535):
            raise DatasetError(f"{path}: not a 16-bit single-channel depth image ({mode}); depth maps are 16-bit PNGs")
        pixels = pixels.astype("<u2")
    if shape is not None and pixels.shape[:2] != shape:
        raise DatasetError(f"{path}: image is {pixels.shape[1]} x {pixels.shape[0]}, the calibration says {shape[1]} x {shape[0]}")
    return np.ascontiguousarray(pixels)


# ---- recognising a folder ----


def detect(path: "str | Path") -> Optional[Tuple[str, Path]]:
    """(format, root) when ``path`` is (or names a file at the top of) a dataset folder, else None."""
    p = Path(path)
    if p.is_file():
        if p.suffix in (".bag", ".db3", ".mcap"):
            return None  # a recording of its own, even inside a dataset folder
        p = p.parent
    if not p.is_dir():
        return None
    for root in (p / "mav0", p):
        if (root / "cam0" / "data.csv").is_file() or (root / "imu0" / "data.csv").is_file():
            return "EuRoC", root
    if (p / "rgb.txt").is_file() and (p / "depth.txt").is_file():
        return "TUM RGB-D", p
    if (p / "calib.txt").is_file() and (p / "times.txt").is_file() and (p / "image_0").is_dir():
        return "KITTI odometry", p
    return None


def open_dataset(path: "str | Path") -> Dataset:
    """Read the dataset folder at ``path`` (EuRoC or its mav0/, TUM RGB-D, KITTI odometry sequence):
    its cameras with calibration and mounts on base_link, its IMU (EuRoC, TUM's accelerometer) and its
    ground truth. Images are read on demand with `Dataset.read_image`. Raises DatasetError naming the
    file and the problem for a folder that is not a dataset or whose files do not parse."""
    found = detect(path)
    if found is None:
        raise DatasetError(
            f"{str(path)!r} is not a dataset folder: expected EuRoC (mav0/cam0/data.csv), TUM RGB-D (rgb.txt and "
            "depth.txt) or KITTI odometry (calib.txt, times.txt, image_0/)"
        )
    kind, root = found
    return {"EuRoC": _euroc, "TUM RGB-D": _tum, "KITTI odometry": _kitti}[kind](root)


# ---- shared parsing ----


def _read_text(path: Path) -> str:
    try:
        return path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as err:
        raise DatasetError(f"{path}: cannot read: {err}") from None


def _rows(path: Path, columns: int, sep: str = ",") -> List[List[str]]:
    """Non-comment rows of a text table, each with at least ``columns`` fields."""
    rows = []
    lines = _read_text(path).splitlines()
    for lineno, line in enumerate(lines, start=1):
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        fields = [f.strip() for f in (text.split(sep) if sep else text.split())]
        if len(fields) < columns:
            raise DatasetError(f"{path}:{lineno}: expected {columns} fields, found {len(fields)}")
        rows.append(fields)
    return rows


def _floats(fields: List[str], path: Path, finite: bool = True) -> List[float]:
    try:
        values = [float(f) for f in fields]
    except ValueError:
        raise DatasetError(f"{path}: not a number in {' '.join(fields)!r}") from None
    if finite and not all(math.isfinite(v) for v in values):
        raise DatasetError(f"{path}: non-finite value in {' '.join(fields)!r}")
    return values


def _finite_rows(rows: List[List[str]], first: int, last: int, path: Path, warnings: List[str]) -> Tuple[List[List[str]], np.ndarray]:
    """The rows whose fields ``first:last`` are all finite, and those fields as an array; rows with a
    nan or inf are dropped and counted in ``warnings`` (as the engines drop such a sample)."""
    values = np.array([_floats(r[first:last], path, finite=False) for r in rows], dtype=float).reshape(-1, last - first)
    keep = np.isfinite(values).all(axis=1)
    if not keep.all():
        warnings.append(f"{path}: {int((~keep).sum())} of {len(rows)} rows with a non-finite value dropped")
    return [r for r, k in zip(rows, keep) if k], values[keep]


def _int_stamp(text: str, path: Path) -> int:
    try:
        value = int(text)
    except ValueError:
        raise DatasetError(f"{path}: timestamp {text!r} is not an integer of nanoseconds") from None
    if not -(2**63) <= value < 2**63:
        raise DatasetError(f"{path}: timestamp {text!r} is out of range (nanoseconds since 1970 fit in 64 bits)")
    return value


def _seconds_stamp(text: str, path: Path) -> int:
    from velk_odom.trajectory import parse_stamp

    try:
        return parse_stamp(text)
    except ValueError:
        raise DatasetError(f"{path}: timestamp {text!r} is not a number of seconds within the 64-bit nanosecond range") from None


def _in_stamp_order(stamps: np.ndarray, path: Path, warnings: List[str]) -> np.ndarray:
    """The order that sorts ``stamps`` (stable); rows found out of order are reported in ``warnings``."""
    order = np.argsort(stamps, kind="stable")
    if len(stamps) > 1 and np.any(np.diff(stamps) < 0):
        warnings.append(f"{path}: rows out of timestamp order; read in timestamp order")
    return order


def _number(value: Any, what: str, path: Path) -> float:
    """A finite number from a YAML file (a string that is a plain number, as YAML 1.1 leaves 1e-3, included)."""
    try:
        number = float(value) if not isinstance(value, bool) else math.nan
    except (TypeError, ValueError, OverflowError):
        number = math.nan
    if not math.isfinite(number):
        raise DatasetError(f"{path}: {what} must be a finite number, got {value!r}")
    return number


def _numbers(value: Any, what: str, path: Path) -> List[float]:
    if not isinstance(value, (list, tuple)):
        raise DatasetError(f"{path}: {what} must be a list of numbers, got {value!r}")
    return [_number(v, what, path) for v in value]


def _pair_from_matrix(m: np.ndarray, what: str) -> Pair:
    r = m[:3, :3]
    if not np.allclose(r @ r.T, np.eye(3), atol=1e-4) or np.linalg.det(r) < 0:
        raise DatasetError(f"{what}: the rotation part is not a rotation matrix")
    u, _, vt = np.linalg.svd(r)  # the nearest exact rotation: files keep a few digits only
    q = matrix_to_quat(u @ vt)
    return (tuple(float(v) for v in m[:3, 3]), tuple(float(v) for v in q))  # type: ignore[return-value]


def load_sensor_yaml(path: Path) -> Dict[str, Any]:
    """An OpenCV-style YAML file: the ``%YAML:1.0`` directive (which PyYAML refuses) and
    ``!!opencv-matrix`` tags are accepted."""
    import yaml

    text = _read_text(path)
    text = re.sub(r"^%YAML[: ]\s*1\.\d+\s*$", "", text, count=1, flags=re.M)
    text = text.replace("!!opencv-matrix", "")
    try:
        data = yaml.safe_load(text)
    except yaml.YAMLError as err:
        raise DatasetError(f"{path}: not valid YAML: {err}") from None
    if not isinstance(data, dict):
        raise DatasetError(f"{path}: expected a mapping of keys")
    return data


def _matrix_key(data: Dict[str, Any], key: str, path: Path) -> np.ndarray:
    entry = data.get(key)
    values = entry.get("data") if isinstance(entry, dict) else entry
    try:
        m = np.asarray(values, dtype=float).reshape(4, 4)
    except (TypeError, ValueError):
        raise DatasetError(f"{path}: {key} must be a 4 x 4 matrix (rows, cols, data)") from None
    if not np.all(np.isfinite(m)):
        raise DatasetError(f"{path}: {key} has non-finite values")
    return m


# ---- EuRoC / ASL ----


def _euroc_distortion(data: Dict[str, Any], path: Path) -> Tuple[float, ...]:
    model = str(data.get("distortion_model", "radial-tangential")).lower()
    coeffs = _numbers(data.get("distortion_coefficients", []), "distortion_coefficients", path)
    if model in ("radial-tangential", "radtan", "plumb_bob", "pinhole-radtan"):
        if len(coeffs) not in (4, 5):
            raise DatasetError(f"{path}: radial-tangential distortion needs 4 coefficients (k1, k2, p1, p2), found {len(coeffs)}")
        return tuple(coeffs + [0.0] * (5 - len(coeffs)))
    if model == "none" or (not coeffs and model in ("", "pinhole")):
        return (0.0,) * 5
    raise DatasetError(
        f"{path}: distortion model {model!r} is not supported (the tracker models radial-tangential "
        "distortion only); rectify the images first"
    )


def _euroc(root: Path) -> Dataset:
    cameras: List[CameraStream] = []
    warnings: List[str] = []
    for cam_dir in sorted(p for p in root.glob("cam*") if (p / "data.csv").is_file()):
        csv, yaml_path = cam_dir / "data.csv", cam_dir / "sensor.yaml"
        if not yaml_path.is_file():
            raise DatasetError(f"{yaml_path}: missing; EuRoC cameras need their calibration")
        sensor = load_sensor_yaml(yaml_path)
        if str(sensor.get("camera_model", "pinhole")).lower() != "pinhole":
            raise DatasetError(f"{yaml_path}: camera model {sensor.get('camera_model')!r} is not supported (pinhole only)")
        needs = f"{yaml_path}: needs resolution: [w, h] and intrinsics: [fu, fv, cu, cv]"
        if "resolution" not in sensor or "intrinsics" not in sensor:
            raise DatasetError(needs)
        size = _numbers(sensor["resolution"], "resolution", yaml_path)
        intrinsics = tuple(_numbers(sensor["intrinsics"], "intrinsics", yaml_path))
        if len(intrinsics) != 4 or len(size) != 2 or not all(v == int(v) and 0 < v < 2**31 for v in size):
            raise DatasetError(needs)
        width, height = (int(v) for v in size)
        rows = _rows(csv, 2)
        stamps = np.array([_int_stamp(r[0], csv) for r in rows], dtype=np.int64)
        order = _in_stamp_order(stamps, csv, warnings)
        cameras.append(
            CameraStream(
                name=cam_dir.name,
                frame_id=cam_dir.name,
                width=width,
                height=height,
                intrinsics=intrinsics,  # type: ignore[arg-type]
                distortion=_euroc_distortion(sensor, yaml_path),
                base_from_camera=_pair_from_matrix(_matrix_key(sensor, "T_BS", yaml_path), f"{yaml_path}: T_BS"),
                encoding="mono8",
                stamps=stamps[order],
                files=[cam_dir / "data" / rows[i][1] for i in order],
            )
        )
    imu = None
    imu_csv = root / "imu0" / "data.csv"
    if imu_csv.is_file():
        yaml_path = root / "imu0" / "sensor.yaml"
        sensor = load_sensor_yaml(yaml_path) if yaml_path.is_file() else {}
        rows, values = _finite_rows(_rows(imu_csv, 7), 1, 7, imu_csv, warnings)
        stamps = np.array([_int_stamp(r[0], imu_csv) for r in rows], dtype=np.int64)
        order = _in_stamp_order(stamps, imu_csv, warnings)
        noise = {}
        for key, name in (
            ("gyroscope_noise_density", "gyro_noise_density"),
            ("gyroscope_random_walk", "gyro_random_walk"),
            ("accelerometer_noise_density", "accel_noise_density"),
            ("accelerometer_random_walk", "accel_random_walk"),
            ("rate_hz", "frequency"),
        ):
            if key in sensor:
                noise[name] = _number(sensor[key], key, yaml_path)
        imu = ImuData(
            frame_id="imu",
            base_from_imu=_pair_from_matrix(_matrix_key(sensor, "T_BS", yaml_path), f"{yaml_path}: T_BS") if "T_BS" in sensor else IDENTITY_PAIR,
            stamps=stamps[order],
            gyro=values[order, 0:3],
            accel=values[order, 3:6],
            noise=noise,
        )
    truth = None
    gt_csv = root / "state_groundtruth_estimate0" / "data.csv"
    if gt_csv.is_file():
        rows, v = _finite_rows(_rows(gt_csv, 8), 1, 8, gt_csv, warnings)
        if rows:
            stamps = np.array([_int_stamp(r[0], gt_csv) for r in rows], dtype=np.int64)
            order = _in_stamp_order(stamps, gt_csv, [])  # ground truth is only ever looked up by stamp
            # Files give (x, y, z, qw, qx, qy, qz); poses are (x, y, z, qx, qy, qz, qw).
            truth = (stamps[order], v[order][:, [0, 1, 2, 4, 5, 6, 3]])
    if not cameras and imu is None:
        raise DatasetError(f"{root}: no cam*/data.csv or imu0/data.csv")
    return Dataset("EuRoC", root, cameras, imu, truth, warnings=warnings)


# ---- TUM RGB-D ----


def _tum_list(path: Path, warnings: List[str]) -> Tuple[np.ndarray, List[Path]]:
    rows = _rows(path, 2, sep="")
    stamps = np.array([_seconds_stamp(r[0], path) for r in rows], dtype=np.int64)
    order = _in_stamp_order(stamps, path, warnings)
    return stamps[order], [path.parent / rows[i][1] for i in order]


def _tum(root: Path) -> Dataset:
    notes: List[str] = []
    warnings: List[str] = []
    named = next((m for part in (root.name, root.parent.name) if (m := TUM_SEQUENCE_NAME.search(part.lower()))), None)
    model = TUM_CAMERAS[named.group(1)] if named else TUM_DEFAULT_CAMERA
    if named is None:
        notes.append(f"{root.name}: no freiburg1/2/3 (or fr1/2/3) in the name, so the default Kinect calibration (525 px) is used")
    intrinsics, distortion = model
    rgb_t, rgb_f = _tum_list(root / "rgb.txt", warnings)
    depth_t, depth_f = _tum_list(root / "depth.txt", warnings)
    if not len(rgb_f):
        raise DatasetError(f"{root / 'rgb.txt'}: no images")
    (width, height), _ = _png_size(rgb_f[0])
    if len(depth_f):
        _, mode = _png_size(depth_f[0])
        if mode not in ("I;16", "I;16B", "I;16L", "I"):
            raise DatasetError(
                f"{depth_f[0]}: depth image of mode {mode} (8 bits per sample or colour); TUM RGB-D depth maps are "
                f"16-bit PNGs, {TUM_DEPTH_PER_METRE:g} per metre"
            )
    # Depth is registered to the colour camera: each colour frame takes the nearest depth frame
    # within TUM_PAIR_NS, stamped as the colour frame (frames without a partner are left out).
    from velk_odom.trajectory import associate

    i_depth, i_rgb = associate(depth_t, rgb_t, TUM_PAIR_NS) if len(depth_t) else (np.array([], int), np.array([], int))
    unpaired = len(rgb_t) - len(i_rgb)
    if unpaired:
        notes.append(f"{unpaired} colour frames without a depth frame within {TUM_PAIR_NS // 1_000_000} ms were left out")
    common = dict(width=width, height=height, intrinsics=intrinsics, distortion=distortion, base_from_camera=IDENTITY_PAIR)
    cameras = [
        CameraStream(name="rgb", frame_id="rgb_optical", encoding="rgb8", stamps=rgb_t[i_rgb], files=[rgb_f[i] for i in i_rgb], **common),  # type: ignore[arg-type]
        CameraStream(
            name="depth", frame_id="depth_optical", encoding="16UC1", stamps=rgb_t[i_rgb], files=[depth_f[i] for i in i_depth],
            depth_units_per_meter=TUM_DEPTH_PER_METRE, **common,  # type: ignore[arg-type]
        ),
    ]
    imu = None
    accel_txt = root / "accelerometer.txt"
    if accel_txt.is_file():
        rows, accel = _finite_rows(_rows(accel_txt, 4, sep=""), 1, 4, accel_txt, warnings)
        if rows:
            imu = ImuData(
                frame_id="accelerometer", base_from_imu=IDENTITY_PAIR,
                stamps=np.array([_seconds_stamp(r[0], accel_txt) for r in rows], dtype=np.int64),
                gyro=np.full_like(accel, np.nan), accel=accel,
            )
    truth = None
    gt = root / "groundtruth.txt"
    if gt.is_file():
        from velk_odom.trajectory import read_tum

        dropped: List[int] = []
        try:
            truth = read_tum(gt, dropped)
        except ValueError as err:
            raise DatasetError(str(err)) from None
        if dropped:
            notes.append(f"{gt.name}: {len(dropped)} poses without a usable quaternion were left out (line {dropped[0]} first)")
    return Dataset("TUM RGB-D", root, cameras, imu, truth, notes, warnings)


def _png_size(path: Path) -> Tuple[Tuple[int, int], str]:
    """(width, height) and the mode of an image, read from its header."""
    from PIL import Image

    try:
        with Image.open(path) as img:
            return img.size, img.mode
    except _image_errors() as err:
        raise DatasetError(f"{path!s}: cannot read the image: {err}") from None


# ---- KITTI odometry ----


def _kitti(root: Path) -> Dataset:
    calib = root / "calib.txt"
    projections: Dict[str, np.ndarray] = {}
    for line in _read_text(calib).splitlines():
        key, _, rest = line.partition(":")
        if rest.strip():
            projections[key.strip()] = np.array(_floats(rest.split(), calib), dtype=float)
    for key in ("P0", "P1"):
        if key not in projections or projections[key].size != 12:
            raise DatasetError(f"{calib}: needs {key}: with 12 values (a 3 x 4 projection matrix)")
    times = root / "times.txt"
    stamps = np.array([_seconds_stamp(r[0], times) for r in _rows(times, 1, sep="")], dtype=np.int64)
    cameras = []
    for k, folder in enumerate(("image_0", "image_1")):
        found = sorted((root / folder).glob("*.png"))
        if not found:
            if k == 0:
                raise DatasetError(f"{root / folder}: no PNG images")
            continue
        files = found
        numbers = [int(f.stem) for f in found if f.stem.isdigit()]
        if len(numbers) == len(found) and max(numbers) < len(stamps):
            # Files are numbered by frame (000000.png, ...): a missing one is met, and skipped, mid-replay.
            width_digits = len(found[0].stem)
            files = [root / folder / f"{i:0{width_digits}d}.png" for i in range(len(stamps))]
        elif len(found) != len(stamps):
            raise DatasetError(f"{root / folder}: {len(found)} images but {len(stamps)} lines in {times}")
        # P_k = K_k [I | t_k]: camera k sits at -t_k in the left camera's frame (rectified, same axes), seen
        # through its own K_k (a pair rectified without zero disparity has two principal points).
        p = projections[f"P{k}"].reshape(3, 4)
        fx, fy, cx, cy = p[0, 0], p[1, 1], p[0, 2], p[1, 2]
        if not (fx > 0 and fy > 0):
            raise DatasetError(f"{calib}: P{k} has no positive focal length")
        tz = p[2, 3]
        ty = (p[1, 3] - cy * tz) / fy
        offset = -np.array([(p[0, 3] - p[0, 1] * ty - cx * tz) / fx, ty, tz])
        (width, height), _ = _png_size(found[0])
        cameras.append(
            CameraStream(
                name=f"cam{k}", frame_id=f"cam{k}", width=width, height=height,
                intrinsics=(float(fx), float(fy), float(cx), float(cy)), distortion=(0.0,) * 5,
                base_from_camera=(tuple(float(v) for v in offset), (0.0, 0.0, 0.0, 1.0)),  # type: ignore[arg-type]
                encoding="mono8", stamps=stamps, files=files,
            )
        )
    truth = None
    for gt in (root / "poses.txt", root.parent.parent / "poses" / f"{root.name}.txt", root / "poses" / f"{root.name}.txt"):
        if gt.is_file():
            rows = _rows(gt, 12, sep="")
            if len(rows) != len(stamps):
                raise DatasetError(f"{gt}: {len(rows)} poses but {len(stamps)} lines in {times}")
            poses = []
            for r in rows:
                m = np.eye(4)
                m[:3, :] = np.array(_floats(r[:12], gt)).reshape(3, 4)
                t, q = _pair_from_matrix(m, f"{gt}")
                poses.append([*t, *q])
            truth = (stamps.copy(), np.array(poses, dtype=float).reshape(-1, 7))
            break
    return Dataset("KITTI odometry", root, cameras, None, truth)
