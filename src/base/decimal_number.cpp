#include "base/decimal_number.h"

#include <array>
#include <charconv>
#include <climits>
#include <limits>
#include <system_error>

namespace tulix {

double ParseDecimal(std::string_view text) {
  const size_t start = text.find_first_not_of(" \t\n\v\f\r");
  if (start == std::string_view::npos) {
    return 0;
  }
  text.remove_prefix(start);
  // from_chars takes a minus sign but no plus sign; "+-1" is no number at all.
  if (text.size() >= 2 && text[0] == '+' && text[1] != '-') {
    text.remove_prefix(1);
  }
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() ? value : 0;
}

std::string FormatDecimal(double value, int decimals) {
  // The largest double written in full with any sensible number of decimals fits.
  std::array<char, 512> text;
  const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), value,
                                          std::chars_format::fixed, decimals);
  if (error != std::errc()) {
    return "0";
  }
  return std::string(text.data(), end);
}

std::string DecimalText(int64_t value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)ec;  // 24 bytes always hold an int64
  return std::string(buffer, end);
}

std::optional<int64_t> ParseDecimal64(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() < '0' || text.front() > '9') {
    return std::nullopt;
  }
  // Read the digits as a magnitude so that the most negative value, and everything beyond the
  // range, comes out right.
  uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (end != text.data() + text.size() && ec != std::errc::result_out_of_range) {
    return std::nullopt;
  }
  if (ec == std::errc::result_out_of_range) {
    // from_chars stops at the end of the digits even when they overflow; anything after them
    // still makes the text no number.
    const char* p = text.data();
    while (p != text.data() + text.size() && *p >= '0' && *p <= '9') {
      ++p;
    }
    if (p != text.data() + text.size()) {
      return std::nullopt;
    }
    magnitude = UINT64_MAX;
  }
  constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
  if (negative) {
    return magnitude > kMax ? INT64_MIN : -static_cast<int64_t>(magnitude);
  }
  return magnitude > kMax ? INT64_MAX : static_cast<int64_t>(magnitude);
}

std::optional<int> ParseDecimalInt(std::string_view text) {
  std::optional<int64_t> value = ParseDecimal64(text);
  if (!value) {
    return std::nullopt;
  }
  return ClampToInt(*value);
}

int64_t SaturatingAdd(int64_t a, int64_t b) {
  int64_t sum;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? INT64_MAX : INT64_MIN;
  }
  return sum;
}

int64_t SaturatingMultiply(int64_t a, int64_t b) {
  int64_t product;
  if (__builtin_mul_overflow(a, b, &product)) {
    return (a < 0) != (b < 0) ? INT64_MIN : INT64_MAX;
  }
  return product;
}

int ClampToInt(int64_t value) {
  if (value > INT_MAX) {
    return INT_MAX;
  }
  if (value < INT_MIN) {
    return INT_MIN;
  }
  return static_cast<int>(value);
}

}  // namespace tulix
