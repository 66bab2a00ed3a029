// Who may read an output, as the kernel decides it. A seeded grid of
// scenes (a caller; a directory; an input and an output with owners,
// groups, modes and ACLs; links and files planted by another account) is
// set up at once, the real binary runs over each caller's points as that
// caller, and access(2), asked as each test account, says who reads every
// input before and every output after. Each point must hold: nobody reads
// an output who could not read its input; a new output is the caller's to
// read and write, in the input's group where the caller may set it; a
// refused output, what another account planted and every file its links
// name are untouched; a replaced output keeps its owner; and no output is
// refused after its stripping line.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <grp.h>
#include <iomanip>
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
// have no account and no group but their own.
struct cast {
  account owner{4201, 4201, {4201}};
  account member{4202, 4202, {4202, 4210}};
  account outsider{4203, 4203, {4203}};
  account root{0, 0, {0}};
  [[nodiscard]] gid_t team() const { return member.groups[1]; }
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

struct caller_kind {
  const char* name;
  account cast::*who;           // whom the kernel takes it for
  std::vector<std::string> as;  // setpriv's options, or the command it runs under
  bool sets_any_group;
  bool sets_own_groups;
};
const caller_kind CALLERS[] = {
    {"owner", &cast::owner, {}, false, true},
    {"member", &cast::member, {}, false, true},
    {"outsider", &cast::outsider, {}, false, true},
    {"root", &cast::root, {}, true, true},
    {"root without CAP_CHOWN and CAP_FOWNER",
     &cast::root,
     {"--bounding-set=-chown,-fowner"},
     false,
     true},
    {"owner under unshare -r", &cast::owner, {"unshare", "-r"}, false, true},
    {"owner under unshare -U", &cast::owner, {"unshare", "-U"}, false, false}};

std::vector<std::string> wrapper_for(const caller_kind& kind, const cast& c) {
  const auto& a = c.*kind.who;
  std::vector<std::string> words{"setpriv"};
  if (a.uid != 0) {
    std::string groups;
    for (const auto group : a.groups) {
      groups += (groups.empty() ? "" : ",") + std::to_string(group);
    }
    words.insert(words.end(), {"--reuid=" + std::to_string(a.uid),
                               "--regid=" + std::to_string(a.gid), "--groups=" + groups});
  }
  words.insert(words.end(), kind.as.begin(), kind.as.end());
  return words.size() > 1 ? words : std::vector<std::string>{};
}

// How an input or output is there: an output "in place" is the input.
enum made { NONE, FILE, IN_PLACE, OWN_LINK, PLANTED_LINK, PLANTED_DANGLING, PLANTED_FILE };

struct file_spec {
  uid_t owner;
  gid_t group;
  mode_t mode;
  unsigned acl;  // of ACL_ENTRIES
};

// Beyond the owner's and other's entries; "G" stands for the mode's group
// bits. A mask is added where there is a named entry.
constexpr std::array<const char*, 5> ACL_ENTRIES{
    "group::G\n", "user:MEMBER:r--\ngroup::G\n", "user:OUTSIDER:---\ngroup::G\n",
    "user:MEMBER:r--\ngroup::---\n", "group:TEAM:r--\ngroup::---\n"};

struct point {
  std::size_t caller;
  file_spec dir, input, output;
  made input_made, output_made;
  bool default_acl;
  uid_t planter;

  friend std::ostream& operator<<(std::ostream& out, const point& p) {
    const auto file = [&out](const char* what, const file_spec& f) {
      out << "; " << what << " " << f.owner << ":" << f.group << " " << std::oct << f.mode
          << std::dec << " acl " << f.acl;
    };
    out << "caller " << CALLERS[p.caller].name << ", input made " << p.input_made
        << ", output made " << p.output_made << ", planter " << p.planter;
    file("directory", p.dir);
    file("input", p.input);
    file("output", p.output);
    return out << (p.default_acl ? ", default ACL" : "");
  }
};

// The points of one seed, in one sequence: the first N are the same
// whatever the total.
class point_source {
 public:
  point_source(std::uint64_t seed, const cast& c) : random_(seed), cast_(c) {}

  point next() {
    point p{pick(std::size(CALLERS))};
    const auto& me = cast_.*CALLERS[p.caller].who;
    p.planter = me.uid == cast_.outsider.uid ? cast_.member.uid : cast_.outsider.uid;
    p.input_made = pick_of({FILE, FILE, FILE, OWN_LINK, PLANTED_LINK});
    p.output_made = pick_of(
        {NONE, NONE, FILE, FILE, IN_PLACE, OWN_LINK, PLANTED_LINK, PLANTED_DANGLING, PLANTED_FILE});
    p.input = file_of(me, {0600, 0640, 0644, 0604, 0660, 0664, 0444, 0044, 0400, 0606});
    p.output = file_of(me, {0600, 0640, 0644, 0660, 0664, 0666, 0604, 06755, 0444});
    // Others plant in shared directories, which they do not own.
    const bool planted = p.input_made == PLANTED_LINK || p.output_made >= PLANTED_LINK;
    p.dir = {pick(2) == 0 ? me.uid : 0, group_of(me),
             planted ? pick_of<mode_t>({01777, 03777})
                     : pick_of<mode_t>({0755, 0775, 0777, 02775, 02777, 01777, 01775, 03777}),
             0};
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
  gid_t group_of(const account& me) {
    return pick_of<gid_t>({me.gid, cast_.team(), cast_.outsider.gid, 0});
  }
  file_spec file_of(const account& me, std::initializer_list<mode_t> modes) {
    const auto owner =
        pick(2) == 0 ? me.uid
                     : pick_of({cast_.owner.uid, cast_.member.uid, cast_.outsider.uid, uid_t{0}});
    return {owner, group_of(me), pick_of(modes), pick(2) == 0 ? 0 : 1 + pick(4)};
  }

  std::mt19937_64 random_;
  const cast& cast_;
};

// One entry of a `setfacl --restore` file: owner, group, mode and ACL of
// one file, so that one run of setfacl sets up the whole grid.
std::string restore_entry(const std::string& path, const file_spec& f, const cast& c,
                          bool default_acl = false) {
  const auto perms = [](mode_t bits) {
    return std::string{(bits & 4) != 0 ? 'r' : '-', (bits & 2) != 0 ? 'w' : '-',
                       (bits & 1) != 0 ? 'x' : '-'};
  };
  std::string entries = ACL_ENTRIES.at(f.acl);
  for (const auto& [from, to] : {std::pair{std::string("G"), perms(f.mode >> 3)},
                                 {"MEMBER", std::to_string(c.member.uid)},
                                 {"OUTSIDER", std::to_string(c.outsider.uid)},
                                 {"TEAM", std::to_string(c.team())}}) {
    if (const auto at = entries.find(from); at != std::string::npos) {
      entries.replace(at, from.size(), to);
    }
  }
  std::ostringstream out;
  out << "# file: " << path << "\n# owner: " << f.owner << "\n# group: " << f.group
      << "\n# flags: " << ((f.mode & S_ISUID) != 0 ? 's' : '-')
      << ((f.mode & S_ISGID) != 0 ? 's' : '-') << ((f.mode & S_ISVTX) != 0 ? 't' : '-')
      << "\nuser::" << perms(f.mode >> 6) << "\n"
      << entries << (f.acl != 0 ? "mask::" + perms(f.mode >> 3) + "\n" : "")
      << "other::" << perms(f.mode) << "\n";
  if (default_acl) {
    out << "default:user::rwx\ndefault:user:" << c.outsider.uid
        << ":r--\ndefault:group::r-x\ndefault:mask::r-x\ndefault:other::r-x\n";
  }
  return out.str() + "\n";
}

// setgroups takes a size_t count on Linux and an int elsewhere.
template <class Count, class List>
int set_groups(int (*call)(Count, List), const std::vector<gid_t>& groups) {
  return call(static_cast<Count>(groups.size()), groups.data());
}

// For each path, whether `who` may access it in `mode`: access(2), asked
// in a child that took the account's ids and groups.
std::vector<bool> kernel_allows(const account& who, const std::vector<std::string>& paths,
                                int mode = R_OK) {
  std::array<int, 2> answer{};
  EXPECT_EQ(::pipe(answer.data()), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(answer[0]);
    if (set_groups(::setgroups, who.groups) != 0 || ::setgid(who.gid) != 0 ||
        ::setuid(who.uid) != 0) {
      ::_exit(1);
    }
    for (const auto& path : paths) {
      const char allowed = ::access(path.c_str(), mode) == 0 ? '1' : '0';
      static_cast<void>(::write(answer[1], &allowed, 1));
    }
    ::_exit(0);
  }
  ::close(answer[1]);
  std::string got;
  std::array<char, 4096> chunk{};
  for (ssize_t n = 0; (n = ::read(answer[0], chunk.data(), chunk.size())) > 0;) {
    got.append(chunk.data(), static_cast<std::size_t>(n));
  }
  ::close(answer[0]);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(got.size(), paths.size()) << "the child could not take the account's ids";
  std::vector<bool> allowed(paths.size());
  std::transform(got.begin(), got.end(), allowed.begin(), [](char c) { return c == '1'; });
  return allowed;
}

// What a run may change of a file: identity, owner, group, mode, the time
// of the last change (which an ACL set moves too) and content or target.
std::string state_of(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return "<none>";
  }
  std::ostringstream state;
  state << status.st_ino << " " << status.st_uid << ":" << status.st_gid << " " << status.st_mode
        << " " << status.st_ctim.tv_nsec << " "
        << (S_ISLNK(status.st_mode) ? fs::read_symlink(path).string() : read_file(path));
  return state.str();
}

// One point on disk.
struct scene {
  point p;
  std::string input;   // the argument
  std::string target;  // the file its output name leads to
  std::string input_bytes;
  std::vector<std::pair<std::string, std::string>> kept;  // path, and its state before
  std::vector<bool> read_input;                           // by each of the users, before
  std::vector<std::string> lines;                         // its report
  [[nodiscard]] bool stripped() const { return lines.size() == 1 && lines[0][0] == 'S'; }
};

class grid {
 public:
  grid(const fs::path& root, std::uint64_t seed, std::size_t count);
  void run();
  // Every point's fault, one each.
  [[nodiscard]] std::vector<std::string> faults() const;
  [[nodiscard]] std::size_t outputs_made() const {
    return static_cast<std::size_t>(std::ranges::count_if(scenes_, &scene::stripped));
  }

 private:
  scene set_up(std::size_t i, const point& p, std::string& restore);
  std::string fault_of(const scene& s, const std::vector<bool>& read_output,
                       bool callers_own) const;
  std::string fault_of_output(const scene& s, const std::vector<bool>& read_output,
                              bool callers_own) const;
  [[nodiscard]] std::vector<std::string> paths(std::string scene::*path) const {
    std::vector<std::string> all;
    for (const auto& s : scenes_) {
      all.push_back((root_ / (s.*path)).string());
    }
    return all;
  }

  fs::path root_;
  cast cast_ = make_cast();
  std::vector<scene> scenes_;
};

grid::grid(const fs::path& root, std::uint64_t seed, std::size_t count) : root_(root) {
  point_source source(seed, cast_);
  std::string restore;
  for (std::size_t i = 0; i < count; ++i) {
    scenes_.push_back(set_up(i, source.next(), restore));
  }
  write_file(root_ / "restore", restore);
  EXPECT_TRUE(shell("cd '" + root_.string() + "' && setfacl --restore=restore"));
  for (auto& s : scenes_) {
    for (auto& [path, before] : s.kept) {
      before = state_of(root_ / path);
    }
  }
  for (const auto* user : cast_.users()) {
    const auto read = kernel_allows(*user, paths(&scene::input));
    for (std::size_t i = 0; i < count; ++i) {
      scenes_[i].read_input.push_back(read[i]);
    }
  }
}

scene grid::set_up(std::size_t i, const point& p, std::string& restore) {
  std::ostringstream name;
  name << "p" << std::setw(5) << std::setfill('0') << i << "/";
  const auto at = name.str();
  const auto& me = cast_.*CALLERS[p.caller].who;
  scene s{p, at + (p.output_made == IN_PLACE ? "in.rng" : "in.snd"),
          at + (p.output_made == OWN_LINK ? "target.rng" : "in.rng"), geos_file("t", at)};
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
  fs::create_directories(root_ / (at + "private"));
  restore += restore_entry(at, p.dir, cast_, p.default_acl) +
             restore_entry(at + "private", {me.uid, me.gid, 0700, 0}, cast_);
  if (p.input_made == PLANTED_LINK) {
    make("private/secret.snd", s.input_bytes, {me.uid, me.gid, 0600, 0});
    link("in.snd", "private/secret.snd", p.planter);
  } else if (p.input_made == OWN_LINK && p.output_made != IN_PLACE) {
    make("real.snd", s.input_bytes, p.input);
    link("in.snd", "real.snd", me.uid);
  } else {
    make(s.input.substr(at.size()), s.input_bytes, p.input);
  }
  if (p.output_made == FILE) {
    make("in.rng", "old", p.output);
  } else if (p.output_made == OWN_LINK) {
    make("target.rng", "old", p.output);
    link("in.rng", "target.rng", me.uid);
  } else if (p.output_made == PLANTED_LINK) {
    make("private/victim", "victim", {me.uid, me.gid, 0600, 0});
    link("in.rng", "private/victim", p.planter);
  } else if (p.output_made == PLANTED_DANGLING) {
    s.kept.emplace_back(at + "private/created", "");
    link("in.rng", "private/created", p.planter);
  } else if (p.output_made == PLANTED_FILE) {
    make("in.rng", "planted", {p.planter, p.planter, p.output.mode, 0});
  }
  return s;
}

void grid::run() {
  for (std::size_t kind = 0; kind < std::size(CALLERS); ++kind) {
    std::vector<std::string> arguments;
    for (const auto& s : scenes_) {
      if (s.p.caller == kind) {
        arguments.push_back(s.input);
      }
    }
    const auto result = run_tool(root_, arguments, {.wrapper = wrapper_for(CALLERS[kind], cast_)});
    EXPECT_EQ(result.err, "") << CALLERS[kind].name;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
      scenes_.at(std::stoul(line.substr(line.find("'p") + 2, 5))).lines.push_back(line);
    }
  }
}

std::vector<std::string> grid::faults() const {
  std::vector<std::vector<bool>> read_output;
  std::vector<bool> callers(scenes_.size(), true);
  for (const auto* user : cast_.users()) {
    read_output.push_back(kernel_allows(*user, paths(&scene::target)));
    const auto own = kernel_allows(*user, paths(&scene::target), R_OK | W_OK);
    for (std::size_t i = 0; i < scenes_.size(); ++i) {
      callers[i] = callers[i] && (user != &(cast_.*CALLERS[scenes_[i].p.caller].who) || own[i]);
    }
  }
  std::vector<std::string> found;
  for (std::size_t i = 0; i < scenes_.size(); ++i) {
    std::vector<bool> read;
    for (const auto& by_user : read_output) {
      read.push_back(by_user[i]);
    }
    if (const auto fault = fault_of(scenes_[i], read, callers[i]); !fault.empty()) {
      std::ostringstream line;
      line << "point " << i << ": " << fault << "\n  " << scenes_[i].p;
      found.push_back(line.str());
    }
  }
  return found;
}

std::string grid::fault_of(const scene& s, const std::vector<bool>& read_output,
                           bool callers_own) const {
  if (s.lines.size() != 1) {
    return std::to_string(s.lines.size()) + " report lines" +
           (s.lines.empty() ? "" : ", the last: " + s.lines.back());
  }
  const auto& line = s.lines[0];
  const bool refused_input = line == "Can't open '" + s.input + "'.";
  if (!s.stripped() && !refused_input && !line.ends_with("' for write!")) {
    return "reports " + line;
  }
  if (s.p.input_made == PLANTED_LINK && !refused_input) {
    return "followed an input link another account planted: " + line;
  }
  if (s.p.output_made >= PLANTED_LINK && s.stripped()) {
    return "filled an output another account planted";
  }
  for (const auto& [path, before] : s.kept) {
    if (!(s.stripped() && path == s.target) && state_of(root_ / path) != before) {
      return path + " changed";
    }
  }
  return s.stripped() ? fault_of_output(s, read_output, callers_own) : std::string();
}

std::string grid::fault_of_output(const scene& s, const std::vector<bool>& read_output,
                                  bool callers_own) const {
  if (read_file(root_ / s.target) != stripped(s.input_bytes)) {
    return "the output is not the strip of its input";
  }
  const auto& kind = CALLERS[s.p.caller];
  const auto& me = cast_.*kind.who;
  struct stat output {};
  EXPECT_EQ(::stat((root_ / s.target).c_str(), &output), 0);
  if (s.p.output_made == FILE || s.p.output_made == OWN_LINK || s.p.output_made == IN_PLACE) {
    const auto owner = s.p.output_made == IN_PLACE ? s.p.input.owner : s.p.output.owner;
    if (output.st_uid != owner) {
      return "the replaced output's owner became " + std::to_string(output.st_uid);
    }
  } else if (!callers_own) {
    return "the caller cannot read and write its new output";
  } else if (output.st_gid != s.p.input.group &&
             (kind.sets_any_group ||
              (kind.sets_own_groups && std::ranges::count(me.groups, s.p.input.group) != 0))) {
    return "the new output is not in the input's group";
  }
  // The input's owner may give itself read access, and the caller read it.
  for (std::size_t u = 0; u < read_output.size(); ++u) {
    const auto who = cast_.users()[u]->uid;
    if (read_output[u] && !s.read_input[u] && who != me.uid && who != s.p.input.owner) {
      return "account " + std::to_string(who) + " reads the output, not the input";
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
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root, to give files other owners and run the program as other users";
  }
  for (const char* command : {"setpriv", "setfacl", "unshare"}) {
    if (!have(command)) {
      GTEST_SKIP() << "needs " << command << ", which is not installed";
    }
  }
  const auto [seed, count] = grid_size();
  std::cout << "grid: GEOS_UNWRAP_GRID_SEED=" << seed << " GEOS_UNWRAP_GRID_POINTS=" << count
            << "\n";
  const scratch_dir dir;
  fs::permissions(dir.path(), fs::perms(0755));
  grid points(dir.path(), seed, count);
  points.run();
  const auto faults = points.faults();
  for (std::size_t i = 0; i < std::min<std::size_t>(faults.size(), 20); ++i) {
    ADD_FAILURE() << faults[i];
  }
  EXPECT_EQ(faults.size(), 0U) << "GEOS_UNWRAP_GRID_SEED=" << seed << " replays them";
  EXPECT_GT(points.outputs_made(), count / 10) << "too few outputs made to tell anything";
}

}  // namespace
}  // namespace geos::e2e
