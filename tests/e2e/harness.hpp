// Runs the real geos-unwrap binary in a scratch directory and reads back
// what it printed and what it left on disk.
#pragma once

#include <sys/resource.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace geos::e2e {

namespace fs = std::filesystem;

inline const std::string SIGNATURE = "\xC7\x45\xC1\x53";
inline const std::string MARKER = "\x02\x4A\x3A";
// What an earlier output of the tool may hold: it begins with the marker.
inline const std::string EARLIER = MARKER + "old";

// A GEOS sound file: signature, header text and its NUL, `padding` bytes of
// further header free of the marker, then the marker and `sound`.
std::string geos_file(std::string_view text, std::string_view sound, std::size_t padding = 20);

// The bytes a strip of `file` must produce: from the marker to the end.
std::string stripped(const std::string& file);

// `size` bytes of sound data that hold no marker and no NUL.
std::string sound_bytes(std::size_t size, unsigned seed = 1);

// The binary under test: $GEOS_UNWRAP_TEST_BINARY where set (e.g. a
// cross-built static one), else the one built with the tests. It runs under
// $GEOS_UNWRAP_TEST_EMULATOR where that is set, a qemu-user emulator (its -0
// option passes on the program name as invoked).
const char* tested_binary();
const char* emulator();

// Whether the binary runs under an emulator, whose own system calls are
// then what a tracer sees.
bool emulated();

struct run_options {
  std::optional<rlim_t> file_size_limit;  // RLIMIT_FSIZE of the child
  bool terminal = false;                  // standard output on a pseudo-terminal
  std::vector<std::string> wrapper;       // e.g. {"strace", ...}, run before the binary
  bool close_streams = false;             // start with descriptors 0, 1 and 2 closed
  int signal = 0;                         // sent once the child has printed nothing for
  int signal_after_ms = 0;                // `signal_after_ms`
  // Where set, called with the run's directory just before the signal is sent.
  std::function<void(const fs::path& cwd)> before_signal;
  std::optional<rlim_t> address_space_limit;  // RLIMIT_AS of the child
  bool nonblocking_output = false;            // standard output pipe in O_NONBLOCK mode
  int output_pipe_size = 0;      // where set and the system can, the pipe's capacity in bytes
  int read_delay_ms = 0;         // standard output is not read before this (-1: until the end)
  std::size_t read_at_most = 0;  // where set, the reader goes away after this many bytes
  int refused_statx = 0;         // where set, statx fails with this errno (refuse_statx)
};

struct run_result {
  int status = -1;  // exit status, or 128 + signal
  int signal = 0;   // the signal the child died of, or 0 where it exited
  std::string out;
  std::string err;
  std::string out_before_signal;  // what standard output showed when the signal was sent
  long ms_after_signal = -1;      // from the signal to the end of the child's output
};

// Runs geos-unwrap in `cwd` with `arguments` after the program name
// `program` (argv[0]).
run_result run_tool(const fs::path& cwd, const std::vector<std::string>& arguments,
                    const run_options& options = {}, const std::string& program = "geos-unwrap");

// Whether `command` is installed.
bool have(const char* command);

// Runs `command` in a shell and returns its standard output, or
// std::nullopt where it fails.
std::optional<std::string> shell(const std::string& command);

std::string read_file(const fs::path& path);
void write_file(const fs::path& path, std::string_view content);

// Every entry below `root` (relative path → content, "<dir>" or
// "-> target" for links), to compare whole trees before and after a run.
std::map<std::string, std::string> snapshot(const fs::path& root);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class scratch_dir {
 public:
  scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
  ~scratch_dir();
  [[nodiscard]] const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

}  // namespace geos::e2e
