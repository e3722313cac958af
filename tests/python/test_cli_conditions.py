"""`velk-odom fuse REC` with no configuration on simulated recordings that bring the conditions of real
robots (velk_odom.sim.CONDITIONS), each alone and all together: the proposal must read them from the data
and the fused position end near the ground truth; and a replay that never initialises says why."""

import pytest

pytest.importorskip("numpy")
pytest.importorskip("rosbags")
yaml = pytest.importorskip("yaml")

from velk_odom.cli import main  # noqa: E402
from velk_odom.cli._simbag import DEFAULT_START_NS, write_sim_bag  # noqa: E402
from velk_odom.sim import CONDITIONS, DEFAULT_BASE_FROM_IMU, simulate  # noqa: E402
from velk_odom.trajectory import read_tum  # noqa: E402

# Final position error as a fraction of the distance driven: each condition alone, and all together.
CASES = [(name, kw, 0.01) for name, kw in CONDITIONS.items()] + [
    ("all together", {k: v for kw in CONDITIONS.values() for k, v in kw.items()}, 0.02)]


# The seeds give different turns, and with them different mount, bias and heading errors.
@pytest.mark.parametrize("seed", (0, 1))
@pytest.mark.parametrize("name, kwargs, limit", CASES, ids=[c[0] for c in CASES])
def test_no_configuration_ends_near_the_ground_truth(tmp_path, capsys, name, kwargs, limit, seed):
    rec = simulate(30.0, seed=seed, **dict(dict(wheel_scale_error=0.0, slip=False), **kwargs))
    bag = write_sim_bag(rec, tmp_path / "bag", "ros2-sqlite3", with_tf_static=rec.base_from_imu == DEFAULT_BASE_FROM_IMU)
    code = main(["fuse", str(bag), "-o", str(tmp_path / "fused.tum"), "--no-progress", "--log", "off"])
    printed = capsys.readouterr().out
    assert code == 0, printed
    stamps, poses = read_tum(tmp_path / "fused.tum")
    assert rec.drift([(int(t) - DEFAULT_START_NS, *p) for t, p in zip(stamps, poses)]) < limit * rec.distance_travelled(), printed


def test_a_replay_that_never_initialises_says_why(tmp_path, capsys):
    bag = write_sim_bag(simulate(8.0, seed=0, **CONDITIONS["start driving"]), tmp_path / "bag", "ros2-sqlite3")
    assert main(["fuse", str(bag), "--print-config"]) == 0
    cfg = yaml.safe_load(capsys.readouterr().out)
    cfg["imus"][0]["init_samples"], cfg["init_moving_after_seconds"] = 10_000, 0.0
    (tmp_path / "c.yaml").write_text(yaml.safe_dump(cfg))
    code = main(["fuse", str(bag), "--config", str(tmp_path / "c.yaml"), "-o", str(tmp_path / "o.tum"), "--no-progress", "--log", "off"])
    err = capsys.readouterr().err.strip().splitlines()
    assert code != 0 and len(err) == 1 and (tmp_path / "o.tum").read_text() == "", err
    assert err[0].startswith("velk-odom: error: no estimate was published (the fusion never initialised: IMU 'imu_link' read "
                             "still for at most ")
    assert "init_samples asks for 10000" in err[0] and "set init_moving_after_seconds to 2" in err[0]
