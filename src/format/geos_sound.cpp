#include "format/geos_sound.hpp"

#include <algorithm>
#include <cstring>

namespace geos {

namespace {

// The offset of the first SOUND_DATA_MARKER at or after HEADER_TEXT_OFFSET
// with all its bytes inside `bytes`, or the size of `bytes` where there is
// none.
std::size_t first_marker(std::span<const std::byte> bytes) {
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
      return static_cast<std::size_t>(hit - begin);
    }
    at = hit + 1;
  }
  return bytes.size();
}

}  // namespace

scan_outcome locate_sound_data(std::span<const std::byte> bytes) {
  if (!std::ranges::equal(bytes.first(std::min(bytes.size(), GEOS_SIGNATURE.size())),
                          GEOS_SIGNATURE)) {
    return {scan_kind::not_geos, 0};
  }
  const auto marker = first_marker(bytes);
  if (marker == bytes.size()) {
    return {scan_kind::corrupted, 0};
  }
  return {scan_kind::found, marker};
}

std::string_view header_text(std::span<const std::byte> bytes) {
  if (bytes.size() <= HEADER_TEXT_OFFSET) {
    return {};
  }
  const auto text = bytes.subspan(HEADER_TEXT_OFFSET);
  const auto nul = std::ranges::find(text, std::byte{0});
  // Without its NUL the text would run on into the sound data, which is no
  // text and may be all of the window.
  const auto length = nul != text.end() ? static_cast<std::size_t>(nul - text.begin())
                                        : first_marker(bytes) - HEADER_TEXT_OFFSET;
  return {reinterpret_cast<const char*>(text.data()), length};
}

bool begins_like_output(std::span<const std::byte> first_bytes) {
  return first_bytes.size() >= SOUND_DATA_MARKER.size() &&
         std::ranges::equal(first_bytes.first(SOUND_DATA_MARKER.size()), SOUND_DATA_MARKER);
}

std::size_t first_read_length(long long reported_size) {
  return reported_size > 0 && static_cast<unsigned long long>(reported_size) < READ_LIMIT
             ? static_cast<std::size_t>(reported_size) + 1
             : FIRST_READ;
}

bool settled(scan_outcome outcome, std::span<const std::byte> first_bytes) {
  if (outcome.kind != scan_kind::found) {
    // Fewer bytes than the signature may be the start of one.
    return outcome.kind == scan_kind::not_geos && first_bytes.size() >= GEOS_SIGNATURE.size();
  }
  // With a marker found, the text ends inside the bytes: at a NUL, or at
  // the marker for want of one, when a NUL further on would end it later.
  return first_bytes[HEADER_TEXT_OFFSET + header_text(first_bytes).size()] == std::byte{0};
}

}  // namespace geos
