#include "base/decimal_number.h"

#include <array>
#include <charconv>

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

}  // namespace tulix
