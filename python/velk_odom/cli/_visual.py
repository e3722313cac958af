"""CuvslamOdometry as an odometry source of OdometryFusion: the visual-inertial-wheel set-up that
`velk-odom fuse` runs on a recording holding camera topics and `velk-odom node` runs live.

A fusion configuration names it in a `visual` section: the keys of a `vo` configuration (its own
`topics` mapping camera, camera-info, depth and IMU topics to roles) plus ``odom_source``, the
`odom_sources` entry (parent_frame_id, child_frame_id) that the visual estimates feed::

    visual:
      camera_mode: stereo
      topics: {/left/image_raw: image, /left/camera_info: camera_info, ...}
      odom_source: [vo_odom, base_link]

An entry that sets no `pose_variances` or `twist_variances` takes them from each visual estimate's
covariance (variances -1), since the visual engine widens it on poor views.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, Optional, Tuple

from velk_odom.cli._config import parse_frame_pair
from velk_odom.cli._errors import UserError
from velk_odom.ros import camera_model_from_msg, image_frame_from_msg, imu_sample_from_msg

SECTION = "visual"
FROM_COVARIANCE = [-1.0] * 6

# The conversion of each role's messages; `tf` messages go to the transform buffer instead.
CONVERSIONS: Dict[str, Callable[[Any], Any]] = {
    "image": image_frame_from_msg,
    "depth": image_frame_from_msg,
    "camera_info": camera_model_from_msg,
    "depth_camera_info": camera_model_from_msg,
    "imu": imu_sample_from_msg,
}


def hand(engine: Any, role: str, value: Any) -> Tuple[Optional[Any], Optional[Any]]:
    """Give one converted message of ``role`` to a CuvslamOdometry; returns (depth cloud, estimate),
    each None when the call made none."""
    if role == "camera_info":
        engine.handle_camera_info(value)
    elif role == "depth_camera_info":
        engine.handle_depth_camera_info(value)
    elif role == "imu":
        engine.handle_imu(value)
    elif role == "image":
        return None, engine.handle_image(value)
    elif role == "depth":
        return engine.handle_depth_image(value)
    else:
        raise ValueError(f"unknown role {role!r}")
    return None, None


def engine_config(section: Dict[str, Any]) -> Dict[str, Any]:
    """The CuvslamOdometry configuration of a `vo` configuration or a `visual` section."""
    return {k: v for k, v in section.items() if k not in ("topics", "imu_noise", "odom_source", "node")}


def source_entry(config: Dict[str, Any], source: str) -> Optional[Tuple[str, str]]:
    """The (parent, child) of the `odom_sources` entry a fusion configuration's `visual` section feeds
    (None without the section). Raises UserError when the section or its entry is not usable; an
    entry without variances is set to take them from the estimates' covariance."""
    section = config.get(SECTION)
    if section is None:
        return None
    if not isinstance(section, dict):
        raise UserError(f"{source}: `{SECTION}` must be a mapping of visual odometry keys")
    if "odom_source" not in section:
        raise UserError(f"{source}: {SECTION}.odom_source is missing: name the `odom_sources` entry [parent_frame_id, child_frame_id] the visual estimates feed")
    pair = parse_frame_pair(section["odom_source"], f"{source}: {SECTION}.odom_source")
    for entry in config.get("odom_sources") or []:
        if isinstance(entry, dict) and (entry.get("parent_frame_id"), entry.get("child_frame_id")) == pair:
            entry.setdefault("pose_variances", list(FROM_COVARIANCE))
            entry.setdefault("twist_variances", list(FROM_COVARIANCE))
            return pair
    raise UserError(f"{source}: {SECTION}.odom_source names {list(pair)}, but no `odom_sources` entry has that parent_frame_id and child_frame_id; add one")


def as_source(estimate: Any, pair: Tuple[str, str]) -> Any:
    """A visual estimate as the measurement of the `odom_sources` entry ``pair``: the same pose, twist
    and covariances under the entry's frame names."""
    from velk_odom._native import OdometryEstimate

    return OdometryEstimate(
        estimate.timestamp_ns,
        pair[0],
        pair[1],
        estimate.translation,
        estimate.rotation_xyzw,
        pose_covariance=estimate.pose_covariance,
        twist_linear=estimate.twist_linear,
        twist_angular=estimate.twist_angular,
        twist_covariance=estimate.twist_covariance,
    )


def imu_noise_model(imu_noise: Dict[str, Any], default_frame: str) -> Any:
    """The ImuNoiseModel of an `imu_noise` section (frame ``default_frame`` unless it names one)."""
    from velk_odom._native import ImuNoiseModel

    return ImuNoiseModel(
        imu_noise.get("frame_id") or default_frame,
        float(imu_noise.get("gyro_noise_density", 0.0)),
        float(imu_noise.get("gyro_random_walk", 0.0)),
        float(imu_noise.get("accel_noise_density", 0.0)),
        float(imu_noise.get("accel_random_walk", 0.0)),
        float(imu_noise.get("frequency", 0.0)),
    )


class VisualPart:
    """The `visual` section of a fusion replay: its topics checked against the recording, its engine,
    and each message turned into what the fusion is fed (the visual estimates as the entry's
    measurements)."""

    def __init__(self, section: Dict[str, Any], pair: Tuple[str, str], roles: Dict[str, str]) -> None:
        self.section, self.pair, self.roles = section, pair, roles
        self.fed: Dict[str, int] = {}
        self.estimates = 0

    @classmethod
    def plan(cls, config: Dict[str, Any], bag: Any, source: str) -> "Optional[VisualPart]":
        from velk_odom.cli._vo import check_topics

        pair = source_entry(config, source)
        if pair is None:
            return None
        section = config[SECTION]
        return cls(section, pair, check_topics(section, bag, f"{source}: {SECTION}"))

    def start(self, bag: Any, tf: Any, new_engine: Callable[..., Any]) -> None:
        """The engine, with the recording's static transforms known from the start and the `tf` role
        topics added as they come."""
        from velk_odom import _native
        from velk_odom.cli._recording import static_topics, static_transforms

        static = sorted(t for t, r in self.roles.items() if r == "tf" and t.endswith("tf_static"))
        self.tf = tf if static == static_topics(bag) else static_transforms(bag, static)
        self.engine = new_engine(_native.CuvslamOdometry, engine_config(self.section), tf=self.tf)
        imu_noise = self.section.get("imu_noise")
        if isinstance(imu_noise, dict):
            imu_topics = [t for t, r in self.roles.items() if r == "imu"]
            first = bag.first(imu_topics[0]) if imu_topics else None
            self.engine.handle_imu_info(imu_noise_model(imu_noise, first.header.frame_id if first is not None else "imu"))

    def feed(self, m: Any) -> Any:
        """Hand one message to the engine; yields the fusion measurement of the estimate it made."""
        from velk_odom.cli._replay import warn_refused

        role = self.roles[m.topic]
        if role == "tf":
            self.tf.add_message(m.msg, static=m.topic.endswith("tf_static"))
            return
        try:
            value = CONVERSIONS[role](m.msg)
        except (TypeError, ValueError, AttributeError) as err:
            key = f"{role} refused"
            self.fed[key] = self.fed.get(key, 0) + 1
            if self.fed[key] == 1:
                warn_refused(m.topic, err)
            return
        _, est = hand(self.engine, role, value)
        self.fed[role] = self.fed.get(role, 0) + 1
        if est is not None:
            self.estimates += 1
            yield as_source(est, self.pair)

    def summary(self) -> str:
        fed = ", ".join(f"{n} {r}" for r, n in sorted(self.fed.items())) or "nothing"
        return f"{fed}; {self.estimates} estimates fed to {list(self.pair)}"
