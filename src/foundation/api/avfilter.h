// libavfilter: headers and bound function slots.
#pragma once

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

#include "foundation/api/Slot.h"

#define CORVANE_AVFILTER_FUNCTIONS(X)                   \
  CORVANE_REQ(X, avfilter_version)                      \
  CORVANE_REQ(X, avfilter_configuration)                \
  CORVANE_REQ(X, avfilter_license)                      \
  CORVANE_REQ(X, av_filter_iterate)                     \
  CORVANE_REQ(X, avfilter_get_by_name)                  \
  CORVANE_REQ(X, avfilter_filter_pad_count)             \
  CORVANE_REQ(X, avfilter_pad_get_type)                 \
  CORVANE_REQ(X, avfilter_pad_get_name)                 \
  CORVANE_REQ(X, avfilter_graph_alloc)                  \
  CORVANE_REQ(X, avfilter_graph_free)                   \
  CORVANE_REQ(X, avfilter_graph_create_filter)          \
  CORVANE_REQ(X, avfilter_graph_parse_ptr)              \
  CORVANE_REQ(X, avfilter_graph_config)                 \
  CORVANE_REQ(X, avfilter_inout_alloc)                  \
  CORVANE_REQ(X, avfilter_inout_free)                   \
  CORVANE_REQ(X, av_buffersrc_add_frame_flags)          \
  CORVANE_REQ(X, av_buffersink_get_frame)               \
  CORVANE_REQ(X, avfilter_graph_parse2)                 \
  CORVANE_REQ(X, avfilter_link)                         \
  CORVANE_REQ(X, av_buffersink_set_frame_size)          \
  CORVANE_REQ(X, av_buffersink_get_time_base)           \
  CORVANE_REQ(X, av_buffersink_get_format)              \
  CORVANE_REQ(X, av_buffersink_get_frame_rate)          \
  CORVANE_REQ(X, av_buffersink_get_w)                   \
  CORVANE_REQ(X, av_buffersink_get_h)                   \
  CORVANE_REQ(X, av_buffersink_get_sample_aspect_ratio) \
  CORVANE_REQ(X, av_buffersink_get_ch_layout)           \
  CORVANE_REQ(X, av_buffersink_get_sample_rate)         \
  CORVANE_REQ(X, av_buffersink_get_hw_frames_ctx)       \
  CORVANE_REQ(X, av_buffersrc_add_frame)                \
  CORVANE_REQ(X, av_buffersink_get_frame_flags)         \
  CORVANE_REQ(X, avfilter_graph_send_command)           \
  CORVANE_REQ(X, avfilter_graph_queue_command)          \
  CORVANE_REQ(X, avfilter_graph_alloc_filter)           \
  CORVANE_REQ(X, avfilter_init_str)                     \
  CORVANE_REQ(X, avfilter_init_dict)                    \
  CORVANE_REQ(X, avfilter_graph_set_auto_convert)       \
  CORVANE_REQ(X, av_buffersrc_parameters_alloc)         \
  CORVANE_REQ(X, av_buffersrc_parameters_set)           \
  CORVANE_REQ(X, avfilter_graph_request_oldest)         \
  CORVANE_REQ(X, av_buffersrc_close)                    \
  CORVANE_REQ(X, av_buffersrc_get_nb_failed_requests)   \
  CORVANE_REQ(X, av_buffersink_get_type)                \
  CORVANE_REQ(X, av_buffersink_get_channels)            \
  CORVANE_REQ(X, avfilter_graph_get_filter)

namespace ff {
CORVANE_AVFILTER_FUNCTIONS(CORVANE_DECLARE_SLOT)
}  // namespace ff
