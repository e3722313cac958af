"""Reading ROS 1 bags and ROS 2 bags (sqlite3 or MCAP) with `rosbags`, for the replay commands."""

from __future__ import annotations

import heapq
import sys
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Iterable, Iterator, List, Optional, Set, Tuple

from velk_odom.cli._errors import DamagedRecording, UserError, one_line
from velk_odom.ros import TransformBuffer, stamp_ns

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
# Past damage, a recording is read in windows of recording time that start this short and double
# while they read cleanly; a window that cannot be read at all is skipped. A damaged stretch so costs
# about this much data beyond the damage itself (for MCAP, the damaged chunk's span).
RESUME_WINDOW_NS = 100_000_000
# Messages tried for the first one of a topic that decodes, before its definition is taken as wrong.
FIRST_MESSAGE_TRIES = 100


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


class RecordingBase:
    """An open recording, a ROS bag (`BagRecording`) or a dataset folder read as one: its topics with
    their message types and counts, its span of time, and its messages (`messages`, `first`).

    Damage met while reading does not raise: the messages that cannot be read are skipped, and
    `damage` says what was lost, so that a command keeps what it made of everything else.
    """

    path: Path
    is_ros2: bool
    topics: Dict[str, str]  # topic -> message type
    counts: Dict[str, int]  # topic -> messages
    start_ns: int
    end_ns: int

    def __init__(self) -> None:
        self._first: Dict[str, Any] = {}

    def __enter__(self) -> "RecordingBase":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        pass

    @property
    def duration_s(self) -> float:
        return max(0, self.end_ns - self.start_ns) * 1e-9

    def topics_of(self, *msgtypes: str) -> List[str]:
        return sorted(t for t, m in self.topics.items() if m in msgtypes)

    def rate_hz(self, topic: str) -> Optional[float]:
        n = self.counts.get(topic, 0)
        return (n - 1) / self.duration_s if n > 1 and self.duration_s > 0 else None

    def first(self, topic: str) -> Optional[Any]:
        """The first message of a topic that can be read, or None for an empty topic."""
        if topic not in self._first:
            self._first[topic] = self._read_first(topic)
        return self._first[topic]

    def declared_imu_noise(self, topic: str) -> Optional[Tuple[Dict[str, float], str]]:
        """The IMU noise figures (fusion `imus` keys) that the recording's own files declare for
        ``topic``, and the file that does, or None."""
        return None

    @property
    def damage(self) -> Optional[str]:
        """What damage the reads so far met, in one phrase, or None."""
        return None

    @property
    def kind(self) -> str:
        raise NotImplementedError

    def describe_topics(self) -> str:
        raise NotImplementedError

    def messages(self, topics: Iterable[str], order: str = "recorded") -> Iterator[Message]:
        raise NotImplementedError

    def _read_first(self, topic: str) -> Optional[Any]:
        raise NotImplementedError


class BagRecording(RecordingBase):
    """An open ROS 1 or ROS 2 bag.

    Damage met while iterating (flipped bytes, a truncated file) does not raise: `messages` skips a
    message that does not decode and the stretches of the file that cannot be read, and `damage`
    says what was lost.
    """

    def __init__(self, path: "str | Path") -> None:
        from rosbags.highlevel import AnyReader
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
        super().__init__()
        self.path = p
        self.is_ros2 = p.suffix != ".bag"
        try:
            self._reader: Any = AnyReader([p], default_typestore=get_typestore(Stores.ROS2_HUMBLE))
            self._reader.open()
        except Exception as err:  # whatever a damaged file or metadata.yaml makes the reader raise
            raise UserError(f"cannot read recording {str(path)!r}: {one_line(err)}") from None
        self.topics: Dict[str, str] = {}
        self.counts: Dict[str, int] = {}
        for c in self._reader.connections:
            self.topics.setdefault(c.topic, c.msgtype)
            self.counts[c.topic] = self.counts.get(c.topic, 0) + c.msgcount
        self.start_ns = self._reader.start_time if self.counts and sum(self.counts.values()) else 0
        self.end_ns = self._reader.end_time if self.counts and sum(self.counts.values()) else 0
        self.undecodable: Counter = Counter()  # per topic: messages skipped because they do not decode
        self._read_errors: List[Tuple[int, str]] = []  # (recording time, error) where reading failed
        self._skipped: Set[Tuple[int, int]] = set()  # [start, stop) of recording time not read

    def close(self) -> None:
        if self._reader is not None:
            self._reader.close()
            self._reader = None

    @property
    def kind(self) -> str:
        if not self.is_ros2:
            return "ROS 1 bag"
        storage = "MCAP" if any(self.path.glob("*.mcap")) else "sqlite3"
        return f"ROS 2 bag, {storage}"

    def describe_topics(self) -> str:
        if not self.topics:
            return "no topics"
        return ", ".join(f"{t} ({short_type(m)})" for t, m in sorted(self.topics.items()))

    @property
    def typestore(self) -> Any:
        """The `rosbags` typestore of the bag's message definitions."""
        return self._reader.typestore

    @property
    def connections(self) -> List[Any]:
        """The bag's `rosbags` connections (topic, msgtype, id)."""
        return list(self._reader.connections)

    @property
    def damage(self) -> Optional[str]:
        """What damage the reads so far met, in one phrase, or None."""
        parts = []
        if self.undecodable:
            n = sum(self.undecodable.values())
            per_topic = ", ".join(f"{t} {k}" for t, k in sorted(self.undecodable.items()))
            parts.append(f"{n} undecodable message{'s' if n > 1 else ''} skipped ({per_topic})")
        if self._read_errors:
            t, err = min(self._read_errors)
            stretches: List[List[int]] = []  # the skipped windows of every read, merged
            for a, b in sorted(self._skipped):
                if stretches and a <= stretches[-1][1]:
                    stretches[-1][1] = max(stretches[-1][1], b)
                else:
                    stretches.append([a, b])
            lost_s = sum(b - a for a, b in stretches) * 1e-9
            parts.append(
                f"reading failed {max(0, t - self.start_ns) * 1e-9:.1f} s into the recording ({err}); "
                f"{lost_s:.1f} s of messages skipped in {len(stretches)} stretch{'' if len(stretches) == 1 else 'es'}"
            )
        return f"recording {str(self.path)!r} is damaged: {'; '.join(parts)}" if parts else None

    def _read_first(self, topic: str) -> Optional[Any]:
        """The first message of a topic that can be read and decoded, or None for an empty topic.
        Raises UserError when the topic's messages do not decode (a wrong message definition) or
        damage left none readable."""
        msg, failures, error = None, 0, None
        for conn, _, raw in self.raw_messages(self._connections([topic])):
            try:
                msg = self._reader.deserialize(raw, conn.msgtype)
                break
            except Exception as err:  # noqa: BLE001 - a garbled message; a later one may do
                failures, error = failures + 1, err
                if failures == FIRST_MESSAGE_TRIES:
                    break
        if msg is None and error is not None:
            raise UserError(f"cannot decode the {short_type(self.topics[topic])} messages on {topic}: {one_line(error)}")
        if msg is None and self.counts.get(topic, 0) and self._read_errors:
            raise DamagedRecording(f"{self.damage}; no message of {topic} could be read")
        return msg

    def _connections(self, topics: Iterable[str]) -> List[Any]:
        wanted = set(topics)
        return [c for c in self._reader.connections if c.topic in wanted]

    def messages(self, topics: Iterable[str], order: str = "recorded") -> Iterator[Message]:
        """Messages of ``topics`` in recording order ("recorded") or header-stamp order ("stamp",
        within `STAMP_ORDER_WINDOW_NS`), without the damaged ones (see `damage`)."""
        conns = self._connections(topics)
        if not conns:
            return iter(())
        it = self._recorded(conns)
        return _stamp_ordered(it, STAMP_ORDER_WINDOW_NS) if order == "stamp" else it

    def raw_messages(self, conns: List[Any]) -> Iterator[Tuple[Any, int, bytes]]:
        """(connection, record time, bytes) in recording order, reading on past the stretches that
        fail. The reader raises whatever a damaged file makes its parsers raise (ReaderError,
        AssertionError, struct.error, a database error, ...). The MCAP reader opens every chunk of
        the requested time span before its first message, so one damaged chunk fails a whole read:
        hence the windows of `RESUME_WINDOW_NS` after a failure."""
        pos: Optional[int] = None  # read from here; None: from the start
        window: Optional[int] = None  # this much recording time; None: to the end
        while True:
            stop = None if window is None else pos + window  # type: ignore[operator]
            last: Optional[int] = None
            try:
                for conn, t, raw in self._reader.messages(connections=conns, start=pos, stop=stop):
                    last = t
                    yield conn, t, raw
            except Exception as err:  # noqa: BLE001 - any failure here is the file's content
                here = self.start_ns if pos is None else pos
                self._read_errors.append((last if last is not None else here, one_line(err)))
                if last is not None:
                    pos, window = last + 1, RESUME_WINDOW_NS  # on right after the last good message
                elif window is None or window > RESUME_WINDOW_NS:
                    pos, window = here, RESUME_WINDOW_NS  # narrow down before skipping anything
                else:
                    self._skipped.add((here, here + window))
                    pos = here + window
                if pos > self.end_ns:
                    return
                continue
            if stop is None or stop > self.end_ns:
                return
            pos, window = stop, 2 * window  # type: ignore[operator]

    def _recorded(self, conns: List[Any]) -> Iterator[Message]:
        for conn, record_ns, raw in self.raw_messages(conns):
            try:
                msg = self._reader.deserialize(raw, conn.msgtype)
                header = getattr(msg, "header", None)
                t = stamp_ns(header.stamp) if header is not None else record_ns
            except Exception:  # noqa: BLE001 - bytes that do not decode are damage, reported by `damage`
                self.undecodable[conn.topic] += 1
                continue
            yield Message(conn.topic, conn.msgtype, t, record_ns, msg)


def require_messages(recording: Any, topics: Iterable[str]) -> None:
    """Raise UserError when none of ``topics`` holds a message: a replay would make nothing."""
    topics = sorted(topics)
    if topics and not any(recording.counts.get(t, 0) for t in topics):
        raise UserError(f"recording {str(recording.path)!r}: {', '.join(topics)} hold no messages; nothing to replay")


def static_topics(recording: Any) -> List[str]:
    return [t for t in recording.topics_of(TF) if t.endswith("tf_static")]


def static_transforms(recording: Any, topics: Optional[List[str]] = None) -> TransformBuffer:
    """The transforms of ``topics`` (default: every /tf_static topic). A transform tf2 would refuse
    (a zero quaternion, a frame its own parent, a value that is not finite) is left out with a
    warning."""
    tf = TransformBuffer()
    for m in recording.messages(static_topics(recording) if topics is None else topics):
        before = tf.rejected
        tf.add_message(m.msg, static=True)
        if tf.rejected > before:
            print(f"velk-odom: warning: {m.topic}: {tf.last_rejection}; left out", file=sys.stderr)
    return tf


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


def load_ground_truth(path: Optional[str]) -> Any:
    """The TUM trajectory at ``path`` (None when no path is given), or a UserError naming the problem."""
    if not path:
        return None
    from velk_odom.trajectory import read_tum

    if not Path(path).is_file():
        raise UserError(f"ground truth {path!r} not found; give a TUM file (timestamp x y z qx qy qz qw)")
    dropped: List[int] = []
    try:
        reference = read_tum(path, dropped)
    except (ValueError, UnicodeDecodeError) as err:
        raise UserError(f"ground truth: {err}") from None
    if dropped:
        print(f"velk-odom: warning: ground truth {path!r}: {len(dropped)} poses without a usable quaternion left out "
              f"(line {', '.join(map(str, dropped[:5]))}{', ...' if len(dropped) > 5 else ''})", file=sys.stderr)
    return reference
