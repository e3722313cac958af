#include "text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace velk_slam::text {
namespace {

// The spelling of non-finite values in every text the engines write; false for a finite value.
bool append_non_finite(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
  } else if (std::isinf(value)) {
    out += value > 0 ? "inf" : "-inf";
  } else {
    return false;
  }
  return true;
}

}  // namespace

void append_number(std::string& out, double value) {
  if (append_non_finite(out, value)) return;
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  const std::string_view digits(buffer, static_cast<std::size_t>(result.ptr - buffer));
  out += digits;
  if (digits.find_first_of(".e") == std::string_view::npos) out += ".0";
}

void append_fixed(std::string& out, double value, int decimals) {
  if (append_non_finite(out, value)) return;
  // 1e308 printed in full needs 309 digits before the point.
  char buffer[400];
  const int written = std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  if (written > 0) out.append(buffer, std::min(static_cast<std::size_t>(written), sizeof buffer - 1));
}

CodePoint decode_utf8(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    return {lead, 1};
  }
  std::size_t length = 0;
  char32_t value = 0;
  char32_t min_value = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, min_value = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, min_value = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, min_value = 0x10000;
  } else {
    return {};
  }
  if (text.size() - pos < length) {
    return {};
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      return {};
    }
    value = (value << 6) | (next & 0x3F);
  }
  if (value < min_value || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return {};
  }
  return {value, length};
}

}  // namespace velk_slam::text
