"""Visual odometry on recorded dataset folders (KITTI odometry, TUM RGB-D, EuRoC) against their ground truth.

    PYTHONPATH=. python bench/real_data.py DIR [DIR...] [--threads 1 2] [--modes stereo rgbd mono]
                                           [--focal-scale S] [--every N] [--backwards]

Each folder is replayed through `velk-odom vo`'s own replay (the dataset readers of velk_odom.datasets,
the configuration the command proposes) once per mode the folder allows (stereo with two cameras, rgbd with
a depth stream, mono on the first camera) and per thread count. Per run: frames tracked of those fed, the
final position error in % of the ground truth's path (after aligning the estimate on its first pose),
ATE rmse (rigid alignment; similarity for mono, whose scale is free), RPE over 1 s, and frames per second
of the engine's own calls (image decoding and conversion left out). Nothing here asserts.

--focal-scale multiplies every camera's focal lengths (the principal points stay) before the replay: a
recording whose images turn more, or less, than its ground truth says for the calibration it ships
shows here as a final error that falls well below the unscaled run's at some scale near 1.

--every N feeds every N-th frame set only (of the other cameras, the frames nearest in time to those): the
same recording from a camera at a fraction of its rate, or from a rig moving N times as far, and turning N
times as much, between frames. Frames tracked count against the frame sets fed.

--backwards plays the recording backwards (every stream and the ground truth in reverse, the gyro's sign
turned): the rig drives backwards through the same scene, points arrive near and recede where they came
far and approached. A figure that holds one way only points at a bias of the direction of travel.
"""

import argparse
import dataclasses
import io
import os
import sys
import tempfile
import time
from contextlib import redirect_stdout

import numpy as np

from velk_odom._geometry import quat_to_matrix
from velk_odom.cli import _vo
from velk_odom.trajectory import associate, evaluate, path_length, read_tum


class _TimedEngine:
    """The engine with its image calls timed."""

    def __init__(self, engine):
        self._engine = engine
        self.seconds = 0.0
        self.frames = 0

    def _timed(self, name, *a):
        t0 = time.perf_counter()
        out = getattr(self._engine, name)(*a)
        self.seconds += time.perf_counter() - t0
        return out

    def handle_image(self, *a):
        return self._timed("handle_image", *a)

    def handle_depth_image(self, *a):
        return self._timed("handle_depth_image", *a)

    def __getattr__(self, name):
        return getattr(self._engine, name)


def _replay_class(mode, threads):
    class Replay(_vo.VoReplay):
        def propose(self, tf):
            config, notes = super().propose(tf)
            roles = config["topics"]
            images = sorted(t for t, r in roles.items() if r == "image")
            keep = set(images[:1]) if mode in ("mono", "rgbd") else set(images)
            if mode != "rgbd":
                roles = {t: r for t, r in roles.items() if r not in ("depth", "depth_camera_info")}
                config.pop("cameras", None)
            roles = {t: r for t, r in roles.items() if r != "image" or t in keep}
            infos = {t[: -len("image_raw")] + "camera_info" for t in keep}
            roles = {t: r for t, r in roles.items() if r != "camera_info" or t in infos}
            if mode == "mono":
                roles = {t: r for t, r in roles.items() if r != "imu"}
            config.update(camera_mode=mode, tracker_threads=threads, topics=roles)
            return config, notes

        def start(self, tf):
            self.timed = _TimedEngine(super().start(tf))
            return self.timed

    return Replay


def _change_recordings(change):
    """Makes the replay's dataset reader (and modes_of) hand each dataset through `change(d)`, which edits it
    in place."""
    from velk_odom.cli import _datasetrec

    read = _datasetrec.open_dataset

    def changed(path):
        d = read(path)
        change(d)
        return d

    _datasetrec.open_dataset = changed


def scale_focal_lengths(scale):
    """Cameras whose fx and fy are multiplied by `scale`."""

    def scaled(d):
        for k, c in enumerate(d.cameras):
            fx, fy, cx, cy = c.intrinsics
            d.cameras[k] = dataclasses.replace(c, intrinsics=(fx * scale, fy * scale, cx, cy))

    _change_recordings(scaled)


def thin_frames(every):
    """Every `every`-th frame of the first colour camera, and of the other cameras the frames nearest in time
    to those (a camera at a fraction of its rate, or a rig moving that many times faster between frames)."""

    def thinned(d):
        lead = next(c for c in d.cameras if not c.is_depth)
        kept = lead.stamps[::every]
        for k, c in enumerate(d.cameras):
            if c is lead or len(c.stamps) == 0:
                idx = np.arange(0, len(c.stamps), every)
            else:
                idx = np.unique(np.abs(c.stamps[None, :] - kept[:, None]).argmin(axis=1))
            d.cameras[k] = dataclasses.replace(c, stamps=c.stamps[idx], files=[c.files[i] for i in idx])

    _change_recordings(thinned)


def play_backwards():
    """The recording backwards in time: each stream's samples in reverse order at the mirrored stamps
    (first + last - stamp), the ground truth's poses with them, and the gyro's rates negated (the
    accelerometer's specific force is the same either way)."""

    def backwards(d):
        streams = [c.stamps for c in d.cameras if len(c.stamps)]
        pivot = min(int(s[0]) for s in streams) + max(int(s[-1]) for s in streams)
        for k, c in enumerate(d.cameras):
            d.cameras[k] = dataclasses.replace(c, stamps=pivot - c.stamps[::-1], files=c.files[::-1])
        if d.imu is not None:
            d.imu = dataclasses.replace(d.imu, stamps=pivot - d.imu.stamps[::-1], gyro=-d.imu.gyro[::-1],
                                        accel=d.imu.accel[::-1])
        if d.ground_truth is not None:
            stamps, poses = d.ground_truth
            d.ground_truth = (pivot - stamps[::-1], poses[::-1].copy())

    _change_recordings(backwards)


def modes_of(folder):
    from velk_odom.cli import _datasetrec

    d = _datasetrec.open_dataset(folder)  # as the replay reads it
    colour = [c for c in d.cameras if not c.is_depth]
    modes = []
    if len(colour) >= 2:
        modes.append("stereo")
    if any(c.is_depth for c in d.cameras):
        modes.append("rgbd")
    modes.append("mono")
    return modes, d.ground_truth, sum(len(c.stamps) for c in colour[:1])


def _matrices(poses):
    m = np.zeros((len(poses), 4, 4))
    m[:, :3, :3] = quat_to_matrix(poses[:, 3:7])
    m[:, :3, 3] = poses[:, :3]
    m[:, 3, 3] = 1.0
    return m


def scores(est, ref, mono):
    """(final error % of path, ATE rmse m, RPE/1 s rmse m); nan where not computable."""
    nan = float("nan")
    stamps, poses = est
    if len(stamps) < 2:
        return nan, nan, nan
    i_ref, i_est = associate(ref[0], stamps, 20_000_000)
    if i_est.size < 2:
        return nan, nan, nan
    # ATE and RPE as the command line scores them: a similarity for mono, whose scale is free (the RPE
    # then of the scaled estimate). Final error: the estimate placed on the reference at its first
    # matched pose, scaled for mono by that similarity's scale, compared at its last.
    scored = evaluate(est, ref, align="sim" if mono else "rigid")
    e, r = _matrices(poses[i_est]), _matrices(ref[1][i_ref])
    rel = np.linalg.inv(e[0]) @ e[-1]
    end = r[0][:3, :3] @ (scored.scale * rel[:3, 3]) + r[0][:3, 3]
    length = path_length(ref[1][i_ref])
    final = 100.0 * np.linalg.norm(end - r[-1][:3, 3]) / length if length > 0 else nan
    return final, scored.ate.rmse, scored.rpe_translation.rmse


def run_one(folder, mode, threads, workdir):
    out = os.path.join(workdir, f"{os.path.basename(os.path.normpath(folder))}_{mode}_{threads}.tum")
    parser = argparse.ArgumentParser()
    _vo.add_arguments(parser)
    args = parser.parse_args([folder, "-o", out, "--no-progress"])
    replay = _replay_class(mode, threads)(args)
    with redirect_stdout(io.StringIO()):
        status = replay.run()
    est = read_tum(out) if os.path.getsize(out) else (np.zeros(0, np.int64), np.zeros((0, 7)))
    timed = replay.timed
    frames = replay.fed.get("image", 0) // (2 if mode == "stereo" else 1)
    return status, est, frames, (frames / timed.seconds if timed.seconds > 0 else float("nan"))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("folders", nargs="+", metavar="DIR")
    p.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    p.add_argument("--modes", nargs="+", choices=["stereo", "rgbd", "mono"], help="only these modes")
    p.add_argument("--focal-scale", type=float, default=1.0, metavar="S", help="multiply every focal length by S")
    p.add_argument("--every", type=int, default=1, metavar="N", help="feed every N-th frame set only")
    p.add_argument("--backwards", action="store_true", help="play each recording backwards")
    a = p.parse_args(argv)
    if a.focal_scale != 1.0:
        scale_focal_lengths(a.focal_scale)
    if a.every > 1:
        thin_frames(a.every)
    if a.backwards:
        play_backwards()
    print("folder\tmode\ttracked\tfinal %\tATE m\tRPE/1s m\t" + "\t".join(f"fps {t}T" for t in a.threads))
    with tempfile.TemporaryDirectory() as workdir:
        for folder in a.folders:
            modes, ref, _ = modes_of(folder)
            for mode in modes:
                if a.modes and mode not in a.modes:
                    continue
                rates, first = [], None
                for threads in a.threads:
                    status, est, frames, fps = run_one(folder, mode, threads, workdir)
                    rates.append(fps)
                    if first is None:
                        first = (status, est, frames)
                status, est, frames = first
                final = ate = rpe = float("nan")
                if ref is not None:
                    final, ate, rpe = scores(est, ref, mode == "mono")
                name = os.path.basename(os.path.normpath(folder))
                print(f"{name}\t{mode}\t{len(est[0])}/{frames}\t{final:.2f}\t{ate:.3f}\t{rpe:.3f}\t"
                      + "\t".join(f"{r:.1f}" for r in rates) + ("" if status == 0 else f"\texit {status}"))
                sys.stdout.flush()


if __name__ == "__main__":
    main()
