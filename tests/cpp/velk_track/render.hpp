// A small ray caster for tracker tests and benchmarks: a textured room (the inside faces of a box)
// with textured boxes in it, seen by pinhole cameras (optionally with Brown distortion) moving
// along a known smooth trajectory; Z-depth images and IMU samples from the same trajectory.
//
// Frames: world z up; the rig ("body") frame x forward, y left, z up; cameras are optical frames
// (x right, y down, z forward). Poses name target_from_source.
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace render {

constexpr double kPi = 3.14159265358979323846;

struct Pose {
  Eigen::Matrix3d R = Eigen::Matrix3d::Identity();
  Eigen::Vector3d t = Eigen::Vector3d::Zero();
  Pose operator*(const Pose& o) const { return {R * o.R, R * o.t + t}; }
  Pose inverse() const { return {R.transpose(), -(R.transpose() * t)}; }
};

inline Eigen::Matrix3d rot_x(double a) { return Eigen::AngleAxisd(a, Eigen::Vector3d::UnitX()).toRotationMatrix(); }
inline Eigen::Matrix3d rot_y(double a) { return Eigen::AngleAxisd(a, Eigen::Vector3d::UnitY()).toRotationMatrix(); }
inline Eigen::Matrix3d rot_z(double a) { return Eigen::AngleAxisd(a, Eigen::Vector3d::UnitZ()).toRotationMatrix(); }

// rig_from_camera rotation of a forward-looking optical camera: optical z = body x, optical x =
// body -y, optical y = body -z.
inline Eigen::Matrix3d optical_to_body() { return (Eigen::Matrix3d() << 0, 0, 1, -1, 0, 0, 0, -1, 0).finished(); }

struct CameraSpec {
  int width = 320, height = 240;
  double fx = 260, fy = 260, cx = 159.5, cy = 119.5;
  std::array<double, 5> brown{0, 0, 0, 0, 0};  // k1, k2, k3, p1, p2
  Pose rig_from_camera;

  // Normalised undistorted -> distorted (Brown, radial then tangential).
  Eigen::Vector2d distort(const Eigen::Vector2d& p) const {
    const double x = p.x(), y = p.y(), r2 = x * x + y * y;
    const double k = 1 + r2 * (brown[0] + r2 * (brown[1] + r2 * brown[2]));
    return {x * k + 2 * brown[3] * x * y + brown[4] * (r2 + 2 * x * x),
            y * k + brown[3] * (r2 + 2 * y * y) + 2 * brown[4] * x * y};
  }
  // Pixel -> normalised undistorted, by fixed-point iteration (mild distortion only).
  Eigen::Vector2d undistort_pixel(double u, double v) const {
    const Eigen::Vector2d d((u - cx) / fx, (v - cy) / fy);
    Eigen::Vector2d p = d;
    for (int i = 0; i < 30; ++i) p += d - distort(p);
    return p;
  }
};

// Axis-aligned box; `seed` picks its texture. The room is seen from inside. A box may move at a
// constant `velocity` (m/s) from its place at time 0.
struct Box {
  Eigen::Vector3d lo, hi;
  uint32_t seed = 1;
  Eigen::Vector3d velocity = Eigen::Vector3d::Zero();
};

// Texture seed of face (axis, high side) of a box with seed `seed`.
inline uint32_t face_seed(uint32_t seed, int axis, bool high) { return seed * 13 + static_cast<uint32_t>(2 * axis + (high ? 1 : 0)); }

struct Scene {
  Box room{{-5.0, -4.0, 0.0}, {5.0, 4.0, 3.2}, 11};
  std::vector<Box> boxes = {
      {{-0.35, -0.35, 0.0}, {0.35, 0.35, 3.2}, 21},  // pillar in the middle
      {{3.6, 2.2, 0.0}, {4.6, 3.4, 1.3}, 31},   {{-4.6, -1.2, 0.0}, {-3.7, 0.6, 1.9}, 41},
      {{0.6, -3.9, 0.0}, {2.2, -3.2, 0.9}, 51}, {{-2.5, 3.0, 0.8}, {-1.2, 3.9, 2.2}, 61},
      {{3.9, -2.8, 0.5}, {4.8, -1.6, 2.5}, 71},
  };
  std::vector<uint32_t> bare_faces;  // face seeds painted nearly plain (the texture at a seventh of its contrast)

  // The scene at time t: moving boxes displaced.
  Scene at(double t) const {
    Scene s = *this;
    for (Box& b : s.boxes) b.lo += b.velocity * t, b.hi += b.velocity * t;
    return s;
  }
};

inline uint32_t hash3(int32_t x, int32_t y, uint32_t seed) {
  uint32_t h = seed * 0x9E3779B1u ^ static_cast<uint32_t>(x) * 0x85EBCA77u ^ static_cast<uint32_t>(y) * 0xC2B2AE3Du;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  h *= 0x297A2D39u;
  return h ^ (h >> 15);
}

// Smooth value noise in [0, 1] on a lattice of spacing `cell` metres.
inline double value_noise(double u, double v, double cell, uint32_t seed) {
  const double x = u / cell, y = v / cell;
  const double fx = std::floor(x), fy = std::floor(y);
  const int32_t ix = static_cast<int32_t>(fx), iy = static_cast<int32_t>(fy);
  double ax = x - fx, ay = y - fy;
  ax = ax * ax * (3 - 2 * ax);
  ay = ay * ay * (3 - 2 * ay);
  const double s = 1.0 / 4294967295.0;
  const double a = hash3(ix, iy, seed) * s, b = hash3(ix + 1, iy, seed) * s;
  const double c = hash3(ix, iy + 1, seed) * s, d = hash3(ix + 1, iy + 1, seed) * s;
  return (a + ax * (b - a)) + ay * ((c + ax * (d - c)) - (a + ax * (b - a)));
}

// Brightness in [0, 1] of a face point (u, v) seen with a pixel footprint of `footprint` metres:
// octaves finer than about three pixels fade to their mean, which stands in for anti-aliasing.
inline double texture(double u, double v, uint32_t seed, double footprint) {
  static constexpr double kCells[3] = {0.45, 0.15, 0.05};
  static constexpr double kWeights[3] = {0.45, 0.35, 0.30};
  double value = 0.0, total = 0.0;
  for (int o = 0; o < 3; ++o) {
    const double visible = std::clamp((kCells[o] / footprint - 2.0) / 2.0, 0.0, 1.0);
    const double n = visible > 0.0 ? value_noise(u, v, kCells[o], seed * 7 + static_cast<uint32_t>(o)) : 0.5;
    value += kWeights[o] * (visible * n + (1.0 - visible) * 0.5);
    total += kWeights[o];
  }
  // Stretch contrast around the mean; value noise sums cluster near 0.5.
  return std::clamp(0.5 + 1.8 * (value / total - 0.5), 0.0, 1.0);
}

struct Hit {
  double t = 0.0;  // ray parameter
  int axis = 0;
  uint32_t seed = 0;
  Eigen::Vector3d point;
};

// The nearest surface along o + t d: where the ray leaves the room, unless it enters a box first.
inline bool cast(const Scene& scene, const Eigen::Vector3d& o, const Eigen::Vector3d& d, Hit* hit) {
  double best = 1e30;
  bool found = false;
  {
    double t_exit = 1e30;
    int axis = -1;
    bool high = false;
    for (int k = 0; k < 3; ++k) {
      if (std::abs(d[k]) < 1e-12) continue;
      const double t1 = (scene.room.lo[k] - o[k]) / d[k], t2 = (scene.room.hi[k] - o[k]) / d[k];
      if (std::max(t1, t2) < t_exit) t_exit = std::max(t1, t2), axis = k, high = t2 > t1;
    }
    if (axis >= 0 && t_exit > 0) {
      best = t_exit;
      hit->axis = axis;
      hit->seed = face_seed(scene.room.seed, axis, high);
      found = true;
    }
  }
  for (const Box& b : scene.boxes) {
    double t_in = -1e30, t_out = 1e30;
    int axis = 0;
    bool high = false, miss = false;
    for (int k = 0; k < 3 && !miss; ++k) {
      if (std::abs(d[k]) < 1e-12) {
        miss = o[k] < b.lo[k] || o[k] > b.hi[k];
        continue;
      }
      const double t1 = (b.lo[k] - o[k]) / d[k], t2 = (b.hi[k] - o[k]) / d[k];
      if (std::min(t1, t2) > t_in) t_in = std::min(t1, t2), axis = k, high = t2 < t1;
      t_out = std::min(t_out, std::max(t1, t2));
    }
    if (miss || t_in > t_out || t_in <= 1e-6 || t_in >= best) continue;
    best = t_in;
    hit->axis = axis;
    hit->seed = face_seed(b.seed, axis, high);
    found = true;
  }
  if (!found) return false;
  hit->t = best;
  hit->point = o + best * d;
  return true;
}

// Normalised undistorted ray of every pixel of a camera, row-major (computed once per camera).
inline std::vector<Eigen::Vector2d> pixel_rays(const CameraSpec& cam) {
  std::vector<Eigen::Vector2d> rays(static_cast<size_t>(cam.width) * cam.height);
  const bool distorted = cam.brown != std::array<double, 5>{0, 0, 0, 0, 0};
  for (int v = 0; v < cam.height; ++v)
    for (int u = 0; u < cam.width; ++u)
      rays[static_cast<size_t>(v) * cam.width + u] =
          distorted ? cam.undistort_pixel(u, v) : Eigen::Vector2d((u - cam.cx) / cam.fx, (v - cam.cy) / cam.fy);
  return rays;
}

// Scene brightness in [0, 1] seen by every pixel of a camera at world_from_camera, and the Z depth
// (0 where nothing was hit) when `depth` is given.
inline std::vector<float> radiance_view(const Scene& scene, const CameraSpec& cam, const std::vector<Eigen::Vector2d>& rays,
                                        const Pose& world_from_camera, std::vector<float>* depth) {
  std::vector<float> out(static_cast<size_t>(cam.width) * cam.height);
  if (depth) depth->assign(out.size(), 0.f);
  const double f = 0.5 * (cam.fx + cam.fy);
  for (size_t i = 0; i < out.size(); ++i) {
    const Eigen::Vector3d dw = world_from_camera.R * Eigen::Vector3d(rays[i].x(), rays[i].y(), 1.0);
    Hit hit;
    double value = 0.5;
    if (cast(scene, world_from_camera.t, dw, &hit)) {
      // Pixel footprint on the face: distance over focal length, stretched by the slant.
      const double slant = std::max(0.05, std::abs(dw[hit.axis]) / dw.norm());
      const double footprint = hit.t * dw.norm() / (f * slant);
      const int a1 = (hit.axis + 1) % 3, a2 = (hit.axis + 2) % 3;
      const bool bare = std::find(scene.bare_faces.begin(), scene.bare_faces.end(), hit.seed) != scene.bare_faces.end();
      value = bare ? 0.45 + 0.12 * texture(hit.point[a1], hit.point[a2], hit.seed, footprint)
                   : 0.08 + 0.84 * texture(hit.point[a1], hit.point[a2], hit.seed, footprint);
      if (depth) (*depth)[i] = static_cast<float>(hit.t);  // ray z component is 1: t is Z depth
    }
    out[i] = static_cast<float>(value);
  }
  return out;
}

// A plain image (lens cap or blank wall) with Gaussian noise on the grey levels, from `rng`.
inline std::vector<uint8_t> blank_view(const CameraSpec& cam, uint8_t level, double noise_sigma, std::mt19937& rng) {
  std::vector<uint8_t> img(static_cast<size_t>(cam.width) * cam.height);
  std::normal_distribution<double> noise(0.0, noise_sigma > 0 ? noise_sigma : 1.0);
  for (auto& p : img)
    p = static_cast<uint8_t>(std::clamp(std::lround(level + (noise_sigma > 0 ? noise(rng) : 0.0)), 0L, 255L));
  return img;
}

// The rig's path: once around an ellipse in `period` seconds at about 1.4 m height, heading along
// the path with a slow sway, small pitch and roll.
struct Trajectory {
  double period = 10.0;
  double radius_x = 2.4, radius_y = 1.8;
  double roll_rate = 0.0;  // rad/s about the rig's x axis, the forward camera's optical axis

  Pose world_from_rig(double t) const {
    const double phi = 2 * kPi * t / period;
    const double heading = std::atan2(radius_y * std::cos(phi), -radius_x * std::sin(phi));
    return {rot_z(heading + 0.25 * std::sin(0.5 * phi + 0.3)) * rot_y(0.06 * std::sin(3 * phi)) *
                rot_x(0.04 * std::sin(2 * phi + 1.0) + roll_rate * t),
            Eigen::Vector3d(radius_x * std::cos(phi), radius_y * std::sin(phi), 1.4 + 0.15 * std::sin(2 * phi))};
  }

  // Body angular velocity (rad/s) by a central difference of the attitude.
  Eigen::Vector3d angular_velocity(double t) const {
    const double h = 1e-4;
    const Eigen::AngleAxisd aa(world_from_rig(t - h).R.transpose() * world_from_rig(t + h).R);
    return aa.angle() * aa.axis() / (2 * h);
  }

  // Specific force in the body frame: R^T (a - g), g = (0, 0, -9.81).
  Eigen::Vector3d specific_force(double t) const {
    const double h = 1e-3;
    const Eigen::Vector3d a = (world_from_rig(t + h).t - 2 * world_from_rig(t).t + world_from_rig(t - h).t) / (h * h);
    return world_from_rig(t).R.transpose() * (a - Eigen::Vector3d(0, 0, -9.81));
  }
};

inline double path_length(const std::vector<Eigen::Vector3d>& positions) {
  double d = 0;
  for (size_t i = 1; i < positions.size(); ++i) d += (positions[i] - positions[i - 1]).norm();
  return d;
}

}  // namespace render
