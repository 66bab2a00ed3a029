#include "format/geos_sound.hpp"

#include <algorithm>
#include <cstring>

namespace geos {

scan_outcome locate_sound_data(std::span<const std::byte> bytes) {
  if (!std::ranges::equal(bytes.first(std::min(bytes.size(), GEOS_SIGNATURE.size())),
                          GEOS_SIGNATURE)) {
    return {scan_kind::not_geos, 0};
  }
  // No signature byte is 02, so scanning from the header text finds the same
  // first marker as scanning from 0. memchr on the marker's first byte keeps
  // the scan at memory speed: 02 is rare in header text and sound data.
  const auto* const begin = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = begin + bytes.size();
  const auto first = std::to_integer<unsigned char>(SOUND_DATA_MARKER[0]);
  const auto* at = begin + HEADER_TEXT_OFFSET;
  while (end - at >= static_cast<std::ptrdiff_t>(SOUND_DATA_MARKER.size())) {
    const auto* hit = static_cast<const unsigned char*>(
        std::memchr(at, first, static_cast<std::size_t>(end - at)));
    if (hit == nullptr || end - hit < static_cast<std::ptrdiff_t>(SOUND_DATA_MARKER.size())) {
      break;
    }
    if (std::memcmp(hit, SOUND_DATA_MARKER.data(), SOUND_DATA_MARKER.size()) == 0) {
      return {scan_kind::found, static_cast<std::size_t>(hit - begin)};
    }
    at = hit + 1;
  }
  return {scan_kind::corrupted, 0};
}

std::string_view header_text(std::span<const std::byte> bytes) {
  if (bytes.size() <= HEADER_TEXT_OFFSET) {
    return {};
  }
  const auto text = bytes.subspan(HEADER_TEXT_OFFSET);
  const auto nul = std::ranges::find(text, std::byte{0});
  return {reinterpret_cast<const char*>(text.data()), static_cast<std::size_t>(nul - text.begin())};
}

}  // namespace geos
