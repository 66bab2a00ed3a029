// Which file already under an output name may be replaced: a regular file
// that this tool could have made and that a move can replace.
//
// A directory, device, FIFO or socket is never an output, nor is a file
// that is append-only or immutable, or that sits in a directory that is
// (the move would fail, or its hidden name stay), nor a mount point (a
// move cannot replace it).
//
// Every output begins with the sound-data marker, so a file that does not
// is someone's own (notes that happen to share the name, a file from
// another program), and replacing it would lose it: it is refused. What
// scripts rely on stays: a rerun replaces its earlier outputs, an input
// named like its output is stripped in place, the later of two inputs of
// one output name replaces the earlier one's output, and an empty file is
// replaced, since nothing of it can be lost.
#pragma once

#include <cstdint>

namespace geos {

// What tells one file from another: where it lives, its number there, and
// its size and last modification (seconds).
struct file_identity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified = 0;
};

// Whether the file under the output name is the input itself.
enum class sameness {
  same,   // the same device and inode
  maybe,  // the same device, size and modification time: file systems that
          // number each spelling of a name apart (case-insensitive ones
          // through FUSE, such as exFAT) show the input so under another
          // spelling, and it is taken for the input
  other,
};
[[nodiscard]] sameness compare(const file_identity& existing, const file_identity& input);

// What the start of the existing file says.
enum class file_start {
  like_output,  // it begins with the marker
  other,        // it begins with anything else
  unreadable,   // it could not be read to tell
};

// What is known of the file under the output name.
struct earlier_file {
  bool is_input = false;  // the input itself, stripped in place
  bool empty = false;
  file_start start = file_start::unreadable;
  bool regular = true;       // not a directory, device, FIFO or socket
  bool locked = false;       // append-only or immutable, itself or its directory
  bool mount_point = false;  // something is mounted on it
};

// Whether that file may be replaced: a regular file, neither locked nor a
// mount point, that is the input itself, empty, or begins like an output;
// never one that cannot be read to tell.
[[nodiscard]] bool could_be_an_output(const earlier_file& file);

}  // namespace geos
