"""`velk-odom fuse REC` with no configuration on simulated recordings with the conditions of real robots
(velk_odom.sim.CONDITIONS), each alone and all together: the final position error, in % of the distance
driven, of the fused trajectory against wheel odometry alone.

    python bench/bench_fusion_conditions.py                       # the velk_odom installed in this interpreter
    python bench/bench_fusion_conditions.py --baseline /other/tree  # also another tree's velk_odom, side by side

A velk_odom that cannot be imported, or a `fuse` run that fails, ends the benchmark with one line saying so
rather than scoring "no estimate".
"""

import argparse
import os
import subprocess
import sys
import tempfile

try:
    import velk_odom._native  # noqa: F401
except ImportError as e:
    sys.exit(f"bench: velk_odom._native cannot be imported ({e}); install the package into this interpreter (pip install .)")

from velk_odom.cli._simbag import DEFAULT_START_NS, write_sim_bag
from velk_odom.sim import CONDITIONS, UNDECLARED_MOUNTS, simulate
from velk_odom.trajectory import read_tum

DURATION_S = 60.0
SEED = 0
# What every case shares: sensor noise, biases and late delivery; no wheel scale error or slip unless
# the case brings it.
BASE = dict(wheel_scale_error=0.0, slip=False)


def cases():
    yield "none", {}
    yield from CONDITIONS.items()
    combined = {}
    for kw in CONDITIONS.values():
        combined.update(kw)
    yield "all together", combined


def _env(tree):
    """The environment of a `fuse` run: this interpreter's velk_odom (tree None) or the one in a source tree.
    The runs start in a temporary folder, so a relative PYTHONPATH is made absolute here."""
    if tree is not None:  # the package sits in python/ (at the top in trees before that move)
        package_root = os.path.join(tree, "python")
        return dict(os.environ, PYTHONPATH=package_root if os.path.isdir(os.path.join(package_root, "velk_odom")) else tree)
    paths = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(paths))


def check_importable(tree):
    done = subprocess.run([sys.executable, "-c", "import velk_odom._native"], capture_output=True, text=True,
                          env=_env(tree), cwd=tempfile.gettempdir())
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["no message"])[-1]
        sys.exit(f"bench: velk_odom._native cannot be imported from {tree or 'this interpreter'}: {last}")


def fused_drift(rec, bag, tree, out):
    done = subprocess.run([sys.executable, "-m", "velk_odom.cli", "fuse", str(bag), "-o", str(out), "--no-progress", "--log", "off"],
                          capture_output=True, text=True, env=_env(tree), cwd=os.path.dirname(out))
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["no message"])[-1]
        sys.exit(f"bench: velk-odom fuse {bag} failed with exit {done.returncode} ({tree or 'this interpreter'}): {last}")
    if not os.path.exists(out) or os.path.getsize(out) == 0:
        return None
    stamps, poses = read_tum(out)
    rows = [(int(t) - DEFAULT_START_NS, *p) for t, p in zip(stamps, poses)]
    return rec.drift(rows)


def measure(trees, duration_s=DURATION_S, seed=SEED, only=None):
    for tree in trees:
        check_importable(tree)
    results = []
    with tempfile.TemporaryDirectory() as tmp:
        for name, kw in cases():
            if only and not any(o in name for o in only):
                continue
            rec = simulate(duration_s, seed=seed, **dict(BASE, **kw))
            bag = write_sim_bag(rec, os.path.join(tmp, name.replace(" ", "_")), "ros2-sqlite3",
                                with_tf_static=rec.base_from_imu not in UNDECLARED_MOUNTS)
            distance = rec.distance_travelled()
            wheel = rec.drift([(w.timestamp_ns, *w.translation, *w.rotation_xyzw) for w in rec.wheel_estimates])
            fused = [fused_drift(rec, bag, tree, os.path.join(tmp, f"{name.replace(' ', '_')}_{i}.tum")) for i, tree in enumerate(trees)]
            results.append((name, distance, wheel, fused))
    return results


def _pct(err, distance):
    return "no estimate" if err is None else f"{100.0 * err / distance:.2f} %"


def rows():
    out = []
    for name, distance, wheel, (fused,) in measure([None]):
        out.append((f"fuse proposed, {name}", 100.0 * fused / distance if fused is not None else float("nan"), "% of distance",
                    f"wheel only {_pct(wheel, distance)}"))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--baseline", metavar="TREE", help="a source tree (PYTHONPATH) whose velk_odom runs beside this one")
    ap.add_argument("--duration", type=float, default=DURATION_S)
    ap.add_argument("--seed", type=int, nargs="+", default=[SEED], help="one or more seeds, each a column")
    ap.add_argument("--only", nargs="+", metavar="TEXT", help="only the conditions whose name holds one of these")
    args = ap.parse_args()
    trees = [None] + ([args.baseline] if args.baseline else [])
    header = ["seed", "condition", "driven", "proposed", "wheel only"] + (["baseline"] if args.baseline else [])
    print("  ".join(f"{h:>22}" for h in header))
    for seed in args.seed:
        for name, distance, wheel, fused in measure(trees, args.duration, seed, args.only):
            cells = [str(seed), name, f"{distance:.1f} m", _pct(fused[0], distance), _pct(wheel, distance)]
            cells += [_pct(f, distance) for f in fused[1:]]
            print("  ".join(f"{c:>22}" for c in cells), flush=True)


if __name__ == "__main__":
    main()
