// Runs the tracker over rendered sequences and measures its drift against the true trajectory.
#pragma once

#include <Eigen/Dense>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <vector>

#include "cuvslam/cuvslam.h"
#include "render.hpp"

namespace seq {

inline cuvslam::Pose to_pose(const render::Pose& p) {
  const Eigen::Vector4f q = Eigen::Quaterniond(p.R).normalized().coeffs().cast<float>();  // x, y, z, w
  const Eigen::Vector3f t = p.t.cast<float>();
  return {{q[0], q[1], q[2], q[3]}, {t[0], t[1], t[2]}};
}

inline render::Pose from_pose(const cuvslam::Pose& p) {
  const Eigen::Quaterniond q(p.rotation[3], p.rotation[0], p.rotation[1], p.rotation[2]);
  return {q.normalized().toRotationMatrix(), Eigen::Vector3d(p.translation[0], p.translation[1], p.translation[2])};
}

inline cuvslam::Camera to_camera(const render::CameraSpec& c) {
  cuvslam::Camera cam;
  cam.size = {c.width, c.height};
  cam.principal = {static_cast<float>(c.cx), static_cast<float>(c.cy)};
  cam.focal = {static_cast<float>(c.fx), static_cast<float>(c.fy)};
  cam.rig_from_camera = to_pose(c.rig_from_camera);
  if (c.brown != std::array<double, 5>{0, 0, 0, 0, 0}) {
    cam.distortion.model = cuvslam::Distortion::Model::Brown;
    for (double k : c.brown) cam.distortion.parameters.push_back(static_cast<float>(k));
  }
  return cam;
}

// A forward-looking camera at `y_offset` metres to the left of the rig origin.
inline render::CameraSpec forward_camera(int width, int height, double y_offset) {
  render::CameraSpec c;
  c.width = width;
  c.height = height;
  c.fx = c.fy = 0.8 * width;
  c.cx = 0.5 * (width - 1);
  c.cy = 0.5 * (height - 1);
  c.rig_from_camera.R = render::optical_to_body();
  c.rig_from_camera.t = Eigen::Vector3d(0.05, y_offset, 0.0);
  return c;
}

// A stereo pair 12 cm apart; `distorted`: Brown distortion, unequal intrinsics and a slightly turned
// right camera, which only an epipolar search through the calibration matches.
inline std::vector<render::CameraSpec> stereo_cameras(int width, int height, bool distorted) {
  render::CameraSpec left = forward_camera(width, height, 0.06), right = forward_camera(width, height, -0.06);
  if (distorted) {
    left.brown = {-0.08, 0.02, 0.0, 0.0005, -0.0003};
    right.brown = {-0.06, 0.015, 0.0, -0.0004, 0.0002};
    right.fx *= 1.02;
    right.cy += 3.0;
    right.rig_from_camera.R = render::rot_z(0.02) * render::rot_x(0.01) * right.rig_from_camera.R;
  }
  return {left, right};
}

// What real cameras add, each off by default and deterministic.
struct Conditions {
  double exposure_s = 0.0;  // motion blur: each image averages the view over this long before its stamp
  int blur_samples = 4;
  double gain_drift = 0.0;  // auto-exposure gain swings by this fraction over a 3 s cycle
  std::vector<std::pair<int, double>> gain_steps;  // from frame k on, the gain is multiplied by the factor
  double other_gain = 1.0;  // gain of every camera but the first (left/right mismatch)
  double vignetting = 0.0;  // brightness loss in the image corners, falling off with the squared radius
  double shot_noise = 0.0;  // extra noise (grey levels at full brightness), growing with sqrt(brightness)
  std::set<int> dropped;    // frame sets never delivered (the IMU keeps running)
  std::set<int> defocused;  // frame sets whose images are out of focus (a knock, a hand shaking the camera)
  int defocus_radius = 5;   // pixels: the out-of-focus image is a box average this far to each side
  std::set<int> garbled;    // frame sets whose images are sensor garbage: random 8 px blocks, corners everywhere

  double gain(int k) const {
    double g = 1.0 + gain_drift * std::sin(2.0 * 3.14159265358979 * k / 90.0);
    for (const auto& [from, factor] : gain_steps)
      if (k >= from) g *= factor;
    return g;
  }
};

struct Sequence {
  std::vector<render::CameraSpec> cameras;
  std::vector<int> depth_cameras;  // cameras that also deliver aligned depth
  bool float_depth = false;        // Float32 metres instead of UInt16 millimetres
  render::Trajectory trajectory;
  render::Scene scene;
  double fps = 30.0;
  int frames = 60;
  double noise_sigma = 0.5;  // grey levels
  std::set<int> blank_frames;  // frames whose images show a featureless grey
  // IMU (modes 1 and 4): rate, rig_from_imu, constant gyro bias and white noise (rad/s per sample).
  bool imu = false;
  double imu_rate = 200.0;
  render::Pose rig_from_imu;
  Eigen::Vector3d gyro_bias = Eigen::Vector3d::Zero();
  double gyro_noise = 0.0;
  std::map<int, Eigen::Vector3d> accel_spikes;  // added to the accelerometer reading of IMU sample n
  uint32_t seed = 7;
  Conditions hard;
};

struct Run {
  std::vector<int64_t> t_ns;
  std::vector<render::Pose> truth;                  // world_from_rig, every frame
  std::vector<std::optional<render::Pose>> est;     // tracker's world_from_rig, when tracked
  std::vector<std::array<float, 36>> covariance;    // when tracked
  int lost = 0;                                     // frame sets delivered without a pose
  int imu_refused = 0;                              // IMU samples the tracker refused
};

inline int64_t frame_ns(const Sequence& s, int k) {
  return static_cast<int64_t>(std::llround(1e9 * k / s.fps)) + 1'000'000'000;
}

inline double frame_seconds(const Sequence& s, int k) { return 1e-9 * static_cast<double>(frame_ns(s, k) - frame_ns(s, 0)); }

inline bool has_depth(const Sequence& s, size_t camera) {
  return std::find(s.depth_cameras.begin(), s.depth_cameras.end(), static_cast<int>(camera)) != s.depth_cameras.end();
}

inline cuvslam::Rig make_rig(const Sequence& s) {
  cuvslam::Rig rig;
  for (const auto& c : s.cameras) rig.cameras.push_back(to_camera(c));
  // Noise densities and random walks of gyroscope, then accelerometer.
  if (s.imu) rig.imus.push_back({to_pose(s.rig_from_imu), 1e-3f, 1e-5f, 1e-2f, 1e-4f, static_cast<float>(s.imu_rate)});
  return rig;
}

// The images of one frame set: grey per camera, depth (metres) for depth cameras.
struct RenderedFrame {
  std::vector<std::vector<uint8_t>> grey;
  std::vector<std::vector<float>> depth_m;
};

// Separable box average of a width x height image, `radius` pixels to each side, clamped at the edges.
inline void box_blur(std::vector<float>* image, int width, int height, int radius) {
  std::vector<float> line;
  const auto pass = [&](int count, int length, size_t step, size_t stride) {
    for (int i = 0; i < count; ++i) {
      float* p = image->data() + static_cast<size_t>(i) * stride;
      line.assign(static_cast<size_t>(length), 0.f);
      for (int x = 0; x < length; ++x) {
        float sum = 0.f;
        for (int d = -radius; d <= radius; ++d) sum += p[static_cast<size_t>(std::clamp(x + d, 0, length - 1)) * step];
        line[static_cast<size_t>(x)] = sum / static_cast<float>(2 * radius + 1);
      }
      for (int x = 0; x < length; ++x) p[static_cast<size_t>(x) * step] = line[static_cast<size_t>(x)];
    }
  };
  pass(height, width, 1, static_cast<size_t>(width));
  pass(width, height, static_cast<size_t>(width), 1);
}

// Frame k of the sequence. Noise comes from a generator seeded by (seed, k), so a frame renders
// the same whether it is cached or drawn on the fly. Blur: the mean of views spread over the
// exposure; depth from the one nearest the stamp.
inline RenderedFrame render_frame(const Sequence& s, const std::vector<std::vector<Eigen::Vector2d>>& rays, int k) {
  std::mt19937 rng(s.seed * 1000003u + static_cast<uint32_t>(k));
  const double t = frame_seconds(s, k);
  RenderedFrame f;
  f.grey.resize(s.cameras.size());
  f.depth_m.resize(s.cameras.size());
  for (size_t c = 0; c < s.cameras.size(); ++c) {
    const render::CameraSpec& cam = s.cameras[c];
    const int n = s.hard.exposure_s > 0.0 ? std::max(1, s.hard.blur_samples) : 1;
    std::vector<float> sum;
    for (int j = 0; j < n; ++j) {
      const double tj = n == 1 ? t : t - s.hard.exposure_s * (n - 1 - j) / (n - 1);
      const std::vector<float> v = render::radiance_view(s.scene.at(tj), cam, rays[c],
                                                         s.trajectory.world_from_rig(tj) * cam.rig_from_camera,
                                                         j == n - 1 && has_depth(s, c) ? &f.depth_m[c] : nullptr);
      if (sum.empty()) sum.assign(v.size(), 0.f);
      for (size_t i = 0; i < v.size(); ++i) sum[i] += v[i];
    }
    if (s.hard.defocused.count(k)) box_blur(&sum, cam.width, cam.height, s.hard.defocus_radius);
    if (s.hard.garbled.count(k)) {
      std::uniform_real_distribution<float> level(0.1f, 0.9f);
      std::vector<float> blocks(static_cast<size_t>((cam.width / 8 + 1) * (cam.height / 8 + 1)));
      for (float& b : blocks) b = level(rng) * static_cast<float>(n);
      for (size_t i = 0; i < sum.size(); ++i) {
        const size_t x = i % static_cast<size_t>(cam.width), y = i / static_cast<size_t>(cam.width);
        sum[i] = blocks[y / 8 * static_cast<size_t>(cam.width / 8 + 1) + x / 8];
      }
    }
    const double gain = s.hard.gain(k) * (c == 0 ? 1.0 : s.hard.other_gain);
    const double r2max = cam.cx * cam.cx + cam.cy * cam.cy;
    std::normal_distribution<double> noise(0.0, 1.0);
    f.grey[c].resize(sum.size());
    for (size_t i = 0; i < sum.size(); ++i) {
      const double du = static_cast<double>(i % static_cast<size_t>(cam.width)) - cam.cx;
      const double dv = static_cast<double>(i / static_cast<size_t>(cam.width)) - cam.cy;
      const double v = sum[i] / n * gain * (1.0 - s.hard.vignetting * (du * du + dv * dv) / r2max);
      const double sigma = s.noise_sigma + s.hard.shot_noise * std::sqrt(std::clamp(v, 0.0, 1.0));
      f.grey[c][i] = static_cast<uint8_t>(std::clamp(std::lround(255.0 * v + sigma * noise(rng)), 0L, 255L));
    }
  }
  return f;
}

inline std::vector<std::vector<Eigen::Vector2d>> camera_rays(const Sequence& s) {
  std::vector<std::vector<Eigen::Vector2d>> rays;
  for (const auto& c : s.cameras) rays.push_back(render::pixel_rays(c));
  return rays;
}

inline std::vector<RenderedFrame> render_all(const Sequence& s) {
  const auto rays = camera_rays(s);
  std::vector<RenderedFrame> frames;
  for (int k = 0; k < s.frames; ++k) frames.push_back(render_frame(s, rays, k));
  return frames;
}

// Tracks the sequence frame by frame, from `cached` frames when given (else rendered on the fly);
// frames listed in blank_frames are replaced by featureless grey. IMU samples up to each frame's
// stamp are registered before it. `track_seconds` (optional) accumulates the time inside Track.
inline Run run(const Sequence& s, cuvslam::Odometry& odom, const std::vector<RenderedFrame>* cached = nullptr,
               double* track_seconds = nullptr) {
  Run out;
  if (cached && cached->size() < static_cast<size_t>(s.frames))
    throw std::logic_error("the cached rendering has fewer frames than the sequence");
  const auto rays = cached ? std::vector<std::vector<Eigen::Vector2d>>() : camera_rays(s);
  std::mt19937 imu_rng(s.seed + 1);
  std::normal_distribution<double> gyro_noise(0.0, 1.0);
  int64_t next_imu_ns = frame_ns(s, 0) - 200'000'000;
  int imu_sample = 0;
  const int64_t imu_step = static_cast<int64_t>(std::llround(1e9 / s.imu_rate));
  const auto to_float = [](const Eigen::Vector3d& v) {
    return std::array<float, 3>{static_cast<float>(v.x()), static_cast<float>(v.y()), static_cast<float>(v.z())};
  };
  for (int k = 0; k < s.frames; ++k) {
    const int64_t t_ns = frame_ns(s, k);
    for (; s.imu && next_imu_ns <= t_ns; next_imu_ns += imu_step, ++imu_sample) {
      const double ti = 1e-9 * static_cast<double>(next_imu_ns - frame_ns(s, 0));
      const Eigen::Matrix3d imu_from_rig = s.rig_from_imu.R.transpose();
      Eigen::Vector3d w = imu_from_rig * s.trajectory.angular_velocity(ti) + s.gyro_bias;
      for (int i = 0; i < 3; ++i) w[i] += s.gyro_noise * gyro_noise(imu_rng);
      cuvslam::ImuMeasurement m;
      m.timestamp_ns = next_imu_ns;
      m.angular_velocities = to_float(w);
      const auto spike = s.accel_spikes.find(imu_sample);
      m.linear_accelerations = to_float(imu_from_rig * s.trajectory.specific_force(ti) +
                                        (spike == s.accel_spikes.end() ? Eigen::Vector3d::Zero() : spike->second));
      try {
        odom.RegisterImuMeasurement(0, m);
      } catch (const std::invalid_argument&) {
        ++out.imu_refused;
      }
    }
    out.t_ns.push_back(t_ns);
    out.truth.push_back(s.trajectory.world_from_rig(frame_seconds(s, k)));
    out.est.emplace_back();
    out.covariance.emplace_back();
    if (s.hard.dropped.count(k)) continue;  // in the run as a frame without a pose, not counted as lost
    RenderedFrame drawn;
    const RenderedFrame& frame = cached ? (*cached)[static_cast<size_t>(k)] : (drawn = render_frame(s, rays, k));
    const bool blank = s.blank_frames.count(k) > 0;
    std::vector<std::vector<uint8_t>> blank_grey(s.cameras.size());
    std::vector<std::vector<uint16_t>> depth16(s.cameras.size());
    std::vector<cuvslam::Image> images, depths;
    for (size_t c = 0; c < s.cameras.size(); ++c) {
      cuvslam::Image img;
      if (blank) {
        std::mt19937 rng(s.seed * 7919u + static_cast<uint32_t>(k));
        blank_grey[c] = render::blank_view(s.cameras[c], 120, s.noise_sigma, rng);
      }
      img.pixels = blank ? blank_grey[c].data() : frame.grey[c].data();
      img.width = s.cameras[c].width;
      img.height = s.cameras[c].height;
      img.timestamp_ns = t_ns;
      img.camera_index = static_cast<uint32_t>(c);
      images.push_back(img);
      if (!has_depth(s, c) || blank) continue;
      cuvslam::Image d = img;
      d.pixels = frame.depth_m[c].data();
      d.data_type = cuvslam::Image::DataType::Float32;
      if (!s.float_depth) {
        for (float z : frame.depth_m[c])
          depth16[c].push_back(static_cast<uint16_t>(std::clamp(std::lround(z * 1000.0), 0L, 65535L)));
        d.pixels = depth16[c].data();
        d.data_type = cuvslam::Image::DataType::UInt16;
      }
      depths.push_back(d);
    }
    const auto start = std::chrono::steady_clock::now();
    const cuvslam::PoseEstimate e = odom.Track(images, {}, depths);
    if (track_seconds)
      *track_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    out.t_ns.back() = e.timestamp_ns;
    if (e.world_from_rig) {
      out.est.back() = from_pose(e.world_from_rig->pose);
      out.covariance.back() = e.world_from_rig->covariance;
    } else {
      ++out.lost;
    }
  }
  return out;
}

struct Drift {
  int first = -1, last = -1;    // first and last tracked frame
  int tracked = 0;
  double path_m = 0.0;          // true distance travelled between them
  double translation_m = 0.0;   // end-point position error after aligning the first tracked poses
  double rotation_deg = 0.0;    // end-point attitude error after the same alignment
  // Largest error over distance so far along the way (from 1 m travelled on), so that errors
  // which happen to cancel at the end point still show.
  double worst_translation_ratio = 0.0;
  double worst_rotation_deg_per_m = 0.0;
  double translation_ratio() const { return translation_m / path_m; }
  double rotation_deg_per_m() const { return rotation_deg / path_m; }
};

// Angle in degrees between two attitudes.
inline double angle_deg(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b) {
  return Eigen::AngleAxisd(a.transpose() * b).angle() * 180.0 / render::kPi;
}

// Aligns the estimate's world to the truth at the first tracked frame of [from, to], then compares
// the last.
inline Drift endpoint_drift(const Run& r, int from = 0, int to = -1) {
  Drift d;
  if (to < 0) to = static_cast<int>(r.est.size()) - 1;
  for (int k = from; k <= to; ++k)
    if (r.est[static_cast<size_t>(k)]) {
      if (d.first < 0) d.first = k;
      d.last = k;
      ++d.tracked;
    }
  if (d.first < 0) return d;
  const auto first = static_cast<size_t>(d.first), last = static_cast<size_t>(d.last);
  const render::Pose truth_from_est = r.truth[first] * r.est[first]->inverse();
  std::vector<Eigen::Vector3d> path;
  for (size_t k = first; k <= last; ++k) {
    path.push_back(r.truth[k].t);
    const double so_far = render::path_length(path);
    if (!r.est[k] || so_far < 1.0) continue;
    const render::Pose a = truth_from_est * *r.est[k];
    d.worst_translation_ratio = std::max(d.worst_translation_ratio, (a.t - r.truth[k].t).norm() / so_far);
    d.worst_rotation_deg_per_m = std::max(d.worst_rotation_deg_per_m, angle_deg(a.R, r.truth[k].R) / so_far);
  }
  const render::Pose aligned = truth_from_est * *r.est[last];
  d.path_m = render::path_length(path);
  d.translation_m = (aligned.t - r.truth[last].t).norm();
  d.rotation_deg = angle_deg(aligned.R, r.truth[last].R);
  return d;
}

// Similarity alignment (Umeyama) of the tracked positions onto the true ones: the RMS and the
// largest residual in metres.
struct SimilarityFit {
  double rms_m = 0.0, max_m = 0.0, path_m = 0.0;
};

inline SimilarityFit similarity_fit(const Run& r) {
  std::vector<Eigen::Vector3d> est, truth;
  for (size_t k = 0; k < r.est.size(); ++k)
    if (r.est[k]) est.push_back(r.est[k]->t), truth.push_back(r.truth[k].t);
  SimilarityFit fit;
  if (est.size() < 3) return fit;
  const auto n = static_cast<Eigen::Index>(est.size());
  const Eigen::Matrix4d t = Eigen::umeyama(Eigen::Map<const Eigen::Matrix3Xd>(est[0].data(), 3, n),
                                           Eigen::Map<const Eigen::Matrix3Xd>(truth[0].data(), 3, n), true);
  double sum = 0.0;
  for (size_t i = 0; i < est.size(); ++i) {
    const double e = (t.block<3, 3>(0, 0) * est[i] + t.block<3, 1>(0, 3) - truth[i]).norm();
    sum += e * e;
    fit.max_m = std::max(fit.max_m, e);
  }
  fit.rms_m = std::sqrt(sum / static_cast<double>(est.size()));
  fit.path_m = render::path_length(truth);
  return fit;
}

}  // namespace seq
