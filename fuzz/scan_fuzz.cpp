// Every byte sequence gets exactly one outcome, and `found` means what the
// layout says: signature at 0, first marker at k >= 4, header text inside
// the bytes given, ended by its NUL or else by the marker.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "format/geos_sound.hpp"

namespace {

void check(bool property) {
  if (!property) {
    std::abort();
  }
}

bool marker_at(std::span<const std::byte> bytes, std::size_t at) {
  return at + geos::SOUND_DATA_MARKER.size() <= bytes.size() &&
         std::ranges::equal(bytes.subspan(at, geos::SOUND_DATA_MARKER.size()),
                            geos::SOUND_DATA_MARKER);
}

void check_found(std::span<const std::byte> bytes, std::size_t k) {
  check(std::ranges::equal(bytes.first(geos::GEOS_SIGNATURE.size()), geos::GEOS_SIGNATURE));
  check(k >= geos::HEADER_TEXT_OFFSET && marker_at(bytes, k));
  for (std::size_t before = 0; before < k; ++before) {
    check(!marker_at(bytes, before));
  }
  const auto text = geos::header_text(bytes);
  const auto* const first = reinterpret_cast<const char*>(bytes.data());
  check(text.data() == first + geos::HEADER_TEXT_OFFSET);
  check(text.data() + text.size() <= first + bytes.size());
  check(text.find('\0') == std::string_view::npos);
  // It ends at its NUL, or without one at the marker.
  const auto end = geos::HEADER_TEXT_OFFSET + text.size();
  check(end == k || bytes[end] == std::byte{0});
}

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span bytes(reinterpret_cast<const std::byte*>(data), std::min(size, geos::READ_LIMIT));
  const auto outcome = geos::locate_sound_data(bytes);
  const bool has_signature = bytes.size() >= geos::GEOS_SIGNATURE.size() &&
                             std::ranges::equal(bytes.first(4), geos::GEOS_SIGNATURE);
  switch (outcome.kind) {
    case geos::scan_kind::not_geos:
      check(!has_signature);
      break;
    case geos::scan_kind::corrupted:
      check(has_signature);
      for (std::size_t at = 0; at < bytes.size(); ++at) {
        check(!marker_at(bytes, at));
      }
      break;
    case geos::scan_kind::found:
      check_found(bytes, outcome.marker_offset);
      break;
  }
  return 0;
}
