// The CPU visual odometry pipeline behind cuvslam::Odometry.
//
// Per frame set: predict the rig pose (constant velocity, gyro rotation when an IMU is present),
// track every feature from its keyframe template into the current images (pyramidal Lucas-Kanade,
// started at the landmark's predicted projection and searched at the magnification its distance
// tells), estimate world_from_rig from the tracked landmarks of all cameras (P3P RANSAC, then robust
// Gauss-Newton), and, when too few features
// remain, make the frame a keyframe: re-cut templates, detect new corners, and give them 3D
// positions from stereo matching, aligned depth, or triangulation over time. With an IMU, the
// attitude the gyro carries from frame to frame (its bias measured against the visual rotation over
// short spans, pulled toward each visual attitude) is weighed into every pose.
//
// Gaps (dropped frame sets) and failures: the last velocity (and the gyro) carry the prediction
// across them; a frame that fails against the keyframe's templates is searched again with templates
// from the last tracked frame, and again from the rough pose of the few features found or the turn
// the whole image's shift tells (a prediction that missed: the first frame sets of a rig started
// while moving, a change of course across a gap); with an IMU the gyro bridges a failed stretch up to imu_gap_seconds;
// a fresh map, when no view of the old one comes back, starts at the predicted pose in the same world.
// After a longer outage the IMU, which kept running, carries the prediction across all of it.
//
// A stereo pair side by side has its disparity offset (a principal point off along the baseline)
// and slope (a focal length off) estimated over stretches of motion from the points both cameras
// tracked through them, and corrected in camera b's calibration.
//
// On a monocular map, whose landmarks cost frames of parallax to make, a feature lost to blur or a
// passing occluder keeps its landmark and template for a few frame sets and is searched for again.
//
// Invariants: every Feature's landmark index is -1 or indexes `landmarks_`; features hold the
// template of the camera's last keyframe (a waiting one, of the keyframe it was last found in);
// `last_pose_` is the last pose reported or bridged.
#pragma once

#include <Eigen/Core>

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "velk_track/camera_model.hpp"
#include "velk_track/corners.hpp"
#include "cuvslam/cuvslam.h"
#include "velk_track/geometry.hpp"
#include "velk_track/gyro_buffer.hpp"
#include "velk_track/image_pyramid.hpp"
#include "velk_track/inertial.hpp"
#include "velk_track/optical_flow.hpp"
#include "velk_track/pose_solver.hpp"
#include "velk_track/stereo_match.hpp"
#include "velk_track/thread_pool.hpp"
#include "velk_track/two_view.hpp"

namespace velk_track {

using cuvslam::Odometry;

struct CameraSetup {
  CameraModel model;
  Rigid rig_from_camera;
  bool depth = false;                // aligned depth images arrive for this camera
  int stereo_pair = -1;              // index into TrackerSetup::pairs when this camera detects for a pair
  bool detects = true;               // seeds features (false for the searched camera of a stereo pair)
};

struct TrackerSetup {
  std::vector<CameraSetup> cameras;
  std::vector<StereoPair> pairs;
  bool monocular = false;  // translation scale from the first baseline (odometry mode 3)
  std::optional<Rigid> rig_from_imu;
  float gyro_noise_density = 0.f;
  Odometry::Config config;
};

// One synchronised frame set, already converted; depth in metres (0: none) per camera.
struct FrameData {
  int64_t t_ns = 0;
  std::vector<Pyramid> pyramids;
  std::vector<float> noise;  // per camera: image_noise of its image (0 where not measured)
  std::vector<GreyImage> depth;
  std::vector<uint8_t> has_depth;
};

struct TrackResult {
  bool has_pose = false;
  Rigid world_from_rig;
  Matrix6d covariance = Matrix6d::Zero();  // x, y, z, roll, pitch, yaw
};

class VisualTracker {
 public:
  explicit VisualTracker(TrackerSetup setup);

  // Takes the frame's pyramids when it keeps them as the last frame's (leaving other buffers of
  // the same count in their place).
  TrackResult track(FrameData& frame);

  // Gyro sample in the IMU frame (rad/s); the caller has checked time order and finiteness.
  void add_gyro(int64_t t_ns, const Eigen::Vector3d& angular_velocity);
  // IMU sample: angular velocity (rad/s) and specific force (m/s^2), IMU frame; same checks.
  void add_imu(int64_t t_ns, const Eigen::Vector3d& angular_velocity, const Eigen::Vector3d& acceleration);

  const TrackerSetup& setup() const { return setup_; }
  // The pipeline's threads (config.threads), shared with the caller's image conversion.
  ThreadPool& pool() { return pool_; }

 private:
  enum class State {
    kIdle,          // no world frame yet
    kMonoStarting,  // monocular: features tracked from a start frame, waiting for enough baseline
    kTracking,
    kBridging,      // no visual pose; the gyro carries the rotation
    kLost,          // no pose; the last map is kept for a retry
  };

  struct Feature {
    Eigen::Vector2f anchor_px;  // template centre in the camera's keyframe image
    Eigen::Vector2f last_px;    // position in the last tracked frame
    Eigen::Vector2f cur_px;     // position in the frame being tracked
    int landmark = -1;
    // Monocular map: frame sets since the feature was last found; a lost feature waits at its
    // landmark's projection, with the template it was last found with, for the view to clear.
    int missed = 0;
    bool tracked = false;
    bool outlier = false;
    bool in_offset_stretch = false;  // seen at offset_stretch_pose_, at offset_stretch_px
    Eigen::Vector2f offset_stretch_px;
    Eigen::Vector3d first_center_w;   // camera centre at the first sighting
    Eigen::Vector3d first_bearing_w;  // unit ray of the first sighting, world frame
    FlowTemplate tmpl;
    std::optional<Eigen::Vector3d> tmpl_center_w;  // centre of the camera the template was cut in, when known
  };

  // Steps of track(): the first map; a frame set once there is a world frame (seen, bridged by the
  // IMU, or a fresh map after a loss); the frame's leftovers (its pyramids, old gyro samples).
  void start_world(const FrameData& frame, TrackResult* result);
  void track_in_world(const FrameData& frame, TrackResult* result);
  // A pose from the images (the map tracked, or else relocalised) that the IMU does not overrule.
  bool see_frame(const FrameData& frame, const Rigid& predicted, double outage_span, Rigid* pose,
                 Matrix6d* covariance);
  void accept_view(const FrameData& frame, const Rigid& pose, const Matrix6d& covariance, TrackResult* result);
  void bridge_gap(const FrameData& frame, const Rigid& predicted, const Matrix6d& growth, TrackResult* result);
  void restart_after_loss(const FrameData& frame, const Rigid& predicted, double outage_span, const Matrix6d& growth,
                          TrackResult* result);
  void retire_frame(FrameData& frame);
  Rigid predict(int64_t t_ns) const;
  // `predicted` with the IMU's position, carried at most max_span_s from the last pose from the images.
  Rigid carried(int64_t t_ns, Rigid predicted, double max_span_s) const;
  std::optional<Eigen::Matrix3d> gyro_rotation(int64_t t0_ns, int64_t t1_ns) const;
  // Each feature is searched at the magnification its landmark's distance from the predicted camera tells.
  void track_features(const FrameData& frame, const Rigid& predicted, const FlowParams& flow);
  // `base` with its bound on a match's residual raised to what camera c's image noise leaves.
  static FlowParams for_noise(const FlowParams& base, const FrameData& frame, size_t c);
  // How much larger feature f's patch looks from a camera at center_w than in its template (1 when
  // its landmark or the template's camera is not known, on a monocular map, or when too little to
  // matter).
  float magnification(const Feature& f, const Eigen::Vector3d& center_w) const;
  // Runs work(camera, begin, end) over blocks of every camera's features on the pool, and
  // extra_work(k) for k < extra alongside.
  void for_each_feature_block(const std::function<void(size_t, size_t, size_t)>& work, size_t extra = 0,
                              const std::function<void(size_t)>& extra_work = {});
  // weak (optional): with fewer consistent features than min_inliers but enough to say roughly where
  // the rig is, their pose.
  int estimate_pose(const Rigid& predicted, Rigid* pose, Matrix6d* covariance, const RotationPrior* prior = nullptr,
                    std::optional<Rigid>* weak = nullptr);
  // Grows the translation block of a pose covariance when the inliers (obs_ under mask_) are few
  // and lie on one plane, or bunch in the image.
  void inflate_for_poor_geometry(const Rigid& world_from_rig, int inliers, Matrix6d* covariance) const;
  std::optional<RotationPrior> gyro_prior(int64_t t_ns) const;
  bool track_map(const FrameData& frame, const Rigid& predicted, Rigid* pose, Matrix6d* covariance);
  bool relocalise(const FrameData& frame, const Rigid& predicted, Rigid* pose, Matrix6d* covariance);
  // `predicted` turned as the shift of camera 0's whole image since the last frame set says, when
  // that differs from the prediction's own and no gyro measured the turn.
  bool turn_from_image_shift(const FrameData& frame, const Rigid& predicted, Rigid* turned) const;
  void commit(const FrameData& frame, const Rigid& pose, int inliers);
  // Drops the features not found at `pose`: outliers, and lost ones, except on a monocular map
  // those whose landmark still projects into the image, for up to kMaxMissedFrames frame sets.
  void drop_lost_features(const Rigid& pose);
  void triangulate_over_time(const Rigid& pose);
  void make_keyframe(const FrameData& frame, const Rigid& pose);
  // responses_ready: make_keyframe has computed responses_ of the detecting cameras for this frame.
  void add_new_features(const FrameData& frame, const Rigid& pose, bool responses_ready = false);
  bool detects_corners(size_t camera) const;  // seeds features of its own
  int corner_border() const { return setup_.config.flow_window / 2 + 2; }
  void give_depth(const FrameData& frame, const Rigid& pose);
  // Matches camera's new features in its pair's other camera (setup_.pairs[pair]).
  void match_pair(const FrameData& frame, const Rigid& pose, size_t camera, size_t pair);
  bool start_map(const FrameData& frame, const Rigid& anchor);
  bool start_monocular(const FrameData& frame, const Rigid& anchor);
  // Monocular start, in the order monocular_step runs them; each returns false to wait for a later frame.
  struct MonoStart {
    std::vector<Eigen::Vector2d> x1, x2;  // normalised coordinates in the anchor and the current view
    std::vector<size_t> index;            // feature of each correspondence
    TwoViewResult two_view;
    Rigid second_from_first;              // camera motion, scaled
    Rigid first_from_second;
    std::vector<std::pair<size_t, Eigen::Vector3d>> points;  // feature index, point in the first camera
  };
  bool monocular_step(const FrameData& frame, TrackResult* result);
  bool follow_start_corners(const FrameData& frame);
  bool enough_start_flow() const;
  // Image motion of the start corners found in this frame set, px_now = A [px_last; 1], when enough are.
  std::optional<Eigen::Matrix<double, 2, 3>> affine_image_motion() const;
  double start_parallax() const;  // least angle between a start corner's rays that tells its depth
  bool solve_start_geometry(int64_t t_ns, MonoStart* start);
  bool triangulate_start(MonoStart* start) const;
  bool place_start_map(const MonoStart& start, Rigid* pose, Matrix6d* covariance);
  void begin_tracking_from_start(const FrameData& frame, const Rigid& pose);
  void update_motion(const Rigid& pose, int64_t t_ns);
  // Estimates each stereo pair's disparity offset from the points both cameras tracked since the
  // offset stretch began; once half of them are gone the stretch ends, its estimates are folded into
  // the rig's and a new stretch begins at `pose`.
  void update_disparity_offsets(const Rigid& pose);
  // Folds each pair's estimate of the stretch that ended into the rig's, and applies it once it is
  // significant, to the points seen at `pose` as well.
  void fold_offset_stretches(const Rigid& pose);
  // Per landmark, the index of the camera's feature that sees it, or -1 (stretch_only: only features
  // that hold a sighting at the offset stretch's start).
  void index_by_landmark(size_t camera, bool stretch_only, std::vector<int>* index) const;
  // Triangulates again the landmarks that both cameras of pair p see at `pose`.
  void retriangulate_pair(size_t p, const Rigid& pose);
  // Marks the points both cameras of a pair see at `pose` as the sightings a new stretch starts from.
  void begin_offset_stretch(const Rigid& pose);
  void update_gyro_bias(const Rigid& from, const Rigid& to, int64_t t0_ns, int64_t t1_ns);
  void collect_garbage();
  Feature new_feature(int camera, const Eigen::Vector2f& px, const Rigid& pose, const FrameData& frame, bool* ok) const;
  int landmark_feature_count() const;  // features with a landmark found in the last frame set

  TrackerSetup setup_;
  ThreadPool pool_;
  std::vector<PoseCamera> pose_cameras_;
  FlowParams flow_;
  StereoParams stereo_;
  RansacParams ransac_;
  std::mt19937 rng_{0x5eedu};

  State state_ = State::kIdle;
  int lost_retries_ = 0;  // frame sets searched for the lost map since the loss (monocular)
  std::vector<std::vector<Feature>> features_;  // per camera
  std::vector<Eigen::Vector3d> landmarks_;      // world frame

  Rigid last_pose_;               // world_from_rig at last_t_ns_
  int64_t last_t_ns_ = 0;
  bool has_last_ = false;
  int64_t last_visual_t_ns_ = 0;  // stamp of the last pose from images
  Matrix6d last_covariance_ = Matrix6d::Zero();
  bool has_velocity_ = false;
  Eigen::Vector3d velocity_ = Eigen::Vector3d::Zero();  // rig frame, per second
  Eigen::Vector3d rate_ = Eigen::Vector3d::Zero();      // rig frame rotation vector per second
  int keyframe_inliers_ = 0;
  bool overruled_ = false;  // the last frame set's view was refused for contradicting the IMU
  // Per stereo pair: the disparity offset applied to camera b (normalised units of a), the mean
  // estimate and its information, the estimate of the current offset stretch and the number of
  // points the stretch began with.
  struct DisparityOffset {  // (offset, slope), as estimate_disparity_offset writes them
    Eigen::Vector2d applied = Eigen::Vector2d::Zero(), mean = Eigen::Vector2d::Zero();
    Eigen::Matrix2d information = Eigen::Matrix2d::Zero();
    Eigen::Vector2d stretch_offset = Eigen::Vector2d::Zero();
    Eigen::Matrix2d stretch_information = Eigen::Matrix2d::Zero();
    int stretches = 0;
    size_t stretch_points = 0;
  };
  std::vector<DisparityOffset> disparity_offsets_;
  std::vector<float> stereo_gains_;  // per stereo pair: b's contrast over a's
  // An offset stretch: the frame set from which the points both cameras of a pair keep tracking
  // span enough motion to tell near depths from far ones (keyframes may follow each other at every
  // frame set on a fast car).
  Rigid offset_stretch_pose_;
  bool in_offset_stretch_ = false;

  GyroBuffer gyro_;
  std::optional<InertialMotion> inertial_;  // with an IMU: translation across gaps, checks of visual poses
  Eigen::Vector3d gyro_bias_ = Eigen::Vector3d::Zero();
  int gyro_bias_updates_ = 0;
  Eigen::Matrix3d gyro_attitude_ = Eigen::Matrix3d::Identity();  // world_from_rig attitude the gyro carries
  bool has_gyro_attitude_ = false;
  Rigid bias_ref_;  // visual pose that starts the current gyro bias span
  int64_t bias_ref_t_ns_ = 0;
  bool has_bias_ref_ = false;

  // Monocular start.
  Rigid mono_anchor_pose_;
  int64_t mono_anchor_t_ns_ = 0;
  double mono_scale_ = 1.0;
  Eigen::Vector2f mono_shift_px_ = Eigen::Vector2f::Zero();  // median image motion of the last start frame interval

  std::vector<Pyramid> last_pyramids_;  // images of the last frame set tracked or starting a map
  bool keep_pyramids_ = false;          // this frame set's pyramids become last_pyramids_

  // Scratch reused across frames.
  std::vector<PoseObservation> obs_;
  std::vector<std::pair<int, int>> obs_owner_;  // (camera, feature index) of each observation
  std::vector<uint8_t> mask_;
  struct FeatureBlock {
    size_t camera, begin, end;
  };
  std::vector<FeatureBlock> blocks_;
  std::vector<CornerResponse> responses_;  // per camera
};

}  // namespace velk_track
