#include "driver/output_file.hpp"

#include <fcntl.h>

#include "driver/file_identity.hpp"
#include "driver/output_access.hpp"
#include "driver/platform.hpp"
#include "rules/shared_directory.hpp"

namespace geos {

output_file::output_file(const caller_ids& caller) : caller_(caller) {}

bool output_file::create(output_directory& dir, const char* name, int input_fd,
                         const struct stat& input) {
  temp_.discard();
  input_fd_ = input_fd;
  if (!target_.resolve(dir, name, caller_)) {
    return false;
  }
  const auto& existing = target_.existing();
  const auto same =
      existing ? compare(identity_of(existing->status), identity_of(input)) : sameness::other;
  replaces_input_ = same == sameness::same;
  durable_ = same != sameness::other;
  // Replacing the input itself narrows nothing, so its ACL need not be
  // looked at.
  input_ = {input.st_uid, input.st_gid, input.st_mode,
            replaces_input_ ? access_list_facts{} : platform::access_list_of(input_fd)};
  // The old file is read for what it holds and carries, by descriptor;
  // the input, where it is the old file, serves as it is.
  old_.reset();
  if (existing && !durable_ && S_ISREG(existing->status.st_mode)) {
    old_.reset(::openat(target_.dir().fd(), target_.name(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  }
  const auto output = as_case();
  if (existing && !may_overwrite(output)) {
    return false;
  }
  // A locked directory would keep a hidden name.
  const auto mode = creation_mode(output);
  if (!temp_.open(target_.dir().fd(), mode, !target_.dir().locked())) {
    return false;
  }
  temp_mode_.reset();
  if (!target_.dir().creates_with_access_list()) {
    temp_mode_ = static_cast<mode_t>(temp_.created_mode() & ~caller_.umask);
  }
  return true;
}

output_case output_file::as_case() {
  return {caller_,
          target_,
          input_,
          input_fd_,
          replaces_input_,
          durable_,
          replaces_input_ ? input_fd_ : old_.get()};
}

bool output_file::commit(std::span<std::byte> scratch, unique_fd input) {
  const bool given = give_access(as_case(), temp_.fd(), temp_mode_, scratch);
  // A file held open while it is renamed over stays on FUSE under a hidden
  // name of its own.
  old_.reset();
  if (!given || (durable_ && !platform::sync_to_medium(temp_.fd()))) {
    temp_.discard();
    return false;
  }
  // Renaming over another spelling of a file still open crashes the exFAT
  // daemon of FUSE; nothing needs the input any more.
  input.reset();
  input_fd_ = -1;
  if (!temp_.publish(target_.name(), target_.existing().has_value(),
                     is_shared(target_.dir().facts()))) {
    return false;
  }
  if (durable_) {
    // The rename has happened and cannot be taken back, and the content is
    // on the medium already; a failure here is not worth reporting as a
    // lost write (nor can a lookup-only descriptor be flushed).
    static_cast<void>(platform::sync_to_medium(target_.dir().fd()));
  }
  return true;
}

}  // namespace geos
