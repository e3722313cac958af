"""Reading ROS 1 bags and ROS 2 bags (sqlite3 or MCAP) with `rosbags`, for the replay commands."""

from __future__ import annotations

import heapq
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Iterable, Iterator, List, Optional

from velk_odom.cli._errors import UserError
from velk_odom.ros import stamp_ns

IMU = "sensor_msgs/msg/Imu"
ODOMETRY = "nav_msgs/msg/Odometry"
POSE_COV = "geometry_msgs/msg/PoseWithCovarianceStamped"
TWIST_COV = "geometry_msgs/msg/TwistWithCovarianceStamped"
IMAGE = "sensor_msgs/msg/Image"
CAMERA_INFO = "sensor_msgs/msg/CameraInfo"
TF = "tf2_msgs/msg/TFMessage"

# Messages are put in header-stamp order within this much data time; anything later still goes out,
# late, as it would reach a robot.
STAMP_ORDER_WINDOW_NS = 2_000_000_000


@dataclass
class Message:
    topic: str
    msgtype: str
    stamp_ns: int  # header stamp, or the record time for messages without a header
    record_ns: int
    msg: Any


def short_type(msgtype: str) -> str:
    """'sensor_msgs/msg/Imu' -> 'sensor_msgs/Imu', as users write it."""
    parts = msgtype.split("/")
    return f"{parts[0]}/{parts[-1]}" if len(parts) == 3 else msgtype


class BagRecording:
    """An open recording: topics with their message types and counts, and its messages."""

    def __init__(self, path: "str | Path") -> None:
        from rosbags.highlevel import AnyReader, AnyReaderError
        from rosbags.typesys import Stores, get_typestore

        p = Path(path)
        if not p.exists():
            raise UserError(f"recording {str(path)!r} not found; give the path of a ROS 1 .bag file or a ROS 2 bag folder")
        if p.is_file() and p.suffix in (".db3", ".mcap") and (p.parent / "metadata.yaml").exists():
            p = p.parent  # a ROS 2 bag named by its storage file
        elif p.is_file() and p.suffix != ".bag":
            raise UserError(
                f"{str(path)!r} is neither a ROS 1 .bag file nor a ROS 2 bag folder (one holding metadata.yaml)"
            )
        elif p.is_dir() and not (p / "metadata.yaml").exists():
            raise UserError(
                f"{str(path)!r} is a folder without metadata.yaml, so not a ROS 2 bag, nor a EuRoC, TUM RGB-D or "
                "KITTI odometry folder; give the bag's or the dataset's folder"
            )
        self.path = p
        self.is_ros2 = p.suffix != ".bag"
        try:
            self._reader: Any = AnyReader([p], default_typestore=get_typestore(Stores.ROS2_HUMBLE))
            self._reader.open()
        except (AnyReaderError, OSError, ValueError, KeyError) as err:
            raise UserError(f"cannot read recording {str(path)!r}: {err}") from None
        self.topics: Dict[str, str] = {}
        self.counts: Dict[str, int] = {}
        for c in self._reader.connections:
            self.topics.setdefault(c.topic, c.msgtype)
            self.counts[c.topic] = self.counts.get(c.topic, 0) + c.msgcount
        self.start_ns = self._reader.start_time if self.counts and sum(self.counts.values()) else 0
        self.end_ns = self._reader.end_time if self.counts and sum(self.counts.values()) else 0
        self._first: Dict[str, Any] = {}

    def __enter__(self) -> "BagRecording":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        if self._reader is not None:
            self._reader.close()
            self._reader = None

    @property
    def duration_s(self) -> float:
        return max(0, self.end_ns - self.start_ns) * 1e-9

    @property
    def kind(self) -> str:
        if not self.is_ros2:
            return "ROS 1 bag"
        storage = "MCAP" if any(self.path.glob("*.mcap")) else "sqlite3"
        return f"ROS 2 bag, {storage}"

    def topics_of(self, *msgtypes: str) -> List[str]:
        return sorted(t for t, m in self.topics.items() if m in msgtypes)

    def describe_topics(self) -> str:
        if not self.topics:
            return "no topics"
        return ", ".join(f"{t} ({short_type(m)})" for t, m in sorted(self.topics.items()))

    def rate_hz(self, topic: str) -> Optional[float]:
        n = self.counts.get(topic, 0)
        return (n - 1) / self.duration_s if n > 1 and self.duration_s > 0 else None

    def first(self, topic: str) -> Optional[Any]:
        """The first message of a topic (deserialised), or None for an empty topic."""
        if topic not in self._first:
            conns = [c for c in self._reader.connections if c.topic == topic]
            msg = None
            for conn, _, raw in self._reader.messages(connections=conns):
                msg = self._deserialize(raw, conn)
                break
            self._first[topic] = msg
        return self._first[topic]

    def _deserialize(self, raw: bytes, conn: Any) -> Any:
        from rosbags.highlevel import AnyReaderError

        try:
            return self._reader.deserialize(raw, conn.msgtype)
        except (AnyReaderError, ValueError, KeyError, IndexError) as err:
            raise UserError(f"cannot decode a {short_type(conn.msgtype)} message on {conn.topic}: {err}") from None

    def messages(self, topics: Iterable[str], order: str = "recorded") -> Iterator[Message]:
        """Messages of ``topics`` in recording order ("recorded") or header-stamp order ("stamp",
        within `STAMP_ORDER_WINDOW_NS`)."""
        wanted = set(topics)
        conns = [c for c in self._reader.connections if c.topic in wanted]
        if not conns:
            return iter(())
        it = self._recorded(conns)
        return _stamp_ordered(it, STAMP_ORDER_WINDOW_NS) if order == "stamp" else it

    def _recorded(self, conns: List[Any]) -> Iterator[Message]:
        for conn, record_ns, raw in self._reader.messages(connections=conns):
            msg = self._deserialize(raw, conn)
            header = getattr(msg, "header", None)
            t = stamp_ns(header.stamp) if header is not None else record_ns
            yield Message(conn.topic, conn.msgtype, t, record_ns, msg)


def _stamp_ordered(messages: Iterator[Message], window_ns: int) -> Iterator[Message]:
    """Re-order by header stamp with a heap: a message leaves once a message at least ``window_ns``
    newer has been read. Equal stamps keep their recorded order."""
    heap: List[Any] = []
    newest: Optional[int] = None
    for seq, m in enumerate(messages):
        heapq.heappush(heap, (m.stamp_ns, seq, m))
        newest = m.stamp_ns if newest is None else max(newest, m.stamp_ns)
        while heap and heap[0][0] <= newest - window_ns:
            yield heapq.heappop(heap)[2]
    while heap:
        yield heapq.heappop(heap)[2]


def open_recording(path: "str | Path") -> Any:
    """A ROS bag, or a research dataset folder (EuRoC, TUM RGB-D, KITTI odometry) read as one."""
    from velk_odom.datasets import detect

    if detect(path) is not None:
        from velk_odom.cli._datasetrec import DatasetRecording

        return DatasetRecording(path)
    return BagRecording(path)


def load_ground_truth(path: Optional[str]) -> Any:
    """The TUM trajectory at ``path`` (None when no path is given), or a UserError naming the problem."""
    if not path:
        return None
    from velk_odom.trajectory import read_tum

    if not Path(path).is_file():
        raise UserError(f"ground truth {path!r} not found; give a TUM file (timestamp x y z qx qy qz qw)")
    try:
        return read_tum(path)
    except (ValueError, UnicodeDecodeError) as err:
        raise UserError(f"ground truth: {err}") from None
