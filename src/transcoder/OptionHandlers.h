// Handlers behind the transcoder's option rows, and the helpers they share
// with option parsing. Internal to the transcoder.
#pragma once

#include <string>
#include <vector>

#include "transcoder/TranscoderOptions.h"

namespace corvane::opthandlers {

// A handler: (engine, per-file record or nullptr, option as typed, argument).
using THandler = int (*)(TCustomFFmpegOpt& e, void* o, const std::string& opt,
                         const std::string& arg);

int ignored_request(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int unsupported(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int hook_switch(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int removed_option(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int alias_channel(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int alias_standard(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int letter_form(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int bitrate(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int qscale(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int profile(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int channel_layout(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int timecode(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int vsync(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int stats_period(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int timestamp(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int streamid(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int attach(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int map(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int map_channel(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int target(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int preset_file(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int filter_complex(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int filter_complex_script(TCustomFFmpegOpt& e, void* o, const std::string& opt,
                          const std::string& arg);
int sdp_file(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int vstats_file(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int vstats(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int progress(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int init_hw_device(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int filter_hw_device(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int max_alloc(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int cpuflags(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);
int loglevel(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& arg);

// Re-parses the argument as option target of the engine's table.
int parse_as(TCustomFFmpegOpt& e, void* o, const std::string& target, const std::string& arg);
// A decimal number of seconds (C locale) re-parsed as target in microseconds.
int seconds_as(TCustomFFmpegOpt& e, void* o, const std::string& opt, const std::string& target,
               const std::string& arg);
// Strict integer check shared by the hook depth option.
int check_integer(TCustomFFmpegOpt& e, const std::string& opt, const std::string& arg);

// Hands opt=value to the libraries' option lookup and copies what it took
// into the group's codec and format dictionaries; the engine's own
// dictionaries are left as they were. The lookup's result.
int route_to_group(TCustomFFmpegOpt& e, TOptionGroup& group, const std::string& opt,
                   const std::string& value);

// Texts of the two preset sources (a preset text, a preset file).
struct TPresetMessages {
  std::string syntax_prefix;   // before "Invalid syntax: ..."
  std::string invalid_prefix;  // before "Invalid option or argument: ..."
};
// Applies "name=value" lines; 0 or the first error (with HaltOnInvalidOption).
int apply_preset_lines(TCustomFFmpegOpt& e, TPerFileOptions& o, const std::string& text,
                       const TPresetMessages& messages);

// The rows of the engine's option table, bound to e, in table order.
std::vector<TOptionDef> make_option_rows(TCustomFFmpegOpt& e);

}  // namespace corvane::opthandlers
