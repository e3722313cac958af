"""What the commands show: the engines' counters, the progress bar and the trajectory plot."""

from __future__ import annotations

import os
import re
import sys
import tempfile
import threading
from pathlib import Path
from collections import Counter
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from velk_odom.cli._errors import UserError, one_line

FUSION_COUNTERS = ("imu_samples", "measurements", "gated", "replayed", "too_late", "non_finite_imu", "stale_poses", "gate_resets", "held_back", "buffer_overflow", "reinitialized")

_ANSI = re.compile(r"\x1b\[[0-9;]*m")
_FIELD = re.compile(r"\b([a-z_]+)=(\d+)\b")

_LEVEL_RANK = {"ERROR": 1, "WARN": 2, "INFO": 3, "DEBUG": 4, "TRACE": 5}
_BARE_BELOW_INFO = {"off": 0, "error": 1, "warn": 2}
_LINE_LEVEL = re.compile(r"^\S+\s+(TRACE|DEBUG|INFO|WARN|ERROR)\s")


class EngineLog:
    """The engines' log on stderr at the user's ``level``, with their counter reports still readable.

    The engines have one process-wide log filter, and the counter report is an info event. For a bare
    level below info (off, error, warn) the filter is therefore opened to info and fd 2 goes through a
    pipe whose reader forwards only the lines at the user's level (and anything that is not a log
    line). ``console`` is the real stderr, for the progress bar. Other filters are installed as given.
    Raises UserError for a filter that does not parse.
    """

    def __init__(self, level: str, summarise_warnings: bool = False) -> None:
        self.level = level
        # Expected warnings (a demo's) are counted by message in `warnings` instead of printed.
        self.summarise_warnings = summarise_warnings
        self.warnings: Counter = Counter()
        self.console: Any = sys.stderr
        self._saved: Optional[int] = None
        self._thread: Optional[threading.Thread] = None

    def __enter__(self) -> "EngineLog":
        from velk_odom._native import init_logging

        if not sys.stderr.isatty():
            os.environ.setdefault("NO_COLOR", "1")  # no colour codes in a file or a pipe
        keep = _BARE_BELOW_INFO.get(self.level)
        directive = self.level if keep is None else "info"
        try:
            init_logging(directive)
        except ValueError as err:
            if str(err).startswith("level: "):
                raise UserError(
                    f"--log {self.level!r}: {err}; give a level such as warn or info, or a filter such as velk_slam=debug"
                ) from None
            return self  # a logger was installed earlier in this process; it stays as it is
        if keep is None:
            return self
        sys.stderr.flush()
        self._saved = os.dup(2)
        read_end, write_end = os.pipe()
        os.dup2(write_end, 2)
        os.close(write_end)
        self.console = os.fdopen(os.dup(self._saved), "w", buffering=1)
        self._thread = threading.Thread(target=self._forward, args=(read_end, keep), daemon=True)
        self._thread.start()
        return self

    def _forward(self, read_end: int, keep: int) -> None:
        assert self._saved is not None
        with os.fdopen(read_end, "rb") as source:
            for raw in source:
                text = _ANSI.sub("", raw.decode("utf-8", errors="replace"))
                match = _LINE_LEVEL.match(text)
                if match is not None and match.group(1) == "WARN" and self.summarise_warnings:
                    self.warnings[_message_of(text)] += 1
                elif match is None or _LEVEL_RANK[match.group(1)] <= keep:
                    os.write(self._saved, raw)

    def __exit__(self, *exc: Any) -> None:
        if self._saved is None:
            return
        sys.stderr.flush()
        os.dup2(self._saved, 2)  # closes the pipe's last write end: the reader sees its end
        if self._thread is not None:
            self._thread.join(timeout=5.0)
        self.console.close()
        os.close(self._saved)
        self._saved = None
        self.console = sys.stderr


_WARN_TEXT = re.compile(r"WARN\s+\S+:\s*(.*?)(?:\.\s|\s[a-z_]+=|$)")


def _message_of(line: str) -> str:
    """A warning line's message: its first sentence, without the target and the fields."""
    match = _WARN_TEXT.search(line.strip())
    return match.group(1).strip() if match else line.strip()


def format_warnings(warnings: Counter) -> str:
    if not warnings:
        return "none"
    return f"{sum(warnings.values())}: " + "; ".join(f"{msg} ({n})" for msg, n in warnings.most_common())


def engine_counters(engine: Any, names: Sequence[str] = FUSION_COUNTERS) -> Optional[Dict[str, int]]:
    """The counters of an engine, read from the line its ``report()`` logs to stderr (fd 2 is
    redirected to a temporary file for the call). None when the line cannot be read."""
    counters = getattr(engine, "counters", None)
    if callable(counters):
        return {k: int(v) for k, v in dict(counters()).items()}
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        with tempfile.TemporaryFile() as tmp:
            os.dup2(tmp.fileno(), 2)
            try:
                engine.report()
            finally:
                os.dup2(saved, 2)
            tmp.seek(0)
            text = _ANSI.sub("", tmp.read().decode("utf-8", errors="replace"))
    finally:
        os.close(saved)
    found = {k: int(v) for k, v in _FIELD.findall(text) if k in names}
    return found if all(k in found for k in names) else None


def format_counters(counters: Optional[Dict[str, int]], names: Sequence[str] = FUSION_COUNTERS) -> str:
    if counters is None:
        return "unavailable (another log subscriber was installed before this command)"
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
    spans: Sequence[Tuple[str, float, float]] = (),
) -> None:
    """Save a PNG (see `_plot.plot_run`). Without a reference, the tracks after the first (raw
    odometry) are drawn anchored at the first track's pose at their start."""
    from velk_odom.cli._plot import anchored_at_start, plot_run

    if reference is None and len(tracks) > 1:
        tracks = [tracks[0]] + [anchored_at_start(t, tracks[0]) for t in tracks[1:]]
    plot_run(path, title, tracks, reference, errors, spans)


def aligned_track(track: Track, reference: Tuple[Any, Any]) -> Track:
    """The track mapped into the reference's frame by its own rigid alignment (for drawing both in
    one plot); unchanged when no pose matches the reference in time."""
    from velk_odom.trajectory import alignment, apply_alignment

    label, stamps, poses = track
    try:
        rot, trans, scale = alignment((stamps, poses), reference)
    except ValueError:
        return track
    return f"{label} (aligned)", stamps, apply_alignment(poses, rot, trans, scale)


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
