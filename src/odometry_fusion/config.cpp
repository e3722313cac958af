#include "odometry_fusion/config.hpp"

#include "text.hpp"

#include <cmath>
#include <cstdio>

namespace velk_slam::odometry_fusion {
namespace {

// rad: the largest tilt of a source's odom_from_parent taken for rounding rather than a roll or pitch.
constexpr double kMaxParentTiltRad = 1.0e-3;

using text::CodePoint;
using text::decode_utf8;

// The code point that ends just before `end`, or an invalid one.
CodePoint decode_before(std::string_view text, std::size_t end) {
  std::size_t start = end;
  // A code point is at most four bytes: step back over continuation bytes to its lead byte.
  while (start > 0 && end - start < 4) {
    --start;
    if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) {
      break;
    }
  }
  const CodePoint cp = decode_utf8(text, start);
  return cp.length == end - start ? cp : CodePoint{};
}

// The Unicode White_Space property.
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

void append_hex_escape(std::string& out, const char* format, unsigned value) {
  char buffer[16];
  const int written = std::snprintf(buffer, sizeof buffer, format, value);
  out.append(buffer, static_cast<std::size_t>(written));
}

bool is_blank(std::string_view text) { return trim_white_space(text).empty(); }

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const CodePoint cp = decode_utf8(text, begin);
    if (cp.length == 0 || !is_white_space(cp.value)) {
      break;
    }
    begin += cp.length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const CodePoint cp = decode_before(text, end);
    if (cp.length == 0 || !is_white_space(cp.value)) {
      break;
    }
    end -= cp.length;
  }
  return text.substr(begin, end - begin);
}

std::string quote_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t pos = 0;
  while (pos < text.size()) {
    const CodePoint cp = decode_utf8(text, pos);
    if (cp.length == 0) {
      append_hex_escape(out, "\\x%02x", static_cast<unsigned char>(text[pos]));
      ++pos;
      continue;
    }
    switch (cp.value) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\n': out += "\\n"; break;
      case U'\r': out += "\\r"; break;
      case U'\t': out += "\\t"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (is_control(cp.value)) {
          append_hex_escape(out, "\\u{%x}", static_cast<unsigned>(cp.value));
        } else {
          out.append(text.substr(pos, cp.length));
        }
    }
    pos += cp.length;
  }
  out.push_back('"');
  return out;
}

std::optional<std::string> check_config(const OdometryFusionConfig& config) {
  for (const SourceConfig& source : config.odom_sources) {
    if (is_blank(source.parent_frame_id) || is_blank(source.child_frame_id)) {
      return "an `odom_sources` entry needs both parent_frame_id and child_frame_id set";
    }
    if (source.odom_from_parent) {
      // Parent frames of absolute references are gravity aligned like the odometry frame: a tilt between
      // them would tilt every attitude the source gives, and its positions with them.
      const Eigen::Vector3d z = source.odom_from_parent->rotation.normalized() * Eigen::Vector3d::UnitZ();
      if (!(z.z() > std::cos(kMaxParentTiltRad))) {
        return "odom_from_parent of source " + quote_escaped(source.parent_frame_id) +
               " rolls or pitches; parent frames are gravity aligned like the odometry frame, so give it a turn "
               "about z only (a tilted sensor belongs in the source's child frame)";
      }
    }
  }
  for (std::size_t k = 0; k < config.imus.size(); ++k) {
    const ImuConfig& imu = config.imus[k];
    if (is_blank(imu.frame_id)) {
      return "every `imus` entry needs its frame_id set";
    }
    for (std::size_t j = 0; j < k; ++j) {
      if (config.imus[j].frame_id == imu.frame_id) {
        return "two `imus` entries share frame_id " + quote_escaped(imu.frame_id);
      }
    }
    // Written as !(x > 0) so that NaN fails too.
    if (!(imu.gyro_noise_density > 0.0) || !(imu.gyro_random_walk > 0.0) || !(imu.accel_noise_density > 0.0) ||
        !(imu.accel_random_walk > 0.0)) {
      return "imu " + quote_escaped(imu.frame_id) + " needs all four noise figures set";
    }
    if (!(imu.init_gyro_limit > 0.0)) {
      return "imu " + quote_escaped(imu.frame_id) + " needs init_gyro_limit above zero or the filter never leaves init";
    }
    if (!(imu.init_accel_limit > 0.0)) {
      return "imu " + quote_escaped(imu.frame_id) + " needs init_accel_limit above zero or the filter never leaves init";
    }
  }
  return std::nullopt;
}

}  // namespace velk_slam::odometry_fusion
