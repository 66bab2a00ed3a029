// What may be trusted in a directory that others may write.
//
// A directory is shared when anyone other than the caller and the
// directory's owner may add or rename entries in it: its group or other
// write bit is set (sticky or not), or an ACL entry grants write. In a
// shared directory, whoever may write it can put any name there at any
// time, so
//   - a symbolic link is followed, for an input or an output, only where it
//     belongs to the caller or to the directory's owner (the kernel's
//     protected-links rule, applied to every shared directory whatever the
//     system's setting);
//   - a FIFO is waited on for its writer only where it belongs to one of
//     the same two: anyone else's could hold the run for ever;
//   - what lands under an output name is checked to be the file the run
//     wrote before the run reports it made.
// Ids are known ones only: an unmapped owner is neither the caller nor the
// directory's owner.
#pragma once

#include "rules/access_rule.hpp"

namespace geos {

// Whether anyone but the caller and the owner may add or rename entries in
// `directory`, as above.
[[nodiscard]] bool is_shared(const directory_facts& directory);

// What is taken of a directory that could not be opened, so cannot be
// told apart from a shared one: shared, and owned by nobody known.
[[nodiscard]] directory_facts unknown_directory(const caller_ids& caller);

// Whether a symbolic link owned by `link_owner` in `directory` may be
// followed: anywhere but in a shared directory, and there only where it
// belongs to the caller or to the directory's owner.
[[nodiscard]] bool may_follow_link(const directory_facts& directory, user_id link_owner,
                                   const caller_ids& caller);

// Whether a FIFO owned by `fifo_owner` in `directory` may be waited on
// until a writer opens it: as for a link.
[[nodiscard]] bool may_wait_for_fifo(const directory_facts& directory, user_id fifo_owner,
                                     const caller_ids& caller);

}  // namespace geos
