// Memory that may be refused without an exception.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

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

}  // namespace geos
