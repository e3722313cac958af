"""Trajectories: TUM files, alignment and the usual error metrics (needs numpy, from the `tools` extra).

A pose of the moving frame in the fixed frame at one stamp is a `StampedPose` (t_ns, x, y, z, qx, qy,
qz, qw), made from an engine's estimate by `StampedPose.of`; a `Trajectory` collects them compactly as
they come. For the metrics a trajectory is a pair (stamps, poses) of arrays (`Trajectory.arrays`):
``stamps`` int64 nanoseconds, ``poses`` an N x 7 float array of rows (x, y, z, qx, qy, qz, qw).

- `write_tum` / `read_tum`: the TUM text format, one pose per line ``timestamp x y z qx qy qz qw``
  with the timestamp in seconds, as `evo` and the TUM benchmark tools read it; `TumWriter` writes
  one pose at a time, as poses are produced.
- `associate`: pairs of indices whose stamps lie closest, within a tolerance.
- `umeyama`: the least-squares similarity or rigid transform between two point sets.
- `absolute_trajectory_error` (ATE) after alignment and `relative_pose_error` (RPE) over a fixed time
  step, both as `ErrorStats` (RMSE, mean, median, max).
- `evaluate`: both at once under one of the `ALIGNMENTS`, as an `Evaluation` whose `as_row` is one
  line of a results file (`RESULT_FIELDS`).
"""

from __future__ import annotations

import math
import os
from array import array
from dataclasses import dataclass
from typing import Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from velk_odom._geometry import matrix_angles, matrix_to_quat, quat_mul, quat_to_matrix

__all__ = [
    "ALIGNMENTS",
    "ErrorStats",
    "Evaluation",
    "RESULT_FIELDS",
    "StampedPose",
    "TrackBuffer",
    "Trajectory",
    "TumWriter",
    "absolute_trajectory_error",
    "alignment",
    "apply_alignment",
    "matrix_to_quat",
    "associate",
    "evaluate",
    "nearest_pose",
    "parse_stamp",
    "path_length",
    "quat_to_matrix",
    "read_tum",
    "relative_pose_error",
    "umeyama",
    "write_tum",
]


class StampedPose(NamedTuple):
    """The pose of the moving frame in the fixed frame at ``t_ns``: position in metres, orientation as
    a quaternion (x, y, z, w). A TUM line with its stamp in integer nanoseconds."""

    t_ns: int
    x: float
    y: float
    z: float
    qx: float
    qy: float
    qz: float
    qw: float

    @classmethod
    def of(cls, estimate: Any) -> "StampedPose":
        """The pose of anything with ``timestamp_ns``, ``translation`` and ``rotation_xyzw`` (an
        `OdometryEstimate`, a simulated wheel reading)."""
        return cls(int(estimate.timestamp_ns), *estimate.translation, *estimate.rotation_xyzw)


class Trajectory:
    """Stamped poses in the order they came, kept in typed arrays (64 bytes a pose, a fifth of a tuple
    of floats): a sequence of `StampedPose`, turned into the pair (stamps, poses) by `arrays`."""

    def __init__(self, poses: Iterable[Sequence[float]] = ()) -> None:
        self._stamps = array("q")
        self._values = array("d")
        for pose in poses:
            self.add(pose)

    def add(self, pose: Sequence[float]) -> None:
        """Append a `StampedPose` (or any row t_ns, x, y, z, qx, qy, qz, qw)."""
        self.append(pose[0], pose[1:4], pose[4:8])

    def append(self, t_ns: int, translation: Sequence[float], rotation_xyzw: Sequence[float]) -> None:
        self._stamps.append(int(t_ns))
        self._values.extend(translation)
        self._values.extend(rotation_xyzw)

    def __len__(self) -> int:
        return len(self._stamps)

    def __getitem__(self, i: int) -> StampedPose:
        t_ns = self._stamps[i]  # IndexError past either end
        k = 7 * (i % len(self))
        return StampedPose(t_ns, *self._values[k : k + 7])

    def __iter__(self) -> Iterator[StampedPose]:
        return (self[i] for i in range(len(self)))

    def arrays(self) -> Tuple[np.ndarray, np.ndarray]:
        return np.frombuffer(self._stamps, dtype=np.int64).copy(), np.frombuffer(self._values, dtype=float).reshape(-1, 7).copy()


# The former name of `Trajectory`.
TrackBuffer = Trajectory


def _format_stamp(t_ns: int) -> str:
    """Exact decimal seconds of an integer nanosecond stamp (no float rounding)."""
    sign = "-" if t_ns < 0 else ""
    t = abs(int(t_ns))
    return f"{sign}{t // 1_000_000_000}.{t % 1_000_000_000:09d}"


class TumWriter:
    """A TUM file written pose by pose, so a long run keeps nothing in memory but the last pose
    (and, with ``keep``, the poses in a `Trajectory`, ``kept``, for metrics and plots).

    ``count`` is the number of poses written, ``last`` the last `StampedPose` or None,
    ``path_length_m`` the distance along the positions written. Opening raises OSError when ``path``
    cannot be written. A context manager; `close` flushes the file.
    """

    def __init__(self, path: "os.PathLike[str] | str", keep: bool = False) -> None:
        self.path = path
        self.count = 0
        self.last: Optional[StampedPose] = None
        self.path_length_m = 0.0
        self.kept: Optional[Trajectory] = Trajectory() if keep else None
        self._file = open(path, "w", encoding="ascii")

    def write(self, pose: Sequence[float]) -> None:
        """Append one `StampedPose` (or any row t_ns, x, y, z, qx, qy, qz, qw)."""
        pose = StampedPose(int(pose[0]), *(float(v) for v in pose[1:8]))
        self._file.write(f"{_format_stamp(pose.t_ns)} {' '.join(f'{v:.9f}' for v in pose[1:])}\n")
        if self.last is not None:
            self.path_length_m += math.dist(self.last[1:4], pose[1:4])
        self.last = pose
        self.count += 1
        if self.kept is not None:
            self.kept.add(pose)

    def close(self) -> None:
        self._file.close()

    def __enter__(self) -> "TumWriter":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def write_tum(path: "os.PathLike[str] | str", rows: Iterable[Sequence[float]]) -> int:
    """Write poses (a `Trajectory`, or rows t_ns, x, y, z, qx, qy, qz, qw) as a TUM file; returns the
    number of lines."""
    with TumWriter(path) as out:
        for row in rows:
            out.write(row)
    return out.count


def parse_stamp(text: str) -> int:
    """Seconds as written in a TUM file, to integer nanoseconds without float rounding for plain
    decimals; exponent forms go through float."""
    s = text.strip()
    neg = s.startswith("-")
    body = s[1:] if neg or s.startswith("+") else s
    if body.replace(".", "", 1).isdigit():
        whole, _, frac = body.partition(".")
        ns = int(whole or "0") * 1_000_000_000 + int((frac + "000000000")[:9] or "0")
        ns = -ns if neg else ns
    else:
        value = float(s) * 1e9
        if not math.isfinite(value):
            raise ValueError(f"timestamp {text!r} is not finite")
        ns = int(round(value))
    if not -(2**63) <= ns < 2**63:
        raise ValueError(f"timestamp {text!r} is out of range (nanoseconds must fit in 64 bits)")
    return ns


def read_tum(path: "os.PathLike[str] | str", dropped: Optional[List[int]] = None) -> Tuple[np.ndarray, np.ndarray]:
    """Read a TUM file. Blank lines and lines starting with '#' are skipped; separators may be spaces,
    tabs or commas. A pose whose quaternion is zero (as motion-capture exports write for a lost
    marker) or too small or large to normalise names no rotation: it is left out and its line number
    appended to ``dropped``. Raises ValueError naming the file and line for a malformed line, and for
    a file without any pose."""
    stamps: List[int] = []
    poses: List[List[float]] = []
    with open(path, encoding="utf-8") as f:
        for lineno, line in enumerate(f, start=1):
            text = line.strip()
            if not text or text.startswith("#"):
                continue
            fields = text.replace(",", " ").split()
            if len(fields) != 8:
                raise ValueError(
                    f"{path}:{lineno}: expected 8 values 'timestamp x y z qx qy qz qw', found {len(fields)}"
                )
            try:
                t_ns = parse_stamp(fields[0])
                values = [float(v) for v in fields[1:]]
            except ValueError:
                raise ValueError(f"{path}:{lineno}: not a number in {text!r}") from None
            if not all(math.isfinite(v) for v in values):
                raise ValueError(f"{path}:{lineno}: non-finite value in {text!r}")
            if not 0.0 < math.fsum(v * v for v in values[3:7]) < math.inf:
                if dropped is not None:
                    dropped.append(lineno)
                continue
            stamps.append(t_ns)
            poses.append(values)
    if not stamps:
        raise ValueError(f"{path}: no poses in the file" + (f" ({len(dropped)} without a usable quaternion)" if dropped else ""))
    order = np.argsort(np.asarray(stamps, dtype=np.int64), kind="stable")
    return np.asarray(stamps, dtype=np.int64)[order], np.asarray(poses, dtype=float)[order]


def associate(ref_stamps: np.ndarray, est_stamps: np.ndarray, max_diff_ns: int) -> Tuple[np.ndarray, np.ndarray]:
    """Index arrays (i_ref, i_est): for each estimate, the reference pose nearest in time, kept when
    the two stamps differ by at most ``max_diff_ns``. Both stamp arrays must be sorted."""
    ref = np.asarray(ref_stamps, dtype=np.int64)
    est = np.asarray(est_stamps, dtype=np.int64)
    if ref.size == 0 or est.size == 0:
        return np.zeros(0, dtype=np.intp), np.zeros(0, dtype=np.intp)
    right = np.clip(np.searchsorted(ref, est), 0, ref.size - 1)
    left = np.clip(right - 1, 0, ref.size - 1)
    pick = np.where(np.abs(ref[left] - est) <= np.abs(ref[right] - est), left, right)
    keep = np.abs(ref[pick] - est) <= max_diff_ns
    return pick[keep], np.nonzero(keep)[0]


def umeyama(src: np.ndarray, dst: np.ndarray, with_scale: bool = False) -> Tuple[np.ndarray, np.ndarray, float]:
    """(R, t, s) minimising sum |dst_i - (s R src_i + t)|² over rotations R (det +1), translations t
    and, with ``with_scale``, a scale s > 0 (else s = 1). ``src`` and ``dst`` are N x 3 with N >= 1;
    fewer than three non-collinear points leave the rotation about their line undetermined (the
    rotation returned is then one of the minimisers). Raises ValueError for mismatched shapes."""
    src = np.asarray(src, dtype=float)
    dst = np.asarray(dst, dtype=float)
    if src.ndim != 2 or src.shape[1] != 3 or src.shape != dst.shape or src.shape[0] == 0:
        raise ValueError(f"umeyama needs two N x 3 arrays of equal shape, got {src.shape} and {dst.shape}")
    mu_s = src.mean(axis=0)
    mu_d = dst.mean(axis=0)
    xs = src - mu_s
    xd = dst - mu_d
    n = src.shape[0]
    cov = xd.T @ xs / n
    u, d, vt = np.linalg.svd(cov)
    sign = np.eye(3)
    if np.linalg.det(u) * np.linalg.det(vt) < 0.0:
        sign[2, 2] = -1.0
    rot = u @ sign @ vt
    scale = 1.0
    if with_scale:
        var_s = float((xs * xs).sum() / n)
        if var_s > 0.0:
            scale = float(np.trace(np.diag(d) @ sign) / var_s)
    trans = mu_d - scale * rot @ mu_s
    return rot, trans, scale


@dataclass(frozen=True)
class ErrorStats:
    """Statistics of a set of non-negative errors (metres or radians); ``count`` samples."""

    rmse: float
    mean: float
    median: float
    max: float
    count: int

    @staticmethod
    def of(errors: np.ndarray) -> "ErrorStats":
        e = np.asarray(errors, dtype=float)
        if e.size == 0:
            nan = float("nan")
            return ErrorStats(nan, nan, nan, nan, 0)
        return ErrorStats(
            float(np.sqrt(np.mean(e * e))), float(e.mean()), float(np.median(e)), float(e.max()), int(e.size)
        )


def _matched(
    est: Tuple[np.ndarray, np.ndarray], ref: Tuple[np.ndarray, np.ndarray], max_diff_ns: int
) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    i_ref, i_est = associate(ref[0], est[0], max_diff_ns)
    if i_est.size == 0:
        raise ValueError("no estimated pose lies close enough in time to a reference pose")
    return est[0][i_est], est[1][i_est], ref[1][i_ref]


# How an estimate is brought onto the reference before its positions are compared: "origin" puts its
# first matched pose on the reference's (what the run's own start gets wrong stays in the error),
# "rigid" is the rotation and translation that fit all matched positions best, "sim" adds a scale
# (for a monocular run, whose scale is unknown).
ALIGNMENTS = ("origin", "rigid", "sim")


def _alignment_of(est_poses: np.ndarray, ref_poses: np.ndarray, how: str) -> Tuple[np.ndarray, np.ndarray, float]:
    """(R, t, s) of the alignment ``how`` (one of `ALIGNMENTS`, or "none") between matched poses."""
    if how == "none":
        return np.eye(3), np.zeros(3), 1.0
    if how == "origin":
        rot = quat_to_matrix(ref_poses[0, 3:7]) @ quat_to_matrix(est_poses[0, 3:7]).T
        return rot, ref_poses[0, 0:3] - rot @ est_poses[0, 0:3], 1.0
    if how not in ALIGNMENTS:
        raise ValueError(f"unknown alignment {how!r}; use one of {', '.join(ALIGNMENTS)}")
    return umeyama(est_poses[:, 0:3], ref_poses[:, 0:3], with_scale=how == "sim")


def _alignment_name(align: "bool | str", with_scale: bool) -> str:
    if isinstance(align, str):
        return align
    return ("sim" if with_scale else "rigid") if align else "none"


def absolute_trajectory_error(
    est: Tuple[np.ndarray, np.ndarray],
    ref: Tuple[np.ndarray, np.ndarray],
    *,
    max_diff_ns: int = 20_000_000,
    align: "bool | str" = True,
    with_scale: bool = False,
) -> Tuple[ErrorStats, np.ndarray, np.ndarray]:
    """Translational ATE of ``est`` against ``ref`` (each (stamps, poses)). Poses are matched by
    `associate`; ``align`` names one of `ALIGNMENTS` (True: "rigid", or "sim" with ``with_scale``;
    False: none) that first maps the estimate onto the reference. Returns (stats, stamps of the
    matched poses, per-pose errors in metres). Raises ValueError when no pose matches."""
    stamps, est_poses, ref_poses = _matched(est, ref, max_diff_ns)
    rot, trans, scale = _alignment_of(est_poses, ref_poses, _alignment_name(align, with_scale))
    p_est = scale * est_poses[:, 0:3] @ rot.T + trans
    errors = np.linalg.norm(p_est - ref_poses[:, 0:3], axis=1)
    return ErrorStats.of(errors), stamps, errors


def alignment(
    est: Tuple[np.ndarray, np.ndarray],
    ref: Tuple[np.ndarray, np.ndarray],
    *,
    max_diff_ns: int = 20_000_000,
    with_scale: bool = False,
    align: "bool | str" = True,
) -> Tuple[np.ndarray, np.ndarray, float]:
    """(R, t, s) that maps the estimate's matched poses onto the reference's, as
    `absolute_trajectory_error` aligns them."""
    _, est_poses, ref_poses = _matched(est, ref, max_diff_ns)
    return _alignment_of(est_poses, ref_poses, _alignment_name(align, with_scale))


def apply_alignment(poses: np.ndarray, rot: np.ndarray, trans: np.ndarray, scale: float = 1.0) -> np.ndarray:
    """Poses mapped by x -> s R x + t, orientations turned by R."""
    poses = np.asarray(poses, dtype=float)
    out = poses.copy()
    out[:, 0:3] = scale * poses[:, 0:3] @ np.asarray(rot).T + trans
    out[:, 3:7] = np.stack(quat_mul(matrix_to_quat(rot), poses[:, 3:7].T), axis=1)
    return out


def _poses_to_matrices(poses: np.ndarray) -> np.ndarray:
    m = np.zeros((poses.shape[0], 4, 4))
    m[:, 0:3, 0:3] = quat_to_matrix(poses[:, 3:7])
    m[:, 0:3, 3] = poses[:, 0:3]
    m[:, 3, 3] = 1.0
    return m


def relative_pose_error(
    est: Tuple[np.ndarray, np.ndarray],
    ref: Tuple[np.ndarray, np.ndarray],
    *,
    delta_s: float = 1.0,
    max_diff_ns: int = 20_000_000,
) -> Tuple[ErrorStats, ErrorStats]:
    """RPE over steps of ``delta_s`` seconds: for matched poses i and the first j with
    t_j - t_i >= delta_s, the error E = (Ref_i⁻¹ Ref_j)⁻¹ (Est_i⁻¹ Est_j). Returns (translation
    stats in metres, rotation stats in radians). No alignment is needed: the metric is invariant to a
    rigid transform of either trajectory. Raises ValueError when no pose matches."""
    stamps, est_poses, ref_poses = _matched(est, ref, max_diff_ns)
    step_ns = int(round(delta_s * 1e9))
    j_idx = np.searchsorted(stamps, stamps + step_ns)
    valid = j_idx < stamps.size
    i_idx = np.nonzero(valid)[0]
    j_idx = j_idx[valid]
    if i_idx.size == 0:
        empty = ErrorStats.of(np.zeros(0))
        return empty, empty
    e_m = _poses_to_matrices(est_poses)
    r_m = _poses_to_matrices(ref_poses)
    rel_e = np.linalg.inv(e_m[i_idx]) @ e_m[j_idx]
    rel_r = np.linalg.inv(r_m[i_idx]) @ r_m[j_idx]
    err = np.linalg.inv(rel_r) @ rel_e
    trans = np.linalg.norm(err[:, 0:3, 3], axis=1)
    return ErrorStats.of(trans), ErrorStats.of(matrix_angles(err[:, 0:3, 0:3]))


# The columns `Evaluation.as_row` fills, in order: a results file's metric columns.
RESULT_FIELDS = (
    "align", "scale", "matched", "span_s", "ate_rmse_m", "ate_mean_m", "ate_median_m", "ate_max_m",
    "rpe_delta_s", "rpe_pairs", "rpe_rmse_m", "rpe_rmse_deg",
)


@dataclass(frozen=True)
class Evaluation:
    """An estimate scored against a reference: the alignment used (``align``, one of `ALIGNMENTS`,
    and the scale it found), the ATE after it, and the RPE over ``rpe_delta_s`` (no pairs, count 0,
    when the matched poses span less than that: ``span_s``). ``stamps`` and ``errors`` are the
    matched poses' stamps (ns) and position errors (m)."""

    align: str
    scale: float
    ate: ErrorStats
    rpe_translation: ErrorStats
    rpe_rotation: ErrorStats  # radians
    rpe_delta_s: float
    span_s: float
    stamps: np.ndarray
    errors: np.ndarray

    def as_row(self) -> Dict[str, Any]:
        """The `RESULT_FIELDS`, None where a value could not be computed."""

        def value(v: float) -> Optional[float]:
            return v if math.isfinite(v) else None

        rpe = self.rpe_translation
        return {
            "align": self.align, "scale": self.scale, "matched": self.ate.count, "span_s": self.span_s,
            "ate_rmse_m": self.ate.rmse, "ate_mean_m": self.ate.mean, "ate_median_m": self.ate.median,
            "ate_max_m": self.ate.max, "rpe_delta_s": self.rpe_delta_s, "rpe_pairs": rpe.count,
            "rpe_rmse_m": value(rpe.rmse), "rpe_rmse_deg": value(math.degrees(self.rpe_rotation.rmse)),
        }


def evaluate(
    est: Tuple[np.ndarray, np.ndarray],
    ref: Tuple[np.ndarray, np.ndarray],
    *,
    align: str = "rigid",
    delta_s: float = 1.0,
    max_diff_ns: int = 20_000_000,
) -> Evaluation:
    """ATE under the alignment ``align`` (one of `ALIGNMENTS`) and RPE over ``delta_s`` seconds
    (of the estimate scaled by a "sim" alignment's scale) of ``est`` against ``ref``. Raises ValueError when no pose matches or ``align`` is unknown."""
    stamps, est_poses, ref_poses = _matched(est, ref, max_diff_ns)
    if align not in ALIGNMENTS:
        raise ValueError(f"unknown alignment {align!r}; use one of {', '.join(ALIGNMENTS)}")
    _, _, scale = _alignment_of(est_poses, ref_poses, align)
    ate, t_m, errors = absolute_trajectory_error(est, ref, max_diff_ns=max_diff_ns, align=align)
    # A similarity's scale applies to the relative motions too (the RPE is blind to the rest).
    scaled = np.asarray(est[1], dtype=float).copy()
    scaled[:, 0:3] *= scale
    rpe_t, rpe_r = relative_pose_error((est[0], scaled), ref, delta_s=delta_s, max_diff_ns=max_diff_ns)
    span_s = (int(stamps[-1]) - int(stamps[0])) * 1e-9
    return Evaluation(align, float(scale), ate, rpe_t, rpe_r, float(delta_s), span_s, t_m, errors)


def path_length(poses: np.ndarray) -> float:
    """Sum of the distances between consecutive positions, metres."""
    p = np.asarray(poses, dtype=float)[:, 0:3]
    if p.shape[0] < 2:
        return 0.0
    return float(np.linalg.norm(np.diff(p, axis=0), axis=1).sum())


def nearest_pose(stamps: np.ndarray, poses: np.ndarray, t_ns: int) -> Optional[np.ndarray]:
    """The pose whose stamp is nearest to t_ns, or None for an empty trajectory."""
    if len(stamps) == 0:
        return None
    i = int(np.clip(np.searchsorted(stamps, t_ns), 0, len(stamps) - 1))
    if i > 0 and abs(int(stamps[i - 1]) - t_ns) <= abs(int(stamps[i]) - t_ns):
        i -= 1
    return poses[i]
