#include "harness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "system.hpp"

namespace geos::e2e {

namespace {

using clock = std::chrono::steady_clock;

long since(clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start).count());
}

// Reads both streams to their end at once, so that neither pipe can fill up
// and stall the child, and closes them; standard output may be read late or
// given up on, as `options` says. Sends the child the signal of `options`
// once it has printed nothing for a while.
class output_reader {
 public:
  output_reader(std::array<int, 2> fds, run_result& result, pid_t child, const run_options& options,
                const fs::path& cwd)
      : cwd_(cwd),
        polled_{pollfd{fds[0], POLLIN, 0}, pollfd{fds[1], POLLIN, 0}},
        into_{&result.out, &result.err},
        result_(result),
        child_(child),
        options_(options),
        signal_(options.signal) {}

  void read_all() {
    while (polled_[0].fd >= 0 || polled_[1].fd >= 0) {
      step();
    }
    if (signalled_) {
      result_.ms_after_signal = since(*signalled_);
    }
  }

 private:
  void step() {
    const long pause = options_.read_delay_ms < 0 ? -1 : options_.read_delay_ms - since(start_);
    const bool paused = options_.read_delay_ms < 0 || pause > 0;
    polled_[0].events = paused ? 0 : POLLIN;
    long timeout = paused && pause > 0 ? pause : -1;
    if (signal_ != 0) {
      const long quiet = std::max(0L, options_.signal_after_ms - since(last_output_));
      timeout = timeout < 0 ? quiet : std::min(timeout, quiet);
    }
    ::poll(polled_.data(), static_cast<nfds_t>(polled_.size()), static_cast<int>(timeout));
    if (signal_ != 0 && since(last_output_) >= options_.signal_after_ms) {
      result_.out_before_signal = result_.out;
      if (options_.before_signal) {
        options_.before_signal(cwd_);
      }
      signalled_ = clock::now();
      ::kill(child_, std::exchange(signal_, 0));
    }
    for (std::size_t i = 0; i < polled_.size(); ++i) {
      if (polled_[i].fd >= 0 && polled_[i].revents != 0) {
        read_from(i);
      }
    }
  }

  void read_from(std::size_t i) {
    std::array<char, 4096> chunk{};
    const auto got = ::read(polled_[i].fd, chunk.data(), chunk.size());
    if (got > 0) {
      into_[i]->append(chunk.data(), static_cast<std::size_t>(got));
      last_output_ = clock::now();
    }
    const bool enough =
        i == 0 && options_.read_at_most > 0 && into_[0]->size() >= options_.read_at_most;
    if (got <= 0 || enough) {
      ::close(polled_[i].fd);
      polled_[i].fd = -1;
    }
  }

  const fs::path& cwd_;
  std::array<pollfd, 2> polled_;
  std::array<std::string*, 2> into_;
  run_result& result_;
  pid_t child_;
  const run_options& options_;
  int signal_;
  clock::time_point start_ = clock::now();
  clock::time_point last_output_ = start_;
  std::optional<clock::time_point> signalled_;
};

// Runs in the forked child of a possibly threaded test: nothing here may
// allocate.
[[noreturn]] void exec_child(const fs::path& cwd, char* const* argv, const char* file,
                             const run_options& options) {
  if (::chdir(cwd.c_str()) != 0) {
    ::_exit(126);
  }
  if (options.close_streams) {
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    ::close(STDERR_FILENO);
  }
  if (options.file_size_limit) {
    const rlimit limit{*options.file_size_limit, *options.file_size_limit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (options.address_space_limit) {
    const rlimit limit{*options.address_space_limit, *options.address_space_limit};
    ::setrlimit(RLIMIT_AS, &limit);
  }
  // A signal that dumps core must not leave a core file among the outputs.
  const rlimit core{0, 0};
  ::setrlimit(RLIMIT_CORE, &core);
  if (options.refused_statx != 0 && !refuse_statx(options.refused_statx)) {
    ::_exit(125);
  }
  // A run that spins (a fault in the program) must not outlive its test.
  const rlimit minute{60, 60};
  ::setrlimit(RLIMIT_CPU, &minute);
  ::execvp(file, argv);
  ::_exit(127);
}

void wait_for(pid_t child, run_result& result) {
  int status = 0;
  ::waitpid(child, &status, 0);
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + result.signal;
}

// qemu-user announces on the guest's standard error that the guest died of
// a signal that dumps core (even where no core is written): that line is
// the emulator's, not the program's.
void drop_emulator_report(std::string& err) {
  constexpr std::string_view REPORT = "qemu: uncaught target signal ";
  const auto at = err.find(REPORT);
  if (at != std::string::npos && (at == 0 || err[at - 1] == '\n')) {
    const auto end = err.find('\n', at);
    err.erase(at, end == std::string::npos ? end : end + 1 - at);
  }
}

}  // namespace

const char* tested_binary() {
  const char* binary = std::getenv("GEOS_UNWRAP_TEST_BINARY");
  return binary != nullptr && *binary != '\0' ? binary : GEOS_UNWRAP_BINARY;
}

const char* emulator() {
  const char* name = std::getenv("GEOS_UNWRAP_TEST_EMULATOR");
  return name != nullptr ? name : "";
}

bool emulated() { return *emulator() != '\0'; }

std::string stripped(const std::string& file) { return file.substr(file.find(MARKER)); }

std::string sound_bytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> byte(0x03, 0xFF);
  std::string sound(size, '\0');
  for (auto& c : sound) {
    c = static_cast<char>(byte(random));
  }
  return sound;
}

std::string geos_file(std::string_view text, std::string_view sound, std::size_t padding) {
  std::string file = SIGNATURE;
  file.append(text);
  file.push_back('\0');
  file.append(sound_bytes(padding, 7));
  file.append(MARKER);
  file.append(sound);
  return file;
}

run_result run_tool(const fs::path& cwd, const std::vector<std::string>& arguments,
                    const run_options& options, const std::string& program) {
  const bool direct = options.wrapper.empty() && !emulated();
  std::vector<std::string> command = options.wrapper;
  if (emulated()) {
    command.insert(command.end(), {emulator(), "-0", program});
  }
  command.push_back(direct ? program : tested_binary());
  command.insert(command.end(), arguments.begin(), arguments.end());

  // Standard output goes to a pipe or a pseudo-terminal, never to a file, so
  // that a file-size limit on the child cannot cut it short.
  std::array<int, 2> err{};
  std::array<int, 2> out{};
  if (!open_pipe(err)) {
    throw std::runtime_error("pipe failed");
  }
  if (!(options.terminal ? open_terminal(out) : open_pipe(out))) {
    throw std::runtime_error(options.terminal ? "no pseudo-terminal" : "pipe failed");
  }
  if (!options.terminal && options.nonblocking_output) {
    ::fcntl(out[1], F_SETFL, O_NONBLOCK);
  }
  if (!options.terminal && options.output_pipe_size > 0) {
    set_pipe_capacity(out[1], options.output_pipe_size);
  }
  std::vector<char*> argv;
  for (auto& word : command) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  const char* file = direct ? tested_binary() : argv[0];
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    exec_child(cwd, argv.data(), file, options);
  }
  ::close(out[1]);
  ::close(err[1]);
  run_result result;
  output_reader({out[0], err[0]}, result, child, options, cwd).read_all();
  wait_for(child, result);
  if (emulated()) {
    drop_emulator_report(result.err);
  }
  return result;
}

bool have(const char* command) {
  return shell(std::string("command -v ") + command + " >/dev/null 2>&1").has_value();
}

std::optional<std::string> shell(const std::string& command) {
  std::FILE* const pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return std::nullopt;
  }
  std::string out;
  std::array<char, 4096> chunk{};
  for (std::size_t got = 0; (got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;) {
    out.append(chunk.data(), got);
  }
  return ::pclose(pipe) == 0 ? std::optional(out) : std::nullopt;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const fs::path& path, std::string_view content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const auto name = entry.path().lexically_relative(root).string();
    if (entry.is_symlink()) {
      entries[name] = "-> " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      entries[name] = "<dir>";
    } else if (entry.is_regular_file()) {
      entries[name] = read_file(entry.path());
    } else {
      entries[name] = "<special>";
    }
  }
  return entries;
}

scratch_dir::scratch_dir() {
  std::string pattern = (fs::temp_directory_path() / "geos-unwrap-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

scratch_dir::~scratch_dir() {
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

}  // namespace geos::e2e
