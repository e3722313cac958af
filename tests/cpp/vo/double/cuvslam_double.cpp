#include "cuvslam_double.hpp"

#include <cstring>
#include <stdexcept>

namespace cuvslam_double {

Outcome Outcome::pose_at(std::array<float, 3> translation, std::array<float, 4> rotation, float variance) {
  Outcome o;
  o.kind = Kind::Pose;
  o.pose.translation = translation;
  o.pose.rotation = rotation;
  for (int i = 0; i < 6; ++i) o.covariance[static_cast<size_t>(7 * i)] = variance;
  return o;
}

Script& script() {
  static Script s;
  return s;
}

void reset() {
  const int live = script().live;
  script() = Script{};
  script().live = live;
}

namespace {

SeenImage copy_image(const cuvslam::Image& image) {
  SeenImage seen;
  seen.header = image;
  const size_t channels = image.encoding == cuvslam::Image::Encoding::RGB ? 3 : 1;
  const size_t sample = image.data_type == cuvslam::Image::DataType::Float32 ? 4 : image.data_type == cuvslam::Image::DataType::UInt16 ? 2 : 1;
  const size_t size = static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * channels * sample;
  seen.bytes.resize(size);
  if (size > 0) std::memcpy(seen.bytes.data(), image.pixels, size);  // ASan flags a short buffer here
  return seen;
}

struct UnknownThrowable {};

}  // namespace

}  // namespace cuvslam_double

namespace cuvslam {

struct Odometry::Impl {};

Odometry::Odometry(const Rig& rig, const Config& config) {
  cuvslam_double::Script& s = cuvslam_double::script();
  s.constructions.emplace_back(rig, config);
  if (s.fail_unknown) throw cuvslam_double::UnknownThrowable{};
  const std::optional<std::string>& failure = config.use_gpu ? s.fail_gpu : s.fail_cpu;
  if (failure.has_value()) throw std::runtime_error(*failure);
  impl_ = std::make_unique<Impl>();
  s.live += 1;
}

Odometry::~Odometry() { cuvslam_double::script().live -= 1; }

PoseEstimate Odometry::Track(const std::vector<Image>& images, const std::vector<Image>& /*masks*/,
                             const std::vector<Image>& depths, void* /*internals*/) {
  cuvslam_double::Script& s = cuvslam_double::script();
  cuvslam_double::TrackCall call;
  for (const Image& image : images) call.images.push_back(cuvslam_double::copy_image(image));
  for (const Image& depth : depths) call.depths.push_back(cuvslam_double::copy_image(depth));
  call.imu_before = s.imu.size();
  s.tracks.push_back(std::move(call));

  const cuvslam_double::Outcome outcome = s.outcomes.empty() ? cuvslam_double::Outcome{} : s.outcomes.front();
  if (!s.outcomes.empty()) s.outcomes.pop_front();
  if (outcome.kind == cuvslam_double::Outcome::Kind::Throw) throw std::runtime_error(outcome.message);
  PoseEstimate estimate;
  estimate.timestamp_ns = outcome.timestamp_ns.value_or(images.empty() ? 0 : images.front().timestamp_ns);
  if (outcome.kind == cuvslam_double::Outcome::Kind::Pose) {
    estimate.world_from_rig = PoseWithCovariance{outcome.pose, outcome.covariance};
  }
  return estimate;
}

void Odometry::RegisterImuMeasurement(uint32_t /*sensor_index*/, const ImuMeasurement& measurement) {
  cuvslam_double::Script& s = cuvslam_double::script();
  if (s.imu_failure.has_value()) throw std::runtime_error(*s.imu_failure);
  s.imu.push_back(measurement);
}

}  // namespace cuvslam
