// libavutil: headers and bound function slots.
#pragma once

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/avutil.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

#include "foundation/api/Slot.h"

#define CORVANE_AVUTIL_FUNCTIONS(X)                    \
  CORVANE_REQ(X, avutil_version)                       \
  CORVANE_REQ(X, avutil_configuration)                 \
  CORVANE_REQ(X, avutil_license)                       \
  CORVANE_REQ(X, av_log)                               \
  CORVANE_REQ(X, av_vlog)                              \
  CORVANE_REQ(X, av_log_default_callback)              \
  CORVANE_REQ(X, av_log_set_callback)                  \
  CORVANE_REQ(X, av_log_get_level)                     \
  CORVANE_REQ(X, av_log_set_level)                     \
  CORVANE_REQ(X, av_log_get_flags)                     \
  CORVANE_REQ(X, av_log_set_flags)                     \
  CORVANE_REQ(X, av_log_format_line2)                  \
  CORVANE_REQ(X, av_default_item_name)                 \
  CORVANE_REQ(X, av_strerror)                          \
  CORVANE_REQ(X, av_strcasecmp)                        \
  CORVANE_REQ(X, av_malloc)                            \
  CORVANE_REQ(X, av_mallocz)                           \
  CORVANE_REQ(X, av_free)                              \
  CORVANE_REQ(X, av_freep)                             \
  CORVANE_REQ(X, av_get_media_type_string)             \
  CORVANE_REQ(X, av_pix_fmt_desc_next)                 \
  CORVANE_REQ(X, av_pix_fmt_desc_get)                  \
  CORVANE_REQ(X, av_pix_fmt_desc_get_id)               \
  CORVANE_REQ(X, av_get_pix_fmt_name)                  \
  CORVANE_REQ(X, av_get_pix_fmt)                       \
  CORVANE_REQ(X, av_get_bits_per_pixel)                \
  CORVANE_REQ(X, av_get_sample_fmt_name)               \
  CORVANE_REQ(X, av_get_sample_fmt)                    \
  CORVANE_REQ(X, av_get_sample_fmt_string)             \
  CORVANE_REQ(X, av_get_bytes_per_sample)              \
  CORVANE_REQ(X, av_channel_name)                      \
  CORVANE_REQ(X, av_channel_description)               \
  CORVANE_REQ(X, av_channel_layout_standard)           \
  CORVANE_REQ(X, av_channel_layout_describe)           \
  CORVANE_REQ(X, av_channel_layout_default)            \
  CORVANE_REQ(X, av_channel_layout_from_mask)          \
  CORVANE_REQ(X, av_channel_layout_from_string)        \
  CORVANE_REQ(X, av_channel_layout_uninit)             \
  CORVANE_REQ(X, av_channel_layout_channel_from_index) \
  CORVANE_REQ(X, av_channel_layout_copy)               \
  CORVANE_REQ(X, av_frame_alloc)                       \
  CORVANE_REQ(X, av_frame_free)                        \
  CORVANE_REQ(X, av_frame_unref)                       \
  CORVANE_REQ(X, av_dict_set)                          \
  CORVANE_REQ(X, av_dict_free)                         \
  CORVANE_REQ(X, av_opt_set)                           \
  CORVANE_REQ(X, av_rescale_q)                         \
  CORVANE_REQ(X, av_display_rotation_set)              \
  CORVANE_REQ(X, av_display_rotation_get)

namespace ff {
CORVANE_AVUTIL_FUNCTIONS(CORVANE_DECLARE_SLOT)
}  // namespace ff
