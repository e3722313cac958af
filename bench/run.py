"""Benchmarks of velk_odom: one table of figures and ratios, each ratio measured side by side in one run.

    python bench/run.py                 # everything (builds the C++ benchmarks into build/bench first)
    python bench/run.py --no-cpp        # Python benchmarks only
    python bench/run.py --only fusion   # rows of benchmarks whose name contains "fusion"

The Python benchmarks (bench/bench_*.py, each with a rows() function) use the velk_odom installed in the
running interpreter. The C++ benchmarks (bench/cpp/*.cpp) print tab-separated rows. Nothing here asserts.
"""

import argparse
import glob
import importlib.util
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def cmeel_prefix():
    for p in sys.path:
        candidate = os.path.join(p, "cmeel.prefix")
        if os.path.isdir(candidate):
            return candidate
    return ""


def cpp_rows(only):
    build = os.path.join(ROOT, "build", "bench")
    configure = ["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DVELK_BUILD_BENCH=ON",
                 "-DVELK_BUILD_PYTHON=OFF", "-DVELK_BUILD_TESTS=OFF"]
    if cmeel_prefix():
        configure.append("-DCMAKE_PREFIX_PATH=" + cmeel_prefix())
    try:
        done = subprocess.run(configure, capture_output=True, text=True)
    except FileNotFoundError:
        print("bench: C++ benchmarks skipped: cmake is not installed (pip install cmake)", file=sys.stderr)
        return []
    if done.returncode != 0:
        if "Eigen3" in done.stderr:
            reason = "Eigen 3.4 is not installed (pip install cmeel-eigen, or apt-get install libeigen3-dev)"
        else:
            reason = "CMake could not configure them: " + (done.stderr.strip().splitlines() or ["no message"])[-1]
        print(f"bench: C++ benchmarks skipped: {reason}", file=sys.stderr)
        return []
    subprocess.run(["cmake", "--build", build, "-j", str(os.cpu_count() or 2)], check=True, stdout=subprocess.DEVNULL)
    rows = []
    for source in sorted(glob.glob(os.path.join(HERE, "cpp", "*.cpp"))):
        name = os.path.splitext(os.path.basename(source))[0]
        if only and only not in name:
            continue
        exe = os.path.join(build, "bench", name)
        out = subprocess.run([exe], check=True, capture_output=True, text=True).stdout
        for line in out.splitlines():
            parts = line.split("\t")
            if len(parts) >= 3:
                rows.append((parts[0], float(parts[1]), parts[2], parts[3] if len(parts) > 3 else ""))
    return rows


def python_rows(only):
    rows = []
    for path in sorted(glob.glob(os.path.join(HERE, "bench_*.py"))):
        name = os.path.splitext(os.path.basename(path))[0]
        if only and only not in name:
            continue
        spec = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        rows.extend(module.rows())
    return rows


def fmt(value):
    if value == 0 or 1e-3 <= abs(value) < 1e6:
        return f"{value:,.3f}".rstrip("0").rstrip(".")
    return f"{value:.3e}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--no-cpp", action="store_true", help="skip the C++ benchmarks")
    parser.add_argument("--only", default="", help="run benchmarks whose file name contains this text")
    args = parser.parse_args()
    try:
        import velk_odom._native  # noqa: F401
    except ImportError as e:
        sys.exit(f"bench: velk_odom._native cannot be imported ({e}); install the package into this interpreter (pip install .)")
    rows = python_rows(args.only)
    if not args.no_cpp:
        rows += cpp_rows(args.only)
    width = max((len(r[0]) for r in rows), default=10)
    print(f"{'figure':<{width}}  {'value':>14}  {'unit':<10} note")
    print("-" * (width + 40))
    for name, value, unit, note in rows:
        print(f"{name:<{width}}  {fmt(value):>14}  {unit:<10} {note}")


if __name__ == "__main__":
    main()
