// The report lines and the one place that prints them.
#pragma once

#include <concepts>
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

// Where a field of a report line comes from, which decides how it is shown.
enum class field_origin {
  caller,  // a name given to the tool, or made from one: the caller's own
  file,    // text read from a file
};

// A field of a report line. Anything that makes a std::string_view makes a
// field of the caller's.
struct field {
  template <std::convertible_to<std::string_view> text_type>
  field(const text_type& bytes, field_origin origin = field_origin::caller)
      : text(bytes), from(origin) {}

  std::string_view text;
  field_origin from;
};

// Prints report lines to a file descriptor through a buffer of its own.
//
// The lines of the file being handled are held until it is finished, and
// dropped where the run stops first: a file cut short is not reported by
// half. Onto a terminal, where a user watches, every line goes out as soon
// as it is printed instead. Elsewhere finished lines go out when the buffer
// fills and at the end, in writes of whole lines, each small enough for a
// pipe to keep it whole among other writers (as under xargs -P).
//
// A line is written whole or not at all. A descriptor that takes nothing
// for a while (a slow reader, or one in non-blocking mode) is waited for;
// once a stop signal has come, only until the stop's deadline, after which
// the lines not delivered are dropped whole; a line longer than PIPE_BUF is
// then not begun, since a reader that stalls could cut it. A reader that goes away ends
// the report, never the run. Write errors are not reported: a report line
// is never worth losing a file over.
//
// In a field read from a file, every C0 control, DEL, C1 control (U+0080
// to U+009F, encoded in UTF-8) and bidirectional formatting character
// (U+202A to U+202E, U+2066 to U+2069) is shown as '?', one per encoded
// character, wherever the line goes: whoever made the file must not add
// lines to the report, nor act on a terminal that shows it later. Onto a
// terminal, where a user watches, the same holds for every field, and each
// byte that is not part of valid UTF-8 is shown as '?' too. Every other byte
// passes unchanged, so that names reach a script exactly as given and a text
// in a legacy character set keeps its bytes; no locale is read.
class reporter {
 public:
  // `buffer` is borrowed for the reporter's lifetime; its size is the
  // longest that one file's lines may be together.
  reporter(int fd, bool terminal, std::span<char> buffer);
  reporter(const reporter&) = delete;
  reporter& operator=(const reporter&) = delete;
  reporter(reporter&&) = delete;
  reporter& operator=(reporter&&) = delete;
  ~reporter() { flush_finished(); }

  [[nodiscard]] std::size_t capacity() const noexcept { return buffer_.size(); }

  // Prints `text` with each "%s" replaced by the next of `fields`, in order,
  // as a line of the current file. A "%s" without a field left prints
  // nothing. Where the line cannot be held, its fields are cut to fit.
  void print(std::string_view text, std::initializer_list<field> fields);

  // Marks every line printed so far as belonging to a finished file; the
  // lines printed after it belong to the next one.
  void finish_file() noexcept { file_start_ = used_; }

  // Writes out the lines of the finished files (and onto a terminal those
  // of the current one, which are out already).
  void flush_finished();

 private:
  void make_room(std::size_t line);
  void put(std::string_view bytes);
  void put_field(field shown, std::size_t most);
  void write_out(std::string_view lines);
  [[nodiscard]] bool deliver(std::string_view unit) const;

  int fd_;
  bool terminal_;
  std::span<char> buffer_;
  std::size_t used_ = 0;
  std::size_t file_start_ = 0;
};

}  // namespace geos
