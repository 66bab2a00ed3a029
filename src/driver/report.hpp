// The one place that prints report lines (their texts, and what they show
// of each field, are in rules/report_lines.hpp).
#pragma once

#include <concepts>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <string_view>

#include "rules/report_lines.hpp"

namespace geos {

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
// A line whose write has begun is finished: a descriptor that takes nothing
// for a while (a slow reader, or one in non-blocking mode) is waited for;
// once a stop signal has come, only until the stop's deadline. Once a
// stop has come, a line longer than PIPE_BUF is not begun, since a pipe
// keeps no more than that whole. The first line that cannot be delivered
// whole (its reader went away or stalled past the deadline, the
// descriptor failed) ends the report: nothing is written after it, so what
// was written is the start of the report. That line is dropped whole where
// it was not begun, and where it was begun into a regular file not opened
// for appending, which is cut back to the end of the last whole line and
// its offset set there; elsewhere (a pipe or socket whose reader stalled in
// the middle of it, a file opened for appending, whose end is not this
// run's to take back) it stays cut, as the last thing written. A reader
// that goes away ends the report, never the run. Write errors are not
// reported: a report line is never worth losing a file over.
//
// Each field is shown as show_start() says.
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
  [[nodiscard]] std::size_t deliver(std::string_view unit) const;
  void take_back(std::string_view written) const;

  int fd_;
  bool terminal_;
  std::span<char> buffer_;
  std::size_t used_ = 0;
  std::size_t file_start_ = 0;
  bool ended_ = false;  // a line could not be delivered whole: nothing more is written
};

}  // namespace geos
