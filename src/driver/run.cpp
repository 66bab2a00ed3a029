#include "driver/run.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include "driver/heap.hpp"
#include "driver/interrupt.hpp"
#include "driver/report.hpp"
#include "driver/strip_file.hpp"

namespace geos {

namespace {

constexpr std::string_view DEFAULT_PROGRAM_NAME = "geos-unwrap";

// Report lines are many and small: a buffer this large keeps them to a few
// writes per thousand files.
constexpr std::size_t REPORT_BATCH = std::size_t{64} * 1024;

constexpr std::size_t REPORT_BUFFER_SIZE = REPORT_BATCH + one_file_lines(PATH_MAX);

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

// Whether `files` takes arguments of every length given, else of those that
// fit a path, which most do; its memory is what decides.
bool reserve_batch(batch& files, std::size_t longest) {
  return files.reserve(longest) || files.reserve(std::min<std::size_t>(longest, PATH_MAX));
}

// Each argument gets its line, whatever memory allows.
void strip_all(reporter& report, int argc, const char* const* argv) {
  // One buffer serves the whole run: every input's first READ_LIMIT bytes,
  // then the chunks of its tail where the kernel does not copy it.
  static std::array<std::byte, BUFFER_SIZE> read_buffer;
  int next = 1;
  batch files(report, read_buffer);
  if (reserve_batch(files, longest_argument(argc, argv))) {
    for (; next < argc && stop_signal() == 0; ++next) {
      if (files.strip_file(argv[next])) {
        report.finish_file();
      }
    }
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
  return 0;
}

}  // namespace geos
