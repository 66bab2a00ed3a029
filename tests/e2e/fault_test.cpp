// Runs the binary while the system fails under it (failed calls, kills,
// concurrent runs) and checks what is left on disk:
// every input and output is either as before or exactly the finished strip,
// and no temporary survives.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <future>

#include "case_name.hpp"
#include "harness.hpp"

namespace geos::e2e {
namespace {

// One input of the batch and the output it should give.
struct job {
  std::string input;
  std::string output;
};

// A batch that covers each way of writing: in place over a long input, over
// an existing other output, to a new output with a streamed tail, followed
// by a name that must still be reported.
class batch {
 public:
  batch() {
    write_file(at("long.rng"), geos_file("in place", sound_bytes(1'500'000, 5)));
    write_file(at("tone.snd"), geos_file("over", sound_bytes(1000, 6)));
    write_file(at("tone.rng"), MARKER + "precious old output");
    // Unlike the umask, so that the replacement has a mode to set.
    fs::permissions(at("tone.rng"), fs::perms(0664));
    fs::create_directory(at("sub"));
    write_file(at("sub/deep.snd"), geos_file("new", sound_bytes(200000, 8)));
    write_file(at("plain.txt"), "not geos");
    before_ = snapshot(dir_.path());
  }

  [[nodiscard]] const fs::path& path() const { return dir_.path(); }
  static std::vector<std::string> arguments() {
    return {"long.rng", "tone.snd", "sub/deep.snd", "plain.txt"};
  }

  // Checks the files after a run; `report` is its standard output, where it
  // was neither killed nor kept from printing.
  void check(std::optional<std::string> report) const {
    if (report && report->empty()) {
      report.reset();
    }
    auto after = snapshot(dir_.path());
    if (!report && !GEOS_UNWRAP_UNNAMED_TEMPORARIES) {
      forget_killed_temporaries(after);
    }
    for (const auto& [input, output] : JOBS) {
      const auto& source = before_.at(input);
      const auto old_output = before_.contains(output) ? before_.at(output) : "<none>";
      const auto now = after.contains(output) ? after.at(output) : "<none>";
      const bool done = now == stripped(source);
      EXPECT_TRUE(done || now == old_output) << output << " is neither old nor finished";
      if (input != output) {
        EXPECT_EQ(after.at(input), source) << input << " changed";
      }
      if (report) {
        EXPECT_EQ(done, succeeded(*report, input, output)) << *report;
      }
      after.erase(input);
      after.erase(output);
    }
    after.erase("sub");
    after.erase("plain.txt");
    EXPECT_TRUE(after.empty()) << "left behind: " << after.begin()->first;
    if (report) {
      EXPECT_NE(report->find("'plain.txt'"), std::string::npos) << "last name not reached";
    }
  }

 private:
  static bool succeeded(const std::string& report, const std::string& input,
                        const std::string& output) {
    return report.find("Stripping '" + input + "'") != std::string::npos &&
           report.find("Can't write '" + output + "'") == std::string::npos &&
           report.find("Can't read '" + input + "'") == std::string::npos;
  }
  fs::path at(const std::string& name) const { return dir_.path() / name; }

  // Where temporaries have names, a killed run cannot remove its own; they
  // must be private until they hold a finished output.
  void forget_killed_temporaries(std::map<std::string, std::string>& after) const {
    std::erase_if(after, [this](const auto& entry) {
      if (!fs::path(entry.first).filename().string().starts_with(".geos-unwrap-")) {
        return false;
      }
      const bool finished = std::ranges::any_of(
          JOBS, [&](const job& j) { return entry.second == stripped(before_.at(j.input)); });
      EXPECT_TRUE(finished || fs::status(at(entry.first)).permissions() == fs::perms(0600))
          << entry.first;
      return true;
    });
  }

  static inline const std::vector<job> JOBS = {
      {"long.rng", "long.rng"}, {"tone.snd", "tone.rng"}, {"sub/deep.snd", "sub/deep.rng"}};
  scratch_dir dir_;
  std::map<std::string, std::string> before_;
};

// How often `syscall` is made in an undisturbed run of the batch.
int count_calls(const std::string& syscall) {
  const batch files;
  const auto log = files.path().parent_path() / (files.path().filename().string() + ".strace");
  run_tool(files.path(), batch::arguments(),
           {.file_size_limit = {},
            .terminal = false,
            .wrapper = {"strace", "-f", "-o", log.string(), "-e", "trace=" + syscall}});
  const auto text = read_file(log);
  fs::remove(log);
  return static_cast<int>(std::count(text.begin(), text.end(), '\n')) - 1;
}

struct fault_case {
  const char* name;
  const char* syscall;
  const char* fault;  // strace's inject action
  friend void PrintTo(const fault_case& c, std::ostream* os) { *os << c.name; }
};

class injected_fault : public testing::TestWithParam<fault_case> {};

TEST_P(injected_fault, leaves_every_file_old_or_finished_at_every_call) {
  if (!have("strace")) {
    GTEST_SKIP() << "needs strace, which is not installed, to fail the program's calls";
  }
  if (emulated()) {
    GTEST_SKIP() << "strace would fail the emulator's system calls, not the program's";
  }
  const auto& param = GetParam();
  const bool kill = std::string_view(param.fault).starts_with("signal");
  const int calls = count_calls(param.syscall);
  if (calls == 0) {
    // The batch strips a file in place, which must be on the medium.
    ASSERT_STRNE(param.syscall, "fsync") << "nothing flushed the file stripped in place";
    GTEST_SKIP() << "this build makes no " << param.syscall << " call";
  }
  for (int when = 1; when <= calls; ++when) {
    SCOPED_TRACE(std::string(param.syscall) + " call " + std::to_string(when));
    const batch files;
    const auto inject = std::string("inject=") + param.syscall + ":" + param.fault +
                        ":when=" + std::to_string(when);
    const auto result =
        run_tool(files.path(), batch::arguments(),
                 {.file_size_limit = {},
                  .terminal = false,
                  .wrapper = {"strace", "-f", "-o", "/dev/null", "-e",
                              "trace=" + std::string(param.syscall), "-e", inject}});
    files.check(kill ? std::nullopt : std::optional(result.out));
  }
  RecordProperty("fault_points", calls);
}

// A set of calls names glibc's first, then the ones musl makes instead (the
// static build); the '?' lets strace pass over a name the architecture lacks.
//
// A kill between linking the finished temporary under its hidden name and
// renaming it (the close and the rename) leaves that hidden file behind, so
// those two are failed but not killed.
INSTANTIATE_TEST_SUITE_P(
    calls, injected_fault,
    testing::Values(fault_case{"read_fails", "read", "error=EIO"},
                    fault_case{"positioned_read_fails", "pread64", "error=EIO"},
                    fault_case{"write_fails", "write", "error=ENOSPC"},
                    fault_case{"kernel_copy_fails", "copy_file_range", "error=EIO"},
                    fault_case{"fsync_fails", "fsync", "error=EIO"},
                    fault_case{"write_back_fails", "sync_file_range", "error=EIO"},
                    fault_case{"link_fails", "linkat", "error=EIO"},
                    fault_case{"link_by_descriptor_refused", "linkat", "error=ENOENT"},
                    fault_case{"rename_fails", "renameat", "error=EIO"},
                    fault_case{"close_fails", "close", "error=EIO"},
                    fault_case{"open_fails", "openat,?open", "error=EIO"},
                    fault_case{"unnamed_temp_unsupported", "openat,?open", "error=EOPNOTSUPP"},
                    fault_case{"stat_fails", "newfstatat,?fstat,?lstat", "error=EIO"},
                    fault_case{"output_stat_fails", "statx", "error=EIO"},
                    fault_case{"attribute_list_fails", "flistxattr,llistxattr", "error=EIO"},
                    fault_case{"fchmod_fails", "fchmod", "error=EPERM"},
                    fault_case{"killed_at_write", "write", "signal=KILL"},
                    fault_case{"killed_at_kernel_copy", "copy_file_range", "signal=KILL"},
                    fault_case{"killed_at_fsync", "fsync", "signal=KILL"},
                    fault_case{"killed_at_write_back", "sync_file_range", "signal=KILL"},
                    fault_case{"killed_at_link", "linkat", "signal=KILL"},
                    fault_case{"killed_at_open", "openat,?open", "signal=KILL"}),
    case_name{});

TEST(concurrent_runs, in_place_on_one_file_end_with_the_strip) {
  const scratch_dir dir;
  const auto tone = geos_file("shared", sound_bytes(3'000'000, 9));
  write_file(dir.path() / "tone.rng", tone);
  std::vector<std::future<run_result>> runs;
  for (int i = 0; i < 4; ++i) {
    runs.push_back(
        std::async(std::launch::async, [&] { return run_tool(dir.path(), {"tone.rng"}); }));
  }
  for (auto& run : runs) {
    const auto out = run.get().out;
    EXPECT_TRUE(out == "Stripping 'tone.rng' (shared) to 'tone.rng'.\n" ||
                out == "'tone.rng' is not a GEOS file (already stripped?).\n")
        << out;
  }
  EXPECT_EQ(snapshot(dir.path()),
            (std::map<std::string, std::string>{{"tone.rng", stripped(tone)}}));
}

TEST(odd_names, are_used_and_reported_byte_for_byte) {
  const scratch_dir dir;
  // 1150 bytes where PATH_MAX allows them beside the scratch directory's own
  // path; fewer 95-byte levels where it is smaller (1024 on macOS and the
  // BSDs).
  const auto room = std::size_t{PATH_MAX} - dir.path().string().size() - 12;
  std::string deep = "d";
  for (std::size_t level = 0; level < std::min<std::size_t>(12, room / 95); ++level) {
    deep += "/" + std::string(90, static_cast<char>('a' + level)) + ".dir";
  }
  fs::create_directories(dir.path() / deep);
  const std::vector<std::pair<std::string, std::string>> names = {
      {"new\nline.snd", "new\nline.rng"},
      {"%s%n%x.snd", "%s%n%x.rng"},
      {deep + "/long.snd", deep + "/long.rng"}};
  std::vector<std::string> arguments;
  std::string expected;
  for (const auto& [input, output] : names) {
    write_file(dir.path() / input, geos_file("%s", input));
    arguments.push_back(input);
    expected += "Stripping '" + input + "' (%s) to '" + output + "'.\n";
  }
  EXPECT_EQ(run_tool(dir.path(), arguments).out, expected);
  for (const auto& [input, output] : names) {
    EXPECT_EQ(read_file(dir.path() / output), MARKER + input) << output;
  }
}

// Under every address-space limit the program starts with, however tight,
// an argument that cannot be held gets its line and the batch goes on:
// nothing on standard error, no abort, every file's line in its place.
TEST(memory_limits, never_end_the_batch) {
  if (emulated() || GEOS_UNWRAP_SANITIZE) {
    GTEST_SKIP() << "the limit would fall on the emulator or the sanitizer's shadow memory";
  }
  const scratch_dir dir;
  for (const char* name : {"a.snd", "b.snd"}) {
    write_file(dir.path() / name, geos_file(name, "x"));
  }
  const std::string long_name(120000, 'x');
  const auto run_at = [&](rlim_t kib) {
    return run_tool(dir.path(), {"a.snd", long_name, "b.snd"},
                    {.file_size_limit = {}, .address_space_limit = kib << 10});
  };
  // Below some limit the kernel cannot map the program (it dies of SIGSEGV
  // in exec) or the loader its libraries (status 127); from there on it
  // runs, and must never fail.
  const auto started = [](const run_result& result) {
    return result.status != 126 && result.status != 127 &&
           !(result.signal != 0 && result.out.empty() && result.err.empty());
  };
  rlim_t low = 64;
  rlim_t high = 1 << 20;
  while (high - low > 8) {
    const auto middle = (low + high) / 2;
    (started(run_at(middle)) ? high : low) = middle;
  }
  const auto either = [](std::string_view line, const char* name) {
    return line ==
               "Stripping '" + std::string(name) + "' (" + name + ") to '" + name[0] + ".rng'." ||
           line == "Can't open '" + std::string(name) + "'.";
  };
  bool stripped_any = false;
  for (rlim_t kib = high; kib < high + 1024; kib += 8) {
    const auto result = run_at(kib);
    SCOPED_TRACE("limit " + std::to_string(kib) + " KiB");
    ASSERT_EQ(result.err, "");
    ASSERT_EQ(result.status, 0);
    std::vector<std::string_view> lines;
    for (std::string_view out = result.out; !out.empty(); out.remove_prefix(out.find('\n') + 1)) {
      lines.push_back(out.substr(0, out.find('\n')));
    }
    ASSERT_EQ(lines.size(), 3U) << result.out.substr(0, 200);
    EXPECT_TRUE(either(lines[0], "a.snd")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("Can't open 'xxx") && lines[1].ends_with("'."));
    EXPECT_TRUE(either(lines[2], "b.snd")) << lines[2];
    stripped_any = stripped_any || lines[0].starts_with("Stripping");
  }
  EXPECT_TRUE(stripped_any) << "no limit in the range let a file through";
}

}  // namespace
}  // namespace geos::e2e
