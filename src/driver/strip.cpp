#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <csignal>
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

// What an opened input is: its descriptor, and what fstat said of it.
struct input_file {
  unique_fd fd;
  struct stat status {};
};

// Opens without blocking so that a FIFO nobody writes to reads as empty
// instead of hanging the batch; reads of anything but a regular file then
// block again as usual.
std::optional<input_file> open_input(const char* path) {
  input_file input{unique_fd(::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)), {}};
  if (!input.fd || ::fstat(input.fd.get(), &input.status) != 0) {
    return std::nullopt;
  }
  if (!S_ISREG(input.status.st_mode)) {
    ::fcntl(input.fd.get(), F_SETFL, ::fcntl(input.fd.get(), F_GETFL) & ~O_NONBLOCK);
  }
  return input;
}

class batch {
 public:
  batch(reporter& report, std::span<std::byte, READ_LIMIT> read_buffer)
      : report_(report), read_buffer_(read_buffer) {
    output_name_.reserve(PATH_MAX);
  }

  void strip_file(const char* argument);

 private:
  void write_output(std::string_view argument, const input_file& input,
                    std::span<const std::byte> window, std::size_t marker_offset);

  reporter& report_;
  std::span<std::byte, READ_LIMIT> read_buffer_;
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
  const bool regular = S_ISREG(input->status.st_mode);
  const auto count =
      read_up_to(input->fd.get(), read_buffer_,
                 regular ? std::optional<std::size_t>(input->status.st_size) : std::nullopt);
  if (!count) {
    report_.print(message::CANT_READ, {argument});
    return;
  }
  const auto window = std::span<const std::byte>(read_buffer_).first(*count);
  const auto outcome = locate_sound_data(window);
  switch (outcome.kind) {
    case scan_kind::not_geos:
      report_.print(message::NOT_GEOS, {argument});
      return;
    case scan_kind::corrupted:
      report_.print(message::CORRUPTED, {argument});
      return;
    case scan_kind::found:
      write_output(argument, *input, window, outcome.marker_offset);
      return;
  }
}

void batch::write_output(std::string_view argument, const input_file& input,
                         std::span<const std::byte> window, std::size_t marker_offset) {
  if (!output_.create(output_name_, input.status.st_dev, input.status.st_ino)) {
    report_.print(message::CANT_OPEN_FOR_WRITE, {output_name_});
    return;
  }
  report_.print(message::STRIPPING, {argument, header_text(window), output_name_});
  if (!write_all(output_.fd(), window.subspan(marker_offset))) {
    output_.discard();
    report_.print(message::CANT_WRITE, {output_name_});
    return;
  }
  // Only a full window can have a tail; a shorter one met the input's end.
  if (window.size() == READ_LIMIT) {
    const auto copied =
        copy_rest(input.fd.get(), S_ISREG(input.status.st_mode), output_.fd(), read_buffer_);
    if (copied == copy_result::read_failed) {
      output_.discard();
      report_.print(message::CANT_READ, {argument});
      return;
    }
    if (copied == copy_result::write_failed) {
      output_.discard();
      report_.print(message::CANT_WRITE, {output_name_});
      return;
    }
  }
  if (!output_.commit()) {
    report_.print(message::CANT_WRITE, {output_name_});
  }
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
  // then the chunks of its tail where the kernel cannot copy it. Static
  // storage, so that obtaining it cannot fail.
  static std::array<std::byte, READ_LIMIT> read_buffer;
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
