"""Why a fusion replay published nothing: the stillness the engine waited for, as the replay saw it."""

from __future__ import annotations

import math
from collections import deque
from typing import Any, Deque, Dict, List, Mapping, Optional, Tuple

from velk_odom._native import OdometryFusion

# The engine's defaults for the keys read here.
DEFAULT_INIT_SAMPLES = OdometryFusion.CONFIG_DEFAULTS["imus"][0]["init_samples"]
DEFAULT_INIT_GYRO_LIMIT = OdometryFusion.CONFIG_DEFAULTS["imus"][0]["init_gyro_limit"]
DEFAULT_INIT_MOVING_AFTER_SECONDS = OdometryFusion.CONFIG_DEFAULTS["init_moving_after_seconds"]
# rad/s: the largest steady gyro reading taken for a bias at rest rather than a turn.
MAX_STEADY_GYRO = 0.3


class InitWatch:
    """Per IMU frame: samples fed, the longest run of samples the engine's gyro test counts as still,
    and the largest rate seen. The gyro norm does not depend on the mount, so the raw sample serves."""

    def __init__(self, config: Mapping[str, Any]) -> None:
        self._limits: Dict[str, Tuple[float, int]] = {}
        for e in config.get("imus") or []:
            if isinstance(e, dict) and isinstance(e.get("frame_id"), str):
                limit = e.get("init_gyro_limit", DEFAULT_INIT_GYRO_LIMIT)
                samples = e.get("init_samples", DEFAULT_INIT_SAMPLES)
                self._limits[e["frame_id"]] = (float(limit), max(1, int(samples)) if isinstance(samples, int) else DEFAULT_INIT_SAMPLES)
        self._stats: Dict[str, List[float]] = {f: [0, 0, 0, 0.0, 0.0, 0.0] for f in self._limits}  # n, run, best, rate, t0, t_best
        # Per frame, the smallest init_gyro_limit under which init_samples samples in a row stayed (the
        # least, over every such window, of its largest rate), from the rates of the latest window kept in
        # decreasing order.
        self._window: Dict[str, Deque[Tuple[int, float]]] = {f: deque() for f in self._limits}
        self._needed_limit: Dict[str, float] = {f: math.inf for f in self._limits}

    def feed(self, frame: Optional[str], t_ns: int, gyro: Any) -> None:
        """One sample: its IMU frame, stamp and angular velocity (x, y, z fields)."""
        s = self._stats.get(frame or "")
        if s is None:
            return
        rate = math.sqrt(float(gyro.x) ** 2 + float(gyro.y) ** 2 + float(gyro.z) ** 2)
        s[0] += 1
        if math.isfinite(rate):
            window, needed = self._window[frame], self._limits[frame][1]
            while window and window[-1][1] <= rate:
                window.pop()
            window.append((int(s[0]), rate))
            while window[0][0] <= s[0] - needed:
                window.popleft()
            if s[0] >= needed:
                self._needed_limit[frame] = min(self._needed_limit[frame], window[0][1])
        if rate <= self._limits[frame][0] or math.isnan(rate):
            if s[1] == 0:
                s[4] = t_ns * 1e-9
            s[1] += 1
            if s[1] > s[2]:
                s[2], s[5] = s[1], t_ns * 1e-9 - s[4]
        else:
            s[1] = 0
            s[3] = max(s[3], rate)

    def reason(self, config: Mapping[str, Any], counters: Optional[Mapping[str, int]], published: int) -> Optional[str]:
        """One line saying why nothing was published, or None when something was."""
        if published > 0:
            return None
        if not self._limits:
            return None  # the blend path: nothing here to explain
        if counters is not None and counters.get("imu_samples", 0) > 0:
            return (
                "the fusion started but published no estimate: every state was unpublishable (diverged, or farther than "
                "max_position_m); check each source's variances and the IMU mount"
            )
        parts = []
        for frame, (limit, needed) in self._limits.items():
            n, _, best, top, _, best_s = self._stats[frame]
            if n == 0:
                parts.append(f"no sample of IMU {frame!r} reached it (map its topic to the `imus` entry in `topics`)")
                continue
            parts.append(
                f"IMU {frame!r} read still for at most {best_s:.2f} s ({int(best)} samples in a row with the gyro at or under init_gyro_limit "
                f"{limit:g} rad/s, init_samples asks for {needed}; rates reached {top:.2f} rad/s)"
            )
        sources = [e for e in config.get("odom_sources") or [] if isinstance(e, dict) and any(
            isinstance(v, (int, float)) and v != 0 for v in list(e.get("twist_variances") or [])[:3])]
        moving = config.get("init_moving_after_seconds", DEFAULT_INIT_MOVING_AFTER_SECONDS)
        steady = {f: v for f, v in self._needed_limit.items() if self._limits[f][0] < v <= MAX_STEADY_GYRO}
        if steady:
            # The gyro held a steady reading above the limit for a whole window: a bias at rest, which the
            # filter learns once it starts.
            fix = "its gyro held a steady reading above the limit for a whole window (a bias, if the robot stood still); " + ", ".join(
                f"set init_gyro_limit of IMU {f!r} to {math.ceil(v * 1.2 * 1000.0) / 1000.0:g}" for f, v in steady.items()
            )
        elif not sources:
            fix = "record the robot standing still for a few seconds, or give an odometry source twist_variances for its speed so that it can start in motion"
        elif isinstance(moving, (int, float)) and moving > 0:
            fix = "no odometry message with a usable linear twist reached it to start in motion either; map the odometry topic in `topics`"
        else:
            fix = f"set init_moving_after_seconds to {DEFAULT_INIT_MOVING_AFTER_SECONDS:g} (it is {moving}) to start from the odometry's speed in motion"
        return "the fusion never initialised: " + "; ".join(parts) + "; " + fix
