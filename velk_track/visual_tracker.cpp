#include "velk_track/visual_tracker.hpp"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <stamps.hpp>

#include "velk_track/corners.hpp"
#include "velk_track/two_view.hpp"

namespace velk_track {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Features handed to one task of the pool at a time: enough work to outweigh the hand-over.
constexpr size_t kFeatureBlock = 24;
constexpr double kDegree = kPi / 180.0;

// A keyframe is made when the tracked landmarks fall below this fraction of those the last
// keyframe started with, or the detecting cameras keep fewer features than this fraction of
// max_features: new corners then refill the empty image regions.
constexpr double kKeyframeLandmarkRatio = 0.7;
constexpr double kKeyframeFeatureRatio = 0.5;
// Corner threshold divisor for the cells that hold no corner at the normal threshold.
constexpr float kWeakCornerDivisor = 6.f;
// A pose from fewer inliers than this many times min_inliers comes from a poor view (few features,
// often on one plane): its covariance grows with the square of the shortfall.
constexpr int kConfidentInlierFactor = 3;
// A pose from at least this many times min_inliers is not overruled by the IMU's prediction.
constexpr int kTrustedInlierFactor = 8;
// Fewer than kSparseInlierFactor times min_inliers inliers whose spread across their mean plane
// is below kFlatThickness of their range (one wall, one depth), or inliers whose image spread (rms,
// normalised coordinates) is below kNarrowSpread, give a poorly constrained translation: its
// standard deviation grows with the shortfall, at most kMaxGeometryInflation times.
constexpr double kFlatThickness = 0.15;
constexpr int kSparseInlierFactor = 20;
constexpr double kNarrowSpread = 0.2;
constexpr double kMaxGeometryInflation = 10.0;
// Disparity offset refinement: pairs whose baseline lies within about 18 degrees of a's x axis, and
// an offset (and a slope's change at the image's edges) of at most this many pixels (more is a
// calibration to redo, not to refine).
constexpr double kSideBySide = 0.95;
constexpr double kMaxDisparityOffsetPx = 3.0;
// Standard deviations by which the offset (or the slope) must stand out, and keyframe stretches it
// must rest on, before it is applied.
constexpr double kOffsetSignificance = 5.0;
constexpr int kOffsetMinStretches = 2;
// An offset estimate needs at least this many points seen by both cameras through its stretch.
constexpr size_t kMinOffsetStretchPoints = 12;
// A patch is tracked at its magnification since the template (the camera came closer, or went
// away) once that moves the window's edge by more than this many pixels.
constexpr double kMagnifiedEdgePx = 0.4;
// A match's residual may reach this many times what the images' noise alone leaves it.
constexpr float kNoiseRmsFactor = 3.f;
// A pair's gain is taken from the median over at least this many matches of a frame set.
constexpr size_t kMinGainMatches = 12;
// A new map needs enough landmarks to survive its first frames.
constexpr int kMinStartLandmarks = 30;
// Rays that meet at a smaller angle give depth errors above a few percent at 0.5 px noise.
constexpr double kMinParallax = 2.0 * kDegree;
// Robust weights: residuals beyond this many pixels count linearly (Huber).
constexpr double kHuberPx = 1.0;
// Fewest consistent features whose pose is worth searching the map again from (when fewer than
// min_inliers), and most searches of one frame set: each search from a weak pose must find more of
// them than the last.
constexpr int kMinWeakInliers = 6;
constexpr int kMaxMapSearches = 8;
// Monocular start: at least this many corners followed from the start frame. A corner whose two
// rays meet at less than kMinStartParallax (after the rotation between the views is taken out)
// tells little of its depth: at 0.5 px noise and a focal length of 500 px its depth error would
// pass 8 %. A longer lens resolves a smaller angle: the start takes the angle that kStartParallaxPx
// spans where that is the smaller (0.72 deg on a car's 718 px lens).
constexpr int kMonoMinFeatures = 40;
constexpr double kMinStartParallax = 1.0 * kDegree;
constexpr double kStartParallaxPx = 9.0;
// On a monocular map a landmark costs frames of parallax to make: a feature lost to blur, a passing
// occluder or a template that no longer matches waits at its landmark's projection for up to this
// many frame sets, searched again in each, before it and its landmark are given up.
constexpr int kMaxMissedFrames = 10;
// The gyro is trusted across sample gaps up to this long.
constexpr int64_t kGyroMaxGapNs = 50'000'000;
// Growth of the reported uncertainty while no image constrains the pose: an unknown acceleration
// of the rig over a gap (m/s of velocity uncertainty) and, without a gyro, an unknown turn rate.
constexpr double kGapSpeedSigma = 1.0;    // m/s
constexpr double kGapRateSigma = 0.5;     // rad/s
constexpr double kGyroBiasSigma = 0.005;  // rad/s, residual gyro bias after the online estimate
constexpr double kGyroBiasStartSigma = 0.01;  // rad/s, gyro bias before any online estimate
// The gyro's attitude (the prior of the next frame) moves this fraction of the way to each visual
// attitude: at speed, landmarks are re-made from the pose every few frames and the visual heading
// wanders with them, while the gyro's, once its bias is known, holds over several keyframes; the
// pull keeps what remains of the bias from building up. While the bias estimate is young (fewer
// than 15 spans) the pull is stronger, all the way for the first ones.
constexpr double kGyroAttitudeGain = 0.2;
// The gyro bias is the mean gyro excess over the visual rotation of spans this long, over the last
// kGyroBiasSpans of them (about 9 s).
constexpr double kGyroBiasSpanSeconds = 0.3;
constexpr int kGyroBiasSpans = 30;
// Image residual (pixels) the gyro's attitude is weighed against.
constexpr double kNominalPixelSigma = 0.5;
// Across gaps and failures the last velocity is extrapolated this far at most.
constexpr double kMaxCoastSeconds = 1.0;
// Past that, an IMU that kept running carries the position (to find the map again, or to anchor a fresh
// one) up to this long after the last pose from the images: its error grows with the square of the span
// (0.1 m/s^2 of residual bias and tilt is 5 m after 10 s), the unknown speed's only linearly.
constexpr double kMaxOutageCarrySeconds = 10.0;
// A lost monocular map is searched for in this many more frame sets before a new start: a blurred
// moment of a hand-held camera passes within a few, and a new start throws away the map and its scale
// (and needs parallax again, which a blurred view may take dozens of frame sets to show).
constexpr int kMonoMapRetries = 3;
// Uncertainty of the first pose, which defines the world frame and is exact by construction;
// a small positive value keeps the matrix invertible for consumers.
constexpr double kOriginVariance = 1e-9;

bool lookup_depth(const GreyImage& depth, const Eigen::Vector2f& px, double min_depth, double max_depth, double* z) {
  const int x = static_cast<int>(std::lround(px.x())), y = static_cast<int>(std::lround(px.y()));
  if (x < 1 || y < 1 || x > depth.width - 2 || y > depth.height - 2) return false;
  const float centre = depth.at(x, y);
  if (!(centre > 0.f)) return false;
  // Depth edges (a foreground corner over background) give mixed values: all nine neighbours must
  // agree within 2 % plus 5 mm.
  const float tol = 0.02f * centre + 0.005f;
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) {
      const float v = depth.at(x + dx, y + dy);
      if (!(v > 0.f) || std::abs(v - centre) > tol) return false;
    }
  if (centre < min_depth || centre > max_depth) return false;
  *z = centre;
  return true;
}

}  // namespace

VisualTracker::VisualTracker(TrackerSetup setup) : setup_(std::move(setup)), pool_(setup_.config.threads) {
  responses_.resize(setup_.cameras.size());
  const auto& cfg = setup_.config;
  for (const auto& cam : setup_.cameras)
    pose_cameras_.push_back({cam.rig_from_camera.inverse(), cam.model.fx(), cam.model.fy()});
  features_.resize(setup_.cameras.size());
  stereo_.min_depth = cfg.min_depth_m;
  stereo_.max_depth = cfg.max_depth_m;
  stereo_.flow = flow_;
  stereo_gains_.assign(setup_.pairs.size(), 1.f);
  ransac_.threshold_px = cfg.ransac_threshold_px;
  ransac_.max_iterations = cfg.ransac_iterations;
  if (setup_.rig_from_imu) inertial_.emplace(*setup_.rig_from_imu);
}

void VisualTracker::add_gyro(int64_t t_ns, const Eigen::Vector3d& angular_velocity) {
  gyro_.add(t_ns, angular_velocity);
}

void VisualTracker::add_imu(int64_t t_ns, const Eigen::Vector3d& angular_velocity, const Eigen::Vector3d& acceleration) {
  add_gyro(t_ns, angular_velocity);
  if (inertial_) inertial_->add_sample(t_ns, angular_velocity, acceleration);
}

std::optional<Eigen::Matrix3d> VisualTracker::gyro_rotation(int64_t t0_ns, int64_t t1_ns) const {
  if (!setup_.rig_from_imu) return std::nullopt;
  const auto r_imu = gyro_.integrate(t0_ns, t1_ns, gyro_bias_, kGyroMaxGapNs);
  if (!r_imu) return std::nullopt;
  // rig(t0)_from_rig(t1) = R_ri imu(t0)_from_imu(t1) R_ri^T.
  const Eigen::Matrix3d& r_ri = setup_.rig_from_imu->R;
  return orthonormalize(r_ri * *r_imu * r_ri.transpose());
}

Rigid VisualTracker::predict(int64_t t_ns) const {
  // The last motion is carried at most kMaxCoastSeconds ahead: past that its guess is worse than none.
  const double dt = std::min(velk_slam::difference_seconds(t_ns, last_t_ns_), kMaxCoastSeconds);
  Rigid delta;  // rig(last)_from_rig(now)
  if (has_velocity_) {
    delta.R = exp_rotation_matrix(rate_ * dt);
    delta.t = velocity_ * dt;
  }
  if (const auto r = gyro_rotation(last_t_ns_, t_ns)) delta.R = *r;
  return last_pose_ * delta;
}

Rigid VisualTracker::carried(int64_t t_ns, Rigid predicted, double max_span_s) const {
  // With gravity known, the accelerometer carries the position from the last visual pose; the
  // rotation stays the gyro's.
  if (inertial_)
    if (const auto p = inertial_->predict(t_ns, gyro_bias_, max_span_s)) predicted.t = p->t;
  return predicted;
}

float VisualTracker::magnification(const Feature& f, const Eigen::Vector3d& center_w) const {
  // A monocular map's landmarks rest on little parallax: their distances would make a magnification
  // of noise (on a hand-held camera, larger than the true one).
  if (setup_.monocular || f.landmark < 0 || !f.tmpl_center_w) return 1.f;
  const Eigen::Vector3d& point = landmarks_[static_cast<size_t>(f.landmark)];
  const double ratio = (point - *f.tmpl_center_w).norm() / (point - center_w).norm();
  // Below this the window's edge moves by less than kMagnifiedEdgePx, which the flow absorbs.
  const double least = kMagnifiedEdgePx / std::max(1, setup_.config.flow_window / 2);
  if (!(std::abs(ratio - 1.0) > least)) return 1.f;
  return static_cast<float>(std::clamp(ratio, double(kMinMagnification), double(kMaxMagnification)));
}

FlowParams VisualTracker::for_noise(const FlowParams& base, const FrameData& frame, size_t c) {
  // A noisy image (dim light, a camera's gain turned up) leaves even a good match a residual of about
  // root 2 times its noise (template and window each carry it): past the fixed bound, the bound is
  // kNoiseRmsFactor times that.
  FlowParams params = base;
  if (c < frame.noise.size())
    params.max_rms = std::max(params.max_rms, kNoiseRmsFactor * std::sqrt(2.f) * frame.noise[c]);
  return params;
}

void VisualTracker::track_features(const FrameData& frame, const Rigid& predicted, const FlowParams& flow) {
  struct CameraView {
    Rigid camera_from_world;
    Eigen::Matrix3d rot_now_from_last;  // last frame's camera to the predicted one, for features without depth
    Eigen::Vector3d center_w;           // predicted camera centre
  };
  const Rigid rig_from_world = predicted.inverse();
  const Rigid last_rig_from_world = last_pose_.inverse();
  std::vector<CameraView> views(features_.size());
  for (size_t c = 0; c < features_.size(); ++c) {
    const Rigid& camera_from_rig = pose_cameras_[c].camera_from_rig;
    views[c].camera_from_world = camera_from_rig * rig_from_world;
    views[c].rot_now_from_last = views[c].camera_from_world.R * (camera_from_rig * last_rig_from_world).R.transpose();
    views[c].center_w = (predicted * setup_.cameras[c].rig_from_camera).t;
  }
  // Features are tracked independently, in blocks of kFlowBlock spread over the pool.
  std::vector<FlowParams> params(features_.size());
  for (size_t c = 0; c < features_.size(); ++c) params[c] = for_noise(flow, frame, c);
  const auto track_one = [&](size_t c, Feature& f) {
    const CameraModel& model = setup_.cameras[c].model;
    Eigen::Vector2d guess = f.last_px.cast<double>();
    Eigen::Vector2d px;
    if (f.landmark >= 0) {
      if (model.project(views[c].camera_from_world * landmarks_[static_cast<size_t>(f.landmark)], &px)) guess = px;
    } else {
      Eigen::Vector2d xn;
      if (model.unproject(guess, &xn) && model.project(views[c].rot_now_from_last * Eigen::Vector3d(xn.x(), xn.y(), 1.0), &px))
        guess = px;
    }
    // A guess far off the image (a landmark almost in the camera plane) is not tracked; the
    // bound also keeps the narrowing to float defined.
    f.tracked = guess.allFinite() && guess.cwiseAbs().maxCoeff() < 1e6 &&
                track_flow(f.tmpl, frame.pyramids[c], guess.cast<float>(), params[c], &f.cur_px, nullptr,
                           magnification(f, views[c].center_w));
    f.outlier = false;
  };
  for_each_feature_block([&](size_t c, size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) track_one(c, features_[c][i]);
  });
}

void VisualTracker::for_each_feature_block(const std::function<void(size_t, size_t, size_t)>& work, size_t extra,
                                           const std::function<void(size_t)>& extra_work) {
  blocks_.clear();
  for (size_t c = 0; c < features_.size(); ++c)
    for (size_t b = 0; b < features_[c].size(); b += kFeatureBlock)
      blocks_.push_back({c, b, std::min(features_[c].size(), b + kFeatureBlock)});
  // The extra tasks are the larger ones: handed out first, the blocks fill in around them.
  pool_.parallel_for(extra + blocks_.size(), [&](size_t k) {
    if (k < extra) return extra_work(k);
    const FeatureBlock& block = blocks_[k - extra];
    work(block.camera, block.begin, block.end);
  });
}

int VisualTracker::estimate_pose(const Rigid& predicted, Rigid* pose, Matrix6d* covariance,
                                 const RotationPrior* prior, std::optional<Rigid>* weak) {
  if (weak) weak->reset();
  obs_.clear();
  obs_owner_.clear();
  for (size_t c = 0; c < features_.size(); ++c) {
    for (size_t i = 0; i < features_[c].size(); ++i) {
      const Feature& f = features_[c][i];
      if (!f.tracked || f.landmark < 0) continue;
      Eigen::Vector2d xn;
      if (!setup_.cameras[c].model.unproject(f.cur_px.cast<double>(), &xn)) continue;
      obs_.push_back({landmarks_[static_cast<size_t>(f.landmark)], xn, static_cast<int>(c)});
      obs_owner_.emplace_back(static_cast<int>(c), static_cast<int>(i));
    }
  }
  const int min_inliers = setup_.config.min_inliers;
  if (static_cast<int>(obs_.size()) < std::max(min_inliers, 4)) return 0;
  Rigid estimate;
  int count = ransac_pose(obs_, pose_cameras_, &predicted, ransac_, rng_, &estimate, &mask_, &pool_);
  if (weak && count < min_inliers && count >= std::max(kMinWeakInliers, min_inliers / 2) &&
      refine_pose(obs_, pose_cameras_, mask_, kHuberPx, 10, &estimate, nullptr, 0.05, prior))
    *weak = estimate;
  if (count < min_inliers) return count;
  if (!refine_pose(obs_, pose_cameras_, mask_, kHuberPx, 10, &estimate, nullptr, 0.05, prior)) return 0;
  // Inliers again at the refined pose, then the final fit with its covariance; features whose
  // observation falls outside are dropped.
  const Rigid rig_from_world = estimate.inverse();
  const double th2 = ransac_.threshold_px * ransac_.threshold_px;
  count = 0;
  for (size_t i = 0; i < obs_.size(); ++i) {
    mask_[i] = reprojection_error2(obs_[i], pose_cameras_, rig_from_world) < th2;
    count += mask_[i];
    const auto [c, k] = obs_owner_[i];
    features_[static_cast<size_t>(c)][static_cast<size_t>(k)].outlier = !mask_[i];
  }
  if (count < min_inliers) return count;
  if (!refine_pose(obs_, pose_cameras_, mask_, kHuberPx, 5, &estimate, covariance, 0.05, prior)) return 0;
  const double confident = kConfidentInlierFactor * static_cast<double>(min_inliers);
  if (count < confident) *covariance *= (confident / count) * (confident / count);
  inflate_for_poor_geometry(estimate, count, covariance);
  *pose = estimate;
  return count;
}

void VisualTracker::inflate_for_poor_geometry(const Rigid& world_from_rig, int inliers, Matrix6d* covariance) const {
  // The inliers' spread in the rig frame: few of them on one plane (what remains in view of a bare
  // wall, or all at one depth) trade sideways translation against rotation; bunched in a small part
  // of the image, they leave every translation loose. The Gauss-Newton covariance sees this only at
  // the image noise it assumes, blind to the errors of the landmarks themselves, so the translation
  // block grows along the poorly constrained directions. Hundreds of inliers on one textured wall
  // hold the pose: the plane's weight fades as the inliers approach kSparseInlierFactor times
  // min_inliers.
  const Rigid rig_from_world = world_from_rig.inverse();
  Eigen::Vector3d mean = Eigen::Vector3d::Zero();
  Eigen::Matrix3d scatter = Eigen::Matrix3d::Zero();
  Eigen::Vector2d mean_xn = Eigen::Vector2d::Zero(), mean_xn2 = Eigen::Vector2d::Zero();
  double range = 0.0;
  int n = 0;
  for (size_t i = 0; i < obs_.size(); ++i) {
    if (!mask_[i]) continue;
    const Eigen::Vector3d p = rig_from_world * obs_[i].point_world;
    mean += p;
    scatter += p * p.transpose();
    range += p.norm();
    mean_xn += obs_[i].normalized;
    mean_xn2 += obs_[i].normalized.cwiseProduct(obs_[i].normalized);
    ++n;
  }
  if (n < 3) return;
  mean /= n;
  range /= n;
  scatter = scatter / n - mean * mean.transpose();
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eig(scatter);
  if (eig.info() != Eigen::Success || !(range > 0.0)) return;
  const double thickness = std::sqrt(std::max(0.0, eig.eigenvalues()(0))) / range;
  const Eigen::Vector3d normal = eig.eigenvectors().col(0);
  mean_xn /= n;
  const Eigen::Vector2d var_xn = mean_xn2 / n - mean_xn.cwiseProduct(mean_xn);
  const double spread = std::sqrt(std::max(0.0, var_xn.sum()));
  // Scale factors on the standard deviation, capped: a poor view is reported as such, not as lost.
  const double sparse =
      std::max(0.0, 1.0 - inliers / (kSparseInlierFactor * static_cast<double>(setup_.config.min_inliers)));
  const double flat =
      1.0 + sparse * (std::clamp(kFlatThickness / std::max(thickness, 1e-6), 1.0, kMaxGeometryInflation) - 1.0);
  const double narrow = std::clamp(kNarrowSpread / std::max(spread, 1e-6), 1.0, kMaxGeometryInflation);
  if (flat == 1.0 && narrow == 1.0) return;
  const Eigen::Matrix3d in_plane = Eigen::Matrix3d::Identity() - normal * normal.transpose();
  Matrix6d m = Matrix6d::Identity();
  m.topLeftCorner<3, 3>() = narrow * (Eigen::Matrix3d::Identity() + (flat - 1.0) * in_plane);
  *covariance = m * *covariance * m.transpose();
  *covariance = 0.5 * (*covariance + covariance->transpose()).eval();
}

std::optional<RotationPrior> VisualTracker::gyro_prior(int64_t t_ns) const {
  if (state_ != State::kTracking) return std::nullopt;
  const auto r = gyro_rotation(last_t_ns_, t_ns);
  if (!r) return std::nullopt;
  // The gyro's angle over the interval: its white noise and what remains of its bias, against a
  // nominal image residual; the visual solution keeps the last word where the two disagree widely
  // (the Huber-weighted pixels outnumber it).
  const double dt = velk_slam::difference_seconds(t_ns, last_t_ns_);
  // The bias is unknown at first (up to kGyroBiasStartSigma) and settles as the online estimate
  // averages more samples.
  const double bias_sigma =
      std::max(kGyroBiasSigma, kGyroBiasStartSigma / std::sqrt(1.0 + static_cast<double>(gyro_bias_updates_)));
  const double sigma = std::hypot(setup_.gyro_noise_density * std::sqrt(dt), bias_sigma * dt);
  if (!(sigma > 0.0)) return std::nullopt;
  const Eigen::Matrix3d& base = has_gyro_attitude_ ? gyro_attitude_ : last_pose_.R;
  return RotationPrior{base * *r, (kNominalPixelSigma * kNominalPixelSigma) / (sigma * sigma)};
}

bool VisualTracker::track_map(const FrameData& frame, const Rigid& predicted, Rigid* pose, Matrix6d* covariance) {
  track_features(frame, predicted, flow_);
  const auto prior = gyro_prior(frame.t_ns);
  return estimate_pose(predicted, pose, covariance, prior ? &*prior : nullptr) >= setup_.config.min_inliers;
}

bool VisualTracker::relocalise(const FrameData& frame, const Rigid& predicted, Rigid* pose, Matrix6d* covariance) {
  if (last_pyramids_.size() != features_.size()) return false;
  // After a gap or a failed frame the keyframe's templates may look too different (the rig has
  // moved closer, turned): the map's landmarks are searched again with templates cut from the last
  // frame that was tracked, over more iterations; the old templates come back if that fails too.
  std::vector<std::vector<FlowTemplate>> saved(features_.size());
  std::vector<std::vector<std::optional<Eigen::Vector3d>>> saved_centers(features_.size());
  for (size_t c = 0; c < features_.size(); ++c)
    for (Feature& f : features_[c]) {
      saved[c].push_back(f.tmpl);
      saved_centers[c].push_back(f.tmpl_center_w);
      // A waiting feature's last position is a projection, not a sighting: it keeps its template.
      if (f.landmark >= 0 && f.missed == 0) {
        make_flow_template(last_pyramids_[c], f.last_px, setup_.config.flow_window, &f.tmpl);
        f.tmpl_center_w = (last_pose_ * setup_.cameras[c].rig_from_camera).t;
      }
    }
  FlowParams wide = flow_;
  wide.max_iterations = 2 * flow_.max_iterations;
  // Too few consistent features for a pose still tell roughly where the rig went (a prediction
  // that missed by more than the features' search reaches: the first frame sets on a fast car, a
  // change of course across a gap): the map is searched again from there, and again from each
  // better pose while the searches find more (a car at 3 m a frame set in a turn, whose patches
  // also grow by half, gains a few features a search: 5, 10, 13, 14, 20). A turn the prediction
  // did not know of shows in the shift of the whole image.
  const auto search_from = [&](const Rigid& start, const FlowParams& params) {
    Rigid guess = start;
    bool turn_tried = false;
    int weak_inliers = 0;
    for (int search = 0; search < kMaxMapSearches; ++search) {
      track_features(frame, guess, params);
      std::optional<Rigid> weak;
      const int inliers = estimate_pose(guess, pose, covariance, nullptr, &weak);
      if (inliers >= setup_.config.min_inliers) return true;
      if (weak && inliers > weak_inliers) {
        weak_inliers = inliers;
        guess = *weak;
      } else if (!turn_tried && turn_from_image_shift(frame, predicted, &guess)) {
        turn_tried = true;
      } else {
        return false;
      }
    }
    return false;
  };
  // Last, the patches are compared with their contrast matched to the templates' (a hand-held camera
  // moved fast, an exposure step): on the TUM excerpt at every third frame, the one frame set RGB-D
  // lost is found again. With depth in the map, a match is then judged against its template's own
  // contrast alone: a bound in grey levels rejects first the most textured patches, whose look
  // changes by the most grey levels (KITTI at every third frame: 16 -> 17 of 17 frame sets over 4
  // draws). A monocular map's pose from few features is too loose to take that many more.
  FlowParams reshaped = wide;
  reshaped.match_contrast = true;
  if (!setup_.monocular) reshaped.max_rms = std::numeric_limits<float>::infinity();
  const bool found = search_from(predicted, wide) || search_from(predicted, reshaped);
  if (found) {
    for (auto& fs : features_)
      for (Feature& f : fs)
        if (f.missed == 0) f.anchor_px = f.last_px;
    return true;
  }
  for (size_t c = 0; c < features_.size(); ++c)
    for (size_t i = 0; i < features_[c].size(); ++i) {
      features_[c][i].tmpl = std::move(saved[c][i]);
      features_[c][i].tmpl_center_w = saved_centers[c][i];
    }
  return false;
}

bool VisualTracker::turn_from_image_shift(const FrameData& frame, const Rigid& predicted, Rigid* turned) const {
  // A gyro measures the turn better than the images' shift does.
  constexpr size_t c = 0;
  if (last_pyramids_.empty() || frame.pyramids.empty() || gyro_rotation(last_t_ns_, frame.t_ns)) return false;
  Eigen::Vector2f shift;
  if (!global_image_shift(last_pyramids_[c], frame.pyramids[c], &shift)) return false;
  const PoseCamera& cam = pose_cameras_[c];
  const Eigen::Matrix3d& camera_from_rig = cam.camera_from_rig.R;
  // The predicted rotation of camera c from the last frame set to this one, and the image shift it
  // implies at the principal point.
  const Eigen::Matrix3d predicted_turn =
      camera_from_rig * (predicted.R.transpose() * last_pose_.R) * camera_from_rig.transpose();
  const Eigen::Vector3d centre = predicted_turn.col(2);
  if (!(centre.z() > 0.0)) return false;
  const Eigen::Vector2d predicted_shift(cam.fx * centre.x() / centre.z(), cam.fy * centre.y() / centre.z());
  // Within a pixel of the coarsest level, the prediction already says what the image does.
  const double coarse_px = std::ldexp(1.0, std::min(last_pyramids_[c].size(), frame.pyramids[c].size()) - 1);
  if ((shift.cast<double>() - predicted_shift).norm() < coarse_px) return false;
  // The camera rotation that moves the principal point's ray by `shift`.
  const double yaw = std::atan(static_cast<double>(shift.x()) / cam.fx);
  const double pitch = -std::atan(static_cast<double>(shift.y()) / cam.fy);
  const Eigen::Matrix3d turn = exp_rotation_matrix(Eigen::Vector3d(pitch, 0.0, 0.0)) *
                               exp_rotation_matrix(Eigen::Vector3d(0.0, yaw, 0.0));  // camera now from last
  // world_from_rig(now) = world_from_rig(last) * rig(last)_from_rig(now).
  *turned = predicted;
  turned->R = last_pose_.R * (camera_from_rig.transpose() * turn * camera_from_rig).transpose();
  return true;
}

void VisualTracker::update_gyro_bias(const Rigid& from, const Rigid& to, int64_t t0_ns, int64_t t1_ns) {
  if (!setup_.rig_from_imu || t1_ns <= t0_ns) return;
  const double dt = velk_slam::difference_seconds(t1_ns, t0_ns);
  if (dt > 1.0) return;
  const auto raw = gyro_.integrate(t0_ns, t1_ns, Eigen::Vector3d::Zero(), kGyroMaxGapNs);
  if (!raw) return;
  // The visual rotation over the same interval, in the IMU frame; what the raw gyro adds on top
  // of it is the bias, which a running average over the last kGyroBiasSpans samples follows.
  const Eigen::Matrix3d& r_ri = setup_.rig_from_imu->R;
  const Eigen::Matrix3d visual_imu = r_ri.transpose() * (from.R.transpose() * to.R) * r_ri;
  const Eigen::Vector3d bias_sample = log_rotation_matrix(visual_imu.transpose() * *raw) / dt;
  if (!bias_sample.allFinite() || bias_sample.norm() > 0.2) return;
  gyro_bias_updates_ = std::min(gyro_bias_updates_ + 1, kGyroBiasSpans);
  gyro_bias_ += (bias_sample - gyro_bias_) / static_cast<double>(gyro_bias_updates_);
}

void VisualTracker::update_motion(const Rigid& pose, int64_t t_ns) {
  if (!has_last_ || t_ns <= last_t_ns_) return;
  const double dt = velk_slam::difference_seconds(t_ns, last_t_ns_);
  const Rigid delta = last_pose_.inverse() * pose;
  velocity_ = delta.t / dt;
  rate_ = log_rotation_matrix(delta.R) / dt;
  has_velocity_ = velocity_.allFinite() && rate_.allFinite();
}

int VisualTracker::landmark_feature_count() const {
  int n = 0;
  for (const auto& fs : features_)
    for (const Feature& f : fs) n += f.landmark >= 0 && f.missed == 0;
  return n;
}

void VisualTracker::drop_lost_features(const Rigid& pose) {
  for (size_t c = 0; c < features_.size(); ++c) {
    const CameraModel& model = setup_.cameras[c].model;
    const Rigid camera_from_world = (pose * setup_.cameras[c].rig_from_camera).inverse();
    auto& fs = features_[c];
    size_t kept = 0;
    for (size_t i = 0; i < fs.size(); ++i) {
      Feature& f = fs[i];
      bool keep = f.tracked && !f.outlier;
      if (keep) {
        f.missed = 0;
        f.last_px = f.cur_px;
      } else if (setup_.monocular && !f.outlier && f.landmark >= 0 && ++f.missed <= kMaxMissedFrames) {
        Eigen::Vector2d px;
        keep = model.project(camera_from_world * landmarks_[static_cast<size_t>(f.landmark)], &px) &&
               model.in_image(px, corner_border());
        if (keep) f.last_px = px.cast<float>();
      }
      if (!keep) continue;
      if (kept != i) fs[kept] = std::move(f);
      ++kept;
    }
    fs.erase(fs.begin() + static_cast<std::ptrdiff_t>(kept), fs.end());
  }
}

void VisualTracker::commit(const FrameData& frame, const Rigid& pose, int inliers) {
  // Gyro bias from the visual rotation over spans of kGyroBiasSpanSeconds of good tracking: over a
  // span the image noise weighs ten times less than over one frame interval.
  if (state_ == State::kTracking && inliers >= 3 * setup_.config.min_inliers) {
    if (!has_bias_ref_) {
      bias_ref_ = pose;
      bias_ref_t_ns_ = frame.t_ns;
      has_bias_ref_ = true;
    } else if (velk_slam::difference_seconds(frame.t_ns, bias_ref_t_ns_) >= kGyroBiasSpanSeconds) {
      update_gyro_bias(bias_ref_, pose, bias_ref_t_ns_, frame.t_ns);
      bias_ref_ = pose;
      bias_ref_t_ns_ = frame.t_ns;
    }
  } else {
    has_bias_ref_ = false;
  }
  update_motion(pose, frame.t_ns);
  // The gyro's attitude goes on from where it was, pulled part of the way to the visual one.
  const auto turn = gyro_rotation(last_t_ns_, frame.t_ns);
  if (turn && has_gyro_attitude_ && state_ == State::kTracking) {
    const Eigen::Matrix3d propagated = gyro_attitude_ * *turn;
    const double gain = std::clamp(3.0 / (1.0 + gyro_bias_updates_), kGyroAttitudeGain, 1.0);
    gyro_attitude_ = orthonormalize(propagated * exp_rotation_matrix(gain * log_rotation_matrix(propagated.transpose() * pose.R)));
  } else {
    gyro_attitude_ = pose.R;
  }
  has_gyro_attitude_ = true;
  drop_lost_features(pose);
  triangulate_over_time(pose);
  keep_pyramids_ = true;
  last_pose_ = pose;
  last_t_ns_ = frame.t_ns;
  last_visual_t_ns_ = frame.t_ns;
  has_last_ = true;

  int detecting_features = 0, detecting_cameras = 0;
  for (size_t c = 0; c < features_.size(); ++c) {
    if (!detects_corners(c)) continue;
    ++detecting_cameras;
    for (const Feature& f : features_[c]) detecting_features += f.missed == 0;
  }
  const int landmarks = landmark_feature_count();
  const bool keyframe = landmarks < kKeyframeLandmarkRatio * keyframe_inliers_ ||
                        detecting_features < kKeyframeFeatureRatio * setup_.config.max_features * detecting_cameras;
  if (keyframe) make_keyframe(frame, pose);
  // After the keyframe, so that a stretch beginning here holds the points it matched in stereo.
  if (!setup_.pairs.empty()) update_disparity_offsets(pose);
}

void VisualTracker::update_disparity_offsets(const Rigid& pose) {
  disparity_offsets_.resize(setup_.pairs.size());
  std::vector<int> in_b;
  std::vector<StereoTrack> tracks;
  bool stretch_over = !in_offset_stretch_;
  for (size_t p = 0; p < setup_.pairs.size(); ++p) {
    const StereoPair& pair = setup_.pairs[p];
    const size_t a = static_cast<size_t>(pair.a), b = static_cast<size_t>(pair.b);
    const Rigid a_from_b = pair.b_from_a.inverse();
    // Only pairs side by side along a's x axis (the usual stereo rig) have one disparity direction.
    if (!(std::abs(a_from_b.t.x()) > kSideBySide * a_from_b.t.norm())) continue;
    const CameraModel &ma = setup_.cameras[a].model, &mb = setup_.cameras[b].model;
    DisparityOffset& d = disparity_offsets_[p];
    if (!in_offset_stretch_) continue;
    // Points whose features in a and b both hold their sightings at the stretch's start. Pixels are
    // read with b's calibration as it is now, so the estimate adds to the offset applied now.
    index_by_landmark(b, true, &in_b);
    tracks.clear();
    for (const Feature& fa : features_[a]) {
      if (fa.landmark < 0 || !fa.in_offset_stretch || in_b[static_cast<size_t>(fa.landmark)] < 0) continue;
      const Feature& fb = features_[b][static_cast<size_t>(in_b[static_cast<size_t>(fa.landmark)])];
      StereoTrack k;
      if (ma.unproject(fa.offset_stretch_px.cast<double>(), &k.a0) &&
          mb.unproject(fb.offset_stretch_px.cast<double>(), &k.b0) && ma.unproject(fa.last_px.cast<double>(), &k.a1) &&
          mb.unproject(fb.last_px.cast<double>(), &k.b1))
        tracks.push_back(k);
    }
    // The stretch ends once half of its points are gone (the ones left span the most motion they
    // will), or when too few are left to estimate from (a stretch that began after a loss, with no
    // points, would otherwise last for ever).
    if (2 * tracks.size() < d.stretch_points || tracks.size() < kMinOffsetStretchPoints) stretch_over = true;
    const Rigid& camera_from_rig = pose_cameras_[a].camera_from_rig;
    const Eigen::Matrix3d now_from_start =
        (camera_from_rig * pose.inverse() * offset_stretch_pose_ * camera_from_rig.inverse()).R;
    Eigen::Vector2d offset;
    Eigen::Matrix2d information;
    // The latest estimate spans the most motion; it stands for the stretch.
    if (estimate_disparity_offset(tracks, now_from_start, a_from_b, kNominalPixelSigma / ma.fx(), &offset,
                                  &information) &&
        std::abs(d.applied(0) + offset(0)) <= kMaxDisparityOffsetPx / ma.fx() &&
        std::abs(d.applied(1) + offset(1)) <= kMaxDisparityOffsetPx / (0.5 * mb.width())) {
      d.stretch_offset = offset;
      d.stretch_information = information;
    }
  }
  if (!stretch_over) return;
  fold_offset_stretches(pose);
  begin_offset_stretch(pose);
}

void VisualTracker::index_by_landmark(size_t camera, bool stretch_only, std::vector<int>* index) const {
  index->assign(landmarks_.size(), -1);
  const std::vector<Feature>& fs = features_[camera];
  for (size_t i = 0; i < fs.size(); ++i)
    if (fs[i].landmark >= 0 && (!stretch_only || fs[i].in_offset_stretch))
      (*index)[static_cast<size_t>(fs[i].landmark)] = static_cast<int>(i);
}

void VisualTracker::fold_offset_stretches(const Rigid& pose) {
  for (size_t p = 0; p < disparity_offsets_.size(); ++p) {
    DisparityOffset& d = disparity_offsets_[p];
    if (!(d.stretch_information.trace() > 0.0)) continue;
    // A weighted mean over the stretches (offset and slope are properties of the rig), each applied
    // once it stands out of its own uncertainty: a correction within the noise would only add noise.
    // Camera b's focal length and principal point move with them, so its pixels are read with the
    // refined calibration.
    CameraModel& mb = setup_.cameras[static_cast<size_t>(setup_.pairs[p].b)].model;
    const Eigen::Vector2d measured = d.applied + d.stretch_offset;
    const Eigen::Matrix2d total = d.information + d.stretch_information;
    d.mean = total.ldlt().solve(d.information * d.mean + d.stretch_information * measured);
    d.information = total;
    d.stretch_information.setZero();
    ++d.stretches;
    const Eigen::Matrix2d covariance = d.information.inverse();
    Eigen::Vector2d next = Eigen::Vector2d::Zero();
    for (int i = 0; i < 2; ++i)
      if (d.stretches >= kOffsetMinStretches && std::abs(d.mean(i)) > kOffsetSignificance * std::sqrt(covariance(i, i)))
        next(i) = d.mean(i);
    if (!next.allFinite() || next == d.applied) continue;
    // b's x grows by the slope's change (its focal length shrinks by it), then moves by the offset's.
    const Eigen::Vector2d change = next - d.applied;
    mb.scale_focal_length_x(1.0 / (1.0 + change(1)));
    mb.shift_principal_point(-change(0) * mb.fx(), 0.0);
    d.applied = next;
    retriangulate_pair(p, pose);
  }
}

void VisualTracker::retriangulate_pair(size_t p, const Rigid& pose) {
  // The points both cameras see now take the corrected calibration; the map would otherwise carry
  // the old depths until their features leave the view.
  const StereoPair& pair = setup_.pairs[p];
  const size_t a = static_cast<size_t>(pair.a), b = static_cast<size_t>(pair.b);
  const CameraModel &ma = setup_.cameras[a].model, &mb = setup_.cameras[b].model;
  const Rigid world_from_camera = pose * setup_.cameras[a].rig_from_camera;
  std::vector<int> in_b;
  index_by_landmark(b, false, &in_b);
  for (const Feature& fa : features_[a]) {
    if (fa.landmark < 0 || in_b[static_cast<size_t>(fa.landmark)] < 0) continue;
    const Feature& fb = features_[b][static_cast<size_t>(in_b[static_cast<size_t>(fa.landmark)])];
    Eigen::Vector2d xa;
    Eigen::Vector3d point;
    if (ma.unproject(fa.last_px.cast<double>(), &xa) &&
        triangulate_match(pair, ma, mb, fa.last_px.cast<double>(), Eigen::Vector3d(xa.x(), xa.y(), 1.0),
                          fb.last_px.cast<double>(), stereo_, &point))
      landmarks_[static_cast<size_t>(fa.landmark)] = world_from_camera * point;
  }
}

void VisualTracker::begin_offset_stretch(const Rigid& pose) {
  // A new stretch begins here, with every point both cameras of a pair see now.
  offset_stretch_pose_ = pose;
  in_offset_stretch_ = true;
  for (auto& fs : features_)
    for (Feature& f : fs) {
      f.in_offset_stretch = f.landmark >= 0;
      f.offset_stretch_px = f.last_px;
    }
  std::vector<int> in_b;
  for (size_t p = 0; p < setup_.pairs.size(); ++p) {
    const StereoPair& pair = setup_.pairs[p];
    index_by_landmark(static_cast<size_t>(pair.b), false, &in_b);
    size_t shared = 0;
    for (const Feature& f : features_[static_cast<size_t>(pair.a)])
      if (f.landmark >= 0 && in_b[static_cast<size_t>(f.landmark)] >= 0) ++shared;
    disparity_offsets_[p].stretch_points = shared;
  }
}

void VisualTracker::triangulate_over_time(const Rigid& pose) {
  // Without depth from the images the map lives on these alone: a monocular tracker takes the
  // start's parallax bound, or a car's forward view (far points, features that leave within a few
  // frames) would run out of landmarks.
  const double cos_min = std::cos(setup_.monocular ? kMinStartParallax : kMinParallax);
  const double th = ransac_.threshold_px;
  for (size_t c = 0; c < features_.size(); ++c) {
    const CameraSetup& cam = setup_.cameras[c];
    const Rigid world_from_camera = pose * cam.rig_from_camera;
    const Rigid camera_from_world = world_from_camera.inverse();
    for (Feature& f : features_[c]) {
      if (f.landmark >= 0) continue;
      Eigen::Vector2d xn;
      if (!cam.model.unproject(f.last_px.cast<double>(), &xn)) continue;
      const Eigen::Vector3d bearing = (world_from_camera.R * Eigen::Vector3d(xn.x(), xn.y(), 1.0)).normalized();
      if (bearing.dot(f.first_bearing_w) > cos_min) continue;
      Eigen::Vector3d p;
      if (!triangulate_midpoint(f.first_center_w, f.first_bearing_w, world_from_camera.t, bearing, &p)) continue;
      const Eigen::Vector3d pc = camera_from_world * p;
      if (!setup_.monocular && (pc.z() < setup_.config.min_depth_m || pc.z() > setup_.config.max_depth_m)) continue;
      Eigen::Vector2d px;
      if (!cam.model.project(pc, &px) || (px - f.last_px.cast<double>()).norm() > th) continue;
      // The first ray must pass within the same pixel tolerance, as an angle.
      const Eigen::Vector3d from_first = (p - f.first_center_w).normalized();
      if (from_first.cross(f.first_bearing_w).norm() > th / cam.model.fx()) continue;
      f.landmark = static_cast<int>(landmarks_.size());
      landmarks_.push_back(p);
    }
  }
}

VisualTracker::Feature VisualTracker::new_feature(int camera, const Eigen::Vector2f& px, const Rigid& pose,
                                                  const FrameData& frame, bool* ok) const {
  Feature f;
  f.anchor_px = f.last_px = f.cur_px = px;
  const CameraSetup& cam = setup_.cameras[static_cast<size_t>(camera)];
  Eigen::Vector2d xn;
  *ok = cam.model.unproject(px.cast<double>(), &xn) &&
        make_flow_template(frame.pyramids[static_cast<size_t>(camera)], px, setup_.config.flow_window, &f.tmpl);
  if (*ok) {
    const Rigid world_from_camera = pose * cam.rig_from_camera;
    f.first_center_w = world_from_camera.t;
    f.tmpl_center_w = world_from_camera.t;
    f.first_bearing_w = (world_from_camera.R * Eigen::Vector3d(xn.x(), xn.y(), 1.0)).normalized();
  }
  return f;
}

bool VisualTracker::detects_corners(size_t c) const {
  return setup_.cameras[c].detects && !(setup_.monocular && c != 0);
}

void VisualTracker::add_new_features(const FrameData& frame, const Rigid& pose, bool responses_ready) {
  const auto& cfg = setup_.config;
  for (size_t c = 0; c < features_.size(); ++c) {
    const CameraSetup& cam = setup_.cameras[c];
    if (!detects_corners(c)) continue;
    const int room = cfg.max_features - static_cast<int>(features_[c].size());
    if (room <= 0) continue;
    std::vector<Eigen::Vector2f> existing, corners;
    existing.reserve(features_[c].size());
    for (const Feature& f : features_[c]) existing.push_back(f.last_px);
    CornerParams params;
    const double area = static_cast<double>(cam.model.width()) * cam.model.height();
    params.cell = std::max(8, static_cast<int>(std::sqrt(area / std::max(1, cfg.max_features))));
    params.border = corner_border();
    params.min_distance = 0.5f * static_cast<float>(params.cell);
    if (!responses_ready) corner_response(frame.pyramids[c].levels[0], params.border, &responses_[c]);
    detect_corners(responses_[c], existing, params, room, &corners);
    // Where the image is weakly textured (bare walls) the cells left empty take weaker corners,
    // still above what the tracker needs to lock on, so the features stay spread over the view.
    if (static_cast<int>(corners.size()) < room) {
      existing.insert(existing.end(), corners.begin(), corners.end());
      CornerParams weak = params;
      weak.min_response = params.min_response / kWeakCornerDivisor;
      detect_corners(responses_[c], existing, weak, room - static_cast<int>(corners.size()), &corners);
    }
    std::vector<Feature> added(corners.size());
    std::vector<uint8_t> ok(corners.size(), 0);
    pool_.parallel_for((corners.size() + kFeatureBlock - 1) / kFeatureBlock, [&](size_t block) {
      for (size_t i = block * kFeatureBlock; i < std::min(corners.size(), (block + 1) * kFeatureBlock); ++i) {
        bool made = false;
        added[i] = new_feature(static_cast<int>(c), corners[i], pose, frame, &made);
        ok[i] = made;
      }
    });
    for (size_t i = 0; i < corners.size(); ++i)
      if (ok[i]) features_[c].push_back(std::move(added[i]));
  }
}

void VisualTracker::give_depth(const FrameData& frame, const Rigid& pose) {
  const auto& cfg = setup_.config;
  for (size_t c = 0; c < features_.size(); ++c) {
    const CameraSetup& cam = setup_.cameras[c];
    if (!cam.detects) continue;
    const Rigid world_from_camera = pose * cam.rig_from_camera;
    const bool depth = cam.depth && frame.has_depth[c];
    if (!depth) {
      if (cam.stereo_pair >= 0) match_pair(frame, pose, c, static_cast<size_t>(cam.stereo_pair));
      continue;
    }
    for (Feature& f : features_[c]) {
      if (f.landmark >= 0) continue;
      double z;
      Eigen::Vector2d xn;
      if (!lookup_depth(frame.depth[c], f.last_px, cfg.min_depth_m, cfg.max_depth_m, &z) ||
          !cam.model.unproject(f.last_px.cast<double>(), &xn))
        continue;
      f.landmark = static_cast<int>(landmarks_.size());
      landmarks_.push_back(world_from_camera * Eigen::Vector3d(z * xn.x(), z * xn.y(), z));
    }
  }
}

void VisualTracker::match_pair(const FrameData& frame, const Rigid& pose, size_t c, size_t p) {
  const StereoPair& pair = setup_.pairs[p];
  // Each feature is searched along its epipolar line independently, on the pool; the landmarks
  // and the partner features are then added in feature order.
  const CameraSetup& cam = setup_.cameras[c];
  const size_t b = static_cast<size_t>(pair.b);
  const size_t count = features_[c].size();
  struct Found {
    bool matched = false, partner_ok = false;
    StereoMatch match;
    Feature partner;
  };
  std::vector<Found> found(count);
  // At the pair's gain as the last frame set's matches measured it: real rigs' cameras differ.
  StereoParams params = stereo_;
  params.flow.gain = stereo_gains_[p];
  pool_.parallel_for((count + kFeatureBlock - 1) / kFeatureBlock, [&](size_t block) {
    for (size_t i = block * kFeatureBlock; i < std::min(count, (block + 1) * kFeatureBlock); ++i) {
      const Feature& f = features_[c][i];
      if (f.landmark >= 0) continue;
      Found& r = found[i];
      r.matched = match_stereo(pair, cam.model, setup_.cameras[b].model, frame.pyramids[c].levels[0],
                               frame.pyramids[b], f.tmpl, f.last_px.cast<double>(), params, &r.match);
      if (r.matched)
        r.partner = new_feature(static_cast<int>(b), r.match.pixel_b.cast<float>(), pose, frame, &r.partner_ok);
    }
  });
  std::vector<double> log_ratios;
  for (const Found& r : found)
    if (r.matched && r.match.contrast_ratio > 0.0 && std::isfinite(r.match.contrast_ratio))
      log_ratios.push_back(std::log(r.match.contrast_ratio));
  if (log_ratios.size() >= kMinGainMatches) {
    auto mid = log_ratios.begin() + static_cast<std::ptrdiff_t>(log_ratios.size() / 2);
    std::nth_element(log_ratios.begin(), mid, log_ratios.end());
    stereo_gains_[p] = static_cast<float>(std::exp(*mid));
  }
  const Rigid world_from_camera = pose * cam.rig_from_camera;
  for (size_t i = 0; i < count; ++i) {
    Found& r = found[i];
    if (!r.matched) continue;
    Feature& f = features_[c][i];
    f.landmark = static_cast<int>(landmarks_.size());
    landmarks_.push_back(world_from_camera * r.match.point_a);
    if (!r.partner_ok) continue;
    r.partner.landmark = f.landmark;
    features_[b].push_back(std::move(r.partner));
  }
}

void VisualTracker::collect_garbage() {
  std::vector<int> remap(landmarks_.size(), -1);
  for (const auto& fs : features_)
    for (const Feature& f : fs)
      if (f.landmark >= 0) remap[static_cast<size_t>(f.landmark)] = 0;
  int next = 0;
  for (size_t i = 0; i < landmarks_.size(); ++i) {
    if (remap[i] < 0) continue;
    remap[i] = next;
    landmarks_[static_cast<size_t>(next)] = landmarks_[i];
    ++next;
  }
  landmarks_.resize(static_cast<size_t>(next));
  for (auto& fs : features_)
    for (Feature& f : fs)
      if (f.landmark >= 0) f.landmark = remap[static_cast<size_t>(f.landmark)];
}

void VisualTracker::make_keyframe(const FrameData& frame, const Rigid& pose) {
  // The templates are re-cut in blocks on the pool, and the detecting cameras' corner responses
  // (the image-wide part of detection) are computed alongside them.
  std::vector<size_t> detecting;
  for (size_t c = 0; c < features_.size(); ++c)
    if (detects_corners(c)) detecting.push_back(c);
  for_each_feature_block(
      [&](size_t c, size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
          Feature& f = features_[c][i];
          if (f.missed > 0) continue;  // waits with the template it was last found with
          f.anchor_px = f.last_px;
          f.tracked = make_flow_template(frame.pyramids[c], f.anchor_px, setup_.config.flow_window, &f.tmpl);
          f.tmpl_center_w = (pose * setup_.cameras[c].rig_from_camera).t;
        }
      },
      detecting.size(),
      [&](size_t k) {
        const size_t c = detecting[k];
        corner_response(frame.pyramids[c].levels[0], corner_border(), &responses_[c]);
      });
  for (auto& fs : features_)
    fs.erase(std::remove_if(fs.begin(), fs.end(), [](const Feature& f) { return f.missed == 0 && !f.tracked; }),
             fs.end());
  add_new_features(frame, pose, true);
  give_depth(frame, pose);
  collect_garbage();
  keyframe_inliers_ = landmark_feature_count();
}

bool VisualTracker::start_map(const FrameData& frame, const Rigid& anchor) {
  std::vector<std::vector<Feature>> old_features(features_.size());
  std::swap(old_features, features_);
  std::vector<Eigen::Vector3d> old_landmarks;
  std::swap(old_landmarks, landmarks_);
  const int old_keyframe_inliers = keyframe_inliers_;
  make_keyframe(frame, anchor);
  if (landmark_feature_count() < std::max(kMinStartLandmarks, 2 * setup_.config.min_inliers)) {
    // Not enough structure here: keep the previous map for the next retry.
    std::swap(old_features, features_);
    std::swap(old_landmarks, landmarks_);
    keyframe_inliers_ = old_keyframe_inliers;
    return false;
  }
  last_pose_ = anchor;
  last_t_ns_ = frame.t_ns;
  if (inertial_) inertial_->restart();
  has_gyro_attitude_ = false;
  has_bias_ref_ = false;
  last_visual_t_ns_ = frame.t_ns;
  keep_pyramids_ = true;
  has_last_ = true;
  state_ = State::kTracking;
  return true;
}

bool VisualTracker::start_monocular(const FrameData& frame, const Rigid& anchor) {
  std::vector<std::vector<Feature>> old_features(features_.size());
  std::swap(old_features, features_);
  std::vector<Eigen::Vector3d> old_landmarks;
  std::swap(old_landmarks, landmarks_);
  add_new_features(frame, anchor);
  if (static_cast<int>(features_[0].size()) < kMonoMinFeatures) {
    std::swap(old_features, features_);
    std::swap(old_landmarks, landmarks_);
    return false;
  }
  mono_anchor_pose_ = anchor;
  mono_anchor_t_ns_ = frame.t_ns;
  state_ = State::kMonoStarting;
  keep_pyramids_ = true;  // the next frame set's search for the corners may need this whole image
  return true;
}

bool VisualTracker::monocular_step(const FrameData& frame, TrackResult* result) {
  // The start frame's corners are followed until they have moved far enough for two-view
  // geometry; the relative pose then gives the first landmarks and the first tracked pose. Each
  // frame set's image is kept for the next one's search (and, once the map starts, for a search
  // from the last frame's templates).
  keep_pyramids_ = true;
  if (!follow_start_corners(frame) || !enough_start_flow()) return false;
  MonoStart start;
  if (!solve_start_geometry(frame.t_ns, &start) || !triangulate_start(&start)) return false;
  Rigid pose;
  Matrix6d covariance;
  if (!place_start_map(start, &pose, &covariance)) return false;
  begin_tracking_from_start(frame, pose);
  result->has_pose = true;
  result->world_from_rig = pose;
  result->covariance = covariance;
  return true;
}

bool VisualTracker::follow_start_corners(const FrameData& frame) {
  // The corners are followed frame to frame, each from a template cut in the last frame (the
  // anchor's own templates stop matching once the view has turned and come closer). No pose
  // predicts them yet: each is searched from where the image moved over the last frame interval
  // (a turn shifts the whole image by tens of pixels a frame), and those lost are searched again
  // from the shift of the ones found, then from an affine fit of their motion (driving forward, the
  // sides of the view stream outward by more than the shift and the templates grow: a guess nearer
  // the corner lets the search converge).
  auto& fs = features_[0];
  const auto median_shift = [&]() -> std::optional<Eigen::Vector2f> {
    std::vector<float> dx, dy;
    for (const Feature& f : fs)
      if (f.tracked) dx.push_back(f.cur_px.x() - f.last_px.x()), dy.push_back(f.cur_px.y() - f.last_px.y());
    if (dx.size() < 8) return std::nullopt;
    const auto mid = static_cast<long>(dx.size() / 2);
    std::nth_element(dx.begin(), dx.begin() + mid, dx.end());
    std::nth_element(dy.begin(), dy.begin() + mid, dy.end());
    return Eigen::Vector2f(dx[static_cast<size_t>(mid)], dy[static_cast<size_t>(mid)]);
  };
  const FlowParams flow = for_noise(flow_, frame, 0);
  for (Feature& f : fs) f.tracked = track_flow(f.tmpl, frame.pyramids[0], f.last_px + mono_shift_px_, flow, &f.cur_px);
  // Too few found where the image moved over the last interval (the first frame set after the
  // anchor, with no motion known yet, or a turn begun since): the whole image's shift from the last
  // frame set, kept for this, guides a second search.
  Eigen::Vector2f image_shift;
  if (std::count_if(fs.begin(), fs.end(), [](const Feature& f) { return f.tracked; }) < kMonoMinFeatures &&
      !last_pyramids_.empty() &&
      global_image_shift(last_pyramids_[0], frame.pyramids[0], &image_shift) &&
      (image_shift - mono_shift_px_).norm() > 1.f)
    for (Feature& f : fs)
      if (!f.tracked) f.tracked = track_flow(f.tmpl, frame.pyramids[0], f.last_px + image_shift, flow, &f.cur_px);
  if (const auto shift = median_shift()) {
    if ((*shift - mono_shift_px_).norm() > 1.f)
      for (Feature& f : fs)
        if (!f.tracked) f.tracked = track_flow(f.tmpl, frame.pyramids[0], f.last_px + *shift, flow, &f.cur_px);
    mono_shift_px_ = *median_shift();
  }
  if (const auto motion = affine_image_motion())
    for (Feature& f : fs) {
      if (f.tracked) continue;
      const Eigen::Vector2f guess = (*motion * Eigen::Vector3d(f.last_px.x(), f.last_px.y(), 1.0)).cast<float>();
      if ((guess - (f.last_px + mono_shift_px_)).norm() > 1.f)
        f.tracked = track_flow(f.tmpl, frame.pyramids[0], guess, flow, &f.cur_px);
    }
  for (Feature& f : fs)
    if (f.tracked) {
      f.last_px = f.cur_px;
      f.tracked = make_flow_template(frame.pyramids[0], f.last_px, setup_.config.flow_window, &f.tmpl);
      f.tmpl_center_w.reset();  // the start's camera poses are not known yet
    }
  fs.erase(std::remove_if(fs.begin(), fs.end(), [](const Feature& f) { return !f.tracked; }), fs.end());
  if (static_cast<int>(fs.size()) >= kMonoMinFeatures) return true;
  // Lost the start frame's corners: start over from this frame, same anchor pose.
  const Rigid anchor = mono_anchor_pose_;
  if (!start_monocular(frame, anchor)) {
    features_[0].clear();
    state_ = has_last_ ? State::kLost : State::kIdle;
    lost_retries_ = kMonoMapRetries;  // no map left to search for: the next frame set starts again
  }
  return false;
}

std::optional<Eigen::Matrix<double, 2, 3>> VisualTracker::affine_image_motion() const {
  // Least squares over the corners found, then again over those the first fit explains within
  // three times its median residual (at least a pixel): a few mistracked corners do not bend it.
  const auto& fs = features_[0];
  std::vector<size_t> used;
  for (size_t i = 0; i < fs.size(); ++i)
    if (fs[i].tracked) used.push_back(i);
  Eigen::Matrix<double, 2, 3> motion;
  for (int round = 0; round < 2; ++round) {
    if (used.size() < 12) return std::nullopt;
    Eigen::Matrix3d ata = Eigen::Matrix3d::Zero();
    Eigen::Matrix<double, 3, 2> atb = Eigen::Matrix<double, 3, 2>::Zero();
    for (size_t i : used) {
      const Eigen::Vector3d a(fs[i].last_px.x(), fs[i].last_px.y(), 1.0);
      ata += a * a.transpose();
      atb += a * fs[i].cur_px.cast<double>().transpose();
    }
    const Eigen::LDLT<Eigen::Matrix3d> ldlt(ata);
    if (ldlt.info() != Eigen::Success) return std::nullopt;
    motion = ldlt.solve(atb).transpose();
    if (!motion.allFinite()) return std::nullopt;
    std::vector<double> residual;
    for (size_t i : used)
      residual.push_back((motion * Eigen::Vector3d(fs[i].last_px.x(), fs[i].last_px.y(), 1.0) - fs[i].cur_px.cast<double>()).norm());
    std::vector<double> sorted = residual;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2), sorted.end());
    const double bound = std::max(1.0, 3.0 * sorted[sorted.size() / 2]);
    std::vector<size_t> kept;
    for (size_t k = 0; k < used.size(); ++k)
      if (residual[k] <= bound) kept.push_back(used[k]);
    used.swap(kept);
  }
  return motion;
}

double VisualTracker::start_parallax() const {
  return std::min(kMinStartParallax, kStartParallaxPx / setup_.cameras[0].model.fx());
}

bool VisualTracker::enough_start_flow() const {
  // Parallax, not image motion: a turn moves the image by tens of pixels without separating the
  // rays of the two views at all. The rotation that best maps the anchor's rays onto the current
  // ones (what a pure turn would explain) is removed first; the angles left over are the parallax
  // from translation, in normalised units whatever the resolution and focal length. Enough corners
  // must show start_parallax() of it for the two-view geometry to be tried.
  const CameraModel& model = setup_.cameras[0].model;
  const auto& fs = features_[0];
  std::vector<Eigen::Vector3d> r1, r2;
  for (const Feature& f : fs) {
    Eigen::Vector2d a, b;
    if (!model.unproject(f.anchor_px.cast<double>(), &a) || !model.unproject(f.last_px.cast<double>(), &b)) continue;
    r1.push_back(Eigen::Vector3d(a.x(), a.y(), 1.0).normalized());
    r2.push_back(Eigen::Vector3d(b.x(), b.y(), 1.0).normalized());
  }
  if (static_cast<int>(r1.size()) < kMinStartLandmarks) return false;
  const Eigen::Matrix3d first_from_second = best_rotation(r1, r2);
  const double min_angle = start_parallax();
  int separated = 0;
  for (size_t i = 0; i < r1.size(); ++i)
    separated += std::acos(std::clamp(r1[i].dot(first_from_second * r2[i]), -1.0, 1.0)) >= min_angle;
  return separated >= std::max(kMinStartLandmarks, 2 * setup_.config.min_inliers);
}

bool VisualTracker::solve_start_geometry(int64_t t_ns, MonoStart* start) {
  const CameraSetup& cam = setup_.cameras[0];
  const auto& fs = features_[0];
  for (size_t i = 0; i < fs.size(); ++i) {
    Eigen::Vector2d a, b;
    if (!cam.model.unproject(fs[i].anchor_px.cast<double>(), &a) || !cam.model.unproject(fs[i].last_px.cast<double>(), &b))
      continue;
    start->x1.push_back(a);
    start->x2.push_back(b);
    start->index.push_back(i);
  }
  const double threshold = ransac_.threshold_px / cam.model.fx();
  if (!estimate_two_view(start->x1, start->x2, threshold, 200, rng_, &start->two_view)) return false;
  const int needed = std::max(kMonoMinFeatures, static_cast<int>(0.6 * static_cast<double>(start->x1.size())));
  if (start->two_view.inlier_count < needed) return false;

  // Scale of the first baseline: one unit for the very first start; after a loss, the distance
  // the rig was moving at before it, so the map keeps roughly its earlier scale.
  const double dt = velk_slam::difference_seconds(t_ns, mono_anchor_t_ns_);
  double scale = 1.0;
  if (has_last_ && has_velocity_ && velocity_.norm() * dt > 1e-6) scale = velocity_.norm() * dt;
  Rigid second_from_first = start->two_view.second_from_first;
  second_from_first.t *= scale;
  start->second_from_first = second_from_first;
  start->first_from_second = second_from_first.inverse();
  return true;
}

bool VisualTracker::triangulate_start(MonoStart* start) const {
  const CameraModel& model = setup_.cameras[0].model;
  const auto& fs = features_[0];
  const Rigid& first_from_second = start->first_from_second;
  const double th = ransac_.threshold_px;
  const double min_angle = start_parallax();
  for (size_t k = 0; k < start->x1.size(); ++k) {
    if (!start->two_view.inliers[k]) continue;
    const Eigen::Vector3d r1(start->x1[k].x(), start->x1[k].y(), 1.0);
    const Eigen::Vector3d r2 = first_from_second.R * Eigen::Vector3d(start->x2[k].x(), start->x2[k].y(), 1.0);
    Eigen::Vector3d p;
    if (!triangulate_midpoint(Eigen::Vector3d::Zero(), r1, first_from_second.t, r2, &p)) continue;
    const double angle = std::acos(std::clamp(r1.normalized().dot(r2.normalized()), -1.0, 1.0));
    if (angle < min_angle) continue;
    // Points must reproject onto both sightings; a wrong decomposition or a mistracked corner does not.
    Eigen::Vector2d px1, px2;
    if (!model.project(p, &px1) || !model.project(start->second_from_first * p, &px2)) continue;
    const Feature& f = fs[start->index[k]];
    if ((px1 - f.anchor_px.cast<double>()).norm() > th || (px2 - f.last_px.cast<double>()).norm() > th) continue;
    start->points.emplace_back(start->index[k], p);
  }
  // Enough corners with parallax start the map; the others (far away, or near the direction of
  // travel) stay features and are triangulated over time.
  return static_cast<int>(start->points.size()) >= std::max(kMinStartLandmarks, 2 * setup_.config.min_inliers);
}

bool VisualTracker::place_start_map(const MonoStart& start, Rigid* pose, Matrix6d* covariance) {
  // World poses: the first view is the anchor; landmarks move into the world frame with it.
  const CameraSetup& cam = setup_.cameras[0];
  auto& fs = features_[0];
  const Rigid world_from_first = mono_anchor_pose_ * cam.rig_from_camera;
  *pose = world_from_first * start.first_from_second * pose_cameras_[0].camera_from_rig;
  for (const auto& [i, p] : start.points) {
    fs[i].landmark = static_cast<int>(landmarks_.size());
    landmarks_.push_back(world_from_first * p);
  }
  for (size_t k = 0; k < start.x1.size(); ++k)
    if (!start.two_view.inliers[k]) fs[start.index[k]].outlier = true;
  obs_.clear();
  mask_.clear();
  for (const Feature& f : fs) {
    Eigen::Vector2d xn;
    if (f.landmark < 0 || !cam.model.unproject(f.last_px.cast<double>(), &xn)) continue;
    obs_.push_back({landmarks_[static_cast<size_t>(f.landmark)], xn, 0});
    mask_.push_back(1);
  }
  if (!refine_pose(obs_, pose_cameras_, mask_, kHuberPx, 5, pose, covariance)) return false;
  fs.erase(std::remove_if(fs.begin(), fs.end(), [](const Feature& f) { return f.outlier; }), fs.end());
  return true;
}

void VisualTracker::begin_tracking_from_start(const FrameData& frame, const Rigid& pose) {
  // The motion estimate spans the anchor frame to this one.
  has_last_ = true;
  last_pose_ = mono_anchor_pose_;
  last_t_ns_ = mono_anchor_t_ns_;
  update_motion(pose, frame.t_ns);
  last_pose_ = pose;
  last_t_ns_ = frame.t_ns;
  last_visual_t_ns_ = frame.t_ns;
  make_keyframe(frame, pose);
  state_ = State::kTracking;
}

namespace {

// Growth of the pose covariance over `gap` seconds without a visual pose: an unknown speed, and an
// attitude uncertainty of the gyro's angle random walk plus its residual bias, or without a gyro an
// unknown turn rate.
Matrix6d gap_growth(double gap, bool gyro, double gyro_noise_density) {
  const double rate_sigma = gyro ? gyro_noise_density * std::sqrt(gap) + kGyroBiasSigma * gap : kGapRateSigma * gap;
  Matrix6d growth = Matrix6d::Zero();
  growth.topLeftCorner<3, 3>().diagonal().setConstant((kGapSpeedSigma * gap) * (kGapSpeedSigma * gap));
  growth.bottomRightCorner<3, 3>().diagonal().setConstant(rate_sigma * rate_sigma);
  return growth;
}

}  // namespace

void VisualTracker::start_world(const FrameData& frame, TrackResult* result) {
  // The world frame is the rig frame at the first frame set that starts a map.
  const Rigid origin;
  if (setup_.monocular) {
    start_monocular(frame, origin);
  } else if (start_map(frame, origin)) {
    result->has_pose = true;
    result->world_from_rig = origin;
    result->covariance = Matrix6d::Identity() * kOriginVariance;
  }
}

bool VisualTracker::see_frame(const FrameData& frame, const Rigid& predicted, double outage_span, Rigid* pose,
                              Matrix6d* covariance) {
  // A weak visual pose far from where the IMU puts the rig over a short span is a false match. A
  // pose held by many inliers stands whatever the IMU says: a wrong mount or a saturated
  // accelerometer must not throw away a good view.
  // A second frame set in a row whose view the IMU contradicts tells that the IMU's carry, not the
  // view, went wrong (a bad sample in a bridged stretch): the view stands, and the inertial motion
  // starts over from it.
  bool overruled = false;
  const auto plausible = [&](bool solved) {
    if (!solved || !inertial_) return solved;
    const auto inliers = std::count(mask_.begin(), mask_.end(), 1);
    if (inliers >= kTrustedInlierFactor * setup_.config.min_inliers ||
        !inertial_->contradicts(frame.t_ns, *pose, gyro_bias_, outage_span))
      return true;
    if (overruled_) {
      inertial_->restart();
      return true;
    }
    overruled = true;
    return false;
  };
  const bool seen = plausible(track_map(frame, predicted, pose, covariance)) ||
                    plausible(relocalise(frame, predicted, pose, covariance));
  overruled_ = overruled && !seen;
  return seen;
}

void VisualTracker::accept_view(const FrameData& frame, const Rigid& pose, const Matrix6d& covariance,
                                TrackResult* result) {
  const int inliers = static_cast<int>(std::count(mask_.begin(), mask_.end(), 1));
  commit(frame, pose, inliers);
  if (inertial_) inertial_->observe(frame.t_ns, pose, gyro_bias_);
  state_ = State::kTracking;
  last_covariance_ = covariance;
  result->has_pose = true;
  result->world_from_rig = pose;
  result->covariance = covariance;
}

void VisualTracker::bridge_gap(const FrameData& frame, const Rigid& predicted, const Matrix6d& growth,
                               TrackResult* result) {
  // Too little to see: the gyro carries the rotation, the accelerometer (or else the last
  // velocity) the position.
  state_ = State::kBridging;
  last_pose_ = carried(frame.t_ns, predicted, setup_.config.imu_gap_seconds);
  last_t_ns_ = frame.t_ns;
  has_gyro_attitude_ = false;
  has_bias_ref_ = false;
  result->has_pose = true;
  result->world_from_rig = last_pose_;
  result->covariance = last_covariance_ + growth;
}

void VisualTracker::restart_after_loss(const FrameData& frame, const Rigid& predicted, double outage_span,
                                       const Matrix6d& growth, TrackResult* result) {
  if (setup_.monocular) {
    // The image motion of an earlier start says nothing of this one.
    mono_shift_px_.setZero();
    start_monocular(frame, predicted);
  } else if (start_map(frame, carried(frame.t_ns, predicted, outage_span))) {
    // A fresh map anchored where the rig is predicted to be (the last motion carried across
    // the gap, by the IMU when there is one), so the world frame stays the same.
    last_covariance_ = last_covariance_ + growth;
    result->has_pose = true;
    result->world_from_rig = last_pose_;
    result->covariance = last_covariance_;
  }
}

void VisualTracker::track_in_world(const FrameData& frame, TrackResult* result) {
  const bool lost = state_ == State::kLost;
  // Past kMaxCoastSeconds without a pose the last velocity gives out, but an IMU that kept running
  // knows the whole outage: the map is searched for, or a fresh one started, where it carries the rig.
  const double outage_span = std::max<double>(setup_.config.imu_gap_seconds, kMaxOutageCarrySeconds);
  Rigid predicted = predict(frame.t_ns);
  if (velk_slam::difference_seconds(frame.t_ns, last_t_ns_) > kMaxCoastSeconds)
    predicted = carried(frame.t_ns, predicted, outage_span);
  const double gap = velk_slam::difference_seconds(frame.t_ns, last_visual_t_ns_);
  const bool gyro = gyro_rotation(last_t_ns_, frame.t_ns).has_value();
  const Matrix6d growth = gap_growth(gap, gyro, setup_.gyro_noise_density);
  Rigid pose;
  Matrix6d covariance;
  if (see_frame(frame, predicted, outage_span, &pose, &covariance)) {
    accept_view(frame, pose, covariance, result);
  } else if (!lost && gyro && gap <= setup_.config.imu_gap_seconds) {
    bridge_gap(frame, predicted, growth, result);
  } else if (!lost) {
    state_ = State::kLost;
    lost_retries_ = 0;
  } else if (!setup_.monocular || ++lost_retries_ > kMonoMapRetries) {
    restart_after_loss(frame, predicted, outage_span, growth, result);
  }
}

void VisualTracker::retire_frame(FrameData& frame) {
  if (has_last_) gyro_.drop_before(has_bias_ref_ ? std::min(last_t_ns_, bias_ref_t_ns_) : last_t_ns_);
  if (keep_pyramids_) {
    // The frame's pyramids become the last ones; the caller refills the old buffers next time.
    std::swap(last_pyramids_, frame.pyramids);
    frame.pyramids.resize(last_pyramids_.size());
  }
}

TrackResult VisualTracker::track(FrameData& frame) {
  TrackResult result;
  keep_pyramids_ = false;
  switch (state_) {
    case State::kIdle:
      start_world(frame, &result);
      break;
    case State::kMonoStarting:
      monocular_step(frame, &result);
      break;
    case State::kTracking:
    case State::kBridging:
    case State::kLost:
      track_in_world(frame, &result);
      break;
  }
  retire_frame(frame);
  return result;
}

}  // namespace velk_track
