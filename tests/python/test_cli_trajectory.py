"""TUM files, Umeyama alignment and the ATE/RPE metrics the replay commands report."""

import math

import pytest

np = pytest.importorskip("numpy")

from velk_odom import _geometry as geo  # noqa: E402

from velk_odom.trajectory import (absolute_trajectory_error, alignment, apply_alignment, associate, evaluate,  # noqa: E402
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


def drifting(traj, metres_per_s):
    """The trajectory with a growing error along x, zero at its start."""
    stamps, poses = traj
    out = poses.copy()
    out[:, 0] += metres_per_s * (stamps - stamps[0]) * 1e-9
    return stamps, out


def scaled(traj, factor):
    return traj[0], np.hstack([traj[1][:, 0:3] * factor, traj[1][:, 3:7]])


MOVE = (rot_z(2.5) @ quat_to_matrix(np.array([0.3, 0.0, 0.0, 1.0])), np.array([5.0, -2.0, 1.0]))


# (estimate made from the helix, alignment, RPE step s, ATE rmse range m, scale found, RPE rmse range m or None
# when no pair is far enough apart)
EVALUATIONS = [
    (lambda ref: transformed(ref, *MOVE), "origin", 1.0, (0, 1e-9), 1.0, (0, 1e-9)),
    (lambda ref: transformed(ref, *MOVE), "rigid", 1.0, (0, 1e-9), 1.0, (0, 1e-9)),
    # A monocular run: right up to scale. Only a similarity takes the scale out, of the RPE too.
    (lambda ref: transformed(scaled(ref, 0.2), *MOVE), "sim", 1.0, (0, 1e-9), 5.0, (0, 1e-9)),
    (lambda ref: transformed(scaled(ref, 0.2), *MOVE), "rigid", 1.0, (1.0, 5.0), 1.0, (0.5, 1.0)),
    # Drift of 5 cm/s over 20 s: the origin alignment keeps it all (rmse of a ramp to 1 m), a rigid fit halves it.
    (lambda ref: transformed(drifting(ref, 0.05), *MOVE), "origin", 1.0, (0.55, 0.6), 1.0, (0.04, 0.06)),
    (lambda ref: transformed(drifting(ref, 0.05), *MOVE), "rigid", 1.0, (0.05, 0.3), 1.0, (0.04, 0.06)),
    # A step longer than the run: no RPE pair, which the row says with None rather than nan.
    (lambda ref: ref, "rigid", 25.0, (0, 1e-9), 1.0, None),
]


@pytest.mark.parametrize("make, align, delta, ate_range, scale, rpe_range", EVALUATIONS)
def test_each_alignment_takes_out_what_it_should(make, align, delta, ate_range, scale, rpe_range):
    ref = helix()
    ev = evaluate(make(ref), ref, align=align, delta_s=delta)
    row = ev.as_row()
    assert ate_range[0] <= ev.ate.rmse <= ate_range[1] and ev.scale == pytest.approx(scale) and row["align"] == align
    assert ev.span_s == pytest.approx(20.0) and (row["rpe_pairs"] > 0) == (rpe_range is not None)
    if rpe_range is None:
        assert row["rpe_rmse_m"] is None and row["rpe_rmse_deg"] is None
    else:
        assert rpe_range[0] <= row["rpe_rmse_m"] <= rpe_range[1]
    with pytest.raises(ValueError, match="unknown alignment"):
        evaluate(ref, ref, align="affine")


# A camera's own frame (x right, y down, z forward) seen from a level frame (x forward, y left, z up).
CAMERA_FROM_LEVEL = np.array([[0.0, -1.0, 0.0], [0.0, 0.0, -1.0], [1.0, 0.0, 0.0]])


def in_camera_frame(traj):
    """The trajectory expressed in camera axes, its body a camera looking where the base drives."""
    stamps, poses = traj
    m = CAMERA_FROM_LEVEL
    q = np.array([matrix_to_quat(m @ r @ m.T) for r in quat_to_matrix(poses[:, 3:7])])
    return stamps, np.hstack([poses[:, 0:3] @ m.T, q])


@pytest.mark.parametrize("make, gravity_up, plane, forward", [
    (lambda ref: ref, True, (0, 1, 2), 0),
    (lambda ref: ref, False, (0, 1, 2), 0),
    # Camera-frame ground truth (KITTI's): the drive is in x-z, the camera looks along z; drawn in x-y it
    # was a flat line with a "heading" about the optical axis.
    (in_camera_frame, False, (0, 2, 1), 2),
])
def test_plots_draw_the_plane_of_travel(make, gravity_up, plane, forward):
    from velk_odom.cli._plot import forward_axis, heading_deg, travel_plane

    track = ("t", *make(helix()))
    assert travel_plane([track], gravity_up) == plane and forward_axis([track]) == forward
    # The helix turns 0.3 rad/s for 20 s: the heading drawn turns by as much, whichever frame it is in.
    assert np.ptp(heading_deg(track[2], plane, forward)) == pytest.approx(math.degrees(6.0), abs=0.5)


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
    # Comments, blank lines, commas and exponents are read too; a pose with no usable quaternion (a
    # motion-capture export's lost marker) is left out and its line reported, so no score turns nan.
    path.write_text("# timestamp x y z qx qy qz qw\n\n1.5e0,1,2,3,0,0,0,1\n1.7 1 2 3 0 0 0 0\n1.8 1 2 3 1e-200 0 0 0\n2 1 2 3 0 0 0 1\n")
    dropped = []
    stamps, poses = read_tum(path, dropped)
    assert list(stamps) == [1_500_000_000, 2_000_000_000] and poses.shape == (2, 7) and dropped == [4, 5]


@pytest.mark.parametrize("text, message", [("1 2 3\n", "t.tum:1: expected 8 values"), ("# c\n1 2 3 4 5 6 7 x\n", "t.tum:2: not a number"),
                                           ("1 nan 0 0 0 0 0 1\n", "non-finite"), ("# only a comment\n", "no poses")])
def test_read_tum_names_the_bad_line(tmp_path, text, message):
    (tmp_path / "t.tum").write_text(text)
    with pytest.raises(ValueError, match=message):
        read_tum(tmp_path / "t.tum")
