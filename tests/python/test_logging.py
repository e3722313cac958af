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
    assert out.stdout.split("\n")[:2] == ['(level="info")', "None"]
    assert "stderr" in __import__("velk_odom").init_logging.__doc__


def test_line_pattern_is_importable():
    # The engines' own tests check their lines against this pattern; keep it exercised here.
    assert LINE.match("2026-12-06T21:48:21.123456Z  WARN velk_slam::odometry_fusion: dropped x=1")
