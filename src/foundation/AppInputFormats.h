// The application's own input formats (capture adapters), searched by openers
// before the libraries' lookup.
#pragma once

#include <string>
#include <vector>

extern "C" {
struct AVInputFormat;
}

namespace corvane {

// Registering a format again is harmless. Entries live for the process.
void register_app_input_format(const AVInputFormat* format);
// The first registered format with exactly this name, or nullptr.
const AVInputFormat* find_app_input_format(const char* name);
// Snapshot in registration order.
std::vector<const AVInputFormat*> app_input_formats();

}  // namespace corvane
