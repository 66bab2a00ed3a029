#include "rules/output_name.hpp"

namespace geos {

void derive_output_name(std::string_view argument, std::string& output_name) {
  // Only the last component is renamed: a '.' in a directory part ("./",
  // "old.d/") must not send the output elsewhere.
  const auto component =
      static_cast<std::size_t>(split_path(argument).name.data() - argument.data());
  output_name.assign(argument.substr(0, argument.find('.', component)));
  output_name.append(OUTPUT_EXTENSION);
}

path_parts split_path(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    return {{}, path};
  }
  return {path.substr(0, slash == 0 ? 1 : slash), path.substr(slash + 1)};
}

bool names_a_file(std::string_view component) {
  return !component.empty() && component != "." && component != "..";
}

}  // namespace geos
