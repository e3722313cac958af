"""`velk-odom eval` and `tune` over simulator recordings, on local processes and on a Dask LocalCluster."""

import json
import re

import pytest

pytest.importorskip("numpy")
pytest.importorskip("rosbags")
yaml = pytest.importorskip("yaml")

from conftest import needs_fusion  # noqa: E402

from velk_odom.cli import main  # noqa: E402
from velk_odom.cli._simbag import write_ground_truth_tum, write_sim_bag  # noqa: E402
from velk_odom.sim import simulate  # noqa: E402

pytestmark = needs_fusion


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    root = tmp_path_factory.mktemp("batch")
    for seed in (1, 2):
        write_ground_truth_tum(rec := simulate(6.0, seed=seed), root / f"drive{seed}_ground_truth.tum")
        write_sim_bag(rec, root / f"drive{seed}", "ros2-sqlite3")
    (root / "cfg.yaml").write_text(yaml.safe_dump(simulate(6.0).fusion_config()))
    (root / "space.yaml").write_text("outlier_rejection_allowed_variance: [9.0, 400.0]\n")
    (root / "bad_space.yaml").write_text("imus.7.gyro_noise_density: [1.0e-3]\n")
    (root / "typo_space.yaml").write_text("imus.0.gyro_noise_densty: [1.0e-3]\n")
    return root, [str(root / "drive1"), str(root / "drive2")]


@pytest.fixture(params=["local", "dask"])
def where(request):
    if request.param == "local":
        yield ["--workers", "2"]
        return
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False, dashboard_address=None) as cluster:
        yield ["--scheduler", cluster.scheduler_address]


def test_eval_and_tune_score_every_recording(recordings, where, capsys):
    root, bags = recordings
    assert main(["eval", *bags, "--config", str(root / "cfg.yaml"), *where]) == 0
    out = capsys.readouterr().out
    ates = [float(v) for v in re.findall(r"^drive\d\s+[0-9.]+\s+\d+\s+([0-9.]+)", out, re.M)]
    assert len(ates) == 2 and all(a < 0.2 for a in ates) and "2 of 2 recordings scored" in out, out
    best = root / f"best_{where[0]}.yaml"
    trials = root / f"trials_{where[0]}.json"
    assert main(["tune", *bags, "--config", str(root / "cfg.yaml"), "--search", str(root / "space.yaml"), "-o", str(best),
                 "--results", str(trials), *where]) == 0
    out, err = capsys.readouterr()
    assert out.startswith("3 configurations x 2 recordings") and re.findall(r"^trial (\d)/3", err, re.M) == ["1", "2", "3"], err
    rows = json.loads(trials.read_text())
    assert sorted((r["trial"], r["outlier_rejection_allowed_variance"]) for r in rows) == [(0, None), (0, None), (1, 9.0), (1, 9.0), (2, 400.0), (2, 400.0)]
    assert all(r["error"] is None and r["ate_m"] < 1.0 for r in rows)
    assert yaml.safe_load(best.read_text())["imus"] and "tuned by velk-odom tune on 2 recordings" in best.read_text()


@pytest.mark.parametrize("argv, status, message", [
    (["eval", "{root}/cfg.yaml", "--config", "{root}/cfg.yaml"], 1, "error: exit status 2"),
    (["eval", "{root}/drive1", "--config", "{root}/nothing.yaml"], 2, "nothing.yaml"),
    (["tune", "{root}/drive1", "--config", "{root}/cfg.yaml", "--search", "{root}/bad_space.yaml"], 2, "imus.7.gyro_noise_density: the configuration has no 7"),
    (["eval", "{root}/drive1", "--config", "{root}/cfg.yaml", "--scheduler", "tcp://127.0.0.1:9"], 2, "cannot reach it"),
    (["tune", "{root}/drive1", "--config", "{root}/cfg.yaml", "--search", "{root}/typo_space.yaml"], 2,
     "unknown key 'gyro_noise_densty' in imus[0]; did you mean 'gyro_noise_density'?"),
    (["tune", "{root}/drive1", "--config", "{root}/cfg.yaml", "--search", "{root}/space.yaml", "--results", "{root}/t.txt"], 2, "ending in .csv or .json"),
])
def test_batch_mistakes_are_reported(recordings, argv, status, message, capsys):
    root, _ = recordings
    if "--scheduler" in argv:
        pytest.importorskip("distributed")
    assert main([a.format(root=root) for a in argv]) == status
    assert message in "".join(capsys.readouterr())
