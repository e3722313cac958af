"""`velk-odom node` through a live ROS 2 graph on this machine (needs the `ros` extra).

- latency from an IMU message's publication to the fused odometry that includes it (median, 99th
  percentile) at 200 Hz and 1 kHz IMU with 50 Hz wheels, and the node's CPU use;
- the highest IMU rate the node takes without dropping a sample;
- the visual part's frame rate on a 640 x 480 stereo recording, against `velk-odom vo` on it.

    PYTHONPATH=. python bench/bench_node.py [--quick]
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

try:
    import numpy as np
    import rclpy
    import yaml
    from diagnostic_msgs.msg import DiagnosticArray
    from nav_msgs.msg import Odometry
    from rclpy.qos import QoSProfile, ReliabilityPolicy
    from sensor_msgs.msg import Imu

    RELIABLE = QoSProfile(depth=100000, reliability=ReliabilityPolicy.RELIABLE)
except ImportError:  # without the ros extra there is nothing to measure
    rclpy = None

START_NS = 1_700_000_000_000_000_000


def fusion_config(rate_hz):
    return {
        "odom_frame_id": "odom", "output_frame_id": "base_link", "publish_rate": 100.0,
        "imus": [{"frame_id": "imu", "gyro_noise_density": 1e-3, "gyro_random_walk": 1e-5, "accel_noise_density": 1e-2,
                  "accel_random_walk": 1e-4, "init_samples": 100}],
        "odom_sources": [{"parent_frame_id": "odom", "child_frame_id": "base_link", "pose_variances": [0.0] * 6,
                          "twist_variances": [1e-4] * 6, "differential": True}],
        "topics": {"/imu": {"imu": "imu", "base_from_imu": [[0, 0, 0], [0, 0, 0, 1]]}, "/wheel": {"odom_source": ["odom", "base_link"]}},
        "node": {"sensor_qos": {"reliability": "reliable", "depth": 100000}},
    }


def cpu_s(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start_node(config_path):
    return subprocess.Popen([sys.executable, "-m", "velk_odom.cli", "node", "--config", str(config_path)],
                            stderr=subprocess.PIPE, text=True)


def stop(proc):
    """SIGTERM; returns the IMU samples the node says it fused."""
    proc.send_signal(signal.SIGTERM)
    _, err = proc.communicate(timeout=20)
    if os.environ.get("BENCH_NODE_LOG"):
        print(err[-2000:])
    m = re.search(r"/imu: (\d+) imu", err)
    return int(m.group(1)) if m else 0


def spin(node, seconds, until=lambda: False):
    end = time.monotonic() + seconds
    while time.monotonic() < end and not until():
        rclpy.spin_once(node, timeout_sec=0.001)


def imu_msg(t_ns, rng):
    m = Imu()
    m.header.stamp.sec, m.header.stamp.nanosec = divmod(t_ns, 1_000_000_000)
    m.header.frame_id = "imu"
    m.linear_acceleration.x, m.linear_acceleration.y = rng.normal(0, 0.01, 2)
    m.linear_acceleration.z = 9.81 + rng.normal(0, 0.01)
    m.angular_velocity.x, m.angular_velocity.y, m.angular_velocity.z = rng.normal(0, 1e-3, 3)
    m.orientation_covariance[0] = -1.0
    return m


def wheel_msg(t_ns):
    m = Odometry()
    m.header.stamp.sec, m.header.stamp.nanosec = divmod(t_ns, 1_000_000_000)
    m.header.frame_id, m.child_frame_id = "odom", "base_link"
    m.pose.pose.orientation.w = 1.0
    m.twist.covariance = [1e-4 if i % 7 == 0 else 0.0 for i in range(36)]
    return m


def run_fusion(bench, folder, rate_hz, seconds):
    """Publish IMU at ``rate_hz`` and wheels at 50 Hz in real time; returns (latencies s, IMU sent,
    IMU fused, node CPU fraction). The node publishes at 100 Hz: each estimate carries the stamp of the
    IMU sample that completed its period, whose latency it measures."""
    path = folder / f"fusion_{rate_hz}.yaml"
    path.write_text(yaml.safe_dump(fusion_config(rate_hz)))
    # The graph forgets the previous run's node before this one starts.
    spin(bench, 10, until=lambda: not bench.count_subscribers("/imu") and not bench.count_publishers("/odometry/filtered"))
    node = start_node(path)
    sent_at = {}
    latencies = []
    diags = []

    def on_odom(m):
        t = m.header.stamp.sec * 1_000_000_000 + m.header.stamp.nanosec
        if t in sent_at:
            latencies.append(time.perf_counter() - sent_at[t])

    sub = bench.create_subscription(Odometry, "odometry/filtered", on_odom, RELIABLE)
    dsub = bench.create_subscription(DiagnosticArray, "/diagnostics", diags.append, 10)
    imu = bench.create_publisher(Imu, "/imu", RELIABLE)
    wheel = bench.create_publisher(Odometry, "/wheel", RELIABLE)
    rng = np.random.default_rng(0)
    try:
        spin(bench, 20, until=lambda: imu.get_subscription_count() and wheel.get_subscription_count() and bench.count_publishers("/odometry/filtered"))
        spin(bench, 0.5)
        n = int(seconds * rate_hz)
        period = 1.0 / rate_hz
        wheel_every = max(1, int(rate_hz // 50))
        cpu0 = cpu_s(node.pid)
        wall0 = time.perf_counter()
        for k in range(n):
            due = wall0 + k * period
            while time.perf_counter() < due:
                rclpy.spin_once(bench, timeout_sec=0)
            t = START_NS + k * int(1e9 / rate_hz)
            msg = imu_msg(t, rng)
            sent_at[t] = time.perf_counter()
            imu.publish(msg)
            if k % wheel_every == 0:
                wheel.publish(wheel_msg(t))
        spin(bench, 2.0)
        cpu = (cpu_s(node.pid) - cpu0) / (time.perf_counter() - wall0)
    finally:
        fused = stop(node)
        for x in (sub, dsub):
            bench.destroy_subscription(x)
        bench.destroy_publisher(imu)
        bench.destroy_publisher(wheel)
    return np.array(latencies[10:]), n, fused, cpu


def stereo_bag(path, frames):
    """A rendered 640 x 480 stereo drive (no depth) with its camera_info, and the rig's mounts."""
    from rosbags.rosbag2 import Writer
    from rosbags.typesys import Stores, get_typestore

    import velk_odom.scene as h
    from velk_odom.ros import MessageBuilder

    store = get_typestore(Stores.ROS2_HUMBLE)
    t, b = store.types, MessageBuilder(store, ros1=False)
    w, hgt, f = 640, 480, 480.0
    rig_from = {"left": h.Pose((0, 0.05, 0), h.OPTICAL), "right": h.Pose((0, -0.05, 0), h.OPTICAL)}
    mounts = [("base_link", "rig", h.BASE_FROM_RIG), *(("rig", c, p) for c, p in rig_from.items())]
    with Writer(path, version=9) as wr:
        conns = {}
        static = wr.add_connection("/tf_static", "tf2_msgs/msg/TFMessage", typestore=store)
        for parent, child, pose in mounts:
            m = b.tf_message(START_NS, parent, child, pose.pair())
            wr.write(static, START_NS, store.serialize_cdr(m, m.__msgtype__))
        for k, odom_from_base in enumerate(h.robot_path(frames)):
            stamp = START_NS + k * 50_000_000
            for cam, rig_from_cam in rig_from.items():
                pixels, _ = h.render(odom_from_base * h.BASE_FROM_RIG * rig_from_cam, w, hgt, f)
                info = t["sensor_msgs/msg/CameraInfo"](
                    header=b.header(stamp, cam), height=hgt, width=w, distortion_model="plumb_bob", d=np.zeros(5),
                    k=np.array([f, 0, (w - 1) / 2, 0, f, (hgt - 1) / 2, 0, 0, 1]), r=np.eye(3).ravel(), p=np.zeros(12),
                    binning_x=0, binning_y=0, roi=t["sensor_msgs/msg/RegionOfInterest"](x_offset=0, y_offset=0, height=0, width=0, do_rectify=False))
                image = t["sensor_msgs/msg/Image"](header=b.header(stamp, cam), height=hgt, width=w, encoding="mono8",
                                                   is_bigendian=0, step=w, data=pixels.ravel())
                for topic, m in ((f"/{cam}/camera_info", info), (f"/{cam}/image_raw", image)):
                    if topic not in conns:
                        conns[topic] = wr.add_connection(topic, m.__msgtype__, typestore=store)
                    wr.write(conns[topic], stamp, store.serialize_cdr(m, m.__msgtype__))
    return [[p, c, [list(pose.pair()[0]), list(pose.pair()[1])]] for p, c, pose in mounts]


def run_visual(bench, folder, frames):
    bag = folder / "stereo"
    mounts = stereo_bag(bag, frames)
    proposed = subprocess.run([sys.executable, "-m", "velk_odom.cli", "vo", str(bag), "--print-config"],
                              capture_output=True, text=True, check=True)
    config = yaml.safe_load(proposed.stdout)
    config["node"] = {"static_transforms": mounts, "sensor_qos": {"reliability": "reliable", "depth": 100000}}
    path = folder / "vo.yaml"
    path.write_text(yaml.safe_dump(config))
    # Offline: what `velk-odom vo` does with the recording (read, convert, track), timed in this process.
    from velk_odom import _native
    from velk_odom.cli._open import open_recording
    from velk_odom.cli._recording import static_transforms
    from velk_odom.cli._visual import CONVERSIONS, engine_config, hand

    with open_recording(bag) as rec:
        vo = _native.CuvslamOdometry(engine_config(config), tf=static_transforms(rec))
        roles = {t: r for t, r in config["topics"].items() if r != "tf"}
        t0 = time.perf_counter()
        tracked = sum(hand(vo, roles[m.topic], CONVERSIONS[roles[m.topic]](m.msg))[1] is not None
                      for m in rec.messages(list(roles), "recorded"))
        offline_fps = tracked / (time.perf_counter() - t0)
    # Live: played far faster than the node tracks, so the node's own rate shows.
    got = []
    sub = bench.create_subscription(Odometry, "odometry/visual", lambda m: got.append(time.perf_counter()), RELIABLE)
    spin(bench, 10, until=lambda: not bench.count_publishers("/odometry/filtered"))
    node = start_node(path)
    try:
        spin(bench, 20, until=lambda: bench.count_publishers("/odometry/visual"))
        play = subprocess.Popen([sys.executable, "-m", "velk_odom.cli", "play", str(bag), "--rate", "50"], stderr=subprocess.DEVNULL)
        while play.poll() is None or (got and time.perf_counter() - got[-1] < 3.0):
            spin(bench, 0.1)
            if len(got) >= frames:
                break
    finally:
        stop(node)
        bench.destroy_subscription(sub)
    live_fps = (len(got) - 1) / (got[-1] - got[0]) if len(got) > 1 else float("nan")
    return live_fps, offline_fps, len(got)


def measure(quick):
    """The figures as rows (name, value, unit, note)."""
    seconds = 3.0 if quick else 10.0
    os.environ.setdefault("ROS_DOMAIN_ID", str(1 + os.getpid() % 100))
    rclpy.init()
    bench = rclpy.create_node("velk_odom_bench")
    out = []
    try:
        with tempfile.TemporaryDirectory() as d:
            folder = Path(d)
            for rate in (200, 1000):
                lat, sent, fused, cpu = run_fusion(bench, folder, rate, seconds)
                lat = lat if len(lat) else np.array([np.nan])
                note = f"{len(lat)} estimates, fused {fused}/{sent} IMU samples, 50 Hz wheels"
                out += [(f"node: IMU {rate} Hz -> odometry/filtered latency, median", 1e3 * np.median(lat), "ms", note),
                        (f"node: IMU {rate} Hz -> odometry/filtered latency, p99", 1e3 * np.percentile(lat, 99), "ms", note),
                        (f"node: CPU use at IMU {rate} Hz", 100 * cpu, "%", "of one core")]
            held = 1000
            for rate in (2000, 4000, 8000):
                _, sent, fused, cpu = run_fusion(bench, folder, rate, min(seconds, 3.0))
                if fused < sent:
                    out.append((f"node: IMU {rate} Hz", fused / sent * 100, "% fused", f"{sent - fused} of {sent} not taken"))
                    break
                held = rate
            out.append(("node: highest IMU rate held without drops", held, "Hz", "of 2000, 4000, 8000"))
            frames = 30 if quick else 80
            live_fps, offline_fps, n = run_visual(bench, folder, frames)
            out += [("node: visual part, 640 x 480 stereo", live_fps, "frames/s", f"{n} of {frames} frame pairs tracked"),
                    ("node: visual part / offline replay", 100 * live_fps / offline_fps, "%", f"offline {offline_fps:.1f} frames/s")]
    finally:
        bench.destroy_node()
        rclpy.shutdown()
    return out


def rows():
    """For bench/run.py: the short runs, or nothing without the ros extra."""
    return measure(quick=True) if rclpy is not None else []


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--quick", action="store_true", help="shorter runs")
    args = p.parse_args()
    if rclpy is None:
        sys.exit("bench_node needs the ros extra (ROS 2's Python client and messages)")
    for name, value, unit, note in measure(args.quick):
        print(f"{name:58s} {value:10.2f} {unit:9s} {note}")


if __name__ == "__main__":
    main()
