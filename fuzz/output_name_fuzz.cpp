// Output naming keeps the directory part and gives the last component a
// dot-free stem, a prefix of the original, followed by ".rng".
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rules/output_name.hpp"

namespace {

void check(bool property) {
  if (!property) {
    std::abort();
  }
}

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view argument(reinterpret_cast<const char*>(data), size);
  std::string name;
  geos::derive_output_name(argument, name);

  const auto slash = argument.rfind('/');
  const auto directory = argument.substr(0, slash == std::string_view::npos ? 0 : slash + 1);
  const auto component = argument.substr(directory.size());
  const std::string_view result(name);

  check(result.starts_with(directory));
  check(result.ends_with(geos::OUTPUT_EXTENSION));
  const auto stem = result.substr(directory.size(),
                                  result.size() - directory.size() - geos::OUTPUT_EXTENSION.size());
  check(stem.find('.') == std::string_view::npos);
  check(stem.find('/') == std::string_view::npos);
  check(component.starts_with(stem));
  check(stem.size() == component.size() || component[stem.size()] == '.');
  return 0;
}
