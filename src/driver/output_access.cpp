#include "driver/output_access.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "driver/process_identity.hpp"
#include "driver/unique_fd.hpp"
#include "format/geos_sound.hpp"
#include "rules/earlier_output.hpp"

namespace geos {

namespace {

constexpr auto UNCHANGED_OWNER = static_cast<uid_t>(-1);

file_facts old_facts(const output_case& output) {
  const auto& old = output.target.existing()->status;
  return {old.st_uid, old.st_gid, old.st_mode, {access_list::unknown}};
}

// Setting an ACL rewrites the mode, so the mode is set last, and skipped
// only where the temporary is known to have it already.
bool set_mode(int temp, mode_bits mode, std::optional<mode_t> created, bool rewritten) {
  if (!rewritten && created && *created == mode) {
    return true;
  }
  return ::fchmod(temp, static_cast<mode_t>(mode)) == 0;
}

// Whether the temporary now has the input's access ACL, or none where the
// input has none; whatever it may have inherited from its directory is
// replaced.
bool carry_input_access_list(const output_case& output, int temp, std::span<std::byte> scratch) {
  if (output.input.acl.kind == access_list::present) {
    return platform::copy_access_list(output.input_fd, temp, scratch);
  }
  return output.input.acl.kind == access_list::absent &&
         (!output.target.dir().creates_with_access_list() || platform::drop_access_list(temp));
}

bool give_new_access(const output_case& output, int temp, std::optional<mode_t> created,
                     std::span<std::byte> scratch) {
  const auto& caller = output.caller;
  const auto& input = output.input;
  const bool acl_carried = carry_input_access_list(output, temp, scratch);
  // The temporary has this user's group, or the directory's; only where
  // the two agree is its group certain without a change.
  const bool settable = caller.may_set_group(input.group);
  const bool group_certain =
      settable && output.target.dir().status().st_gid == caller.gid && input.group == caller.gid;
  const bool group_set =
      group_certain || (settable && ::fchown(temp, UNCHANGED_OWNER, input.group) == 0);
  return set_mode(temp, new_output_mode(input, caller, group_set, acl_carried), created,
                  input.acl.kind == access_list::present);
}

bool give_replaced_access(const output_case& output, int temp, std::optional<mode_t> created,
                          std::span<std::byte> scratch) {
  const auto& caller = output.caller;
  auto& dir = output.target.dir();
  const auto& old = output.target.existing()->status;
  const auto carried = platform::carry_attributes(dir.fd(), output.target.name(), output.old_fd,
                                                  temp, dir.creates_with_access_list(), scratch);
  // The temporary belongs to this user and, depending on the system and
  // the directory's set-group-ID bit, to this user's group or the
  // directory's; only where both agree is its group certain.
  const bool chown_needed =
      old.st_uid != caller.uid || old.st_gid != caller.gid || dir.status().st_gid != caller.gid;
  const bool group_kept = !chown_needed || ::fchown(temp, old.st_uid, old.st_gid) == 0 ||
                          ::fchown(temp, UNCHANGED_OWNER, old.st_gid) == 0;
  // Where the old group could not be kept, the new content has whichever
  // group the system gave it, and its others may hold the input's group.
  struct stat now {};
  if (!group_kept && ::fstat(temp, &now) != 0) {
    return false;
  }
  return set_mode(
      temp,
      replaced_output_mode(old_facts(output), output.input, caller, output.replaces_input, carried,
                           group_kept ? old.st_gid : now.st_gid),
      created, carried != acl_carry::none);
}

// What is known of the existing target; its start is read only where it
// matters.
earlier_file earlier_of(const output_case& output) {
  const auto& target = output.target;
  const auto& old = *target.existing();
  earlier_file file{output.may_be_input,
                    old.status.st_size == 0,
                    file_start::unreadable,
                    S_ISREG(old.status.st_mode),
                    old.locked || target.dir().locked(),
                    old.mount_root};
  if (!file.regular || file.is_input || file.empty) {
    return file;
  }
  std::array<std::byte, SOUND_DATA_MARKER.size()> start{};
  const auto got = output.old_fd >= 0 ? ::pread(output.old_fd, start.data(), start.size(), 0) : -1;
  if (got >= 0) {
    file.start = begins_like_output(std::span(start).first(static_cast<std::size_t>(got)))
                     ? file_start::like_output
                     : file_start::other;
  }
  return file;
}

}  // namespace

bool may_overwrite(const output_case& output) {
  const auto& target = output.target;
  const auto& old = target.existing()->status;
  if (!could_be_an_output(earlier_of(output))) {
    return false;
  }
  const auto& caller = output.caller;
  const bool third_user =
      !output.replaces_input && !caller.is(old.st_uid) && old.st_uid != output.input.owner;
  if (!may_replace(
          target.dir().facts(), old_facts(output), output.input, caller,
          third_user ? belongs_to(old.st_uid, output.input.group) : membership::not_member)) {
    return false;
  }
  // A truncating open would need write permission; keeping that rule keeps
  // a read-only output from being replaced behind its owner's back. For its
  // owner the owner's bit decides, as the kernel would; others are asked of
  // the kernel.
  const bool owner_may_write = caller.is(old.st_uid) && (old.st_mode & S_IWUSR) != 0;
  return owner_may_write || ::faccessat(target.dir().fd(), target.name(), W_OK, AT_EACCESS) == 0;
}

mode_t creation_mode(const output_case& output) {
  const auto& caller = output.caller;
  const auto& existing = output.target.existing();
  const auto mode =
      existing
          ? replaced_output_mode(old_facts(output), output.input, caller, output.replaces_input,
                                 acl_carry::none, existing->status.st_gid)
          : new_output_mode(output.input, caller, caller.may_set_group(output.input.group), true);
  return static_cast<mode_t>(mode);
}

bool give_access(const output_case& output, int temp, std::optional<mode_t> created,
                 std::span<std::byte> scratch) {
  return output.target.existing() ? give_replaced_access(output, temp, created, scratch)
                                  : give_new_access(output, temp, created, scratch);
}

}  // namespace geos
