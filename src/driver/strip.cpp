#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <optional>

#include "driver/driver.hpp"
#include "driver/file_io.hpp"
#include "driver/interrupt.hpp"
#include "driver/platform.hpp"
#include "driver/report.hpp"
#include "driver/staged_output.hpp"
#include "format/geos_sound.hpp"

namespace geos {

namespace {

constexpr std::string_view DEFAULT_PROGRAM_NAME = "geos-unwrap";

constexpr std::size_t REPORT_BUFFER_SIZE = std::size_t{64} * 1024;

// Holds the window, and later serves copies in chunks large enough for the
// page cache to take them whole, and the attributes of a replaced output.
constexpr std::size_t BUFFER_SIZE = std::size_t{512} * 1024;
static_assert(BUFFER_SIZE >= READ_LIMIT);

// Most headers end within the first kilobyte. Reading only that much of a
// long file lets the kernel copy the rest without it passing through here;
// the whole window is read only where these bytes do not settle the outcome.
constexpr std::size_t FIRST_READ = 1024;

// The unit of st_blocks on every system this builds on.
constexpr off_t BLOCK_UNIT = 512;

// While a lease on an input is being broken, the open is retried at
// growing intervals up to this one.
constexpr long LONGEST_LEASE_PAUSE_NS = 100'000'000;

// What an opened input is: its descriptor, and what fstat said of it.
struct input_file {
  unique_fd fd;
  struct stat status {};

  [[nodiscard]] bool regular() const { return S_ISREG(status.st_mode); }
  // A size of 0 says nothing: files in /proc report it whatever they hold.
  [[nodiscard]] off_t reported_size() const { return regular() ? status.st_size : 0; }
  [[nodiscard]] bool has_holes() const { return status.st_blocks * BLOCK_UNIT < status.st_size; }
};

// The first bytes of an input and what they hold.
struct window {
  io_status status;
  std::span<const std::byte> bytes;
  scan_outcome outcome;
  bool at_end;  // the input ends with these bytes
};

// Opens without blocking, so that a FIFO nobody writes to reads as empty
// instead of hanging the batch. An input under a lease refuses such an open
// until the lease is broken, which the refusal itself sets going; the open
// is retried until then, as a blocking open would wait.
unique_fd open_without_blocking(int directory, const char* name, int flags) {
  timespec pause{0, 1'000'000};
  for (;;) {
    unique_fd fd(::openat(directory, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | flags));
    if (fd || errno != EWOULDBLOCK || stop_signal() != 0) {
      return fd;
    }
    static_cast<void>(::nanosleep(&pause, nullptr));
    pause.tv_nsec = std::min(pause.tv_nsec * 2, LONGEST_LEASE_PAUSE_NS);
  }
}

// Reads of anything but a regular file block again as usual.
std::optional<input_file> open_input(unique_fd fd) {
  input_file input{std::move(fd), {}};
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

// Where a regular file is shorter than the window, reading one byte past its
// reported size proves its end in one request.
std::size_t first_request(const input_file& input) {
  const auto size = input.reported_size();
  return size > 0 && static_cast<std::size_t>(size) < READ_LIMIT
             ? static_cast<std::size_t>(size) + 1
             : FIRST_READ;
}

class batch {
 public:
  batch(reporter& report, std::span<std::byte, BUFFER_SIZE> read_buffer)
      : report_(report), read_buffer_(read_buffer), output_(process_.ids()) {
    output_name_.reserve(PATH_MAX);
    directory_path_.reserve(PATH_MAX);
  }

  // Strips one file and prints its lines. Returns false where a stop signal
  // cut it short, with nothing written.
  bool strip_file(const char* argument);

 private:
  std::optional<input_file> open_argument(const char* argument);
  unique_fd open_name(int directory, const char* name, const struct stat* directory_status,
                      std::string_view directory_path);
  window read_window(const input_file& input);
  bool write_output(std::string_view argument, const input_file& input, const window& first);
  io_status copy_data(const input_file& input, const window& first);

  reporter& report_;
  std::span<std::byte, BUFFER_SIZE> read_buffer_;
  std::string output_name_;
  std::string directory_path_;
  this_process process_;
  output_directory directory_;
  staged_output output_;
};

bool batch::strip_file(const char* argument) {
  derive_output_name(argument, output_name_);
  auto input = open_argument(argument);
  if (!input) {
    report_.print(message::CANT_OPEN, {argument});
    return stop_signal() == 0;
  }
  const auto first = read_window(*input);
  if (first.status != io_status::done) {
    report_.print(message::CANT_READ, {argument});
    return first.status != io_status::stopped;
  }
  switch (first.outcome.kind) {
    case scan_kind::not_geos:
      report_.print(message::NOT_GEOS, {argument});
      return true;
    case scan_kind::corrupted:
      report_.print(message::CORRUPTED, {argument});
      return true;
    case scan_kind::found:
      return write_output(argument, *input, first);
  }
  return true;
}

// The input is opened inside the directory that its output goes into, so
// that both are in the same place whatever happens to the path meanwhile.
// Where that directory cannot be opened, the input still can be by its path,
// and the output is refused later.
std::optional<input_file> batch::open_argument(const char* argument) {
  const auto parts = split_path(argument);
  if (!directory_.use(parts.directory)) {
    return open_input(
        open_name(platform::starting_directory(), argument, nullptr, parts.directory));
  }
  // "dir/" names the directory itself; "" names nothing.
  const bool names_directory = parts.name.empty() && !parts.directory.empty();
  return open_input(open_name(directory_.fd(), names_directory ? "." : parts.name.data(),
                              &directory_.status(), {}));
}

// A symbolic link is followed only where may_follow_link allows, whatever
// the kernel's own protection is set to. Opening without following first
// costs nothing where the name is no link. `directory_status` is that of
// the directory holding the name, or null where it must be looked up by
// `directory_path`.
unique_fd batch::open_name(int directory, const char* name, const struct stat* directory_status,
                           std::string_view directory_path) {
  auto fd = open_without_blocking(directory, name, O_NOFOLLOW);
  struct stat link {};
  if (fd || ::fstatat(directory, name, &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode)) {
    return fd;
  }
  struct stat looked_up {};
  if (directory_status == nullptr) {
    directory_path_.assign(directory_path.empty() ? std::string_view(".") : directory_path);
    if (::fstatat(directory, directory_path_.c_str(), &looked_up, 0) != 0) {
      return {};
    }
    directory_status = &looked_up;
  }
  if (!may_follow_link(*directory_status, link.st_uid, process_.ids())) {
    return {};
  }
  return open_without_blocking(directory, name, 0);
}

window batch::read_window(const input_file& input) {
  const auto size = input.reported_size();
  const auto request = first_request(input);
  auto got = read_up_to(input.fd.get(), read_buffer_.first(request), size);
  auto outcome = locate_sound_data(read_buffer_.first(got.count));
  if (got.status == io_status::done && !got.at_end && request < READ_LIMIT &&
      !settled(outcome, read_buffer_.first(got.count))) {
    const auto rest_size =
        size > static_cast<off_t>(got.count) ? size - static_cast<off_t>(got.count) : 0;
    const auto rest = read_up_to(
        input.fd.get(), read_buffer_.subspan(got.count, READ_LIMIT - got.count), rest_size);
    got = {rest.status, got.count + rest.count, rest.at_end};
    outcome = locate_sound_data(read_buffer_.first(got.count));
  }
  return {got.status, read_buffer_.first(got.count), outcome, got.at_end};
}

bool batch::write_output(std::string_view argument, const input_file& input, const window& first) {
  if (!directory_.is_open() || !output_.create(directory_, split_path(output_name_).name.data(),
                                               input.fd.get(), input.status)) {
    report_.print(message::CANT_OPEN_FOR_WRITE, {output_name_});
    return true;
  }
  report_.print(message::STRIPPING, {argument, header_text(first.bytes), output_name_});
  const auto copied = copy_data(input, first);
  if (copied == io_status::stopped) {
    output_.discard();
    return false;
  }
  if (copied == io_status::read_failed) {
    output_.discard();
    report_.print(message::CANT_READ, {argument});
  } else if (copied == io_status::write_failed || !output_.commit(read_buffer_)) {
    output_.discard();
    report_.print(message::CANT_WRITE, {output_name_});
  }
  return true;
}

// An input that ended within the window is written from it. A longer
// regular file is copied from the file itself, by the kernel where it can;
// anything else is written from the window and then streamed. The window's
// bytes are not needed after the stripping line, so the read buffer serves
// as scratch.
io_status batch::copy_data(const input_file& input, const window& first) {
  const auto marker_offset = first.outcome.marker_offset;
  if (!first.at_end && input.reported_size() > 0) {
    return copy_to_end(input.fd.get(), static_cast<off_t>(marker_offset), output_.fd(),
                       {input.reported_size(), input.has_holes()}, read_buffer_);
  }
  const auto written = write_all(output_.fd(), first.bytes.subspan(marker_offset));
  if (written != io_status::done || first.at_end) {
    return written;
  }
  return copy_stream(input.fd.get(), output_.fd(), read_buffer_);
}

// Descriptors 0, 1 and 2 are given something harmless where they are
// closed, so that no file of this run can take their numbers and receive
// what is meant for the standard streams.
void occupy_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
      continue;
    }
    if (::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) < 0) {
      // A directory cannot be written to: report lines then go nowhere.
      static_cast<void>(::open("/", O_RDONLY | O_DIRECTORY));
    }
  }
}

}  // namespace

int run(int argc, const char* const* argv) {
  occupy_standard_descriptors();
  const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  // Report lines are many and small: one large buffer keeps them to a few
  // writes per thousand files. Static storage, like the read buffer, so that
  // obtaining them cannot fail.
  static std::array<char, REPORT_BUFFER_SIZE> report_buffer;
  reporter report(STDOUT_FILENO, terminal, report_buffer);
  if (argc <= 1) {
    report.print(message::USAGE, {argc > 0 && argv[0] != nullptr ? argv[0] : DEFAULT_PROGRAM_NAME});
    return 1;
  }
  // One buffer serves the whole run: every input's first READ_LIMIT bytes,
  // then the chunks of its tail where the kernel does not copy it.
  static std::array<std::byte, BUFFER_SIZE> read_buffer;
  // A file-size limit must show as a failed write, and a reader of the
  // report going away must not stop the batch halfway.
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
  catch_stop_signals();
  {
    batch files(report, read_buffer);
    for (int i = 1; i < argc && stop_signal() == 0; ++i) {
      if (files.strip_file(argv[i])) {
        report.finish_file();
      }
    }
  }
  if (const int signal = stop_signal(); signal != 0) {
    report.flush_finished();
    die_of(signal);
  }
  return 0;
}

}  // namespace geos
