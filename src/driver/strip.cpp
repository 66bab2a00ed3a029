#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "driver/driver.hpp"
#include "driver/file_io.hpp"
#include "driver/report.hpp"
#include "driver/staged_output.hpp"
#include "format/geos_sound.hpp"

namespace geos {

namespace {

constexpr std::string_view DEFAULT_PROGRAM_NAME = "geos-unwrap";

constexpr std::size_t STDOUT_BUFFER_SIZE = std::size_t{64} * 1024;

// Holds the window, and later serves copies in chunks large enough for the
// page cache to take them whole.
constexpr std::size_t BUFFER_SIZE = std::size_t{512} * 1024;
static_assert(BUFFER_SIZE >= READ_LIMIT);

// Most headers end within the first kilobyte. Reading only that much lets
// the kernel copy the rest of a regular file without it passing through
// here; the whole window is read only where these bytes do not settle the
// outcome.
constexpr std::size_t FIRST_READ = 1024;

// What an opened input is: its descriptor, and what fstat said of it.
struct input_file {
  unique_fd fd;
  struct stat status {};

  [[nodiscard]] bool regular() const { return S_ISREG(status.st_mode); }
  // No read request is made past a regular file's size.
  [[nodiscard]] std::size_t enough() const {
    return regular() ? static_cast<std::size_t>(status.st_size) : SIZE_MAX;
  }
};

// The first bytes of an input, what they hold, and whether reading stopped
// before the input's end.
struct window {
  std::span<const std::byte> bytes;
  scan_outcome outcome;
  bool more_to_come;
};

// Opens without blocking so that a FIFO nobody writes to reads as empty
// instead of hanging the batch; reads of anything but a regular file then
// block again as usual.
std::optional<input_file> open_input(const char* path) {
  input_file input{unique_fd(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)), {}};
  if (!input.fd || ::fstat(input.fd.get(), &input.status) != 0) {
    return std::nullopt;
  }
  if (!input.regular()) {
    ::fcntl(input.fd.get(), F_SETFL, ::fcntl(input.fd.get(), F_GETFL) & ~O_NONBLOCK);
  }
  return input;
}

// Whether the outcome of the first bytes is the one the whole window would
// give: no signature, or a marker found with the header text ending before
// their end.
bool settled(scan_outcome outcome, std::span<const std::byte> first_bytes) {
  return outcome.kind == scan_kind::not_geos ||
         (outcome.kind == scan_kind::found &&
          HEADER_TEXT_OFFSET + header_text(first_bytes).size() < first_bytes.size());
}

class batch {
 public:
  batch(reporter& report, std::span<std::byte, BUFFER_SIZE> read_buffer)
      : report_(report), read_buffer_(read_buffer) {
    output_name_.reserve(PATH_MAX);
  }

  void strip_file(const char* argument);

 private:
  std::optional<window> read_window(const input_file& input);
  void write_output(std::string_view argument, const input_file& input, window first);
  copy_result copy_data(const input_file& input, window first);

  reporter& report_;
  std::span<std::byte, BUFFER_SIZE> read_buffer_;
  std::string output_name_;
  staged_output output_;
};

void batch::strip_file(const char* argument) {
  derive_output_name(argument, output_name_);
  auto input = open_input(argument);
  if (!input) {
    report_.print(message::CANT_OPEN, {argument});
    return;
  }
  const auto first = read_window(*input);
  if (!first) {
    report_.print(message::CANT_READ, {argument});
    return;
  }
  switch (first->outcome.kind) {
    case scan_kind::not_geos:
      report_.print(message::NOT_GEOS, {argument});
      return;
    case scan_kind::corrupted:
      report_.print(message::CORRUPTED, {argument});
      return;
    case scan_kind::found:
      write_output(argument, *input, *first);
      return;
  }
}

std::optional<window> batch::read_window(const input_file& input) {
  auto count = read_up_to(input.fd.get(), read_buffer_.first(FIRST_READ), input.enough());
  if (!count) {
    return std::nullopt;
  }
  auto requested = FIRST_READ;
  auto outcome = locate_sound_data(read_buffer_.first(*count));
  if (*count == FIRST_READ && !settled(outcome, read_buffer_.first(FIRST_READ))) {
    requested = READ_LIMIT;
    const auto rest =
        read_up_to(input.fd.get(), read_buffer_.subspan(FIRST_READ, READ_LIMIT - FIRST_READ),
                   input.enough() - FIRST_READ);
    if (!rest) {
      return std::nullopt;
    }
    *count += *rest;
    outcome = locate_sound_data(read_buffer_.first(*count));
  }
  return window{read_buffer_.first(*count), outcome, *count == requested};
}

void batch::write_output(std::string_view argument, const input_file& input, window first) {
  if (!output_.create(output_name_, input.status.st_dev, input.status.st_ino)) {
    report_.print(message::CANT_OPEN_FOR_WRITE, {output_name_});
    return;
  }
  report_.print(message::STRIPPING, {argument, header_text(first.bytes), output_name_});
  const auto copied = copy_data(input, first);
  if (copied == copy_result::read_failed) {
    output_.discard();
    report_.print(message::CANT_READ, {argument});
  } else if (copied == copy_result::write_failed || !output_.commit()) {
    output_.discard();
    report_.print(message::CANT_WRITE, {output_name_});
  }
}

// A regular input is copied from the file itself, by the kernel where it
// can; anything else is written from the window and then streamed. The
// window's bytes are not needed after the stripping line, so the read buffer
// serves as scratch.
copy_result batch::copy_data(const input_file& input, window first) {
  const auto marker_offset = first.outcome.marker_offset;
  if (input.regular()) {
    return copy_range(input.fd.get(), static_cast<off_t>(marker_offset),
                      std::max(input.status.st_size, static_cast<off_t>(first.bytes.size())),
                      output_.fd(), read_buffer_);
  }
  if (!write_all(output_.fd(), first.bytes.subspan(marker_offset))) {
    return copy_result::write_failed;
  }
  return first.more_to_come ? copy_stream(input.fd.get(), output_.fd(), read_buffer_)
                            : copy_result::done;
}

}  // namespace

int run(int argc, const char* const* argv) {
  const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  reporter report(stdout, terminal);
  if (argc <= 1) {
    report.print(message::USAGE, {argc > 0 && argv[0] != nullptr ? argv[0] : DEFAULT_PROGRAM_NAME});
    static_cast<void>(std::fflush(stdout));
    return 1;
  }
  // One buffer serves the whole run: every input's first READ_LIMIT bytes,
  // then the chunks of its tail where the kernel does not copy it. Static
  // storage, so that obtaining it cannot fail.
  static std::array<std::byte, BUFFER_SIZE> read_buffer;
  // Report lines are many and small: one large buffer keeps them to a few
  // writes per thousand files.
  static std::array<char, STDOUT_BUFFER_SIZE> stdout_buffer;
  static_cast<void>(
      std::setvbuf(stdout, stdout_buffer.data(), terminal ? _IOLBF : _IOFBF, stdout_buffer.size()));
  // A file-size limit must show as a failed write, and a reader of the
  // report going away must not stop the batch halfway.
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
  batch files(report, read_buffer);
  for (int i = 1; i < argc; ++i) {
    files.strip_file(argv[i]);
  }
  static_cast<void>(std::fflush(stdout));
  return 0;
}

}  // namespace geos
