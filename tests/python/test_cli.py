"""The `velk-odom` command on recordings written with rosbags' own writers from the simulator: replay
in every bag format and order, the TUM output against the simulator's ground truth, the proposed
configuration, and every user error (one line, exit status 2, never a traceback)."""

import math
import subprocess
import sys

import pytest

pytest.importorskip("numpy")
pytest.importorskip("rosbags")
pytest.importorskip("yaml")
pytest.importorskip("matplotlib")

import yaml  # noqa: E402

from velk_odom import _geometry as geo  # noqa: E402
from velk_odom import _native  # noqa: E402
from velk_odom.cli import main  # noqa: E402
from velk_odom.cli._simbag import DEFAULT_START_NS, write_ground_truth_tum, write_sim_bag  # noqa: E402
from velk_odom.sim import simulate  # noqa: E402
from velk_odom.trajectory import absolute_trajectory_error, read_tum  # noqa: E402

needs_fusion = pytest.mark.skipif(not hasattr(_native, "OdometryFusion"), reason="OdometryFusion is not in this build")

DURATION_S = 12.0
SEED = 5
# Gravity and 10 s of driving with one turn and a slip leave the mount's yaw a few degrees uncertain.
MOUNT_TOL_DEG = 10.0


@pytest.fixture(scope="module")
def rec():
    return simulate(DURATION_S, seed=SEED, slip_at_s=7.0)


@pytest.fixture(scope="module")
def bags(rec, tmp_path_factory):
    root = tmp_path_factory.mktemp("bags")
    out = {
        "ros1": write_sim_bag(rec, root / "sim.bag", "ros1"),
        "ros2-sqlite3": write_sim_bag(rec, root / "sim_sqlite", "ros2-sqlite3"),
        "ros2-mcap": write_sim_bag(simulate(DURATION_S, seed=SEED, slip_at_s=7.0, ahrs_noise_deg=0.0), root / "sim_mcap", "ros2-mcap"),
        "no-tf": write_sim_bag(rec, root / "sim_notf", "ros2-sqlite3", with_tf_static=False),
        "gt": write_ground_truth_tum(rec, root / "gt.tum"),
    }
    return out


def run_cli(capsys, *argv):
    code = main([str(a) for a in argv])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def run_cli_process(*argv):
    """The command in a fresh interpreter: the engines' counters are read from their log, and only
    the first log subscriber of a process takes effect (other tests may have installed one here)."""
    done = subprocess.run(
        [sys.executable, "-m", "velk_odom.cli", *[str(a) for a in argv]],
        capture_output=True, text=True, timeout=300,
    )
    return done.returncode, done.stdout, done.stderr


def config_file(tmp_path, rec, topics=None, **overrides):
    cfg = rec.fusion_config()
    cfg["topics"] = topics if topics is not None else {
        "/imu/data": {"imu": rec.imu_frame_id},
        "/wheel/odom": {"odom_source": ["odom", "base_link"]},
    }
    cfg.update(overrides)
    path = tmp_path / "fuse.yaml"
    path.write_text(yaml.safe_dump(cfg))
    return path


def assert_user_error(code, err, *fragments):
    assert code == 2
    lines = err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("velk-odom: error: "), err
    for f in fragments:
        assert f in lines[0], lines[0]


# ---- the proposed configuration -------------------------------------------------------------------


@pytest.mark.parametrize("fmt", ["ros1", "ros2-sqlite3", "ros2-mcap"])
def test_proposed_configuration_names_the_recordings_sensors(bags, rec, capsys, fmt):
    code, out, _ = run_cli(capsys, "fuse", bags[fmt], "--print-config")
    assert code == 0
    cfg = yaml.safe_load(out)
    assert [i["frame_id"] for i in cfg["imus"]] == ["imu_link"]
    assert all(cfg["imus"][0][k] > 0 for k in ("gyro_noise_density", "gyro_random_walk", "accel_noise_density", "accel_random_walk"))
    # The twist only (its pose integrates the same twist), the base's vertical speed held near zero;
    # the wheel yaw rate agrees with the gyro here, so it is used.
    wheel = {"parent_frame_id": "odom", "child_frame_id": "base_link",
             "pose_variances": [0.0] * 6, "twist_variances": [-1.0, -1.0, 1e-4, 0.0, 0.0, -1.0]}
    assert wheel in cfg["odom_sources"]
    imu_topic = cfg["topics"]["/imu/data"]
    assert imu_topic["imu"] == "imu_link"
    mount = (tuple(imu_topic["base_from_imu"][0]), tuple(imu_topic["base_from_imu"][1]))
    assert mount[0] == pytest.approx(rec.base_from_imu[0]) and mount[1] == pytest.approx(rec.base_from_imu[1])
    assert cfg["topics"]["/wheel/odom"] == {"odom_source": ["odom", "base_link"]}
    if fmt == "ros2-mcap":
        # This recording's IMU reports an orientation: proposed as an attitude-only source.
        attitude = {"parent_frame_id": "imu_link/orientation", "child_frame_id": "base_link", "differential": False,
                    "pose_variances": [0.0, 0.0, 0.0, -1.0, -1.0, -1.0], "twist_variances": [0.0] * 6}
        assert attitude in cfg["odom_sources"]
        assert imu_topic["orientation"] == ["imu_link/orientation", "base_link"]
    else:
        assert "orientation" not in imu_topic and len(cfg["odom_sources"]) == 1


def test_without_tf_static_the_mount_comes_from_the_data(bags, rec, capsys):
    code, out, _ = run_cli(capsys, "fuse", bags["no-tf"], "--print-config")
    assert code == 0
    assert "rotation from the data" in out
    t, q = yaml.safe_load(out)["topics"]["/imu/data"]["base_from_imu"]
    assert geo.rotation_angle(geo.quat_mul(geo.quat_conj(tuple(q)), rec.base_from_imu[1])) < math.radians(MOUNT_TOL_DEG)


def test_a_printed_configuration_is_accepted_back(bags, capsys, tmp_path):
    _, out, _ = run_cli(capsys, "fuse", bags["ros2-mcap"], "--print-config")
    saved = tmp_path / "saved.yaml"
    saved.write_text(out)
    code, again, _ = run_cli(capsys, "fuse", bags["ros2-mcap"], "--config", saved, "--print-config")
    assert code == 0 and yaml.safe_load(again) == yaml.safe_load(out)


# ---- user errors ----------------------------------------------------------------------------------


def write_text(tmp_path, name, text):
    p = tmp_path / name
    p.write_text(text)
    return p


@pytest.mark.parametrize(
    "make, fragments",
    [
        (lambda t, b, r: ["fuse", t / "missing.bag"], ["not found", "ROS 1 .bag file or a ROS 2 bag folder"]),
        (lambda t, b, r: ["fuse", write_text(t, "notes.txt", "x")], ["neither a ROS 1 .bag file nor a ROS 2 bag folder"]),
        (lambda t, b, r: ["fuse", t], ["without metadata.yaml"]),
        (lambda t, b, r: ["fuse", write_text(t, "broken.bag", "not a bag")], ["cannot read recording"]),
        (lambda t, b, r: ["fuse", b["ros1"], "--config", t / "nope.yaml"], ["configuration file", "not found"]),
        (lambda t, b, r: ["fuse", b["ros1"], "--config", write_text(t, "c.yaml", "imus: [\n")], ["not valid YAML"]),
        (lambda t, b, r: ["fuse", b["ros1"], "--config", write_text(t, "c.json", "{\"imus\": }")], ["not valid JSON"]),
        (lambda t, b, r: ["fuse", b["ros1"], "--config", write_text(t, "c.yaml", "- 1\n- 2\n")], ["top level must be a mapping"]),
        (
            lambda t, b, r: ["fuse", b["ros1"], "--config", config_file(t, r, publish_rat=50)],
            ["unknown key 'publish_rat'", "did you mean 'publish_rate'?"],
        ),
        (
            lambda t, b, r: ["fuse", b["ros1"], "--config",
                             config_file(t, r, imus=[{"frame_id": "imu_link", "gyro_noise_densty": 1e-3}])],
            ["unknown key 'gyro_noise_densty' in imus[0]", "'gyro_noise_density'"],
        ),
        (
            lambda t, b, r: ["fuse", b["ros1"], "--config", config_file(t, r, topics={"/wheel/odom": {"imu": "imu_link"}})],
            ["topics./wheel/odom.imu needs a sensor_msgs/Imu topic", "carries nav_msgs/Odometry"],
        ),
        (
            lambda t, b, r: ["fuse", b["ros1"], "--config", config_file(t, r, topics={"/imu/data": {"odom_source": ["odom", "base_link"]}})],
            ["odom_source needs a nav_msgs/Odometry or geometry_msgs/PoseWithCovarianceStamped"],
        ),
        (
            lambda t, b, r: ["fuse", b["ros1"], "--config", config_file(t, r, topics={"/imu/dat": {"imu": "imu_link"}})],
            ["the recording has no topic /imu/dat", "/imu/data (sensor_msgs/Imu)"],
        ),
        (
            lambda t, b, r: ["fuse", b["ros1"], "--config", config_file(t, r, topics={"/imu/data": {"imu": "imu"}})],
            ["topics./imu/data.imu names 'imu'", "imu_link"],
        ),
        (
            lambda t, b, r: ["fuse", b["ros1"], "--config", config_file(t, r, topics={"/wheel/odom": {"odom_source": ["odom", "base"]}})],
            ["no `odom_sources` entry has that parent_frame_id and child_frame_id"],
        ),
        (
            lambda t, b, r: ["fuse", b["ros1"], "--config", config_file(t, r, topics={"/imu/data": {"imu": "imu_link", "base_from_imu": [[0, 0], [0, 0, 0, 1]]}})],
            ["base_from_imu must be [[x, y, z], [qx, qy, qz, qw]]"],
        ),
        (
            lambda t, b, r: ["fuse", b["ros1"], "--config", config_file(t, r, topics={"/wheel/odom": {}})],
            ["topics./wheel/odom maps to nothing"],
        ),
        (
            lambda t, b, r: ["fuse", b["ros1"], "--config", write_text(t, "c.yaml", "odom_sources: [{parent_frame_id: x, child_frame_id: y}]\n")],
            ["no topic of the recording matches", "add a `topics` section"],
        ),
        (lambda t, b, r: ["fuse", b["ros1"], "--ground-truth", t / "gt.tum"], ["ground truth", "not found"]),
        (lambda t, b, r: ["fuse", b["ros1"], "--ground-truth", write_text(t, "gt.tum", "1 2 3\n")], ["gt.tum:1: expected 8 values"]),
        (lambda t, b, r: ["fuse", b["ros1"], "--rpe-delta", "0"], ["--rpe-delta must be above 0"]),
        (lambda t, b, r: ["demo", "--out-dir", write_text(t, "file", "")], ["is a file; give a folder"]),
        (lambda t, b, r: ["demo", "--duration", "1"], ["--duration must be at least 5 seconds"]),
        (lambda t, b, r: ["demo", "--out-dir", t, "--log", "velk_slam=loud"], ["--log 'velk_slam=loud': level: "]),
        (lambda t, b, r: ["demo", "--out-dir", t, "--write-bag", t], ["exists already; give a new folder name"]),
        (lambda t, b, r: ["demo", "--out-dir", t, "--vibration", "-1"], ["--vibration must be a number of at least 0"]),
        (lambda t, b, r: ["vo", b["ros1"]], ["has no sensor_msgs/Image topic to track"]),
    ],
)
def test_user_errors_end_with_one_line_and_status_2(tmp_path, bags, rec, capsys, make, fragments):
    code, _, err = run_cli(capsys, *make(tmp_path, bags, rec))
    assert_user_error(code, err, *fragments)


@pytest.mark.parametrize(
    "argv, message",
    [
        ([], "velk-odom: error: the following arguments are required: COMMAND (see velk-odom --help)"),
        (["fuse"], "velk-odom fuse: error: the following arguments are required: recording (see velk-odom fuse --help)"),
        (["fuse", "x.bag", "--order", "random"], "velk-odom fuse: error: argument --order: invalid choice: 'random'"),
        (["demo", "--duration", "long"], "velk-odom demo: error: argument --duration: invalid float value: 'long'"),
    ],
)
def test_usage_mistakes_end_with_one_line(capsys, argv, message):
    with pytest.raises(SystemExit) as exit_info:
        main(argv)
    assert exit_info.value.code == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith(message), err


def test_a_recording_without_imu_or_odometry(tmp_path, capsys):
    from rosbags.rosbag2 import Writer
    from rosbags.typesys import Stores, get_typestore

    store = get_typestore(Stores.ROS2_HUMBLE)
    path = tmp_path / "only_strings"
    with Writer(path, version=9) as w:
        conn = w.add_connection("/chatter", "std_msgs/msg/String", typestore=store)
        w.write(conn, 1, store.serialize_cdr(store.types["std_msgs/msg/String"](data="hi"), "std_msgs/msg/String"))
    code, _, err = run_cli(capsys, "fuse", path)
    assert_user_error(code, err, "has no sensor_msgs/Imu or nav_msgs/Odometry topic to fuse", "/chatter (std_msgs/String)")


def test_the_installed_entry_point_prints_no_traceback(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "velk_odom.cli", "fuse", str(tmp_path / "missing.bag")],
        capture_output=True, text=True, timeout=60,
    )
    assert done.returncode == 2
    assert "Traceback" not in done.stderr
    assert done.stderr.startswith("velk-odom: error: recording")


@needs_fusion
@pytest.mark.parametrize(
    "overrides, fragment",
    [
        ({"publish_rate": "fast"}, "config: "),  # a value the engine's converter refuses
        ({"imus": [{"frame_id": "imu_link"}]}, "needs all four noise figures set"),  # refused at first use
    ],
)
def test_configurations_the_engine_refuses(tmp_path, bags, rec, capsys, overrides, fragment):
    code, _, err = run_cli(capsys, "fuse", bags["ros1"], "--config", config_file(tmp_path, rec, **overrides), "--no-progress")
    assert_user_error(code, err, fragment)


# ---- replays ----------------------------------------------------------------------------------------

# Over 10 s of driving, wheel odometry with a 2 % scale error and a 2 s slip burst ends some 1.5 m off;
# the fusion rejects the slipping wheels and stays within a few decimetres of the ground truth.
FUSED_ATE_LIMIT_M = 0.3


def summary_value(out, key):
    for line in out.splitlines():
        if line.startswith(key):
            return line[len(key):].strip()
    raise AssertionError(f"no {key!r} in\n{out}")


def counters_of(out):
    text = summary_value(out, "engine counters")
    return {k: int(v) for k, v in (item.split("=") for item in text.split())}


@needs_fusion
@pytest.mark.parametrize("fmt", ["ros1", "ros2-sqlite3", "ros2-mcap"])
@pytest.mark.parametrize("order", ["stamp", "recorded"])
def test_replay_follows_the_ground_truth(tmp_path, bags, rec, capsys, fmt, order):
    out_tum = tmp_path / "fused.tum"
    code, out, err = run_cli_process(
        "fuse", bags[fmt], "--config", config_file(tmp_path, rec), "--order", order,
        "-o", out_tum, "--ground-truth", bags["gt"], "--no-progress",
    )
    assert code == 0, err
    lines = out_tum.read_text().splitlines()
    assert len(lines) > 100
    for line in lines[:5] + lines[-5:]:
        fields = line.split()
        assert len(fields) == 8
        sec, frac = fields[0].split(".")
        assert len(frac) == 9 and int(sec) >= DEFAULT_START_NS // 1_000_000_000
        q = [float(v) for v in fields[4:8]]
        assert math.isclose(sum(c * c for c in q), 1.0, rel_tol=1e-6)
    stamps, poses = read_tum(out_tum)
    assert list(stamps) == sorted(stamps)
    ate, _, _ = absolute_trajectory_error((stamps, poses), read_tum(bags["gt"]))
    assert ate.rmse < FUSED_ATE_LIMIT_M
    counters = counters_of(out)
    assert counters["imu_samples"] > 0 and counters["measurements"] > 0
    late = sum(1 for d in rec.deliveries if d.kind == "wheel" and d.arrival_ns - d.message.timestamp_ns >= 20_000_000)
    if order == "recorded":
        assert counters["replayed"] >= late // 2  # late wheel messages are applied at their own time
    else:
        assert counters["replayed"] == 0  # stamp order leaves nothing to replay
    fused_ate = float(summary_value(out, "vs ground truth [fused]").split()[2])
    wheel_ate = float(summary_value(out, "vs ground truth [/wheel/odom]").split()[2])
    assert fused_ate == pytest.approx(ate.rmse, abs=1e-3)
    assert fused_ate < wheel_ate / 2


@needs_fusion
def test_proposed_configuration_runs_and_prints_itself(tmp_path, bags, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    code, out, err = run_cli(capsys, "fuse", bags["ros2-sqlite3"], "--no-progress", "--plot", "p.png")
    assert code == 0
    assert out.startswith("# configuration proposed for sim_sqlite")
    assert (tmp_path / "sim_sqlite_fused.tum").stat().st_size > 0
    assert (tmp_path / "p.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "warning" not in err  # the mount came from /tf_static


@needs_fusion
def test_orientation_source_holds_the_heading(tmp_path, bags, rec, capsys):
    # Same recording, IMU noise inflated so that gyro integration alone drifts in heading; the
    # reported orientation as an attitude-only source keeps the final heading error small.
    results = {}
    for use_orientation in (False, True):
        cfg = rec.fusion_config()
        topics = {"/imu/data": {"imu": "imu_link"}, "/wheel/odom": {"odom_source": ["odom", "base_link"]}}
        if use_orientation:
            cfg["odom_sources"].append({"parent_frame_id": "ahrs", "child_frame_id": "base_link",
                                        "pose_variances": [0, 0, 0, 1e-4, 1e-4, 1e-4]})
            topics["/imu/data"]["orientation"] = ["ahrs", "base_link"]
        cfg["topics"] = topics
        path = tmp_path / f"o{use_orientation}.yaml"
        path.write_text(yaml.safe_dump(cfg))
        out_tum = tmp_path / f"o{use_orientation}.tum"
        code, out, _ = run_cli(capsys, "fuse", bags["ros2-mcap"], "--config", path, "-o", out_tum, "--no-progress")
        assert code == 0, out
        stamps, poses = read_tum(out_tum)
        gt = rec.ground_truth_at(int(stamps[-1]) - DEFAULT_START_NS)
        results[use_orientation] = abs(math.remainder(geo.yaw_of(poses[-1][3:7]) - geo.yaw_of(gt[3:7]), 2 * math.pi))
    assert results[True] < 0.02 and results[True] < results[False] / 3


@needs_fusion
def test_demo_end_to_end(tmp_path):
    code, out, err = run_cli_process("demo", "--out-dir", tmp_path, "--duration", "20", "--no-progress")
    assert code == 0, err
    for key in ("duration", "messages", "engine counters", "  fused", "  wheel only", "  IMU-only dead reckoning", "wrote"):
        summary_value(out, key)
    fused = float(summary_value(out, "  fused").split()[0])
    wheel = float(summary_value(out, "  wheel only").split()[0])
    inertial = float(summary_value(out, "  IMU-only dead reckoning").split()[0])
    assert fused < wheel < inertial
    assert (tmp_path / "velk_odom_demo.png").read_bytes()[:4] == b"\x89PNG"
    assert len((tmp_path / "velk_odom_demo.tum").read_text().splitlines()) > 100


@needs_fusion
@pytest.mark.parametrize(
    "wheel_type, pose_variances, twist_variances",
    [
        ("geometry_msgs/msg/PoseWithCovarianceStamped", [-1, -1, 0, 0, 0, -1], [0] * 6),
        ("geometry_msgs/msg/TwistWithCovarianceStamped", [0] * 6, [-1, -1, 1e-4, 0, 0, -1]),
    ],
)
def test_pose_and_twist_topics_feed_an_odometry_source(tmp_path, rec, wheel_type, pose_variances, twist_variances):
    bag = write_sim_bag(rec, tmp_path / "bag", "ros2-sqlite3", odom_topic="/wheel", wheel_type=wheel_type)
    cfg = rec.fusion_config()
    cfg["odom_sources"] = [{"parent_frame_id": "wheels", "child_frame_id": "base_link",
                            "pose_variances": pose_variances, "twist_variances": twist_variances}]
    cfg["topics"] = {"/imu/data": {"imu": "imu_link"}, "/wheel": {"odom_source": ["wheels", "base_link"]}}
    path = tmp_path / "c.yaml"
    path.write_text(yaml.safe_dump(cfg))
    code, out, err = run_cli_process("fuse", bag, "--config", path, "-o", tmp_path / "o.tum",
                                     "--ground-truth", write_ground_truth_tum(rec, tmp_path / "gt.tum"), "--no-progress")
    assert code == 0, err
    assert f"/wheel: {len(rec.wheel_estimates)} odometry" in summary_value(out, "fed")
    # Every estimate after initialisation reaches the engine under the configured frame names.
    assert counters_of(out)["measurements"] >= len(rec.wheel_estimates) - 2 * int(rec.wheel_rate_hz)
    assert float(summary_value(out, "vs ground truth [fused]").split()[2]) < 1.0


@needs_fusion
@pytest.mark.parametrize("level, shown, hidden", [("error", [], ["WARN", "INFO"]), ("info", ["INFO", "odometry_fusion initialized"], [])])
def test_log_level_filters_the_engine_lines_and_keeps_the_counters(tmp_path, level, shown, hidden):
    code, out, err = run_cli_process("demo", "--out-dir", tmp_path, "--duration", "8", "--no-progress", "--log", level)
    assert code == 0, err
    counters = counters_of(out)
    assert counters["imu_samples"] > 0 and counters["measurements"] > 0
    for text in shown:
        assert text in err
    for text in hidden:
        assert text not in err
    assert "odometry fusion counters" not in err  # read for the summary, not printed
