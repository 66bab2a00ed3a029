// Output names: where the output of an argument goes, spelled from the
// argument alone.
//
// The output lies beside its input: the last path component of the argument
// has everything from its first '.' replaced by OUTPUT_EXTENSION, or the
// extension appended where it holds no '.'. The directory part is kept as it
// is, even where it holds a '.' ("./", "old.d/"), so that the output never
// lands in another directory. "tone.snd" gives "tone.rng", "a.b.c" gives
// "a.rng", and an input already named so ("tone.rng") is its own output.
#pragma once

#include <string>
#include <string_view>

namespace geos {

inline constexpr std::string_view OUTPUT_EXTENSION = ".rng";

// Sets `output_name` (its storage is reused) to the output name of
// `argument`: "old.d/a.b.snd" gives "old.d/a.rng", "" gives ".rng". Any
// length is accepted; the directory part of the result is always that of
// `argument`.
void derive_output_name(std::string_view argument, std::string& output_name);

// A path cut before its last '/': the directory part ("" where there is no
// '/', "/" for a name right below the root) and the last component (empty
// where the path ends in '/'). Both borrow from `path`.
struct path_parts {
  std::string_view directory;
  std::string_view name;
};
[[nodiscard]] path_parts split_path(std::string_view path);

// Whether `component` names an entry of its directory that a file can be
// created under: not empty, not "." and not "..".
[[nodiscard]] bool names_a_file(std::string_view component);

}  // namespace geos
