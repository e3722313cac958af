#include "odometry_fusion/eskf.hpp"

#include "geometry.hpp"
#include "odometry_fusion/state_layout.hpp"

#include <cmath>
#include <stdexcept>

namespace velk_slam::odometry_fusion {

using Eigen::Matrix3d;
using Eigen::MatrixXd;
using Eigen::Quaterniond;
using Eigen::Vector3d;
using layout::Index;
using layout::kAttitude;
using layout::kPosition;
using layout::kVelocity;

namespace {

template <int Size>
bool invert_fixed(const MatrixXd& s, MatrixXd& inverse) {
  using Fixed = Eigen::Matrix<double, Size, Size>;
  const Fixed m = s;
  // Only an exactly zero determinant refuses; NaN is let through for the gate to judge.
  if (m.determinant() == 0.0) {
    return false;
  }
  inverse = m.inverse();
  return true;
}

// out = the columns `cols` of m, side by side.
void gather_columns(const MatrixXd& m, const std::vector<Index>& cols, MatrixXd& out) {
  out.resize(m.rows(), static_cast<Index>(cols.size()));
  for (std::size_t j = 0; j < cols.size(); ++j) {
    out.col(static_cast<Index>(j)) = m.col(cols[j]);
  }
}

}  // namespace

bool invert_innovation(const MatrixXd& s, MatrixXd& inverse) {
  switch (s.rows()) {
    case 0:
      inverse.resize(0, 0);
      return true;
    case 1:
      if (s(0, 0) == 0.0) {
        return false;
      }
      inverse.resize(1, 1);
      inverse(0, 0) = 1.0 / s(0, 0);
      return true;
    case 2:
      return invert_fixed<2>(s, inverse);
    case 3:
      return invert_fixed<3>(s, inverse);
    case 4:
      return invert_fixed<4>(s, inverse);
    default: {
      const Eigen::PartialPivLU<MatrixXd> lu(s);
      // The pivots are the diagonal of U.
      if ((lu.matrixLU().diagonal().array() == 0.0).any()) {
        return false;
      }
      inverse = lu.inverse();
      return true;
    }
  }
}

void Filter::init(const Quaterniond& orientation, std::vector<ImuBias> biases, double position_std,
                  double velocity_std, double rotation_std, double bias_std) {
  state.biases = std::move(biases);
  state.position.setZero();
  state.velocity.setZero();
  state.orientation = orientation;
  const Index n = layout::state_size(state.biases.size());
  state.covariance.setZero(n, n);
  // P = diag(σ_p² I, σ_v² I, σ_θ² I, σ_b² I …)
  state.covariance.diagonal().segment<3>(kPosition).setConstant(position_std * position_std);
  state.covariance.diagonal().segment<3>(kVelocity).setConstant(velocity_std * velocity_std);
  state.covariance.diagonal().segment<3>(kAttitude).setConstant(rotation_std * rotation_std);
  state.covariance.diagonal().tail(n - layout::kCoreSize).setConstant(bias_std * bias_std);
}

void Filter::propagate(std::size_t imu_index, const Vector3d& gyro, const Vector3d& accel, double dt) {
  if (imu_index >= state.biases.size() || imu_index >= noise.size()) {
    throw std::out_of_range("index out of bounds");
  }
  MatrixXd& p = state.covariance;
  const Index n = p.rows();
  if (p.cols() != n || n != layout::state_size(state.biases.size())) {
    throw std::logic_error("covariance does not match the bias count");
  }
  const ImuBias& bias = state.biases[imu_index];
  const Vector3d omega = gyro - bias.gyro;
  const Vector3d a = accel - bias.accel;
  const Matrix3d r = rotation_matrix(state.orientation);
  const Index bg = layout::gyro_bias(imu_index);
  const Index ba = layout::accel_bias(imu_index);

  // F is the identity except for
  //   F[p, v] = dt I
  //   F[v, θ] = −R [a]× dt        F[v, b_a,i] = −R dt
  //   F[θ, θ] = I − [ω dt]×        F[θ, b_g,i] = −dt I
  const Matrix3d f_v_theta = -r * skew(a) * dt;
  const Matrix3d f_v_ba = -r * dt;
  const Matrix3d f_theta_theta = Matrix3d::Identity() - skew(omega * dt);

  // P ← F P Fᵀ without forming F: F P differs from P only in rows 0-8, and (F P) Fᵀ from F P only in
  // columns 0-8. The sums are the dense product's, less its terms with a zero factor.
  rows_.resize(9, n);
  rows_.middleRows<3>(kPosition) = p.middleRows<3>(kPosition) + dt * p.middleRows<3>(kVelocity);
  rows_.middleRows<3>(kVelocity) = p.middleRows<3>(kVelocity);
  rows_.middleRows<3>(kVelocity).noalias() += f_v_theta.lazyProduct(p.middleRows<3>(kAttitude));
  rows_.middleRows<3>(kVelocity).noalias() += f_v_ba.lazyProduct(p.middleRows<3>(ba));
  rows_.middleRows<3>(kAttitude).noalias() = f_theta_theta.lazyProduct(p.middleRows<3>(kAttitude));
  rows_.middleRows<3>(kAttitude) -= dt * p.middleRows<3>(bg);
  p.topRows<9>() = rows_;

  cols_.resize(n, 9);
  cols_.middleCols<3>(kPosition) = p.middleCols<3>(kPosition) + dt * p.middleCols<3>(kVelocity);
  cols_.middleCols<3>(kVelocity) = p.middleCols<3>(kVelocity);
  cols_.middleCols<3>(kVelocity).noalias() += p.middleCols<3>(kAttitude).lazyProduct(f_v_theta.transpose());
  cols_.middleCols<3>(kVelocity).noalias() += p.middleCols<3>(ba).lazyProduct(f_v_ba.transpose());
  cols_.middleCols<3>(kAttitude).noalias() = p.middleCols<3>(kAttitude).lazyProduct(f_theta_theta.transpose());
  cols_.middleCols<3>(kAttitude) -= dt * p.middleCols<3>(bg);
  p.leftCols<9>() = cols_;

  // + Q: σ² dt on the diagonal; white noise of IMU i on velocity and attitude, the random walks of every
  // IMU on its own bias blocks. Position has no noise of its own.
  const ImuNoise& q_i = noise[imu_index];
  p.diagonal().segment<3>(kVelocity).array() += q_i.accel_noise_density * q_i.accel_noise_density * dt;
  p.diagonal().segment<3>(kAttitude).array() += q_i.gyro_noise_density * q_i.gyro_noise_density * dt;
  for (std::size_t k = 0; k < noise.size(); ++k) {
    if (layout::accel_bias(k) + 3 > n) {
      throw std::out_of_range("process noise block outside the covariance");
    }
    const ImuNoise& q_k = noise[k];
    p.diagonal().segment<3>(layout::gyro_bias(k)).array() += q_k.gyro_random_walk * q_k.gyro_random_walk * dt;
    p.diagonal().segment<3>(layout::accel_bias(k)).array() += q_k.accel_random_walk * q_k.accel_random_walk * dt;
  }

  // Nominal state, every term from the state on entry:
  //   g_w = R a + (0, 0, −g);  p += v dt + ½ g_w dt²;  v += g_w dt;  q ← q ⊗ Exp(ω dt)
  const Vector3d g_w = r * a + Vector3d(0.0, 0.0, -gravity);
  state.position += state.velocity * dt + 0.5 * g_w * (dt * dt);
  state.velocity += g_w * dt;
  state.orientation = hamilton(state.orientation, exp_rotation(omega * dt));
}

bool Filter::update(const Eigen::Ref<const Eigen::VectorXd>& residual, const Eigen::Ref<const MatrixXd>& jacobian,
                    const Eigen::Ref<const Eigen::VectorXd>& variances, double gate) {
  MatrixXd& p = state.covariance;
  const Index m = residual.size();
  const Index n = p.rows();
  if (jacobian.rows() != m || variances.size() != m || jacobian.cols() != n || p.cols() != n ||
      n != layout::state_size(state.biases.size())) {
    throw std::invalid_argument("measurement sizes do not match the state");
  }
  const bool gated = gate > 0.0;  // false for NaN too
  if (m == 0) {
    // No rows: the distance 0 is not below the bound 0, and without a gate there is nothing to apply.
    return !gated;
  }

  // Each row of H touches few states: every product below runs over the columns of H that hold a
  // non-zero (J), so the cost follows m and |J| rather than n. The sums are the dense formulas' less their
  // terms with a zero factor, in another order. A non-finite covariance takes every column, so that its
  // NaNs reach S (and the gate) through the zero entries of H as they do in the dense products.
  touched_.clear();
  const bool finite = p.allFinite();
  for (Index c = 0; c < n; ++c) {
    if (!finite || (jacobian.col(c).array() != 0.0).any()) {
      touched_.push_back(c);
    }
  }
  const Index q = static_cast<Index>(touched_.size());
  h_touched_.resize(m, q);
  p_rows_.resize(q, n);
  for (Index j = 0; j < q; ++j) {
    h_touched_.col(j) = jacobian.col(touched_[static_cast<std::size_t>(j)]);
    p_rows_.row(j) = p.row(touched_[static_cast<std::size_t>(j)]);
  }
  // (1) S = (H P) Hᵀ + R
  hp_.noalias() = h_touched_ * p_rows_;
  gather_columns(hp_, touched_, touched_cols_);
  s_.noalias() = touched_cols_ * h_touched_.transpose();
  s_.diagonal() += variances;
  // (2) S⁻¹, refused only when S is exactly singular
  if (!invert_innovation(s_, s_inv_)) {
    return false;
  }
  // (3) Gate: d² = yᵀ S⁻¹ y must be below gate² m (a NaN distance is not)
  if (gated) {
    const double d2 = residual.dot(s_inv_ * residual);
    if (!(d2 < gate * gate * static_cast<double>(m))) {
      return false;
    }
  }
  // (4) K = (P Hᵀ) S⁻¹
  gather_columns(p, touched_, touched_cols_);
  pht_.noalias() = touched_cols_ * h_touched_.transpose();
  gain_.noalias() = pht_ * s_inv_;
  // (5) δx = K y
  dx_.noalias() = gain_ * residual;
  // (6) Joseph form, not symmetrised: P ← (A P) Aᵀ + (K R) Kᵀ with A = I − K H, evaluated as
  //   A P = P − K (H P)
  //   (A P) Aᵀ + (K R) Kᵀ = A P + (K R − (A P) Hᵀ) Kᵀ
  p.noalias() -= gain_ * hp_;
  gather_columns(p, touched_, touched_cols_);
  pht_.noalias() = touched_cols_ * h_touched_.transpose();
  kr_.noalias() = gain_ * variances.asDiagonal();
  kr_ -= pht_;
  p.noalias() += kr_ * gain_.transpose();
  // (7) Inject δx into the nominal state; every IMU's biases move, not only the last propagated one's.
  state.position += dx_.segment<3>(kPosition);
  state.velocity += dx_.segment<3>(kVelocity);
  state.orientation = hamilton(state.orientation, exp_rotation(dx_.segment<3>(kAttitude)));
  for (std::size_t k = 0; k < state.biases.size(); ++k) {
    state.biases[k].gyro += dx_.segment<3>(layout::gyro_bias(k));
    state.biases[k].accel += dx_.segment<3>(layout::accel_bias(k));
  }
  return true;
}

}  // namespace velk_slam::odometry_fusion
