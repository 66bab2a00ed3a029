// Memory that may be refused without an exception.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

namespace geos {

struct heap_free {
  // NOLINTNEXTLINE(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
  void operator()(void* block) const noexcept { std::free(block); }
};

template <class T>
using heap_array = std::unique_ptr<T[], heap_free>;  // NOLINT(*-avoid-c-arrays)

// `count` elements of `T` (uninitialised), or null where the heap refuses.
// operator new, even in its nothrow form, throws and catches inside, and a
// heap so exhausted that it cannot hold the exception ends the process:
// malloc just answers null.
template <class T>
[[nodiscard]] heap_array<T> try_allocate(std::size_t count) noexcept {
  return heap_array<T>(static_cast<T*>(std::malloc(count * sizeof(T))));  // NOLINT(*-no-malloc)
}

// Gives `text` room for `length` bytes without allocating again, or returns
// false where the heap refuses. The heap is asked first without an
// exception: one so exhausted that it refuses would have no memory for the
// exception either, and the process would end.
[[nodiscard]] inline bool reserve(std::string& text, std::size_t length) noexcept {
  if (!try_allocate<char>(length + 1)) {
    return false;
  }
  try {
    text.reserve(length);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace geos
