// Metadata, chapters and programs of an output file being opened.
#pragma once

#include <string>

namespace corvane {

class TCustomFFmpegOpt;
struct TPerFileOptions;

// Applies -map_metadata, chapters, the inputs' metadata, -program and
// -metadata to output file file_index, whose streams exist. 0, or -1 with
// FLastErrMsg set.
int ApplyOutputMetadata(TCustomFFmpegOpt& e, TPerFileOptions& o, int file_index);

// A metadata specifier taken apart: 'g' global (also for an empty text),
// 's' with an optional stream specifier, 'c' or 'p' with an optional index.
struct TMetaSpecifier {
  char type = 'g';
  int index = 0;
  std::string stream_spec;
};
// False for an invalid specifier; error names the reason.
bool ParseMetaSpecifier(const std::string& text, TMetaSpecifier& out, std::string& error);

}  // namespace corvane
