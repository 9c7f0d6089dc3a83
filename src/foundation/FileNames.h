// File names handed to the libraries. Names are UTF-8 on both sides, of any length.
#pragma once

#include <string>

namespace corvane {

std::string to_library_file_name(const std::string& name);
std::string from_library_file_name(const std::string& name);
// Whether the name's extension is one of the image-sequence extensions.
bool guess_image_codec(const std::string& name);

}  // namespace corvane
