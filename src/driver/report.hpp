// The report lines and the one place that prints them.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
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

// Prints report lines to a file descriptor through a buffer of its own.
// Onto a terminal each line goes out at once, and in its fields every C0
// control, DEL, C1 control (U+0080 to U+009F) and every byte that is not
// part of valid UTF-8 is shown as '?' (one per byte, or per encoded
// control); every other character passes unchanged, and no locale is read.
// Elsewhere every byte passes as it is, and lines go out in blocks of whole
// lines, each small enough for a pipe to keep it whole among other writers. Write errors are not
// reported: a report line is never worth losing a file over.
class reporter {
 public:
  // `buffer` is borrowed for the reporter's lifetime.
  reporter(int fd, bool terminal, std::span<char> buffer);
  reporter(const reporter&) = delete;
  reporter& operator=(const reporter&) = delete;
  reporter(reporter&&) = delete;
  reporter& operator=(reporter&&) = delete;
  ~reporter() { flush(); }

  // Prints `text` with each "%s" replaced by the next of `fields`, in order.
  // A "%s" without a field left prints nothing.
  void print(std::string_view text, std::initializer_list<std::string_view> fields);

  // Marks every line printed so far as belonging to a finished file; the
  // lines printed after it belong to the current one.
  void finish_file() noexcept { file_start_ = used_; }

  // Writes out every line printed.
  void flush();

  // Writes out the lines of the finished files and drops the current one's:
  // a file cut short is not reported by half.
  void flush_finished();

 private:
  void put(std::string_view bytes);
  void put_field(std::string_view field);
  void write_out(std::string_view bytes) const;
  void write_fully(std::string_view bytes) const;

  int fd_;
  bool terminal_;
  std::span<char> buffer_;
  std::size_t used_ = 0;
  std::size_t file_start_ = 0;
};

}  // namespace geos
