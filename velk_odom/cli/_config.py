"""Configuration files of the replay commands: loading (YAML or JSON), key checking with suggestions
for typos, and the `topics` section that maps recording topics onto engine configuration entries.

A fusion configuration file holds the keys of the `OdometryFusion` configuration dict plus::

    topics:
      /imu/data:
        imu: imu_link                      # frame_id of the `imus` entry this topic feeds
        base_from_imu: [[x, y, z], [qx, qy, qz, qw]]   # optional IMU mounting on the base
        orientation: [imu_link/orientation, base_link] # optional: the `odom_sources` entry
                                                       # (parent, child) fed with the orientation
      /wheel/odom:
        odom_source: [odom, base_link]     # parent_frame_id, child_frame_id of its entry

A topic's messages are given the frame names of the entry it feeds, whatever their headers say.
"""

from __future__ import annotations

import difflib
import json
from pathlib import Path
from typing import Any, Dict, Mapping, Sequence, Tuple

from velk_odom.cli._errors import UserError

FUSION_KEYS: Dict[str, Any] = {
    "odom_frame_id": None,
    "output_frame_id": None,
    "publish_rate": None,
    "replay_buffer_seconds": None,
    "outlier_rejection_allowed_variance": None,
    "max_position_m": None,
    "imus": [
        {
            "frame_id": None,
            "gyro_noise_density": None,
            "gyro_random_walk": None,
            "accel_noise_density": None,
            "accel_random_walk": None,
            "init_samples": None,
            "init_gyro_limit": None,
            "init_accel_limit": None,
        }
    ],
    "initial_gravity_estimate": None,
    "initial_stds": {"position": None, "velocity": None, "rotation": None, "bias": None},
    "odom_sources": [
        {
            "parent_frame_id": None,
            "child_frame_id": None,
            "pose_variances": None,
            "twist_variances": None,
            "differential": None,
            "odom_from_parent": None,
        }
    ],
    "per_dimension_error_variance": None,
    "gate_recovery_seconds": None,
    "init_moving_after_seconds": None,
    "topics": {"*": {"imu": None, "base_from_imu": None, "orientation": None, "odom_source": None}},
}

VO_KEYS: Dict[str, Any] = {
    "camera_mode": None,
    "cameras": [
        {
            "frame_id": None,
            "rectified": None,
            "depth_units_per_meter": None,
            "depth_cloud_min_range": None,
            "depth_cloud_max_range": None,
            "depth_cloud_decimation": None,
            "provides_depth": None,
        }
    ],
    "use_gpu": None,
    "odom_frame_id": None,
    "output_frame_id": None,
    "rig_frame_id": None,
    "map_frame_id": None,
    "covariance_gate_translation_std": None,
    "speed_gate_max_linear": None,
    "speed_gate_max_angular": None,
    "enable_imu": None,
    "max_skew_ms": None,
    "imu_noise": {
        "frame_id": None,
        "gyro_noise_density": None,
        "gyro_random_walk": None,
        "accel_noise_density": None,
        "accel_random_walk": None,
        "frequency": None,
    },
    "topics": {"*": None},
}

VO_TOPIC_ROLES = ("image", "camera_info", "depth", "depth_camera_info", "imu", "tf")


def load_config_file(path: "str | Path") -> Dict[str, Any]:
    """Read a YAML or JSON mapping. Raises UserError for a missing file, a parse error or a file whose
    top level is not a mapping."""
    p = Path(path)
    if not p.is_file():
        raise UserError(f"configuration file {str(path)!r} not found; check the --config path")
    text = p.read_text(encoding="utf-8")
    try:
        if p.suffix.lower() == ".json":
            data = json.loads(text)
        else:
            import yaml

            data = yaml.safe_load(text)
    except json.JSONDecodeError as err:
        raise UserError(f"{path}: not valid JSON ({err.msg} at line {err.lineno}); fix the file") from None
    except Exception as err:  # yaml.YAMLError and its subclasses
        mark = getattr(err, "problem_mark", None)
        where = f" at line {mark.line + 1}" if mark is not None else ""
        problem = getattr(err, "problem", None) or str(err).splitlines()[0]
        raise UserError(f"{path}: not valid YAML ({problem}{where}); fix the file") from None
    if data is None:
        data = {}
    if not isinstance(data, dict):
        raise UserError(f"{path}: the top level must be a mapping of configuration keys, found a {type(data).__name__}")
    return data


def check_keys(config: Mapping[str, Any], schema: Mapping[str, Any], source: str) -> None:
    """Refuse keys that name no field, with the nearest known key as a suggestion. The engines
    themselves ignore unknown keys, which would make a typo silently take the default."""
    _check(config, schema, "", source)


def _check(value: Any, schema: Any, where: str, source: str) -> None:
    if isinstance(schema, dict) and isinstance(value, dict):
        if set(schema) == {"*"}:
            for k, v in value.items():
                _check(v, schema["*"], f"{where}.{k}" if where else str(k), source)
            return
        for k, v in value.items():
            if not isinstance(k, str):
                raise UserError(f"{source}: key {k!r}{_at(where)} is not a string")
            if k not in schema:
                near = difflib.get_close_matches(k, list(schema), n=1, cutoff=0.6)
                hint = f"; did you mean {near[0]!r}?" if near else f"; known keys: {', '.join(sorted(schema))}"
                raise UserError(f"{source}: unknown key {k!r}{_at(where)}{hint}")
            _check(v, schema[k], f"{where}.{k}" if where else k, source)
    elif isinstance(schema, list) and isinstance(value, (list, tuple)):
        for i, item in enumerate(value):
            _check(item, schema[0], f"{where}[{i}]", source)


def _at(where: str) -> str:
    return f" in {where}" if where else ""


def parse_pair(value: Any, what: str) -> Tuple[Tuple[float, float, float], Tuple[float, float, float, float]]:
    """[[x, y, z], [qx, qy, qz, qw]] from a configuration file, as a transform pair."""
    try:
        t, q = value
        t = tuple(float(v) for v in t)
        q = tuple(float(v) for v in q)
    except (TypeError, ValueError):
        raise UserError(f"{what} must be [[x, y, z], [qx, qy, qz, qw]], got {value!r}") from None
    if len(t) != 3 or len(q) != 4:
        raise UserError(f"{what} must be [[x, y, z], [qx, qy, qz, qw]], got {value!r}")
    if sum(c * c for c in q) == 0.0:
        raise UserError(f"{what}: the quaternion (qx, qy, qz, qw) is zero")
    return t, q  # type: ignore[return-value]


def parse_frame_pair(value: Any, what: str) -> Tuple[str, str]:
    if isinstance(value, (list, tuple)) and len(value) == 2 and all(isinstance(v, str) for v in value):
        return value[0], value[1]
    raise UserError(f"{what} must be [parent_frame_id, child_frame_id], got {value!r}")


def dump_yaml(config: Mapping[str, Any], header: Sequence[str] = ()) -> str:
    """The configuration as YAML with leaf lists in flow style, after ``header`` comment lines."""
    import yaml

    class _Dumper(yaml.SafeDumper):
        pass

    def _list(dumper: Any, data: Any) -> Any:
        flow = all(not isinstance(v, (dict, list, tuple)) for v in data) or all(
            isinstance(v, (list, tuple)) and all(not isinstance(x, (dict, list, tuple)) for x in v) for v in data
        )
        return dumper.represent_sequence("tag:yaml.org,2002:seq", data, flow_style=flow and bool(data))

    _Dumper.add_representer(list, _list)
    _Dumper.add_representer(tuple, _list)
    body = yaml.dump(dict(config), Dumper=_Dumper, sort_keys=False, allow_unicode=True, width=100)
    lines = [f"# {h}" if h else "#" for h in header]
    return "\n".join(lines + [body.rstrip("\n")]) + "\n"


__all__ = [
    "FUSION_KEYS",
    "VO_KEYS",
    "VO_TOPIC_ROLES",
    "check_keys",
    "dump_yaml",
    "load_config_file",
    "parse_frame_pair",
    "parse_pair",
]
