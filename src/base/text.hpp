// Numbers and UTF-8 text as every layer writes them into log lines, messages and representations. The
// one spelling of non-finite values is NaN, inf and -inf.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velk_slam::text {

// Appends `value` as the shortest digits that read back to the same double, with ".0" added where they
// would read as an integer ("2.0", "0.1", "1e+20").
void append_number(std::string& out, double value);

// Appends `value` with exactly `decimals` digits after the point ("0.1235" for 0.12345 and 4).
void append_fixed(std::string& out, double value, int decimals);

// Appends the shortest digits that read back to the same float (or double), written out without an
// exponent, padded with zeros: "0", "-1.5", "100000000000000000000", "0.0000001".
void append_positional(std::string& out, float value);
void append_positional(std::string& out, double value);

// The UTF-8 sequence at byte offset `pos` (< text.size()). Valid: its code point and its length in bytes.
// Invalid (a stray continuation byte, an overlong or truncated sequence, a surrogate, a value past
// U+10FFFF): length 0, and `ill_formed` bytes, at least 1, form the longest prefix that could have
// started a valid sequence, so that each such run counts as one error.
struct CodePoint {
  char32_t value = 0;
  std::size_t length = 0;
  std::size_t ill_formed = 0;
};
CodePoint decode_utf8(std::string_view text, std::size_t pos);

// `bytes` with every ill-formed run replaced by U+FFFD.
std::string valid_utf8(std::string_view bytes);

}  // namespace velk_slam::text
