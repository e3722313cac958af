"""init_logging: filter, line format, colour, second call; engines are silent without it."""

import re
import subprocess
import sys

LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z (ERROR| WARN| INFO|DEBUG|TRACE) [\w:]+: ")


def run(code, env_extra=None):
    import os

    env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)


def test_second_call_fails_and_first_filter_stays():
    out = run("""
import velk_odom
velk_odom.init_logging()
try:
    velk_odom.init_logging("debug")
except ValueError as e:
    print("refused:", e)
""")
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "refused: a global default trace dispatcher has already been set"


def test_bad_filter_installs_nothing_and_a_later_call_may_succeed():
    out = run("""
import velk_odom
try:
    velk_odom.init_logging("velk_slam=loud")
except ValueError as e:
    print(str(e).startswith("level: "))
velk_odom.init_logging("warn")
print("installed")
""")
    assert out.stdout.split() == ["True", "installed"], out.stderr


def test_default_level_argument():
    out = run("import velk_odom; print(velk_odom.init_logging.__text_signature__); print(velk_odom.init_logging())")
    assert out.stdout.split("\n")[:2] == ['(level="info", writer=None)', "None"]
    assert "stderr" in __import__("velk_odom").init_logging.__doc__


def test_line_pattern_is_importable():
    # The engines' own tests check their lines against this pattern; keep it exercised here.
    assert LINE.match("2026-12-06T21:48:21.123456Z  WARN velk_slam::odometry_fusion: dropped x=1")


def test_a_python_writer_takes_each_line_and_its_failures_never_reach_the_engine():
    out = run("""
import velk_odom
lines = []
def writer(line):
    lines.append(line)
    if len(lines) == 1:
        fusion.report()  # logs from inside the writer: dropped, not written again
    if len(lines) in (2, 3):
        raise OSError(f"disk full {len(lines)}")
try:
    velk_odom.init_logging(writer=5)
except TypeError as e:
    print(e)
velk_odom.init_logging(writer)
fusion = velk_odom.OdometryFusion()
for _ in range(4):
    fusion.report()
print(len(lines), sum("\\x1b" in l for l in lines))  # no colour codes for a writer
print(lines[0], end="")
""")
    assert out.returncode == 0, out.stderr
    refusal, counts, line = out.stdout.split("\n")[:3]
    assert refusal == "argument 'writer': expected a callable or None, got int"
    assert counts == "4 0" and LINE.match(line) and "odometry fusion counters imu_samples=0" in line
    assert "disk full 2" in out.stderr and "disk full 3" not in out.stderr  # the first failure is reported
