"""`--output-bag` read back with rosbags (with --copy-input the recording's topics too)."""

import pytest

pytest.importorskip("numpy")
pytest.importorskip("rosbags")

from conftest import needs_fusion  # noqa: E402
from rosbags.highlevel import AnyReader  # noqa: E402

from velk_odom.cli import main  # noqa: E402
from velk_odom.trajectory import read_tum  # noqa: E402


@needs_fusion
@pytest.mark.parametrize("fmt, extra, storage, copied", [
    ("ros2-sqlite3", [], "*.mcap", set()),
    ("ros2-mcap", ["--copy-input", "--bag-storage", "sqlite3"], "*.db3", {"/imu/data", "/wheel/odom", "/tf_static"}),
])
def test_fused_odometry_is_written_as_a_bag(fmt, extra, storage, copied, bags, tmp_path, capsys):
    bag = bags[fmt]
    out = tmp_path / "out"
    code = main(["fuse", str(bag), "-o", str(tmp_path / "f.tum"), "--output-bag", str(out), "--no-progress", *extra])
    assert code == 0, capsys.readouterr()
    assert list(out.glob(storage))
    stamps, poses = read_tum(tmp_path / "f.tum")
    with AnyReader([out]) as reader:
        topics = {c.topic: c.msgcount for c in reader.connections}
        odom = [reader.deserialize(raw, c.msgtype) for c, _, raw in reader.messages([c for c in reader.connections if c.topic == "/odom"])]
        tf = next(reader.deserialize(raw, c.msgtype) for c, _, raw in reader.messages([c for c in reader.connections if c.topic == "/tf"]))
    with AnyReader([bag]) as original:
        inputs = {c.topic: c.msgcount for c in original.connections}
    assert set(topics) == {"/odom", "/tf"} | {t for t in copied if t in inputs}
    assert all(topics[t] == inputs[t] for t in copied if t in inputs)
    assert topics["/tf"] == len(odom) == len(stamps)
    last = odom[-1].pose.pose.position
    assert (odom[-1].header.frame_id, odom[-1].child_frame_id) == ("odom", "base_link")
    assert abs(last.x - poses[-1, 0]) < 1e-6 and abs(last.y - poses[-1, 1]) < 1e-6
    assert (tf.transforms[0].header.frame_id, tf.transforms[0].child_frame_id) == ("odom", "base_link")


@pytest.mark.parametrize("args, message", [
    (["--copy-input"], "--copy-input needs --output-bag"),
    (["--output-bag", "{tmp}"], "exists"),
    (["--output-bag", "{tmp}/no/such/bag"], "does not exist"),
])
def test_unusable_output_bags_are_refused_before_the_replay(args, message, bags, tmp_path, capsys):
    bag = bags["ros2-sqlite3"]
    argv = ["fuse", str(bag), "--no-progress", *[a.format(tmp=tmp_path) for a in args]]
    assert main(argv) == 2
    assert message in capsys.readouterr().err
    assert not (bag.parent / f"{bag.name}_fused.tum").exists()

