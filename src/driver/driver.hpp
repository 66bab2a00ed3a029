// The command-line driver: everything that touches files, standard output
// and the process. It reads each named file, has the format layer classify
// its first READ_LIMIT bytes, and writes the sound data to the output name.
//
// For each argument, in order, exactly one report line is printed, from this
// set (each %s is filled with the argument unless noted):
//
//   "Can't open '%s'.\n"                              input cannot be opened,
//                                                     or the argument cannot be held
//   "Can't read '%s'.\n"                              reading the input failed
//   "'%s' is not a GEOS file (already stripped?).\n"  no signature
//   "'%s' is corrupted?\n"                            no marker
//   "Can't open '%s' for write!\n"                    %s: output name
//   "Stripping '%s' (%s) to '%s'.\n"                  argument, header text, output
//
// and after a stripping line, on failure, one of
//
//   "Can't read '%s'.\n"                              the input's tail failed
//   "Can't write '%s'!\n"                             %s: output name
//
// An output appears whole or not at all; what its name held before a failure
// is left exactly as it was; who may read it is decided by access_rule.hpp.
// A run stopped by a signal (see interrupt.hpp) removes its temporary,
// prints the lines of the files it finished (and, on a terminal, the
// "Can't write" line of one it cut short after its stripping line), and
// dies of the signal.
#pragma once

#include <string>
#include <string_view>

namespace geos {

inline constexpr std::string_view OUTPUT_EXTENSION = ".rng";

// Sets `output_name` (its storage is reused) to `argument` with everything
// from the first '.' of its last path component replaced by
// OUTPUT_EXTENSION, or with OUTPUT_EXTENSION appended where that component
// holds no '.'. The directory part is kept as it is, so the output always
// lies beside its input: "old.d/a.b.snd" gives "old.d/a.rng", "" gives
// ".rng". Any length is accepted.
void derive_output_name(std::string_view argument, std::string& output_name);

// A path cut before its last '/': the directory part ("" where there is no
// '/', "/" for a name right below the root) and the last component (empty
// where the path ends in '/'). Both borrow from `path`.
struct path_parts {
  std::string_view directory;
  std::string_view name;
};
[[nodiscard]] path_parts split_path(std::string_view path);

// The whole program: takes main's argument count and vector, strips every
// file named, prints the report lines to standard output and returns the
// exit status: 1 when no file name is given (after the usage line), else 0,
// whatever became of each file. Writes nothing to standard error.
int run(int argc, const char* const* argv);

}  // namespace geos
