"""`velk-odom node --config FILE`: the engines as one ROS 2 node (`velk_odom`) on a live graph.

The configuration is a `fuse` or a `vo` file, and decides what runs:

- a fusion file: OdometryFusion fed from its `topics`, publishing nav_msgs/Odometry on
  ``odometry/filtered`` at its publish rate; with a `visual` section, CuvslamOdometry as well, its
  estimates on ``odometry/visual`` and fed to the fusion as the section's odometry source;
- a vo file: CuvslamOdometry alone, publishing ``odometry/visual``.

Depth images also give sensor_msgs/PointCloud2 on ``points``. Every second, diagnostic_msgs on
``/diagnostics`` carries the counters (WARN while a counter of dropped or refused input grows). With
tf2_msgs, /tf_static and /tf are read and odom -> base_link is published on /tf; the `node` section's
``static_transforms`` are known from the start either way.

Everything runs on the thread that made the engines (the visual engine is bound to it); message
stamps drive the engines. An odometry source's message waits until the IMUs have reached its stamp,
and an image until the other images and depth have, so that a source arriving ahead of a lagging IMU
does not make the IMU's samples late, nor one camera's topic ahead of another break up the frame
sets. It goes on without a topic that has fallen behind by more than the fusion's replay buffer of
data time and stopped (nothing from it for as long in the node's own time, while other messages
come): a node that fell behind and takes its queued messages topic by topic waits for all of them.
Nothing an input does ends the node: it is logged once and counted.
SIGINT and SIGTERM end it within a second; a configuration error ends it at start with one line and
exit status 2.
"""

from __future__ import annotations

import argparse
import heapq
import signal
import sys
import time
from collections import Counter
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

from velk_odom import _geometry as geo
from velk_odom.cli._config import FUSION_KEYS, VO_KEYS, check_keys, load_config_file, parse_frame_pair, parse_pair, parse_positive
from velk_odom.cli._errors import UserError, one_line
from velk_odom.cli._recording import CAMERA_INFO, IMAGE, IMU, ODOMETRY, TF
from velk_odom.ros import TransformBuffer, stamp_ns

NODE_NAME = "velk_odom"
FILTERED, VISUAL, POINTS, DIAGNOSTICS = "odometry/filtered", "odometry/visual", "points", "/diagnostics"
DEFAULT_SENSOR_QOS = {"reliability": "best_effort", "depth": 100}
DEFAULT_OUTPUT_QOS = {"reliability": "reliable", "depth": 10}
DEFAULT_TRANSFORM_TIMEOUT_S = 1.0
# A stamp this much older than the topic's last is a publisher restarted on another clock; a gap this
# long is a sensor that stopped and started again.
CLOCK_JUMP_NS = 1_000_000_000
GAP_NS = 1_000_000_000
# Engine counters of input the engines dropped or refused: a WARN while one grows.
FUSION_DROPS = ("gated", "too_late", "non_finite_imu", "stale_poses", "buffer_overflow")
VISUAL_DROPS = ("imu_dropped_before_start", "skew_rejects", "covariance_gated", "speed_gated", "unmatched_images",
                "image_size_rejects", "calibration_rejects", "bad_transforms")
ROLE_TYPES = {"image": IMAGE, "depth": IMAGE, "camera_info": CAMERA_INFO, "depth_camera_info": CAMERA_INFO, "imu": IMU, "tf": TF}
SHUTDOWN_DRAIN_S = 0.3
HOLD_LIMIT = 10  # a held message goes on without its topics once this many replay buffers of data time old


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--config", metavar="FILE", required=True,
                   help="a `fuse` or `vo` configuration (YAML or JSON); its `topics` name the input topics")
    p.add_argument("--log", default="warn", metavar="LEVEL", help="engine log filter on stderr (default warn)")
    p.add_argument("--print-config", action="store_true", help="print what the node would run and exit")


class _Topics:
    """The input topics of a fusion file as the topic planning reads a recording's: a topic's type is
    settled when the graph shows it, so each is planned as the type its entry reads first."""

    def __init__(self, section: Dict[str, Any]) -> None:
        self.topics = {t: IMU if isinstance(e, dict) and "odom_source" not in e else ODOMETRY for t, e in section.items()}

    def describe_topics(self) -> str:
        return ", ".join(self.topics)


class Setup:
    """What a configuration file asks the node to run, checked before anything starts (UserError)."""

    def __init__(self, path: str) -> None:
        self.source = path
        config = load_config_file(path)
        topics = config.get("topics")
        visual_only = "camera_mode" in config or (isinstance(topics, dict) and topics and all(isinstance(v, str) for v in topics.values()))
        check_keys(config, VO_KEYS if visual_only else FUSION_KEYS, path)
        if not isinstance(topics, dict) or not (topics or isinstance(config.get("visual"), dict)):
            raise UserError(f"{path}: needs a `topics` section naming the input topics")
        self.config = config
        self.plans: List[Any] = []
        self.fusion_config: Optional[Dict[str, Any]] = None
        self.visual_section: Optional[Dict[str, Any]] = None
        self.visual_pair: Optional[Tuple[str, str]] = None
        if visual_only:
            self.visual_section = config
        else:
            self._plan_fusion(config)
        self.roles: Dict[str, str] = {}
        if self.visual_section is not None:
            self.roles = self._check_roles(self.visual_section.get("topics"))
            self._check_visual_config()
        self._node_section(config.get("node") or {})

    def _plan_fusion(self, config: Dict[str, Any]) -> None:
        from velk_odom import _native
        from velk_odom.cli._fuse import plans_from_section
        from velk_odom.cli._visual import SECTION, source_entry

        imus, sources = config.get("imus") or [], config.get("odom_sources") or []
        if not isinstance(imus, list) or not isinstance(sources, list):
            raise UserError(f"{self.source}: `imus` and `odom_sources` must be lists of entries")
        imu_frames = {e.get("frame_id") for e in imus if isinstance(e, dict)}
        pairs = {(e.get("parent_frame_id"), e.get("child_frame_id")) for e in sources if isinstance(e, dict)}
        self.plans = plans_from_section(config["topics"], _Topics(config["topics"]), imu_frames, pairs, self.source)
        self.visual_pair = source_entry(config, self.source)
        if self.visual_pair is not None:
            self.visual_section = config[SECTION]
        self.fusion_config = {k: v for k, v in config.items() if k not in ("topics", "visual", "node")}
        try:
            _native.OdometryFusion(self.fusion_config)
        except (TypeError, ValueError) as err:
            raise UserError(f"{self.source}: {err}") from None

    def _check_roles(self, topics: Any) -> Dict[str, str]:
        where = f"{self.source}: visual.topics" if self.visual_pair is not None else f"{self.source}: topics"
        if not isinstance(topics, dict) or not topics:
            raise UserError(f"{where} must map topics to roles ({', '.join(ROLE_TYPES)})")
        for t, role in topics.items():
            if role not in ROLE_TYPES:
                raise UserError(f"{where}.{t}: unknown role {role!r}; use one of {', '.join(ROLE_TYPES)}")
        if not any(r in ("image", "depth") for r in topics.values()):
            raise UserError(f"{where}: no topic has the role image or depth; the visual odometry needs one")
        return dict(topics)

    def _check_visual_config(self) -> None:
        """A visual configuration the engine refuses, found before the node starts (the engine made
        here is dropped; the node makes its own on its thread)."""
        from velk_odom import _native
        from velk_odom.cli._visual import engine_config, imu_noise_model

        try:
            engine = _native.CuvslamOdometry(engine_config(self.visual_section), tf=lambda target, source: None)
            imu_noise = self.visual_section.get("imu_noise")
            if isinstance(imu_noise, dict):
                engine.handle_imu_info(imu_noise_model(imu_noise, "imu"))
        except (TypeError, ValueError) as err:
            raise UserError(f"{self.source}: {err}") from None

    def _node_section(self, node: Any) -> None:
        if not isinstance(node, dict):
            raise UserError(f"{self.source}: `node` must be a mapping")
        self.sensor_qos = self._qos(node.get("sensor_qos"), DEFAULT_SENSOR_QOS, "sensor_qos")
        self.output_qos = self._qos(node.get("output_qos"), DEFAULT_OUTPUT_QOS, "output_qos")
        self.transform_timeout_ns = int(1e9 * parse_positive(node.get("transform_timeout", DEFAULT_TRANSFORM_TIMEOUT_S),
                                                             f"{self.source}: node.transform_timeout"))
        self.static_transforms: List[Tuple[str, str, geo.Pair]] = []
        entries = node.get("static_transforms") or []
        if not isinstance(entries, list):
            raise UserError(f"{self.source}: node.static_transforms must be a list of [parent, child, [[x, y, z], [qx, qy, qz, qw]]]")
        for i, e in enumerate(entries):
            what = f"{self.source}: node.static_transforms[{i}]"
            if not isinstance(e, (list, tuple)) or len(e) != 3:
                raise UserError(f"{what} must be [parent, child, [[x, y, z], [qx, qy, qz, qw]]]")
            parent, child = parse_frame_pair(list(e[:2]), what)
            self.static_transforms.append((parent, child, parse_pair(e[2], what)))

    def _qos(self, value: Any, default: Dict[str, Any], key: str) -> Dict[str, Any]:
        qos = dict(default, **(value or {})) if isinstance(value, (dict, type(None))) else None
        if qos is None or qos["reliability"] not in ("reliable", "best_effort"):
            raise UserError(f"{self.source}: node.{key}.reliability must be reliable or best_effort")
        depth = qos["depth"]
        if isinstance(depth, bool) or not isinstance(depth, int) or not 1 <= depth <= 100_000:
            raise UserError(f"{self.source}: node.{key}.depth must be a whole number from 1 to 100000, got {depth!r}")
        return qos

    def describe(self) -> str:
        parts = []
        if self.fusion_config is not None:
            parts.append(f"fusion of {', '.join(p.topic for p in self.plans)} -> {FILTERED}")
        if self.visual_section is not None:
            fed = f", fed to the fusion as {list(self.visual_pair)}" if self.visual_pair else ""
            parts.append(f"visual odometry of {', '.join(self.roles)} -> {VISUAL}{fed}")
        return "; ".join(parts)


def run(args: argparse.Namespace) -> int:
    setup = Setup(args.config)
    if args.print_config:
        print(setup.describe())
        return 0
    try:
        import rclpy  # noqa: F401
        from diagnostic_msgs.msg import DiagnosticArray  # noqa: F401
        from nav_msgs.msg import Odometry  # noqa: F401
    except ImportError as err:
        raise UserError(f"velk-odom node needs ROS 2's Python client and messages ({err.name} is missing): "
                        'pip install "velk_odom[ros]", or source a ROS 2 installation') from None
    from velk_odom.cli._output import EngineLog

    with EngineLog(args.log):
        return LiveNode(setup, getattr(args, "ros_args", None) or []).spin()


class LiveNode:
    """The node: subscriptions, engines, publications and diagnostics, on the calling thread."""

    def __init__(self, setup: Setup, ros_args: List[str]) -> None:
        import rclpy
        from rclpy.signals import SignalHandlerOptions

        self.setup = setup
        rclpy.init(args=["velk-odom", "--ros-args", *ros_args] if ros_args else None, signal_handler_options=SignalHandlerOptions.NO)
        from rclpy.executors import SingleThreadedExecutor

        self.node = rclpy.create_node(NODE_NAME)
        self.log = self.node.get_logger()
        self.executor = SingleThreadedExecutor()
        self.executor.add_node(self.node)
        self.counts: Counter = Counter()  # the node's own counters of dropped, refused and odd input
        self.warned: Set[str] = set()
        self.last_stamp: Dict[str, int] = {}
        self._plan_holding()
        self.stop_signal: Optional[int] = None
        self.exit_status = 0
        self.published: Counter = Counter()
        self.seen_camera_info = False
        self.tf = TransformBuffer()
        for parent, child, pair in setup.static_transforms:
            self.tf.set_transform(parent, child, pair, static=True)
        self.mount_wait: Dict[str, int] = {}  # IMU topic -> first stamp waiting for its mount
        self.last_drops: Dict[str, int] = {}
        self._make_engines()
        self._make_publishers()
        self._make_subscriptions()
        self.node.create_timer(1.0, self._diagnose)

    # ---- set-up ----

    def _qos(self, spec: Dict[str, Any]) -> Any:
        from rclpy.qos import HistoryPolicy, QoSProfile, ReliabilityPolicy

        reliability = ReliabilityPolicy.RELIABLE if spec["reliability"] == "reliable" else ReliabilityPolicy.BEST_EFFORT
        return QoSProfile(history=HistoryPolicy.KEEP_LAST, depth=spec["depth"], reliability=reliability)

    def _make_engines(self) -> None:
        from velk_odom import _native
        from velk_odom.cli._visual import engine_config, imu_noise_model

        s = self.setup
        self.fusion = _native.OdometryFusion(s.fusion_config) if s.fusion_config is not None else None
        self.visual = None
        if s.visual_section is not None:  # its configuration was checked by Setup
            self.visual = _native.CuvslamOdometry(engine_config(s.visual_section), tf=self.tf)
            imu_noise = s.visual_section.get("imu_noise")
            if isinstance(imu_noise, dict):
                self.visual.handle_imu_info(imu_noise_model(imu_noise, "imu"))

    def _make_publishers(self) -> None:
        from diagnostic_msgs.msg import DiagnosticArray
        from nav_msgs.msg import Odometry
        from sensor_msgs.msg import PointCloud2

        qos = self._qos(self.setup.output_qos)
        self.pub_filtered = self.node.create_publisher(Odometry, FILTERED, qos) if self.fusion is not None else None
        self.pub_visual = self.node.create_publisher(Odometry, VISUAL, qos) if self.visual is not None else None
        depth = any(r == "depth" for r in self.setup.roles.values())
        self.pub_points = self.node.create_publisher(PointCloud2, POINTS, qos) if depth else None
        self.pub_diag = self.node.create_publisher(DiagnosticArray, DIAGNOSTICS, 10)
        try:
            from tf2_msgs.msg import TFMessage
        except ImportError:
            self.tf_type = None
            self.pub_tf = None
            self.log.info("tf2_msgs is not installed: transforms come from node.static_transforms only, and "
                          "odom -> base_link is not published on /tf")
            return
        self.tf_type = TFMessage
        self.pub_tf = self.node.create_publisher(TFMessage, "/tf", qos)

    def _make_subscriptions(self) -> None:
        """One subscription a topic, feeding each part that reads it (visual first, as `fuse` does)."""
        from sensor_msgs.msg import CameraInfo, Image, Imu

        self.handlers: Dict[str, List[Callable[[str, Any], None]]] = {}
        self.want_type: Dict[str, Any] = {}  # topic -> ROS type name, once known
        self.pending: Dict[str, Any] = {}  # odometry topics whose type the graph has not shown yet
        classes = {IMAGE: Image, CAMERA_INFO: CameraInfo, IMU: Imu}
        self.subs: Dict[str, Any] = {}
        for topic, role in self.setup.roles.items():
            self.handlers.setdefault(topic, []).append(self._visual_handler(role))
            if role == "tf":
                continue
            self.want_type[topic] = ROLE_TYPES[role]
        for plan in self.setup.plans:
            self.handlers.setdefault(plan.topic, []).append(self._fusion_handler(plan))
            if plan.odom_source is not None and plan.imu_frame is None and plan.orientation is None:
                self.pending[plan.topic] = plan
            else:
                self.want_type[plan.topic] = IMU
        for topic, msgtype in self.want_type.items():
            self._subscribe(topic, classes[msgtype])
        if self.tf_type is not None:
            for topic, static in (("/tf_static", True), ("/tf", False)):
                from rclpy.qos import DurabilityPolicy, QoSProfile, ReliabilityPolicy

                qos = QoSProfile(depth=100, reliability=ReliabilityPolicy.RELIABLE,
                                 durability=DurabilityPolicy.TRANSIENT_LOCAL if static else DurabilityPolicy.VOLATILE)
                self.node.create_subscription(self.tf_type, topic, lambda m, s=static: self._on_tf(m, s), qos)
        elif any(r == "tf" for r in self.setup.roles.values()):
            self._once("tf role", "warning", "the tf role topics are not read (tf2_msgs is not installed); "
                       "give the transforms in node.static_transforms")
        self._discover()
        self.node.create_timer(0.1, self._discover)
        # Held messages whose awaited topic stopped go on even when nothing else comes after them.
        self.node.create_timer(0.1, lambda: self._release(False))

    def _plan_holding(self) -> None:
        """Which topics' messages wait for others to reach their stamp: the fusion's odometry sources
        for its IMUs, and the visual part's images and depth for each other (a stereo pair is tracked
        only when both halves are there, and a half superseded before its partner comes is lost)."""
        from velk_odom._native import OdometryFusion

        imus = {p.topic for p in self.setup.plans if p.imu_frame is not None}
        pictures = {t for t, r in self.setup.roles.items() if r in ("image", "depth")} - imus
        self.waits_for: Dict[str, Set[str]] = {p.topic: imus for p in self.setup.plans if imus and p.topic not in imus}
        for t in pictures:
            self.waits_for[t] = self.waits_for.get(t, set()) | (pictures - {t})
        span = (self.setup.fusion_config or {}).get("replay_buffer_seconds", OdometryFusion.CONFIG_DEFAULTS["replay_buffer_seconds"])
        self.hold_ns = int(span * 1e9)
        self.held: List[Tuple[int, int, str, Any]] = []  # a heap of (stamp, arrival, topic, message)
        self.arrivals = 0
        self.first_ns: Optional[int] = None  # the first stamp since the start (or a restart)
        # When each topic's last message was taken, and since when the node has been taking messages
        # without a pause as long as the hold (the node's own stalls are not a topic's silence).
        self.taken_at: Dict[str, float] = {}
        self.last_take = self.taking_since = time.monotonic()

    def _subscribe(self, topic: str, msg_class: Any) -> None:
        callbacks = None
        try:
            from rclpy.event_handler import SubscriptionEventCallbacks
        except ImportError:  # older rclpy
            from rclpy.qos_event import SubscriptionEventCallbacks  # type: ignore[no-redef]
        try:
            callbacks = SubscriptionEventCallbacks(message_lost=lambda info, t=topic: self._on_lost(t, info))
        except TypeError:
            callbacks = None

        def on_message(msg: Any, t: str = topic) -> None:
            stamp = self._check_clock(t, msg)
            if stamp is None:
                return
            if self.first_ns is None:
                self.first_ns = stamp
            now = time.monotonic()
            if now - self.last_take > self.hold_ns * 1e-9:
                self.taking_since = now
            self.last_take = self.taken_at[t] = now
            if self.waits_for.get(t):
                heapq.heappush(self.held, (stamp, self.arrivals, t, msg))
                self.arrivals += 1
            else:
                self._hand_on(t, msg)
            self._release(False)

        kwargs = {"event_callbacks": callbacks} if callbacks is not None else {}
        try:
            self.subs[topic] = self.node.create_subscription(msg_class, topic, on_message, self._qos(self.setup.sensor_qos), **kwargs)
        except Exception:  # noqa: BLE001 - an RMW without the lost-message event
            self.subs[topic] = self.node.create_subscription(msg_class, topic, on_message, self._qos(self.setup.sensor_qos))

    def _discover(self) -> None:
        """Subscribe to the odometry topics whose type the graph now shows."""
        from geometry_msgs.msg import PoseWithCovarianceStamped, TwistWithCovarianceStamped
        from nav_msgs.msg import Odometry

        from velk_odom.cli._fuse import ODOM_TYPES

        classes = {ODOM_TYPES[0]: Odometry, ODOM_TYPES[1]: PoseWithCovarianceStamped, ODOM_TYPES[2]: TwistWithCovarianceStamped}
        types = dict(self.node.get_topic_names_and_types())
        for topic in list(self.pending):
            for t in types.get(self._resolve(topic), []):
                if t in classes:
                    plan = self.pending.pop(topic)
                    plan.msgtype = t
                    self.want_type[topic] = t
                    self._subscribe(topic, classes[t])
                    break
        # A publisher of another type never reaches the subscription: said once, counted once.
        for topic in list(self.want_type) + list(self.pending):
            allowed = set(ODOM_TYPES) if topic in self.pending else {self.want_type[topic]}
            for t in types.get(self._resolve(topic), []):
                if t not in allowed and f"{topic} {t}" not in self.warned:
                    self.warned.add(f"{topic} {t}")
                    self._count(f"{topic} wrong type", f"{topic} carries {t}, which its entry cannot read "
                                                       f"({' or '.join(sorted(allowed))}); those messages are not fused")

    def _resolve(self, topic: str) -> str:
        try:
            return self.node.resolve_topic_name(topic)
        except Exception:  # noqa: BLE001 - older rclpy
            return topic

    # ---- input ----

    def _once(self, key: str, level: str, text: str) -> None:
        if key not in self.warned:
            self.warned.add(key)
            getattr(self.log, level)(text)

    def _count(self, key: str, text: str) -> None:
        """Count one dropped, refused or odd input; the first of its kind is logged."""
        self.counts[key] += 1
        self._once(key, "warning", f"{text} (counted as {key!r} in {DIAGNOSTICS})")

    def _on_lost(self, topic: str, info: Any) -> None:
        n = int(getattr(info, "total_count_change", 1)) or 1
        self.counts[f"{topic} lost"] += n - 1
        self._count(f"{topic} lost", f"{topic}: messages lost before the node took them (a burst past the queue of "
                                     f"{self.setup.sensor_qos['depth']}; raise node.sensor_qos.depth)")

    def _hand_on(self, topic: str, msg: Any) -> None:
        for handle in self.handlers[topic]:
            handle(topic, msg)

    def _release(self, everything: bool) -> None:
        """Hand on, oldest first, the held messages whose awaited topics have reached their stamp or
        stopped: fallen behind by more than the replay buffer of data time, and silent for as long in
        the node's own time. Queued messages, taken one topic at a time after the node fell behind,
        are not a stopped topic."""
        if not self.held:  # the common case, once per message: nothing to look at
            return
        newest = max(self.last_stamp.values(), default=0)
        hold_s = self.hold_ns * 1e-9
        now = time.monotonic()

        def reached(u: str, stamp: int) -> bool:
            last = self.last_stamp.get(u)
            if last is not None and last >= stamp:
                return True
            since = self.first_ns if last is None else last  # one not come yet waits as long as one that stopped
            silent = now - max(self.taken_at.get(u, 0.0), self.taking_since) > hold_s
            return since is not None and since < newest - self.hold_ns and silent

        while self.held:
            stamp, _, topic, msg = self.held[0]
            # A topic that goes on coming far behind (a clock offset) is not waited for without end.
            too_old = stamp < newest - HOLD_LIMIT * self.hold_ns
            if not (everything or too_old or all(reached(u, stamp) for u in self.waits_for[topic])):
                return
            heapq.heappop(self.held)
            self._hand_on(topic, msg)

    def _check_clock(self, topic: str, msg: Any) -> Optional[int]:
        """Track the topic's stamps: a restart on an older clock resets the engines, a long gap is
        counted. The message's stamp; None when it cannot be read."""
        try:
            t = stamp_ns(msg.header.stamp)
        except (TypeError, AttributeError) as err:
            self._refuse(topic, f"its header stamp cannot be read: {one_line(err)}")
            return None
        last = self.last_stamp.get(topic)
        self.last_stamp[topic] = t
        if last is not None and t < last - CLOCK_JUMP_NS:
            self._count("clock restarts", f"{topic}: stamps went back {(last - t) / 1e9:.1f} s (a publisher restarted on "
                                          "an older clock); the engines start over")
            self._release(True)  # what came on the old clock goes first
            self._restart_engines()
        elif last is not None and t - last > GAP_NS:
            self._count(f"{topic} gaps", f"{topic}: no message for {(t - last) / 1e9:.1f} s of data time (the sensor stopped)")
        return t

    def _refuse(self, topic: str, why: str) -> bool:
        self._count(f"{topic} refused", f"{topic}: a message was refused ({why})")
        return False

    def _restart_engines(self) -> None:
        self._make_engines()
        self.last_stamp.clear()
        self.first_ns = None
        self.mount_wait.clear()
        for plan in self.setup.plans:
            if plan.mount_from in ("waiting", "identity"):
                plan.mount_from = ""

    def _fusion_handler(self, plan: Any) -> Callable[[str, Any], None]:
        from velk_odom.cli._fuse import convert_message

        def handle(topic: str, msg: Any) -> None:
            if plan.imu_frame is not None and not plan.mount_from and not self._mount(plan, msg):
                return
            try:
                values = convert_message(plan, msg)
            except (TypeError, ValueError, AttributeError) as err:
                self._refuse(topic, one_line(err))
                return
            for kind, value in values:
                self._guard(lambda: self.fusion.handle_imu(value, plan.base_from_imu) if kind == "imu" else self.fusion.handle_source(value))
                plan.fed[kind] += 1
                self._publish_fused()

        return handle

    def _mount(self, plan: Any, msg: Any) -> bool:
        """Settle an IMU topic's mount from the transforms; until they come (for
        node.transform_timeout of data time) its samples wait, counted, then identity is used."""
        frame = str(msg.header.frame_id)
        output = self.setup.fusion_config.get("output_frame_id", "base_link")
        mount = self.tf.lookup(output, frame) if frame else None
        if mount is not None:
            plan.base_from_imu, plan.mount_from = mount, "transforms"
            return True
        t = stamp_ns(msg.header.stamp)
        first = self.mount_wait.setdefault(plan.topic, t)
        if t - first < self.setup.transform_timeout_ns:
            self._count(f"{plan.topic} waiting for its mount",
                        f"{plan.topic}: no transform {output} <- {frame!r} yet; its IMU samples wait for it")
            return False
        plan.mount_from = "identity"
        self._once(f"{plan.topic} identity", "warning",
                   f"{plan.topic}: no transform {output} <- {frame!r} after {self.setup.transform_timeout_ns / 1e9:g} s; "
                   f"using identity. Set topics.{plan.topic}.base_from_imu in the configuration")
        return True

    def _visual_handler(self, role: str) -> Callable[[str, Any], None]:
        from velk_odom.cli._visual import CONVERSIONS, as_source, hand

        def handle(topic: str, msg: Any) -> None:
            if role == "tf":
                return
            if role in ("image", "depth") and not self.seen_camera_info:
                self._count("images before camera_info", f"{topic}: an image came before any camera_info; "
                                                         "the visual odometry cannot track until calibration arrives")
            try:
                value = CONVERSIONS[role](msg)
            except (TypeError, ValueError, AttributeError) as err:
                self._refuse(topic, one_line(err))
                return
            if role in ("camera_info", "depth_camera_info"):
                self.seen_camera_info = True
            out = self._guard(lambda: hand(self.visual, role, value))
            if out is None:
                return
            cloud, est = out
            if cloud is not None and self.pub_points is not None:
                from sensor_msgs.msg import PointCloud2, PointField

                from velk_odom.ros import fill_point_cloud2_msg

                self.pub_points.publish(fill_point_cloud2_msg(PointCloud2(), cloud, PointField))
                self.published[POINTS] += 1
            if est is not None:
                self._publish(self.pub_visual, est, VISUAL)
                if self.fusion is not None and self.setup.visual_pair is not None:
                    source = as_source(est, self.setup.visual_pair)
                    self._guard(lambda: self.fusion.handle_source(source))
                    self._publish_fused()

        return handle

    def _guard(self, call: Callable[[], Any]) -> Any:
        """An engine call; a configuration the engine refuses at first use ends the node with status 2."""
        from velk_odom import _native

        try:
            return call()
        except _native.PanicException as err:
            print(f"velk-odom: error: {self.setup.source}: the engine refused the configuration: {one_line(err)}", file=sys.stderr)
            self.exit_status = 2
            self.stop_signal = -1
            return None

    def _on_tf(self, msg: Any, static: bool) -> None:
        before = self.tf.rejected
        self.tf.add_message(msg, static=static)
        if self.tf.rejected > before:
            self.counts["transforms refused"] += self.tf.rejected - before - 1
            self._count("transforms refused", f"a transform was refused ({self.tf.last_rejection})")

    # ---- output ----

    def _publish_fused(self) -> None:
        est = self.fusion.maybe_publish()
        if est is None:
            return
        self._publish(self.pub_filtered, est, FILTERED)
        if self.pub_tf is not None:
            from geometry_msgs.msg import TransformStamped

            from velk_odom.ros import fill_transform_msg

            self.pub_tf.publish(self.tf_type(transforms=[fill_transform_msg(TransformStamped(), est)]))

    def _publish(self, publisher: Any, est: Any, name: str) -> None:
        from nav_msgs.msg import Odometry

        from velk_odom.ros import fill_odometry_msg

        publisher.publish(fill_odometry_msg(Odometry(), est))
        self.published[name] += 1

    def _diagnose(self) -> None:
        """The counters on /diagnostics: one status a part, WARN while a drop counter grows."""
        from diagnostic_msgs.msg import DiagnosticArray, DiagnosticStatus, KeyValue

        array = DiagnosticArray()
        array.header.stamp = self.node.get_clock().now().to_msg()
        parts: List[Tuple[str, Dict[str, int], Tuple[str, ...]]] = []
        if self.fusion is not None:
            fed = {f"{p.topic} {k}": n for p in self.setup.plans for k, n in p.fed.items()}
            parts.append(("fusion", {**self.fusion.counters(), **fed}, FUSION_DROPS + tuple(k for k in fed if "dropped" in k)))
        if self.visual is not None:
            parts.append(("visual", dict(self.visual.counters()), VISUAL_DROPS))
        parts.append(("inputs", {**self.counts, **{f"published {k}": n for k, n in self.published.items()}}, tuple(self.counts)))
        for name, counters, drops in parts:
            status = DiagnosticStatus(name=f"{NODE_NAME}: {name}", hardware_id=NODE_NAME)
            grown = [k for k in drops if counters.get(k, 0) > self.last_drops.get(f"{name}/{k}", 0)]
            for k in drops:
                self.last_drops[f"{name}/{k}"] = counters.get(k, 0)
            status.level = DiagnosticStatus.WARN if grown else DiagnosticStatus.OK
            status.message = f"dropped or refused input: {', '.join(grown)}" if grown else "running"
            status.values = [KeyValue(key=str(k), value=str(v)) for k, v in counters.items()]
            array.status.append(status)
        self.pub_diag.publish(array)

    # ---- life ----

    def spin(self) -> int:
        def on_signal(signum: int, frame: Any) -> None:
            self.stop_signal = signum

        old = {s: signal.signal(s, on_signal) for s in (signal.SIGINT, signal.SIGTERM)}
        self.log.info(f"running: {self.setup.describe()}")
        try:
            while self.stop_signal is None:
                self.executor.spin_once(timeout_sec=0.05)
            # What has already arrived is fused and published before the node goes.
            end = time.monotonic() + SHUTDOWN_DRAIN_S
            while self.exit_status == 0 and time.monotonic() < end:
                self.executor.spin_once(timeout_sec=0.0)
            self._release(True)
            self._diagnose()
        finally:
            for s, h in old.items():
                signal.signal(s, h)
            self.node.destroy_node()
            import rclpy

            rclpy.try_shutdown()
        done = ", ".join(f"{n} on {k}" for k, n in sorted(self.published.items())) or "nothing"
        fed = "; ".join(f"{p.topic}: " + ", ".join(f"{n} {k}" for k, n in sorted(p.fed.items())) for p in self.setup.plans if p.fed)
        print(f"velk-odom: node stopped; published {done}" + (f"; fed {fed}" if fed else ""), file=sys.stderr)
        return self.exit_status

