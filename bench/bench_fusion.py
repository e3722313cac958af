"""OdometryFusion end to end from Python (construct ImuSample, handle_imu, maybe_publish), beside the same
loop without the engine calls, and the filter's propagation and update written with numpy by the same
formulas, the way a Python user would write them."""

import time

import velk_odom

MS = 1_000_000
IMU = {
    "frame_id": "imu",
    "gyro_noise_density": 1.7e-4,
    "gyro_random_walk": 2e-5,
    "accel_noise_density": 2e-3,
    "accel_random_walk": 3e-3,
    "init_samples": 1,
}
WHEEL = {
    "parent_frame_id": "odom",
    "child_frame_id": "wheel",
    "pose_variances": [1e-3, 1e-3, 0.0, 0.0, 0.0, 1e-3],
    "twist_variances": [1e-3, 1e-3, 0.0, 0.0, 0.0, 1e-3],
}
MOUNT = ((0.1, 0.02, 0.05), (0.0, 0.0, 0.0, 1.0))


def best_of(fn, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        count = fn()
        best = min(best, (time.perf_counter() - start) / count)
    return best


def initialised_fusion():
    fusion = velk_odom.OdometryFusion({"imus": [IMU], "odom_sources": [WHEEL]})
    fusion.handle_imu(velk_odom.ImuSample(1000 * MS, "imu", (0.0, 0.0, 0.0), (0.0, 0.0, 9.8)), MOUNT)
    return fusion


def python_rows(n=100_000):
    fusion = initialised_fusion()
    ImuSample = velk_odom.ImuSample
    state = {"t": 1000 * MS}

    def with_engine():
        t = state["t"]
        handle, publish = fusion.handle_imu, fusion.maybe_publish
        for i in range(n):
            t += 5 * MS
            handle(ImuSample(t, "imu", (0.001, -0.002, 0.2), (0.3, 0.01, 9.8)), MOUNT)
            publish()
        state["t"] = t
        return n

    def without_engine():
        t = state["t"]
        for i in range(n):
            t += 5 * MS
            ImuSample(t, "imu", (0.001, -0.002, 0.2), (0.3, 0.01, 9.8))
        return n

    full = best_of(with_engine)
    loop = best_of(without_engine)

    # Odometry estimates in order, between IMU samples (6 rows per update).
    def sources(m=5_000):
        t = state["t"]
        for i in range(m):
            t += 5 * MS
            fusion.handle_imu(ImuSample(t, "imu", (0.001, -0.002, 0.2), (0.3, 0.01, 9.8)), MOUNT)
            s = (t - 1000 * MS) * 1e-9
            fusion.handle_source(velk_odom.OdometryEstimate(t, "odom", "wheel", (0.15 * s, 0.0, 0.0), (0.0, 0.0, 0.0, 1.0),
                                                            twist_linear=(0.3, 0.0, 0.0)))
        state["t"] = t
        return m

    pair = best_of(sources)
    return full, loop, pair


def numpy_rows(n=20_000):
    import numpy as np

    def skew(u):
        return np.array([[0.0, -u[2], u[1]], [u[2], 0.0, -u[0]], [-u[1], u[0], 0.0]])

    def rotation(q):
        x, y, z, w = q
        return np.array([
            [w * w + x * x - y * y - z * z, 2 * (x * y - w * z), 2 * (x * z + w * y)],
            [2 * (x * y + w * z), w * w - x * x + y * y - z * z, 2 * (y * z - w * x)],
            [2 * (x * z - w * y), 2 * (y * z + w * x), w * w - x * x - y * y + z * z],
        ])

    def exp_q(phi):
        h = 0.5 * phi
        a = np.linalg.norm(h)
        if a * a <= 4.930380657631324e-32:
            return np.array([0.0, 0.0, 0.0, 1.0])
        return np.concatenate([h * np.sin(a) / a, [np.cos(a)]])

    def hamilton(a, b):
        ax, ay, az, aw = a
        bx, by, bz, bw = b
        return np.array([aw * bx + ax * bw + ay * bz - az * by, aw * by - ax * bz + ay * bw + az * bx,
                         aw * bz + ax * by - ay * bx + az * bw, aw * bw - ax * bx - ay * by - az * bz])

    n_state = 15
    p = np.diag([0.01] * 3 + [0.01] * 3 + [0.0025] * 3 + [1e-4] * 6)
    pos, vel, q = np.zeros(3), np.zeros(3), np.array([0.0, 0.0, 0.0, 1.0])
    bg, ba = np.zeros(3), np.zeros(3)
    gyro, accel, dt = np.array([0.001, -0.002, 0.2]), np.array([0.3, 0.01, 9.8]), 0.005
    noise = (1.7e-4, 2e-5, 2e-3, 3e-3)

    def propagate():
        nonlocal p, pos, vel, q
        for _ in range(n):
            w, a, r = gyro - bg, accel - ba, rotation(q)
            f = np.eye(n_state)
            f[0:3, 3:6] = dt * np.eye(3)
            f[3:6, 6:9] = -r @ skew(a) * dt
            f[3:6, 12:15] = -r * dt
            f[6:9, 6:9] = np.eye(3) - skew(w * dt)
            f[6:9, 9:12] = -dt * np.eye(3)
            qn = np.zeros((n_state, n_state))
            qn[3:6, 3:6] = noise[2] ** 2 * dt * np.eye(3)
            qn[6:9, 6:9] = noise[0] ** 2 * dt * np.eye(3)
            qn[9:12, 9:12] = noise[1] ** 2 * dt * np.eye(3)
            qn[12:15, 12:15] = noise[3] ** 2 * dt * np.eye(3)
            g_w = r @ a + np.array([0.0, 0.0, -9.8])
            pos = pos + vel * dt + 0.5 * g_w * dt * dt
            vel = vel + g_w * dt
            q = hamilton(q, exp_q(w * dt))
            p = f @ p @ f.T + qn
        return n

    h = np.zeros((6, n_state))
    h[0, 0] = h[1, 1] = h[2, 8] = 1.0
    h[3, 3] = h[4, 4] = 1.0
    h[5, 11] = -1.0
    y = np.array([0.01, -0.02, 0.001, 0.02, 0.0, 0.001])
    rv = np.full(6, 1e-3)

    def update(m=n // 4):
        nonlocal p
        for _ in range(m):
            p0 = p
            s = h @ p0 @ h.T + np.diag(rv)
            s_inv = np.linalg.inv(s)
            if y @ s_inv @ y >= 25.0 * 6:
                continue
            k = p0 @ h.T @ s_inv
            dx = k @ y
            a_ = np.eye(n_state) - k @ h
            p_new = a_ @ p0 @ a_.T + k @ np.diag(rv) @ k.T
            del dx, p_new  # each round applies the same update to the same prior
        return m

    return best_of(propagate, 3), best_of(update, 3)


def rows():
    full, loop, pair = python_rows()
    out = [
        ("fusion: Python loop ImuSample + handle_imu + maybe_publish", 1.0 / full, "samples/s", "target >= 200,000"),
        ("fusion: the same loop without the engine calls", 1.0 / loop, "samples/s", "ImuSample construction only"),
        ("fusion: engine calls per sample from Python", (full - loop) * 1e6, "us", "handle_imu + maybe_publish"),
        ("fusion: handle_imu + handle_source from Python", pair * 1e6, "us", "one IMU sample and one estimate"),
    ]
    try:
        propagate, update = numpy_rows()
    except ImportError:
        return out
    out += [
        ("fusion: numpy propagation (dense F, Q), state 15", propagate * 1e6, "us", "per IMU sample"),
        ("fusion: numpy propagation / engine from Python", propagate / full, "ratio", "numpy per step / full loop per sample"),
        ("fusion: numpy update (6 rows, Joseph form)", update * 1e6, "us", "per measurement"),
        ("fusion: numpy update / engine from Python", update / max(pair - full, 1e-12), "ratio",
         "numpy update / (IMU + estimate pair - IMU loop)"),
    ]
    return out


if __name__ == "__main__":
    for row in rows():
        print("\t".join(str(v) for v in row))
