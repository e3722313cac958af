"""init_logging: a refused filter installs nothing; a second installation is refused and the first stays."""

import re

import pytest
from conftest import run_python


@pytest.mark.parametrize("code, printed", [
    ("""
velk_odom.init_logging()
try:
    velk_odom.init_logging("debug")
except ValueError as e:
    print("refused:", e)
""", "refused: a global default trace dispatcher has already been set"),
    ("""
try:
    velk_odom.init_logging("velk_slam=loud")
except ValueError as e:
    print(str(e).startswith("level: "))
velk_odom.init_logging("warn")
print("installed")
""", "True\ninstalled"),
])
def test_installation(code, printed):
    out = run_python("import velk_odom\n" + code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == printed


def test_a_python_writer_takes_each_line_and_its_failures_never_reach_the_engine():
    out = run_python("""
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
    assert counts == "4 0" and re.match(r"^\d{4}-\d\d-\d\dT[\d:.]+Z  INFO velk_slam::odometry_fusion: ", line)
    assert "odometry fusion counters imu_samples=0" in line
    assert "disk full 2" in out.stderr and "disk full 3" not in out.stderr  # the first failure is reported
