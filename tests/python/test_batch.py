"""`velk-odom eval` and `tune` over simulator recordings, on local processes and on a Dask LocalCluster."""

import json
import re
import socket
import threading

import pytest

pytest.importorskip("numpy")
pytest.importorskip("rosbags")
yaml = pytest.importorskip("yaml")

from conftest import needs_fusion  # noqa: E402

from velk_odom.cli import _batch, main  # noqa: E402
from velk_odom.cli._simbag import write_ground_truth_tum, write_sim_bag  # noqa: E402
from velk_odom.sim import simulate  # noqa: E402

pytestmark = needs_fusion


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    root = tmp_path_factory.mktemp("batch")
    for seed in (1, 2):
        write_ground_truth_tum(rec := simulate(6.0, seed=seed), root / f"drive{seed}_ground_truth.tum")
        write_sim_bag(rec, root / f"drive{seed}", "ros2-sqlite3")
    write_sim_bag(simulate(6.0, seed=3), root / "lonely", "ros2-sqlite3")
    (root / "cfg.yaml").write_text(yaml.safe_dump(simulate(6.0).fusion_config()))
    (root / "space.yaml").write_text("outlier_rejection_allowed_variance: [9.0, 400.0]\n")
    (root / "bad_space.yaml").write_text("imus.7.gyro_noise_density: [1.0e-3]\n")
    (root / "typo.yaml").write_text("publish_rat: 50\n")
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
    assert all(r["error"] is None and r["ate_rmse_m"] < 1.0 for r in rows)
    assert yaml.safe_load(best.read_text())["imus"] and "tuned by velk-odom tune on 2 recordings" in best.read_text()


def server(reply):
    """The address of a TCP server that takes connections and answers each with ``reply`` (None: never answers)."""
    listening = socket.create_server(("127.0.0.1", 0))
    held = []

    def serve():
        while True:
            held.append(listening.accept()[0])
            if reply is not None:
                held[-1].recv(65536)
                held[-1].sendall(reply)

    threading.Thread(target=serve, daemon=True).start()
    return f"tcp://127.0.0.1:{listening.getsockname()[1]}"


@pytest.mark.parametrize("argv, status, message", [
    (["eval", "{root}/cfg.yaml", "--config", "{root}/cfg.yaml"], 1, "error: exit status 2"),
    (["eval", "{root}/drive1", "--config", "{root}/typo.yaml"], 1, f"{'{root}'}/typo.yaml: unknown key 'publish_rat'"),
    (["tune", "{root}/drive1", "--config", "{root}/cfg.yaml", "--search", "{root}/space.yaml", "-o", "{root}/no/t.yaml"], 2, "does not exist"),
    (["tune", "{root}/drive1", "--config", "{root}/cfg.yaml", "--search", "{root}/space.yaml", "-o", "{root}"], 2, "is a folder"),
    (["eval", "{root}/drive1", "--config", "{root}/cfg.yaml", "--scheduler", "{http}"], 2, "the reply is not a Dask scheduler's"),
    (["eval", "{root}/drive1", "--config", "{root}/cfg.yaml", "--scheduler", "{silent}"], 2, "cannot reach it: no answer within"),
    (["eval", "{root}/drive1", "--config", "{root}/cfg.yaml", "--scheduler", "{idle}"], 1, "error: lost on the cluster: no worker on the cluster for 1 s"),
    (["eval", "{root}/drive1", "--config", "{root}/nothing.yaml"], 2, "nothing.yaml"),
    (["eval", "{root}/lonely", "--config", "{root}/cfg.yaml"], 1, "no ground truth beside the bag {root}/lonely (put it there as lonely_ground_truth.tum)"),
    (["eval", "{root}/drive1", "--config", "{root}/cfg.yaml", "--results", "{root}/r.tsv"], 2, "give a file name ending in .csv or .json"),
    (["tune", "{root}/drive1", "--config", "{root}/cfg.yaml", "--search", "{root}/bad_space.yaml"], 2, "imus.7.gyro_noise_density: the configuration has no 7"),
    (["eval", "{root}/drive1", "--config", "{root}/cfg.yaml", "--scheduler", "tcp://127.0.0.1:9"], 2, "cannot reach it"),
    (["tune", "{root}/drive1", "--config", "{root}/cfg.yaml", "--search", "{root}/typo_space.yaml"], 2,
     "unknown key 'gyro_noise_densty' in imus[0]; did you mean 'gyro_noise_density'?"),
    (["tune", "{root}/drive1", "--config", "{root}/cfg.yaml", "--search", "{root}/space.yaml", "--results", "{root}/t.txt"], 2, "ending in .csv or .json"),
])
def test_batch_mistakes_are_reported(recordings, argv, status, message, capsys, monkeypatch):
    root, _ = recordings
    if "--scheduler" in argv:
        distributed = pytest.importorskip("distributed")
    monkeypatch.setattr(_batch, "CONNECT_S", 2.0, raising=False)
    monkeypatch.setattr(_batch, "NO_WORKER_S", 1.0, raising=False)
    places = {"root": root, "http": "", "silent": "", "idle": ""}
    if "{http}" in argv:
        places["http"] = server(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")  # a dashboard's answer
    elif "{silent}" in argv:
        places["silent"] = server(None)
    elif "{idle}" in argv:  # a scheduler without workers
        cluster = distributed.LocalCluster(n_workers=0, processes=False, dashboard_address=None)
        places["idle"] = cluster.scheduler_address
    try:
        assert main([a.format(**places) for a in argv]) == status
    finally:
        if "{idle}" in argv:
            cluster.close()
    assert message.format(root=root) in "".join(capsys.readouterr())
