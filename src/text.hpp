// Numbers and UTF-8 text as the engines write them into log lines, messages and representations.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velk_slam::text {

// Appends `value`: NaN, inf or -inf when it is not finite; otherwise the shortest digits that read back
// to the same double, with ".0" added where they would read as an integer ("2.0", "0.1", "1e+20").
void append_number(std::string& out, double value);

// Appends `value` with exactly `decimals` digits after the point ("0.1235" for 0.12345 and 4); NaN, inf
// or -inf when it is not finite.
void append_fixed(std::string& out, double value, int decimals);

// One UTF-8 code point decoded at byte offset `pos` (< text.size()), and its length in bytes. Length 0 marks an invalid
// sequence there: a stray continuation byte, a truncated or overlong sequence, a surrogate or a value
// past U+10FFFF.
struct CodePoint {
  char32_t value = 0;
  std::size_t length = 0;
};
CodePoint decode_utf8(std::string_view text, std::size_t pos);

}  // namespace velk_slam::text
