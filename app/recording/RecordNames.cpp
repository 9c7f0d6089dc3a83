#include <filesystem>
#include <string>

#include "recording/RecordingBridge.h"

namespace corvane {

std::string NewOutputFileName(const std::string& AFileName, const std::string& AExt) {
  namespace fs = std::filesystem;
  const fs::path source(AFileName);
  const std::string stem = (source.parent_path() / source.stem()).string();
  std::string name = stem + "_(new)" + AExt;
  std::error_code ec;
  for (int n = 1; fs::exists(name, ec); ++n)
    name = stem + "_(new_" + std::to_string(n) + ")" + AExt;
  return name;
}

}  // namespace corvane
