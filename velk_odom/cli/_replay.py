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
from contextlib import nullcontext
from pathlib import Path
from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple

from velk_odom.cli import _bagout
from velk_odom.cli._config import check_keys, dump_yaml, load_config_file
from velk_odom.cli._errors import UserError, one_line
from velk_odom.cli._output import (
    EngineLog,
    Progress,
    aligned_track,
    conclude,
    engine_counters,
    format_counters,
    open_trajectory,
    plot_target,
    save_plot,
    table,
)
from velk_odom.cli._recording import Message, load_ground_truth, open_recording, static_transforms
from velk_odom.ros import TransformBuffer

PROPOSED = "proposed configuration"

Row = Tuple[str, str]  # a summary line: (label, text)
Track = Tuple[str, Any, Any]  # (label, stamps ns, poses N x 7)
Curve = Tuple[str, Any, Any]  # (label, seconds, position error m)


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
    config_keys: Mapping[str, Any] = {}
    counter_names: Sequence[str] = ()

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args

    def run(self) -> int:
        """Returns the exit status; a user mistake raises UserError before anything is written."""
        reference = load_ground_truth(self.args.ground_truth)
        _bagout.check(self.args)
        self.check_arguments()
        with open_recording(self.args.recording) as self.bag:
            self.reference = reference if reference is not None else getattr(self.bag, "ground_truth", None)  # a dataset's own
            tf = static_transforms(self.bag)
            text = self.settle_configuration(tf)
            if self.args.print_config:
                sys.stdout.write(text)
                return 0
            if not self.args.config:
                sys.stdout.write(text + "\n")
            self.choose_outputs()
            self.engine = self.start(tf)
            trajectory, counters = self.replay()
        kept = self.kept(trajectory)
        bag_messages = self.write_output_bag()
        summary, plot_failed = self.summarise(trajectory, kept, counters, bag_messages)
        print(table(summary))
        no_estimate = None if trajectory.count else f"no estimate was published ({self.why_no_estimate(counters)}); {self.output} is empty"
        return conclude(self.bag.damage, no_estimate, plot_failed)

    # ---- the steps ----

    def check_arguments(self) -> None:
        """Refuse option values the parser cannot judge (UserError)."""

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
        self.inputs = [self.bag.path, self.args.config, self.args.ground_truth]
        self.plot = plot_target(self.args.plot, f"{stem}{self.output_suffix}.png", self.inputs + [self.output])
        # The poses stay in memory only when something compares, draws or re-writes them.
        self.keep = self.reference is not None or self.plot is not None

    def new_engine(self, engine_type: Any, config: Dict[str, Any], **kwargs: Any) -> Any:
        """``engine_type(config, **kwargs)``; a configuration the engine refuses is a UserError naming
        ``source``."""
        try:
            return engine_type(config, **kwargs)
        except (TypeError, ValueError) as err:
            raise UserError(f"{self.source}: {err}") from None

    def replay(self) -> Tuple[Any, Optional[Dict[str, int]]]:
        """Stream the planned topics through the engine in the chosen order, each published estimate
        written to ``output`` as it comes (so an interrupted run keeps what it made); returns the
        `TumWriter` and the engine's counters."""
        from velk_odom import _native
        from velk_odom.trajectory import StampedPose

        topics = self.topics()
        self.bag_out = _bagout.BagStream(self.args) if self.args.output_bag else None
        with open_trajectory(self.output, self.inputs, keep=self.keep) as trajectory, EngineLog(self.args.log) as log:
            total = sum(self.bag.counts.get(t, 0) for t in topics)
            progress = Progress(total, self.command, enabled=not self.args.no_progress, console=log.console)
            try:
                for m in self.bag.messages(topics, self.args.order):
                    progress.update()
                    for estimate in self.feed(m):
                        trajectory.write(StampedPose.of(estimate))
                        if self.bag_out is not None:
                            self.bag_out.write(estimate)
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

    def write_output_bag(self) -> int:
        """--output-bag: closes the bag the estimates were streamed into, with --copy-input after
        adding the recording's topics; returns the messages written."""
        if self.bag_out is None:
            return 0
        with (open_recording(self.args.recording) if self.args.copy_input else nullcontext()) as copied:
            return self.bag_out.close(copied)

    def summarise(self, trajectory: Any, kept: Any, counters: Optional[Dict[str, int]], bag_messages: int) -> Tuple[List[Row], Optional[str]]:
        """The summary lines, with the comparisons against ``reference`` and the plot made on the way;
        returns them and why the plot could not be written (or None)."""
        bag = self.bag
        summary = [("recording", f"{bag.path} ({bag.kind}, {bag.duration_s:.1f} s, {sum(bag.counts.values())} messages)")]
        summary += self.inputs_summary()
        summary.append(("engine counters", format_counters(counters, self.counter_names)))
        summary += self.outputs_summary(trajectory)
        tracks = [(self.track_label, *kept.arrays())] + self.other_tracks()
        curves: List[Curve] = []
        if self.reference is not None:
            rows, curves = self.compare(tracks)
            summary += rows
        plot_failed = None
        if self.plot is not None:
            plot_failed = self.draw(tracks, curves)
            summary.append(("plot", self.plot if plot_failed is None else "not written"))
        if self.args.output_bag:
            summary.append(("output bag", f"{self.args.output_bag} ({self.args.bag_storage}, {bag_messages} messages)"))
        return summary, plot_failed

    def draw(self, tracks: List[Track], curves: List[Curve]) -> Optional[str]:
        """The plot; returns why it could not be written, or None."""
        reference_track = None
        if self.reference is not None:
            # Each trajectory drawn in the reference's frame, by its own alignment.
            reference_track = ("ground truth", *self.reference)
            tracks = [aligned_track(track, self.reference) for track in tracks]
        return save_plot(self.plot, f"velk-odom {self.command} {self.bag.path.name}", tracks, reference_track, curves)

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

    def compare(self, tracks: List[Track]) -> Tuple[List[Row], List[Curve]]:
        """Summary lines and error curves against ``reference``."""
        return [], []

    def why_no_estimate(self, counters: Optional[Dict[str, int]]) -> str:
        """Why nothing was published, in one phrase for the closing line."""
        raise NotImplementedError
