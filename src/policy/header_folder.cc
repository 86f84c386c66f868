#include "policy/header_folder.h"

namespace tessvane {

void HeaderFolder::append(std::string_view separator, std::string_view token) {
  if (column >= 2 && column + separator.size() + token.size() > width) {
    const std::size_t kept = separator.find_last_not_of(" \t");
    output.append(separator.substr(0, kept == std::string_view::npos ? 0 : kept + 1));
    break_line();
  } else {
    output.append(separator);
    column += separator.size();
  }
  output.append(token);
  column += token.size();
}

void HeaderFolder::break_line() {
  output.append(kHeaderFold);
  column = 1;
}

}  // namespace tessvane
