// Cost of the fusion core: one in-order IMU sample with one and two IMUs (state 15 and 21), an odometry
// estimate in order and 0.5 s late (about 100 IMU events re-applied), and the filter's propagation against
// the same step done with dense F and Q. Prints one row per figure: name, value, unit, note (tab-separated).
#include "odometry_fusion/eskf.hpp"
#include "odometry_fusion/fusion_core.hpp"
#include "odometry_fusion/state_layout.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

namespace {

using namespace velk_slam;
using namespace velk_slam::odometry_fusion;
using Clock = std::chrono::steady_clock;
using Eigen::Vector3d;

constexpr int64_t kImuPeriodNs = 5'000'000;  // 200 Hz

void row(const std::string& name, double value, const char* unit, const std::string& note) {
  std::printf("%s\t%.6g\t%s\t%s\n", name.c_str(), value, unit, note.c_str());
}

double micros_since(Clock::time_point start, long count) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / static_cast<double>(count);
}

ImuConfig imu_entry(const std::string& frame) {
  ImuConfig imu;
  imu.frame_id = frame;
  imu.gyro_noise_density = 1.7e-4;
  imu.gyro_random_walk = 2e-5;
  imu.accel_noise_density = 2e-3;
  imu.accel_random_walk = 3e-3;
  imu.init_samples = 1;
  return imu;
}

OdometryFusionConfig config_with(std::size_t imu_count) {
  OdometryFusionConfig config;
  for (std::size_t k = 0; k < imu_count; ++k) {
    config.imus.push_back(imu_entry("imu" + std::to_string(k)));
  }
  SourceConfig wheel;
  wheel.parent_frame_id = "odom";
  wheel.child_frame_id = "wheel";
  wheel.pose_variances = {1e-3, 1e-3, 0.0, 0.0, 0.0, 1e-3};
  wheel.twist_variances = {1e-3, 1e-3, 0.0, 0.0, 0.0, 1e-3};
  config.odom_sources = {wheel};
  return config;
}

ImuSample sample(const std::string& frame, int64_t t, std::mt19937& rng) {
  std::normal_distribution<double> noise(0.0, 0.01);
  ImuSample s;
  s.frame_id = frame;
  s.timestamp_ns = t;
  s.angular_velocity = Vector3d(noise(rng), noise(rng), 0.2 + noise(rng));
  s.linear_acceleration = Vector3d(0.3 + noise(rng), noise(rng), 9.8 + noise(rng));
  return s;
}

OdometryEstimate wheel_estimate(int64_t t, double s) {
  OdometryEstimate e;
  e.frame_id = "odom";
  e.child_frame_id = "wheel";
  e.timestamp_ns = t;
  e.pose.translation = Vector3d(0.15 * s * s, 0.0, 0.0);
  e.pose.rotation = Eigen::Quaterniond(Eigen::AngleAxisd(0.2 * s, Vector3d::UnitZ()));
  e.twist_linear = Vector3d(0.3 * s, 0.0, 0.0);
  e.twist_angular = Vector3d(0.0, 0.0, 0.2);
  return e;
}

// Mean cost of handle_imu for in-order samples, the IMUs taking turns.
double imu_sample_cost(std::size_t imu_count, long samples) {
  FusionCore core(config_with(imu_count));
  std::mt19937 rng(1);
  Isometry mount;
  mount.translation = Vector3d(0.1, 0.02, 0.05);
  int64_t t = 1'000'000'000;
  for (std::size_t k = 0; k < imu_count; ++k) {
    ImuSample still = sample("imu" + std::to_string(k), t, rng);
    still.angular_velocity.setZero();
    (void)core.handle_imu(still, mount);
  }
  std::vector<ImuSample> stream;
  for (long i = 0; i < samples; ++i) {
    t += kImuPeriodNs / static_cast<int64_t>(imu_count);
    stream.push_back(sample("imu" + std::to_string(i % static_cast<long>(imu_count)), t, rng));
  }
  // The first 0.5 s fill the replay buffer to its steady size.
  const long warmup = 400;
  for (long i = 0; i < warmup; ++i) {
    (void)core.handle_imu(stream[static_cast<std::size_t>(i)], mount);
  }
  const auto start = Clock::now();
  for (long i = warmup; i < samples; ++i) {
    (void)core.handle_imu(stream[static_cast<std::size_t>(i)], mount);
  }
  return micros_since(start, samples - warmup);
}

// Mean cost of handle_source for an estimate `late_ns` behind the newest IMU sample; with
// wheel_between, wheel estimates at 50 Hz are in the buffer too and are re-applied as well.
double source_cost(int64_t late_ns, bool wheel_between, long rounds) {
  FusionCore core(config_with(1));
  std::mt19937 rng(2);
  int64_t t = 1'000'000'000;
  {
    ImuSample still = sample("imu0", t, rng);
    still.angular_velocity.setZero();
    (void)core.handle_imu(still, Isometry());
  }
  const int64_t t_start = t;
  double spent = 0.0;
  long measured = 0;
  for (long round = 0; round < rounds + 2; ++round) {
    // 0.5 s of IMU data (and wheel estimates at 50 Hz), then one estimate late_ns old.
    for (int i = 0; i < 100; ++i) {
      t += kImuPeriodNs;
      (void)core.handle_imu(sample("imu0", t, rng), Isometry());
      if (wheel_between && i % 4 == 1) {
        (void)core.handle_source(wheel_estimate(t - 1, static_cast<double>(t - t_start) * 1e-9));
      }
    }
    const int64_t stamp = t - late_ns;
    const OdometryEstimate estimate = wheel_estimate(stamp, static_cast<double>(stamp - t_start) * 1e-9);
    const auto start = Clock::now();
    (void)core.handle_source(estimate);
    if (round >= 2) {  // the first rounds only set the source's anchor
      spent += std::chrono::duration<double, std::micro>(Clock::now() - start).count();
      ++measured;
    }
  }
  if (core.counters().too_late != 0) {
    std::fprintf(stderr, "bench_fusion: %llu estimates were too late\n",
                 static_cast<unsigned long long>(core.counters().too_late));
  }
  return spent / static_cast<double>(measured);
}

// One propagation step with dense F and Q (the formulas as written) against ErrorStateFilter::propagate.
void propagation_costs(std::size_t imu_count, long steps, double& structured, double& dense) {
  ErrorStateFilter filter;
  for (std::size_t k = 0; k < imu_count; ++k) {
    filter.noise.push_back(ImuNoise{1.7e-4, 2e-5, 2e-3, 3e-3});
  }
  filter.init(Eigen::Quaterniond::Identity(), std::vector<ImuBias>(imu_count), 0.1, 0.1, 0.05, 0.01);
  const Vector3d gyro(0.01, -0.02, 0.2);
  const Vector3d accel(0.3, 0.01, 9.8);
  const double dt = 0.005;
  auto start = Clock::now();
  for (long i = 0; i < steps; ++i) {
    filter.propagate(0, gyro, accel, dt);
  }
  structured = micros_since(start, steps);

  const Eigen::Index n = layout::state_size(imu_count);
  Eigen::MatrixXd p = filter.state.covariance;
  Eigen::MatrixXd f(n, n);
  Eigen::MatrixXd q(n, n);
  Eigen::MatrixXd fp(n, n);
  start = Clock::now();
  for (long i = 0; i < steps; ++i) {
    const Eigen::Matrix3d r = rotation_matrix(filter.state.orientation);
    f.setIdentity();
    f.block<3, 3>(0, 3) = dt * Eigen::Matrix3d::Identity();
    f.block<3, 3>(3, 6) = -r * skew(accel) * dt;
    f.block<3, 3>(3, layout::accel_bias(0)) = -r * dt;
    f.block<3, 3>(6, 6) = Eigen::Matrix3d::Identity() - skew(gyro * dt);
    f.block<3, 3>(6, layout::gyro_bias(0)) = -dt * Eigen::Matrix3d::Identity();
    q.setZero();
    for (Eigen::Index j = 3; j < n; ++j) {
      q(j, j) = 1e-6 * dt;
    }
    fp.noalias() = f * p;
    p.noalias() = fp * f.transpose();
    p += q;
  }
  dense = micros_since(start, steps);
  if (!p.allFinite()) {
    std::fprintf(stderr, "bench_fusion: dense propagation diverged\n");
  }
}

}  // namespace

int main() {
  const double one_imu = imu_sample_cost(1, 200'000);
  const double two_imus = imu_sample_cost(2, 200'000);
  row("fusion_handle_imu_state15", one_imu, "us", "one in-order sample, 1 IMU, target <= 1.5");
  row("fusion_handle_imu_state21", two_imus, "us", "one in-order sample, 2 IMUs, target <= 3");

  const double in_order = source_cost(0, false, 2000);
  const double late = source_cost(490'000'000, false, 2000);
  const double late_with_wheel = source_cost(490'000'000, true, 1000);
  row("fusion_source_in_order", in_order, "us", "pose + twist rows (6), 1 IMU");
  row("fusion_source_late_0.49s", late, "us", "~98 IMU events re-applied, target <= 150");
  row("fusion_source_late_0.49s_wheel_50hz", late_with_wheel, "us", "~98 IMU + 24 wheel events re-applied");

  for (std::size_t imu_count : {1u, 2u}) {
    double structured = 0, dense = 0;
    propagation_costs(imu_count, 200'000, structured, dense);
    const std::string n = std::to_string(layout::state_size(imu_count));
    row("fusion_propagate_state" + n, structured, "us", "F P F^T + Q using the block structure of F and Q");
    row("fusion_propagate_dense_state" + n, dense, "us", "the same step with dense F and Q");
    row("fusion_propagate_speedup_state" + n, dense / structured, "x", "dense / structured");
  }
  return 0;
}
