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
import threading
import time
from concurrent.futures import ThreadPoolExecutor, as_completed
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from velk_odom.cli._errors import UserError, one_line
from velk_odom.cli._output import ALIGNMENT_NAMES, RESULT_COLUMNS, add_evaluation_arguments, check_rpe_delta, results_target, write_results

# A scheduler that has not answered within this many seconds is given up on; so is a cluster that has
# had no worker for NO_WORKER_S while tasks wait (every task it held is reported lost).
CONNECT_S = 20.0
NO_WORKER_S = 120.0
POLL_S = 1.0
COUNTER_KEYS = ("gated", "too_late", "resets", "tracked", "frames")
_DURATION = re.compile(r", ([0-9.]+) s, \d+ messages\)")
_COUNTER = re.compile(r"\b([a-z_]+)=(\d+)\b")


def add_common(p: argparse.ArgumentParser) -> None:
    p.add_argument("recordings", nargs="+", metavar="RECORDING", help="ROS bags or dataset folders, each with its ground truth")
    p.add_argument("--config", required=True, metavar="FILE", help="configuration file of the replay command (YAML or JSON)")
    p.add_argument("--command", choices=("fuse", "vo"), default="fuse", help="replay command to evaluate (default fuse)")
    p.add_argument("--scheduler", metavar="ADDRESS", help="Dask distributed scheduler, e.g. tcp://10.0.0.5:8786 (default: local processes)")
    p.add_argument("--workers", type=int, default=os.cpu_count() or 2, metavar="N", help="local processes at once (default: the CPU count)")
    add_evaluation_arguments(p, results=False)


def add_eval_arguments(p: argparse.ArgumentParser) -> None:
    add_common(p)
    p.add_argument("--results", metavar="FILE", help="also write the scores as a results file: FILE.csv or FILE.json")


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


def default_alignment(command: str, config: Dict[str, Any]) -> str:
    """Rigid, or a similarity for a monocular visual run (its scale is unknown)."""
    return "sim" if command == "vo" and config.get("camera_mode") == "mono" else "rigid"


def evaluate_one(command: str, recording: str, config: Dict[str, Any], rpe_delta: float, align: Optional[str] = None,
                 config_name: str = "") -> Dict[str, Any]:
    """Replay ``recording`` with ``config`` in a fresh interpreter and score it under ``align``
    (default: `default_alignment`). Never raises: a failure comes back as the result's ``error``,
    which names the configuration ``config_name`` (the user's file) rather than the temporary file
    the replay read."""
    import yaml

    align = align or default_alignment(command, config)
    result: Dict[str, Any] = {"command": command, "recording": recording, "error": None, "duration_s": None, "poses": 0,
                              "align": align, "counters": {}}
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
            if config_name:
                last = last.replace(str(cfg), config_name)
            result["error"] = f"exit status {done.returncode}: {last}"
            return result
        for line in done.stdout.splitlines():
            if line.startswith("recording") and (m := _DURATION.search(line)):
                result["duration_s"] = float(m.group(1))
            if line.startswith("engine counters"):
                result["counters"] = {k: int(v) for k, v in _COUNTER.findall(line)}
        try:
            result.update(_score(out, recording, gt, rpe_delta, align))
        except (ValueError, OSError) as err:
            result["error"] = f"scoring: {err}"
    return result


def _score(out: Path, recording: str, gt: Optional[str], rpe_delta: float, align: str = "rigid") -> Dict[str, Any]:
    from velk_odom.trajectory import evaluate, path_length, read_tum

    estimate = read_tum(out)
    if gt is not None:
        reference = read_tum(gt)
    else:
        from velk_odom.datasets import detect, open_dataset

        if detect(recording):
            data = open_dataset(recording)
            if data.ground_truth is None:
                raise ValueError(f"the {data.kind} folder {recording} has no ground truth")
            reference = data.ground_truth
        else:
            raise ValueError(f"no ground truth beside the bag {recording} (put it there as {Path(recording.rstrip('/')).name}_ground_truth.tum)")
    ev = evaluate(estimate, reference, align=align, delta_s=rpe_delta)
    row = ev.as_row()
    return {**row, "poses": len(estimate[0]), "path_m": path_length(estimate[1]), "ate": ev.ate.rmse, "ate_max": ev.ate.max,
            "rpe_m": row["rpe_rmse_m"], "rpe_deg": row["rpe_rmse_deg"]}


# ---- running many ----


def run_tasks(args: argparse.Namespace, tasks: Sequence[Tuple[Any, ...]],
              on_result: Optional[Callable[[int, Dict[str, Any]], None]] = None) -> List[Dict[str, Any]]:
    """evaluate_one over ``tasks`` (command, recording, config, rpe_delta, align, config_name), in order
    of the tasks. ``on_result(index, result)`` is called as each task finishes, in order of finishing."""
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
            client = _bounded(lambda: Client(args.scheduler, timeout=10), CONNECT_S)
        except TimeoutError:
            raise UserError(f"--scheduler {args.scheduler!r}: cannot reach it: no answer within {CONNECT_S:g} s; "
                            "give the scheduler's address (tcp://HOST:8786)") from None
        except MemoryError:  # a reply taken as a frame length of exabytes: another protocol, e.g. the dashboard's HTTP
            raise UserError(f"--scheduler {args.scheduler!r}: cannot reach it: the reply is not a Dask scheduler's; "
                            "give the scheduler's address (tcp://HOST:8786), not the dashboard's") from None
        except Exception as err:  # noqa: BLE001 - whatever the address makes the client raise
            raise UserError(f"--scheduler {args.scheduler!r}: cannot reach it: {one_line(err)}") from None
        try:
            _gather(client, [client.submit(evaluate_one, *t, pure=False) for t in tasks], tasks, done)
            return results
        finally:
            try:
                _bounded(client.close, CONNECT_S)
            except Exception:  # noqa: BLE001 - a scheduler gone already
                pass
    if args.workers < 1:
        raise UserError(f"--workers must be at least 1, got {args.workers}")
    # Each task runs its own interpreter, so threads are enough to keep `workers` of them busy.
    with ThreadPoolExecutor(max_workers=args.workers) as pool:
        pending = {pool.submit(evaluate_one, *t): i for i, t in enumerate(tasks)}
        for future in as_completed(pending):
            done(pending[future], future.result())
    return results


def _bounded(call: Callable[[], Any], seconds: float) -> Any:
    """``call()`` in a thread of its own, waited on for ``seconds`` at most (TimeoutError; the thread
    is left to finish by itself): a cluster's client can wait forever on an address that never answers."""
    box: Dict[str, Any] = {}

    def run() -> None:
        try:
            box["value"] = call()
        except BaseException as err:  # noqa: BLE001 - handed to the caller
            box["error"] = err

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(seconds)
    if worker.is_alive():
        raise TimeoutError(f"no answer within {seconds:g} s")
    if "error" in box:
        raise box["error"]
    return box["value"]


def _lost(task: Tuple[Any, ...], why: str) -> Dict[str, Any]:
    return {"command": task[0], "recording": task[1], "error": f"lost on the cluster: {why}", "duration_s": None, "poses": 0,
            "align": task[4] or default_alignment(task[0], task[2]), "counters": {}}


def _gather(client: Any, futures: List[Any], tasks: Sequence[Tuple[Any, ...]],
            done: Callable[[int, Dict[str, Any]], None]) -> None:
    """``done(index, result)`` for each of ``futures`` as it comes back. A task the cluster lost (its
    worker died too often), or that waited NO_WORKER_S with no worker on the cluster (or no answer
    from the scheduler), comes back as an error naming its recording; the results that came back stay."""
    from distributed import wait

    pending = set(range(len(futures)))
    idle_since: Optional[float] = None
    while pending:
        try:
            wait([futures[i] for i in pending], timeout=POLL_S, return_when="FIRST_COMPLETED")
        except Exception:  # noqa: BLE001 - the wait's own timeout; the states are read below
            pass
        for i in sorted(pending):
            f = futures[i]
            if f.status == "finished":
                done(i, f.result())
            elif f.status in ("error", "cancelled", "lost"):
                done(i, _lost(tasks[i], one_line(f.exception()) if f.status == "error" else f.status))
            else:
                continue
            pending.discard(i)
        if not pending:
            break
        try:
            workers = len(_bounded(client.nthreads, CONNECT_S))
        except Exception:  # noqa: BLE001 - a scheduler that does not answer has no worker to offer
            workers = 0
        idle_since = None if workers else (idle_since if idle_since is not None else time.monotonic())
        if idle_since is not None and time.monotonic() - idle_since >= NO_WORKER_S:
            for i in sorted(pending):
                done(i, _lost(tasks[i], f"no worker on the cluster for {NO_WORKER_S:g} s"))
            lost = ", ".join(Path(tasks[i][1]).name for i in sorted(pending))
            print(f"velk-odom: warning: the cluster had no worker for {NO_WORKER_S:g} s; lost: {lost}", file=sys.stderr)
            break


def _check_inputs(args: argparse.Namespace) -> Dict[str, Any]:
    from velk_odom.cli._config import load_config_file

    check_rpe_delta(args)
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


def rpe_note(results: Sequence[Dict[str, Any]], rpe_delta: float) -> Optional[str]:
    """The line for scored runs whose RPE could not be computed, or None."""
    short = [Path(r["recording"]).name for r in results if r["error"] is None and not r.get("rpe_pairs")]
    if not short:
        return None
    return (f"RPE/{rpe_delta:g} s could not be computed for {', '.join(short)}: the matched poses span less than the "
            "step (give a shorter --rpe-delta)")


def result_rows(results: Sequence[Dict[str, Any]]) -> List[Dict[str, Any]]:
    """`evaluate_one`'s results as rows of a results file, counters in columns of their own."""
    from velk_odom.trajectory import RESULT_FIELDS

    rows = []
    for r in results:
        row: Dict[str, Any] = {k: r.get(k) for k in RESULT_COLUMNS + ("duration_s",) + RESULT_FIELDS}
        row["trajectory"] = r["command"]
        row.update({f"counter_{k}": v for k, v in r["counters"].items()})
        rows.append(row)
    return rows


def run_eval(args: argparse.Namespace) -> int:
    config = _check_inputs(args)
    results_file = results_target(args.results, [args.config, *args.recordings])
    results = run_tasks(args, [(args.command, r, config, args.rpe_delta, args.align, args.config) for r in args.recordings])
    print(results_table(results))
    print(summary_line(results) + f"; ATE after {ALIGNMENT_NAMES[args.align or default_alignment(args.command, config)]}")
    note = rpe_note(results, args.rpe_delta)
    if note:
        print(note)
    failed = None
    if results_file is not None:
        failed = write_results(results_file, result_rows(results), RESULT_COLUMNS)
        print(f"results -> {results_file}" if failed is None else f"velk-odom: error: {failed}", file=sys.stdout if failed is None else sys.stderr)
    return 0 if failed is None and all(r["error"] is None for r in results) else 1


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


def trial_rows(trials: Sequence[Dict[str, Any]], results: Sequence[Dict[str, Any]], n: int) -> List[Dict[str, Any]]:
    """Every trial's scores, one row per (trial, recording): the trial, its keys, its mean ATE, then
    the recording's results row."""
    keys = list(dict.fromkeys(k for t in trials for k in t))
    rows = []
    for i, assignment in enumerate(trials):
        score = _trial_score(results[i * n:(i + 1) * n])
        for row in result_rows(results[i * n:(i + 1) * n]):
            rows.append({"trial": i, **{k: assignment.get(k) for k in keys}, "mean_ate_m": score if math.isfinite(score) else None,
                         **row})
    return rows


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
    from velk_odom.cli._output import check_writable

    output = str(check_writable(args.output or str(Path(args.config).with_suffix("")) + "_tuned.yaml", "-o",
                                [args.config, args.search, *args.recordings]))
    trials_file = results_target(args.results or str(Path(output).with_suffix("")) + "_trials.csv",
                                 [args.config, args.search, output, *args.recordings])
    n = len(args.recordings)
    tasks = [(args.command, r, c, args.rpe_delta, args.align, f"{args.config} with {args.search}")
             for c in configs for r in args.recordings]
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
    failed = write_results(trials_file, trial_rows(trials, results, n), RESULT_COLUMNS)
    if failed is None:
        print(f"every trial -> {trials_file}")
    else:
        print(f"velk-odom: {failed}", file=sys.stderr)
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
