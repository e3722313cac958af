"""Odometry for robots: an error-state Kalman filter that fuses IMUs with odometry sources
(`OdometryFusion`), a visual odometry front end (`CuvslamOdometry`), and rigid-transform helpers.

Everything here comes from the compiled module `velk_odom._native`.
"""

from velk_odom._native import (
    CameraModel,
    CuvslamOdometry,
    ImageFrame,
    ImuNoiseModel,
    ImuSample,
    OdometryEstimate,
    OdometryFusion,
    PanicException,
    PointCloud,
    __version__,
    compose,
    init_logging,
    invert,
)

__all__ = [
    "CameraModel",
    "CuvslamOdometry",
    "ImageFrame",
    "ImuNoiseModel",
    "ImuSample",
    "OdometryEstimate",
    "OdometryFusion",
    "PanicException",
    "PointCloud",
    "__version__",
    "compose",
    "init_logging",
    "invert",
]
