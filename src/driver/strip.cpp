#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <new>
#include <optional>

#include "driver/driver.hpp"
#include "driver/file_io.hpp"
#include "driver/heap.hpp"
#include "driver/interrupt.hpp"
#include "driver/platform.hpp"
#include "driver/report.hpp"
#include "driver/staged_output.hpp"
#include "format/geos_sound.hpp"

namespace geos {

namespace {

constexpr std::string_view DEFAULT_PROGRAM_NAME = "geos-unwrap";

// Report lines are many and small: a buffer this large keeps them to a few
// writes per thousand files.
constexpr std::size_t REPORT_BATCH = std::size_t{64} * 1024;

constexpr std::size_t LONGEST_MESSAGE =
    std::max({message::CANT_OPEN.size(), message::CANT_READ.size(), message::NOT_GEOS.size(),
              message::CORRUPTED.size(), message::CANT_OPEN_FOR_WRITE.size(),
              message::STRIPPING.size(), message::CANT_WRITE.size()});

// The most that the lines of one file take, for an argument of `length`
// bytes: the stripping line, with a header text of up to a window, and one
// line after it. Each names the argument or its output, which is as long
// and an extension more.
constexpr std::size_t one_file_lines(std::size_t length) {
  return 2 * LONGEST_MESSAGE + READ_LIMIT + 3 * (length + OUTPUT_EXTENSION.size());
}

constexpr std::size_t REPORT_BUFFER_SIZE = REPORT_BATCH + one_file_lines(PATH_MAX);

// About what a batch takes from the heap, for arguments of up to `longest`
// bytes: three buffers that hold one, the rest sized for any path.
constexpr std::size_t batch_memory(std::size_t longest) {
  return 3 * (longest + OUTPUT_EXTENSION.size() + 1) + std::size_t{8} * PATH_MAX;
}

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

// Opens as a blocking open does: a FIFO waits for its writer, and an input
// under a lease (Samba oplocks, NFS delegations) for the lease to be broken.
// A stop signal ends either wait, as no handler restarts the call.
unique_fd open_for_reading(int directory, const char* name, int flags) {
  return unique_fd(::openat(directory, name, O_RDONLY | O_NOCTTY | O_CLOEXEC | flags));
}

std::optional<input_file> open_input(unique_fd fd) {
  input_file input{std::move(fd), {}};
  if (!input.fd || ::fstat(input.fd.get(), &input.status) != 0) {
    return std::nullopt;
  }
  return input;
}

// Whether the outcome and header text of the first bytes are those the whole
// window would give: no signature, or a marker found and the header text
// ended by a NUL among them. A text that ends at the marker for want of a NUL
// would run up to a NUL further on.
bool settled(scan_outcome outcome, std::span<const std::byte> first_bytes) {
  if (outcome.kind != scan_kind::found) {
    return outcome.kind == scan_kind::not_geos;
  }
  // With a marker found, the text ends inside the bytes: at a NUL or at the
  // marker.
  return first_bytes[HEADER_TEXT_OFFSET + header_text(first_bytes).size()] == std::byte{0};
}

// Where a regular file is shorter than the window, reading one byte past its
// reported size proves its end in one request.
std::size_t first_request(const input_file& input) {
  const auto size = input.reported_size();
  return size > 0 && static_cast<std::size_t>(size) < READ_LIMIT
             ? static_cast<std::size_t>(size) + 1
             : FIRST_READ;
}

// Every buffer of a batch is sized when it starts, so that nothing is
// allocated per file and no allocation can fail halfway through a file.
class batch {
 public:
  // Takes arguments of up to `longest` bytes.
  batch(reporter& report, std::span<std::byte, BUFFER_SIZE> read_buffer, std::size_t longest)
      : report_(report),
        read_buffer_(read_buffer),
        longest_(longest),
        directory_(longest),
        output_(process_.ids()) {
    output_name_.reserve(longest + OUTPUT_EXTENSION.size());
  }

  // Strips one file and prints its lines. Returns false where a stop signal
  // cut it short, with nothing written. An argument longer than the batch
  // takes, or whose lines the report cannot hold, is not opened: it gets a
  // line of its own.
  bool strip_file(const char* argument);

 private:
  bool strip(const char* argument);
  std::optional<input_file> open_argument(const char* argument);
  unique_fd open_name(const char* name);
  window read_window(const input_file& input);
  bool write_output(std::string_view argument, input_file& input, const window& first);
  io_status copy_data(const input_file& input, const window& first);

  reporter& report_;
  std::span<std::byte, BUFFER_SIZE> read_buffer_;
  std::size_t longest_;
  std::string output_name_;
  this_process process_;
  output_directory directory_;
  staged_output output_;
};

bool batch::strip_file(const char* argument) {
  const auto length = std::strlen(argument);
  if (length <= longest_ && one_file_lines(length) <= report_.capacity()) {
    return strip(argument);
  }
  report_.print(message::CANT_OPEN, {argument});
  return true;
}

// A step that a stop signal cut short is no failure of the file's: it is
// not reported.
bool batch::strip(const char* argument) {
  derive_output_name(argument, output_name_);
  auto input = open_argument(argument);
  if (!input) {
    if (stop_signal() != 0) {
      return false;
    }
    report_.print(message::CANT_OPEN, {argument});
    return true;
  }
  const auto first = read_window(*input);
  if (first.status != io_status::done) {
    if (first.status == io_status::stopped) {
      return false;
    }
    report_.print(message::CANT_READ, {argument});
    return true;
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
// Where that directory cannot be opened, the input still can be by its path
// (and the output is refused later), but not through a link, which cannot
// be judged without its directory.
std::optional<input_file> batch::open_argument(const char* argument) {
  const auto parts = split_path(argument);
  if (!directory_.use(parts.directory)) {
    return open_input(open_for_reading(platform::starting_directory(), argument, O_NOFOLLOW));
  }
  // "dir/" names the directory itself; "" names nothing.
  const bool names_directory = parts.name.empty() && !parts.directory.empty();
  return open_input(open_name(names_directory ? "." : parts.name.data()));
}

// A symbolic link is followed only where may_follow_link allows, whatever
// the kernel's own protection is set to. Opening without following first
// costs nothing where the name is no link.
unique_fd batch::open_name(const char* name) {
  auto fd = open_for_reading(directory_.fd(), name, O_NOFOLLOW);
  struct stat link {};
  if (fd || ::fstatat(directory_.fd(), name, &link, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISLNK(link.st_mode) ||
      !may_follow_link(directory_.status(), link.st_uid, process_.ids())) {
    return fd;
  }
  return open_for_reading(directory_.fd(), name, 0);
}

window batch::read_window(const input_file& input) {
  const auto size = input.reported_size();
  const auto request = first_request(input);
  auto got = read_up_to(input.fd.get(), read_buffer_.first(request), size);
  auto outcome = locate_sound_data(read_buffer_.first(got.count));
  if (got.status == io_status::done && !got.at_end && request < READ_LIMIT &&
      !settled(outcome, read_buffer_.first(got.count))) {
    const auto rest_size = std::max<off_t>(size - static_cast<off_t>(got.count), 0);
    const auto rest = read_up_to(
        input.fd.get(), read_buffer_.subspan(got.count, READ_LIMIT - got.count), rest_size);
    got = {rest.status, got.count + rest.count, rest.at_end};
    outcome = locate_sound_data(read_buffer_.first(got.count));
  }
  return {got.status, read_buffer_.first(got.count), outcome, got.at_end};
}

bool batch::write_output(std::string_view argument, input_file& input, const window& first) {
  if (!directory_.is_open() || !output_.create(directory_, split_path(output_name_).name.data(),
                                               input.fd.get(), input.status)) {
    report_.print(message::CANT_OPEN_FOR_WRITE, {output_name_});
    return true;
  }
  report_.print(message::STRIPPING,
                {argument, {header_text(first.bytes), field_origin::file}, output_name_});
  const auto copied = copy_data(input, first);
  if (copied == io_status::stopped) {
    // Where the stripping line is on a terminal already, this one says the
    // output was not made; elsewhere both are dropped with the file. The
    // temporary goes with the batch.
    report_.print(message::CANT_WRITE, {output_name_});
    return false;
  }
  // A named temporary must go while its directory is the one in use.
  if (copied == io_status::read_failed) {
    output_.discard();
    report_.print(message::CANT_READ, {argument});
  } else if (copied == io_status::write_failed) {
    output_.discard();
    report_.print(message::CANT_WRITE, {output_name_});
  } else if (!output_.commit(read_buffer_, std::move(input.fd))) {
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

std::size_t longest_argument(int argc, const char* const* argv) {
  std::size_t longest = 0;
  for (int i = 1; i < argc; ++i) {
    longest = std::max(longest, std::strlen(argv[i]));
  }
  return longest;
}

// The report's buffer: static, so that obtaining it cannot fail, unless an
// argument is so long that its lines need more, which is then asked for
// once. Where that fails, such an argument cannot be held.
std::span<char> report_buffer(std::size_t longest, heap_array<char>& larger) {
  static std::array<char, REPORT_BUFFER_SIZE> fixed;
  const auto needed = REPORT_BATCH + one_file_lines(longest);
  if (needed <= fixed.size()) {
    return fixed;
  }
  larger = try_allocate<char>(needed);
  return larger ? std::span<char>(larger.get(), needed) : std::span<char>(fixed);
}

// The longest argument a batch can take with the memory to be had: all of
// them, else those that fit a path, else none. The memory is tried first
// and given back for the batch to take.
std::size_t longest_held(std::size_t longest) {
  for (const auto length : {longest, std::min<std::size_t>(longest, PATH_MAX)}) {
    if (try_allocate<char>(batch_memory(length))) {
      return length;
    }
  }
  return 0;
}

// Each argument gets its line, whatever memory allows.
void strip_all(reporter& report, int argc, const char* const* argv) {
  // One buffer serves the whole run: every input's first READ_LIMIT bytes,
  // then the chunks of its tail where the kernel does not copy it.
  static std::array<std::byte, BUFFER_SIZE> read_buffer;
  int next = 1;
  try {
    if (const auto longest = longest_held(longest_argument(argc, argv)); longest > 0) {
      batch files(report, read_buffer, longest);
      for (; next < argc && stop_signal() == 0; ++next) {
        if (files.strip_file(argv[next])) {
          report.finish_file();
        }
      }
    }
  } catch (const std::bad_alloc&) {
    // What the heap offered a moment ago is gone: no argument can be held.
  }
  for (; next < argc && stop_signal() == 0; ++next) {
    report.print(message::CANT_OPEN, {argv[next]});
    report.finish_file();
  }
}

}  // namespace

int run(int argc, const char* const* argv) {
  occupy_standard_descriptors();
  const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  heap_array<char> larger;
  reporter report(STDOUT_FILENO, terminal, report_buffer(longest_argument(argc, argv), larger));
  if (argc <= 1) {
    // argv[argc] is null, so an empty vector holds no name.
    report.print(message::USAGE, {argv[0] != nullptr ? argv[0] : DEFAULT_PROGRAM_NAME});
    report.finish_file();
    return 1;
  }
  // A file-size limit must show as a failed write, and a reader of the
  // report going away must not stop the batch halfway.
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
  catch_stop_signals();
  strip_all(report, argc, argv);
  // A stop that comes while the last lines wait for their reader ends the
  // run by the signal too.
  report.flush_finished();
  if (const int signal = stop_signal(); signal != 0) {
    die_of(signal);
  }
  platform::return_to_start();
  return 0;
}

}  // namespace geos
