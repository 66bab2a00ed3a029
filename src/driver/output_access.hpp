// Carries out the access rule (rules/access_rule.hpp) on one output: whether
// an existing file may be replaced, and the owner, group, mode and ACL that
// the new content gets.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <span>

#include "driver/output_target.hpp"
#include "rules/access_rule.hpp"

namespace geos {

// One output as the rule sees it. `input_fd` is the open input, whose facts
// are `input`; `replaces_input`: the target is the input itself;
// `may_be_input`: it is, or may be the input under another spelling;
// `old_fd`: the existing target open for reading, where it is (-1 where
// not).
struct output_case {
  const caller_ids& caller;
  output_target& target;
  file_facts input;
  int input_fd = -1;
  bool replaces_input = false;
  bool may_be_input = false;
  int old_fd = -1;
};

// Whether the existing target may be replaced: one that could_be_an_output
// allows (a regular file this tool could have made, neither locked nor a
// mount point, in a directory that is not locked), that may_replace allows
// and that this user may write (as a truncating open would need). Asks the
// account databases only for a third user's file, and reads the first
// bytes of a regular file only where it is neither empty nor the input.
[[nodiscard]] bool may_overwrite(const output_case& output);

// The mode to create the temporary with where nobody else can reach it:
// the one it is most likely to end with.
[[nodiscard]] mode_t creation_mode(const output_case& output);

// Gives the temporary `temp` what the rule decides: a new output the
// input's group (where the caller may set it), its ACL and its mode; a
// replaced one the old file's owner, group, ACL, extended attributes and
// narrowed mode. `created`: the temporary's mode where it is known (else
// it is set whatever it is). `scratch` (at least 128 KiB) carries ACLs and
// attributes. False where a step the rule relies on fails.
[[nodiscard]] bool give_access(const output_case& output, int temp, std::optional<mode_t> created,
                               std::span<std::byte> scratch);

}  // namespace geos
