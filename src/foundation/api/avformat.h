// libavformat: headers and bound function slots.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include "foundation/api/Slot.h"

namespace corvane::api {
// Exports that no public header declares; bound when present, never called.
using ff_guess_image2_codec_t = enum AVCodecID (*)(const char*);
using memory_protocol_callback_t = void (*)();
}  // namespace corvane::api

#define CORVANE_AVFORMAT_FUNCTIONS(X)                                                              \
  CORVANE_REQ(X, avformat_version)                                                                 \
  CORVANE_REQ(X, avformat_configuration)                                                           \
  CORVANE_REQ(X, avformat_license)                                                                 \
  CORVANE_REQ(X, avformat_network_init)                                                            \
  CORVANE_REQ(X, avformat_network_deinit)                                                          \
  CORVANE_REQ(X, av_muxer_iterate)                                                                 \
  CORVANE_REQ(X, av_demuxer_iterate)                                                               \
  CORVANE_REQ(X, av_find_input_format)                                                             \
  CORVANE_REQ(X, av_guess_format)                                                                  \
  CORVANE_REQ(X, avio_enum_protocols)                                                              \
  CORVANE_REQ(X, avformat_get_class)                                                               \
  CORVANE_REQ(X, avformat_match_stream_specifier)                                                  \
  CORVANE_REQ(X, av_stream_get_side_data)                                                          \
  CORVANE_REQ(X, av_stream_new_side_data)                                                          \
  CORVANE_REQ(X, avformat_alloc_output_context2)                                                   \
  CORVANE_REQ(X, avformat_new_stream)                                                              \
  CORVANE_REQ(X, avformat_free_context)                                                            \
  CORVANE_REQ(X, avformat_alloc_context)                                                           \
  CORVANE_REQ(X, avformat_open_input)                                                              \
  CORVANE_REQ(X, avformat_close_input)                                                             \
  CORVANE_REQ(X, avformat_find_stream_info)                                                        \
  CORVANE_REQ(X, av_read_frame)                                                                    \
  CORVANE_REQ(X, avformat_seek_file)                                                               \
  CORVANE_REQ(X, av_seek_frame)                                                                    \
  CORVANE_REQ(X, avio_size)                                                                        \
  CORVANE_REQ(X, av_guess_frame_rate)                                                              \
  CORVANE_REQ(X, av_stream_get_codec_timebase)                                                     \
  CORVANE_REQ(X, avio_open)                                                                        \
  CORVANE_REQ(X, avio_closep)                                                                      \
  CORVANE_REQ(X, avformat_write_header)                                                            \
  CORVANE_REQ(X, av_interleaved_write_frame)                                                       \
  CORVANE_REQ(X, av_write_trailer)                                                                 \
  CORVANE_REQ(X, av_new_program)                                                                   \
  CORVANE_REQ(X, av_program_add_stream_index)                                                      \
  CORVANE_REQ(X, avio_seek)                                                                        \
  CORVANE_REQ(X, av_find_best_stream)                                                              \
  CORVANE_REQ(X, av_format_inject_global_side_data)                                                \
  CORVANE_REQ(X, av_guess_sample_aspect_ratio)                                                     \
  CORVANE_REQ(X, av_read_pause)                                                                    \
  CORVANE_REQ(X, av_read_play)                                                                     \
  CORVANE_REQ(X, avio_feof)                                                                        \
  CORVANE_OPT_T(X, ff_guess_image2_codec, corvane::api::ff_guess_image2_codec_t)                   \
  CORVANE_OPT_T(X, tessaly_set_memory_protocol_callback, corvane::api::memory_protocol_callback_t) \
  CORVANE_OPT_T(X, tessaly_reset_memory_protocol_callback,                                         \
                corvane::api::memory_protocol_callback_t)                                          \
  CORVANE_REQ(X, av_guess_codec)                                                                   \
  CORVANE_REQ(X, avformat_query_codec)                                                             \
  CORVANE_REQ(X, av_dump_format)                                                                   \
  CORVANE_REQ(X, avio_open2)                                                                       \
  CORVANE_REQ(X, avio_check)                                                                       \
  CORVANE_REQ(X, avio_find_protocol_name)                                                          \
  CORVANE_REQ(X, avio_read)                                                                        \
  CORVANE_REQ(X, avio_write)                                                                       \
  CORVANE_REQ(X, avio_flush)                                                                       \
  CORVANE_REQ(X, avio_close)                                                                       \
  CORVANE_REQ(X, avio_open_dyn_buf)                                                                \
  CORVANE_REQ(X, avio_close_dyn_buf)                                                               \
  CORVANE_REQ(X, av_filename_number_test)                                                          \
  CORVANE_REQ(X, avformat_init_output)                                                             \
  CORVANE_REQ(X, av_write_frame)                                                                   \
  CORVANE_REQ(X, avio_printf)                                                                      \
  CORVANE_REQ(X, avio_w8)                                                                          \
  CORVANE_REQ(X, av_sdp_create)                                                                    \
  CORVANE_REQ(X, avformat_transfer_internal_stream_timing_info)                                    \
  CORVANE_REQ(X, av_stream_get_end_pts)                                                            \
  CORVANE_REQ(X, av_stream_get_parser)                                                             \
  CORVANE_REQ(X, av_pkt_dump_log2)                                                                 \
  CORVANE_REQ(X, avio_alloc_context)                                                               \
  CORVANE_REQ(X, avio_context_free)                                                                \
  CORVANE_REQ(X, av_codec_get_tag)                                                                 \
  CORVANE_REQ(X, av_codec_get_id)

namespace ff {
CORVANE_AVFORMAT_FUNCTIONS(CORVANE_DECLARE_SLOT)
}  // namespace ff
