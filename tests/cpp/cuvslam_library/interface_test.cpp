// The tracker's public interface: what construction, Track and RegisterImuMeasurement refuse,
// with which message, and that a refusal leaves the tracker usable.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include "cuvslam/cuvslam.h"
#include "cuvslam/image_pyramid.hpp"
#include "sequence.hpp"

namespace {

using cuvslam::Odometry;
using Mode = cuvslam::Odometry::OdometryMode;

std::string construction_error(const cuvslam::Rig& rig, const Odometry::Config& config) {
  try {
    Odometry odom(rig, config);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

cuvslam::Rig stereo_rig() {
  cuvslam::Rig rig;
  rig.cameras = {seq::to_camera(seq::forward_camera(320, 240, 0.06)), seq::to_camera(seq::forward_camera(320, 240, -0.06))};
  return rig;
}

cuvslam::ImuCalibration imu() {
  cuvslam::ImuCalibration c;
  c.gyroscope_noise_density = 1e-3f;
  c.frequency = 200.f;
  return c;
}

Odometry::Config cpu(Mode mode = Mode::Multicamera) {
  Odometry::Config c;
  c.use_gpu = false;
  c.odometry_mode = mode;
  return c;
}

struct ConstructionCase {
  const char* name;
  std::function<void(cuvslam::Rig&, Odometry::Config&)> change;
  const char* message;  // "" for a rig that must be accepted
};

class Construction : public ::testing::TestWithParam<ConstructionCase> {};

TEST_P(Construction, RefusesWithItsMessageOrAccepts) {
  cuvslam::Rig rig = stereo_rig();
  Odometry::Config config = cpu();
  GetParam().change(rig, config);
  EXPECT_EQ(construction_error(rig, config), GetParam().message);
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Rigs, Construction,
    ::testing::Values(
        ConstructionCase{"stereo", [](auto&, auto&) {}, ""},
        ConstructionCase{"gpu", [](auto&, auto& c) { c.use_gpu = true; }, "this build has no GPU backend"},
        ConstructionCase{"mode_7", [](auto&, auto& c) { c.odometry_mode = static_cast<Mode>(7); },
                         "odometry mode 7 is not one of 0 (multicamera), 1 (inertial), 2 (RGB-D), 3 (monocular), "
                         "4 (multisensor)"},
        ConstructionCase{"stereo_one_camera", [](auto& r, auto&) { r.cameras.pop_back(); },
                         "odometry mode 0 needs at least 2 cameras, got 1"},
        ConstructionCase{"multisensor_one_camera_no_depth",
                         [](auto& r, auto& c) {
                           r.cameras.pop_back();
                           c.odometry_mode = Mode::Multisensor;
                         },
                         "odometry mode 4 needs at least 2 cameras, got 1"},
        ConstructionCase{"multisensor_one_depth_camera",
                         [](auto& r, auto& c) {
                           r.cameras.pop_back();
                           c.odometry_mode = Mode::Multisensor;
                           c.depth_camera_ids = {0};
                         },
                         ""},
        ConstructionCase{"mono_one_camera",
                         [](auto& r, auto& c) {
                           r.cameras.pop_back();
                           c.odometry_mode = Mode::Mono;
                         },
                         ""},
        ConstructionCase{"zero_focal", [](auto& r, auto&) { r.cameras[1].focal[0] = 0.f; },
                         "camera 1 has focal lengths (0, 256); both must be positive and finite"},
        ConstructionCase{"nan_focal", [](auto& r, auto&) { r.cameras[0].focal[1] = kNaN; },
                         "camera 0 has focal lengths (256, nan); both must be positive and finite"},
        ConstructionCase{"zero_width", [](auto& r, auto&) { r.cameras[0].size[0] = 0; },
                         "camera 0 has size 0x240; width and height must be between 32 and 32768 pixels"},
        ConstructionCase{"inf_principal", [](auto& r, auto&) { r.cameras[0].principal[0] = kInf; },
                         "camera 0 has a non-finite principal point"},
        ConstructionCase{"inf_translation", [](auto& r, auto&) { r.cameras[1].rig_from_camera.translation[2] = kInf; },
                         "camera 1 rig_from_camera has a non-finite translation"},
        ConstructionCase{"zero_quaternion",
                         [](auto& r, auto&) { r.cameras[0].rig_from_camera.rotation = {0.f, 0.f, 0.f, 0.f}; },
                         "camera 0 rig_from_camera has a rotation of norm 0, not a unit quaternion"},
        ConstructionCase{"brown_three_coefficients",
                         [](auto& r, auto&) {
                           r.cameras[0].distortion.model = cuvslam::Distortion::Model::Brown;
                           r.cameras[0].distortion.parameters = {0.1f, 0.f, 0.f};
                         },
                         "camera 0 has 3 distortion coefficients; the Brown model takes five (k1, k2, k3, p1, p2)"},
        ConstructionCase{"inertial_without_imu", [](auto&, auto& c) { c.odometry_mode = Mode::Inertial; },
                         "odometry mode 1 (inertial) needs an IMU calibration in the rig"},
        ConstructionCase{"inertial", [](auto& r, auto& c) {
                           c.odometry_mode = Mode::Inertial;
                           r.imus = {imu()};
                         },
                         ""},
        ConstructionCase{"stereo_with_imu", [](auto& r, auto&) { r.imus = {imu()}; },
                         "odometry mode 0 does not use an IMU; only modes 1 and 4 take an IMU calibration"},
        ConstructionCase{"two_imus",
                         [](auto& r, auto& c) {
                           c.odometry_mode = Mode::Inertial;
                           r.imus = {imu(), imu()};
                         },
                         "the rig has 2 IMUs; this tracker reads one"},
        ConstructionCase{"imu_zero_frequency",
                         [](auto& r, auto& c) {
                           c.odometry_mode = Mode::Inertial;
                           r.imus = {imu()};
                           r.imus[0].frequency = 0.f;
                         },
                         "IMU frequency must be positive and finite, got 0"},
        ConstructionCase{"rgbd_depth_id_outside",
                         [](auto& r, auto& c) {
                           r.cameras.pop_back();
                           c.odometry_mode = Mode::RGBD;
                           c.rgbd_settings.depth_camera_id = 1;
                         },
                         "rgbd_settings.depth_camera_id 1 is not a camera of the 1-camera rig"},
        ConstructionCase{"rgbd_zero_scale",
                         [](auto& r, auto& c) {
                           r.cameras.pop_back();
                           c.odometry_mode = Mode::RGBD;
                           c.rgbd_settings.depth_camera_id = 0;
                           c.rgbd_settings.depth_scale_factor = 0.f;
                         },
                         "rgbd_settings.depth_scale_factor must be positive and finite, got 0"},
        ConstructionCase{"multisensor_depth_twice",
                         [](auto&, auto& c) {
                           c.odometry_mode = Mode::Multisensor;
                           c.depth_camera_ids = {0, 0};
                         },
                         "depth_camera_ids names camera 0 twice"},
        ConstructionCase{"multisensor_depth_outside",
                         [](auto&, auto& c) {
                           c.odometry_mode = Mode::Multisensor;
                           c.depth_camera_ids = {0, 2};
                         },
                         "depth_camera_ids[1] is 2, not a camera of the 2-camera rig"},
        ConstructionCase{"multisensor_nan_scale",
                         [](auto&, auto& c) {
                           c.odometry_mode = Mode::Multisensor;
                           c.depth_camera_ids = {1};
                           c.multisensor_depth_scale_factor = kNaN;
                         },
                         "multisensor_depth_scale_factor must be positive and finite, got nan"},
        ConstructionCase{"depth_ids_outside_multisensor", [](auto&, auto& c) { c.depth_camera_ids = {0}; },
                         "depth_camera_ids is read in odometry mode 4 only; mode 0 got 1 ids"},
        ConstructionCase{"stereo_without_baseline",
                         [](auto& r, auto&) { r.cameras[1].rig_from_camera = r.cameras[0].rig_from_camera; },
                         "cameras 0 and 1 sit 0 m apart; stereo needs a baseline of at least 1 mm"},
        ConstructionCase{"even_flow_window", [](auto&, auto& c) { c.flow_window = 8; },
                         "flow_window is 8; it must be odd and lie in 5 ... 31"},
        ConstructionCase{"depth_range_inverted", [](auto&, auto& c) { c.max_depth_m = 0.1f; },
                         "max_depth_m must be finite and above min_depth_m (0.3), got 0.1"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Track refusals -------------------------------------------------------------------------

struct TrackFixture : ::testing::Test {
  TrackFixture() : odom(stereo_rig(), cpu()), grey(320 * 240, 128) {}

  cuvslam::Image image(uint32_t camera, int64_t t_ns = 1000) const {
    cuvslam::Image img;
    img.pixels = grey.data();
    img.width = 320;
    img.height = 240;
    img.timestamp_ns = t_ns;
    img.camera_index = camera;
    return img;
  }

  std::string track_error(const std::vector<cuvslam::Image>& images, const std::vector<cuvslam::Image>& depths = {}) {
    try {
      odom.Track(images, {}, depths);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }

  Odometry odom;
  std::vector<uint8_t> grey;
};

TEST_F(TrackFixture, RefusesMalformedFrameSetsAndStaysUsable) {
  auto left = image(0), right = image(1);
  auto small = image(0);
  small.width = 100;
  auto stray = image(5);
  auto null = image(0);
  null.pixels = nullptr;
  auto tight_pitch = image(0);
  tight_pitch.pitch = 100;
  auto wide = image(0);
  wide.data_type = cuvslam::Image::DataType::UInt16;
  auto gpu = image(0);
  gpu.is_gpu_mem = true;
  auto late = image(1, 2000);
  const struct {
    std::vector<cuvslam::Image> images;
    std::vector<cuvslam::Image> depths;
    const char* message;
  } cases[] = {
      {{}, {}, "Track got no images; a frame set has one image per camera"},
      {{left}, {}, "no image for camera 1; a frame set has one image per camera"},
      {{small, right}, {}, "image for camera 0 is 100x240, but the camera is calibrated for 320x240"},
      {{left, stray}, {}, "image for camera 5, but the rig has 2 cameras"},
      {{left, left}, {}, "two images for camera 0"},
      {{left, late}, {}, "images of one frame set carry different stamps (1000 and 2000 ns)"},
      {{null, right}, {}, "image of camera 0 has no pixel buffer"},
      {{tight_pitch, right}, {}, "image of camera 0 has a row pitch of 100 bytes, less than the 320 bytes of one row"},
      {{wide, right}, {}, "image of camera 0 must have 8-bit samples (data type UInt8)"},
      {{gpu, right}, {}, "image of camera 0 is in GPU memory; this build reads host memory only"},
      {{left, right}, {left}, "depth image for camera 0, which is not a depth camera of this rig and mode"},
  };
  for (const auto& c : cases) EXPECT_EQ(track_error(c.images, c.depths), c.message);
  // None of the refusals consumed a stamp: the same stamp tracks now, and then only later ones.
  EXPECT_EQ(track_error({left, right}), "");
  EXPECT_EQ(track_error({left, right}), "frame set stamped 1000 ns is not after the last one at 1000 ns");
  EXPECT_EQ(track_error({image(1, 1001), image(0, 1001)}), "");
}

TEST(TrackDepth, RefusesDepthThatCannotBeRead) {
  cuvslam::Rig rig;
  rig.cameras = {seq::to_camera(seq::forward_camera(320, 240, 0.0))};
  auto config = cpu(Mode::RGBD);
  config.rgbd_settings.depth_camera_id = 0;
  config.rgbd_settings.depth_scale_factor = 1000.f;
  Odometry odom(rig, config);
  std::vector<uint8_t> grey(320 * 240, 128);
  std::vector<uint16_t> depth(320 * 240, 2000);
  cuvslam::Image img;
  img.pixels = grey.data();
  img.width = 320;
  img.height = 240;
  cuvslam::Image d = img;
  d.pixels = depth.data();
  d.data_type = cuvslam::Image::DataType::UInt16;
  auto rgb = d;
  rgb.encoding = cuvslam::Image::Encoding::RGB;
  auto bytes = d;
  bytes.data_type = cuvslam::Image::DataType::UInt8;
  auto small = d;
  small.height = 10;
  const std::pair<cuvslam::Image, const char*> cases[] = {
      {rgb, "depth image of camera 0 must have one channel"},
      {bytes, "depth image of camera 0 must have 16-bit unsigned or 32-bit float samples"},
      {small, "depth image for camera 0 is 320x10; aligned depth must match the camera's 320x240"},
  };
  for (const auto& [depth_image, message] : cases) {
    try {
      odom.Track({img}, {}, {depth_image});
      ADD_FAILURE() << "accepted: " << message;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
  EXPECT_NO_THROW(odom.Track({img}, {}, {d}));
}

// --- IMU -----------------------------------------------------------------------------------

std::string imu_error(Odometry& odom, uint32_t sensor, int64_t t_ns, float w = 0.f) {
  cuvslam::ImuMeasurement m;
  m.timestamp_ns = t_ns;
  m.angular_velocities = {w, 0.f, 0.f};
  m.linear_accelerations = {0.f, 0.f, 9.81f};
  try {
    odom.RegisterImuMeasurement(sensor, m);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(Imu, RefusedByModesThatReadNone) {
  cuvslam::Rig one;
  one.cameras = {seq::to_camera(seq::forward_camera(320, 240, 0.0))};
  auto rgbd = cpu(Mode::RGBD);
  rgbd.rgbd_settings.depth_camera_id = 0;
  Odometry stereo(stereo_rig(), cpu()), depth(one, rgbd), mono(one, cpu(Mode::Mono));
  EXPECT_EQ(imu_error(stereo, 0, 10), "odometry mode 0 does not read IMU measurements; only modes 1 and 4 do");
  EXPECT_EQ(imu_error(depth, 0, 10), "odometry mode 2 does not read IMU measurements; only modes 1 and 4 do");
  EXPECT_EQ(imu_error(mono, 0, 10), "odometry mode 3 does not read IMU measurements; only modes 1 and 4 do");
  auto ms = cpu(Mode::Multisensor);
  Odometry multisensor(stereo_rig(), ms);
  EXPECT_EQ(imu_error(multisensor, 0, 10), "this multisensor rig has no IMU calibration, so IMU measurements cannot be used");
}

TEST(Imu, InTimeOrderOnlyAndFromSensorZero) {
  for (Mode mode : {Mode::Inertial, Mode::Multisensor}) {
    cuvslam::Rig rig = stereo_rig();
    rig.imus = {imu()};
    Odometry odom(rig, cpu(mode));
    EXPECT_EQ(imu_error(odom, 0, 100), "");
    EXPECT_EQ(imu_error(odom, 0, 100), "");  // an equal stamp is not older
    EXPECT_EQ(imu_error(odom, 0, 99),
              "IMU measurement at 99 ns is older than the previous one at 100 ns; measurements must arrive in time order");
    EXPECT_EQ(imu_error(odom, 1, 200), "sensor_index 1 is not an IMU of the rig; its one IMU is sensor 0");
    EXPECT_EQ(imu_error(odom, 0, 150, std::numeric_limits<float>::quiet_NaN()),
              "IMU measurement at 150 ns has a non-finite angular velocity");
    // Refused samples do not move the clock: 101 is still after the last accepted one.
    EXPECT_EQ(imu_error(odom, 0, 101), "");
  }
}

// --- Pixel formats ---------------------------------------------------------------------------

TEST(PixelFormats, RgbAndRowPitchReadAsTheGreyTheyHold) {
  constexpr int kW = 40, kH = 3, kPitch = 3 * kW + 7;
  std::vector<uint8_t> rgb(static_cast<size_t>(kPitch) * kH, 0xEE);  // padding bytes must not be read
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      uint8_t* p = &rgb[static_cast<size_t>(y * kPitch + 3 * x)];
      p[0] = static_cast<uint8_t>(5 * x);
      p[1] = static_cast<uint8_t>(60 + y);
      p[2] = static_cast<uint8_t>(200 - x);
    }
  cuvslam::Image img;
  img.pixels = rgb.data();
  img.width = kW;
  img.height = kH;
  img.pitch = kPitch;
  img.encoding = cuvslam::Image::Encoding::RGB;
  cuvslam::detail::GreyImage grey;
  cuvslam::detail::read_grey(img, &grey);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x)
      EXPECT_NEAR(grey.at(x, y), 0.299 * (5 * x) + 0.587 * (60 + y) + 0.114 * (200 - x), 1e-3) << x << "," << y;
}

TEST(PixelFormats, DepthUnitsAndInvalidSamples) {
  const uint16_t mm[4] = {0, 1500, 65535, 1};
  cuvslam::Image d;
  d.pixels = mm;
  d.width = 4;
  d.height = 1;
  d.data_type = cuvslam::Image::DataType::UInt16;
  cuvslam::detail::GreyImage out;
  cuvslam::detail::read_depth(d, 1000.f, &out);
  EXPECT_EQ(out.at(0, 0), 0.f);
  EXPECT_FLOAT_EQ(out.at(1, 0), 1.5f);
  EXPECT_FLOAT_EQ(out.at(2, 0), 65.535f);
  EXPECT_FLOAT_EQ(out.at(3, 0), 0.001f);
  const float metres[4] = {2.25f, std::numeric_limits<float>::quiet_NaN(), -1.f, std::numeric_limits<float>::infinity()};
  d.pixels = metres;
  d.data_type = cuvslam::Image::DataType::Float32;
  cuvslam::detail::read_depth(d, 1000.f, &out);  // the scale applies to 16-bit depth only
  EXPECT_FLOAT_EQ(out.at(0, 0), 2.25f);
  EXPECT_EQ(out.at(1, 0), 0.f);
  EXPECT_EQ(out.at(2, 0), 0.f);
  EXPECT_EQ(out.at(3, 0), 0.f);
}

}  // namespace

namespace {

// Stamps at both ends of the int64 range and pure-noise images: refused or tracked, never a
// crash, and (under the sanitizers) no signed overflow in stamp differences.
TEST(Robustness, ExtremeStampsAndNoiseImages) {
  cuvslam::Rig rig = stereo_rig();
  rig.imus = {imu()};
  Odometry odom(rig, cpu(Mode::Inertial));
  std::mt19937 rng(9);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> a(320 * 240), b(320 * 240);
  const int64_t lo = std::numeric_limits<int64_t>::min(), hi = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(imu_error(odom, 0, lo, 0.3f), "");
  for (int64_t t : {lo, lo + 5'000'000, int64_t{0}, hi - 1, hi}) {
    for (auto* img : {&a, &b})
      for (auto& p : *img) p = static_cast<uint8_t>(byte(rng));
    EXPECT_EQ(imu_error(odom, 0, t, 0.3f), "");
    cuvslam::Image left, right;
    left.pixels = a.data();
    right.pixels = b.data();
    for (auto* img : {&left, &right}) {
      img->width = 320;
      img->height = 240;
      img->timestamp_ns = t;
    }
    right.camera_index = 1;
    const cuvslam::PoseEstimate e = odom.Track({left, right});
    EXPECT_EQ(e.timestamp_ns, t);
  }
}

}  // namespace
