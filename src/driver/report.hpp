// The report lines and the one place that prints them.
#pragma once

#include <cstdio>
#include <initializer_list>
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
}  // namespace message

// Prints report lines to one stream. On a terminal, control bytes (0x00 to
// 0x1F and 0x7F) in the fields are shown as '?' so that a file name or a
// header text cannot drive the terminal; elsewhere every byte passes as it
// is. The message texts themselves are printed unchanged.
class reporter {
 public:
  reporter(std::FILE* stream, bool terminal) : stream_(stream), terminal_(terminal) {}

  // Prints `text` with each "%s" replaced by the next of `fields`, in order.
  // A "%s" without a field left prints nothing. Write errors are not
  // reported: a report line is never worth losing a file over.
  void print(std::string_view text, std::initializer_list<std::string_view> fields);

 private:
  void put_field(std::string_view field);

  std::FILE* stream_;
  bool terminal_;
};

}  // namespace geos
