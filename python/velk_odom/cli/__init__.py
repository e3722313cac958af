"""The `velk-odom` command: replay recordings through the engines, compare with ground truth, and a
demo that runs out of the box.

    velk-odom demo                      simulated drive fused end to end, summary and plot
    velk-odom fuse RECORDING            a ROS 1/ROS 2 bag through OdometryFusion, TUM output
    velk-odom vo RECORDING              a ROS 1/ROS 2 bag through CuvslamOdometry, TUM output
    velk-odom eval RECORDINGS...        one configuration over many recordings, errors per recording
    velk-odom tune RECORDINGS...        the configuration that fits the recordings' ground truth best
    velk-odom plot TRAJECTORIES...      several TUM trajectories in one figure, scored against one ground truth
    velk-odom info RECORDING            a recording's topics, message types, counts and rates
    velk-odom node --config FILE        the engines as a live ROS 2 node (`ros` extra)
    velk-odom play RECORDING            a recording published onto a live ROS 2 graph (`ros` extra)

Needs the `tools` extra: ``pip install ".[tools]"`` from a checkout. A mistake the user can fix ends with one
line "velk-odom: error: ..." on stderr and exit status 2. A replay that damage to the recording cut
short, or that published no estimate, writes what it made, prints its summary and ends with one such
line and exit status 1.
"""

from __future__ import annotations

import argparse
import sys
from typing import List, NoReturn, Optional

from velk_odom.cli._errors import UserError

__all__ = ["UserError", "main"]

# Modules of the `tools` extra, with the package that provides each.
_TOOL_PACKAGES = {
    "numpy": "numpy",
    "matplotlib": "matplotlib",
    "yaml": "pyyaml",
    "rosbags": "rosbags",
    "tqdm": "tqdm",
    "PIL": "pillow",
}


class _Parser(argparse.ArgumentParser):
    """Usage mistakes end, like every user error, with one line and status 2."""

    def error(self, message: str) -> "NoReturn":  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _parser() -> argparse.ArgumentParser:
    from velk_odom.cli import _demo, _fuse, _vo

    parser = _Parser(
        prog="velk-odom",
        description="Replay recordings through velk_odom's odometry engines.",
    )
    from velk_odom import __version__

    parser.add_argument("--version", action="version", version=f"velk-odom {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True
    demo = sub.add_parser("demo", help="fuse a simulated drive (no files needed); writes velk_odom_demo.tum and .png")
    _demo.add_arguments(demo)
    demo.set_defaults(func=_demo.run)
    fuse = sub.add_parser("fuse", help="replay a recording's IMU and odometry topics through OdometryFusion")
    _fuse.add_arguments(fuse)
    fuse.set_defaults(func=_fuse.run)
    vo = sub.add_parser("vo", help="replay a recording's camera topics through CuvslamOdometry")
    _vo.add_arguments(vo)
    vo.set_defaults(func=_vo.run)
    from velk_odom.cli import _batch

    ev = sub.add_parser("eval", help="replay many recordings with one configuration: ATE, RPE and counters per recording")
    _batch.add_eval_arguments(ev)
    ev.set_defaults(func=_batch.run_eval)
    from velk_odom.cli import _plotcmd

    plot = sub.add_parser("plot", help="draw several TUM trajectories in one figure and score each against one ground truth")
    _plotcmd.add_arguments(plot)
    plot.set_defaults(func=_plotcmd.run)
    tune = sub.add_parser("tune", help="search configuration keys for the lowest error against the recordings' ground truth")
    _batch.add_tune_arguments(tune)
    tune.set_defaults(func=_batch.run_tune)
    from velk_odom.cli import _info

    info = sub.add_parser("info", help="list a recording's topics with their message types, counts and rates")
    _info.add_arguments(info)
    info.set_defaults(func=_info.run)
    from velk_odom.cli import _node, _play

    node = sub.add_parser("node", help="run the engines as a ROS 2 node on a live graph (arguments after --ros-args go to ROS)")
    _node.add_arguments(node)
    node.set_defaults(func=_node.run)
    play = sub.add_parser("play", help="publish a recording onto a live ROS 2 graph, paced by its own timing")
    _play.add_arguments(play)
    play.set_defaults(func=_play.run)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    """Run the command with ``argv`` (default: the process arguments); returns the exit status."""
    for stream in (sys.stdout, sys.stderr):
        # File names that are not valid UTF-8 (kept by Python as surrogates) print escaped, not as a
        # traceback, on a terminal that takes UTF-8 only.
        if getattr(stream, "errors", None) == "strict" and hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    argv = list(sys.argv[1:] if argv is None else argv)
    # Everything from --ros-args on is ROS's own (remappings, namespace, parameters).
    ros_args = argv[argv.index("--ros-args") + 1 :] if "--ros-args" in argv else []
    args = _parser().parse_args(argv[: len(argv) - len(ros_args) - (1 if "--ros-args" in argv else 0)])
    args.ros_args = ros_args
    try:
        return int(args.func(args))
    except UserError as err:
        print(f"velk-odom: error: {' '.join(str(err).split())}", file=sys.stderr)
        return err.status
    except ModuleNotFoundError as err:
        top = (err.name or "").split(".")[0]
        if top not in _TOOL_PACKAGES:
            raise
        print(
            f"velk-odom: error: this command needs the package {_TOOL_PACKAGES[top]!r}; "
            'install the tools extra (from a checkout: pip install ".[tools]")',
            file=sys.stderr,
        )
        return 2
    except OSError as err:
        where = f": {err.filename}" if err.filename else ""
        print(f"velk-odom: error: {err.strerror or err}{where}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("velk-odom: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
