"""init_logging: a refused filter installs nothing; a second installation is refused and the first stays;
nothing is written before it is called; a Python writer; logged text cannot forge lines."""

import re

import pytest
from conftest import NOISE, run_python


# (script after `import velk_odom`, what it prints, how many lines the log writes to stderr)
@pytest.mark.parametrize("code, printed, lines", [
    # A refused filter installs nothing; a second installation is refused and the first stays.
    ("""
for level in ("velk_slam=loud", "warn", "debug"):
    try:
        velk_odom.init_logging(level)
        print("installed", level)
    except ValueError as e:
        print(str(e).split(":")[0])
""", "level\ninstalled warn\na global default trace dispatcher has already been set", 0),
    # Without init_logging the engines write nothing, however much they drop.
    (f"""
f = velk_odom.OdometryFusion({{"imus": [{dict(frame_id="imu", init_samples=1, **NOISE)!r}]}})
f.handle_imu(velk_odom.ImuSample(5, "other", (0.0, 0.0, 0.0), (0.0, 0.0, 9.8)), ((0, 0, 0), (0, 0, 0, 1)))
f.handle_imu(velk_odom.ImuSample(5, "imu", (0.0, 0.0, 0.0), (0.0, 0.0, 9.8)), ((0, 0, 0), (0, 0, 0, 1)))
f.report()
vo = velk_odom.CuvslamOdometry(tf=lambda t, s: None)
vo.handle_image(velk_odom.ImageFrame(1, "nowhere", 4, 4, "mono8", 4, bytes(16)))
vo.report()
""", "", 0),
    # A frame_id with a line break, an escape sequence and a C1 control character stays on its line, escaped.
    (r"""
velk_odom.init_logging("warn")
frame_id = "x\n2026-01-01T00:00:00.000000Z ERROR forged\x1b[31m\u009b"
velk_odom.OdometryFusion().handle_imu(velk_odom.ImuSample(1, frame_id, (0, 0, 0), (0, 0, 9.8)), ((0, 0, 0), (0, 0, 0, 1)))
print("frame_id=x\\n2026-01-01T00:00:00.000000Z ERROR forged\\x1b[31m\\u009b")
""", None, 1),
])
def test_installation_and_output(code, printed, lines):
    out = run_python("import velk_odom\n" + code)
    assert out.returncode == 0 and out.stderr.count("\n") == lines, out.stderr
    if printed is None:  # the script printed the text the log line must hold
        assert out.stdout.strip() in out.stderr, out.stderr
    else:
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
