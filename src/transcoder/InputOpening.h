// State of one input being opened, shared by the steps of OpenInputFile.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "transcoder/StreamAVIO.h"
#include "transcoder/TranscoderOptions.h"

namespace corvane {

struct TInputOpening {
  TInputOpening(TPerFileOptions& opts, TOptionGroup& g, std::string name, std::string library_name,
                int index)
      : o(opts),
        group(g),
        file_name(std::move(name)),
        lib_name(std::move(library_name)),
        file_index(index) {}

  TPerFileOptions& o;
  TOptionGroup& group;                     // the dictionaries of the file's option group
  std::string file_name;                   // as given, for messages
  std::string lib_name;                    // as handed to the libraries
  int file_index = 0;                      // index the file receives in Finput_files
  const AVInputFormat* iformat = nullptr;  // forced format, or nullptr
  StreamAVIOPtr stream_io;                 // a stream input's I/O; outlives ic
  InputContextPtr ic;
  std::int64_t timestamp = 0;       // start position, base of ts_offset
  std::int64_t input_duration = 0;  // remaining duration for FInputDuration
  std::vector<std::unique_ptr<TInputStream>> streams;
};

// One input stream record per stream of in.ic, into in.streams.
void AddInputStreams(TCustomFFmpegOpt& e, TInputOpening& in);

// The stream's -tag value: a number (decimal, 0x hex or 0 octal), or the
// little-endian value of its first four characters, zero-padded.
std::uint32_t parse_codec_tag(const std::string& text);

}  // namespace corvane
