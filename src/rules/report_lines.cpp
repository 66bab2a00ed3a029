#include "rules/report_lines.hpp"

namespace geos {

namespace {

constexpr std::string_view SHOWN_INSTEAD = "?";

unsigned char byte_at(std::string_view text, std::size_t at) {
  return static_cast<unsigned char>(text[at]);
}

// The length of the well-formed UTF-8 sequence at the start of `text`
// (RFC 3629: no overlong forms, no surrogates, nothing past U+10FFFF), or 0.
std::size_t sequence_length(std::string_view text) {
  const auto lead = byte_at(text, 0);
  if (lead < 0x80) {
    return 1;
  }
  // Per lead byte: the length and the range the second byte must lie in.
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  }
  if (length == 0 || text.size() < length || byte_at(text, 1) < low || byte_at(text, 1) > high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte_at(text, i) & 0xC0) != 0x80) {
      return 0;
    }
  }
  return length;
}

// Characters a terminal acts on rather than shows: C0, DEL, C1, and the
// bidirectional formatting characters, which can make a line read as
// something else.
bool is_control(std::string_view character) {
  const auto first = byte_at(character, 0);
  switch (character.size()) {
    case 1:
      return first < 0x20 || first == 0x7F;
    case 2:
      return first == 0xC2 && byte_at(character, 1) < 0xA0;
    case 3: {
      const auto second = byte_at(character, 1);
      const auto third = byte_at(character, 2);
      return first == 0xE2 && ((second == 0x80 && third >= 0xAA && third <= 0xAE) ||
                               (second == 0x81 && third >= 0xA6 && third <= 0xA9));
    }
    default:
      return false;
  }
}

}  // namespace

shown_part show_start(std::string_view field, field_origin from, bool terminal) {
  if (field.empty() || (!terminal && from == field_origin::caller)) {
    return {field, field.size()};
  }
  const auto length = sequence_length(field);
  const auto character = field.substr(0, std::max<std::size_t>(length, 1));
  // Elsewhere than on a terminal, bytes that are no UTF-8 may be text in
  // another character set.
  const bool masked = (length == 0 && terminal) || is_control(character);
  return {masked ? SHOWN_INSTEAD : character, character.size()};
}

std::size_t taken_back(std::string_view written, report_sink sink) {
  if (sink != report_sink::regular_file) {
    return 0;
  }
  const auto whole = written.rfind('\n');
  return written.size() - (whole == std::string_view::npos ? 0 : whole + 1);
}

}  // namespace geos
