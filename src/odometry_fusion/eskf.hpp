// The error-state Kalman filter of the fusion engine: a nominal state (position, velocity, attitude and a
// pair of biases per IMU) and the covariance of the minimal error state of state_layout.hpp around it.
// It knows nothing of stamps, frames, sources or replay: FusionCore decides when to propagate and update.
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <Eigen/LU>

#include <cstddef>
#include <vector>

namespace velk_slam::odometry_fusion {

// Biases of one IMU, in base-frame axes.
struct ImuBias {
  Eigen::Vector3d gyro = Eigen::Vector3d::Zero();   // rad/s
  Eigen::Vector3d accel = Eigen::Vector3d::Zero();  // m/s²
};

// Noise figures of one IMU, copied from its ImuConfig.
struct ImuNoise {
  double gyro_noise_density = 0.0;   // rad/s/√Hz: attitude error
  double gyro_random_walk = 0.0;     // rad/s²/√Hz: gyro-bias error
  double accel_noise_density = 0.0;  // m/s²/√Hz: velocity error
  double accel_random_walk = 0.0;    // m/s³/√Hz: accelerometer-bias error
};

// The part of the filter that events change and replay snapshots copy.
// Invariant: covariance is n × n with n = layout::state_size(biases.size()).
struct FilterState {
  std::vector<ImuBias> biases;
  Eigen::Vector3d position = Eigen::Vector3d::Zero();  // m, odometry frame
  Eigen::Vector3d velocity = Eigen::Vector3d::Zero();  // m/s, odometry frame
  // Rotates body vectors into the odometry frame (x, y, z, w). Never renormalised by the filter.
  Eigen::Quaterniond orientation = Eigen::Quaterniond::Identity();
  Eigen::MatrixXd covariance = Eigen::MatrixXd::Identity(9, 9);
};

// Explicit inverse of the innovation covariance: closed cofactor formulas for sizes 1 to 4, LU with partial
// pivoting from 5 on. Returns false, leaving `inverse` unspecified, exactly when s is singular (a zero
// determinant or a zero pivot); no conditioning threshold applies, so a NaN in s does not refuse.
bool invert_innovation(const Eigen::MatrixXd& s, Eigen::MatrixXd& inverse);

class Filter {
 public:
  std::vector<ImuNoise> noise;  // one per IMU, in configuration order
  FilterState state;
  double gravity = 9.80665;     // m/s²; gravity in the odometry frame is (0, 0, −gravity)

  // Zero position and velocity, the given attitude and biases, and a diagonal covariance of the given
  // standard deviations (bias_std serves every gyro and accelerometer bias). noise and gravity stay.
  void init(const Eigen::Quaterniond& orientation, std::vector<ImuBias> biases, double position_std,
            double velocity_std, double rotation_std, double bias_std);

  // Predicts over dt seconds with IMU imu_index's measured rate (rad/s) and specific force (m/s²), both in
  // body axes and not bias-corrected. dt is used as given. Throws std::out_of_range for an unknown IMU.
  // Non-finite inputs are not rejected here; they make the state non-finite.
  void propagate(std::size_t imu_index, const Eigen::Vector3d& gyro, const Eigen::Vector3d& accel, double dt);

  // Applies m stacked rows: residual y (measured − predicted, y ≈ H δx + e), jacobian H (m × n, error-state
  // columns), variances diag(R). Refuses, leaving the filter bit for bit as it was, when S is singular or,
  // with gate > 0, when yᵀ S⁻¹ y is not below gate² · m. Returns whether it applied the rows.
  // Mismatched sizes throw std::invalid_argument.
  bool update(const Eigen::Ref<const Eigen::VectorXd>& residual, const Eigen::Ref<const Eigen::MatrixXd>& jacobian,
              const Eigen::Ref<const Eigen::VectorXd>& variances, double gate);

 private:
  // Scratch reused across calls so that a propagation allocates nothing once sizes are settled.
  Eigen::Matrix<double, 9, Eigen::Dynamic> rows_;  // (F P) rows 0-8
  Eigen::Matrix<double, Eigen::Dynamic, 9> cols_;  // (F P Fᵀ) columns 0-8
  // Update scratch: the columns of H with a non-zero, H and the rows of P restricted to them, products.
  std::vector<Eigen::Index> touched_;
  Eigen::MatrixXd h_touched_, p_rows_, touched_cols_, hp_, s_, s_inv_, pht_, gain_, kr_;
  Eigen::VectorXd dx_;
};

}  // namespace velk_slam::odometry_fusion
