// The road of one file: open the input inside the directory its output goes
// into, read and classify its first bytes, stage the output, copy the data,
// commit, and print the file's lines.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "driver/file_io.hpp"
#include "driver/output_directory.hpp"
#include "driver/output_file.hpp"
#include "driver/process_identity.hpp"
#include "driver/report.hpp"
#include "driver/unique_fd.hpp"
#include "format/geos_sound.hpp"
#include "rules/output_name.hpp"
#include "rules/report_lines.hpp"

namespace geos {

// Holds the window, and later serves copies in chunks large enough for the
// page cache to take them whole, and the attributes of a replaced output.
inline constexpr std::size_t BUFFER_SIZE = std::size_t{512} * 1024;
static_assert(BUFFER_SIZE >= READ_LIMIT);

// What an opened input is: its descriptor, and what fstat said of it.
struct input_file {
  unique_fd fd;
  struct stat status {};

  [[nodiscard]] bool regular() const { return S_ISREG(status.st_mode); }
  // A size of 0 says nothing: files in /proc report it whatever they hold.
  [[nodiscard]] off_t reported_size() const { return regular() ? status.st_size : 0; }
  [[nodiscard]] bool has_holes() const;
};

// The first bytes of an input and what they hold.
struct window {
  io_status status;
  std::span<const std::byte> bytes;
  scan_outcome outcome;
  bool at_end;  // the input ends with these bytes
};

// Every buffer of a batch is sized when it starts, so that nothing is
// allocated per file and no allocation can fail halfway through a file.
class batch {
 public:
  // `report` and `read_buffer` are borrowed for the batch's lifetime. It
  // takes no argument until reserve() has succeeded.
  batch(reporter& report, std::span<std::byte, BUFFER_SIZE> read_buffer);

  // Makes room for arguments of up to `longest` bytes, taking from the heap
  // all that the batch will ever take; false, with no argument taken, where
  // the heap refuses.
  [[nodiscard]] bool reserve(std::size_t longest) noexcept;

  // Strips one file and prints its lines (rules/report_lines.hpp). Returns
  // false where a stop signal cut it short, with nothing written and
  // nothing reported of it but, on a terminal, a "Can't write" line after
  // its stripping line. An argument longer than the batch takes, or whose
  // lines the report cannot hold, is not opened: it gets "Can't open".
  bool strip_file(const char* argument);

 private:
  bool strip(const char* argument);
  std::optional<input_file> open_argument(const char* argument);
  bool may_follow(const char* name);
  std::optional<input_file> ready_input(std::optional<input_file> input, int dir, const char* name,
                                        int follow);
  window read_window(const input_file& input);
  bool write_output(std::string_view argument, input_file& input, const window& first);
  io_status copy_data(const input_file& input, const window& first);

  reporter& report_;
  std::span<std::byte, BUFFER_SIZE> read_buffer_;
  std::size_t longest_ = 0;
  std::string output_name_;
  this_process process_;
  output_directory directory_;
  output_file output_;
};

// The most that the lines of one file take, for an argument of `length`
// bytes: the stripping line, with a header text of up to a window, and one
// line after it. Each names the argument or its output, which is as long
// and an extension more.
[[nodiscard]] constexpr std::size_t one_file_lines(std::size_t length) {
  return 2 * message::LONGEST + READ_LIMIT + 3 * (length + OUTPUT_EXTENSION.size());
}

}  // namespace geos
