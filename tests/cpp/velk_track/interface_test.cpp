// The tracker's public interface: what construction, Track and RegisterImuMeasurement refuse,
// with which message, and that a refusal leaves the tracker usable.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include "cuvslam/cuvslam.h"
#include "velk_track/image_pyramid.hpp"
#include "sequence.hpp"

namespace {

using cuvslam::Odometry;
using Mode = cuvslam::Odometry::OdometryMode;
using DataType = cuvslam::Image::DataType;

const float kNaN = std::numeric_limits<float>::quiet_NaN(), kInf = std::numeric_limits<float>::infinity();

// The message of what `f` throws (bad input is an invalid_argument; anything else is marked), ""
// when it throws nothing.
std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("runtime error: ") + e.what();
  }
  return "";
}

// A 320 x 240 stereo pair, or its left camera alone, with `imus` IMUs.
cuvslam::Rig rig(size_t cameras = 2, size_t imus = 0) {
  cuvslam::Rig r;
  for (const auto& c : seq::stereo_cameras(320, 240, false)) r.cameras.push_back(seq::to_camera(c));
  r.cameras.resize(cameras);
  r.imus.resize(imus);
  for (auto& imu : r.imus) imu.gyroscope_noise_density = 1e-3f, imu.frequency = 200.f;
  return r;
}

Odometry::Config cpu(Mode mode = Mode::Multicamera) {
  Odometry::Config c;
  c.use_gpu = false, c.odometry_mode = mode;
  c.rgbd_settings.depth_camera_id = 0;  // read in RGB-D mode only
  return c;
}

cuvslam::Image image(const void* pixels, uint32_t camera = 0, int64_t t_ns = 1000, DataType type = DataType::UInt8) {
  cuvslam::Image img;
  img.pixels = pixels, img.width = 320, img.height = 240;
  img.timestamp_ns = t_ns, img.camera_index = camera, img.data_type = type;
  return img;
}

using R = cuvslam::Rig&;
using C = Odometry::Config&;

TEST(Construction, RefusesWithItsMessageOrAccepts) {
  const auto as_is = [](R, C) {};
  const Mode inertial = Mode::Inertial, stereo = Mode::Multicamera, multi = Mode::Multisensor;
  const struct {
    Mode mode;
    size_t cameras, imus;
    std::function<void(R, C)> change;
    const char* message;  // "" for a rig that must be accepted (stereo, RGB-D and inertial rigs: below)
  } cases[] = {
      {stereo, 2, 0, [](R, C c) { c.use_gpu = true; }, "runtime error: this build has no GPU backend"},
      {static_cast<Mode>(7), 2, 0, as_is, "odometry mode 7 is not one of 0 (multicamera), 1 (inertial), 2 (RGB-D), 3 (monocular), 4 (multisensor)"},
      {stereo, 1, 0, as_is, "odometry mode 0 needs at least 2 cameras, got 1"},
      {multi, 1, 0, as_is, "odometry mode 4 needs at least 2 cameras, got 1"},
      {multi, 1, 0, [](R, C c) { c.depth_camera_ids = {0}; }, ""},  // one camera with depth
      {stereo, 2, 0, [](R r, C) { r.cameras[1].focal[0] = 0.f; }, "camera 1 has focal lengths (0, 256); both must be positive and finite"},
      {stereo, 2, 0, [](R r, C) { r.cameras[0].focal[1] = kNaN; }, "camera 0 has focal lengths (256, nan); both must be positive and finite"},
      {stereo, 2, 0, [](R r, C) { r.cameras[0].size[0] = 0; }, "camera 0 has size 0x240; width and height must be between 32 and 32768 pixels"},
      {stereo, 2, 0, [](R r, C) { r.cameras[0].principal[0] = kInf; }, "camera 0 has a non-finite principal point"},
      {stereo, 2, 0, [](R r, C) { r.cameras[1].rig_from_camera.translation[2] = kInf; }, "camera 1 rig_from_camera has a non-finite translation"},
      {stereo, 2, 0, [](R r, C) { r.cameras[0].rig_from_camera.rotation = {0, 0, 0, 0}; },
       "camera 0 rig_from_camera has a rotation of norm 0, not a unit quaternion"},
      {stereo, 2, 0, [](R r, C) { r.cameras[0].distortion = {cuvslam::Distortion::Model::Brown, {0.1f, 0.f, 0.f}}; },
       "camera 0 has 3 distortion coefficients; the Brown model takes five (k1, k2, k3, p1, p2)"},
      {inertial, 2, 0, as_is, "odometry mode 1 (inertial) needs an IMU calibration in the rig"},
      {stereo, 2, 1, as_is, "odometry mode 0 does not use an IMU; only modes 1 and 4 take an IMU calibration"},
      {inertial, 2, 2, as_is, "the rig has 2 IMUs; this tracker reads one"},
      {inertial, 2, 1, [](R r, C) { r.imus[0].frequency = 0.f; }, "IMU frequency must be positive and finite, got 0"},
      {Mode::RGBD, 1, 0, [](R, C c) { c.rgbd_settings.depth_camera_id = 1; }, "rgbd_settings.depth_camera_id 1 is not a camera of the 1-camera rig"},
      {Mode::RGBD, 1, 0, [](R, C c) { c.rgbd_settings.depth_scale_factor = 0.f; },
       "rgbd_settings.depth_scale_factor must be positive and finite, got 0"},
      {multi, 2, 0, [](R, C c) { c.depth_camera_ids = {0, 0}; }, "depth_camera_ids names camera 0 twice"},
      {multi, 2, 0, [](R, C c) { c.depth_camera_ids = {0, 2}; }, "depth_camera_ids[1] is 2, not a camera of the 2-camera rig"},
      {multi, 2, 0, [](R, C c) { c.depth_camera_ids = {1}, c.multisensor_depth_scale_factor = kNaN; },
       "multisensor_depth_scale_factor must be positive and finite, got nan"},
      {stereo, 2, 0, [](R, C c) { c.depth_camera_ids = {0}; }, "depth_camera_ids is read in odometry mode 4 only; mode 0 got 1 ids"},
      {stereo, 2, 0, [](R r, C) { r.cameras[1].rig_from_camera = r.cameras[0].rig_from_camera; },
       "cameras 0 and 1 sit 0 m apart; stereo needs a baseline of at least 1 mm"},
      {stereo, 2, 0, [](R, C c) { c.flow_window = 8; }, "flow_window is 8; it must be odd and lie in 5 ... 31"},
      {stereo, 2, 0, [](R, C c) { c.max_depth_m = 0.1f; }, "max_depth_m must be finite and above min_depth_m (0.3), got 0.1"},
  };
  for (const auto& c : cases) {
    cuvslam::Rig r = rig(c.cameras, c.imus);
    Odometry::Config config = cpu(c.mode);
    c.change(r, config);
    EXPECT_EQ(error_of([&] { Odometry odom(r, config); }), c.message);
  }
}

// Malformed frame sets, on a stereo rig and on an RGB-D one: each refused with its message; none of
// the refusals consumes a stamp, so the same stamp tracks afterwards, and then only later ones.
TEST(Track, RefusesMalformedFrameSetsAndStaysUsable) {
  const std::vector<uint8_t> grey(320 * 240, 128);
  const std::vector<uint16_t> mm(320 * 240, 2000);
  Odometry stereo(rig(), cpu()), rgbd(rig(1), cpu(Mode::RGBD));
  const auto left = image(grey.data()), right = image(grey.data(), 1);
  const auto depth = image(mm.data(), 0, 1000, DataType::UInt16);
  auto with = [](cuvslam::Image img, const std::function<void(cuvslam::Image&)>& change) { return change(img), img; };
  const struct {
    Odometry* odom;
    std::vector<cuvslam::Image> images, depths;
    const char* message;
  } cases[] = {
      {&stereo, {}, {}, "Track got no images; a frame set has one image per camera"},
      {&stereo, {left}, {}, "no image for camera 1; a frame set has one image per camera"},
      {&stereo, {with(left, [](auto& i) { i.width = 100; }), right}, {}, "image for camera 0 is 100x240, but the camera is calibrated for 320x240"},
      {&stereo, {left, image(grey.data(), 5)}, {}, "image for camera 5, but the rig has 2 cameras"},
      {&stereo, {left, left}, {}, "two images for camera 0"},
      {&stereo, {left, image(grey.data(), 1, 2000)}, {}, "images of one frame set carry different stamps (1000 and 2000 ns)"},
      {&stereo, {with(left, [](auto& i) { i.pixels = nullptr; }), right}, {}, "image of camera 0 has no pixel buffer"},
      {&stereo, {with(left, [](auto& i) { i.pitch = 100; }), right}, {},
       "image of camera 0 has a row pitch of 100 bytes, less than the 320 bytes of one row"},
      {&stereo, {with(left, [](auto& i) { i.data_type = DataType::UInt16; }), right}, {},
       "image of camera 0 must have 8-bit samples (data type UInt8)"},
      {&stereo, {with(left, [](auto& i) { i.is_gpu_mem = true; }), right}, {},
       "image of camera 0 is in GPU memory; this build reads host memory only"},
      {&stereo, {left, right}, {left}, "depth image for camera 0, which is not a depth camera of this rig and mode"},
      {&rgbd, {left}, {with(depth, [](auto& i) { i.encoding = cuvslam::Image::Encoding::RGB; })}, "depth image of camera 0 must have one channel"},
      {&rgbd, {left}, {with(depth, [](auto& i) { i.data_type = DataType::UInt8; })},
       "depth image of camera 0 must have 16-bit unsigned or 32-bit float samples"},
      {&rgbd, {left}, {with(depth, [](auto& i) { i.height = 10; })},
       "depth image for camera 0 is 320x10; aligned depth must match the camera's 320x240"},
      {&rgbd, {left}, {depth}, ""},
      {&stereo, {left, right}, {}, ""},
      {&stereo, {left, right}, {}, "frame set stamped 1000 ns is not after the last one at 1000 ns"},
      {&stereo, {image(grey.data(), 1, 1001), image(grey.data(), 0, 1001)}, {}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of([&] { c.odom->Track(c.images, {}, c.depths); }), c.message);
}

std::string imu_error(Odometry& odom, uint32_t sensor, int64_t t_ns, float w = 0.f, float a = 9.81f) {
  cuvslam::ImuMeasurement m;
  m.timestamp_ns = t_ns, m.angular_velocities = {w, 0.f, 0.f}, m.linear_accelerations = {0.f, 0.f, a};
  return error_of([&] { odom.RegisterImuMeasurement(sensor, m); });
}

TEST(Imu, OnlyInTimeOrderFromSensorZeroToModesThatReadIt) {
  Odometry stereo(rig(), cpu()), multisensor(rig(), cpu(Mode::Multisensor));
  EXPECT_EQ(imu_error(stereo, 0, 10), "odometry mode 0 does not read IMU measurements; only modes 1 and 4 do");
  EXPECT_EQ(imu_error(multisensor, 0, 10), "this multisensor rig has no IMU calibration, so IMU measurements cannot be used");
  for (Mode mode : {Mode::Inertial, Mode::Multisensor}) {
    Odometry odom(rig(2, 1), cpu(mode));
    EXPECT_EQ(imu_error(odom, 0, 100), "");
    EXPECT_EQ(imu_error(odom, 0, 100), "");  // an equal stamp is not older
    EXPECT_EQ(imu_error(odom, 0, 99),
              "IMU measurement at 99 ns is older than the previous one at 100 ns; measurements must arrive in time order");
    EXPECT_EQ(imu_error(odom, 1, 200), "sensor_index 1 is not an IMU of the rig; its one IMU is sensor 0");
    EXPECT_EQ(imu_error(odom, 0, 150, kNaN), "IMU measurement at 150 ns has a non-finite angular velocity");
    // Off the scale of any IMU: a corrupt sample. A saturated 16 g accelerometer is a reading.
    EXPECT_EQ(imu_error(odom, 0, 150, 200.f), "IMU measurement at 150 ns has an angular velocity of 200 rad/s, beyond any gyroscope's range");
    EXPECT_EQ(imu_error(odom, 0, 150, 0.f, -1e4f), "IMU measurement at 150 ns has an acceleration of -10000 m/s^2, beyond any accelerometer's range");
    EXPECT_EQ(imu_error(odom, 0, 100, 30.f, 16 * 9.81f), "");
    // Refused samples do not move the clock: 101 is still after the last accepted one.
    EXPECT_EQ(imu_error(odom, 0, 101), "");
  }
}

// Colour reads as its luma, row padding is skipped; 16-bit depth is in units of the scale (0 for no
// depth), float depth in metres whatever the scale, with NaN, negative and infinite samples read as no depth.
TEST(PixelFormats, GreyAndDepthAsTheyHold) {
  constexpr int kW = 40, kH = 3, kPitch = 3 * kW + 7;
  std::vector<uint8_t> rgb(static_cast<size_t>(kPitch) * kH, 0xEE);  // padding bytes must not be read
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      uint8_t* p = &rgb[static_cast<size_t>(y * kPitch + 3 * x)];
      p[0] = static_cast<uint8_t>(5 * x), p[1] = static_cast<uint8_t>(60 + y), p[2] = static_cast<uint8_t>(200 - x);
    }
  cuvslam::Image img = image(rgb.data());
  img.width = kW, img.height = kH, img.pitch = kPitch, img.encoding = cuvslam::Image::Encoding::RGB;
  velk_track::GreyImage grey;
  velk_track::read_grey(img, &grey);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) EXPECT_NEAR(grey.at(x, y), 0.299 * (5 * x) + 0.587 * (60 + y) + 0.114 * (200 - x), 1e-3) << x << "," << y;

  const uint16_t mm[4] = {0, 1500, 65535, 1};
  const float metres[4] = {2.25f, kNaN, -1.f, kInf};
  for (auto [d, expected] : {std::pair{image(mm, 0, 0, DataType::UInt16), std::array<float, 4>{0.f, 1.5f, 65.535f, 0.001f}},
                             std::pair{image(metres, 0, 0, DataType::Float32), std::array<float, 4>{2.25f, 0.f, 0.f, 0.f}}}) {
    d.width = 4, d.height = 1;
    velk_track::read_depth(d, 1000.f, &grey);
    for (int x = 0; x < 4; ++x) EXPECT_FLOAT_EQ(grey.at(x, 0), expected[static_cast<size_t>(x)]) << x;
  }
}

// Stamps at both ends of the int64 range and pure-noise images: refused or tracked, never a
// crash, and (under the sanitizers) no signed overflow in stamp differences.
TEST(Robustness, ExtremeStampsAndNoiseImages) {
  Odometry odom(rig(2, 1), cpu(Mode::Inertial));
  std::mt19937 rng(9);
  std::vector<uint8_t> a(320 * 240), b(320 * 240);
  const int64_t lo = std::numeric_limits<int64_t>::min(), hi = std::numeric_limits<int64_t>::max();
  for (int64_t t : {lo, lo + 5'000'000, int64_t{0}, hi - 1, hi}) {
    for (auto* img : {&a, &b})
      for (auto& p : *img) p = static_cast<uint8_t>(rng());
    EXPECT_EQ(imu_error(odom, 0, t, 0.3f), "");
    EXPECT_EQ(odom.Track({image(a.data(), 0, t), image(b.data(), 1, t)}).timestamp_ns, t);
  }
}

}  // namespace
