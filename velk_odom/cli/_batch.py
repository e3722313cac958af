"""`velk-odom eval` and `velk-odom tune`: one configuration over many recordings, or a search for the
configuration that fits them best, on local processes or on a Dask cluster.

Every (configuration, recording) pair is one task: a `velk-odom fuse` (or `vo`) replay in its own
interpreter, whose trajectory is scored against the recording's ground truth (a dataset folder's own,
or the TUM file ``<recording>_ground_truth.tum`` beside a bag, as `demo --write-bag` writes it). With
``--scheduler tcp://HOST:8786`` the tasks go to a Dask distributed cluster; its workers need velk_odom
installed and the recordings at the same paths (a shared file system).
"""

from __future__ import annotations

import argparse
import itertools
import math
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor, as_completed
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from velk_odom.cli._errors import UserError

COUNTER_KEYS = ("gated", "too_late", "resets", "tracked", "frames")
_DURATION = re.compile(r", ([0-9.]+) s, \d+ messages\)")
_COUNTER = re.compile(r"\b([a-z_]+)=(\d+)\b")


def add_common(p: argparse.ArgumentParser) -> None:
    p.add_argument("recordings", nargs="+", metavar="RECORDING", help="ROS bags or dataset folders, each with its ground truth")
    p.add_argument("--config", required=True, metavar="FILE", help="configuration file of the replay command (YAML or JSON)")
    p.add_argument("--command", choices=("fuse", "vo"), default="fuse", help="replay command to evaluate (default fuse)")
    p.add_argument("--scheduler", metavar="ADDRESS", help="Dask distributed scheduler, e.g. tcp://10.0.0.5:8786 (default: local processes)")
    p.add_argument("--workers", type=int, default=os.cpu_count() or 2, metavar="N", help="local processes at once (default: the CPU count)")
    p.add_argument("--rpe-delta", type=float, default=1.0, metavar="SECONDS", help="time step of the relative pose error (default 1 s)")


def add_tune_arguments(p: argparse.ArgumentParser) -> None:
    add_common(p)
    p.add_argument("--search", required=True, metavar="SPACE.yaml", help="keys to search: `key.path: [values]` (grid) or `key.path: {min, max, log}` (random)")
    p.add_argument("--trials", type=int, default=20, metavar="N", help="random configurations drawn when the space has ranges (default 20)")
    p.add_argument("--seed", type=int, default=0, help="seed of the random search (default 0)")
    p.add_argument("-o", "--output", metavar="FILE.yaml", help="best configuration (default: <config>_tuned.yaml)")
    p.add_argument("--results", metavar="FILE", help="every trial's scores, one row per trial and recording: FILE.csv or FILE.json "
                   "(default: <output>_trials.csv)")


# ---- one task ----


def ground_truth_of(recording: str) -> Optional[str]:
    """The TUM file beside a bag, or None (a dataset folder carries its own)."""
    p = Path(recording.rstrip("/"))
    for candidate in (Path(f"{p}_ground_truth.tum"), p / "ground_truth.tum", p.with_suffix(".tum")):
        if candidate.is_file() and candidate != p:
            return str(candidate)
    return None


def evaluate_one(command: str, recording: str, config: Dict[str, Any], rpe_delta: float) -> Dict[str, Any]:
    """Replay ``recording`` with ``config`` in a fresh interpreter and score it. Never raises: a
    failure comes back as the result's ``error``."""
    import yaml

    result: Dict[str, Any] = {"recording": recording, "error": None, "duration_s": None, "poses": 0, "counters": {}}
    with tempfile.TemporaryDirectory(prefix="velk_batch_") as tmp:
        cfg = Path(tmp) / "config.yaml"
        cfg.write_text(yaml.safe_dump(config, sort_keys=False))
        out = Path(tmp) / "out.tum"
        argv = [sys.executable, "-m", "velk_odom.cli", command, recording, "--config", str(cfg), "-o", str(out), "--no-progress", "--log", "error"]
        gt = ground_truth_of(recording)
        try:
            done = subprocess.run(argv, capture_output=True, text=True, timeout=3600)
        except (OSError, subprocess.TimeoutExpired) as err:
            result["error"] = f"replay failed: {err}"
            return result
        if done.returncode != 0:
            last = (done.stderr.strip().splitlines() or ["no message"])[-1]
            result["error"] = f"exit status {done.returncode}: {last}"
            return result
        for line in done.stdout.splitlines():
            if line.startswith("recording") and (m := _DURATION.search(line)):
                result["duration_s"] = float(m.group(1))
            if line.startswith("engine counters"):
                result["counters"] = {k: int(v) for k, v in _COUNTER.findall(line)}
        try:
            result.update(_score(out, recording, gt, rpe_delta))
        except (ValueError, OSError) as err:
            result["error"] = f"scoring: {err}"
    return result


def _score(out: Path, recording: str, gt: Optional[str], rpe_delta: float) -> Dict[str, Any]:
    from velk_odom.trajectory import absolute_trajectory_error, read_tum, relative_pose_error

    estimate = read_tum(out)
    if gt is not None:
        reference = read_tum(gt)
    else:
        from velk_odom.datasets import detect, open_dataset

        data = open_dataset(recording) if detect(recording) else None
        if data is None or data.ground_truth is None:
            raise ValueError(f"no ground truth for {recording} (put it beside the bag as {Path(recording).name}_ground_truth.tum)")
        reference = data.ground_truth
    ate, _, _ = absolute_trajectory_error(estimate, reference)
    rpe_t, rpe_r = relative_pose_error(estimate, reference, delta_s=rpe_delta)
    return {"poses": len(estimate[0]), "ate": ate.rmse, "ate_max": ate.max, "rpe_m": rpe_t.rmse, "rpe_deg": math.degrees(rpe_r.rmse)}


# ---- running many ----


def run_tasks(args: argparse.Namespace, tasks: Sequence[Tuple[Any, ...]],
              on_result: Optional[Callable[[int, Dict[str, Any]], None]] = None) -> List[Dict[str, Any]]:
    """evaluate_one over ``tasks`` (command, recording, config, rpe_delta), in order of the tasks.
    ``on_result(index, result)`` is called as each task finishes, in order of finishing."""
    results: List[Any] = [None] * len(tasks)

    def done(i: int, result: Dict[str, Any]) -> None:
        results[i] = result
        if on_result is not None:
            on_result(i, result)

    if args.scheduler:
        try:
            from distributed import Client
        except ModuleNotFoundError:
            raise UserError('--scheduler needs Dask distributed: install the cluster extra (from a checkout: pip install ".[cluster]")') from None
        try:
            client = Client(args.scheduler, timeout=10)
        except (OSError, TimeoutError, ValueError) as err:
            raise UserError(f"--scheduler {args.scheduler!r}: cannot reach it: {err}") from None
        from distributed import as_completed as cluster_completed

        with client:
            futures = {client.submit(evaluate_one, *t, pure=False): i for i, t in enumerate(tasks)}
            for future in cluster_completed(list(futures)):
                done(futures[future], future.result())
        return results
    if args.workers < 1:
        raise UserError(f"--workers must be at least 1, got {args.workers}")
    # Each task runs its own interpreter, so threads are enough to keep `workers` of them busy.
    with ThreadPoolExecutor(max_workers=args.workers) as pool:
        pending = {pool.submit(evaluate_one, *t): i for i, t in enumerate(tasks)}
        for future in as_completed(pending):
            done(pending[future], future.result())
    return results


def _check_inputs(args: argparse.Namespace) -> Dict[str, Any]:
    from velk_odom.cli._config import load_config_file

    if not args.rpe_delta > 0:
        raise UserError(f"--rpe-delta must be above 0 seconds, got {args.rpe_delta}")
    for r in args.recordings:
        if not Path(r).exists():
            raise UserError(f"recording {r!r} not found")
    return load_config_file(args.config)


def _fmt(v: Optional[float], spec: str = ".3f") -> str:
    return "-" if v is None else format(v, spec)


def results_table(results: Sequence[Dict[str, Any]]) -> str:
    head = ("recording", "duration s", "poses", "ATE m", "ATE max m", "RPE m", "RPE deg", "counters")
    rows = []
    for r in results:
        counters = " ".join(f"{k}={v}" for k, v in r["counters"].items() if k in COUNTER_KEYS)
        rows.append((Path(r["recording"]).name, _fmt(r["duration_s"], ".1f"), str(r["poses"]), _fmt(r.get("ate")),
                     _fmt(r.get("ate_max")), _fmt(r.get("rpe_m")), _fmt(r.get("rpe_deg"), ".2f"),
                     f"error: {r['error']}" if r["error"] else counters))
    widths = [max(len(h), *(len(row[i]) for row in rows)) for i, h in enumerate(head)]
    lines = ["  ".join(c.ljust(w) for c, w in zip(head, widths)).rstrip()]
    lines += ["  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip() for row in rows]
    return "\n".join(lines)


def summary_line(results: Sequence[Dict[str, Any]]) -> str:
    ates = [r["ate"] for r in results if r["error"] is None]
    failed = len(results) - len(ates)
    if not ates:
        return f"summary: all {len(results)} recordings failed"
    return (f"summary: {len(ates)} of {len(results)} recordings scored; ATE mean {statistics.fmean(ates):.3f} m, "
            f"median {statistics.median(ates):.3f} m, worst {max(ates):.3f} m" + (f"; {failed} failed" if failed else ""))


def run_eval(args: argparse.Namespace) -> int:
    config = _check_inputs(args)
    results = run_tasks(args, [(args.command, r, config, args.rpe_delta) for r in args.recordings])
    print(results_table(results))
    print(summary_line(results))
    return 0 if all(r["error"] is None for r in results) else 1


# ---- tuning ----


def _path_parts(key: str) -> List[Any]:
    return [int(p) if p.isdigit() else p for p in key.split(".")]


def set_key(config: Dict[str, Any], key: str, value: Any, source: str) -> None:
    """Set a dotted key path (list entries by index, e.g. imus.0.gyro_noise_density) that must exist
    up to its last part."""
    node: Any = config
    parts = _path_parts(key)
    for part in parts[:-1]:
        try:
            node = node[part]
        except (KeyError, IndexError, TypeError):
            raise UserError(f"{source}: {key}: the configuration has no {part!r} there") from None
    last = parts[-1]
    if isinstance(node, list) and not (isinstance(last, int) and last < len(node)):
        raise UserError(f"{source}: {key}: index {last} is outside the list")
    if not isinstance(node, (dict, list)):
        raise UserError(f"{source}: {key}: {parts[-2]!r} holds no keys")
    node[last] = value


def candidates(space: Dict[str, Any], trials: int, seed: int, source: str) -> List[Dict[str, Any]]:
    """Assignments {key: value}: the full grid when every key lists its values, else ``trials``
    random draws (lists drawn from, ranges sampled uniformly or, with log: true, log-uniformly)."""
    if not isinstance(space, dict) or not space:
        raise UserError(f"{source}: give a mapping of key paths to value lists or {{min, max, log}} ranges")
    for key, spec in space.items():
        if isinstance(spec, list) and spec:
            continue
        if isinstance(spec, dict) and {"min", "max"} <= set(spec) and set(spec) <= {"min", "max", "log"}:
            lo, hi = spec["min"], spec["max"]
            if not (isinstance(lo, (int, float)) and isinstance(hi, (int, float)) and lo < hi) or (spec.get("log") and lo <= 0):
                raise UserError(f"{source}: {key}: needs min < max (and min > 0 with log: true)")
            continue
        raise UserError(f"{source}: {key}: give a non-empty list of values or {{min: A, max: B, log: true|false}}")
    keys = list(space)
    if all(isinstance(space[k], list) for k in keys):
        return [dict(zip(keys, combo)) for combo in itertools.product(*(space[k] for k in keys))]
    if trials < 1:
        raise UserError(f"--trials must be at least 1, got {trials}")
    rng = random.Random(seed)
    draw: Dict[str, Callable[[], Any]] = {}
    for k, spec in space.items():
        if isinstance(spec, list):
            draw[k] = lambda spec=spec: rng.choice(spec)
        elif spec.get("log"):
            draw[k] = lambda spec=spec: math.exp(rng.uniform(math.log(spec["min"]), math.log(spec["max"])))
        else:
            draw[k] = lambda spec=spec: rng.uniform(spec["min"], spec["max"])
    return [{k: draw[k]() for k in keys} for _ in range(trials)]


def _describe(assignment: Dict[str, Any]) -> str:
    return ", ".join(f"{k}={v:.4g}" if isinstance(v, float) else f"{k}={v}" for k, v in assignment.items()) or "the given configuration"


def _trial_score(rs: Sequence[Dict[str, Any]]) -> float:
    """Mean ATE over the recordings; inf when any recording could not be scored."""
    return statistics.fmean(r["ate"] for r in rs) if all(r["error"] is None for r in rs) else math.inf


def write_trials(path: str, trials: Sequence[Dict[str, Any]], results: Sequence[Dict[str, Any]], n: int) -> None:
    """Every trial's scores, one row per (trial, recording), as CSV or JSON by the file's suffix."""
    import csv
    import json

    keys = list(dict.fromkeys(k for t in trials for k in t))
    rows = []
    for i, assignment in enumerate(trials):
        rs = results[i * n:(i + 1) * n]
        score = _trial_score(rs)
        for r in rs:
            rows.append({"trial": i, **{k: assignment.get(k) for k in keys}, "mean_ate_m": score if math.isfinite(score) else None,
                         "recording": r["recording"], "ate_m": r.get("ate"), "ate_max_m": r.get("ate_max"),
                         "rpe_m": r.get("rpe_m"), "rpe_deg": r.get("rpe_deg"), "poses": r["poses"], "error": r["error"]})
    with open(path, "w", encoding="utf-8", newline="") as f:
        if path.lower().endswith(".json"):
            json.dump(rows, f, indent=1)
            f.write("\n")
        else:
            writer = csv.DictWriter(f, fieldnames=list(rows[0]))
            writer.writeheader()
            writer.writerows({k: ("" if v is None else v) for k, v in row.items()} for row in rows)


def run_tune(args: argparse.Namespace) -> int:
    import copy

    from velk_odom.cli._config import FUSION_KEYS, VO_KEYS, check_keys, dump_yaml, load_config_file

    config = _check_inputs(args)
    space = load_config_file(args.search)
    trials = [{}] + candidates(space, args.trials, args.seed, args.search)  # the given configuration first
    configs = []
    for assignment in trials:
        c = copy.deepcopy(config)
        for key, value in assignment.items():
            set_key(c, key, value, args.search)
        # A misspelt key would be ignored by every replay and score each trial as the untuned configuration.
        check_keys(c, FUSION_KEYS if args.command == "fuse" else VO_KEYS, args.search)
        configs.append(c)
    output = args.output or str(Path(args.config).with_suffix("")) + "_tuned.yaml"
    trials_file = args.results or str(Path(output).with_suffix("")) + "_trials.csv"
    if Path(trials_file).suffix.lower() not in (".csv", ".json"):
        raise UserError(f"--results {trials_file!r}: give a file name ending in .csv or .json")
    n = len(args.recordings)
    tasks = [(args.command, r, c, args.rpe_delta) for c in configs for r in args.recordings]
    print(f"{len(trials)} configurations x {n} recordings; mean ATE over the recordings (lower is better):", flush=True)
    partial: List[Any] = [None] * len(tasks)
    progress = {"trials": 0, "best": math.inf}

    def on_result(index: int, result: Dict[str, Any]) -> None:
        partial[index] = result
        i = index // n
        rs = partial[i * n:(i + 1) * n]
        if any(r is None for r in rs):
            return
        score = _trial_score(rs)
        progress["trials"] += 1
        progress["best"] = min(progress["best"], score)
        best = progress["best"]
        print(f"trial {progress['trials']}/{len(trials)}: {_fmt(score if math.isfinite(score) else None)} m "
              f"(best {_fmt(best if math.isfinite(best) else None)} m)  {_describe(trials[i])}", file=sys.stderr, flush=True)

    results = run_tasks(args, tasks, on_result)
    scored = sorted(((_trial_score(results[i * n:(i + 1) * n]), i) for i in range(len(trials))))
    for score, i in scored[:5]:
        print(f"  {_fmt(score if math.isfinite(score) else None)} m  {_describe(trials[i])}")
    try:
        write_trials(trials_file, trials, results, n)
    except OSError as err:
        print(f"velk-odom: the trials file {trials_file!r} could not be written ({err.strerror or err})", file=sys.stderr)
    else:
        print(f"every trial -> {trials_file}")
    best_score, best_i = scored[0]
    best_results = results[best_i * n:(best_i + 1) * n]
    if not math.isfinite(best_score):
        print(results_table(best_results))
        raise UserError("no configuration could be scored on every recording; see the errors above")
    Path(output).write_text(dump_yaml(configs[best_i], [f"tuned by velk-odom tune on {n} recordings: mean ATE {best_score:.4f} m"]))
    print(results_table(best_results))
    print(summary_line(best_results))
    print(f"best configuration -> {output}")
    return 0
