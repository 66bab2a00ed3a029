// End-to-end behaviour of one run: report lines, exit status and the files
// left behind, compared byte for byte.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <span>

#include "case_name.hpp"
#include "format/geos_sound.hpp"
#include "harness.hpp"

namespace geos::e2e {
namespace {

class strip : public testing::Test {
 protected:
  fs::path at(const std::string& name) const { return dir_.path() / name; }
  run_result run(const std::vector<std::string>& arguments, const run_options& options = {}) {
    auto result = run_tool(dir_.path(), arguments, options);
    EXPECT_EQ(result.err, "") << "nothing may go to standard error";
    return result;
  }

  scratch_dir dir_;
};

TEST_F(strip, reports_every_outcome_in_order_and_goes_on_after_failures) {
  const auto tone = geos_file("Tone 440 Hz", sound_bytes(700));
  write_file(at("tone.snd"), tone);
  write_file(at("plain.snd"), "RIFF....WAVE");
  write_file(at("broken.snd"), SIGNATURE + "no marker here");
  write_file(at("broken.rng"), "precious");
  fs::create_directory(at("broken.d"));
  write_file(at("last.snd"), geos_file("", "z"));
  fs::create_symlink("nowhere", at("dangling"));
  const auto result = run({"missing.snd", "tone.snd", "plain.snd", "", "broken.snd", "broken.d",
                           "-", "/dev/zero", "dangling", "last.snd"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out,
            "Can't open 'missing.snd'.\n"
            "Stripping 'tone.snd' (Tone 440 Hz) to 'tone.rng'.\n"
            "'plain.snd' is not a GEOS file (already stripped?).\n"
            "Can't open ''.\n"
            "'broken.snd' is corrupted?\n"
            "Can't read 'broken.d'.\n"
            "Can't open '-'.\n"
            "'/dev/zero' is not a GEOS file (already stripped?).\n"
            "Can't open 'dangling'.\n"
            "Stripping 'last.snd' () to 'last.rng'.\n");
  EXPECT_EQ(read_file(at("tone.rng")), stripped(tone));
  EXPECT_EQ(read_file(at("last.rng")), MARKER + "z");
  EXPECT_EQ(read_file(at("broken.rng")), "precious") << "a failed input's output is kept";
  for (const char* never : {"missing.rng", "plain.rng", ".rng", "-.rng", "nowhere"}) {
    EXPECT_FALSE(fs::exists(at(never))) << never;
  }
}

TEST_F(strip, in_place_replaces_input_and_a_second_run_leaves_it) {
  const auto tone = geos_file("in place", sound_bytes(300000));
  write_file(at("tone.rng"), tone);
  EXPECT_EQ(run({"tone.rng"}).out, "Stripping 'tone.rng' (in place) to 'tone.rng'.\n");
  EXPECT_EQ(read_file(at("tone.rng")), stripped(tone));
  EXPECT_EQ(run({"tone.rng"}).out, "'tone.rng' is not a GEOS file (already stripped?).\n");
  EXPECT_EQ(read_file(at("tone.rng")), stripped(tone));
  EXPECT_EQ(snapshot(dir_.path()).size(), 1U);
}

TEST_F(strip, name_after_an_unopenable_directory_is_not_looked_up_in_the_one_before) {
  fs::create_directory(at("sub"));
  write_file(at("sub/a.snd"), geos_file("a", "x"));
  write_file(at("sub/keep.rng"), geos_file("not named", "y"));
  write_file(at("notadir"), "");
  const auto before = snapshot(dir_.path());
  EXPECT_EQ(run({"sub/a.snd", "keep.rng", "notadir/x.snd", "keep.rng"}).out,
            "Stripping 'sub/a.snd' (a) to 'sub/a.rng'.\nCan't open 'keep.rng'.\n"
            "Can't open 'notadir/x.snd'.\nCan't open 'keep.rng'.\n");
  EXPECT_EQ(read_file(at("sub/keep.rng")), before.at("sub/keep.rng"));
}

// The binary against the format's own functions over the whole classified
// window, for generated files whose header text, NUL, marker and length
// fall around the first read, the window's end and long tails, some with a
// marker inside the text (its 02 shown as '?'); a header text as long as
// the window makes a line longer than any usual buffer.
TEST_F(strip, each_file_gets_the_line_and_bytes_the_format_gives_its_window) {
  std::mt19937 random(11);
  constexpr std::size_t K = FIRST_READ, W = READ_LIMIT;
  const std::size_t edges[] = {0, 3, K - 12, K - 6, W - 12, W - 8, W - 4, W};
  const auto near = [&] { return edges[random() % std::size(edges)] + random() % 5; };
  std::vector<std::string> names;
  std::string report;
  std::map<std::string, std::string> files;
  for (unsigned i = 0; i < 48; ++i) {
    auto file = SIGNATURE + std::string(near(), 't');
    if (random() % 4 == 0) {
      file.insert(4 + random() % std::min<std::size_t>(file.size() - 3, K), MARKER);
    }
    file += std::string(random() % 2, '\0');
    file.resize(std::max(file.size(), near()), 'h');
    file +=
        random() % 4 == 0 ? "" : MARKER + sound_bytes(i % 8 == 0 ? 3'000'000 : random() % 200, i);
    const auto name = std::string(i % 12 == 0 ? 200 : 1, 'f') + std::to_string(i);
    write_file(at(name + ".snd"), files[name + ".snd"] = file);
    names.push_back(name + ".snd");
    const auto window = std::as_bytes(std::span(file)).first(std::min(file.size(), READ_LIMIT));
    const auto outcome = locate_sound_data(window);
    if (outcome.kind != scan_kind::found) {
      report += "'" + name + ".snd' is corrupted?\n";
      continue;
    }
    auto text = std::string(header_text(window));
    std::replace(text.begin(), text.end(), '\x02', '?');
    report += "Stripping '" + name + ".snd' (" + text + ") to '" + name + ".rng'.\n";
    files[name + ".rng"] = file.substr(outcome.marker_offset);
  }
  EXPECT_EQ(run(names).out, report);
  EXPECT_TRUE(snapshot(dir_.path()) == files) << "outputs differ from the format's";
}

TEST_F(strip, fifo_input_waits_for_its_writer_and_streams_to_its_end) {
  ASSERT_EQ(::mkfifo(at("fifo.snd").c_str(), 0600), 0);
  const auto tone = geos_file("piped", sound_bytes(200000), 3000);
  write_file(at("tone"), tone);
  // The writer comes a second after the tool has opened the FIFO, which
  // must wait for it.
  const auto result =
      run({"fifo.snd"},
          {.wrapper = {"sh", "-c", "(sleep 1; cat tone >fifo.snd) >/dev/null 2>&1 & exec \"$@\"",
                       "sh"}});
  EXPECT_EQ(result.out, "Stripping 'fifo.snd' (piped) to 'fifo.rng'.\n");
  EXPECT_EQ(read_file(at("fifo.rng")), stripped(tone));
}

// A link to an existing file is followed in the hostile row for long names
// and the access grid; one that leads nowhere yet makes its target.
TEST_F(strip, symlinked_output_leading_nowhere_makes_its_target_and_stays_a_link) {
  fs::create_directory(at("store"));
  fs::create_symlink("store/fresh.rng", at("new.rng"));
  write_file(at("new.snd"), geos_file("n", "two"));
  run({"new.snd"});
  EXPECT_TRUE(fs::is_symlink(at("new.rng")));
  EXPECT_EQ(read_file(at("store/fresh.rng")), MARKER + "two");
  EXPECT_EQ(snapshot(dir_.path()).size(), 4U) << "no temporary left";
}

// Every output begins with the marker: a file under the output name that
// does not is the user's own, and is kept, as is anything but a file; an
// empty file, an earlier output and the output of a pair's first are replaced.
TEST_F(strip, existing_file_is_replaced_only_where_the_tool_could_have_made_it) {
  for (const char* name : {"notes", "dir", "empty", "earlier"}) {
    write_file(at(std::string(name) + ".snd"), geos_file(name, "x"));
  }
  write_file(at("notes.rng"), "my own notes");
  fs::create_directory(at("dir.rng"));
  write_file(at("empty.rng"), "");
  write_file(at("earlier.rng"), EARLIER);
  write_file(at("pair.a"), geos_file("a", "first"));
  write_file(at("pair.b"), geos_file("b", "second"));
  EXPECT_EQ(run({"notes.snd", "dir.snd", "empty.snd", "earlier.snd", "pair.a", "pair.b"}).out,
            "Can't open 'notes.rng' for write!\nCan't open 'dir.rng' for write!\n"
            "Stripping 'empty.snd' (empty) to 'empty.rng'.\n"
            "Stripping 'earlier.snd' (earlier) to 'earlier.rng'.\n"
            "Stripping 'pair.a' (a) to 'pair.rng'.\nStripping 'pair.b' (b) to 'pair.rng'.\n");
  EXPECT_EQ(read_file(at("pair.rng")), MARKER + "second") << "the later of a pair wins";
  EXPECT_EQ(read_file(at("notes.rng")), "my own notes");
  EXPECT_TRUE(fs::is_directory(at("dir.rng")));
  EXPECT_EQ(read_file(at("empty.rng")) + read_file(at("earlier.rng")), MARKER + "x" + MARKER + "x");
}

struct limit_case {
  const char* name;
  rlim_t limit;
  std::size_t total;

  friend void PrintTo(const limit_case& c, std::ostream* os) { *os << '"' << c.name << '"'; }
};

class strip_write_limit : public strip, public testing::WithParamInterface<limit_case> {};

TEST_P(strip_write_limit, failed_write_keeps_old_output_and_leaves_no_temporary) {
  const auto tone = geos_file("w", sound_bytes(GetParam().total));
  write_file(at("tone.snd"), tone);
  write_file(at("tone.rng"), EARLIER);
  write_file(at("same.rng"), tone);
  write_file(at("after.snd"), "not geos");
  const auto before = snapshot(dir_.path());
  const auto result = run({"tone.snd", "same.rng", "after.snd"},
                          {.file_size_limit = GetParam().limit, .terminal = false, .wrapper = {}});
  EXPECT_EQ(result.out,
            "Stripping 'tone.snd' (w) to 'tone.rng'.\nCan't write 'tone.rng'!\n"
            "Stripping 'same.rng' (w) to 'same.rng'.\nCan't write 'same.rng'!\n"
            "'after.snd' is not a GEOS file (already stripped?).\n");
  EXPECT_EQ(snapshot(dir_.path()), before);
}

INSTANTIATE_TEST_SUITE_P(cases, strip_write_limit,
                         testing::Values(limit_case{"nothing_fits", 0, 1000},
                                         limit_case{"inside_window", 6, 1000},
                                         limit_case{"at_window_end", READ_LIMIT - 40, 200000},
                                         limit_case{"deep_in_tail", 150000, 400000}),
                         case_name{});

// Which bytes are masked is the rule's table; here, that the report tells it
// when standard output is a terminal. Into a pipe, the generated files above
// show a header's control masked and odd_names a name's passed as it is.
TEST_F(strip, header_and_name_controls_masked_on_a_terminal) {
  const std::string name = "t\x1B[31m.snd";
  write_file(at(name), geos_file("h\x1B[2K\nx", "d"));
  EXPECT_EQ(run({name}, {.file_size_limit = {}, .terminal = true, .wrapper = {}}).out,
            "Stripping 't?[31m.snd' (h?[2K?x) to 't?[31m.rng'.\n");
}

}  // namespace
}  // namespace geos::e2e
