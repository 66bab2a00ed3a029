// The binary in hostile surroundings: closed streams, ACLs, planted links,
// outputs that cannot be replaced, inputs that misreport their size or are
// leased, sparse files, FUSE, signals. Each row sets a scene, runs the tool
// once and checks the report and what is on disk.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "case_name.hpp"
#include "harness.hpp"
#include "system.hpp"

namespace geos::e2e {
namespace {

// The scratch directory of one row, and what its setup remembers for the
// check.
struct scene {
  fs::path dir;
  std::string memo;
  pid_t helper = -1;
  int fd = -1;
  std::string report;  // the expected standard output, where the row has none
  run_result result;   // what the run printed, for the check
  [[nodiscard]] fs::path at(const std::string& name) const { return dir / name; }
};

// What a row needs beyond POSIX and the defaults; a row whose needs this
// system or build does not meet is skipped with the reason.
enum needs : unsigned {
  NOTHING = 0,
  ROOT = 1,
  EXTENSIONS = 2,   // interfaces beyond POSIX (the portable build has none)
  ACLS = 4,         // a build that reads and carries ACLs (not the BSDs, not portable)
  LEASES = 8,       // file leases (F_SETLEASE)
  PROC_FILES = 16,  // /proc/PID/cmdline
  HOLES = 32,       // a build that finds holes (SEEK_DATA)
  TRACEABLE = 64,   // strace sees the program itself: no emulator, no leak checker
  SECCOMP = 128,    // seccomp filters, with the program run directly: no emulator
  LOOKUPS = 256,    // a build that opens directories it may search but not read
  BARE = 512,       // the program runs without /proc: no emulator, no sanitizer
};

struct requirement {
  unsigned need;
  bool (*met)();
  const char* otherwise;  // the reason for the skip
};

const requirement REQUIREMENTS[] = {
    {ROOT, [] { return ::geteuid() == 0; }, "needs root"},
    {EXTENSIONS, [] { return !GEOS_UNWRAP_PORTABLE; },
     "the portable build has no interface for this"},
    {ACLS, [] { return GEOS_UNWRAP_ACLS != 0; },
     "this build has no interface to read or carry an ACL"},
    {LEASES, have_leases, "needs file leases (F_SETLEASE), which this system lacks"},
    {PROC_FILES, [] { return fs::exists("/proc/" + std::to_string(::getpid()) + "/cmdline"); },
     "needs /proc/PID/cmdline, which this system lacks"},
    {HOLES, [] { return GEOS_UNWRAP_FINDS_HOLES != 0; },
     "this build cannot find holes: it has no SEEK_DATA"},
    {TRACEABLE, [] { return !emulated() && !GEOS_UNWRAP_SANITIZE; },
     "strace would trace the emulator, or stop the leak checker, not the program"},
    {SECCOMP, [] { return GEOS_UNWRAP_SECCOMP != 0 && !emulated(); },
     "needs seccomp filters, and no emulator, whose own calls the filter would refuse"},
    {LOOKUPS, [] { return GEOS_UNWRAP_LOOKUP_ONLY_DIRECTORIES != 0; },
     "the system has neither O_PATH nor O_SEARCH (glibc defines no O_SEARCH), so this build "
     "cannot open a directory it may search but not read"},
    {BARE, [] { return !emulated() && !GEOS_UNWRAP_SANITIZE; },
     "the emulator or the sanitizer needs the /proc that this row hides"},
};

struct hostile_case {
  const char* name;
  const char* commands;  // commands that must be installed, space-separated, or nullptr
  unsigned needs;
  std::vector<std::string> (*setup)(scene&);
  run_options options;
  const char* report;  // the expected standard output
  void (*check)(scene&);
  friend void PrintTo(const hostile_case& c, std::ostream* os) { *os << c.name; }
};

const auto AS_NOBODY =
    std::vector<std::string>{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

void put(const scene& s, const std::string& name, std::string_view content, int mode = 0644) {
  write_file(s.at(name), content);
  fs::permissions(s.at(name), fs::perms(mode));
}

void run_or_skip(const std::string& command) {
  if (!shell(command + " 2>/dev/null")) {
    GTEST_SKIP() << "cannot: " << command;
  }
}

void own(const fs::path& path, unsigned user, unsigned group) {
  EXPECT_EQ(::chown(path.c_str(), user, group), 0) << path;
}

// Names `count` files "<prefix>NNNN.txt" that are no GEOS files, and
// returns them; `report` gets the lines they give.
std::vector<std::string> plain_files(scene& s, int count, const std::string& prefix) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    names.push_back(prefix + std::to_string(10000 + i) + ".txt");
    write_file(s.at(names.back()), "plain");
    s.report += "'" + names.back() + "' is not a GEOS file (already stripped?).\n";
  }
  return names;
}

// A FIFO `name` held open by the test with `head` in it, so that reading it
// waits for more once that is read.
void waiting_fifo(scene& s, const std::string& name, std::string_view head) {
  EXPECT_EQ(::mkfifo(s.at(name).c_str(), 0600), 0);
  s.fd = ::open(s.at(name).c_str(), O_RDWR | O_CLOEXEC);
  EXPECT_EQ(::write(s.fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
}

// A bindfs view of the scene's `real` on its `mnt` (FUSE, without unnamed
// files), or the row is skipped.
void mount_fuse(const scene& s) {
  fs::create_directories(s.at("real"));
  fs::create_directories(s.at("mnt"));
  run_or_skip("bindfs " + s.at("real").string() + " " + s.at("mnt").string());
}

void unmount_fuse(const scene& s) {
  shell("fusermount -u " + s.at("mnt").string() + " || umount " + s.at("mnt").string());
}

// Whether `dir` holds a temporary of a run, under its hidden name.
bool holds_temporary(const fs::path& dir) {
  return std::ranges::any_of(
      snapshot(dir), [](const auto& entry) { return entry.first.starts_with(".geos-unwrap-"); });
}

// The first of `commands` (space-separated) that is not installed.
std::optional<std::string> missing(const char* commands) {
  std::istringstream words(commands != nullptr ? commands : "");
  for (std::string word; words >> word;) {
    if (!have(word.c_str())) {
      return word;
    }
  }
  return std::nullopt;
}

// An output of each kind: new, over an old one, and in place; `report`
// gets their lines.
std::vector<std::string> each_kind_of_output(scene& s) {
  put(s, "first.snd", geos_file("first", sound_bytes(5000)));
  put(s, "tone.snd", geos_file("tone", "x"));
  put(s, "tone.rng", EARLIER);
  s.memo = geos_file("song", sound_bytes(5000, 2));
  put(s, "song.rng", s.memo);
  s.report =
      "Stripping 'first.snd' (first) to 'first.rng'.\nStripping 'tone.snd' (tone) to "
      "'tone.rng'.\nStripping 'song.rng' (song) to 'song.rng'.\n";
  return {"first.snd", "tone.snd", "song.rng"};
}
void check_each_kind(scene& s) {
  EXPECT_EQ(read_file(s.at("first.rng")), stripped(read_file(s.at("first.snd"))));
  EXPECT_EQ(read_file(s.at("tone.rng")), MARKER + "x");
  EXPECT_EQ(read_file(s.at("song.rng")), stripped(s.memo));
}

// Outputs refused for a flag: append-only, immutable, and an old one in an
// append-only directory, beside which a new output is made. The new one
// comes first: a name not found must not end the use of statx.
std::vector<std::string> locked_outputs(scene& s) {
  fs::create_directory(s.at("sub"));
  for (const char* name : {"append", "fixed", "sub/old"}) {
    put(s, std::string(name) + ".snd", geos_file(name, "x"));
    put(s, std::string(name) + ".rng", EARLIER);
  }
  put(s, "sub/new.snd", geos_file("new", "y"));
  run_or_skip("cd " + s.dir.string() + " && chattr +a append.rng sub && chattr +i fixed.rng");
  // Only an unnamed temporary is made there: a hidden name could stay.
  s.report = std::string(GEOS_UNWRAP_UNNAMED_TEMPORARIES
                             ? "Stripping 'sub/new.snd' (new) to 'sub/new.rng'.\n"
                             : "Can't open 'sub/new.rng' for write!\n") +
             "Can't open 'append.rng' for write!\nCan't open 'fixed.rng' for write!\n"
             "Can't open 'sub/old.rng' for write!\n";
  return {"sub/new.snd", "append.snd", "fixed.snd", "sub/old.snd"};
}
void check_locked(scene& s) {
  shell("cd " + s.dir.string() + " && chattr -a -i append.rng fixed.rng sub");
  EXPECT_EQ(
      read_file(s.at("append.rng")) + read_file(s.at("fixed.rng")) + read_file(s.at("sub/old.rng")),
      EARLIER + EARLIER + EARLIER);
  EXPECT_EQ(read_file(s.at("sub/new.rng")), GEOS_UNWRAP_UNNAMED_TEMPORARIES ? MARKER + "y" : "");
  EXPECT_EQ(snapshot(s.at("sub")).size(), GEOS_UNWRAP_UNNAMED_TEMPORARIES ? 4U : 3U)
      << "a second name was left";
}

// An output replaced in a subdirectory, then a FIFO that no writer opens:
// the run waits there until a signal ends it.
std::vector<std::string> replaced_then_fifo_without_writer(scene& s) {
  fs::create_directory(s.at("sub"));
  put(s, "sub/tone.snd", geos_file("t", "x"));
  put(s, "sub/tone.rng", EARLIER);
  EXPECT_EQ(::mkfifo(s.at("song.snd").c_str(), 0600), 0);
  return {"sub/tone.snd", "song.snd", "never.snd"};
}
// The id of nobody on most systems.
constexpr int NOBODY = 65534;

// Paths past what a joined path may hold, relative to the working
// directory (the row's scene): an input and output ten bytes short of
// PATH_MAX (4086 bytes on Linux, 1014 on macOS and the BSDs), and a link
// whose target is fine on its own but too long once joined to its directory.
struct long_names {
  // 200-byte levels of the input's directory. The link's directory takes
  // three fifths as many, its target the rest and two more: each fits on its
  // own, joined they do not.
  static constexpr int FULL = (PATH_MAX - 14) / 201;
  static constexpr int LINK_LEVELS = FULL * 3 / 5;
  std::string stem = levels('d', FULL) + std::string((PATH_MAX - 14) % 201, 'x');
  std::string link_directory = levels('h', LINK_LEVELS);
  std::string link_target = levels('t', FULL - LINK_LEVELS + 2) + "real.rng";

  static std::string levels(char letter, int count) {
    std::string path;
    for (int i = 0; i < count; ++i) {
      path += std::string(200, letter) + "/";
    }
    return path;
  }
};

const hostile_case CASES[] = {
    {"closed_standard_streams_reach_no_output",
     nullptr,
     NOTHING,
     each_kind_of_output,
     {.close_streams = true},
     "",
     check_each_kind},
    {"traced_run_opens_no_standard_descriptor_and_each_directory_once",
     "strace",
     TRACEABLE,
     [](scene& s) -> std::vector<std::string> {
       fs::create_directory(s.at("d"));
       for (const char* name : {"first.snd", "second.snd", "d/a.snd", "d/b.snd"}) {
         put(s, name, geos_file("x", "x"));
       }
       return {"first.snd", "second.snd", "d/a.snd", "d/b.snd"};
     },
     {.wrapper = {"strace", "-o", "trace", "-e", "trace=openat,open"}, .close_streams = true},
     "",
     [](scene& s) {
       // The run's own files are opened by relative names; none may get a
       // standard descriptor, or it would receive the report.
       std::istringstream trace(read_file(s.at("trace")));
       int relative = 0;
       int directories = 0;
       for (std::string line; std::getline(trace, line);) {
         const auto quote = line.find('"');
         if (quote != std::string::npos && line[quote + 1] != '/') {
           ++relative;
           directories += line.find("O_DIRECTORY") != std::string::npos ? 1 : 0;
           EXPECT_GT(std::stoi(line.substr(line.rfind("= ") + 2)), STDERR_FILENO) << line;
         }
       }
       EXPECT_GT(relative, 0);
       EXPECT_EQ(directories, 2) << "'.' and 'd', each once for all its files";
     }},
    {"report_that_cannot_be_written_costs_no_output",
     nullptr,
     NOTHING,
     [](scene& s) -> std::vector<std::string> {
       put(s, "a.snd", geos_file("a", "x"));
       put(s, "b.snd", geos_file("b", "y"));
       return {"a.snd", "b.snd"};
     },
     // Standard output open for reading only: every write fails.
     {.wrapper = {"sh", "-c", "exec \"$0\" \"$@\" 1</dev/null"}},
     "",
     [](scene& s) {
       EXPECT_EQ(read_file(s.at("a.rng")) + read_file(s.at("b.rng")), MARKER + "x" + MARKER + "y");
     }},
    {"report_into_a_file_past_its_size_limit_ends_with_a_whole_line",
     nullptr,
     NOTHING,
     // The limit falls inside the second of the report's writes; the shell
     // then writes on where the report's last whole line ended.
     [](scene& s) { return plain_files(s, 200, "p"); },
     {.file_size_limit = 6000, .wrapper = {"sh", "-c", "{ \"$0\" \"$@\"; echo end; } >report"}},
     "",
     [](scene& s) {
       const auto report = read_file(s.at("report"));
       EXPECT_TRUE(report.size() > PIPE_BUF && report.ends_with("\nend\n") &&
                   s.report.starts_with(report.substr(0, report.size() - 4)))
           << report.size() << " bytes, ending " << report.substr(report.size() - 20);
     }},
    {"replaced_outputs_keep_their_own_acls_in_each_directory",
     "setfacl",
     ACLS,
     [](scene& s) -> std::vector<std::string> {
       // Two directories, each old output with an ACL of its own: each new
       // content must get its own, read where it lies.
       for (const char* dir : {"one", "two"}) {
         fs::create_directory(s.at(dir));
         put(s, std::string(dir) + "/tone.snd", geos_file("t", dir));
         put(s, std::string(dir) + "/tone.rng", EARLIER, 0600);
       }
       run_or_skip("cd " + s.dir.string() + " && setfacl -m u:daemon:rw,g::-,m::rw one/tone.rng" +
                   " && setfacl -m u:bin:r,g::r,m::r two/tone.rng");
       s.memo =
           shell("cd " + s.dir.string() + " && getfacl -cp one/tone.rng two/tone.rng").value_or("");
       return {"one/tone.snd", "two/tone.snd"};
     },
     {},
     "Stripping 'one/tone.snd' (t) to 'one/tone.rng'.\n"
     "Stripping 'two/tone.snd' (t) to 'two/tone.rng'.\n",
     [](scene& s) {
       EXPECT_EQ(read_file(s.at("one/tone.rng")) + read_file(s.at("two/tone.rng")),
                 MARKER + "one" + MARKER + "two");
       EXPECT_EQ(shell("cd " + s.dir.string() + " && getfacl -cp one/tone.rng two/tone.rng"),
                 s.memo);
     }},
    {"names_longer_than_a_joined_path_allows",
     nullptr,
     NOTHING,
     [](scene& s) -> std::vector<std::string> {
       fs::current_path(s.dir);
       const long_names n;
       fs::create_directories(n.stem.substr(0, n.stem.rfind('/')));
       write_file(n.stem + ".snd", geos_file("deep", "a"));
       write_file(n.stem + ".rng", EARLIER);
       fs::create_directories(n.link_directory);
       write_file(n.link_directory + "link.snd", geos_file("link", "b"));
       fs::current_path(n.link_directory);
       fs::create_directories(n.link_target.substr(0, n.link_target.rfind('/')));
       write_file(n.link_target, EARLIER);
       fs::create_symlink(n.link_target, "link.rng");
       fs::current_path(s.dir);
       s.report = "Stripping '" + n.stem + ".snd' (deep) to '" + n.stem + ".rng'.\nStripping '" +
                  n.link_directory + "link.snd' (link) to '" + n.link_directory + "link.rng'.\n";
       return {n.stem + ".snd", n.link_directory + "link.snd"};
     },
     {},
     nullptr,
     [](scene& s) {
       const long_names n;
       EXPECT_EQ(read_file(n.stem + ".rng"), MARKER + "a");
       EXPECT_TRUE(fs::is_symlink(n.link_directory + "link.rng"));
       fs::current_path(n.link_directory);
       EXPECT_EQ(read_file(n.link_target), MARKER + "b");
       fs::current_path(s.dir);
       // Removed from inside, where no path is too long.
       for (const char letter : {'d', 'h'}) {
         fs::remove_all(std::string(200, letter));
       }
       fs::current_path(s.dir.parent_path());
     }},
    // Through statx's attributes, and without statx through an ioctl.
    {"locked_outputs_and_directories_are_refused_before_the_stripping_line",
     "chattr",
     ROOT | EXTENSIONS,
     locked_outputs,
     {},
     nullptr,
     check_locked},
    {"locked_outputs_and_directories_are_refused_without_statx_too",
     "chattr",
     ROOT | SECCOMP,
     locked_outputs,
     {.refused_statx = ENOSYS},
     nullptr,
     check_locked},
    {"mount_point_output_is_refused",
     "mount",
     ROOT | EXTENSIONS,
     [](scene& s) -> std::vector<std::string> {
       put(s, "tone.snd", geos_file("t", "x"));
       put(s, "tone.rng", EARLIER);
       put(s, "other", "mounted");
       run_or_skip("mount --bind " + s.at("other").string() + " " + s.at("tone.rng").string());
       return {"tone.snd"};
     },
     {},
     "Can't open 'tone.rng' for write!\n",
     [](scene& s) {
       EXPECT_EQ(read_file(s.at("tone.rng")), "mounted");
       shell("umount " + s.at("tone.rng").string());
     }},
    {"input_reporting_size_zero_is_read_to_its_end",
     nullptr,
     PROC_FILES,
     [](scene& s) -> std::vector<std::string> {
       // /proc/PID/cmdline reports size 0 and holds the argument vector.
       std::string program = SIGNATURE + "h" + MARKER + "sound";
       s.helper = ::fork();
       if (s.helper == 0) {
         char* argv[] = {program.data(), const_cast<char*>("30"), nullptr};
         ::execv("/bin/sleep", argv);
         ::_exit(127);
       }
       const auto cmdline = "/proc/" + std::to_string(s.helper) + "/cmdline";
       while (!read_file(cmdline).starts_with(program)) {
         std::this_thread::yield();
       }
       fs::create_symlink(cmdline, s.at("proc.snd"));
       return {"proc.snd"};
     },
     {},
     "Stripping 'proc.snd' (h?J:sound) to 'proc.rng'.\n",
     [](scene& s) {
       EXPECT_EQ(read_file(s.at("proc.rng")), MARKER + std::string("sound\0"
                                                                   "30\0",
                                                                   9));
     }},
    {"leased_input_is_read_once_the_lease_breaks",
     nullptr,
     ROOT | LEASES,
     [](scene& s) -> std::vector<std::string> {
       put(s, "lease.snd", geos_file("leased", "x"));
       std::array<int, 2> ready{};
       EXPECT_EQ(::pipe(ready.data()), 0);
       const auto path = s.at("lease.snd");
       s.helper = ::fork();
       if (s.helper == 0) {
         ::signal(SIGIO, SIG_IGN);
         const int fd = ::open(path.c_str(), O_RDONLY);
         const char held = set_write_lease(fd, true) ? 'y' : 'n';
         static_cast<void>(::write(ready[1], &held, 1));
         ::usleep(300'000);
         ::_exit(set_write_lease(fd, false) ? 0 : 1);
       }
       char held = 0;
       static_cast<void>(::read(ready[0], &held, 1));
       ::close(ready[0]);
       ::close(ready[1]);
       EXPECT_EQ(held, 'y') << "no lease taken";
       return {"lease.snd"};
     },
     {},
     "Stripping 'lease.snd' (leased) to 'lease.rng'.\n",
     [](scene& s) { EXPECT_EQ(read_file(s.at("lease.rng")), MARKER + "x"); }},
    {"sparse_input_gives_a_sparse_output",
     "strace",
     HOLES | TRACEABLE,
     [](scene& s) -> std::vector<std::string> {
       // Data between two holes: every stretch of data is copied, not only
       // the first, by plain reads (long) and by the kernel (short).
       for (const auto& [name, size] :
            {std::pair{"sparse", off_t{64} << 20}, {"short", off_t{1} << 20}}) {
         const auto path = s.at(std::string(name) + ".snd");
         put(s, std::string(name) + ".snd", geos_file("s", "data"));
         fs::resize_file(path, static_cast<std::uintmax_t>(size));
         const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
         EXPECT_EQ(::pwrite(fd, "middle", 6, size / 2), 6);
         ::close(fd);
       }
       return {"sparse.snd", "short.snd"};
     },
     // Data is appended to the first while the run's sixth look, the one
     // that finds no data past the middle, is held for a second: it must
     // be copied, not stood in for by zeros.
     {.wrapper = {"sh", "-c",
                  "(sleep 0.3; printf appended >>sparse.snd) & exec strace -D -o /dev/null -e "
                  "trace=lseek -e inject=lseek:delay_exit=1000000:when=6 \"$0\" \"$@\""}},
     "Stripping 'sparse.snd' (s) to 'sparse.rng'.\nStripping 'short.snd' (s) to 'short.rng'.\n",
     [](scene& s) {
       // Compared whole, not printed: 64 MiB.
       EXPECT_TRUE(read_file(s.at("sparse.rng")) == stripped(read_file(s.at("sparse.snd"))));
       EXPECT_EQ(read_file(s.at("short.rng")), stripped(read_file(s.at("short.snd"))));
       struct stat status {};
       ::stat(s.at("sparse.rng").c_str(), &status);
       EXPECT_LT(status.st_blocks * 512, 1 << 20) << "holes were filled";
     }},
    {"fuse_without_unnamed_temporaries",
     "bindfs",
     ROOT,
     [](scene& s) -> std::vector<std::string> {
       mount_fuse(s);
       put(s, "real/tone.snd", geos_file("t", "new"));
       put(s, "real/tone.rng", EARLIER, 0640);
       s.memo = geos_file("in place", sound_bytes(100000));
       put(s, "real/song.rng", s.memo, 0600);
       return {"mnt/tone.snd", "mnt/song.rng"};
     },
     {},
     "Stripping 'mnt/tone.snd' (t) to 'mnt/tone.rng'.\n"
     "Stripping 'mnt/song.rng' (in place) to 'mnt/song.rng'.\n",
     [](scene& s) {
       unmount_fuse(s);
       EXPECT_EQ(read_file(s.at("real/tone.rng")), MARKER + "new");
       EXPECT_EQ(fs::status(s.at("real/tone.rng")).permissions(),
                 fs::perms(GEOS_UNWRAP_ACLS ? 0640 : 0600));
       EXPECT_EQ(read_file(s.at("real/song.rng")), stripped(s.memo));
       EXPECT_EQ(fs::status(s.at("real/song.rng")).permissions(), fs::perms(0600));
       EXPECT_EQ(snapshot(s.at("real")).size(), 3U) << "a temporary was left";
     }},
    {"name_taken_during_the_copy_is_not_replaced",
     "bindfs",
     ROOT,
     [](scene& s) -> std::vector<std::string> {
       mount_fuse(s);
       waiting_fifo(s, "mnt/song.snd", geos_file("song", sound_bytes(30000)));
       const auto real = s.at("real");
       s.helper = ::fork();
       if (s.helper == 0) {
         // Once the temporary is there, someone else takes the output's name.
         while (!holds_temporary(real)) {
           ::usleep(1000);
         }
         ::close(::open((real / "song.rng").c_str(), O_WRONLY | O_CREAT, 0600));
         ::_exit(0);
       }
       ::close(std::exchange(s.fd, -1));
       return {"mnt/song.snd"};
     },
     {},
     "Stripping 'mnt/song.snd' (song) to 'mnt/song.rng'.\nCan't write 'mnt/song.rng'!\n",
     [](scene& s) {
       unmount_fuse(s);
       EXPECT_EQ(read_file(s.at("real/song.rng")), "");
       EXPECT_EQ(snapshot(s.at("real")).size(), 2U) << "a temporary was left";
     }},
    {"file_renamed_over_the_hidden_name_in_a_team_directory_is_not_vouched_for",
     "strace",
     TRACEABLE,
     [](scene& s) -> std::vector<std::string> {
       fs::permissions(s.dir, fs::perms(0775));
       put(s, "song.snd", geos_file("song", "x"));
       put(s, "song.rng", EARLIER);
       put(s, "theirs", "theirs");
       return {"song.snd"};
     },
     // A member of the team, watching, puts a file of his over the name the
     // run stages under, while the move waits.
     {.wrapper = {"sh", "-c",
                  "((while kill -0 $$; do for f in .geos-unwrap-*; do [ -e \"$f\" ] && mv theirs "
                  "\"$f\" && exit; done; done) >/dev/null 2>&1 &); exec strace -o /dev/null -e "
                  "inject=rename,renameat,renameat2,link,linkat:delay_enter=300000 \"$@\"",
                  "sh"}},
     "Stripping 'song.snd' (song) to 'song.rng'.\nCan't write 'song.rng'!\n",
     [](scene& s) {
       EXPECT_EQ(read_file(s.at("song.rng")), "theirs")
           << "only the run's own output is vouched for";
       EXPECT_FALSE(holds_temporary(s.dir));
     }},
    {"directory_replaced_between_arguments_is_looked_up_again",
     nullptr,
     NOTHING,
     [](scene& s) -> std::vector<std::string> {
       fs::create_directory(s.at("d"));
       put(s, "d/b.snd", geos_file("old b", "x"));
       EXPECT_EQ(::mkfifo(s.at("d/a.snd").c_str(), 0600), 0);
       // Held open from before the run, so that the tool never reads its end.
       const int fifo = ::open(s.at("d/a.snd").c_str(), O_RDWR | O_CLOEXEC);
       const auto d = s.at("d").string();
       const auto old = s.at("d.old").string();
       const auto b = s.at("d/b.snd").string();
       const auto a = geos_file("a", "y");
       s.memo = geos_file("new b", "z");
       s.helper = ::fork();
       if (s.helper == 0) {
         // Once the tool has taken the first bytes of d/a.snd and waits for
         // more, d is rotated under it.
         static_cast<void>(::write(fifo, a.data(), 4));
         for (int left = 1; left > 0;) {
           ::usleep(1000);
           ::ioctl(fifo, FIONREAD, &left);
         }
         ::rename(d.c_str(), old.c_str());
         ::mkdir(d.c_str(), 0755);
         const int next = ::open(b.c_str(), O_WRONLY | O_CREAT, 0644);
         static_cast<void>(::write(next, s.memo.data(), s.memo.size()));
         ::close(next);
         static_cast<void>(::write(fifo, a.data() + 4, a.size() - 4));
         ::_exit(0);
       }
       ::close(fifo);
       // A directory that is not there must not leave the last one in use.
       return {"d/a.snd", "d/b.snd", "gone/b.snd"};
     },
     {},
     "Stripping 'd/a.snd' (a) to 'd/a.rng'.\nStripping 'd/b.snd' (new b) to 'd/b.rng'.\n"
     "Can't open 'gone/b.snd'.\n",
     [](scene& s) {
       EXPECT_EQ(read_file(s.at("d/b.rng")), MARKER + "z");
       EXPECT_EQ(read_file(s.at("d.old/a.rng")), MARKER + "y");
       EXPECT_FALSE(fs::exists(s.at("d.old/b.rng")));
     }},
    {"other_stop_signals_remove_the_named_temporary",
     "bindfs",
     ROOT,
     [](scene& s) -> std::vector<std::string> {
       mount_fuse(s);
       put(s, "real/first.snd", geos_file("first", "x"));
       waiting_fifo(s, "mnt/song.snd", geos_file("song", sound_bytes(30000)));
       return {"mnt/first.snd", "mnt/song.snd", "mnt/never.snd"};
     },
     {.signal = SIGQUIT,
      .signal_after_ms = 300,
      .before_signal =
          [](const fs::path& cwd) {
            // While it fills, the temporary must be hidden under the run's prefix.
            EXPECT_TRUE(holds_temporary(cwd / "real"));
          }},
     "Stripping 'mnt/first.snd' (first) to 'mnt/first.rng'.\n",
     [](scene& s) {
       ::close(s.fd);
       unmount_fuse(s);
       EXPECT_EQ(snapshot(s.at("real")).size(), 3U) << "a temporary was left";
     }},
    {"report_in_non_blocking_mode_loses_no_line",
     nullptr,
     NOTHING,
     // More than the report's buffer holds, so that it fills too.
     [](scene& s) { return plain_files(s, 800, std::string(200, 'f')); },
     {.nonblocking_output = true, .output_pipe_size = 4096, .read_delay_ms = 300},
     nullptr,
     [](scene&) {}},
    {"stop_with_a_stalled_reader_ends_in_time_and_in_whole_lines",
     nullptr,
     NOTHING,
     [](scene& s) {
       auto names = plain_files(s, 600, std::string(100, 'n'));
       s.memo = std::exchange(s.report, {});
       return names;
     },
     // A reader that took one page and no more: the rest waits in the buffer.
     {.signal = SIGTERM, .signal_after_ms = 300, .output_pipe_size = 4096, .read_delay_ms = -1},
     nullptr,
     [](scene& s) {
       EXPECT_LT(s.result.ms_after_signal, 2000) << "a second is promised; this allows for load";
       EXPECT_TRUE(s.memo.starts_with(s.result.out)) << "lines lost or cut";
       EXPECT_TRUE(s.result.out.empty() || s.result.out.ends_with('\n'));
     }},
    {"line_longer_than_the_buffer_dropped_whole_when_cut_short",
     nullptr,
     NOTHING,
     [](scene& s) -> std::vector<std::string> {
       put(s, "first.snd", geos_file("first", "x"));
       fs::create_directory(s.at(std::string(200, 'd')));
       const std::string name = std::string(200, 'd') + "/" + std::string(200, 'l') + ".snd";
       // A header text that runs past its marker to a NUL at the window's end.
       waiting_fifo(s, name, SIGNATURE + "h" + MARKER + std::string(64990, 'h') + '\0' + "h");
       return {"first.snd", name};
     },
     {.signal = SIGINT, .signal_after_ms = 300},
     "Stripping 'first.snd' (first) to 'first.rng'.\n",
     [](scene& s) { ::close(s.fd); }},
    {"stop_while_a_large_file_in_place_is_written_back_ends_within_the_second",
     "strace",
     TRACEABLE | EXTENSIONS,
     [](scene& s) -> std::vector<std::string> {
       s.memo = geos_file("slow", sound_bytes(std::size_t{8} << 20));
       put(s, "slow.rng", s.memo);
       return {"slow.rng"};
     },
     // Slow storage: each call of a step written back takes 0.2 s, the final
     // flush 5 s. The stop comes a second in, while steps go on.
     {.wrapper = {"strace", "-D", "-o", "/dev/null", "-e",
                  "inject=sync_file_range:delay_exit=200000", "-e",
                  "inject=fsync:delay_enter=5000000"},
      .signal = SIGTERM,
      .signal_after_ms = 1000},
     "",
     [](scene& s) {
       EXPECT_LT(s.result.ms_after_signal, 2000) << "a second is promised; this allows for load";
       EXPECT_TRUE(snapshot(s.dir) == (std::map<std::string, std::string>{{"slow.rng", s.memo}}))
           << "the old content, and nothing else";
     }},
    {"terminal_shows_that_an_output_cut_short_was_not_made",
     nullptr,
     NOTHING,
     [](scene& s) -> std::vector<std::string> {
       put(s, "first.snd", geos_file("first", "x"));
       waiting_fifo(s, "song.snd", geos_file("song", sound_bytes(30000)));
       return {"first.snd", "song.snd", "never.snd"};
     },
     {.terminal = true, .signal = SIGINT, .signal_after_ms = 300},
     "Stripping 'first.snd' (first) to 'first.rng'.\n"
     "Stripping 'song.snd' (song) to 'song.rng'.\nCan't write 'song.rng'!\n",
     [](scene& s) {
       ::close(s.fd);
       EXPECT_EQ(s.result.out_before_signal,
                 "Stripping 'first.snd' (first) to 'first.rng'.\n"
                 "Stripping 'song.snd' (song) to 'song.rng'.\n")
           << "lines show on a terminal as they are printed";
       EXPECT_FALSE(fs::exists(s.at("song.rng")));
     }},
    {"terminal_shows_no_failure_for_a_read_cut_short",
     nullptr,
     NOTHING,
     [](scene& s) -> std::vector<std::string> {
       put(s, "first.snd", geos_file("first", "x"));
       waiting_fifo(s, "empty.snd", "");
       return {"first.snd", "empty.snd"};
     },
     {.terminal = true, .signal = SIGINT, .signal_after_ms = 300},
     "Stripping 'first.snd' (first) to 'first.rng'.\n",
     [](scene& s) {
       ::close(s.fd);
       EXPECT_EQ(s.result.out_before_signal, s.result.out) << "not shown before the next read";
     }},
    {"reader_gone_mid_batch_stops_no_file",
     nullptr,
     NOTHING,
     [](scene& s) {
       std::vector<std::string> names;
       for (int i = 0; i < 800; ++i) {
         names.push_back(std::string(60, 'g') + std::to_string(10000 + i) + ".snd");
         write_file(s.at(names.back()), geos_file("g", "x"));
       }
       return names;
     },
     {.read_at_most = 1},
     nullptr,
     [](scene& s) {
       for (int i = 0; i < 800; ++i) {
         ASSERT_TRUE(fs::exists(s.at(std::string(60, 'g') + std::to_string(10000 + i) + ".rng")));
       }
     }},
    {"directory_that_may_not_be_read_still_takes_outputs",
     "setpriv",
     ROOT | LOOKUPS,
     [](scene& s) -> std::vector<std::string> {
       fs::permissions(s.dir, fs::perms(0755));
       fs::create_directory(s.at("box"));
       put(s, "box/x.snd", geos_file("x", "y"));
       own(s.at("box"), NOBODY, NOBODY);
       own(s.at("box/x.snd"), NOBODY, NOBODY);
       fs::permissions(s.at("box"), fs::perms(0300));
       return {"box/x.snd"};
     },
     {.wrapper = AS_NOBODY},
     "Stripping 'box/x.snd' (x) to 'box/x.rng'.\n",
     [](scene& s) { EXPECT_EQ(read_file(s.at("box/x.rng")), MARKER + "y"); }},
    {"statx_refused_by_a_filter_is_done_without",
     nullptr,
     SECCOMP,
     each_kind_of_output,
     {.refused_statx = EPERM},
     nullptr,
     check_each_kind},
    {"statx_missing_as_on_kernels_before_4_11_is_done_without",
     nullptr,
     SECCOMP,
     each_kind_of_output,
     {.refused_statx = ENOSYS},
     nullptr,
     check_each_kind},
    {"quit_while_a_fifo_waits_for_its_writer_ends_the_run_after_the_finished_file",
     nullptr,
     NOTHING,
     replaced_then_fifo_without_writer,
     {.signal = SIGQUIT, .signal_after_ms = 300},
     "Stripping 'sub/tone.snd' (t) to 'sub/tone.rng'.\n",
     [](scene& s) { EXPECT_EQ(snapshot(s.at("sub")).size(), 2U) << "a temporary was left"; }},
    {"in_place_under_another_spelling_on_exfat",
     "mkfs.exfat mount.exfat-fuse losetup strace",
     ROOT | TRACEABLE,
     [](scene& s) -> std::vector<std::string> {
       fs::create_directory(s.at("mnt"));
       run_or_skip("cd " + s.dir.string() + " && truncate -s 8M img && mkfs.exfat img >/dev/null" +
                   " && d=$(losetup -f --show img) && { mount.exfat-fuse $d mnt >/dev/null ||" +
                   " ! losetup -d $d; }");
       // exFAT through FUSE numbers T.RNG and T.rng apart; renaming over one
       // while the other is open crashes its daemon. Only that strip is
       // flushed, not one over an old output from before.
       write_file(s.at("mnt/T.RNG"), geos_file("t", "x"));
       write_file(s.at("mnt/a.snd"), geos_file("a", "y"));
       write_file(s.at("mnt/a.rng"), EARLIER);
       run_or_skip("touch -d 2001-01-01 " + s.at("mnt/a.rng").string());
       return {"mnt/T.RNG", "mnt/a.snd"};
     },
     {.wrapper = {"strace", "-o", "trace", "-e", "trace=fsync"}},
     "Stripping 'mnt/T.RNG' (t) to 'mnt/T.rng'.\nStripping 'mnt/a.snd' (a) to 'mnt/a.rng'.\n",
     [](scene& s) {
       const auto left =
           shell("cd " + s.dir.string() + "/mnt && LC_ALL=C ls -A && cat T.rng a.rng");
       shell("cd " + s.dir.string() + " && { umount mnt || umount -l mnt; }; " +
             "losetup -j img -O NAME -n | xargs losetup -d");
       EXPECT_EQ(left, "T.rng\na.rng\na.snd\n" + MARKER + "x" + MARKER + "y");
       const auto trace = read_file(s.at("trace"));
       EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 3) << trace;
     }},
    {"without_proc_root_keeps_its_privileges_and_nobody_stays_unknown",
     "unshare mount",
     ROOT | BARE,
     [](scene& s) -> std::vector<std::string> {
       run_or_skip("unshare -m sh -c 'mount -t tmpfs none /proc'");
       for (const char* name : {"kept", "nobody"}) {
         put(s, std::string(name) + ".snd", geos_file(name, "x"));
         put(s, std::string(name) + ".rng", EARLIER);
       }
       // Another user's input and output: only the privilege keeps the owner.
       own(s.at("kept.snd"), 4201, 4201);
       own(s.at("kept.rng"), 4201, 4201);
       own(s.at("nobody.rng"), NOBODY, NOBODY);
       return {"kept.snd", "nobody.snd"};
     },
     {.wrapper = {"unshare", "-m", "sh", "-c", "mount -t tmpfs none /proc && exec \"$0\" \"$@\""}},
     "Stripping 'kept.snd' (kept) to 'kept.rng'.\nCan't open 'nobody.rng' for write!\n",
     [](scene& s) {
       struct stat kept {};
       EXPECT_EQ(::stat(s.at("kept.rng").c_str(), &kept), 0);
       EXPECT_EQ(kept.st_uid, 4201U) << "a replaced output keeps its owner";
       EXPECT_EQ(read_file(s.at("kept.rng")) + read_file(s.at("nobody.rng")),
                 MARKER + "x" + EARLIER);
     }},
    {"interrupted_run_cleans_up_and_reports_what_it_finished",
     nullptr,
     NOTHING,
     [](scene& s) -> std::vector<std::string> {
       put(s, "first.snd", geos_file("first", "x"));
       put(s, "song.rng", EARLIER);
       waiting_fifo(s, "song.snd", geos_file("song", sound_bytes(30000)));
       return {"first.snd", "song.snd", "never.snd"};
     },
     {.signal = SIGINT, .signal_after_ms = 300},
     "Stripping 'first.snd' (first) to 'first.rng'.\n",
     [](scene& s) {
       ::close(s.fd);
       EXPECT_EQ(read_file(s.at("song.rng")), EARLIER);
       EXPECT_EQ(snapshot(s.dir).size(), 4U) << "a temporary was left";
     }},
};

class hostile : public testing::TestWithParam<hostile_case> {
 protected:
  scratch_dir dir_;
};

TEST_P(hostile, keeps_every_file_whole_and_private) {
  const auto& row = GetParam();
  for (const auto& [need, met, otherwise] : REQUIREMENTS) {
    if ((row.needs & need) != 0 && !met()) {
      GTEST_SKIP() << otherwise;
    }
  }
  if (const auto command = missing(row.commands)) {
    GTEST_SKIP() << "needs " << *command << ", which is not installed";
  }
  scene s;
  s.dir = dir_.path();
  const auto arguments = row.setup(s);
  if (IsSkipped()) {
    return;
  }
  s.result = run_tool(dir_.path(), arguments, row.options);
  const auto& result = s.result;
  if (row.report != nullptr || !s.report.empty()) {
    const std::string expected = row.report != nullptr ? row.report : s.report;
    // Long reports are told apart by their lines, not printed whole.
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'),
              std::count(expected.begin(), expected.end(), '\n'));
    EXPECT_TRUE(result.out == expected) << result.out.substr(0, 1000);
  }
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, row.options.signal != 0 ? 128 + row.options.signal : 0);
  EXPECT_EQ(result.signal, row.options.signal) << "must die of the signal, not exit";
  row.check(s);
  if (s.helper > 0) {
    ::kill(s.helper, SIGKILL);
    ::waitpid(s.helper, nullptr, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(rows, hostile, testing::ValuesIn(CASES), case_name{});

}  // namespace
}  // namespace geos::e2e
