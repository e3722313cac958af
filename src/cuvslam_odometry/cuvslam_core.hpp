// CuvslamCore: the visual odometry engine. It collects camera calibrations and the IMU noise model,
// resolves the camera rig against the host's transform lookup, creates the tracker (falling back once to
// the other backend), assembles one image per rig camera into a frame set within the skew limit, forwards
// buffered IMU samples, tracks, and turns the tracker's world_from_rig poses into the motion of
// output_frame_id behind a covariance gate and a speed gate. Depth images become point clouds and, in
// rgbd and multisensor mode, join the frame set (reprojected onto the rig camera when taken elsewhere).
//
// Conditions met while running (unknown frames, missing transforms, skew, gates, lost tracking, library
// failures, malformed images) are counted and logged, never thrown. All work runs inside the caller's
// call; the engine keeps no reference to the lookup it is given.
#pragma once

#include "cuvslam_odometry/config.hpp"
#include "cuvslam_odometry/depth_cloud.hpp"
#include "stamps.hpp"
#include "tracker.hpp"
#include "types.hpp"

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace velk_slam::cuvslam_odometry {

// Unsigned counters, from 0, never reset. The first ten are the report's fixed set; the next two count
// inputs refused for their sizes or numbers, the next two bad transforms and construction retries, the last
// the IMU samples the tracker refused.
struct Counters {
  uint64_t frames = 0;                    // tracking calls made
  uint64_t tracked = 0;                   // poses turned into estimates (gated ones too)
  uint64_t resets = 0;                    // transitions from tracking to lost
  uint64_t imu_samples = 0;               // IMU samples buffered
  uint64_t imu_dropped_before_start = 0;  // IMU samples that arrived before the tracker existed
  uint64_t skew_rejects = 0;              // frame sets refused for their stamp spread
  uint64_t depth_reprojected = 0;         // depth images reprojected onto the rig camera
  uint64_t covariance_gated = 0;          // poses held by the covariance gate
  uint64_t speed_gated = 0;               // poses held by the speed gate
  uint64_t unmatched_images = 0;          // images whose frame is not on the rig
  uint64_t image_size_rejects = 0;        // camera or depth images smaller than their header claims
  uint64_t calibration_rejects = 0;       // camera calibrations with an unusable image size or intrinsics
  uint64_t bad_transforms = 0;            // tf answers with non-finite numbers or no usable rotation, ignored
  uint64_t construction_retries = 0;      // tracker constructions tried again after new calibrations or mounts
  uint64_t imu_rejects = 0;               // IMU samples the tracker refused (out of order, not finite, off scale)

  // Calls f(name, value) for every counter, in report order. The one list of counter names: the report's
  // log line, counters() in Python and the names exported to Python all come from here.
  template <typename F>
  void for_each(F&& f) const {
    f("frames", frames);
    f("tracked", tracked);
    f("resets", resets);
    f("imu_samples", imu_samples);
    f("imu_dropped_before_start", imu_dropped_before_start);
    f("skew_rejects", skew_rejects);
    f("depth_reprojected", depth_reprojected);
    f("covariance_gated", covariance_gated);
    f("speed_gated", speed_gated);
    f("unmatched_images", unmatched_images);
    f("image_size_rejects", image_size_rejects);
    f("calibration_rejects", calibration_rejects);
    f("bad_transforms", bad_transforms);
    f("construction_retries", construction_retries);
    f("imu_rejects", imu_rejects);
  }
};

// Largest camera image side and pixel count a calibration may announce: the engine allocates the
// reprojected depth image from it.
inline constexpr int32_t kMaxImageSide = 65535;
inline constexpr int64_t kMaxImagePixels = int64_t{1} << 26;

struct RigCamera {
  std::string frame_id;
  CameraModel model;       // copy taken at rig resolution
  Isometry rig_from_camera;
  const CameraConfig* config = nullptr;  // first `cameras` entry with this frame_id, or null
  std::optional<ImageFrame> pending_image;
  std::optional<ImageFrame> pending_depth;  // multisensor
  std::vector<float> depth_scratch;         // depth as 32-bit float metres, tightly packed
};

class CuvslamCore {
 public:
  // Validates the configuration; the engine, or the first refusal's message ("config: ...").
  static std::variant<std::unique_ptr<CuvslamCore>, std::string> create(CuvslamOdometryConfig config);

  // Stores the calibration of model.frame_id and resolves the rig. Ignored once a tracker exists. A
  // calibration whose width or height is below 1 or above the limits, or whose intrinsics are unusable
  // (focal lengths not positive and finite, a non-finite principal point or distortion coefficient: what
  // an uncalibrated driver sends at start-up), is refused (counted, logged) and the next one awaited.
  // When the tracker could not be built from the calibrations and mounts at hand, a calibration or mount
  // transform that differs from those makes the next complete frame set try again (counted, logged).
  void handle_camera_info(CameraModel model, TfLookup& tf);
  // Replaces the IMU noise model (its frame_id names the IMU frame) and resolves the rig. Ignored once a
  // tracker exists.
  void handle_imu_info(ImuNoiseModel noise, TfLookup& tf);
  // Buffers one IMU sample for the tracker, in stamp order (the latest-stamped 2048 are kept); counted and
  // dropped before the tracker exists. The sample's frame_id is not examined.
  void handle_imu(const ImuSample& sample);
  // Parks a camera image in its rig camera's slot and runs the tracking step. Images whose frame is not
  // on the rig, and images whose data is smaller than width × height × (1 byte for mono8, else 3) in rows
  // of `step` bytes, are counted and dropped; padded rows are repacked tightly.
  std::optional<OdometryEstimate> handle_image(ImageFrame image, TfLookup& tf);
  // Checks a depth image, builds its point cloud when a calibration is known, and routes it to tracking.
  std::pair<std::optional<PointCloud>, std::optional<OdometryEstimate>> handle_depth_image(ImageFrame image,
                                                                                          TfLookup& tf);
  // Keeps the first usable depth calibration (the same checks as handle_camera_info; an unusable one is
  // counted in calibration_rejects); later ones are ignored.
  void handle_depth_camera_info(CameraModel model);
  // Logs the counters as one information event.
  void report() const;

  const Counters& counters() const { return counters_; }
  const CuvslamOdometryConfig& config() const { return config_; }
  const std::vector<RigCamera>& rig() const { return rig_; }
  bool has_tracker() const { return tracker_.has_value(); }
  bool construction_failed() const { return construction_failed_; }
  size_t imu_buffered() const { return imu_buffer_.size(); }
  int64_t skew_limit_ns() const { return skew_limit_ns_; }

 private:
  enum class DepthChoice { AsReceived, Reprojected, None };
  struct TrackerSetup;

  CuvslamCore(CuvslamOdometryConfig config, Mode mode);

  const std::string& rig_frame() const;

  // Calibrations and the rig.
  bool usable_calibration(const CameraModel& model, const char* role);
  void resolve_rig(TfLookup& tf);
  // The rig's camera frames in rig order, or nothing while the rig is incomplete.
  std::optional<std::vector<std::string>> rig_camera_names() const;
  size_t rig_cameras_needed() const;
  // tf.latest, with an answer that has non-finite numbers or no unit rotation treated as no answer
  // (counted in bad_transforms, logged): the engine asks again on a later message.
  std::optional<Isometry> lookup(TfLookup& tf, const std::string& target, const std::string& source);
  std::optional<PointCloud> point_cloud(const ImageFrame& image);
  CameraConfig depth_config(const std::string& frame_id) const;

  // Tracking a frame set, in the order try_track runs the steps.
  std::optional<OdometryEstimate> try_track(TfLookup& tf);
  bool frame_set_complete() const;
  // True when the tracker exists, built now from the rig if possible.
  bool ensure_tracker(TfLookup& tf);
  bool build_tracker(TfLookup& tf);
  bool place_rig(TfLookup& tf);
  bool place_imu(TfLookup& tf, TrackerSetup& setup);
  cuvslam::Odometry::Config tracker_config();
  void configure_depth(cuvslam::Odometry::Config& options);
  bool construct_tracker(const TrackerSetup& setup);
  void remember_failed_construction(const TrackerSetup& setup);
  // After a failed construction: when a calibration or a mount transform has changed since, refreshes the
  // rig from them and clears the failure so that the tracker is built again.
  void retry_construction(TfLookup& tf);
  // output_from_rig, rig_from_camera per rig camera, rig_from_imu with enable_imu; nullopt while one is
  // missing.
  std::optional<std::vector<Isometry>> mounts(TfLookup& tf);
  // The newest image's stamp, or nullopt when the set is spread wider than the skew limit.
  std::optional<int64_t> frame_set_stamp();
  bool depth_for_tracker(TfLookup& tf, std::vector<tracker::DepthImage>& depths);
  DepthChoice align_depth(TfLookup& tf);
  void forward_imu(int64_t stamp_ns);
  std::vector<const ImageFrame*> camera_images() const;
  tracker::TrackOutcome track(const std::vector<const ImageFrame*>& images,
                              const std::vector<tracker::DepthImage>& depths, int64_t stamp_ns);
  void clear_frame_set();

  // Pose output.
  std::optional<OdometryEstimate> pose_output(const tracker::TrackOutcome& outcome);
  bool covariance_gate();
  bool speed_gate(const Isometry& pose, int64_t stamp_ns);
  OdometryEstimate output(int64_t stamp_ns) const;

  const CuvslamOdometryConfig config_;
  const Mode mode_;
  const int64_t skew_limit_ns_;

  // Rig and tracker.
  std::unordered_map<std::string, CameraModel> camera_models_;
  std::optional<ImuNoiseModel> imu_noise_;
  std::vector<RigCamera> rig_;
  std::optional<tracker::Tracker> tracker_;
  bool construction_failed_ = false;
  // What the last failed construction was built from: mounts() and the IMU noise model (the rig holds
  // the calibrations).
  std::vector<Isometry> failed_mounts_;
  std::optional<ImuNoiseModel> failed_imu_noise_;
  bool rescale_multisensor_depth_ = false;
  Isometry output_from_rig_;
  Isometry rig_from_output_;
  Matrix6 covariance_adjoint_ = Matrix6::Identity();

  // Frame sets.
  std::optional<ImageFrame> pending_depth_;  // stereo, mono, rgbd
  std::deque<cuvslam::ImuMeasurement> imu_buffer_;
  OptionalStamp last_tracked_stamp_ns_;
  bool tracking_ = false;

  // Pose output.
  Matrix6 latest_covariance_ = Matrix6::Zero();
  std::optional<Isometry> previous_pose_;
  int64_t previous_stamp_ns_ = 0;
  std::optional<Isometry> hold_offset_;
  std::optional<Isometry> published_pose_;

  // Depth.
  std::optional<CameraModel> depth_calibration_;
  std::optional<Isometry> camera_from_depth_;
  ImageFrame reprojected_depth_;
  std::vector<float> depth_scratch_;  // rgbd depth as 32-bit float metres
  DepthCloudScratch cloud_scratch_;

  Counters counters_;
};

}  // namespace velk_slam::cuvslam_odometry
