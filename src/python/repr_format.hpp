#pragma once

// No Python here on purpose: the C++ tests check this formatting directly.

#include <charconv>
#include <cmath>
#include <string>

namespace vok::py {

// Exponent notation with six decimals and a bare exponent: 1.230000e-3,
// 1.234500e4, 0.000000e0; "inf", "-inf", "NaN" for non-finite values.
inline std::string format_error_value(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[64];
  // to_chars rounds correctly and writes e.g. "1.230000e-03".
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 6);
  std::string text(buf, res.ptr);
  const auto e = text.find('e');
  if (e == std::string::npos) return text;
  std::string out = text.substr(0, e + 1);
  std::size_t i = e + 1;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') out += '-';
    ++i;
  }
  while (i + 1 < text.size() && text[i] == '0') ++i;
  out.append(text, i, std::string::npos);
  return out;
}

}  // namespace vok::py
