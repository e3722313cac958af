// Drift and speed of the CPU tracker per odometry mode on rendered sequences (default 640 x 480,
// 300 frame sets at 30 Hz, 0.5 grey-level image noise: three quarters of a loop, about 10 m, around
// a textured room; the path does not close, so a scale error cannot cancel at the end point).
// Prints one row per figure: name, value, unit, note (tab-separated).
//
// The stereo, inertial, RGB-D and monocular scenarios run once more on the same path with what real
// cameras add ("hard_" rows): motion blur from a 12 ms exposure, auto-exposure drift and steps, a
// left/right gain mismatch, vignetting with brightness-dependent noise, a bare wall, a moving box,
// dropped frame sets in gaps of 4 to 10 at 1.9 m/s (the path runs faster), a blank first frame set after
// the gap of 10, and lens distortion.
//
// Options: --width W (height = 3/4 W), --frames N, --noise SIGMA, --only NAME (a scenario name),
// --hard LIST (comma-separated subset of blur,exposure,mismatch,vignetting,bare,box,drops,blank,distortion;
// default all; "none" skips the hard rows), --threads N (the tracker's threads; default 1),
// --seed N (another room texture, image and IMU noise than the default's: a single sequence's
// figures along the path swing by a few tenths of a percent with the draw), --dump DIR (writes the
// frames of the first scenario selected to DIR for other trackers, see write_frames, and tracks
// nothing), --frames-from DIR (tracks the frames written there by --dump instead of rendering
// them), --trace 1 (also one "trace" row per frame set: index, delivered, position
// and attitude error after aligning the first tracked pose, distance so far, reported position sigma).
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

#include "../../tests/cpp/velk_track/sequence.hpp"

namespace {

struct Scenario {
  std::string name;
  seq::Sequence sequence;
  cuvslam::Odometry::Config config;
  bool monocular = false;
};

bool has(const std::string& list, const char* word) {
  return list == "all" || ("," + list + ",").find("," + std::string(word) + ",") != std::string::npos;
}

// Adds the conditions named in `list` to a scenario's sequence.
void make_hard(const std::string& list, seq::Sequence* s) {
  auto& h = s->hard;
  const int n = s->frames;
  if (has(list, "blur")) {
    h.exposure_s = 0.012;
    h.blur_samples = 3;
  }
  if (has(list, "exposure")) {
    h.gain_drift = 0.15;
    h.gain_steps = {{n * 3 / 10, 1.45}, {n * 6 / 10, 0.7}};
  }
  if (has(list, "mismatch")) h.other_gain = 1.08;
  if (has(list, "vignetting")) {
    h.vignetting = 0.35;
    h.shot_noise = 2.0;
  }
  if (has(list, "bare")) s->scene.bare_faces = {render::face_seed(s->scene.room.seed, 1, false)};
  if (has(list, "box")) s->scene.boxes.push_back({{-6.2, -2.9, 0.0}, {-5.4, -2.1, 1.7}, 81, {0.8, 0.0, 0.0}});
  if (has(list, "drops")) {
    s->trajectory.period = 7.0;  // at speed: about 1.9 m/s and 50 degrees/s of heading change
    for (const auto& [at, length] : std::vector<std::pair<int, int>>{{40, 4}, {100, 6}, {145, 10}, {200, 7}, {250, 5}})
      for (int k = at * n / 300; k < at * n / 300 + length; ++k) h.dropped.insert(k);
  }
  // The first frame set after the longest gap cannot be tracked (a hand over the lens, a flash).
  if (has(list, "blank")) s->blank_frames.insert(145 * n / 300 + 10);
  if (has(list, "distortion")) {
    for (size_t c = 0; c < s->cameras.size(); ++c)
      s->cameras[c].brown = c == 0 ? std::array<double, 5>{-0.08, 0.02, 0.0, 0.0005, -0.0003}
                                   : std::array<double, 5>{-0.06, 0.015, 0.0, -0.0004, 0.0002};
  }
}

// The frames of a scenario as plain files in `dir` (which must exist): meta.txt (width height fx
// fy cx cy frames fps), truth.txt (world_from_rig per frame, 3 x 4 row-major), rig_from_camera.txt
// (per camera, 3 x 4), camera<c>.u8 (8-bit images, frame after frame) and depth<c>.u16
// (millimetres, for depth cameras).
bool write_frames(const seq::Sequence& s, const std::string& dir) {
  const auto write_pose = [](std::ofstream& out, const render::Pose& p) {
    for (int r = 0; r < 3; ++r) out << p.R(r, 0) << ' ' << p.R(r, 1) << ' ' << p.R(r, 2) << ' ' << p.t(r) << ' ';
    out << '\n';
  };
  const render::CameraSpec& c0 = s.cameras[0];
  std::ofstream meta(dir + "/meta.txt"), truth(dir + "/truth.txt"), rig(dir + "/rig_from_camera.txt");
  meta.precision(17);
  truth.precision(17);
  rig.precision(17);
  meta << c0.width << ' ' << c0.height << ' ' << c0.fx << ' ' << c0.fy << ' ' << c0.cx << ' ' << c0.cy << ' '
       << s.frames << ' ' << s.fps << '\n';
  for (const auto& c : s.cameras) write_pose(rig, c.rig_from_camera);
  std::vector<std::ofstream> grey, depth;
  for (size_t c = 0; c < s.cameras.size(); ++c) {
    grey.emplace_back(dir + "/camera" + std::to_string(c) + ".u8", std::ios::binary);
    if (seq::has_depth(s, c)) depth.emplace_back(dir + "/depth" + std::to_string(c) + ".u16", std::ios::binary);
  }
  const auto rays = seq::camera_rays(s);
  for (int k = 0; k < s.frames; ++k) {
    const seq::RenderedFrame f = seq::render_frame(s, rays, k);
    write_pose(truth, s.trajectory.world_from_rig(seq::frame_seconds(s, k)));
    size_t d = 0;
    for (size_t c = 0; c < s.cameras.size(); ++c) {
      grey[c].write(reinterpret_cast<const char*>(f.grey[c].data()), static_cast<std::streamsize>(f.grey[c].size()));
      if (!seq::has_depth(s, c)) continue;
      std::vector<uint16_t> mm(f.depth_m[c].size());
      for (size_t i = 0; i < mm.size(); ++i)
        mm[i] = static_cast<uint16_t>(std::clamp(std::lround(f.depth_m[c][i] * 1000.0), 0L, 65535L));
      depth[d++].write(reinterpret_cast<const char*>(mm.data()), static_cast<std::streamsize>(2 * mm.size()));
    }
  }
  for (auto& g : grey) g.close();
  for (auto& g : depth) g.close();
  return meta.good() && truth.good() && rig.good();
}

// Reads back what write_frames wrote for sequence `s`.
std::vector<seq::RenderedFrame> read_frames(const seq::Sequence& s, const std::string& dir) {
  std::vector<seq::RenderedFrame> frames(static_cast<size_t>(s.frames));
  for (size_t c = 0; c < s.cameras.size(); ++c) {
    const size_t pixels = static_cast<size_t>(s.cameras[c].width) * static_cast<size_t>(s.cameras[c].height);
    std::ifstream grey(dir + "/camera" + std::to_string(c) + ".u8", std::ios::binary);
    std::ifstream depth(dir + "/depth" + std::to_string(c) + ".u16", std::ios::binary);
    std::vector<uint16_t> mm(pixels);
    for (auto& f : frames) {
      f.grey.resize(s.cameras.size());
      f.depth_m.resize(s.cameras.size());
      f.grey[c].resize(pixels);
      grey.read(reinterpret_cast<char*>(f.grey[c].data()), static_cast<std::streamsize>(pixels));
      if (!seq::has_depth(s, c)) continue;
      depth.read(reinterpret_cast<char*>(mm.data()), static_cast<std::streamsize>(2 * pixels));
      f.depth_m[c].resize(pixels);
      for (size_t i = 0; i < pixels; ++i) f.depth_m[c][i] = static_cast<float>(mm[i] / 1000.0);
    }
    if (!grey || (seq::has_depth(s, c) && !depth)) throw std::runtime_error("cannot read the frames in " + dir);
  }
  return frames;
}

void row(const std::string& name, double value, const char* unit, const std::string& note) {
  std::printf("%s\t%.6g\t%s\t%s\n", name.c_str(), value, unit, note.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int width = 640, frames = 300, threads = 1, trace = 0, seed = 0;
  double noise = 0.5;
  std::string only, hard = "all", dump, frames_from;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--width")) width = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--frames")) frames = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--noise")) noise = std::atof(argv[i + 1]);
    if (!std::strcmp(argv[i], "--only")) only = argv[i + 1];
    if (!std::strcmp(argv[i], "--hard")) hard = argv[i + 1];
    if (!std::strcmp(argv[i], "--threads")) threads = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--dump")) dump = argv[i + 1];
    if (!std::strcmp(argv[i], "--trace")) trace = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--seed")) seed = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--frames-from")) frames_from = argv[i + 1];
  }
  const int height = width * 3 / 4;
  const double baseline = 0.12;

  seq::Sequence base;
  base.frames = frames;
  base.noise_sigma = noise;
  base.trajectory.period = 13.4;  // three quarters of a loop in 300 frames at 30 Hz
  if (seed != 0) {
    base.seed += static_cast<uint32_t>(seed);
    base.scene.room.seed += static_cast<uint32_t>(seed);
  }

  std::vector<Scenario> scenarios;
  {
    Scenario s{"stereo_rectified", base, {}, false};
    s.sequence.cameras = {seq::forward_camera(width, height, baseline / 2), seq::forward_camera(width, height, -baseline / 2)};
    s.config.use_gpu = false;
    s.config.rectified_stereo_camera = true;
    scenarios.push_back(s);
  }
  {
    Scenario s{"stereo_distorted", base, {}, false};
    render::CameraSpec left = seq::forward_camera(width, height, baseline / 2);
    render::CameraSpec right = seq::forward_camera(width, height, -baseline / 2);
    left.brown = {-0.08, 0.02, 0.0, 0.0005, -0.0003};
    right.brown = {-0.06, 0.015, 0.0, -0.0004, 0.0002};
    right.fx *= 1.02;
    right.cy += 3.0;
    right.rig_from_camera.R = render::rot_z(0.02) * render::rot_x(0.01) * right.rig_from_camera.R;
    s.sequence.cameras = {left, right};
    s.config.use_gpu = false;
    scenarios.push_back(s);
  }
  {
    Scenario s{"inertial", base, {}, false};
    s.sequence.cameras = {seq::forward_camera(width, height, baseline / 2), seq::forward_camera(width, height, -baseline / 2)};
    s.sequence.imu = true;
    s.sequence.rig_from_imu.R = render::rot_x(render::kPi);
    s.sequence.gyro_bias = Eigen::Vector3d(0.004, -0.003, 0.002);
    s.sequence.gyro_noise = 0.002;
    s.config.use_gpu = false;
    s.config.rectified_stereo_camera = true;
    s.config.odometry_mode = cuvslam::Odometry::OdometryMode::Inertial;
    scenarios.push_back(s);
  }
  {
    Scenario s{"rgbd", base, {}, false};
    s.sequence.cameras = {seq::forward_camera(width, height, 0.0)};
    s.sequence.depth_cameras = {0};
    s.config.use_gpu = false;
    s.config.odometry_mode = cuvslam::Odometry::OdometryMode::RGBD;
    s.config.rgbd_settings.depth_camera_id = 0;
    s.config.rgbd_settings.depth_scale_factor = 1000.f;
    scenarios.push_back(s);
  }
  {
    Scenario s{"mono", base, {}, true};
    s.sequence.cameras = {seq::forward_camera(width, height, 0.0)};
    s.config.use_gpu = false;
    s.config.odometry_mode = cuvslam::Odometry::OdometryMode::Mono;
    scenarios.push_back(s);
  }
  {
    Scenario s{"multisensor", base, {}, false};
    render::CameraSpec side = seq::forward_camera(width, height, 0.0);
    side.rig_from_camera.R = render::rot_z(render::kPi / 2) * side.rig_from_camera.R;
    s.sequence.cameras = {seq::forward_camera(width, height, 0.0), side};
    s.sequence.depth_cameras = {0};
    s.config.use_gpu = false;
    s.config.odometry_mode = cuvslam::Odometry::OdometryMode::Multisensor;
    s.config.depth_camera_ids = {0};
    s.config.multisensor_depth_scale_factor = 1000.f;
    scenarios.push_back(s);
  }

  if (hard != "none") {
    const size_t clean = scenarios.size();
    for (size_t i = 0; i < clean; ++i) {
      const std::string& name = scenarios[i].name;
      if (name == "stereo_distorted" || name == "multisensor") continue;
      Scenario s = scenarios[i];
      s.name = "hard_" + name;
      make_hard(hard, &s.sequence);
      if (has(hard, "distortion")) s.config.rectified_stereo_camera = false;
      scenarios.push_back(s);
    }
  }

  char note[160];
  std::snprintf(note, sizeof note, "%dx%d, %d frame sets, noise %.2g%s", width, height, frames, noise,
                threads == 1 ? "" : (", " + std::to_string(threads) + " threads").c_str());
  for (auto& s : scenarios) {
    if (!only.empty() && s.name != only && s.name != "hard_" + only) continue;
    if (!dump.empty()) return write_frames(s.sequence, dump) ? 0 : 1;
    s.config.threads = threads;
    cuvslam::Odometry odom(seq::make_rig(s.sequence), s.config);
    double seconds = 0.0;
    std::vector<seq::RenderedFrame> cached;
    if (!frames_from.empty()) cached = read_frames(s.sequence, frames_from);
    const std::clock_t cpu_start = std::clock();
    const seq::Run r = seq::run(s.sequence, odom, frames_from.empty() ? nullptr : &cached, &seconds);
    // Processor time of all threads over the run (rendering included unless --frames-from): on a
    // busy machine a steadier measure of the work than the wall clock.
    const double cpu_seconds = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    const seq::Drift d = seq::endpoint_drift(r);
    if (trace && d.first >= 0) {
      const auto first = static_cast<size_t>(d.first);
      const render::Pose truth_from_est = r.truth[first] * r.est[first]->inverse();
      double so_far = 0.0;
      for (size_t k = first; k < r.est.size(); ++k) {
        if (k > first) so_far += (r.truth[k].t - r.truth[k - 1].t).norm();
        const bool delivered = !s.sequence.hard.dropped.count(static_cast<int>(k));
        if (!r.est[k]) {
          std::printf("trace\t%s\t%zu\t%d\t-\t-\t%.3f\t-\n", s.name.c_str(), k, delivered, so_far);
          continue;
        }
        const render::Pose a = truth_from_est * *r.est[k];
        const auto& c = r.covariance[k];
        std::printf("trace\t%s\t%zu\t%d\t%.4f\t%.4f\t%.3f\t%.4f\n", s.name.c_str(), k, delivered,
                    (a.t - r.truth[k].t).norm(), seq::angle_deg(a.R, r.truth[k].R), so_far,
                    std::sqrt(static_cast<double>(c[0] + c[7] + c[14])));
      }
    }
    row(s.name + ".tracked_frames", d.tracked, "frames", note);
    row(s.name + ".lost_frames", r.lost, "frames", "delivered without a pose");
    row(s.name + ".path", d.path_m, "m", note);
    if (s.monocular) {
      const seq::SimilarityFit fit = seq::similarity_fit(r);
      row(s.name + ".sim3_rms_error", 100.0 * fit.rms_m / fit.path_m, "% of path", note);
      row(s.name + ".sim3_max_error", 100.0 * fit.max_m / fit.path_m, "% of path", note);
    } else {
      row(s.name + ".translation_drift", 100.0 * d.translation_ratio(), "% of path", std::string(note) + ", end point");
      row(s.name + ".rotation_drift", d.rotation_deg_per_m(), "deg/m", std::string(note) + ", end point");
      row(s.name + ".worst_translation_drift", 100.0 * d.worst_translation_ratio, "% of path",
          std::string(note) + ", worst along the path past 1 m");
      row(s.name + ".worst_rotation_drift", d.worst_rotation_deg_per_m, "deg/m",
          std::string(note) + ", worst along the path past 1 m");
    }
    const double delivered = frames - static_cast<double>(s.sequence.hard.dropped.size());
    row(s.name + ".speed", delivered / seconds, "frame sets/s", std::string(note) + ", Track only");
    if (!frames_from.empty())
      row(s.name + ".cpu_speed", delivered / cpu_seconds, "frame sets/s", std::string(note) + ", per processor second");
    std::fflush(stdout);
  }
  return 0;
}
