"""A research dataset folder (`velk_odom.datasets`) seen as a recording: the same topics, message
types and order a ROS 2 bag of the same data would have, so `fuse`, `vo` and `--output-bag` treat
both alike.

Topics: ``/<camera>/image_raw`` and ``/<camera>/camera_info`` per camera (a calibration message just
before each image, as camera drivers publish them), ``/imu0`` (EuRoC), and ``/tf_static`` with the
mounting of every camera and IMU on ``base_link``.
"""

from __future__ import annotations

import heapq
import sys
from pathlib import Path
from typing import Any, Dict, Iterable, Iterator, Optional, Tuple

import numpy as np

from velk_odom.cli._errors import UserError
from velk_odom.cli._recording import CAMERA_INFO, IMAGE, IMU, TF, Message, RecordingBase
from velk_odom.datasets import CameraStream, Dataset, DatasetError, open_dataset
from velk_odom.ros import MessageBuilder, bag_typestore

TF_STATIC = "/tf_static"
BASE_FRAME = "base_link"
IMU_TOPIC = "/imu0"


def _topics(cam: CameraStream) -> tuple:
    ns = f"/{cam.name}"
    return f"{ns}/image_raw", f"{ns}/camera_info"


class DatasetRecording(RecordingBase):
    """An open dataset folder read as a ROS 2 bag, plus its own ground truth.

    An image file that cannot be read (missing, damaged, of another size than the calibration) is
    met only mid-replay: it is skipped, warned about once and counted in `damage`, and the replay
    goes on with the other frames. Every other file is checked when the folder is opened.
    """

    def __init__(self, path: "str | Path") -> None:
        super().__init__()
        try:
            self.dataset: Dataset = open_dataset(path)
        except DatasetError as err:
            raise UserError(str(err)) from None
        given = Path(path)
        self.path = given if given.is_dir() else given.parent  # the folder the user named (not mav0/)
        self.is_ros2 = True
        self._b = MessageBuilder(bag_typestore(), ros1=False)
        d = self.dataset
        self.topics: Dict[str, str] = {TF_STATIC: TF}
        self.counts: Dict[str, int] = {TF_STATIC: 1}
        for cam in d.cameras:
            image, info = _topics(cam)
            self.topics[image], self.topics[info] = IMAGE, CAMERA_INFO
            self.counts[image] = self.counts[info] = len(cam.stamps)
        if d.imu is not None and not np.isnan(d.imu.gyro).any():
            self.topics[IMU_TOPIC] = IMU
            self.counts[IMU_TOPIC] = len(d.imu.stamps)
        self.start_ns, self.end_ns = d.start_ns, d.end_ns
        self.ground_truth = d.ground_truth
        self.notes = list(d.notes)
        self.unreadable: Dict[Path, str] = {}  # image files skipped (by every read), each with why
        for w in d.warnings:
            print(f"velk-odom: warning: {w}", file=sys.stderr)

    def depth_units(self) -> Dict[str, float]:
        """Samples per metre of each depth image topic."""
        return {_topics(c)[0]: c.depth_units_per_meter for c in self.dataset.cameras if c.is_depth}

    @property
    def damage(self) -> Optional[str]:
        """The image files the reads so far skipped, in one phrase, or None."""
        if not self.unreadable:
            return None
        n = len(self.unreadable)
        return f"{n} unreadable image{'s' if n > 1 else ''} of {str(self.path)!r} skipped (the first: {next(iter(self.unreadable.values()))})"

    @property
    def kind(self) -> str:
        return f"{self.dataset.kind} folder"

    def describe_topics(self) -> str:
        return ", ".join(f"{t} ({m})" for t, m in sorted(self.topics.items()))

    def _read_first(self, topic: str) -> Optional[Any]:
        return next((m.msg for m in self.messages([topic], "recorded", light=True)), None)

    def messages(self, topics: Iterable[str], order: str = "recorded", light: bool = False) -> Iterator[Message]:
        """Messages of ``topics`` in stamp order (a dataset has no other order). ``light`` leaves the
        image pixels unread (for looking at headers)."""
        wanted = set(topics)
        streams = []
        if TF_STATIC in wanted:
            streams.append(iter([(self.start_ns, -1, 0, lambda: self._tf_static())]))
        d = self.dataset
        for k, cam in enumerate(d.cameras):
            image, info = _topics(cam)
            if image in wanted or info in wanted:
                streams.append(self._camera_items(k + 1, cam, image in wanted, info in wanted, light))
        if IMU_TOPIC in wanted and IMU_TOPIC in self.topics:
            streams.append(self._imu_items(len(d.cameras) + 1))
        # (stamp, phase, rank): at one stamp every calibration goes before any image of that stamp.
        for t, _, _, make in heapq.merge(*streams, key=lambda e: (e[0], e[1], e[2])):
            topic, msgtype, msg = make()
            if msg is not None:
                yield Message(topic, msgtype, t, t, msg)

    # ---- message makers ----

    def _camera_items(self, rank: int, cam: CameraStream, image: bool, info: bool, light: bool) -> Iterator[Any]:
        image_topic, info_topic = _topics(cam)
        for i, t in enumerate(cam.stamps):
            t = int(t)
            if info:
                yield (t, 0, rank, lambda t=t: (info_topic, CAMERA_INFO, self._camera_info(cam, t)))
            if image:
                yield (t, 1, rank, lambda t=t, i=i: (image_topic, IMAGE, self._image(cam, i, t, light)))

    def _imu_items(self, rank: int) -> Iterator[Any]:
        imu = self.dataset.imu
        assert imu is not None
        for i, t in enumerate(imu.stamps):
            yield (int(t), 0, rank, lambda t=int(t), i=i: (IMU_TOPIC, IMU, self._imu(i, t)))

    def declared_imu_noise(self, topic: str) -> Optional[Tuple[Dict[str, float], str]]:
        """The IMU's noise figures that the dataset's sensor file declares, and that file, or None."""
        imu = self.dataset.imu
        if topic != IMU_TOPIC or imu is None or not imu.noise:
            return None
        figures = {k: float(v) for k, v in imu.noise.items() if k != "frequency"}
        return figures, "imu0/sensor.yaml"

    def _tf_static(self) -> Any:
        d = self.dataset
        mounts = [(cam.frame_id, cam.base_from_camera) for cam in d.cameras]
        if d.imu is not None:
            mounts.append((d.imu.frame_id, d.imu.base_from_imu))
        transforms, seen = [], set()
        for frame, pair in mounts:
            if frame in seen or frame == BASE_FRAME:
                continue
            seen.add(frame)
            transforms.append((BASE_FRAME, frame, pair))
        return TF_STATIC, TF, self._b.transforms_message(self.start_ns, transforms)

    def _camera_info(self, cam: CameraStream, t: int) -> Any:
        return self._b.camera_info(t, cam.frame_id, cam.width, cam.height, cam.intrinsics, cam.distortion)

    def _image(self, cam: CameraStream, i: int, t: int, light: bool) -> Any:
        if light:
            pixels = np.zeros((0,), dtype=np.uint8)
        else:
            try:
                pixels = self.dataset.read_image(cam, i)
            except DatasetError as err:
                if not self.unreadable:
                    print(f"velk-odom: warning: {err}; skipped, and so is every unreadable image (counted in the summary)", file=sys.stderr)
                self.unreadable.setdefault(cam.files[i], str(err))
                return None
        channels = {"mono8": 1, "rgb8": 3, "16UC1": 2}[cam.encoding]
        return self._b.image_of_bytes(t, cam.frame_id, cam.encoding, cam.width, cam.height, cam.width * channels,
                                      pixels.reshape(-1).view(np.uint8))

    def _imu(self, i: int, t: int) -> Any:
        imu = self.dataset.imu
        assert imu is not None
        rate = imu.noise.get("frequency") or self.rate_hz(IMU_TOPIC) or 0.0
        # Per-sample variances from the datasheet densities, as drivers report them: v = density² · rate.
        gyro_var, accel_var = (imu.noise.get(key, 0.0) ** 2 * rate if rate > 0 else 0.0
                               for key in ("gyro_noise_density", "accel_noise_density"))
        msg = self._b.imu(t, imu.frame_id, imu.gyro[i], imu.accel[i], None, gyro_variance=gyro_var, accel_variance=accel_var)
        return msg


# The figures an `imu_noise` section needs, all of which a dataset must declare for its IMU to be used.
IMU_NOISE_KEYS = ("gyro_noise_density", "gyro_random_walk", "accel_noise_density", "accel_random_walk")


def dataset_config_hints(rec: Any) -> Dict[str, Any]:
    """Engine keys that a dataset's own files settle: depth units of a depth stream, and the
    `imu_noise` section when the dataset declares every noise figure of its IMU."""
    if not isinstance(rec, DatasetRecording):
        return {}
    hints: Dict[str, Any] = {}
    imu = rec.dataset.imu
    if IMU_TOPIC in rec.topics and imu is not None and all(k in imu.noise for k in IMU_NOISE_KEYS):
        rate = imu.noise.get("frequency") or rec.rate_hz(IMU_TOPIC) or 0.0
        hints["imu_noise"] = {"frame_id": imu.frame_id, **{k: imu.noise[k] for k in IMU_NOISE_KEYS}, "frequency": float(rate)}
    depth = [c for c in rec.dataset.cameras if c.is_depth]
    if depth:
        colour = [c for c in rec.dataset.cameras if not c.is_depth]
        entries = [{"frame_id": c.frame_id} for c in colour[:1]]
        entries.append({"frame_id": depth[0].frame_id, "depth_units_per_meter": depth[0].depth_units_per_meter})
        hints["cameras"] = entries
    return hints
