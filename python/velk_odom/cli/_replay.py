"""The replay that `velk-odom fuse` and `velk-odom vo` share: open the recording, settle the
configuration, stream the recording's messages through the engine, write what it publishes, and
report. Each command plugs its engine's own parts into `Replay`.

numpy and the plotting stack are imported when a replay runs, not with this module, so that the
command line can still say which package is missing.
"""

from __future__ import annotations

import argparse
import shutil
import sys
from pathlib import Path
from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple

from velk_odom.cli._bagout import BagStream, check_copy_input, check_output_bag
from velk_odom.cli._config import check_keys, dump_yaml, load_config_file
from velk_odom.cli._errors import UserError, one_line
from velk_odom.cli._output import (
    RESULT_COLUMNS,
    EngineLog,
    Progress,
    aligned_track,
    check_rpe_delta,
    conclude,
    describe_evaluation,
    engine_counters,
    format_counters,
    open_trajectory,
    plot_target,
    results_target,
    save_plot,
    table,
    write_results,
)
from velk_odom.cli._open import open_recording
from velk_odom.cli._recording import Message, load_ground_truth, static_topics, static_transforms
from velk_odom.ros import TransformBuffer

PROPOSED = "proposed configuration"

Row = Tuple[str, str]  # a summary line: (label, text)
Track = Tuple[str, Any, Any]  # (label, stamps ns, poses N x 7)
Curve = Tuple[str, Any, Any]  # (label, stamps ns, position error m)


def add_window_arguments(p: argparse.ArgumentParser) -> None:
    """--start and --duration: a stretch of the recording, in seconds of recording time from its start."""
    p.add_argument("--start", type=float, default=0.0, metavar="SECONDS", help="replay from this many seconds after the recording's start (default 0)")
    p.add_argument("--duration", type=float, metavar="SECONDS", help="replay this many seconds of the recording (default: to its end)")


def warn_refused(topic: str, err: BaseException) -> None:
    """The warning for the first message of ``topic`` that its conversion refused."""
    print(f"velk-odom: warning: a message on {topic} was refused ({one_line(err)}); such messages are "
          "counted in the summary", file=sys.stderr)


class Replay:
    """One replay of ``args.recording`` through an engine; `run` is the whole of it, step by step.

    A subclass supplies the engine's parts: `propose` and `plan` (its configuration and how the
    recording's topics feed it), `start` (the engine), `topics` and `feed` (what is streamed and what
    each message does), and what the summary says (`inputs_summary`, `outputs_summary`, `compare`,
    `why_no_estimate`). The steps hand on what they settle as attributes: ``bag``, ``reference``,
    ``config`` and its ``source`` (the file, or `PROPOSED`, as messages name it), ``output``,
    ``plot``, ``keep`` and ``engine``.
    """

    command = ""  # the subcommand: the progress bar, the plot title, the proposal's file name
    output_suffix = ""  # default outputs <recording><suffix>.tum and .png
    track_label = ""  # the estimate's label in the summary and the plot
    labelled_comparisons = False  # each comparison names its track (a replay that compares several)
    config_keys: Mapping[str, Any] = {}
    counter_names: Sequence[str] = ()

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args

    def run(self) -> int:
        """Returns the exit status; a user mistake raises UserError before anything is written."""
        reference = load_ground_truth(self.args.ground_truth)
        check_output_bag(self.args)
        check_rpe_delta(self.args)
        self.check_arguments()
        with open_recording(self.args.recording) as self.bag:
            self.reference, self.reference_source = self.find_reference(reference)
            self.window = self.recording_window()
            tf = static_transforms(self.bag)
            text = self.settle_configuration(tf)
            if self.args.print_config:
                sys.stdout.write(text)
                return 0
            if not self.args.config:
                print(f"configuration proposed for {self.bag.path.name}; --print-config prints it with the reason for each choice")
            self.choose_outputs()
            self.engine = self.start(tf)
            trajectory, counters = self.replay()
            kept = self.kept(trajectory)
            bag_messages, bag_failed = self.write_output_bag()
        self.no_estimate = None if trajectory.count else self.why_no_estimate(counters)
        summary, plot_failed = self.summarise(trajectory, kept, counters, bag_messages)
        results_failed = None
        if self.results is not None:
            results_failed = write_results(self.results, self.result_rows, RESULT_COLUMNS)
            summary.append(("results", str(self.results) if results_failed is None else "not written"))
        print(table(summary))
        if self.interrupted_at is not None:
            written = ", ".join(p for p in (self.output, self.args.output_bag, None if plot_failed else self.plot,
                                            None if results_failed else self.results) if p)
            print(f"velk-odom: interrupted {self.interrupted_at:.1f} s into the recording; {written} hold what was made until then",
                  file=sys.stderr)
            return 130
        no_estimate = f"no estimate was published ({self.no_estimate}); {self.output} is empty" if self.no_estimate else None
        return conclude(self.bag.damage, no_estimate, bag_failed, plot_failed, results_failed)

    # ---- the steps ----

    def check_arguments(self) -> None:
        """Refuse option values the parser cannot judge (UserError)."""

    def find_reference(self, given: Any) -> Tuple[Any, Optional[str]]:
        """The ground truth and where it came from: --ground-truth, else a dataset folder's own, else
        the TUM file beside a bag (``<bag>_ground_truth.tum``, as `eval` finds it); (None, None)
        without any."""
        from velk_odom.cli._batch import ground_truth_of

        self.reference_file = self.args.ground_truth
        if given is not None:
            return given, self.args.ground_truth
        own = getattr(self.bag, "ground_truth", None)
        if own is not None:
            return own, f"the {self.bag.kind}'s own"
        beside = ground_truth_of(str(self.args.recording))
        if beside is not None:
            self.reference_file = beside
            return load_ground_truth(beside), beside
        return None, None

    def alignment(self) -> str:
        """The alignment of the comparisons: --align, else `default_alignment`."""
        return self.args.align or self.default_alignment()

    def default_alignment(self) -> str:
        return "rigid"
    def recording_window(self) -> Optional[Tuple[int, int]]:
        """The record times (ns) that --start and --duration keep, both ends included; None for the
        whole recording."""
        start, duration = self.args.start, self.args.duration
        if start == 0.0 and duration is None:
            return None
        if not (start >= 0.0 and start < float("inf")):
            raise UserError(f"--start must be a number of seconds of at least 0, got {start}")
        if duration is not None and not (duration > 0.0 and duration < float("inf")):
            raise UserError(f"--duration must be a number of seconds above 0, got {duration}")
        if start >= self.bag.duration_s:
            raise UserError(f"--start {start:g} s is past the end of the recording ({self.bag.duration_s:.1f} s long)")
        begin = self.bag.start_ns + round(start * 1e9)
        return begin, (self.bag.end_ns if duration is None else begin + round(duration * 1e9))

    def settle_configuration(self, tf: TransformBuffer) -> str:
        """``config`` from the --config file (its keys checked) or proposed for the recording, and the
        recording's topics planned against it; returns the YAML that --print-config shows."""
        if self.args.config:
            self.config = load_config_file(self.args.config)
            check_keys(self.config, self.config_keys, self.args.config)
            self.source, notes = self.args.config, []
        else:
            self.config, notes = self.propose(tf)
            self.source = PROPOSED
        self.plan(tf)
        if self.args.config:
            return dump_yaml(self.config)
        name = f"{self.command}.yaml"
        hint = f"configuration proposed for {self.bag.path.name}; save it with --print-config > {name}, edit, pass --config {name}"
        return dump_yaml(self.config, [hint, ""] + notes)

    def choose_outputs(self) -> None:
        """``output`` (the TUM file) and ``plot`` (the image, or None), refused before the replay when
        they cannot be written or would overwrite an input."""
        stem = self.bag.path.stem or "recording"
        self.output = self.args.output or f"{stem}{self.output_suffix}.tum"
        self.inputs = [self.bag.path, self.args.config, self.reference_file]
        check_copy_input(self.args, self.bag)
        self.plot = plot_target(self.args.plot, f"{stem}{self.output_suffix}.png", self.inputs + [self.output])
        self.results = results_target(self.args.results, self.inputs + [self.output, self.plot])
        self.result_rows: List[Dict[str, Any]] = []
        # The poses stay in memory only when something compares, draws or re-writes them.
        self.keep = self.reference is not None or self.plot is not None or self.results is not None

    def new_engine(self, engine_type: Any, config: Dict[str, Any], **kwargs: Any) -> Any:
        """``engine_type(config, **kwargs)``; a configuration the engine refuses is a UserError naming
        ``source``."""
        try:
            return engine_type(config, **kwargs)
        except (TypeError, ValueError) as err:
            raise UserError(f"{self.source}: {err}") from None

    def replay(self) -> Tuple[Any, Optional[Dict[str, int]]]:
        """Stream the planned topics through the engine in the chosen order, each published estimate
        written to ``output`` as it comes; returns the `TumWriter` and the engine's counters. An
        interrupt (Ctrl-C) ends the stream: ``interrupted_at`` says where, and the run writes its
        outputs from what was made until then."""
        from velk_odom import _native
        from velk_odom.trajectory import StampedPose

        topics = self.topics()
        self.interrupted_at: Optional[float] = None
        window = self.window
        latched = set(static_topics(self.bag))  # /tf_static holds for the whole recording: kept whatever the window
        self.bag_out = BagStream(self.args) if self.args.output_bag else None
        with open_trajectory(self.output, self.inputs, keep=self.keep) as trajectory, EngineLog(self.args.log) as log:
            total = sum(self.bag.counts.get(t, 0) for t in topics)
            progress = Progress(total, self.command, enabled=not self.args.no_progress, console=log.console)
            at = self.bag.start_ns
            try:
                for m in self.bag.messages(topics, self.args.order):
                    at = m.record_ns
                    progress.update()
                    if window is not None and m.topic not in latched:
                        if m.record_ns < window[0]:
                            continue
                        if m.record_ns > window[1]:
                            break
                    for estimate in self.feed(m):
                        trajectory.write(StampedPose.of(estimate))
                        if self.bag_out is not None:
                            self.bag_out.write(estimate)
            except KeyboardInterrupt:
                self.interrupted_at = max(0, at - self.bag.start_ns) * 1e-9
            except _native.PanicException as err:
                # Refused at first use: no output from a configuration the engine would not run.
                trajectory.close()
                if self.bag_out is not None:
                    self.bag_out.close()
                    shutil.rmtree(self.args.output_bag, ignore_errors=True)
                    self.bag_out = None
                Path(self.output).unlink(missing_ok=True)
                raise UserError(f"{self.source}: the engine refused the configuration: {err}; fix it in the configuration") from None
            except BaseException:
                if self.bag_out is not None:  # an interrupted replay keeps the bag it wrote so far
                    self.bag_out.close()
                raise
            finally:
                progress.close()
            counters = engine_counters(self.engine, self.counter_names)
        return trajectory, counters

    def kept(self, trajectory: Any) -> Any:
        """The poses written, as a `Trajectory` (empty when they were not kept)."""
        from velk_odom.trajectory import Trajectory

        return trajectory.kept if trajectory.kept is not None else Trajectory()

    def write_output_bag(self) -> Tuple[int, Optional[str]]:
        """--output-bag: closes the bag the estimates were streamed into, with --copy-input after adding
        the recording's topics (read on past damage); returns the messages written and what went wrong
        (or None), so that the summary is still shown."""
        if self.bag_out is None:
            return 0, None
        try:  # the copy reads the open recording again: damage it meets joins the recording's `damage`
            return self.bag_out.close(self.bag if self.args.copy_input else None), None
        except (UserError, OSError) as err:
            return self.bag_out.count, f"--output-bag {self.args.output_bag!r} could not be written ({err})"

    def summarise(self, trajectory: Any, kept: Any, counters: Optional[Dict[str, int]], bag_messages: int) -> Tuple[List[Row], Optional[str]]:
        """The summary lines, with the comparisons against ``reference`` and the plot made on the way;
        returns them and why the plot could not be written (or None)."""
        bag = self.bag
        summary = [("recording", f"{bag.path} ({bag.kind}, {bag.duration_s:.1f} s, {sum(bag.counts.values())} messages)")]
        summary += [("note", note) for note in getattr(bag, "notes", [])]  # what a dataset folder's reading left out
        if self.window is not None:
            begin, end = ((t - bag.start_ns) * 1e-9 for t in self.window)
            summary.append(("window", f"{begin:.1f} s to {min(end, bag.duration_s):.1f} s of the recording"))
        summary += self.inputs_summary()
        summary.append(("engine counters", format_counters(counters, self.counter_names)))
        summary += self.outputs_summary(trajectory)
        tracks = [(self.track_label, *kept.arrays())] + self.other_tracks()
        curves: List[Curve] = []
        if self.reference is not None:
            summary.append(("ground truth", str(self.reference_source)))
            rows, curves = self.compare(tracks)
            summary += rows
        else:
            self.result_rows = [self.result_row(label, poses, "no ground truth") for label, _, poses in tracks]
        plot_failed = None
        if self.plot is not None:
            plot_failed = self.draw(tracks, curves)
            summary.append(("plot", self.plot if plot_failed is None else "not written"))
        if self.args.output_bag:
            summary.append(("output bag", f"{self.args.output_bag} ({self.args.bag_storage}, {bag_messages} messages)"))
        return summary, plot_failed

    def compare(self, tracks: List[Track]) -> Tuple[List[Row], List[Curve]]:
        """Summary lines and error curves of each track against ``reference``; the result rows."""
        from velk_odom.trajectory import evaluate

        rows: List[Row] = []
        curves: List[Curve] = []
        for label, stamps, poses in tracks:
            name = f"vs ground truth [{label}]" if self.labelled_comparisons else "vs ground truth"
            if len(stamps) == 0:
                rows.append((name, "no poses"))
                self.result_rows.append(self.result_row(label, poses, "no poses"))
                continue
            try:
                ev = evaluate((stamps, poses), self.reference, align=self.alignment(), delta_s=self.args.rpe_delta)
            except ValueError as e:
                rows.append((name, str(e)))
                self.result_rows.append(self.result_row(label, poses, str(e)))
                continue
            rows.append((name, describe_evaluation(ev)))
            self.result_rows.append({**self.result_row(label, poses, None), **ev.as_row()})
            curves.append((f"{label} ({ev.align} alignment)" if ev.align != "rigid" else label, ev.stamps, ev.errors))
        return rows, curves

    def result_row(self, label: str, poses: Any, error: Optional[str]) -> Dict[str, Any]:
        from velk_odom.trajectory import path_length

        return {"command": self.command, "recording": str(self.args.recording), "trajectory": label,
                "poses": len(poses), "path_m": path_length(poses) if len(poses) else 0.0, "error": error}

    def draw(self, tracks: List[Track], curves: List[Curve]) -> Optional[str]:
        """The plot; returns why it could not be written, or None."""
        reference_track = None
        if self.reference is not None:
            # Each trajectory drawn in the reference's frame, by its own alignment.
            reference_track = ("ground truth", *self.reference)
            tracks = [aligned_track(track, self.reference, self.alignment()) for track in tracks]
        empty = f"no estimate: {self.no_estimate}" if self.no_estimate else None
        return save_plot(self.plot, f"velk-odom {self.command} {self.bag.path.name}", tracks, reference_track, curves,
                         gravity_up=self.gravity_known(), empty_reason=empty)

    # ---- the engine's parts ----

    def propose(self, tf: TransformBuffer) -> Tuple[Dict[str, Any], List[str]]:
        """A configuration for the recording, and the notes that explain it."""
        raise NotImplementedError

    def plan(self, tf: TransformBuffer) -> None:
        """Check ``config`` against the recording and settle what each topic feeds (UserError)."""
        raise NotImplementedError

    def start(self, tf: TransformBuffer) -> Any:
        """The engine, made from ``config`` and ready for the first message."""
        raise NotImplementedError

    def topics(self) -> List[str]:
        """The topics streamed to `feed`."""
        raise NotImplementedError

    def feed(self, m: Message) -> Iterator[Any]:
        """Hand one message to the engine; yields the estimates it publishes."""
        raise NotImplementedError

    def inputs_summary(self) -> List[Row]:
        """Summary lines above the engine counters: what was fed."""
        return []

    def outputs_summary(self, trajectory: Any) -> List[Row]:
        """Summary lines below the engine counters: what was written."""
        return []

    def other_tracks(self) -> List[Track]:
        """Trajectories compared and drawn beside the estimate."""
        return []

    def gravity_known(self) -> bool:
        """Whether the estimate's odometry frame has z up (the plot then draws its x-y plane)."""
        return False

    def why_no_estimate(self, counters: Optional[Dict[str, int]]) -> str:
        """Why nothing was published, in one phrase for the closing line."""
        raise NotImplementedError
