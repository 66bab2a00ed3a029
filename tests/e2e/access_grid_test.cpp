// Who may read an output, as the kernel decides it. A seeded grid of scenes
// (a caller; a directory; input and output with owners, groups, modes and
// ACLs; links and files another account planted) is set up at once, the
// binary runs over each caller's points as that caller, and access(2),
// asked as each test account, says who reads what before and after. The
// properties each point must hold are in fault_of and output_fault_of.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <sstream>

#include "harness.hpp"

namespace geos::e2e {
namespace {

struct account {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;  // the primary group among them
};

// The member is in the team in the account database where an account can
// be made, so that the program can look it up; the owner and the outsider
// have no account, and no group but their own.
struct cast {
  account owner{4201, 4201, {4201}};
  account member{4202, 4202, {4202, 4210}};
  account outsider{4203, 4203, {4203}};
  account root{0, 0, {0}};
  [[nodiscard]] std::array<const account*, 3> users() const { return {&owner, &member, &outsider}; }
};

cast make_cast() {
  cast c;
  const auto id = [](const std::string& query) {
    return static_cast<unsigned>(std::stoul(shell(query).value_or("0")));
  };
  if (shell("(getent group geos-unwrap-team || groupadd --system geos-unwrap-team) &&"
            "(id geos-unwrap-member || useradd --system --no-create-home --user-group"
            " --groups geos-unwrap-team geos-unwrap-member) >/dev/null 2>&1")) {
    const auto gid = id("id -g geos-unwrap-member");
    c.member = {id("id -u geos-unwrap-member"),
                gid,
                {gid, id("getent group geos-unwrap-team | cut -d: -f3")}};
  }
  return c;
}

// A kind of caller: the account the kernel outside takes it for, the
// options of setpriv or the command it runs under, and whether it may give
// a file any group or its own groups.
struct caller_kind {
  const char* name;
  account cast::*who;
  std::vector<std::string> as;
  bool any_group;
  bool own_groups;
};
// clang-format off
const caller_kind CALLERS[] = {
    {"owner", &cast::owner, {}, false, true},
    {"member", &cast::member, {}, false, true},
    {"outsider", &cast::outsider, {}, false, true},
    {"root", &cast::root, {}, true, true},
    {"root without CAP_CHOWN, CAP_FOWNER", &cast::root, {"--bounding-set=-chown,-fowner"}, false, true},
    {"owner under unshare -r", &cast::owner, {"unshare", "-r"}, false, true},
    {"owner under unshare -U", &cast::owner, {"unshare", "-U"}, false, false}};
// clang-format on
constexpr std::size_t PLAIN_USERS = 3;  // the first callers run as the test accounts themselves

// The words that run a command as `a`, then under `as`; none for root alone.
std::vector<std::string> wrapper_for(const account& a, const std::vector<std::string>& as = {}) {
  std::vector<std::string> words{"setpriv"};
  if (a.uid != 0) {
    std::string groups = std::to_string(a.groups[0]);
    for (std::size_t i = 1; i < a.groups.size(); ++i) {
      groups += "," + std::to_string(a.groups[i]);
    }
    words.insert(words.end(), {"--reuid=" + std::to_string(a.uid),
                               "--regid=" + std::to_string(a.gid), "--groups=" + groups});
  }
  words.insert(words.end(), as.begin(), as.end());
  return words.size() > 1 ? words : std::vector<std::string>{};
}

// A directory whose ACL lets the test accounts write (restore_entry's 5).
constexpr mode_t TEAM_ACL = 010000;

// How an input or output is there; an output made in place is the input.
enum made {
  NONE,
  FILE,
  IN_PLACE,
  OWN_LINK,
  PLANTED_LINK,
  PLANTED_DANGLING,
  PLANTED_FILE,
  PLANTED_FIFO
};

struct file_spec {
  uid_t owner;
  gid_t group;
  mode_t mode;
  unsigned acl;  // 0 for none, else the entries of acl_text

  friend std::ostream& operator<<(std::ostream& out, const file_spec& f) {
    return out << f.owner << ":" << f.group << " " << std::oct << f.mode << std::dec << " acl "
               << f.acl;
  }
};

struct point {
  std::size_t caller;
  made input_made, output_made;
  file_spec dir, input, output;
  bool default_acl;
  uid_t planter;
};

// The points of one seed, in one sequence: the first N are the same
// whatever the total.
class point_source {
 public:
  point_source(std::uint64_t seed, const cast& c) : random_(seed), cast_(c) {}

  point next() {
    point p{};
    p.caller = pick(std::size(CALLERS));
    p.input_made = pick_of({FILE, FILE, FILE, OWN_LINK, PLANTED_LINK, PLANTED_FIFO});
    p.output_made = pick_of(
        {NONE, NONE, FILE, FILE, IN_PLACE, OWN_LINK, PLANTED_LINK, PLANTED_DANGLING, PLANTED_FILE});
    const auto& me = cast_.*CALLERS[p.caller].who;
    // A member of the directory's group where the caller is not one.
    p.planter = me.uid == cast_.member.uid ? cast_.outsider.uid : cast_.member.uid;
    p.input = file_of(me, {0600, 0640, 0644, 0604, 0660, 0664, 0444, 0044, 0400, 0606});
    p.output = file_of(me, {0600, 0640, 0644, 0660, 0664, 0666, 0604, 06755, 0444});
    // Others plant in shared directories, which they do not own: where
    // anyone may write, or the team (by its bits or an ACL), sticky or not.
    // A planted file is filled only outside sticky ones.
    const bool planted = p.input_made >= PLANTED_LINK || p.output_made >= PLANTED_LINK;
    const auto planted_mode =
        p.output_made == PLANTED_FILE
            ? pick_of<mode_t>({01777, 03777})
            : pick_of<mode_t>({01777, 03777, 0775, 02775, 02770, 03770, 0770 | TEAM_ACL});
    p.dir = {planted || pick(2) == 0 ? pick_of({me.uid, uid_t{0}}) : file_of(me, {0}).owner,
             planted ? cast_.member.groups[1] : file_of(me, {0}).group,
             planted ? static_cast<mode_t>(planted_mode & 07777)
                     : pick_of<mode_t>({0755, 0775, 0777, 02775, 02777, 01777, 01775, 03777, 0555}),
             (planted_mode & TEAM_ACL) != 0 && planted ? 5U : 0U};
    p.default_acl = pick(5) == 0;
    return p;
  }

 private:
  unsigned pick(std::size_t count) {
    return std::uniform_int_distribution<unsigned>(0, static_cast<unsigned>(count) - 1)(random_);
  }
  template <class T>
  T pick_of(std::initializer_list<T> choices) {
    return *(choices.begin() + pick(choices.size()));
  }
  file_spec file_of(const account& me, std::initializer_list<mode_t> modes) {
    const auto owner =
        pick(2) == 0 ? me.uid
                     : pick_of({cast_.owner.uid, cast_.member.uid, cast_.outsider.uid, uid_t{0}});
    const auto group = pick_of<gid_t>({me.gid, cast_.member.groups[1], cast_.outsider.gid, 0});
    return {owner, group, pick_of(modes), pick(2) == 0 ? 0 : 1 + pick(4)};
  }

  std::mt19937_64 random_;
  const cast& cast_;
};

std::string perms(mode_t bits) {
  return {(bits & 4) != 0 ? 'r' : '-', (bits & 2) != 0 ? 'w' : '-', (bits & 1) != 0 ? 'x' : '-'};
}

// One entry of a `setfacl --restore` file, which sets owner, group, mode
// and ACL of all files of the grid in one run. The ACLs name users who
// read or not, and a group entry that denies where the mask allows.
std::string restore_entry(const std::string& path, const file_spec& f, const cast& c,
                          bool default_acl = false) {
  const auto group = "group::" + perms(f.mode >> 3) + "\n";
  const auto reader = "user:" + std::to_string(c.member.uid) + ":r--\n";
  const std::array<std::string, 6> entries{
      group,
      reader + group,
      "user:" + std::to_string(c.outsider.uid) + ":---\n" + group,
      reader + "group::---\n",
      "group:" + std::to_string(c.member.groups[1]) + ":r--\ngroup::---\n",
      "user:" + std::to_string(c.member.uid) + ":rwx\nuser:" + std::to_string(c.outsider.uid) +
          ":rwx\n" + group};
  std::ostringstream out;
  out << "# file: " << path << "\n# owner: " << f.owner << "\n# group: " << f.group
      << "\n# flags: " << ((f.mode & S_ISUID) != 0 ? 's' : '-')
      << ((f.mode & S_ISGID) != 0 ? 's' : '-') << ((f.mode & S_ISVTX) != 0 ? 't' : '-')
      << "\nuser::" << perms(f.mode >> 6) << "\n"
      << entries.at(f.acl) << (f.acl != 0 ? "mask::" + perms(f.mode >> 3) + "\n" : "")
      << "other::" << perms(f.mode) << "\n";
  if (default_acl) {
    out << "default:user::rwx\ndefault:user:" << c.outsider.uid
        << ":r--\ndefault:group::r-x\ndefault:mask::r-x\ndefault:other::r-x\n";
  }
  return out.str() + "\n";
}

// For each path, whether `who` passes `test`'s check of it ("-r" and
// "-w" ask access(2)), in a shell that took the account's ids and groups.
std::vector<bool> kernel_allows(const account& who, const std::vector<std::string>& paths,
                                const std::string& test) {
  std::string command;
  for (const auto& word : wrapper_for(who)) {
    command += word + " ";
  }
  command += "sh -c 'for f; do test " + test + " && printf 1 || printf 0; done' -";
  for (const auto& path : paths) {
    command += " '" + path + "'";
  }
  const auto got = shell(command).value_or("");
  EXPECT_EQ(got.size(), paths.size()) << "the shell could not take the account's ids";
  std::vector<bool> allowed(paths.size());
  std::transform(got.begin(), got.end(), allowed.begin(), [](char c) { return c == '1'; });
  return allowed;
}

// What a run may change of a file: identity, owner, group, mode, the time
// of the last change (which setting an ACL moves too), content or target.
std::string state_of(const fs::path& path) {
  struct stat st {};
  const bool link = ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  return std::to_string(st.st_ino) + " " + std::to_string(st.st_uid) + ":" +
         std::to_string(st.st_gid) + " " + std::to_string(st.st_mode) + " " +
         std::to_string(st.st_ctime) + " " +
         (link                   ? fs::read_symlink(path).string()
          : S_ISFIFO(st.st_mode) ? std::string()
                                 : read_file(path));
}

// What the kernel was asked of each point, by each test account.
enum asked { INPUT_BEFORE, OUTPUT_BEFORE, WRITABLE_BEFORE, OUTPUT_AFTER, OWN_AFTER };

// One point on disk, and what became of it.
struct scene {
  point p;
  std::string input;   // the argument
  std::string target;  // the file its output name leads to
  std::string input_bytes;
  std::vector<std::pair<std::string, std::string>> kept;  // path, and its state before
  std::array<std::vector<bool>, 5> read;                  // as `asked`, by each test account
  std::vector<std::string> lines;                         // its report
  bool skipped = false;                                   // the system does not let its caller run
  [[nodiscard]] bool stripped() const { return lines.size() == 1 && lines[0][0] == 'S'; }
};

class grid {
 public:
  grid(const fs::path& root, std::uint64_t seed, std::size_t count);
  void run();
  // The first fault of each point that has one.
  [[nodiscard]] std::vector<std::string> faults();
  [[nodiscard]] std::size_t outputs_made() const {
    return static_cast<std::size_t>(std::ranges::count_if(scenes_, &scene::stripped));
  }

 private:
  void set_up(scene& s, std::string& restore);
  void ask(asked what, std::string scene::*path, const std::string& test);
  [[nodiscard]] std::string fault_of(const scene& s) const;
  [[nodiscard]] std::string output_fault_of(const scene& s) const;

  fs::path root_;
  cast cast_ = make_cast();
  std::vector<scene> scenes_;
};

grid::grid(const fs::path& root, std::uint64_t seed, std::size_t count) : root_(root) {
  point_source source(seed, cast_);
  std::string restore;
  for (std::size_t i = 0; i < count; ++i) {
    set_up(scenes_.emplace_back(
               scene{.p = source.next(), .input = "p" + std::to_string(10000 + i) + "/"}),
           restore);
  }
  write_file(root_ / "restore", restore);
  EXPECT_TRUE(shell("cd '" + root_.string() + "' && setfacl --restore=restore"));
  for (auto& s : scenes_) {
    for (auto& [path, before] : s.kept) {
      before = state_of(root_ / path);
    }
  }
  ask(INPUT_BEFORE, &scene::input, "-r \"$f\"");
  ask(OUTPUT_BEFORE, &scene::target, "-r \"$f\"");
  ask(WRITABLE_BEFORE, &scene::target, "-w \"$f\"");
}

// `s.input` holds the point's directory on entry.
void grid::set_up(scene& s, std::string& restore) {
  const auto& p = s.p;
  const auto at = s.input;
  const auto& me = cast_.*CALLERS[p.caller].who;
  s.input = at + (p.output_made == IN_PLACE ? "in.rng" : "in.snd");
  s.target = at + (p.output_made == OWN_LINK ? "target.rng" : "in.rng");
  s.input_bytes = geos_file("t", at);
  const auto make = [&](const std::string& file, std::string_view content, file_spec spec) {
    write_file(root_ / (at + file), content);
    restore += restore_entry(at + file, spec, cast_);
    s.kept.emplace_back(at + file, "");
  };
  const auto link = [&](const std::string& file, const std::string& to, uid_t owner) {
    fs::create_symlink(to, root_ / (at + file));
    EXPECT_EQ(::lchown((root_ / (at + file)).c_str(), owner, owner), 0);
    s.kept.emplace_back(at + file, "");
  };
  const file_spec mine{me.uid, me.gid, 0600, 0};
  fs::create_directories(root_ / (at + "private"));
  restore += restore_entry(at, p.dir, cast_, p.default_acl) +
             restore_entry(at + "private", {me.uid, me.gid, 0700, 0}, cast_);
  if (p.input_made == PLANTED_LINK) {
    make("private/secret.snd", s.input_bytes, mine);
    link("in.snd", "private/secret.snd", p.planter);
  } else if (p.input_made == PLANTED_FIFO) {
    EXPECT_EQ(::mkfifo((root_ / s.input).c_str(), 0666), 0);
    EXPECT_EQ(::chown((root_ / s.input).c_str(), p.planter, p.planter), 0);
    s.kept.emplace_back(s.input, "");
  } else if (p.input_made == OWN_LINK && p.output_made != IN_PLACE) {
    make("real.snd", s.input_bytes, p.input);
    link("in.snd", "real.snd", me.uid);
  } else {
    make(s.input.substr(at.size()), s.input_bytes, p.input);
  }
  if (p.output_made == FILE || p.output_made == OWN_LINK) {
    make(s.target.substr(at.size()), EARLIER, p.output);
  }
  if (p.output_made == OWN_LINK) {
    link("in.rng", "target.rng", me.uid);
  } else if (p.output_made == PLANTED_LINK) {
    make("private/victim", "victim", mine);
    link("in.rng", "private/victim", p.planter);
  } else if (p.output_made == PLANTED_DANGLING) {
    s.kept.emplace_back(at + "private/created", "");
    link("in.rng", "private/created", p.planter);
  } else if (p.output_made == PLANTED_FILE) {
    make("in.rng", "planted", {p.planter, p.planter, p.output.mode, 0});
  }
}

void grid::ask(asked what, std::string scene::*path, const std::string& test) {
  std::vector<std::string> paths;
  for (const auto& s : scenes_) {
    paths.push_back((root_ / (s.*path)).string());
  }
  for (const auto* user : cast_.users()) {
    const auto allowed = kernel_allows(*user, paths, test);
    for (std::size_t i = 0; i < scenes_.size(); ++i) {
      scenes_[i].read[what].push_back(allowed[i]);
    }
  }
}

void grid::run() {
  for (std::size_t kind = 0; kind < std::size(CALLERS); ++kind) {
    const auto wrapper = wrapper_for(cast_.*CALLERS[kind].who, CALLERS[kind].as);
    const bool runs = run_tool(root_, {}, {.wrapper = wrapper}).out.starts_with("Usage:");
    std::vector<std::string> arguments;
    for (auto& s : scenes_) {
      if (s.p.caller == kind) {
        arguments.push_back(s.input);
        s.skipped = !runs;
      }
    }
    if (!runs) {
      std::cout << "grid: the " << CALLERS[kind].name << " cannot run here; its points skip\n";
      continue;
    }
    const auto result = run_tool(root_, arguments, {.wrapper = wrapper});
    EXPECT_EQ(result.err, "") << CALLERS[kind].name;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
      scenes_.at(std::stoul(line.substr(line.find("'p") + 2, 5)) - 10000).lines.push_back(line);
    }
  }
}

std::vector<std::string> grid::faults() {
  ask(OUTPUT_AFTER, &scene::target, "-r \"$f\"");
  ask(OWN_AFTER, &scene::target, "-r \"$f\" -a -w \"$f\"");
  std::vector<std::string> found;
  for (const auto& s : scenes_) {
    if (const auto fault = s.skipped ? "" : fault_of(s); !fault.empty()) {
      const auto& p = s.p;
      std::ostringstream line;
      line << s.input << ": " << fault << "\n  caller " << CALLERS[p.caller].name << ", made "
           << p.input_made << " and " << p.output_made << ", planter " << p.planter
           << "; directory " << p.dir << (p.default_acl ? " with a default ACL" : "") << "; input "
           << p.input << "; output " << p.output;
      found.push_back(line.str());
    }
  }
  return found;
}

// One line of report; what another account planted, every file its links
// name, and an output refused are untouched; no output is refused after
// its stripping line.
std::string grid::fault_of(const scene& s) const {
  if (s.lines.size() != 1) {
    return std::to_string(s.lines.size()) + " report lines" +
           (s.lines.empty() ? "" : ", the last: " + s.lines.back());
  }
  const auto& line = s.lines[0];
  const bool refused_input = line == "Can't open '" + s.input + "'.";
  if (!s.stripped() && !refused_input && !line.ends_with("' for write!")) {
    return "reports " + line;
  }
  if (s.p.input_made >= PLANTED_LINK && !refused_input) {
    return "followed or waited on an input another account planted: " + line;
  }
  if (s.p.output_made >= PLANTED_LINK && s.stripped()) {
    return "filled an output another account planted";
  }
  for (const auto& [path, before] : s.kept) {
    if (!(s.stripped() && path == s.target) && state_of(root_ / path) != before) {
      return path + " changed";
    }
  }
  return s.stripped() ? output_fault_of(s) : std::string();
}

// A replaced output keeps its owner, and the caller could write it; a new
// one is the caller's to read and write, in the input's group where the
// caller may set that; nobody reads it who could not read the input (but
// its owner, who may give itself access, and the caller, who read it);
// and without ACLs, an output of the input's owner and group is read by
// exactly those who read the input and the old output.
std::string grid::output_fault_of(const scene& s) const {
  const auto& p = s.p;
  const auto& kind = CALLERS[p.caller];
  const auto& me = cast_.*kind.who;
  const bool existed =
      p.output_made == FILE || p.output_made == OWN_LINK || p.output_made == IN_PLACE;
  const auto& old = p.output_made == IN_PLACE ? p.input : p.output;
  const auto users = cast_.users();
  const auto mine = static_cast<std::size_t>(std::ranges::find(users, &me) - users.begin());
  const bool group_settable =
      kind.any_group || (kind.own_groups && std::ranges::count(me.groups, p.input.group) != 0);
  struct stat output {};
  if (read_file(root_ / s.target) != stripped(s.input_bytes) ||
      ::stat((root_ / s.target).c_str(), &output) != 0) {
    return "the output is not the strip of its input";
  }
  if (existed &&
      (output.st_uid != old.owner || (p.caller < PLAIN_USERS && !s.read[WRITABLE_BEFORE][mine]))) {
    return "replaced an output the caller may not write, or gave it another owner";
  }
  if (!existed && ((mine < users.size() && !s.read[OWN_AFTER][mine]) ||
                   (group_settable && output.st_gid != p.input.group))) {
    return "made an output the caller cannot read and write, or not in the input's group";
  }
  const bool exact = GEOS_UNWRAP_ACLS != 0 && p.input.acl == 0 && (!existed || old.acl == 0) &&
                     !p.default_acl && p.input.owner == me.uid && group_settable &&
                     (!existed || (old.owner == me.uid && old.group == p.input.group));
  for (std::size_t u = 0; u < users.size(); ++u) {
    const auto who = users[u]->uid;
    const bool reads = s.read[OUTPUT_AFTER][u];
    if (reads && !s.read[INPUT_BEFORE][u] && who != me.uid && who != p.input.owner) {
      return "account " + std::to_string(who) + " reads the output, not the input";
    }
    if (exact && who != me.uid &&
        reads != (s.read[INPUT_BEFORE][u] && (!existed || s.read[OUTPUT_BEFORE][u]))) {
      return "account " + std::to_string(who) + (reads ? " reads" : " does not read") +
             " the output, unlike the input and the old output";
    }
  }
  return {};
}

// The seed and the number of points: GEOS_UNWRAP_GRID_SEED and
// GEOS_UNWRAP_GRID_POINTS replay a run; by default a new seed, and fewer
// points where an emulator or a sanitizer makes each run slow.
std::pair<std::uint64_t, std::size_t> grid_size() {
  const char* seed = std::getenv("GEOS_UNWRAP_GRID_SEED");
  const char* points = std::getenv("GEOS_UNWRAP_GRID_POINTS");
  const std::size_t usual = emulated() ? 200 : GEOS_UNWRAP_SANITIZE ? 500 : 2000;
  return {seed != nullptr ? std::stoull(seed) : std::random_device{}(),
          points != nullptr ? std::stoul(points) : usual};
}

TEST(access_grid, nobody_reads_an_output_who_could_not_read_its_input) {
  for (const char* command : {"setpriv", "setfacl", "unshare"}) {
    if (::geteuid() != 0 || !have(command)) {
      GTEST_SKIP() << "needs root and " << command << ", to give files other owners and ACLs and "
                   << "run the program as other users";
    }
  }
  const auto [seed, count] = grid_size();
  std::cout << "grid: GEOS_UNWRAP_GRID_SEED=" << seed << " GEOS_UNWRAP_GRID_POINTS=" << count
            << "\n";
  const scratch_dir dir;
  fs::permissions(dir.path(), fs::perms(0755));
  const auto umask = ::umask(022);
  grid points(dir.path(), seed, count);
  points.run();
  ::umask(umask);
  const auto faults = points.faults();
  for (std::size_t i = 0; i < std::min<std::size_t>(faults.size(), 20); ++i) {
    ADD_FAILURE() << faults[i];
  }
  EXPECT_EQ(faults.size(), 0U) << "GEOS_UNWRAP_GRID_SEED=" << seed << " replays them";
  EXPECT_GT(points.outputs_made(), count / 10) << "too few outputs made to tell anything";
}

}  // namespace
}  // namespace geos::e2e
