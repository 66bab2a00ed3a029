// The GEOS sound-file layout, as far as geos-unwrap reads it.
//
//   offset  length          content
//   0       4               GEOS_SIGNATURE: C7 45 C1 53
//   4       to first NUL    header text, shown in the report line (where no
//                           NUL follows, up to the marker)
//   ...     up to k         rest of the GEOS header; no field of it is read
//   k       3               SOUND_DATA_MARKER: 02 4A 3A, its first occurrence
//   k + 3   to the end      rest of the sound data
//
// Only the first READ_LIMIT bytes of a file are classified. The output of a
// strip is every byte from offset k (the marker included) to the end of the
// input, unchanged, so it always begins with the marker and never with the
// signature.
//
// Everything here is a pure function of bytes in memory: no files, no output.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace geos {

inline constexpr std::size_t READ_LIMIT = 65000;

inline constexpr std::array<std::byte, 4> GEOS_SIGNATURE{std::byte{0xC7}, std::byte{0x45},
                                                         std::byte{0xC1}, std::byte{0x53}};

inline constexpr std::array<std::byte, 3> SOUND_DATA_MARKER{std::byte{0x02}, std::byte{0x4A},
                                                            std::byte{0x3A}};

// Most headers end within the first kilobyte. Reading only that much of a
// long file first lets the rest be copied without passing through the
// reader.
inline constexpr std::size_t FIRST_READ = 1024;

// Offset of the header text: it follows the signature directly.
inline constexpr std::size_t HEADER_TEXT_OFFSET = GEOS_SIGNATURE.size();

enum class scan_kind {
  not_geos,   // the bytes do not begin with GEOS_SIGNATURE
  corrupted,  // they do, but hold no SOUND_DATA_MARKER
  found,      // the marker begins at `marker_offset`
};

struct scan_outcome {
  scan_kind kind;
  // For `found`: the offset of the first marker, at least
  // HEADER_TEXT_OFFSET, with all three marker bytes inside the bytes given.
  // Zero otherwise.
  std::size_t marker_offset;

  friend bool operator==(const scan_outcome&, const scan_outcome&) = default;
};

// Classifies the bytes read from the start of one file. Takes any number of
// bytes (the caller passes at most READ_LIMIT) and looks at no byte outside
// them. Every byte sequence yields exactly one outcome; the marker counts
// wherever it first stands, also inside the header text or as the last three
// bytes.
[[nodiscard]] scan_outcome locate_sound_data(std::span<const std::byte> bytes);

// The header text of bytes that begin with the signature: the bytes from
// HEADER_TEXT_OFFSET up to, not including, the first NUL, also where the
// marker stands before it. Where no NUL follows, the text ends before the
// first marker, where the sound data begins, or at the end of `bytes` where
// there is no marker either. Stored bytes are returned as they are. The view
// borrows from `bytes`; it is empty when `bytes` is too short to hold a
// header text.
[[nodiscard]] std::string_view header_text(std::span<const std::byte> bytes);

// Whether `first_bytes`, the start of a file, could begin an output of a
// strip: every output begins with SOUND_DATA_MARKER.
[[nodiscard]] bool begins_like_output(std::span<const std::byte> first_bytes);

// How many bytes to read first from a file that reported `reported_size`
// bytes (0 where it reports nothing useful): one past its size where that is
// below READ_LIMIT, which proves its end in one read; FIRST_READ otherwise.
[[nodiscard]] std::size_t first_read_length(long long reported_size);

// Whether the outcome and header text of `first_bytes`, the first bytes of
// a longer input, are those that any longer read of it would give: no
// signature, or a marker found and the header text ended by a NUL among
// them. `outcome` is locate_sound_data(first_bytes). False for fewer bytes
// than the signature.
[[nodiscard]] bool settled(scan_outcome outcome, std::span<const std::byte> first_bytes);

}  // namespace geos
