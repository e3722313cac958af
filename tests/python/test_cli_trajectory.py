"""TUM files, Umeyama alignment and the ATE/RPE metrics the replay commands report."""

import math

import pytest

np = pytest.importorskip("numpy")

from velk_odom import _geometry as geo  # noqa: E402

from velk_odom.trajectory import (absolute_trajectory_error, alignment, apply_alignment, associate,  # noqa: E402
                                  matrix_to_quat, quat_to_matrix, read_tum, relative_pose_error, umeyama, write_tum)


def rot_z(a):
    return quat_to_matrix(np.array([0.0, 0.0, math.sin(a / 2), math.cos(a / 2)]))


def helix(n=200):
    t = np.linspace(0.0, 20.0, n)
    stamps = (1_700_000_000_000_000_000 + t * 1e9).astype(np.int64)
    yaw, zero = 0.3 * t + math.pi / 2, np.zeros(n)
    return stamps, np.stack([3.0 * np.cos(0.3 * t), 3.0 * np.sin(0.3 * t), 0.1 * t, zero, zero, np.sin(yaw / 2), np.cos(yaw / 2)], 1)


def transformed(traj, rot, trans):
    """The trajectory moved rigidly: positions and orientations turned by `rot`, then shifted by `trans`."""
    stamps, poses = traj
    return stamps, np.hstack([poses[:, 0:3] @ rot.T + trans, [geo.quat_mul(matrix_to_quat(rot), p) for p in poses[:, 3:7]]])


@pytest.mark.parametrize("seed", range(4))
def test_umeyama_recovers_a_known_transform_and_never_a_reflection(seed):
    rng = np.random.default_rng(seed)
    q = rng.normal(size=4)
    src, rot, trans, scale = rng.normal(size=(50, 3)), quat_to_matrix(q / np.linalg.norm(q)), rng.normal(size=3), 1.0 + seed / 4
    r, t, s = umeyama(src, scale * src @ rot.T + trans, with_scale=seed > 0)
    assert np.allclose(r, rot, atol=1e-9) and np.allclose(t, trans, atol=1e-9) and s == pytest.approx(scale)
    # A mirrored point set: the best proper rotation, not the reflection that would fit exactly.
    r, _, _ = umeyama(src, src * np.array([1.0, 1.0, -1.0]))
    assert np.linalg.det(r) == pytest.approx(1.0)
    with pytest.raises(ValueError):
        umeyama(np.zeros((3, 3)), np.zeros((4, 3)))


def test_ate_of_a_moved_copy_is_zero_after_alignment_and_not_before():
    ref = helix()
    est = transformed(ref, rot_z(2.5) @ quat_to_matrix(np.array([0.3, 0.0, 0.0, 1.0])), np.array([5.0, -2.0, 1.0]))
    (aligned, _, _), (raw, _, _) = absolute_trajectory_error(est, ref), absolute_trajectory_error(est, ref, align=False)
    assert aligned.rmse < 1e-9 and aligned.count == 200 and raw.rmse > 1.0
    # The alignment found maps the estimate, orientations too, onto the reference.
    back = apply_alignment(est[1], *alignment(est, ref))
    assert np.allclose(back[:, 0:3], ref[1][:, 0:3], atol=1e-9)
    assert np.allclose(np.abs(np.sum(back[:, 3:7] * ref[1][:, 3:7], axis=1)), 1.0, atol=1e-9)
    # One pose of 200 pushed 1 m up: the statistics of one outlier.
    bumped = ref[1].copy()
    bumped[50, 2] += 1.0
    raw, _, _ = absolute_trajectory_error((ref[0], bumped), ref, align=False)
    assert (raw.rmse, raw.max, raw.median) == pytest.approx((math.sqrt(1 / 200), 1.0, 0.0))


@pytest.mark.parametrize("q", [
    (0.0, 0.0, 0.0, 1.0),
    (1.0, 0.0, 0.0, 0.0),  # half turns: the trace is -1 and the w-based formula breaks down
    (0.0, 0.7071067811865476, 0.7071067811865476, 0.0),
    (0.7071067811865476, -0.7071067811865476, 0.0, 0.0),  # signs from the off-diagonals alone turn the axis
    (0.5, 0.5, -0.5, -0.5),
])
def test_matrix_to_quat_inverts_quat_to_matrix(q):
    back = matrix_to_quat(quat_to_matrix(np.asarray(q)))
    assert np.allclose(back, q, atol=1e-12) or np.allclose(back, -np.asarray(q), atol=1e-12)


def test_rpe_is_invariant_to_a_rigid_transform_and_sees_a_scale_error():
    ref = helix()
    moved = transformed(ref, rot_z(-1.2), np.array([1.0, 2.0, 3.0]))
    t_err, r_err = relative_pose_error(moved, ref, delta_s=1.0)
    assert t_err.rmse < 1e-9 and r_err.rmse < 1e-9 and t_err.count > 150
    scaled = (ref[0], ref[1].copy())
    scaled[1][:, 0:3] *= 1.02
    t_err, r_err = relative_pose_error(scaled, ref, delta_s=2.0)
    # Each 2 s step of the helix is about 1.8 m long; 2 % of it is some 3.6 cm.
    assert 0.03 < t_err.rmse < 0.04 and r_err.rmse < 1e-9


def test_associate_picks_the_nearest_stamp_within_the_tolerance():
    ref, est = np.array([0, 100, 200, 300], dtype=np.int64), np.array([-50, 49, 151, 260, 1000], dtype=np.int64)
    assert [list(i) for i in associate(ref, est, max_diff_ns=50)] == [[0, 0, 2, 3], [0, 1, 2, 3]]
    assert [i.size for i in associate(ref, np.zeros(0, dtype=np.int64), 10)] == [0, 0]


def test_tum_round_trip_keeps_nanosecond_stamps(tmp_path):
    rows = [(1_700_000_000_123_456_789, 1.0, -2.5, 0.125, 0.0, 0.0, 0.6, 0.8),
            (1_700_000_000_123_456_790, 1e-9, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0), (5, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0)]
    path = tmp_path / "t.tum"
    assert write_tum(path, rows) == 3
    lines = path.read_text().splitlines()
    assert lines[0] == "1700000000.123456789 1.000000000 -2.500000000 0.125000000 0.000000000 0.000000000 0.600000000 0.800000000"
    assert lines[2].startswith("0.000000005 ")
    stamps, poses = read_tum(path)
    assert list(stamps) == sorted(r[0] for r in rows) and poses[1] == pytest.approx(rows[0][1:])
    # Comments, blank lines, commas and exponents are read too.
    path.write_text("# timestamp x y z qx qy qz qw\n\n1.5e0,1,2,3,0,0,0,1\n2 1 2 3 0 0 0 1\n")
    stamps, poses = read_tum(path)
    assert list(stamps) == [1_500_000_000, 2_000_000_000] and poses.shape == (2, 7)


@pytest.mark.parametrize("text, message", [("1 2 3\n", "t.tum:1: expected 8 values"), ("# c\n1 2 3 4 5 6 7 x\n", "t.tum:2: not a number"),
                                           ("1 nan 0 0 0 0 0 1\n", "non-finite"), ("# only a comment\n", "no poses")])
def test_read_tum_names_the_bad_line(tmp_path, text, message):
    (tmp_path / "t.tum").write_text(text)
    with pytest.raises(ValueError, match=message):
        read_tum(tmp_path / "t.tum")
