"""Configuration files of the replay commands: loading (YAML or JSON), key checking with suggestions
for typos, and the `topics` section that maps recording topics onto engine configuration entries.

A fusion configuration file holds the keys of the `OdometryFusion` configuration dict plus::

    topics:
      /imu/data:
        imu: imu_link                      # frame_id of the `imus` entry this topic feeds
        base_from_imu: [[x, y, z], [qx, qy, qz, qw]]   # optional IMU mounting on the base
        max_accel: 78.5                    # optional: samples reading more (m/s²) are dropped and counted
        orientation: [imu_link/orientation, base_link] # optional: the `odom_sources` entry
                                                       # (parent, child) fed with the orientation
      /wheel/odom:
        odom_source: [odom, base_link]     # parent_frame_id, child_frame_id of its entry
        yaw_rate_scale: 0.14               # optional: the twist's yaw rate (and its variance) is multiplied
                                           # by this (a skid-steer drive's kinematic yaw rate is a multiple
                                           # of the turn it makes); its pose is left as it is

A topic's messages are given the frame names of the entry it feeds, whatever their headers say.
"""

from __future__ import annotations

import difflib
import json
import math
import re
import reprlib
from pathlib import Path
from typing import Any, Dict, Mapping, Sequence, Tuple

from velk_odom._native import CuvslamOdometry, OdometryFusion
from velk_odom.cli._errors import UserError

# The keys each engine reads come from its own conversion tables (None: a value; a dict: a nested
# record; a one-element list: a list of records); the command line adds the sections it reads itself.
# `velk-odom node`: QoS of its subscriptions and publications, transforms known without /tf_static,
# and how long an IMU without a mount waits for its transform (data time, seconds). The replays
# read the same files and leave this section alone.
NODE_KEYS: Dict[str, Any] = {
    "sensor_qos": {"reliability": None, "depth": None},
    "output_qos": {"reliability": None, "depth": None},
    "static_transforms": None,
    "transform_timeout": None,
}

VO_KEYS: Dict[str, Any] = {
    **CuvslamOdometry.CONFIG_KEYS,
    "imu_noise": {
        "frame_id": None,
        "gyro_noise_density": None,
        "gyro_random_walk": None,
        "accel_noise_density": None,
        "accel_random_walk": None,
        "frequency": None,
    },
    "topics": {"*": None},
    "node": NODE_KEYS,
}

FUSION_KEYS: Dict[str, Any] = {
    **OdometryFusion.CONFIG_KEYS,
    "topics": {"*": {"imu": None, "base_from_imu": None, "max_accel": None, "orientation": None, "odom_source": None, "yaw_rate_scale": None}},
    # The visual odometry as one of the odometry sources: a `vo` configuration plus the entry it feeds.
    "visual": {**{k: v for k, v in VO_KEYS.items() if k != "node"}, "odom_source": None},
    "node": NODE_KEYS,
}

VO_TOPIC_ROLES = ("image", "camera_info", "depth", "depth_camera_info", "imu", "tf")

# Keys whose value is a name (a frame id, a mode); a list or a number there is a mistake the engines
# would report far from its cause, or not at all.
NAME_KEYS = frozenset(
    ("frame_id", "parent_frame_id", "child_frame_id", "odom_frame_id", "output_frame_id", "rig_frame_id",
     "map_frame_id", "camera_mode", "imu")
)
# Configuration files nest four levels at most (topics./imu/data.base_from_imu[0]); far deeper
# nesting is a broken file, refused before anything recurses into it.
MAX_DEPTH = 16


def load_config_file(path: "str | Path") -> Dict[str, Any]:
    """Read a YAML or JSON mapping. Raises UserError for a missing file, a parse error or a file whose
    top level is not a mapping."""
    p = Path(path)
    if not p.is_file():
        raise UserError(f"configuration file {str(path)!r} not found; check the --config path")
    try:
        text = p.read_bytes().decode("utf-8")
    except UnicodeDecodeError as err:
        raise UserError(f"{path}: not UTF-8 text (byte 0x{err.object[err.start]:02x} at offset {err.start}); save it as UTF-8") from None
    try:
        if p.suffix.lower() == ".json":
            data = json.loads(text)
        else:
            data = _yaml_load(text)
    except json.JSONDecodeError as err:
        raise UserError(f"{path}: not valid JSON ({err.msg} at line {err.lineno}); fix the file") from None
    except RecursionError:
        raise UserError(f"{path}: nested too deeply to read; a configuration nests {MAX_DEPTH} levels at most") from None
    except Exception as err:  # yaml.YAMLError and its subclasses
        mark = getattr(err, "problem_mark", None)
        where = f" at line {mark.line + 1}" if mark is not None else ""
        problem = getattr(err, "problem", None) or str(err).splitlines()[0]
        raise UserError(f"{path}: not valid YAML ({problem}{where}); fix the file") from None
    if data is None:
        data = {}
    if not isinstance(data, dict):
        raise UserError(f"{path}: the top level must be a mapping of configuration keys, found a {type(data).__name__}")
    if _depth(data) > MAX_DEPTH:
        raise UserError(f"{path}: nested more than {MAX_DEPTH} levels deep; a configuration nests 4 levels at most")
    return data


# YAML 1.1, which PyYAML follows, reads a number with an exponent but no decimal point (1e-3) or an
# exponent without a sign (1.0e3) as text; written by hand they mean numbers, and are read as numbers.
_EXPONENT_NUMBER = re.compile(r"^[-+]?(?:[0-9][0-9_]*(?:\.[0-9_]*)?|\.[0-9_]+)[eE][-+]?[0-9]+$")


def _yaml_load(text: str) -> Any:
    import yaml

    class _Loader(yaml.SafeLoader):
        pass

    _Loader.add_implicit_resolver("tag:yaml.org,2002:float", _EXPONENT_NUMBER, list("-+0123456789."))
    return yaml.load(text, Loader=_Loader)  # noqa: S506 - a SafeLoader


def _depth(value: Any) -> int:
    """Nesting depth of lists and mappings, counted up to MAX_DEPTH + 1, without recursion. YAML
    aliases may share a container many times or make it contain itself: each container is walked
    again only when reached deeper than before, so the walk ends and stays linear in the file."""
    deepest = 0
    seen: Dict[int, int] = {}
    stack = [(value, 1)]
    while stack:
        v, d = stack.pop()
        if not isinstance(v, (dict, list, tuple)) or seen.get(id(v), 0) >= d:
            continue
        seen[id(v)] = d
        deepest = max(deepest, d)
        if d <= MAX_DEPTH:
            stack.extend((c, d + 1) for c in (v.values() if isinstance(v, dict) else v))
    return deepest


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
            if k in NAME_KEYS and not isinstance(v, str):
                path = f"{where}.{k}" if where else k
                raise UserError(f"{source}: {path} must be a name (text), got {reprlib.repr(v)}")
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
        raise UserError(f"{what} must be [[x, y, z], [qx, qy, qz, qw]], got {reprlib.repr(value)}") from None
    if len(t) != 3 or len(q) != 4:
        raise UserError(f"{what} must be [[x, y, z], [qx, qy, qz, qw]], got {reprlib.repr(value)}")
    if not all(math.isfinite(c) for c in t + q):
        raise UserError(f"{what}: every value must be finite, got {[list(t), list(q)]}")
    if sum(c * c for c in q) == 0.0:
        raise UserError(f"{what}: the quaternion (qx, qy, qz, qw) is zero")
    return t, q  # type: ignore[return-value]


def parse_positive(value: Any, what: str) -> float:
    """A number above 0 from a configuration file."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
        raise UserError(f"{what} must be a number above 0, got {value!r}")
    return float(value)


def parse_frame_pair(value: Any, what: str) -> Tuple[str, str]:
    if isinstance(value, (list, tuple)) and len(value) == 2 and all(isinstance(v, str) for v in value):
        return value[0], value[1]
    raise UserError(f"{what} must be [parent_frame_id, child_frame_id], got {reprlib.repr(value)}")


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
    "NODE_KEYS",
    "VO_KEYS",
    "VO_TOPIC_ROLES",
    "check_keys",
    "dump_yaml",
    "load_config_file",
    "parse_frame_pair",
    "parse_pair",
    "parse_positive",
]
