// cuvslam::Odometry: checks the rig, configuration and every input, converts images into grey
// pyramids and depth into metres, and runs the CPU visual tracker.
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>

#include "cuvslam/cuvslam.h"
#include "velk_track/visual_tracker.hpp"

namespace cuvslam {

using velk_track::Rigid;

namespace {

// Shortest text that reads back to the same value (a float field prints as the float it is).
std::string num(float v) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}
std::string num(double v) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

[[noreturn]] void refuse(const std::string& message) { throw std::invalid_argument(message); }

int mode_code(Odometry::OdometryMode m) { return static_cast<int>(m); }

void check_pose(const Pose& p, const std::string& what) {
  for (float v : p.rotation)
    if (!std::isfinite(v)) refuse(what + " has a non-finite rotation");
  for (float v : p.translation)
    if (!std::isfinite(v)) refuse(what + " has a non-finite translation");
  const double norm = std::sqrt(static_cast<double>(p.rotation[0]) * p.rotation[0] +
                                static_cast<double>(p.rotation[1]) * p.rotation[1] +
                                static_cast<double>(p.rotation[2]) * p.rotation[2] +
                                static_cast<double>(p.rotation[3]) * p.rotation[3]);
  if (std::abs(norm - 1.0) > 1e-3) refuse(what + " has a rotation of norm " + num(norm) + ", not a unit quaternion");
}

void check_camera(const Camera& cam, size_t index) {
  const std::string name = "camera " + std::to_string(index);
  constexpr int kMinSide = 32, kMaxSide = 32768;
  if (cam.size[0] < kMinSide || cam.size[1] < kMinSide || cam.size[0] > kMaxSide || cam.size[1] > kMaxSide)
    refuse(name + " has size " + std::to_string(cam.size[0]) + "x" + std::to_string(cam.size[1]) +
           "; width and height must be between 32 and 32768 pixels");
  if (!(cam.focal[0] > 0.f) || !(cam.focal[1] > 0.f) || !std::isfinite(cam.focal[0]) || !std::isfinite(cam.focal[1]))
    refuse(name + " has focal lengths (" + num(cam.focal[0]) + ", " + num(cam.focal[1]) +
           "); both must be positive and finite");
  if (!std::isfinite(cam.principal[0]) || !std::isfinite(cam.principal[1]))
    refuse(name + " has a non-finite principal point");
  check_pose(cam.rig_from_camera, name + " rig_from_camera");
  const auto& d = cam.distortion;
  switch (d.model) {
    case Distortion::Model::Pinhole:
      if (!d.parameters.empty())
        refuse(name + " has " + std::to_string(d.parameters.size()) +
               " distortion coefficients for the pinhole model, which takes none");
      break;
    case Distortion::Model::Brown:
      if (d.parameters.size() != 5)
        refuse(name + " has " + std::to_string(d.parameters.size()) +
               " distortion coefficients; the Brown model takes five (k1, k2, k3, p1, p2)");
      for (float v : d.parameters)
        if (!std::isfinite(v)) refuse(name + " has a non-finite distortion coefficient");
      break;
    default:
      refuse(name + " has distortion model code " + std::to_string(static_cast<int>(d.model)) +
             "; this build knows 0 (pinhole) and 2 (Brown)");
  }
}

void check_tuning(const Odometry::Config& c) {
  if (c.max_features < 8 || c.max_features > 10000)
    refuse("max_features is " + std::to_string(c.max_features) + "; it must lie in 8 ... 10000");
  if (c.pyramid_levels < 1 || c.pyramid_levels > 8)
    refuse("pyramid_levels is " + std::to_string(c.pyramid_levels) + "; it must lie in 1 ... 8");
  if (c.flow_window < 5 || c.flow_window > velk_track::kMaxFlowSide || c.flow_window % 2 == 0)
    refuse("flow_window is " + std::to_string(c.flow_window) + "; it must be odd and lie in 5 ... 31");
  if (c.min_inliers < 4 || c.min_inliers > 10000)
    refuse("min_inliers is " + std::to_string(c.min_inliers) + "; it must lie in 4 ... 10000");
  if (!(c.ransac_threshold_px > 0.f) || !std::isfinite(c.ransac_threshold_px))
    refuse("ransac_threshold_px must be positive and finite, got " + num(c.ransac_threshold_px));
  if (c.ransac_iterations < 1 || c.ransac_iterations > 100000)
    refuse("ransac_iterations is " + std::to_string(c.ransac_iterations) + "; it must lie in 1 ... 100000");
  if (!(c.min_depth_m > 0.f) || !std::isfinite(c.min_depth_m))
    refuse("min_depth_m must be positive and finite, got " + num(c.min_depth_m));
  if (!(c.max_depth_m > c.min_depth_m) || !std::isfinite(c.max_depth_m))
    refuse("max_depth_m must be finite and above min_depth_m (" + num(c.min_depth_m) + "), got " + num(c.max_depth_m));
  if (!(c.imu_gap_seconds >= 0.f) || !std::isfinite(c.imu_gap_seconds))
    refuse("imu_gap_seconds must be finite and not negative, got " + num(c.imu_gap_seconds));
  if (c.threads < 0 || c.threads > 256)
    refuse("threads is " + std::to_string(c.threads) + "; it must lie in 0 (one per core) ... 256");
}

using Mode = Odometry::OdometryMode;

// The mode's code, refused unless it names a mode.
int checked_mode_code(const Odometry::Config& config) {
  if (config.use_gpu) throw std::runtime_error("this build has no GPU backend");
  const int m = mode_code(config.odometry_mode);
  if (m < 0 || m > 4)
    refuse("odometry mode " + std::to_string(m) +
           " is not one of 0 (multicamera), 1 (inertial), 2 (RGB-D), 3 (monocular), 4 (multisensor)");
  return m;
}

// As many cameras as the mode needs (two for stereo), each well-formed.
void check_cameras(const Rig& rig, const Odometry::Config& config, int m) {
  const auto mode = config.odometry_mode;
  const size_t n = rig.cameras.size();
  const size_t min_cameras =
      (mode == Mode::Multicamera || mode == Mode::Inertial || (mode == Mode::Multisensor && config.depth_camera_ids.empty()))
          ? 2
          : 1;
  if (n < min_cameras)
    refuse("odometry mode " + std::to_string(m) + " needs at least " + std::to_string(min_cameras) + " cameras, got " +
           std::to_string(n));
  for (size_t i = 0; i < n; ++i) check_camera(rig.cameras[i], i);
}

// At most one IMU, present exactly where the mode reads one, with sound noise figures.
void check_imu(const Rig& rig, Mode mode, int m) {
  if (rig.imus.size() > 1) refuse("the rig has " + std::to_string(rig.imus.size()) + " IMUs; this tracker reads one");
  if (mode == Mode::Inertial && rig.imus.empty()) refuse("odometry mode 1 (inertial) needs an IMU calibration in the rig");
  if (!rig.imus.empty() && mode != Mode::Inertial && mode != Mode::Multisensor)
    refuse("odometry mode " + std::to_string(m) + " does not use an IMU; only modes 1 and 4 take an IMU calibration");
  if (!rig.imus.empty()) {
    const ImuCalibration& imu = rig.imus[0];
    check_pose(imu.rig_from_imu, "IMU rig_from_imu");
    for (float v : {imu.gyroscope_noise_density, imu.gyroscope_random_walk, imu.accelerometer_noise_density,
                    imu.accelerometer_random_walk})
      if (!(v >= 0.f) || !std::isfinite(v)) refuse("IMU noise figures must be finite and not negative, got " + num(v));
    if (!(imu.frequency > 0.f) || !std::isfinite(imu.frequency))
      refuse("IMU frequency must be positive and finite, got " + num(imu.frequency));
  }
}

// Per camera of an n-camera rig, 1 where it comes with a depth image (the RGB-D camera, or the
// multisensor mode's depth cameras, each named once), after checking the ids and depth scales.
std::vector<uint8_t> depth_camera_flags(const Odometry::Config& config, size_t n, int m) {
  const auto mode = config.odometry_mode;
  std::vector<uint8_t> depth(n, 0);
  if (mode == Mode::RGBD) {
    const int32_t id = config.rgbd_settings.depth_camera_id;
    if (id < 0 || static_cast<size_t>(id) >= n)
      refuse("rgbd_settings.depth_camera_id " + std::to_string(id) + " is not a camera of the " + std::to_string(n) +
             "-camera rig");
    const float s = config.rgbd_settings.depth_scale_factor;
    if (!(s > 0.f) || !std::isfinite(s)) refuse("rgbd_settings.depth_scale_factor must be positive and finite, got " + num(s));
    depth[static_cast<size_t>(id)] = 1;
  }
  if (!config.depth_camera_ids.empty()) {
    if (mode != Mode::Multisensor)
      refuse("depth_camera_ids is read in odometry mode 4 only; mode " + std::to_string(m) + " got " +
             std::to_string(config.depth_camera_ids.size()) + " ids");
    for (size_t i = 0; i < config.depth_camera_ids.size(); ++i) {
      const int32_t id = config.depth_camera_ids[i];
      if (id < 0 || static_cast<size_t>(id) >= n)
        refuse("depth_camera_ids[" + std::to_string(i) + "] is " + std::to_string(id) + ", not a camera of the " +
               std::to_string(n) + "-camera rig");
      if (depth[static_cast<size_t>(id)]) refuse("depth_camera_ids names camera " + std::to_string(id) + " twice");
      depth[static_cast<size_t>(id)] = 1;
    }
    const float s = config.multisensor_depth_scale_factor;
    if (!(s > 0.f) || !std::isfinite(s)) refuse("multisensor_depth_scale_factor must be positive and finite, got " + num(s));
  }
  return depth;
}

// Row search only where the images really are row-aligned: same orientation, baseline along
// x, same vertical intrinsics, no distortion. Anything else searches the epipolar curve.
bool row_aligned(const velk_track::StereoPair& pair, double baseline, const Camera& ca, const Camera& cb,
                 const velk_track::CameraSetup& sa, const velk_track::CameraSetup& sb) {
  const double angle = velk_track::log_rotation_matrix(pair.b_from_a.R).norm();
  return angle < 0.2 * 3.14159265358979 / 180.0 && std::abs(pair.b_from_a.t.y()) <= 0.01 * baseline &&
         std::abs(pair.b_from_a.t.z()) <= 0.01 * baseline &&
         std::abs(ca.focal[1] - cb.focal[1]) <= 1e-3f * ca.focal[1] &&
         std::abs(ca.principal[1] - cb.principal[1]) <= 0.5f && !sa.model.distorted() && !sb.model.distorted();
}

// Stereo pairs: cameras without depth, in rig order, two by two (cameras 0 and 1 first in the
// stereo modes); a pair needs a baseline. Cameras left alone triangulate over time.
void pair_stereo_cameras(const Rig& rig, const Odometry::Config& config, const std::vector<uint8_t>& depth,
                         velk_track::TrackerSetup& setup) {
  constexpr double kMinBaseline = 1e-3;  // metres
  const auto mode = config.odometry_mode;
  std::vector<size_t> plain;
  for (size_t i = 0; i < depth.size(); ++i)
    if (!depth[i]) plain.push_back(i);
  for (size_t k = 0; k + 1 < plain.size(); k += 2) {
    const size_t a = plain[k], b = plain[k + 1];
    velk_track::StereoPair pair;
    pair.a = static_cast<int>(a);
    pair.b = static_cast<int>(b);
    pair.b_from_a = setup.cameras[b].rig_from_camera.inverse() * setup.cameras[a].rig_from_camera;
    const double baseline = pair.b_from_a.t.norm();
    if (baseline < kMinBaseline) {
      if (mode == Mode::Multicamera || mode == Mode::Inertial)
        refuse("cameras " + std::to_string(a) + " and " + std::to_string(b) + " sit " + num(baseline) +
               " m apart; stereo needs a baseline of at least 1 mm");
      continue;
    }
    pair.row_search = config.rectified_stereo_camera &&
                      row_aligned(pair, baseline, rig.cameras[a], rig.cameras[b], setup.cameras[a], setup.cameras[b]);
    setup.cameras[a].stereo_pair = static_cast<int>(setup.pairs.size());
    setup.cameras[b].detects = false;
    setup.pairs.push_back(pair);
  }
}

// Validates everything and derives the tracker's camera roles.
velk_track::TrackerSetup make_setup(const Rig& rig, const Odometry::Config& config) {
  const int m = checked_mode_code(config);
  const auto mode = config.odometry_mode;
  check_cameras(rig, config, m);
  check_imu(rig, mode, m);
  const std::vector<uint8_t> depth = depth_camera_flags(config, rig.cameras.size(), m);
  check_tuning(config);

  velk_track::TrackerSetup setup;
  setup.config = config;
  setup.monocular = mode == Mode::Mono;
  if (!rig.imus.empty()) {
    setup.rig_from_imu = velk_track::rigid_from_pose(rig.imus[0].rig_from_imu);
    setup.gyro_noise_density = rig.imus[0].gyroscope_noise_density;
  }
  for (size_t i = 0; i < rig.cameras.size(); ++i) {
    velk_track::CameraSetup cam;
    cam.model = velk_track::CameraModel(rig.cameras[i]);
    cam.rig_from_camera = velk_track::rigid_from_pose(rig.cameras[i].rig_from_camera);
    cam.depth = depth[i] != 0;
    cam.detects = !setup.monocular || i == 0;
    setup.cameras.push_back(cam);
  }
  if (!setup.monocular) pair_stereo_cameras(rig, config, depth, setup);
  return setup;
}

}  // namespace

struct Odometry::Impl {
  explicit Impl(velk_track::TrackerSetup setup) : tracker(std::move(setup)) {}

  velk_track::VisualTracker tracker;
  velk_track::FrameData frame;
  bool has_frame = false;
  int64_t last_frame_ns = 0;
  bool has_imu_sample = false;
  int64_t last_imu_ns = 0;
  std::vector<uint8_t> seen;
};

Odometry::Odometry(const Rig& rig, const Config& config) : impl_(std::make_unique<Impl>(make_setup(rig, config))) {
  const size_t n = rig.cameras.size();
  impl_->frame.pyramids.resize(n);
  impl_->frame.depth.resize(n);
  impl_->frame.has_depth.assign(n, 0);
}

Odometry::~Odometry() = default;

PoseEstimate Odometry::Track(const std::vector<Image>& images, const std::vector<Image>& /*masks*/,
                             const std::vector<Image>& depths, void* /*internals*/) {
  Impl& s = *impl_;
  const velk_track::TrackerSetup& setup = s.tracker.setup();
  const size_t n = setup.cameras.size();
  if (images.empty()) refuse("Track got no images; a frame set has one image per camera");
  const int64_t t_ns = images[0].timestamp_ns;
  s.seen.assign(n, 0);
  for (const Image& img : images) {
    if (img.camera_index >= n)
      refuse("image for camera " + std::to_string(img.camera_index) + ", but the rig has " + std::to_string(n) +
             " cameras");
    if (s.seen[img.camera_index]) refuse("two images for camera " + std::to_string(img.camera_index));
    s.seen[img.camera_index] = 1;
    if (img.timestamp_ns != t_ns)
      refuse("images of one frame set carry different stamps (" + std::to_string(t_ns) + " and " +
             std::to_string(img.timestamp_ns) + " ns)");
    const velk_track::CameraModel& model = setup.cameras[img.camera_index].model;
    if (img.width != model.width() || img.height != model.height())
      refuse("image for camera " + std::to_string(img.camera_index) + " is " + std::to_string(img.width) + "x" +
             std::to_string(img.height) + ", but the camera is calibrated for " + std::to_string(model.width()) + "x" +
             std::to_string(model.height()));
  }
  for (size_t c = 0; c < n; ++c)
    if (!s.seen[c]) refuse("no image for camera " + std::to_string(c) + "; a frame set has one image per camera");
  if (s.has_frame && t_ns <= s.last_frame_ns)
    refuse("frame set stamped " + std::to_string(t_ns) + " ns is not after the last one at " +
           std::to_string(s.last_frame_ns) + " ns");

  s.seen.assign(n, 0);
  for (const Image& d : depths) {
    if (d.camera_index >= n || !setup.cameras[d.camera_index].depth)
      refuse("depth image for camera " + std::to_string(d.camera_index) +
             ", which is not a depth camera of this rig and mode");
    if (s.seen[d.camera_index]) refuse("two depth images for camera " + std::to_string(d.camera_index));
    s.seen[d.camera_index] = 1;
    const velk_track::CameraModel& model = setup.cameras[d.camera_index].model;
    if (d.width != model.width() || d.height != model.height())
      refuse("depth image for camera " + std::to_string(d.camera_index) + " is " + std::to_string(d.width) + "x" +
             std::to_string(d.height) + "; aligned depth must match the camera's " + std::to_string(model.width()) +
             "x" + std::to_string(model.height()));
  }

  // Everything checked that can be checked without reading pixels; reading may still refuse a
  // pitch or format, before any tracking state changes.
  // Each camera's image and pyramid, and each depth image, is one task of the pool; the first
  // refusal in that order is the one reported.
  const auto& cfg = setup.config;
  const float scale = cfg.odometry_mode == OdometryMode::RGBD ? cfg.rgbd_settings.depth_scale_factor
                                                               : cfg.multisensor_depth_scale_factor;
  s.frame.has_depth.assign(n, 0);
  s.frame.noise.assign(n, 0.f);
  s.tracker.pool().parallel_for(images.size() + depths.size(), [&](size_t i) {
    if (i < images.size()) {
      const Image& img = images[i];
      velk_track::Pyramid& pyr = s.frame.pyramids[img.camera_index];
      if (pyr.levels.empty()) pyr.levels.emplace_back();
      velk_track::read_grey(img, &pyr.levels[0]);
      const float gain = velk_track::brighten_dark_image(&pyr.levels[0]);
      pyr.build_from_base(cfg.pyramid_levels, 2 * cfg.flow_window);
      s.frame.noise[img.camera_index] = velk_track::image_noise(pyr.levels[0], 255.f * gain);
    } else {
      const Image& d = depths[i - images.size()];
      velk_track::read_depth(d, scale, &s.frame.depth[d.camera_index]);
      s.frame.has_depth[d.camera_index] = 1;
    }
  });
  s.frame.t_ns = t_ns;
  s.has_frame = true;
  s.last_frame_ns = t_ns;

  const velk_track::TrackResult r = s.tracker.track(s.frame);
  PoseEstimate out;
  out.timestamp_ns = t_ns;
  if (r.has_pose) {
    PoseWithCovariance p;
    p.pose = velk_track::pose_from_rigid(r.world_from_rig);
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j) p.covariance[static_cast<size_t>(6 * i + j)] = velk_track::to_float(r.covariance(i, j));
    out.world_from_rig = p;
  }
  return out;
}

void Odometry::RegisterImuMeasurement(uint32_t sensor_index, const ImuMeasurement& m) {
  Impl& s = *impl_;
  const velk_track::TrackerSetup& setup = s.tracker.setup();
  const auto mode = setup.config.odometry_mode;
  if (mode != OdometryMode::Inertial && mode != OdometryMode::Multisensor)
    refuse("odometry mode " + std::to_string(mode_code(mode)) +
           " does not read IMU measurements; only modes 1 and 4 do");
  if (!setup.rig_from_imu)
    refuse("this multisensor rig has no IMU calibration, so IMU measurements cannot be used");
  if (sensor_index != 0)
    refuse("sensor_index " + std::to_string(sensor_index) + " is not an IMU of the rig; its one IMU is sensor 0");
  // No IMU that odometry runs on measures past these (accelerometers reach 16 to 32 g, gyroscopes 2000 to
  // 4000 deg/s): a reading beyond them is a corrupt sample, and one such sample integrated over a bridged
  // stretch would carry the pose off by metres.
  constexpr float kMaxSpecificForce = 100.f * 9.80665f;  // m/s^2
  constexpr float kMaxAngularRate = 100.f;               // rad/s
  for (float v : m.angular_velocities) {
    if (!std::isfinite(v)) refuse("IMU measurement at " + std::to_string(m.timestamp_ns) + " ns has a non-finite angular velocity");
    if (std::abs(v) > kMaxAngularRate)
      refuse("IMU measurement at " + std::to_string(m.timestamp_ns) + " ns has an angular velocity of " + num(v) +
             " rad/s, beyond any gyroscope's range");
  }
  for (float v : m.linear_accelerations) {
    if (!std::isfinite(v)) refuse("IMU measurement at " + std::to_string(m.timestamp_ns) + " ns has a non-finite acceleration");
    if (std::abs(v) > kMaxSpecificForce)
      refuse("IMU measurement at " + std::to_string(m.timestamp_ns) + " ns has an acceleration of " + num(v) +
             " m/s^2, beyond any accelerometer's range");
  }
  if (s.has_imu_sample && m.timestamp_ns < s.last_imu_ns)
    refuse("IMU measurement at " + std::to_string(m.timestamp_ns) + " ns is older than the previous one at " +
           std::to_string(s.last_imu_ns) + " ns; measurements must arrive in time order");
  s.has_imu_sample = true;
  s.last_imu_ns = m.timestamp_ns;
  s.tracker.add_imu(m.timestamp_ns,
                    Eigen::Vector3d(m.angular_velocities[0], m.angular_velocities[1], m.angular_velocities[2]),
                    Eigen::Vector3d(m.linear_accelerations[0], m.linear_accelerations[1], m.linear_accelerations[2]));
}

}  // namespace cuvslam
