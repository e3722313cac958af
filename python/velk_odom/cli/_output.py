"""What the commands show: the engines' counters, the progress bar, the scores against ground truth,
the results file and the trajectory plot."""

from __future__ import annotations

import os
import re
import sys
from pathlib import Path
from collections import Counter
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from velk_odom._native import OdometryFusion
from velk_odom.cli._errors import UserError, one_line

FUSION_COUNTERS = OdometryFusion.COUNTER_NAMES

# Bare levels up to warn: a demo counts its warnings instead of printing them.
_SUMMARISED_LEVELS = ("off", "error", "warn")
LOG_LEVELS = ("off", "error", "warn", "info", "debug", "trace")
# The engines' log targets: a bare word in a filter that is not a level is taken as a target.
_LOG_TARGETS = ("velk_slam", "velk_slam::odometry_fusion", "velk_slam::cuvslam_odometry")


def log_filter(text: str) -> str:
    """The --log argument: a level or a filter such as velk_slam=debug. A bare word that is neither a
    level nor an engine target would be taken as a target of no engine and silence the log, so it is
    refused (argparse reports the ValueError as a usage mistake)."""
    import argparse
    import difflib

    for directive in text.split(","):
        word = directive.strip()
        if "=" in word or word.lower() in LOG_LEVELS or word in _LOG_TARGETS:
            continue
        near = difflib.get_close_matches(word.lower(), LOG_LEVELS, n=1, cutoff=0.7)
        hint = f"did you mean {near[0]!r}? " if near else ""
        raise argparse.ArgumentTypeError(
            f"{word!r} is not a log level; {hint}give one of {', '.join(LOG_LEVELS)}, or a filter such as velk_slam=debug")
    return text


class EngineLog:
    """The engines' log on stderr at the user's ``level``. Raises UserError for a filter that does not
    parse. ``console`` is stderr, for the progress bar.

    With ``summarise_warnings`` (a demo, whose warnings are expected) and a bare level up to warn, the
    warnings are counted by message in ``warnings`` instead of printed; errors print unless the level
    is off. The engines have one process-wide log subscriber: one installed earlier in this process
    stays as it is.
    """

    def __init__(self, level: str, summarise_warnings: bool = False) -> None:
        self.level = level
        self.summarise_warnings = summarise_warnings
        self.warnings: Counter = Counter()
        self.console: Any = sys.stderr
        self._summarising = False

    def __enter__(self) -> "EngineLog":
        from velk_odom._native import init_logging

        if not sys.stderr.isatty():
            os.environ.setdefault("NO_COLOR", "1")  # no colour codes in a file or a pipe
        summarise = self.summarise_warnings and self.level in _SUMMARISED_LEVELS
        try:
            if summarise:
                init_logging("warn", self._write)
            elif sys.stderr.isatty():
                # On a terminal a progress bar may be drawn: each line goes above it, not onto it.
                init_logging(self.level, _to_console)
            else:
                init_logging(self.level)
        except ValueError as err:
            if str(err).startswith("level: "):
                raise UserError(
                    f"--log {self.level!r}: {err}; give a level such as warn or info, or a filter such as velk_slam=debug"
                ) from None
            return self  # a subscriber was installed earlier in this process; it stays as it is
        self._summarising = summarise
        return self

    def _write(self, line: str) -> None:
        """The log writer of a demo: its filter is warn, so every line is a warning or an error."""
        _stamp, level, text = line.split(None, 2)
        if not self._summarising:
            _to_console(line)  # a later command in this process: lines print as they come
        elif level == "WARN":
            self.warnings[_message_of(text)] += 1
        elif self.level != "off":
            _to_console(line)

    def __exit__(self, *exc: Any) -> None:
        self._summarising = False


def _to_console(line: str) -> None:
    """A log line on stderr, above a progress bar if one is drawn there."""
    try:
        from tqdm import tqdm
    except ModuleNotFoundError:
        sys.stderr.write(line)
        return
    tqdm.write(line, file=sys.stderr, end="")


def _message_of(text: str) -> str:
    """A warning's message without its target and fields: the first sentence."""
    message = text.strip().split(": ", 1)[-1]
    return re.split(r"\.\s|\s[a-z_]+=", message, maxsplit=1)[0].strip()


def format_warnings(warnings: Counter) -> str:
    if not warnings:
        return "none"
    return f"{sum(warnings.values())}: " + "; ".join(f"{msg} ({n})" for msg, n in warnings.most_common())


def engine_counters(engine: Any, names: Sequence[str] = FUSION_COUNTERS) -> Dict[str, int]:
    """The counters of an engine, by name (``names``, the engine class's COUNTER_NAMES)."""
    counters = engine.counters()
    return {k: int(counters[k]) for k in names}


def format_counters(counters: Dict[str, int], names: Sequence[str] = FUSION_COUNTERS) -> str:
    return "  ".join(f"{k}={counters[k]}" for k in names)


class Progress:
    """A tqdm progress bar on ``console`` (default stderr) when it is a terminal, silent otherwise."""

    def __init__(self, total: int, desc: str, enabled: bool = True, console: Any = None) -> None:
        self._bar = None
        console = console if console is not None else sys.stderr
        if enabled and console.isatty():
            from tqdm import tqdm

            self._bar = tqdm(total=total, desc=desc, unit="msg", unit_scale=True, leave=False, file=console)

    def update(self, n: int = 1) -> None:
        if self._bar is not None:
            self._bar.update(n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


Track = Tuple[str, Any, Any]  # (label, stamps ns, poses N x 7)


def plot_trajectories(
    path: str,
    title: str,
    tracks: Sequence[Track],
    reference: Optional[Track] = None,
    errors: Iterable[Tuple[str, Any, Any]] = (),
    spans: Sequence[Tuple[str, int, int]] = (),
    **options: Any,
) -> None:
    """Save a PNG (see `_plot.plot_run`, which takes ``options``). Without a reference, the tracks
    after the first (raw odometry) are drawn anchored at the first track's pose at their start."""
    from velk_odom.cli._plot import anchored_at_start, plot_run

    if reference is None and len(tracks) > 1:
        tracks = [tracks[0]] + [anchored_at_start(t, tracks[0]) for t in tracks[1:]]
    plot_run(path, title, tracks, reference, errors, spans, **options)


ALIGNMENT_NAMES = {"origin": "first poses aligned", "rigid": "rigid alignment", "sim": "similarity alignment"}


def aligned_track(track: Track, reference: Tuple[Any, Any], align: str = "rigid") -> Track:
    """The track mapped into the reference's frame by its own alignment ``align`` (for drawing both
    in one plot); unchanged when no pose matches the reference in time."""
    from velk_odom.trajectory import alignment, apply_alignment

    label, stamps, poses = track
    try:
        rot, trans, scale = alignment((stamps, poses), reference, align=align)
    except ValueError:
        return track
    return f"{label} ({ALIGNMENT_NAMES[align]})", stamps, apply_alignment(poses, rot, trans, scale)


def add_evaluation_arguments(p: Any, results: bool = True) -> None:
    """--align and --rpe-delta (and --results) of a command that scores trajectories."""
    from velk_odom.trajectory import ALIGNMENTS

    p.add_argument("--align", choices=ALIGNMENTS, metavar="{origin,rigid,sim}",
                   help="how an estimate is aligned to the ground truth before the ATE: its first pose (origin), the best "
                   "rotation and translation (rigid, the default) or these and a scale (sim, the default for monocular runs)")
    p.add_argument("--rpe-delta", type=float, default=1.0, metavar="SECONDS", help="time step of the relative pose error (default 1 s)")
    if results:
        p.add_argument("--results", metavar="FILE", help="also write the scores as a results file: FILE.csv or FILE.json")


def check_rpe_delta(args: Any) -> None:
    if not args.rpe_delta > 0 or args.rpe_delta == float("inf"):
        raise UserError(f"--rpe-delta must be above 0 seconds and finite, got {args.rpe_delta}")


def describe_evaluation(ev: Any) -> str:
    """An `Evaluation` in one summary phrase: ATE with its alignment, RPE or why it is missing."""
    import math

    how = ALIGNMENT_NAMES[ev.align] + (f", scale {ev.scale:.3f}" if ev.align == "sim" else "")
    text = f"ATE rmse {ev.ate.rmse:.3f} m (max {ev.ate.max:.3f} m, {ev.ate.count} poses, {how}); "
    if ev.rpe_translation.count == 0:
        return text + (f"RPE/{ev.rpe_delta_s:g} s could not be computed: the matched poses span {ev.span_s:.2f} s, "
                       "less than the step (give a shorter --rpe-delta)")
    return text + f"RPE/{ev.rpe_delta_s:g} s rmse {ev.rpe_translation.rmse:.3f} m, {math.degrees(ev.rpe_rotation.rmse):.2f} deg"


# The leading columns of a results file; the metric columns follow (`velk_odom.trajectory.RESULT_FIELDS`).
RESULT_COLUMNS = ("command", "recording", "trajectory", "poses", "path_m", "error")
RESULT_SUFFIXES = (".csv", ".json")


def results_target(arg: Optional[str], inputs: Sequence[Any] = ()) -> Optional[Path]:
    """The file ``--results ARG`` writes, checked before any work (UserError): .csv or .json."""
    if not arg:
        return None
    if Path(arg).suffix.lower() not in RESULT_SUFFIXES:
        raise UserError(f"--results {arg!r}: give a file name ending in .csv or .json")
    return check_writable(arg, "--results", inputs)


def write_results(path: "str | Path", rows: Sequence[Dict[str, Any]], columns: Sequence[str] = ()) -> Optional[str]:
    """Write ``rows`` as CSV (one line a row, ``columns`` first, then any other keys in order of
    appearance; an empty cell for None) or as JSON (a list of objects), by the suffix. Returns why
    the file could not be written, or None."""
    import csv
    import json
    import math

    keys = list(columns)
    for row in rows:
        keys += [k for k in row if k not in keys]
    # JSON has no NaN: a value that could not be computed is null.
    clean = [{k: (None if isinstance(v, float) and not math.isfinite(v) else v) for k, v in row.items()} for row in rows]
    try:
        with open(path, "w", encoding="utf-8", newline="") as f:
            if str(path).lower().endswith(".json"):
                json.dump([{k: row.get(k) for k in keys} for row in clean], f, indent=1)
                f.write("\n")
            else:
                writer = csv.DictWriter(f, fieldnames=keys, restval="")
                writer.writeheader()
                writer.writerows({k: ("" if v is None else v) for k, v in row.items()} for row in clean)
    except OSError as err:
        return f"the results file {str(path)!r} could not be written ({err.strerror or err})"
    return None


def table(rows: List[Tuple[str, str]]) -> str:
    width = max(len(k) for k, _ in rows)
    return "\n".join(f"{k.ljust(width)}  {v}" for k, v in rows)


def check_writable(path: "str | Path", what: str, inputs: Sequence[Any] = ()) -> Path:
    """``path`` as a Path when a file can be written there without touching ``inputs`` (files or
    folders the command reads); else a UserError naming ``what`` (the option), raised before any
    replay rather than after it."""
    p = Path(path)
    if p.is_dir():
        raise UserError(f"{what} {str(path)!r} is a folder; give a file name")
    target = p.resolve()
    for kept in (Path(i).resolve() for i in inputs if i):
        # A new file beside a recording's own files touches none of them; an existing one inside it would.
        if target == kept or (kept in target.parents and target.exists()):
            raise UserError(f"{what} {str(path)!r} would overwrite the input {str(kept)!r}; give another name")
    folder = p.parent
    if not folder.is_dir():
        raise UserError(f"{what} {str(path)!r}: the folder {str(folder)!r} does not exist")
    if not os.access(p if p.exists() else folder, os.W_OK):
        raise UserError(f"{what} {str(path)!r}: not writable")
    return p


def open_trajectory(path: str, inputs: Sequence[Any] = (), keep: bool = False, what: str = "-o") -> Any:
    """A `TumWriter` on ``path`` (keeping the poses when ``keep``), opened before the replay so that
    a bad path costs nothing."""
    from velk_odom.trajectory import TumWriter

    check_writable(path, what, inputs)
    try:
        return TumWriter(path, keep)
    except OSError as err:
        raise UserError(f"{what} {path!r}: {err.strerror or err}") from None


def plot_target(arg: Optional[str], default_name: str, inputs: Sequence[Any] = ()) -> Optional[str]:
    """The file ``--plot ARG`` writes: ``default_name`` inside ARG when ARG is a folder, ARG with
    .png added when it has no suffix, else ARG. Raises UserError, before any replay, for an image
    type matplotlib cannot write or a place that cannot be written."""
    if not arg:
        return None
    p = Path(arg)
    if p.is_dir():
        p = p / default_name
    elif not p.suffix:
        p = p.with_name(p.name + ".png")
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    types = FigureCanvasAgg.get_supported_filetypes()
    if p.suffix[1:].lower() not in types:
        raise UserError(f"--plot {arg!r}: unknown image type {p.suffix!r}; use one of {', '.join('.' + t for t in sorted(types))}")
    check_writable(p, "--plot", inputs)
    return str(p)


def save_plot(path: str, *args: Any, **kwargs: Any) -> Optional[str]:
    """`plot_trajectories`, returning why it failed (a full disk, a backend that cannot render that
    type) instead of raising, so that the rest of the summary is still shown."""
    try:
        plot_trajectories(path, *args, **kwargs)
    except (OSError, RuntimeError, ValueError) as err:
        return f"the plot {path!r} could not be written ({one_line(err)})"
    return None


def conclude(*problems: Optional[str]) -> int:
    """Exit status of a replay whose outputs are written and summary printed: 0 when no problem is
    given, else 1 after one line on stderr naming the problems (damage to the recording, no estimate,
    an output that failed)."""
    found = [p for p in problems if p]
    if not found:
        return 0
    print(f"velk-odom: error: {'; '.join(found)}", file=sys.stderr)
    return 1
