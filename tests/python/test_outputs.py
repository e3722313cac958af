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
def test_fused_odometry_is_written_as_a_bag(fmt, extra, storage, copied, bags, tmp_path):
    bag, out = bags[fmt], tmp_path / "out"
    assert main(["fuse", str(bag), "-o", str(tmp_path / "f.tum"), "--output-bag", str(out), "--no-progress", *extra]) == 0
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
    assert abs(last.x - poses[-1, 0]) < 1e-6 and abs(last.y - poses[-1, 1]) < 1e-6
    assert (odom[-1].header.frame_id, odom[-1].child_frame_id) == (tf.transforms[0].header.frame_id,
                                                                   tf.transforms[0].child_frame_id) == ("odom", "base_link")
