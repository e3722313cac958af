"""`velk-odom demo`: a simulated drive fused end to end, with no files needed."""

from __future__ import annotations

import argparse
import math
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from velk_odom.cli._errors import UserError
from velk_odom.cli._output import log_filter

# A simulated hour takes about a minute and a few hundred MB; longer drives (or inf) are refused.
MAX_DURATION_S = 3600.0
TUM_NAME = "velk_odom_demo.tum"
PNG_NAME = "velk_odom_demo.png"


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--out-dir", default=".", metavar="DIR", help=f"where {TUM_NAME} and {PNG_NAME} go (default: the current folder)")
    p.add_argument("--duration", type=float, default=60.0, metavar="SECONDS", help="length of the simulated drive (default 60)")
    p.add_argument("--seed", type=int, default=0, help="simulator seed (default 0)")
    p.add_argument(
        "--write-bag",
        metavar="DIR",
        help="also write the simulated recording as a ROS 2 bag in DIR (and its ground truth as DIR_ground_truth.tum), "
        "to try `velk-odom fuse` on (with --vo: the rendered camera drive, to try `velk-odom vo` on)",
    )
    g = p.add_argument_group("simulated conditions (each off by default)")
    g.add_argument("--start-speed", type=float, default=0.0, metavar="M_S", help="drive straight at this speed from the first sample, never standing still")
    g.add_argument("--vibration", type=float, default=0.0, metavar="M_S2", help="accelerometer vibration per m/s of speed (white, m/s²)")
    g.add_argument("--wheel-yaw-scale", type=float, default=1.0, metavar="FACTOR", help="wheel yaw rate off by this factor, as on a skid-steer robot")
    g.add_argument("--upside-down", action="store_true", help="IMU mounted upside down and turned 90 deg in yaw, no /tf_static in the bag")
    g.add_argument("--gyro-bias", type=float, metavar="RAD_S", help="gyroscope bias on each axis (default: small MEMS biases)")
    g.add_argument("--ahrs-noise-deg", type=float, metavar="DEG", help="IMU messages carry an AHRS orientation (absolute heading) with this noise")
    g.add_argument("--imu-spike-g", type=float, metavar="G", help="one IMU sample reads this many g more")
    g.add_argument("--no-slip", action="store_true", help="no 2 s burst of wheel slip")
    g.add_argument(
        "--all-conditions",
        action="store_true",
        help="all of them: start at 1.5 m/s with vibration 0.3, wheel yaw rate x7, upside-down IMU, gyro bias 0.01 rad/s, "
        "2 deg AHRS, one 16 g sample, wheel slip",
    )
    p.add_argument("--vo", action="store_true", help="instead: a rendered stereo and depth drive through CuvslamOdometry")
    p.add_argument("--log", default="warn", type=log_filter, metavar="LEVEL", help="engine log filter on stderr (default warn)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")


ALL_CONDITIONS = dict(
    start_speed=1.5,
    vibration=0.3,
    wheel_yaw_scale=7.0,
    gyro_bias=0.01,
    ahrs_noise_deg=2.0,
    imu_spike_g=16.0,
)


def conditions(args: argparse.Namespace) -> Dict[str, Any]:
    """The simulator's keyword arguments for the condition options."""
    from velk_odom.sim import MAX_AHRS_NOISE_DEG, MAX_START_SPEED, UPSIDE_DOWN_BASE_FROM_IMU

    chosen = {k: getattr(args, k) for k in ALL_CONDITIONS}
    if args.all_conditions:
        chosen.update(ALL_CONDITIONS)
    for name, value in chosen.items():
        if value is not None and not (math.isfinite(value) and value >= 0.0):
            raise UserError(f"--{name.replace('_', '-')} must be a number of at least 0, got {value}")
    if chosen["start_speed"] >= MAX_START_SPEED:
        raise UserError(f"--start-speed must be below {MAX_START_SPEED:g} m/s (the simulated drive's top speed), got {chosen['start_speed']}")
    if (chosen["ahrs_noise_deg"] or 0.0) > MAX_AHRS_NOISE_DEG:
        raise UserError(f"--ahrs-noise-deg must be at most {MAX_AHRS_NOISE_DEG:g}, got {chosen['ahrs_noise_deg']}")
    kwargs: Dict[str, Any] = {k: v for k, v in chosen.items() if v is not None}
    if "gyro_bias" in kwargs:
        kwargs["gyro_bias"] = (kwargs["gyro_bias"],) * 3
    if args.upside_down or args.all_conditions:
        kwargs["base_from_imu"] = UPSIDE_DOWN_BASE_FROM_IMU
    kwargs["slip"] = not args.no_slip
    return kwargs


def condition_text(args: argparse.Namespace) -> str:
    """The simulated conditions in words, for the plot's title."""
    chosen = {k: getattr(args, k) for k in ALL_CONDITIONS}
    if args.all_conditions:
        chosen.update(ALL_CONDITIONS)
    words = {
        "start_speed": "start at {:g} m/s", "vibration": "vibration {:g}", "wheel_yaw_scale": "wheel yaw rate x{:g}",
        "gyro_bias": "gyro bias {:g} rad/s", "ahrs_noise_deg": "AHRS {:g} deg", "imu_spike_g": "one {:g} g IMU sample",
    }
    defaults = {"start_speed": 0.0, "vibration": 0.0, "wheel_yaw_scale": 1.0}
    parts = [words[k].format(v) for k, v in chosen.items() if v is not None and v != defaults.get(k)]
    if args.upside_down or args.all_conditions:
        parts.append("upside-down IMU")
    if not args.no_slip:
        parts.append("wheel slip")
    return ", ".join(parts)


def _error(rec: Any, pose: Any) -> float:
    """Distance (m) of a `StampedPose` from the simulated ground truth at its stamp."""
    gt = rec.ground_truth_at(pose.t_ns)
    return math.dist(pose[1:4], gt[0:3])


def run(args: argparse.Namespace) -> int:
    out_dir = _check_arguments(args)
    if getattr(args, "vo", False):
        from velk_odom.cli._vodemo import run as run_vo

        return run_vo(args)
    from velk_odom.cli._output import table
    from velk_odom.sim import simulate

    started = time.perf_counter()
    rec = simulate(args.duration, seed=args.seed, **conditions(args))
    drive = _fuse_drive(args, rec)
    written = _write_outputs(args, rec, drive, out_dir)
    rows = _summary(args, rec, drive)
    rows += [("wrote", ", ".join(written)), ("took", f"{time.perf_counter() - started:.1f} s")]
    print(table(rows))
    return 0


def _check_arguments(args: argparse.Namespace) -> Path:
    """Refuse unusable options before any work is done; returns the output folder, made."""
    if not (args.duration >= 5.0):
        raise UserError(f"--duration must be at least 5 seconds (2 s stand still first), got {args.duration}")
    if not (args.duration <= MAX_DURATION_S):
        raise UserError(f"--duration must be at most {MAX_DURATION_S:g} seconds, got {args.duration}")
    out_dir = Path(args.out_dir)
    if out_dir.exists() and not out_dir.is_dir():
        raise UserError(f"--out-dir {args.out_dir!r} is a file; give a folder")
    out_dir.mkdir(parents=True, exist_ok=True)
    if args.write_bag and Path(args.write_bag).exists():
        raise UserError(f"--write-bag {args.write_bag!r} exists already; give a new folder name")
    return out_dir


@dataclass
class _Drive:
    """The simulated drive fused: the fused and the IMU-only trajectories, the wheels' own, and what the
    engine counted and warned about."""

    fused: Any
    inertial: Any
    wheel: Any
    counters: Dict[str, int]
    warnings: Any


def _fuse_drive(args: argparse.Namespace, rec: Any) -> _Drive:
    """Every delivery of ``rec`` in arrival order through the fusion and through an IMU-only fusion."""
    from velk_odom import _native
    from velk_odom.cli._output import EngineLog, Progress, engine_counters
    from velk_odom.trajectory import StampedPose, Trajectory

    config = rec.fusion_config()
    fusion = _native.OdometryFusion(config)
    imu_only = _native.OdometryFusion(dict(config, odom_sources=[]))
    with EngineLog(args.log, summarise_warnings=True) as log:  # the drive's late and slipping wheel are expected
        fused, inertial = Trajectory(), Trajectory()
        progress = Progress(len(rec.deliveries), "demo", enabled=not args.no_progress, console=log.console)
        base_from_imu = rec.base_from_imu
        try:
            for kind, value in rec.values("arrival"):
                if kind == "imu":
                    fusion.handle_imu(value, base_from_imu)
                    imu_only.handle_imu(value, base_from_imu)
                    est = imu_only.maybe_publish()
                    if est is not None:
                        inertial.add(StampedPose.of(est))
                else:
                    fusion.handle_source(value)
                est = fusion.maybe_publish()
                if est is not None:
                    fused.add(StampedPose.of(est))
                progress.update()
        finally:
            progress.close()
        counters = engine_counters(fusion)
    wheel = Trajectory(StampedPose.of(w) for w in rec.wheel_estimates)
    return _Drive(fused, inertial, wheel, counters, log.warnings)


def _write_outputs(args: argparse.Namespace, rec: Any, drive: _Drive, out_dir: Path) -> List[str]:
    """The recording as a bag (with --write-bag), the fused trajectory and the plot; returns what was written."""
    import numpy as np

    from velk_odom.cli._output import plot_trajectories
    from velk_odom.trajectory import Trajectory, write_tum

    written: List[str] = []
    if args.write_bag:
        from velk_odom.cli._simbag import write_ground_truth_tum, write_sim_bag

        bag = write_sim_bag(rec, args.write_bag, "ros2-sqlite3", with_tf_static=not (args.upside_down or args.all_conditions))
        gt = write_ground_truth_tum(rec, f"{str(bag).rstrip('/')}_ground_truth.tum")
        written += [str(bag), str(gt)]
    tum_path = out_dir / TUM_NAME
    png_path = out_dir / PNG_NAME
    write_tum(tum_path, drive.fused)

    def curve(label: str, poses: Trajectory) -> Tuple[str, Any, Any]:
        return label, np.array([p.t_ns for p in poses], dtype=np.int64), np.array([_error(rec, p) for p in poses])

    plot_trajectories(
        str(png_path),
        f"velk-odom demo: {args.duration:g} s simulated drive, seed {args.seed}\nconditions: {condition_text(args) or 'none'}",
        [("fused", *drive.fused.arrays()), ("wheel only", *drive.wheel.arrays())],
        ("ground truth", *Trajectory(rec.ground_truth).arrays()),
        [curve("fused", drive.fused), curve("wheel only", drive.wheel)],
        [("wheel slip", *rec.slip_interval_ns)] if rec.slip_interval_ns else [],
    )
    return [str(tum_path), str(png_path)] + written


def _summary(args: argparse.Namespace, rec: Any, drive: _Drive) -> List[Tuple[str, str]]:
    """The drive, the engine's counters and warnings, and each trajectory's final position error."""
    from velk_odom.cli._output import format_counters, format_warnings

    distance = rec.distance_travelled()
    late = sum(1 for d in rec.deliveries if d.kind == "wheel" and d.arrival_ns - d.message.timestamp_ns >= 20_000_000)

    def final(poses: Any) -> str:
        if not poses:
            return "no estimate"
        err = _error(rec, poses[-1])
        return f"{err:7.2f} m  ({100.0 * err / distance:5.1f} % of distance)" if distance > 0 else f"{err:.2f} m"

    slip: Optional[str] = None
    if rec.slip_interval_ns is not None:
        slip = f"{rec.slip_interval_ns[0] * 1e-9:.1f}-{rec.slip_interval_ns[1] * 1e-9:.1f} s"
    return [
        ("duration", f"{args.duration:g} s simulated, {distance:.1f} m driven (seed {args.seed})"),
        (
            "messages",
            f"{len(rec.deliveries)}: {len(rec.imu_samples)} IMU at {rec.imu_rate_hz:g} Hz, {len(rec.wheel_estimates)} wheel at "
            f"{rec.wheel_rate_hz:g} Hz, {late} of them 20-400 ms late" + (f", wheel slip {slip}" if slip else ""),
        ),
        ("engine counters", format_counters(drive.counters)),
        ("expected warnings", format_warnings(drive.warnings)),
        ("final position error", ""),
        ("  fused", final(drive.fused)),
        ("  wheel only", final(drive.wheel)),
        ("  IMU-only dead reckoning", final(drive.inertial)),
    ]
