// Cost of the filter's measurement update for the six rows of a planar wheel source (x, y and yaw of the
// pose, forward and lateral speed and yaw rate of the twist) at states 15, 21, 33 and 51 (1, 2, 4 and 7
// IMUs), against the same update written densely as the formulas read: S = H P Hᵀ + R with an explicit
// inverse, K = P Hᵀ S⁻¹, A = I − K H, P ← A P Aᵀ + K R Kᵀ. Medians of interleaved repetitions, each applying
// the same measurement to the same prior. Prints one row per figure: name, value, unit, note (tab-separated).
#include "odometry_fusion/eskf.hpp"
#include "odometry_fusion/state_layout.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace velk_slam::odometry_fusion;
using Clock = std::chrono::steady_clock;
using Eigen::MatrixXd;
using Eigen::VectorXd;

volatile double g_sink = 0.0;  // keeps measured results alive

void row(const std::string& name, double value, const char* unit, const std::string& note) {
  std::printf("%s\t%.6g\t%s\t%s\n", name.c_str(), value, unit, note.c_str());
}

double median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// A filter with a correlated covariance, as after a while of propagation.
ErrorStateFilter settled_filter(std::size_t imus) {
  ErrorStateFilter filter;
  for (std::size_t k = 0; k < imus; ++k) filter.noise.push_back(ImuNoise{1.7e-4, 2e-5, 2e-3, 3e-3});
  filter.init(Eigen::Quaterniond::Identity(), std::vector<ImuBias>(imus), 0.1, 0.1, 0.05, 0.01);
  for (int i = 0; i < 400; ++i) {
    filter.propagate(static_cast<std::size_t>(i) % imus, Eigen::Vector3d(0.01, -0.02, 0.2),
                     Eigen::Vector3d(0.3, 0.01, 9.8), 0.005);
  }
  return filter;
}

// The dense formulas, evaluated as written.
struct Dense {
  MatrixXd s, s_inv, k, a, p;
  void update(const MatrixXd& p0, const VectorXd& y, const MatrixXd& h, const VectorXd& r) {
    const Eigen::Index n = p0.rows();
    s.noalias() = h * p0 * h.transpose();
    s.diagonal() += r;
    s_inv = s.inverse();
    k.noalias() = p0 * h.transpose() * s_inv;
    a = MatrixXd::Identity(n, n);
    a.noalias() -= k * h;
    p.noalias() = a * p0 * a.transpose();
    p.noalias() += k * r.asDiagonal() * k.transpose();
    g_sink = g_sink + (k * y)[0];
  }
};

void state_size(std::size_t imus) {
  const ErrorStateFilter prior = settled_filter(imus);
  const Eigen::Index n = prior.state.covariance.rows();
  MatrixXd h = MatrixXd::Zero(6, n);
  h(0, layout::kPosition) = 1.0;
  h(1, layout::kPosition + 1) = 1.0;
  h(2, layout::kAttitude + 2) = 1.0;
  h.block<2, 3>(3, layout::kVelocity) << 1.0, 0.01, 0.0, -0.01, 1.0, 0.0;
  h.block<2, 3>(3, layout::kAttitude) << 0.0, 0.0, 0.02, 0.0, 0.0, -0.3;
  h(5, layout::gyro_bias(0) + 2) = -1.0;
  VectorXd y(6);
  y << 0.01, -0.02, 0.001, 0.02, 0.0, 0.001;
  const VectorXd r = VectorXd::Constant(6, 1e-3);

  ErrorStateFilter filter = prior;
  Dense dense;
  std::vector<double> rows_us, dense_us;
  constexpr int kRounds = 20001;
  for (int i = 0; i < kRounds; ++i) {
    filter.state = prior.state;
    Clock::time_point start = Clock::now();
    const bool applied = filter.update(y, h, r, 5.0);
    rows_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    start = Clock::now();
    dense.update(prior.state.covariance, y, h, r);
    dense_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (!applied) std::fprintf(stderr, "bench_update: the measurement was refused\n");
  }
  const double scale = dense.p.cwiseAbs().maxCoeff();
  const double gap = (filter.state.covariance - dense.p).cwiseAbs().maxCoeff() / scale;
  const double ours = median(rows_us), theirs = median(dense_us);
  const std::string name = "fusion update 6 rows state " + std::to_string(n);
  row(name, ours, "us", n == 33 ? "target <= 6" : "");
  row(name + ", dense formulas", theirs, "us", "");
  char note[64];
  std::snprintf(note, sizeof note, "covariance gap %.1e of max |P|", gap);
  row(name + ", dense / filter", theirs / ours, "ratio", note);
}

}  // namespace

int main() {
  for (std::size_t imus : {1u, 2u, 4u, 7u}) state_size(imus);
  return 0;
}
