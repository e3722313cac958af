"""The CPU tracker against the visual odometry a user would otherwise write with OpenCV, on the same
rendered 640 x 480 frames (three quarters of a loop, about 10 m, around a textured room; 300 frame
sets at 30 Hz), at 1 and 2 threads (Odometry::Config::threads; cv2.setNumThreads).

The baseline, stereo: Shi-Tomasi corners (goodFeaturesToTrack) on the left image of a keyframe,
matched into the right image by pyramidal Lucas-Kanade with a forward-backward check and the row
constraint, triangulated from the disparity; every frame tracks the points from the last frame
(Lucas-Kanade, forward-backward check), solves the pose with P3P inside RANSAC (solvePnPRansac) and
refines it on the inliers (solvePnPRefineLM); a new keyframe adds corners when fewer than
KEYFRAME_FRACTION of the keyframe's points remain. RGB-D: the same, with depth from the aligned depth
image instead of the right image. Its parameters were tuned on these sequences for drift first,
then speed (window 15, 3 pyramid levels, 400 corners).

Both trackers get frames already in memory; each figure is the median of interleaved repetitions.
The tracker's figures come from bench_cuvslam (built into build/bench by bench/run.py, or built here).

    python bench/bench_vo_opencv.py [--repeat N] [--frames N] [--frames-dir DIR]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(ROOT, "build", "bench")
EXE = os.path.join(BUILD, "bench", "bench_cuvslam")

# Baseline tuning.
MAX_CORNERS = 400
QUALITY = 0.01
MIN_DISTANCE = 12
WINDOW = (15, 15)
LEVELS = 3
CRITERIA_ITERATIONS, CRITERIA_EPS = 20, 0.03
FB_MAX_PX = 0.5           # forward-backward disagreement that rejects a track
ROW_MAX_PX = 1.0          # stereo: rows of a rectified pair agree within this
RANSAC_PX = 2.0
RANSAC_ITERATIONS = 100
KEYFRAME_FRACTION = 0.7
MIN_DEPTH, MAX_DEPTH = 0.3, 40.0

SCENARIOS = {"stereo": "stereo_rectified", "rgbd": "rgbd"}


def build_tracker_bench():
    if os.path.exists(EXE):
        return
    configure = ["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release", "-DVELK_BUILD_BENCH=ON",
                 "-DVELK_BUILD_PYTHON=OFF", "-DVELK_BUILD_TESTS=OFF"]
    for p in sys.path:
        if os.path.isdir(os.path.join(p, "cmeel.prefix")):
            configure.append("-DCMAKE_PREFIX_PATH=" + os.path.join(p, "cmeel.prefix"))
            break
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "--target", "bench_cuvslam", "-j", str(os.cpu_count() or 2)],
                   check=True, stdout=subprocess.DEVNULL)


def tracker_run(scenario, frames, threads, directory):
    out = subprocess.run([EXE, "--only", scenario, "--hard", "none", "--frames", str(frames), "--threads",
                          str(threads), "--frames-from", directory], check=True, capture_output=True, text=True).stdout
    rows = {}
    for line in out.splitlines():
        parts = line.split("\t")
        if len(parts) >= 3:
            rows[parts[0].split(".", 1)[1]] = float(parts[1])
    return rows


def load_frames(np, scenario, frames, directory):
    meta = os.path.join(directory, "meta.txt")
    if not (os.path.exists(meta) and int(open(meta).read().split()[6]) == frames):
        subprocess.run([EXE, "--only", scenario, "--hard", "none", "--frames", str(frames), "--dump", directory],
                       check=True)
    w, h, fx, fy, cx, cy, n, _ = open(os.path.join(directory, "meta.txt")).read().split()
    w, h, n = int(w), int(h), int(n)
    k = np.array([[float(fx), 0, float(cx)], [0, float(fy), float(cy)], [0, 0, 1]])
    poses = np.loadtxt(os.path.join(directory, "truth.txt")).reshape(-1, 3, 4)
    rig_from_camera = np.loadtxt(os.path.join(directory, "rig_from_camera.txt")).reshape(-1, 3, 4)
    cams = []
    for c in range(len(rig_from_camera)):
        cams.append(np.fromfile(os.path.join(directory, f"camera{c}.u8"), np.uint8).reshape(n, h, w))
    depth_path = os.path.join(directory, "depth0.u16")
    depth = np.fromfile(depth_path, np.uint16).reshape(n, h, w) if os.path.exists(depth_path) else None
    return dict(k=k, truth=poses, rig_from_camera=rig_from_camera, cams=cams, depth=depth, n=n)


def homogeneous(np, p):
    t = np.eye(4)
    t[:3, :] = p
    return t


class OpenCvVo:
    """Keyframe-based stereo or RGB-D visual odometry; poses are world_from_camera0 (4 x 4)."""

    def __init__(self, cv2, np, k, baseline=None):
        self.cv2, self.np, self.k = cv2, np, k
        self.baseline = baseline
        self.lk = dict(winSize=WINDOW, maxLevel=LEVELS,
                       criteria=(cv2.TERM_CRITERIA_EPS | cv2.TERM_CRITERIA_COUNT, CRITERIA_ITERATIONS, CRITERIA_EPS))
        self.prev = None
        self.pts = None        # N x 1 x 2 float32, positions in the last frame
        self.points_w = None   # N x 3 landmarks, world frame
        self.keyframe_count = 0
        self.pose = np.eye(4)  # world_from_camera

    def flow_checked(self, a, b, pts):
        cv2, np = self.cv2, self.np
        nxt, st, _ = cv2.calcOpticalFlowPyrLK(a, b, pts, None, **self.lk)
        back, st2, _ = cv2.calcOpticalFlowPyrLK(b, a, nxt, None, **self.lk)
        ok = (st[:, 0] == 1) & (st2[:, 0] == 1) & (np.abs(back - pts).reshape(-1, 2).max(axis=1) < FB_MAX_PX)
        return nxt, ok

    def keyframe(self, left, right, depth):
        cv2, np = self.cv2, self.np
        mask = np.full(left.shape, 255, np.uint8)
        if self.pts is not None:
            for x, y in self.pts.reshape(-1, 2):
                cv2.circle(mask, (int(x), int(y)), MIN_DISTANCE, 0, -1)
        room = MAX_CORNERS - (0 if self.pts is None else len(self.pts))
        if room > 0:
            corners = cv2.goodFeaturesToTrack(left, room, QUALITY, MIN_DISTANCE, mask=mask)
        else:
            corners = None
        if corners is not None:
            corners = corners.astype(np.float32)
            uv = corners.reshape(-1, 2)
            if depth is None:
                matched, ok = self.flow_checked(left, right, corners)
                d = uv[:, 0] - matched.reshape(-1, 2)[:, 0]
                ok &= (np.abs(uv[:, 1] - matched.reshape(-1, 2)[:, 1]) < ROW_MAX_PX) & (d > 0.5)
                z = np.where(ok, self.k[0, 0] * self.baseline / np.maximum(d, 1e-6), 0.0)
            else:
                xi = np.clip(np.rint(uv[:, 0]).astype(int), 0, depth.shape[1] - 1)
                yi = np.clip(np.rint(uv[:, 1]).astype(int), 0, depth.shape[0] - 1)
                z = depth[yi, xi] / 1000.0
                ok = z > 0
            ok &= (z > MIN_DEPTH) & (z < MAX_DEPTH)
            uv, z = uv[ok], z[ok]
            xc = np.stack([(uv[:, 0] - self.k[0, 2]) / self.k[0, 0] * z, (uv[:, 1] - self.k[1, 2]) / self.k[1, 1] * z, z], 1)
            xw = xc @ self.pose[:3, :3].T + self.pose[:3, 3]
            new_pts = uv.reshape(-1, 1, 2).astype(np.float32)
            if self.pts is None:
                self.pts, self.points_w = new_pts, xw
            else:
                self.pts = np.concatenate([self.pts, new_pts])
                self.points_w = np.concatenate([self.points_w, xw])
        self.keyframe_count = 0 if self.pts is None else len(self.pts)

    def track(self, left, right=None, depth=None):
        """Returns world_from_camera, or None when the pose could not be solved."""
        cv2, np = self.cv2, self.np
        if self.prev is None:
            self.keyframe(left, right, depth)
            self.prev = left
            return self.pose.copy()
        ok_pose = False
        if self.pts is not None and len(self.pts) >= 6:
            nxt, ok = self.flow_checked(self.prev, left, self.pts)
            self.pts, self.points_w = nxt[ok], self.points_w[ok]
            if len(self.pts) >= 6:
                camera_from_world = np.linalg.inv(self.pose)
                rvec, _ = cv2.Rodrigues(camera_from_world[:3, :3])
                tvec = camera_from_world[:3, 3].reshape(3, 1).copy()
                found, rvec, tvec, inliers = cv2.solvePnPRansac(
                    self.points_w, self.pts, self.k, None, rvec=rvec, tvec=tvec, useExtrinsicGuess=False,
                    iterationsCount=RANSAC_ITERATIONS, reprojectionError=RANSAC_PX, confidence=0.999,
                    flags=cv2.SOLVEPNP_P3P)
                if found and inliers is not None and len(inliers) >= 15:
                    idx = inliers[:, 0]
                    rvec, tvec = cv2.solvePnPRefineLM(self.points_w[idx], self.pts[idx], self.k, None, rvec, tvec)
                    keep = np.zeros(len(self.pts), bool)
                    keep[idx] = True
                    self.pts, self.points_w = self.pts[keep], self.points_w[keep]
                    r, _ = cv2.Rodrigues(rvec)
                    cfw = np.eye(4)
                    cfw[:3, :3], cfw[:3, 3] = r, tvec[:, 0]
                    self.pose = np.linalg.inv(cfw)
                    ok_pose = True
        if not ok_pose or len(self.pts) < KEYFRAME_FRACTION * self.keyframe_count:
            if not ok_pose:
                self.pts, self.points_w = None, None
            self.keyframe(left, right, depth)
        self.prev = left
        return self.pose.copy() if ok_pose else None


def run_opencv(cv2, np, data, mode, threads):
    cv2.setNumThreads(threads)
    rig_from_cam = homogeneous(np, data["rig_from_camera"][0])
    baseline = None
    if mode == "stereo":
        baseline = float(np.linalg.norm(data["rig_from_camera"][1][:, 3] - data["rig_from_camera"][0][:, 3]))
    vo = OpenCvVo(cv2, np, data["k"], baseline)
    est = []
    start, cpu_start = time.perf_counter(), time.process_time()
    for i in range(data["n"]):
        left = data["cams"][0][i]
        if mode == "stereo":
            pose = vo.track(left, right=data["cams"][1][i])
        else:
            pose = vo.track(left, depth=data["depth"][i])
        est.append(pose)
    seconds, cpu_seconds = time.perf_counter() - start, time.process_time() - cpu_start
    # The camera's world frame starts at the first camera pose; the rig's poses follow.
    world_from_rig = [None if p is None else p @ np.linalg.inv(rig_from_cam) for p in est]
    return data["n"] / seconds, data["n"] / cpu_seconds, drift(np, data["truth"], world_from_rig)


def drift(np, truth, est):
    """End-point translation error (% of path) after aligning the first tracked poses, as bench_cuvslam."""
    tracked = [k for k, e in enumerate(est) if e is not None]
    if not tracked:
        return float("nan"), float("nan")
    first, last = tracked[0], tracked[-1]
    t_first = homogeneous(np, truth[first])
    align = t_first @ np.linalg.inv(est[first])
    end = align @ est[last]
    path = sum(np.linalg.norm(truth[k + 1][:, 3] - truth[k][:, 3]) for k in range(first, last))
    err_t = np.linalg.norm(end[:3, 3] - truth[last][:, 3])
    r = end[:3, :3].T @ truth[last][:, :3]
    angle = np.degrees(np.arccos(np.clip((np.trace(r) - 1) / 2, -1, 1)))
    return 100 * err_t / path, angle / path


def measure(repeat, frames, frames_dir=None):
    import cv2
    import numpy as np

    build_tracker_bench()
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        for mode, scenario in SCENARIOS.items():
            directory = os.path.join(frames_dir or tmp, mode)
            os.makedirs(directory, exist_ok=True)
            data = load_frames(np, scenario, frames, directory)
            for _ in range(repeat):
                for threads in (1, 2):
                    rows = tracker_run(scenario, frames, threads, directory)
                    ours = results.setdefault((mode, "tracker", threads), [])
                    ours.append((rows["speed"], rows["translation_drift"], rows["rotation_drift"], rows["cpu_speed"]))
                    speed, cpu_speed, (dt, dr) = run_opencv(cv2, np, data, mode, threads)
                    results.setdefault((mode, "opencv", threads), []).append((speed, dt, dr, cpu_speed))
    return results


def rows(repeat=3, frames=300, frames_dir=None):
    try:
        import cv2  # noqa: F401
        import numpy  # noqa: F401
    except ImportError:
        return [("vo baseline: opencv-python-headless not installed", 0.0, "", "pip install opencv-python-headless")]
    results = measure(repeat, frames, frames_dir)
    out = []
    med = {key: [statistics.median(v[i] for v in vals) for i in range(4)] for key, vals in results.items()}
    note = f"640x480, {frames} frame sets, median of {repeat} interleaved runs"
    for mode in SCENARIOS:
        for threads in (1, 2):
            for who in ("tracker", "opencv"):
                speed, dt, dr, _ = med[(mode, who, threads)]
                out.append((f"vo {mode} {who}, {threads} thread(s): speed", speed, "frame sets/s", note))
                out.append((f"vo {mode} {who}, {threads} thread(s): translation drift", dt, "% of path", "end point"))
                out.append((f"vo {mode} {who}, {threads} thread(s): rotation drift", dr, "deg/m", "end point"))
        for threads in (1, 2):
            out.append((f"vo {mode}: tracker / opencv speed, {threads} thread(s)",
                        med[(mode, "tracker", threads)][0] / med[(mode, "opencv", threads)][0], "ratio",
                        "target >= 3 on one thread" if threads == 1 else ""))
        # One thread per processor second: what the work costs, steadier than the wall clock when other
        # work shares the machine.
        out.append((f"vo {mode}: tracker / opencv, 1 thread, per processor second",
                    med[(mode, "tracker", 1)][3] / med[(mode, "opencv", 1)][3], "ratio", "target >= 3"))
        out.append((f"vo {mode}: tracker 2 threads / 1 thread", med[(mode, "tracker", 2)][0] / med[(mode, "tracker", 1)][0],
                    "ratio", "target >= 1.6"))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--frames-dir", help="keep the rendered frames here and reuse them on the next run")
    args = parser.parse_args()
    for name, value, unit, note in rows(args.repeat, args.frames, args.frames_dir):
        print(f"{name:<55} {value:>10.3f}  {unit:<13} {note}")


if __name__ == "__main__":
    main()
