/* The C shim over the camera-tracking library: four functions with a flat interface of plain records.
 * It builds the library's own records, calls cuvslam::Odometry and turns every exception into a return
 * code and a message. Only tracker.cpp calls these.
 *
 * Every function that takes a message buffer returns 0 on success and 1 on failure; on failure it writes
 * the exception's what() text (or "unknown C++ exception" for an exception that does not derive from
 * std::exception) into the buffer, truncated to message_size - 1 bytes and NUL-terminated. Nothing is
 * written when `message` is null or `message_size` is 0.
 */
#ifndef VELK_CUV_TRACKER_H
#define VELK_CUV_TRACKER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the message buffer the upper layer always provides. */
#define CUV_TRACKER_MESSAGE_SIZE 512

typedef struct CuvTracker CuvTracker; /* an owned cuvslam::Odometry */

/* One rig camera; its position in the list is its index in the rig. */
typedef struct CuvCameraParams {
  int32_t size[2];         /* width, height in pixels */
  float principal[2];      /* cx, cy in pixels */
  float focal[2];          /* fx, fy in pixels */
  float rotation[4];       /* rig_from_camera quaternion (x, y, z, w) */
  float translation[3];    /* rig_from_camera translation, metres */
  uint8_t distortion_model; /* 0: none; 2: Brown */
  const float* distortion; /* Brown: k1, k2, k3, p1, p2 */
  size_t distortion_count;
} CuvCameraParams;

/* rig_from_imu pose and the noise model of the one IMU. */
typedef struct CuvImuCalibration {
  float rotation[4];    /* x, y, z, w */
  float translation[3]; /* metres */
  float gyro_noise_density;
  float gyro_random_walk;
  float accel_noise_density;
  float accel_random_walk;
  float frequency; /* Hz */
} CuvImuCalibration;

typedef struct CuvTrackerOptions {
  uint8_t odometry_mode; /* 0 multicamera, 1 inertial, 2 RGB-D, 3 mono, 4 multisensor */
  uint8_t use_gpu;
  uint8_t rectified;
  float rgbd_depth_scale_factor;
  int32_t rgbd_depth_camera_id;
  float multisensor_depth_scale_factor;
  uint8_t spare; /* always 0 */
  float imu_gap_seconds; /* longest visual gap the IMU bridges (modes 1 and 4); 0 or less, or NaN: the default */
  int32_t threads;       /* threads per frame set: 0 one per core, 1 the caller's thread only */
} CuvTrackerOptions;

/* One image handed to tracking. `pixels` is borrowed for the call and holds `size` bytes of tightly
 * packed rows; the shim refuses an image whose buffer is shorter than its width, height, encoding and
 * data type need. */
typedef struct CuvImageRef {
  const uint8_t* pixels;
  uint64_t size;
  int64_t timestamp_ns;
  uint32_t width;
  uint32_t height;
  uint32_t camera_index;
  uint8_t encoding;  /* 0 one channel, 1 three-channel colour */
  uint8_t data_type; /* 0 8-bit, 1 16-bit unsigned, 2 32-bit float */
} CuvImageRef;

typedef struct CuvImuMeasurement {
  int64_t timestamp_ns;
  float linear_acceleration[3]; /* m/s², IMU frame */
  float angular_velocity[3];    /* rad/s, IMU frame */
} CuvImuMeasurement;

typedef struct CuvTrackResult {
  int64_t timestamp_ns;
  uint8_t has_pose;
  float rotation[4];    /* x, y, z, w as the library returned it */
  float translation[3]; /* metres */
  double covariance[36]; /* the library's 36 values, in its order */
} CuvTrackResult;

int cuv_tracker_create(const CuvCameraParams* cameras, size_t camera_count, const CuvImuCalibration* imu,
                       const int32_t* depth_camera_ids, size_t depth_camera_id_count,
                       const CuvTrackerOptions* options, CuvTracker** out, char* message, size_t message_size);

int cuv_tracker_track(CuvTracker* tracker, const CuvImageRef* images, size_t image_count, const CuvImageRef* depths,
                      size_t depth_count, CuvTrackResult* out, char* message, size_t message_size);

int cuv_tracker_register_imu(CuvTracker* tracker, const CuvImuMeasurement* measurement, char* message,
                             size_t message_size);

/* Destroys the library object; a null handle is ignored. */
void cuv_tracker_destroy(CuvTracker* tracker);

#ifdef __cplusplus
}
#endif

#endif /* VELK_CUV_TRACKER_H */
