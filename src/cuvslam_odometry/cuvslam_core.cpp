#include "cuvslam_odometry/cuvslam_core.hpp"

#include "cuvslam_odometry/depth_reproject.hpp"
#include "cuvslam_odometry/msg_convert.hpp"
#include "geometry.hpp"
#include "log.hpp"
#include "stamps.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace velk_slam::cuvslam_odometry {

namespace {

constexpr uint64_t kFiveSecondsNs = 5'000'000'000;
constexpr uint64_t kTenSecondsNs = 10'000'000'000;
constexpr uint64_t kThirtySecondsNs = 30'000'000'000;
constexpr size_t kImuBufferCapacity = 2048;

std::string join(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) {
    if (!out.empty()) out += ", ";
    out += name;
  }
  return out;
}

// Bytes per pixel of a camera image as the tracker reads it: one channel for mono8, three otherwise.
int64_t camera_pixel_bytes(const std::string& encoding) { return encoding == "mono8" ? 1 : 3; }

// True when rows of row_bytes bytes, `step` apart, all lie inside data: width and height at least 1,
// step >= row bytes, data.size() >= height × step (all products of 32-bit values, exact in 64 bits).
bool rows_fit(const ImageFrame& image, int64_t row_bytes) {
  const int64_t height = image.height, step = image.step;
  return image.width >= 1 && height >= 1 && step >= row_bytes &&
         static_cast<int64_t>(image.data.size()) >= height * step;
}

// Moves padded rows together so that they are `row_bytes` apart, in place (the image passed rows_fit).
void repack_rows(ImageFrame& image, int64_t row_bytes) {
  const int64_t step = image.step, height = image.height;
  if (step != row_bytes) {
    uint8_t* data = image.data.data();
    for (int64_t v = 1; v < height; ++v) {
      std::memmove(data + v * row_bytes, data + v * step, static_cast<size_t>(row_bytes));
    }
    image.step = static_cast<int32_t>(row_bytes);  // row_bytes < step, so it fits
  }
  image.data.resize(static_cast<size_t>(height * row_bytes));
}

}  // namespace

// What the tracker is built from, gathered step by step before the one construction call.
struct CuvslamCore::TrackerSetup {
  cuvslam::Rig rig;                      // cameras in rig order; the IMU with enable_imu
  std::optional<Isometry> rig_from_imu;  // the mount the rig's IMU was built from
  cuvslam::Odometry::Config config;
};

// ---- construction ----

std::variant<std::unique_ptr<CuvslamCore>, std::string> CuvslamCore::create(CuvslamOdometryConfig config) {
  if (std::optional<std::string> refusal = validate(config)) {
    return std::move(*refusal);
  }
  const Mode mode = *mode_from_str(config.camera_mode);
  return std::unique_ptr<CuvslamCore>(new CuvslamCore(std::move(config), mode));
}

CuvslamCore::CuvslamCore(CuvslamOdometryConfig config, Mode mode)
    : config_(std::move(config)), mode_(mode), skew_limit_ns_(cuvslam_odometry::skew_limit_ns(config_.max_skew_ms)) {}

const std::string& CuvslamCore::rig_frame() const {
  return config_.rig_frame_id.empty() ? config_.output_frame_id : config_.rig_frame_id;
}

// ---- calibrations and the rig ----
// Calibrations arrive before any image can be tracked. Each one may complete the rig: the cameras in rig
// order, each with its calibration and its mount on the rig frame.

void CuvslamCore::handle_camera_info(CameraModel model, TfLookup& tf) {
  if (tracker_.has_value()) {
    return;
  }
  const int64_t width = model.width, height = model.height;
  if (width < 1 || height < 1 || width > kMaxImageSide || height > kMaxImageSide ||
      width * height > kMaxImagePixels) {
    counters_.calibration_rejects += 1;
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "cuvslam ignoring camera_info with an unusable image size. Publish the calibration with "
                       "the camera's real width and height.",
                       {"frame_id", model.frame_id}, {"width", model.width}, {"height", model.height},
                       {"ignored", counters_.calibration_rejects});
    return;
  }
  if (!usable_calibration(model, "camera_info")) {
    return;
  }
  std::string frame_id = model.frame_id;
  camera_models_.insert_or_assign(std::move(frame_id), std::move(model));
  resolve_rig(tf);
}

void CuvslamCore::handle_imu_info(ImuNoiseModel noise, TfLookup& tf) {
  if (tracker_.has_value()) {
    return;
  }
  imu_noise_ = std::move(noise);
  resolve_rig(tf);
}

void CuvslamCore::handle_depth_camera_info(CameraModel model) {
  if (!depth_calibration_.has_value() && usable_calibration(model, "depth_camera_info")) {
    depth_calibration_ = std::move(model);
  }
}

bool CuvslamCore::usable_calibration(const CameraModel& model, const char* role) {
  const std::array<double, 9>& k = model.intrinsics;
  const bool focal_ok = k[0] > 0.0 && k[4] > 0.0 && std::isfinite(k[0]) && std::isfinite(k[4]);
  const bool principal_ok = std::isfinite(k[2]) && std::isfinite(k[5]);
  const bool distortion_ok =
      std::all_of(model.distortion.begin(), model.distortion.end(), [](double c) { return std::isfinite(c); });
  if (focal_ok && principal_ok && distortion_ok) {
    return true;
  }
  counters_.calibration_rejects += 1;
  VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                     "cuvslam ignoring a calibration with unusable intrinsics (focal lengths must be positive and "
                     "finite, principal point and distortion finite); waiting for a calibrated one. Uncalibrated "
                     "drivers send an all-zero K at start-up.",
                     {"message", role}, {"frame_id", model.frame_id}, {"fx", k[0]}, {"fy", k[4]},
                     {"ignored", counters_.calibration_rejects});
  return false;
}

void CuvslamCore::resolve_rig(TfLookup& tf) {
  if (!rig_.empty()) {
    return;
  }
  const bool from_table = config_.cameras.empty();
  const std::optional<std::vector<std::string>> names = rig_camera_names();
  if (!names.has_value()) {
    return;
  }
  std::vector<RigCamera> rig;
  rig.reserve(names->size());
  for (const std::string& name : *names) {
    const std::optional<Isometry> rig_from_camera = lookup(tf, rig_frame(), name);
    if (!rig_from_camera.has_value()) {
      return;
    }
    const auto model = camera_models_.find(name);
    if (model == camera_models_.end()) {
      return;
    }
    RigCamera camera;
    camera.frame_id = name;
    camera.model = model->second;
    camera.rig_from_camera = *rig_from_camera;
    camera.config = find_camera_config(config_, name);
    rig.push_back(std::move(camera));
  }
  // Calibration names carry no order; in an optical frame x points right, so the camera that has the
  // other one on its right is the left camera and comes first.
  if (from_table && rig.size() == 2 && needs_left_swap(rig[0].rig_from_camera, rig[1].rig_from_camera)) {
    std::swap(rig[0], rig[1]);
  }
  rig_ = std::move(rig);
}

std::optional<std::vector<std::string>> CuvslamCore::rig_camera_names() const {
  const size_t needed = rig_cameras_needed();
  std::vector<std::string> names;
  if (!config_.cameras.empty()) {
    for (size_t i = 0; i < needed && i < config_.cameras.size(); ++i) {
      names.push_back(config_.cameras[i].frame_id);
    }
    return names;
  }
  // Without a `cameras` list the rig is whatever calibrations arrived, once there are as many as the
  // mode uses; more than that cannot be ordered.
  for (const auto& [frame_id, model] : camera_models_) {
    names.push_back(frame_id);
  }
  std::sort(names.begin(), names.end());
  if (names.size() > needed) {
    const std::string found = join(names);
    VELK_LOG_THROTTLED(kTenSecondsNs, Error, kLogTarget,
                       "cuvslam found more cameras on camera_info than camera_mode uses, and they have no "
                       "discoverable order. List them in `cameras`.",
                       {"found", found}, {"mode", config_.camera_mode});
  }
  if (names.size() != needed) {
    return std::nullopt;
  }
  return names;
}

size_t CuvslamCore::rig_cameras_needed() const {
  if (mode_ == Mode::Multisensor) {
    return config_.cameras.size();
  }
  return tracker::minimum_cameras(odometry_mode(mode_, config_.enable_imu), 0);
}

std::optional<Isometry> CuvslamCore::lookup(TfLookup& tf, const std::string& target, const std::string& source) {
  std::optional<Isometry> transform = tf.latest(target, source);
  if (transform.has_value() && !transform->usable()) {
    counters_.bad_transforms += 1;
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "cuvslam ignoring a tf transform with non-finite numbers or no usable rotation; asking again "
                       "later. Fix the publisher of that transform.",
                       {"target_frame", target}, {"source_frame", source}, {"ignored", counters_.bad_transforms});
    return std::nullopt;
  }
  return transform;
}

// ---- IMU, images and depth into the frame set ----
// Each camera image and depth image is parked in its slot; the slots of all rig cameras together make
// the frame set, which every arrival offers to try_track.

void CuvslamCore::handle_imu(const ImuSample& sample) {
  if (!tracker_.has_value()) {
    counters_.imu_dropped_before_start += 1;
    return;
  }
  // Kept in stamp order, so that a sample stamped far ahead (a clock glitch) waits at the back for its time
  // instead of holding every later-arriving sample back from the tracker.
  const cuvslam::ImuMeasurement measurement = imu_measurement_from(sample);
  const auto later = std::upper_bound(
      imu_buffer_.begin(), imu_buffer_.end(), measurement.timestamp_ns,
      [](int64_t t_ns, const cuvslam::ImuMeasurement& m) { return t_ns < m.timestamp_ns; });
  imu_buffer_.insert(later, measurement);
  while (imu_buffer_.size() > kImuBufferCapacity) {
    imu_buffer_.pop_front();
  }
  counters_.imu_samples += 1;
}

std::optional<OdometryEstimate> CuvslamCore::handle_image(ImageFrame image, TfLookup& tf) {
  if (rig_.empty()) {
    resolve_rig(tf);
  }
  const auto camera = std::find_if(rig_.begin(), rig_.end(),
                                   [&](const RigCamera& c) { return c.frame_id == image.frame_id; });
  if (camera == rig_.end()) {
    counters_.unmatched_images += 1;
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "cuvslam dropping image with a frame_id not on the rig. List the frame in `cameras`, or stop "
                       "publishing that image.",
                       {"frame_id", image.frame_id}, {"dropped", counters_.unmatched_images},
                       {"rig_cameras", rig_.size()});
    return std::nullopt;
  }
  // The tracker reads width × height pixels of tightly packed rows and has no way to check the buffer.
  const int64_t row_bytes = int64_t{image.width} * camera_pixel_bytes(image.encoding);
  if (!rows_fit(image, row_bytes)) {
    counters_.image_size_rejects += 1;
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "cuvslam dropping a camera image smaller than its header claims. Fix the publisher's width, "
                       "height, step or encoding (mono8 takes 1 byte a pixel, every other encoding 3).",
                       {"frame_id", image.frame_id}, {"encoding", image.encoding}, {"width", image.width},
                       {"height", image.height}, {"step", image.step}, {"bytes", image.data.size()},
                       {"dropped", counters_.image_size_rejects});
    return std::nullopt;
  }
  repack_rows(image, row_bytes);
  camera->pending_image = std::move(image);
  return try_track(tf);
}

std::pair<std::optional<PointCloud>, std::optional<OdometryEstimate>> CuvslamCore::handle_depth_image(ImageFrame image,
                                                                                                     TfLookup& tf) {
  // The cloud, the reprojection and the tracker all read samples by width, height and step.
  if (!depth_layout_ok(image)) {
    counters_.image_size_rejects += 1;
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget, "cuvslam dropping a depth image smaller than its header claims",
                       {"width", image.width}, {"height", image.height}, {"step", image.step},
                       {"bytes", image.data.size()});
    return {std::nullopt, std::nullopt};
  }

  std::optional<PointCloud> cloud = point_cloud(image);

  // The tracker reads depth rows tightly packed.
  if (image.width >= 1 && image.height >= 1) {
    repack_rows(image, int64_t{image.width} * depth_sample_bytes(image.encoding));
  }

  // Stereo, mono and rgbd share one engine-level slot (only rgbd tracks it).
  if (mode_ != Mode::Multisensor) {
    pending_depth_ = std::move(image);
    return {std::move(cloud), try_track(tf)};
  }

  // A multisensor rig tracks the depth of a rig camera marked provides_depth, aligned to that camera.
  const auto camera = std::find_if(rig_.begin(), rig_.end(),
                                   [&](const RigCamera& c) { return c.frame_id == image.frame_id; });
  if (camera == rig_.end()) {
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "cuvslam dropping depth with a frame_id not on the rig. Multisensor depth must arrive aligned "
                       "to its rig camera.",
                       {"frame_id", image.frame_id});
    return {std::move(cloud), std::nullopt};
  }
  if (camera->config == nullptr || !camera->config->provides_depth) {
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "cuvslam ignoring depth for a rig camera whose config does not set provides_depth. Mark it, "
                       "or stop publishing that depth.",
                       {"frame_id", image.frame_id});
    return {std::move(cloud), std::nullopt};
  }
  camera->pending_depth = std::move(image);
  return {std::move(cloud), try_track(tf)};
}

// The point cloud comes out in every mode, also before any tracker exists, as soon as a calibration of the
// depth image is known: its own, or else that of the rig camera it is aligned to.
std::optional<PointCloud> CuvslamCore::point_cloud(const ImageFrame& image) {
  const CameraModel* calibration = depth_calibration_.has_value() ? &*depth_calibration_ : nullptr;
  if (calibration == nullptr) {
    for (const RigCamera& camera : rig_) {
      if (camera.frame_id == image.frame_id) {
        calibration = &camera.model;
        break;
      }
    }
  }
  if (calibration == nullptr) {
    return std::nullopt;
  }
  const CameraConfig settings = depth_config(image.frame_id);
  std::optional<PointCloud> cloud(std::in_place);
  depth_cloud(image, *calibration, decimation_from_config(settings.depth_cloud_decimation), *cloud,
              settings.depth_units_per_meter, settings.depth_cloud_min_range, settings.depth_cloud_max_range,
              cloud_scratch_);
  return cloud;
}

CameraConfig CuvslamCore::depth_config(const std::string& frame_id) const {
  if (const CameraConfig* entry = find_camera_config(config_, frame_id)) {
    return *entry;
  }
  VELK_LOG_THROTTLED(kThirtySecondsNs, Warn, kLogTarget,
                     "cuvslam has no config for this depth frame_id, using defaults. Add a `cameras` entry for it "
                     "with that sensor's depth_units_per_meter; the wrong scale rescales the whole map.",
                     {"frame_id", frame_id}, {"depth_units_per_meter", 1000});
  CameraConfig defaults;
  defaults.frame_id = frame_id;
  return defaults;
}

// ---- tracking a frame set ----

// Runs on every arrival. Once the frame set is complete and the tracker exists, the set goes to the
// tracker together with the IMU samples up to its stamp, and a pose comes back as the motion of the output
// frame. A set that cannot be tracked yet stays parked for a later image to complete or replace; only a
// stale set is dropped.
std::optional<OdometryEstimate> CuvslamCore::try_track(TfLookup& tf) {
  if (!frame_set_complete() || !ensure_tracker(tf)) {
    return std::nullopt;
  }
  const std::optional<int64_t> stamp_ns = frame_set_stamp();
  if (!stamp_ns.has_value()) {
    return std::nullopt;
  }
  // A set no newer than the last tracked one would take the tracker back in time.
  if (last_tracked_stamp_ns_.has_value() && *stamp_ns <= *last_tracked_stamp_ns_) {
    clear_frame_set();
    return std::nullopt;
  }
  std::vector<tracker::DepthImage> depths;
  if (!depth_for_tracker(tf, depths)) {
    return std::nullopt;
  }
  forward_imu(*stamp_ns);
  const tracker::TrackOutcome outcome = track(camera_images(), depths, *stamp_ns);

  switch (outcome.kind) {
    case tracker::TrackOutcome::Kind::Failed:
      VELK_LOG(Error, kLogTarget, "cuvslam Track failed", {"error", outcome.message});
      return std::nullopt;
    case tracker::TrackOutcome::Kind::NoPose:
      // The next pose starts a new segment: ungated, and with no earlier pose for the speed gate.
      if (tracking_) {
        counters_.resets += 1;
        tracking_ = false;
        previous_pose_.reset();
        VELK_LOG(Warn, kLogTarget, "cuvslam tracking lost", {"segment", counters_.resets});
      }
      return std::nullopt;
    case tracker::TrackOutcome::Kind::Pose:
      break;
  }
  return pose_output(outcome);
}

// One image per rig camera, plus the depth the mode tracks: the engine's depth slot in rgbd mode, the
// slot of each camera marked provides_depth in multisensor mode.
bool CuvslamCore::frame_set_complete() const {
  if (rig_.empty()) {
    return false;
  }
  if (mode_ == Mode::Rgbd && !pending_depth_.has_value()) {
    return false;
  }
  for (const RigCamera& camera : rig_) {
    if (!camera.pending_image.has_value()) {
      return false;
    }
    if (mode_ == Mode::Multisensor && camera.config != nullptr && camera.config->provides_depth &&
        !camera.pending_depth.has_value()) {
      return false;
    }
  }
  return true;
}

// The tracker is built from the first complete frame set on (rgbd needs its depth for the depth scale).
// After a construction that failed on both backends, only a changed calibration or mount tries again: the
// same inputs would fail the same way.
bool CuvslamCore::ensure_tracker(TfLookup& tf) {
  if (!tracker_.has_value() && construction_failed_) {
    retry_construction(tf);
  }
  if (!tracker_.has_value() && !construction_failed_) {
    build_tracker(tf);
  }
  return tracker_.has_value();
}

// Every input is looked up again here rather than at rig resolution, because a transform may have
// changed or appeared since. False (logged) while one is missing or when neither backend accepts the rig.
bool CuvslamCore::build_tracker(TfLookup& tf) {
  if (!place_rig(tf)) {
    return false;
  }
  TrackerSetup setup;
  setup.rig.cameras.reserve(rig_.size());
  for (const RigCamera& camera : rig_) {
    setup.rig.cameras.push_back(camera_params_from(camera.model, camera.rig_from_camera));
  }
  if (config_.enable_imu && !place_imu(tf, setup)) {
    return false;
  }
  setup.config = tracker_config();
  configure_depth(setup.config);
  if (!construct_tracker(setup)) {
    return false;
  }

  std::vector<std::string> frames;
  for (const RigCamera& camera : rig_) frames.push_back(camera.frame_id);
  const std::string rig_frames = join(frames);
  VELK_LOG(Info, kLogTarget, "cuvslam tracker created", {"cameras", rig_.size()},
           {"width", setup.rig.cameras.front().size[0]}, {"height", setup.rig.cameras.front().size[1]},
           {"rig_frames", rig_frames});
  return true;
}

// Where the rig sits in the output frame: every pose and covariance the tracker reports is carried
// through it into the output frame.
bool CuvslamCore::place_rig(TfLookup& tf) {
  const std::optional<Isometry> output_from_rig = lookup(tf, config_.output_frame_id, rig_frame());
  if (!output_from_rig.has_value()) {
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "cuvslam: tf does not place the rig frame against output_frame_id. Publish that transform; "
                       "no odometry comes out until it exists.",
                       {"rig_frame", rig_frame()}, {"output_frame_id", config_.output_frame_id});
    return false;
  }
  output_from_rig_ = *output_from_rig;
  rig_from_output_ = output_from_rig_.inverse();
  covariance_adjoint_ = covariance_adjoint(output_from_rig_);
  return true;
}

// With enable_imu the tracker needs the IMU's noise model and its mount; it is not built without them,
// rather than built as a camera-only tracker the configuration did not ask for.
bool CuvslamCore::place_imu(TfLookup& tf, TrackerSetup& setup) {
  if (!imu_noise_.has_value()) {
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "cuvslam: enable_imu is on but no imu_info has arrived. Publish imu_info, or turn "
                       "enable_imu off.");
    return false;
  }
  const std::optional<Isometry> rig_from_imu = lookup(tf, rig_frame(), imu_noise_->frame_id);
  if (!rig_from_imu.has_value()) {
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "cuvslam: enable_imu is on but tf does not place the IMU. Publish the transform from the "
                       "rig frame to it, or turn enable_imu off.",
                       {"imu_frame", imu_noise_->frame_id});
    return false;
  }
  setup.rig.imus.push_back(imu_calibration_from(*imu_noise_, *rig_from_imu));
  setup.rig_from_imu = rig_from_imu;
  return true;
}

// The tracker's mode, backend and rig-wide settings; depth settings follow in configure_depth.
cuvslam::Odometry::Config CuvslamCore::tracker_config() {
  cuvslam::Odometry::Config options;
  options.odometry_mode = odometry_mode(mode_, config_.enable_imu);
  options.use_gpu = config_.use_gpu;
  // A gap that narrows to 0 keeps the tracker's default too.
  if (config_.imu_gap_seconds > 0.0 && std::isfinite(config_.imu_gap_seconds)) {
    const float gap = static_cast<float>(std::min(config_.imu_gap_seconds, 1e6));
    if (gap > 0.f) options.imu_gap_seconds = gap;
  }
  options.threads = config_.tracker_threads;
  // The tracker takes one `rectified` for the whole rig: the first camera's, with a complaint when the
  // others disagree.
  const auto rectified_of = [](const RigCamera& camera) { return camera.config == nullptr || camera.config->rectified; };
  const bool first_rectified = rectified_of(rig_.front());
  for (const RigCamera& camera : rig_) {
    if (rectified_of(camera) != first_rectified) {
      VELK_LOG(Error, kLogTarget,
               "cuvslam rig cameras disagree on `rectified`; it applies to the whole rig. Make every "
               "cameras[*].rectified match.",
               {"using", first_rectified});
      break;
    }
  }
  options.rectified_stereo_camera = first_rectified && mode_ == Mode::Stereo;
  return options;
}

// How depth reaches the tracker, and which rig cameras provide it. The tracker scales raw depth by one
// factor per rig: rgbd's from its depth sensor's units. A multisensor rig whose sensors disagree on units
// gets no factor; its depth goes to the tracker as float metres instead.
void CuvslamCore::configure_depth(cuvslam::Odometry::Config& options) {
  if (mode_ == Mode::Rgbd) {
    options.rgbd_settings.depth_camera_id = 0;
    options.rgbd_settings.depth_scale_factor =
        static_cast<float>(depth_config(pending_depth_->frame_id).depth_units_per_meter);
  } else if (mode_ == Mode::Multisensor) {
    std::vector<double> units;
    for (size_t i = 0; i < rig_.size(); ++i) {
      if (rig_[i].config != nullptr && rig_[i].config->provides_depth) {
        options.depth_camera_ids.push_back(static_cast<int32_t>(i));
        units.push_back(rig_[i].config->depth_units_per_meter);
      }
    }
    rescale_multisensor_depth_ = false;
    if (!units.empty()) {
      const bool all_equal = std::all_of(units.begin(), units.end(), [&](double u) { return u == units.front(); });
      if (all_equal) {
        options.multisensor_depth_scale_factor = static_cast<float>(units.front());
      } else {
        rescale_multisensor_depth_ = true;
      }
    }
  }
}

// The configured backend first, then once more on the other: this build carries only one of them, and
// a configuration written for the other should still track.
bool CuvslamCore::construct_tracker(const TrackerSetup& setup) {
  std::variant<tracker::Tracker, std::string> created = tracker::Tracker::create(setup.rig, setup.config);
  if (auto* configured_error = std::get_if<std::string>(&created)) {
    const std::string first_error = std::move(*configured_error);
    cuvslam::Odometry::Config fallback = setup.config;
    fallback.use_gpu = !setup.config.use_gpu;
    created = tracker::Tracker::create(setup.rig, fallback);
    if (auto* fallback_error = std::get_if<std::string>(&created)) {
      remember_failed_construction(setup);
      VELK_LOG(Error, kLogTarget, "cuvslam tracker construction failed on both backends; this module will not publish odometry",
               {"configured_use_gpu", config_.use_gpu}, {"configured_error", first_error},
               {"fallback_error", *fallback_error});
      return false;
    }
    VELK_LOG(Warn, kLogTarget,
             "cuvslam tracker construction failed with the configured backend; this build only carries the other "
             "one, using it",
             {"configured_use_gpu", config_.use_gpu}, {"error", first_error});
  }
  tracker_.emplace(std::move(std::get<tracker::Tracker>(created)));
  return true;
}

// Keeps what the failed construction was built from, in the layout of mounts(), for retry_construction
// to compare against.
void CuvslamCore::remember_failed_construction(const TrackerSetup& setup) {
  construction_failed_ = true;
  failed_imu_noise_ = imu_noise_;
  failed_mounts_.assign(1, output_from_rig_);
  for (const RigCamera& camera : rig_) failed_mounts_.push_back(camera.rig_from_camera);
  if (!setup.rig.imus.empty()) failed_mounts_.push_back(*setup.rig_from_imu);
}

void CuvslamCore::retry_construction(TfLookup& tf) {
  const std::optional<std::vector<Isometry>> now = mounts(tf);
  if (!now.has_value()) {
    return;
  }
  const auto same_mount = [](const Isometry& a, const Isometry& b) {
    return a.rotation.coeffs() == b.rotation.coeffs() && a.translation == b.translation;
  };
  const auto same_model = [](const CameraModel& a, const CameraModel& b) {
    return a.width == b.width && a.height == b.height && a.intrinsics == b.intrinsics &&
           a.distortion == b.distortion;
  };
  // A NaN figure sent again is the same unusable figure, not a change worth another construction.
  const auto same_figure = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
  const auto same_noise = [&](const std::optional<ImuNoiseModel>& a, const std::optional<ImuNoiseModel>& b) {
    return a.has_value() == b.has_value() &&
           (!a.has_value() || (a->frame_id == b->frame_id && same_figure(a->gyro_noise_density, b->gyro_noise_density) &&
                               same_figure(a->gyro_random_walk, b->gyro_random_walk) &&
                               same_figure(a->accel_noise_density, b->accel_noise_density) &&
                               same_figure(a->accel_random_walk, b->accel_random_walk) &&
                               same_figure(a->frequency, b->frequency)));
  };
  bool changed = now->size() != failed_mounts_.size() ||
                 !std::equal(now->begin(), now->end(), failed_mounts_.begin(), same_mount) ||
                 (config_.enable_imu && !same_noise(imu_noise_, failed_imu_noise_));
  for (const RigCamera& camera : rig_) {
    const auto model = camera_models_.find(camera.frame_id);
    if (model == camera_models_.end()) {
      return;
    }
    changed = changed || !same_model(model->second, camera.model);
  }
  if (!changed) {
    return;  // nothing new: the same inputs would fail the same way
  }
  for (size_t i = 0; i < rig_.size(); ++i) {
    rig_[i].model = camera_models_.find(rig_[i].frame_id)->second;
    rig_[i].rig_from_camera = (*now)[1 + i];
  }
  counters_.construction_retries += 1;
  construction_failed_ = false;
  VELK_LOG(Info, kLogTarget, "cuvslam retrying tracker construction with a new calibration or mount transform",
           {"retries", counters_.construction_retries});
}

std::optional<std::vector<Isometry>> CuvslamCore::mounts(TfLookup& tf) {
  std::vector<Isometry> found;
  std::optional<Isometry> each = lookup(tf, config_.output_frame_id, rig_frame());
  if (!each.has_value()) return std::nullopt;
  found.push_back(*each);
  for (const RigCamera& camera : rig_) {
    each = lookup(tf, rig_frame(), camera.frame_id);
    if (!each.has_value()) return std::nullopt;
    found.push_back(*each);
  }
  if (config_.enable_imu && imu_noise_.has_value()) {
    each = lookup(tf, rig_frame(), imu_noise_->frame_id);
    if (!each.has_value()) return std::nullopt;
    found.push_back(*each);
  }
  return found;
}

// The set's stamp is that of its newest image. The tracker takes all images of a set as taken at once, so
// a set spread wider than the skew limit is refused (counted, logged) and stays parked until a newer image
// replaces its oldest.
std::optional<int64_t> CuvslamCore::frame_set_stamp() {
  int64_t stamp_ns = std::numeric_limits<int64_t>::min();
  int64_t oldest_ns = std::numeric_limits<int64_t>::max();
  for (const RigCamera& camera : rig_) {
    stamp_ns = std::max(stamp_ns, camera.pending_image->timestamp_ns);
    oldest_ns = std::min(oldest_ns, camera.pending_image->timestamp_ns);
  }
  const int64_t spread_ns = difference_ns(stamp_ns, oldest_ns);
  if (spread_ns > skew_limit_ns_) {
    counters_.skew_rejects += 1;
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "cuvslam frame sets exceed the skew limit. Sync the cameras, or raise max_skew_ms past the "
                       "skew above.",
                       {"rejected", counters_.skew_rejects}, {"skew_ms", static_cast<double>(spread_ns) / 1e6},
                       {"limit_ms", static_cast<double>(skew_limit_ns_) / 1e6});
    return std::nullopt;
  }
  return stamp_ns;
}

// The set's depth images for the tracker. 16-bit depth goes as received (raw units, scaled by the
// tracker); 32FC1 depth, and depth of a multisensor rig whose sensors disagree on units, go as float
// metres. False when rgbd depth cannot be brought onto the rig camera yet.
bool CuvslamCore::depth_for_tracker(TfLookup& tf, std::vector<tracker::DepthImage>& depths) {
  if (mode_ == Mode::Rgbd) {
    const DepthChoice choice = align_depth(tf);
    if (choice == DepthChoice::None) {
      return false;
    }
    const ImageFrame& depth = choice == DepthChoice::AsReceived ? *pending_depth_ : reprojected_depth_;
    if (is_float_depth(depth.encoding)) {
      depth_to_metres(depth, depth_config(pending_depth_->frame_id).depth_units_per_meter, depth_scratch_);
      depths.push_back({&depth, 0, &depth_scratch_});
    } else {
      depths.push_back({&depth, 0, nullptr});
    }
  } else if (mode_ == Mode::Multisensor) {
    for (size_t i = 0; i < rig_.size(); ++i) {
      RigCamera& camera = rig_[i];
      if (!camera.pending_depth.has_value()) {
        continue;
      }
      const ImageFrame& depth = *camera.pending_depth;
      const uint32_t index = static_cast<uint32_t>(i);
      if (rescale_multisensor_depth_ || is_float_depth(depth.encoding)) {
        const double units = camera.config != nullptr ? camera.config->depth_units_per_meter : 1000.0;
        depth_to_metres(depth, units, camera.depth_scratch);
        depths.push_back({&depth, index, &camera.depth_scratch});
      } else {
        depths.push_back({&depth, index, nullptr});
      }
    }
  }
  return true;
}

// The tracker reads rgbd depth as seen by the rig camera. Depth taken in the camera's own frame goes as
// received; depth from a separate sensor is reprojected, which needs that sensor's calibration and its
// mount on the camera.
CuvslamCore::DepthChoice CuvslamCore::align_depth(TfLookup& tf) {
  const ImageFrame& depth = *pending_depth_;
  const RigCamera& camera = rig_.front();
  if (depth.frame_id == camera.frame_id) {
    return DepthChoice::AsReceived;
  }
  if (!depth_calibration_.has_value()) {
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "cuvslam: depth is in another frame than the camera. Publish depth_camera_info so it can be "
                       "reprojected.",
                       {"depth_frame", depth.frame_id}, {"camera_frame", camera.frame_id});
    return DepthChoice::None;
  }
  // Looked up once and kept for the engine's life.
  if (!camera_from_depth_.has_value()) {
    const std::optional<Isometry> camera_from_depth = lookup(tf, camera.frame_id, depth.frame_id);
    if (!camera_from_depth.has_value()) {
      VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                         "cuvslam: tf does not connect the depth frame to the camera. Publish that transform, or fix "
                         "the URDF that should be producing it.",
                         {"depth_frame", depth.frame_id}, {"camera_frame", camera.frame_id});
      return DepthChoice::None;
    }
    camera_from_depth_ = *camera_from_depth;
    VELK_LOG(Info, kLogTarget, "cuvslam reprojecting depth onto the rig camera", {"depth_frame", depth.frame_id},
             {"camera_frame", camera.frame_id});
  }
  const CameraConfig settings = depth_config(depth.frame_id);
  reproject_depth(settings.depth_units_per_meter, depth, *depth_calibration_, camera.model, *camera_from_depth_,
                  reprojected_depth_);
  counters_.depth_reprojected += 1;
  return DepthChoice::Reprojected;
}

// The tracker integrates the IMU up to the set's stamp, oldest sample first; later samples wait for the
// next set.
void CuvslamCore::forward_imu(int64_t stamp_ns) {
  while (!imu_buffer_.empty() && imu_buffer_.front().timestamp_ns <= stamp_ns) {
    const cuvslam::ImuMeasurement measurement = imu_buffer_.front();
    imu_buffer_.pop_front();
    if (std::optional<std::string> error = tracker_->register_imu(measurement)) {
      counters_.imu_rejects += 1;
      VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget, "cuvslam rejected an IMU sample", {"error", *error},
                         {"rejected", counters_.imu_rejects});
    }
  }
}

// One image per rig camera in rig order.
std::vector<const ImageFrame*> CuvslamCore::camera_images() const {
  std::vector<const ImageFrame*> images;
  images.reserve(rig_.size());
  for (const RigCamera& camera : rig_) images.push_back(&*camera.pending_image);
  return images;
}

// The tracker reads every image of the set with the set's stamp. The set is consumed whatever the
// outcome: its stamp is spent, and a failed set would fail again.
tracker::TrackOutcome CuvslamCore::track(const std::vector<const ImageFrame*>& images,
                                         const std::vector<tracker::DepthImage>& depths, int64_t stamp_ns) {
  const tracker::TrackOutcome outcome = tracker_->track(stamp_ns, images, depths);
  counters_.frames += 1;
  last_tracked_stamp_ns_ = stamp_ns;
  clear_frame_set();
  return outcome;
}

void CuvslamCore::clear_frame_set() {
  for (RigCamera& camera : rig_) {
    camera.pending_image.reset();
    camera.pending_depth.reset();
  }
  pending_depth_.reset();
}

// ---- pose output ----

// The tracker's world_from_rig pose becomes the motion of the output frame, in an odometry frame that
// coincides with the output frame where tracking started: output_from_rig ∘ world_from_rig ∘ rig_from_output.
// Both gates judge every pose; a held pose is still counted as tracked and leaves the published pose
// where it was.
std::optional<OdometryEstimate> CuvslamCore::pose_output(const tracker::TrackOutcome& outcome) {
  const int64_t stamp_ns = outcome.timestamp_ns;
  const Isometry pose = output_from_rig_ * cuv_pose_to_isometry(outcome.rotation, outcome.translation) * rig_from_output_;

  // Covariance into the output frame: P = A C Aᵀ.
  const Matrix6 c = matrix_from_row_major(outcome.covariance);
  latest_covariance_ = covariance_adjoint_ * c * covariance_adjoint_.transpose();

  const bool held_by_covariance = covariance_gate();
  const bool held_by_speed = speed_gate(pose, stamp_ns);
  const bool gated = held_by_covariance || held_by_speed;
  previous_pose_ = pose;
  previous_stamp_ns_ = stamp_ns;

  // A held pose re-anchors the offset so that later poses continue from the published one.
  const Isometry published = published_pose_.value_or(Isometry::identity());
  if (!gated) {
    published_pose_ = hold_offset_.value_or(Isometry::identity()) * pose;
  } else {
    hold_offset_ = published * pose.inverse();
  }

  tracking_ = true;
  counters_.tracked += 1;
  return output(stamp_ns);
}

// True (counted, logged) when the translation standard deviation of the latest covariance exceeds the
// limit or a variance is not finite. Never on the first pose after start or after a loss, which has
// nothing to hold on to.
bool CuvslamCore::covariance_gate() {
  const double var_x = latest_covariance_(0, 0), var_y = latest_covariance_(1, 1), var_z = latest_covariance_(2, 2);
  const double translation_std = std::sqrt(std::fmax(std::fmax(var_x, var_y), var_z));  // fmax skips NaN
  const auto not_finite = [](double v) { return !std::isfinite(v); };
  const double cov_limit = config_.covariance_gate_translation_std;
  if (cov_limit > 0.0 && tracking_ &&
      (translation_std > cov_limit || not_finite(var_x) || not_finite(var_y) || not_finite(var_z))) {
    counters_.covariance_gated += 1;
    VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                       "cuvslam covariance gate holding pose. Raise covariance_gate_translation_std to accept poses "
                       "this uncertain.",
                       {"translation_std", translation_std}, {"gated", counters_.covariance_gated},
                       {"limit", cov_limit});
    return true;
  }
  return false;
}

// True (counted, logged) when the motion since the previous converted pose is faster than a limit.
// Comparisons with NaN are false: a zero dt with no motion passes, a zero dt with motion is infinitely
// fast.
bool CuvslamCore::speed_gate(const Isometry& pose, int64_t stamp_ns) {
  const double max_linear = config_.speed_gate_max_linear, max_angular = config_.speed_gate_max_angular;
  if (!(max_linear > 0.0 || max_angular > 0.0) || !previous_pose_.has_value()) {
    return false;
  }
  const double dt = difference_seconds(stamp_ns, previous_stamp_ns_);
  const double linear = (pose.translation - previous_pose_->translation).norm() / dt;
  const double angular = rotation_angle(hamilton(previous_pose_->rotation.conjugate(), pose.rotation)) / dt;
  if ((max_linear > 0.0 && linear > max_linear) || (max_angular > 0.0 && angular > max_angular)) {
    counters_.speed_gated += 1;
    VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                       "cuvslam speed gate holding pose. Raise speed_gate_max_linear / speed_gate_max_angular to "
                       "accept motion this fast.",
                       {"linear_mps", linear}, {"angular_rps", angular}, {"gated", counters_.speed_gated},
                       {"max_linear", max_linear}, {"max_angular", max_angular});
    return true;
  }
  return false;
}

OdometryEstimate CuvslamCore::output(int64_t stamp_ns) const {
  OdometryEstimate estimate;
  estimate.timestamp_ns = stamp_ns;
  estimate.frame_id = config_.odom_frame_id;
  estimate.child_frame_id = config_.output_frame_id;
  estimate.pose = published_pose_.value_or(Isometry::identity());
  estimate.pose_covariance = latest_covariance_;
  return estimate;
}

void CuvslamCore::report() const {
  log::emit_counters(kLogTarget, "cuvslam odometry counters", counters_);
}

}  // namespace velk_slam::cuvslam_odometry
