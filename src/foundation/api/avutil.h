// libavutil: headers and bound function slots.
#pragma once

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/avutil.h>
#include <libavutil/buffer.h>
#include <libavutil/channel_layout.h>
#include <libavutil/cpu.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/eval.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
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
  CORVANE_REQ(X, av_strdup)                            \
  CORVANE_REQ(X, av_dict_set)                          \
  CORVANE_REQ(X, av_dict_get)                          \
  CORVANE_REQ(X, av_dict_free)                         \
  CORVANE_REQ(X, av_dict_copy)                         \
  CORVANE_REQ(X, av_dict_count)                        \
  CORVANE_REQ(X, av_opt_find)                          \
  CORVANE_REQ(X, av_opt_set)                           \
  CORVANE_REQ(X, av_opt_eval_flags)                    \
  CORVANE_REQ(X, av_parse_time)                        \
  CORVANE_REQ(X, av_display_rotation_get)              \
  CORVANE_REQ(X, av_display_rotation_set)              \
  CORVANE_REQ(X, av_rescale_q)                         \
  CORVANE_REQ(X, av_frame_alloc)                       \
  CORVANE_REQ(X, av_frame_free)                        \
  CORVANE_REQ(X, av_frame_unref)                       \
  CORVANE_REQ(X, av_frame_ref)                         \
  CORVANE_REQ(X, av_frame_clone)                       \
  CORVANE_REQ(X, av_frame_move_ref)                    \
  CORVANE_REQ(X, av_frame_get_buffer)                  \
  CORVANE_REQ(X, av_frame_make_writable)               \
  CORVANE_REQ(X, av_image_get_buffer_size)             \
  CORVANE_REQ(X, av_image_fill_arrays)                 \
  CORVANE_REQ(X, av_image_copy)                        \
  CORVANE_REQ(X, av_samples_get_buffer_size)           \
  CORVANE_REQ(X, av_samples_fill_arrays)               \
  CORVANE_REQ(X, av_reduce)                            \
  CORVANE_REQ(X, av_gettime_relative)                  \
  CORVANE_REQ(X, av_rescale)                           \
  CORVANE_REQ(X, av_opt_set_bin)                       \
  CORVANE_REQ(X, av_opt_set_int)                       \
  CORVANE_REQ(X, av_realloc)                           \
  CORVANE_REQ(X, av_fast_malloc)                       \
  CORVANE_REQ(X, av_get_picture_type_char)             \
  CORVANE_REQ(X, av_sample_fmt_is_planar)              \
  CORVANE_REQ(X, av_channel_layout_compare)            \
  CORVANE_REQ(X, av_channel_layout_copy)               \
  CORVANE_REQ(X, av_get_packed_sample_fmt)             \
  CORVANE_REQ(X, av_max_alloc)                         \
  CORVANE_REQ(X, av_hwdevice_ctx_create)               \
  CORVANE_REQ(X, av_hwdevice_ctx_create_derived)       \
  CORVANE_REQ(X, av_hwdevice_find_type_by_name)        \
  CORVANE_REQ(X, av_hwdevice_get_type_name)            \
  CORVANE_REQ(X, av_hwdevice_iterate_types)            \
  CORVANE_REQ(X, av_buffer_ref)                        \
  CORVANE_REQ(X, av_buffer_unref)                      \
  CORVANE_REQ(X, av_dict_parse_string)                 \
  CORVANE_REQ(X, av_dict_set_int)                      \
  CORVANE_REQ(X, av_get_token)                         \
  CORVANE_REQ(X, av_parse_video_rate)                  \
  CORVANE_REQ(X, av_parse_video_size)                  \
  CORVANE_REQ(X, av_parse_ratio)                       \
  CORVANE_REQ(X, av_get_cpu_flags)                     \
  CORVANE_REQ(X, av_parse_cpu_caps)                    \
  CORVANE_REQ(X, av_force_cpu_flags)                   \
  CORVANE_REQ(X, av_opt_eval_int)                      \
  CORVANE_REQ(X, av_find_best_pix_fmt_of_2)            \
  CORVANE_REQ(X, av_strtod)                            \
  CORVANE_REQ(X, av_calloc)                            \
  CORVANE_REQ(X, av_opt_set_dict)                      \
  CORVANE_REQ(X, av_opt_get_int)                       \
  CORVANE_REQ(X, av_opt_set_dict2)                     \
  CORVANE_REQ(X, av_opt_next)                          \
  CORVANE_REQ(X, av_get_pix_fmt_string)                \
  CORVANE_REQ(X, av_rescale_q_rnd)                     \
  CORVANE_REQ(X, av_rescale_delta)                     \
  CORVANE_REQ(X, av_mul_q)                             \
  CORVANE_REQ(X, av_find_nearest_q_idx)                \
  CORVANE_REQ(X, av_frame_copy_props)                  \
  CORVANE_REQ(X, av_hwframe_transfer_data)             \
  CORVANE_REQ(X, av_hwframe_ctx_alloc)                 \
  CORVANE_REQ(X, av_hwframe_ctx_init)                  \
  CORVANE_REQ(X, av_hwframe_get_buffer)                \
  CORVANE_REQ(X, av_compare_ts)                        \
  CORVANE_REQ(X, av_expr_parse)                        \
  CORVANE_REQ(X, av_expr_eval)                         \
  CORVANE_REQ(X, av_expr_free)                         \
  CORVANE_REQ(X, av_pix_fmt_count_planes)              \
  CORVANE_REQ(X, av_channel_layout_check)              \
  CORVANE_REQ(X, av_dict_get_string)                   \
  CORVANE_REQ(X, av_usleep)                            \
  CORVANE_REQ(X, av_frame_remove_side_data)

namespace ff {
CORVANE_AVUTIL_FUNCTIONS(CORVANE_DECLARE_SLOT)
}  // namespace ff
