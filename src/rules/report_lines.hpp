// What the report says: its lines, and what it shows of each field.
//
// For each argument, in order, exactly one of these lines is printed (each
// %s is filled with the argument unless noted):
//
//   CANT_OPEN            input cannot be opened, or the argument cannot be held
//   CANT_READ            reading the input failed
//   NOT_GEOS             no signature
//   CORRUPTED            no marker
//   CANT_OPEN_FOR_WRITE  %s: the output name
//   STRIPPING            the argument, the header text, the output name
//
// and after a stripping line, on failure, one of
//
//   CANT_READ            the input's tail failed
//   CANT_WRITE           %s: the output name
//
// USAGE stands alone, for a run without file names: %s is the program name
// as invoked.
//
// A field passes byte for byte, so that names reach a script exactly as
// given and a text in a legacy character set keeps its bytes; no locale is
// read. In a field read from a file, every C0 control, DEL, C1 control
// (U+0080 to U+009F, encoded in UTF-8) and bidirectional formatting
// character (U+202A to U+202E, U+2066 to U+2069) is shown as '?', one per
// encoded character, wherever the line goes: whoever made the file must not
// add lines to the report, nor act on a terminal that shows it later. Onto a
// terminal, where a user watches, the same holds for every field, and each
// byte that is not part of valid UTF-8 (RFC 3629) is shown as '?' too.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace geos {

namespace message {
inline constexpr std::string_view USAGE = "Usage: %s [soundfile1] [soundfile2] [...]\n";
inline constexpr std::string_view CANT_OPEN = "Can't open '%s'.\n";
inline constexpr std::string_view CANT_READ = "Can't read '%s'.\n";
inline constexpr std::string_view NOT_GEOS = "'%s' is not a GEOS file (already stripped?).\n";
inline constexpr std::string_view CORRUPTED = "'%s' is corrupted?\n";
inline constexpr std::string_view CANT_OPEN_FOR_WRITE = "Can't open '%s' for write!\n";
inline constexpr std::string_view STRIPPING = "Stripping '%s' (%s) to '%s'.\n";
inline constexpr std::string_view CANT_WRITE = "Can't write '%s'!\n";

// The longest line of a file's before its fields are filled in.
inline constexpr std::size_t LONGEST =
    std::max({CANT_OPEN.size(), CANT_READ.size(), NOT_GEOS.size(), CORRUPTED.size(),
              CANT_OPEN_FOR_WRITE.size(), STRIPPING.size(), CANT_WRITE.size()});
}  // namespace message

// The placeholder of a field in a line's text.
inline constexpr std::string_view PLACEHOLDER = "%s";

// Where a field of a report line comes from, which decides how it is shown.
enum class field_origin {
  caller,  // a name given to the tool, or made from one: the caller's own
  file,    // text read from a file
};

// The start of a field as the report shows it: `shown` stands for the first
// `taken` bytes of the field (at least one, where the field is not empty).
// `shown` is either those bytes themselves or "?". A field shown unchanged
// is taken whole at once. `terminal`: the report goes to a terminal.
struct shown_part {
  std::string_view shown;
  std::size_t taken;
};
[[nodiscard]] shown_part show_start(std::string_view field, field_origin from, bool terminal);

// What the report is written into, as far as taking a line back goes.
enum class report_sink {
  regular_file,   // a file not opened for appending
  appended_file,  // a file opened for appending
  other,          // a pipe, a terminal, a socket, or what could not be told
};

// Where only `written`, the start of a unit of whole lines, reached the
// report before it failed: how many of its last bytes are taken back off
// the report. Those of a line cut short, where the report is a regular file
// not opened for appending, so that it ends with its last whole line;
// elsewhere what went out stays (a pipe cannot take it back, and an
// appended file ends wherever the last writer of any process left it).
[[nodiscard]] std::size_t taken_back(std::string_view written, report_sink sink);

}  // namespace geos
