// Reading a whole small file (filter scripts, pass-2 statistics) through the
// libraries' I/O layer, so that any protocol they know can serve it.
#pragma once

#include <optional>
#include <string>

namespace corvane {

class TObject;

// The file's content, or nothing when it cannot be opened or read (logged at
// llError on behalf of sender).
std::optional<std::string> read_file(TObject* sender, const std::string& file_name);

}  // namespace corvane
