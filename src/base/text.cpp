#include "text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace velk_slam::text {
namespace {

// Appends NaN, inf or -inf for a value that is not finite; false for a finite one.
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

template <typename F>
void append_positional_digits(std::string& out, F value) {
  if (append_non_finite(out, static_cast<double>(value))) return;
  // The shortest round-trip digits come from scientific notation ("-1.2345e+20"); they are then written
  // out in positional form, padding with zeros rather than printing the exact binary value's digits.
  char buffer[64];
  const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = scientific.find('e');
  std::string_view mantissa = scientific.substr(0, e);
  int exponent = 0;
  std::from_chars(scientific.data() + e + 1 + (scientific[e + 1] == '+' ? 1 : 0), scientific.data() + scientific.size(),
                  exponent);
  if (!mantissa.empty() && mantissa.front() == '-') {
    out.push_back('-');
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (const char c : mantissa) {
    if (c != '.') digits.push_back(c);
  }
  // value = 0.digits × 10^(exponent + 1)
  const int point = exponent + 1;
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    out += digits;
    out.append(static_cast<std::size_t>(point) - digits.size(), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  }
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

void append_positional(std::string& out, float value) { append_positional_digits(out, value); }
void append_positional(std::string& out, double value) { append_positional_digits(out, value); }

CodePoint decode_utf8(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) return {lead, 1, 0};
  // Sequence length and the allowed range of the second byte, which rules out overlong forms, surrogates
  // and code points past U+10FFFF.
  std::size_t length = 0;
  char32_t value = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F;
    lo = lead == 0xE0 ? 0xA0 : 0x80;
    hi = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07;
    lo = lead == 0xF0 ? 0x90 : 0x80;
    hi = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return {0, 0, 1};
  }
  std::size_t valid = 1;  // bytes of a well-formed prefix, lead included
  while (valid < length && pos + valid < text.size()) {
    const unsigned char c = byte(pos + valid);
    if (c < (valid == 1 ? lo : 0x80) || c > (valid == 1 ? hi : 0xBF)) break;
    value = (value << 6) | (c & 0x3F);
    ++valid;
  }
  if (valid < length) return {0, 0, valid};
  return {value, length, 0};
}

std::string valid_utf8(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const CodePoint cp = decode_utf8(bytes, i);
    if (cp.length > 0) {
      out.append(bytes.substr(i, cp.length));
      i += cp.length;
    } else {
      out += kReplacement;
      i += cp.ill_formed;
    }
  }
  return out;
}

}  // namespace velk_slam::text
