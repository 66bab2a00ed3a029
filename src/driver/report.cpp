#include "driver/report.hpp"

#include <algorithm>

namespace geos {

namespace {

constexpr std::string_view PLACEHOLDER = "%s";

bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

}  // namespace

void reporter::print(std::string_view text, std::initializer_list<std::string_view> fields) {
  const auto* field = fields.begin();
  for (auto at = text.find(PLACEHOLDER); at != std::string_view::npos;
       at = text.find(PLACEHOLDER)) {
    static_cast<void>(std::fwrite(text.data(), 1, at, stream_));
    if (field != fields.end()) {
      put_field(*field++);
    }
    text.remove_prefix(at + PLACEHOLDER.size());
  }
  static_cast<void>(std::fwrite(text.data(), 1, text.size(), stream_));
}

void reporter::put_field(std::string_view field) {
  if (!terminal_) {
    static_cast<void>(std::fwrite(field.data(), 1, field.size(), stream_));
    return;
  }
  std::ranges::for_each(
      field, [this](char c) { static_cast<void>(std::putc(is_control(c) ? '?' : c, stream_)); });
}

}  // namespace geos
