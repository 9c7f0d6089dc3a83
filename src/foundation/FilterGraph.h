// Building blocks of library filter graphs, shared by the player, the
// decoder component and the transcoder.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "foundation/Dictionary.h"

extern "C" {
struct AVFilterContext;
struct AVFilterGraph;
struct AVBufferRef;
}

namespace corvane::filters {

// Arguments of a "buffer" source; the frame rate is added when known.
std::string video_source_args(int width, int height, int pix_fmt, AVRational time_base,
                              AVRational sample_aspect, AVRational frame_rate);
// Arguments of an "abuffer" source: the layout described when its order is
// known, else the channel count.
std::string audio_source_args(AVRational time_base, int sample_rate, int sample_fmt,
                              const AVChannelLayout& layout);
// "key=value:key=value"; rename_sws_flags writes "sws_flags" as "flags".
std::string join_options(const TDictionary& options, bool rename_sws_flags = false);

// Creates filter `filter` named `name` in the graph; 0 or a library code.
int create_filter(AVFilterGraph* graph, const char* filter, const std::string& name,
                  const char* args, AVFilterContext** out);
// Creates a filter and links last's output pad into it; on success it is
// the new last (pad 0).
int append_filter(AVFilterGraph* graph, AVFilterContext*& last, unsigned& pad, const char* filter,
                  const std::string& name, const char* args);
// Creates a filter and links it into next's first input; on success it is
// the new next.
int prepend_filter(AVFilterGraph* graph, AVFilterContext*& next, const char* filter,
                   const std::string& name, const char* args);

// The filters (name, arguments) that turn a picture shown rotated by theta
// degrees clockwise upright: transpose for 90 and 270, both flips for 180, a
// free rotation otherwise; none within a degree of 0.
std::vector<std::pair<const char*, std::string>> rotation_filters(double theta);

// Links source to sink through a filter description (directly when it is
// empty), then configures the graph. The parsed filters are configured before
// those created earlier.
int link_and_configure(AVFilterGraph* graph, const std::string& description,
                       AVFilterContext* source, AVFilterContext* sink);

// Gives every filter of the graph a reference to the device; 0 or -12.
int attach_hw_device(AVFilterGraph* graph, AVBufferRef* device);

}  // namespace corvane::filters
