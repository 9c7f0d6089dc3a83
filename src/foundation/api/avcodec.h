// libavcodec: headers and bound function slots.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/avfft.h>
#include <libavcodec/bsf.h>
}

#include "foundation/api/Slot.h"

#define CORVANE_AVCODEC_FUNCTIONS(X)               \
  CORVANE_REQ(X, avcodec_version)                  \
  CORVANE_REQ(X, avcodec_configuration)            \
  CORVANE_REQ(X, avcodec_license)                  \
  CORVANE_REQ(X, av_codec_iterate)                 \
  CORVANE_REQ(X, av_codec_is_decoder)              \
  CORVANE_REQ(X, av_codec_is_encoder)              \
  CORVANE_REQ(X, avcodec_find_decoder)             \
  CORVANE_REQ(X, avcodec_find_encoder)             \
  CORVANE_REQ(X, avcodec_descriptor_next)          \
  CORVANE_REQ(X, avcodec_descriptor_get)           \
  CORVANE_REQ(X, avcodec_get_name)                 \
  CORVANE_REQ(X, avcodec_get_class)                \
  CORVANE_REQ(X, avcodec_alloc_context3)           \
  CORVANE_REQ(X, avcodec_free_context)             \
  CORVANE_REQ(X, avcodec_open2)                    \
  CORVANE_REQ(X, avcodec_send_packet)              \
  CORVANE_REQ(X, avcodec_receive_frame)            \
  CORVANE_REQ(X, avcodec_flush_buffers)            \
  CORVANE_REQ(X, avcodec_parameters_to_context)    \
  CORVANE_REQ(X, avcodec_string)                   \
  CORVANE_REQ(X, av_packet_alloc)                  \
  CORVANE_REQ(X, av_packet_free)                   \
  CORVANE_REQ(X, av_packet_unref)                  \
  CORVANE_REQ(X, avcodec_find_encoder_by_name)     \
  CORVANE_REQ(X, avcodec_parameters_from_context)  \
  CORVANE_REQ(X, avcodec_send_frame)               \
  CORVANE_REQ(X, avcodec_receive_packet)           \
  CORVANE_REQ(X, avcodec_encode_subtitle)          \
  CORVANE_REQ(X, av_new_packet)                    \
  CORVANE_REQ(X, av_packet_rescale_ts)             \
  CORVANE_REQ(X, av_packet_move_ref)               \
  CORVANE_REQ(X, av_packet_ref)                    \
  CORVANE_REQ(X, av_packet_make_refcounted)        \
  CORVANE_REQ(X, av_get_audio_frame_duration)      \
  CORVANE_REQ(X, avsubtitle_free)                  \
  CORVANE_REQ(X, avcodec_find_decoder_by_name)     \
  CORVANE_REQ(X, avcodec_decode_subtitle2)         \
  CORVANE_REQ(X, av_rdft_init)                     \
  CORVANE_REQ(X, av_rdft_calc)                     \
  CORVANE_REQ(X, av_rdft_end)                      \
  CORVANE_REQ(X, avcodec_descriptor_get_by_name)   \
  CORVANE_REQ(X, av_get_exact_bits_per_sample)     \
  CORVANE_REQ(X, avcodec_parameters_alloc)         \
  CORVANE_REQ(X, avcodec_parameters_free)          \
  CORVANE_REQ(X, avcodec_parameters_copy)          \
  CORVANE_REQ(X, av_bsf_list_parse_str)            \
  CORVANE_REQ(X, av_bsf_free)                      \
  CORVANE_REQ(X, av_bsf_init)                      \
  CORVANE_REQ(X, av_bsf_send_packet)               \
  CORVANE_REQ(X, av_bsf_receive_packet)            \
  CORVANE_REQ(X, av_bsf_get_null_filter)           \
  CORVANE_REQ(X, avcodec_get_hw_config)            \
  CORVANE_REQ(X, av_get_audio_frame_duration2)     \
  CORVANE_REQ(X, avcodec_close)                    \
  CORVANE_REQ(X, av_packet_clone)                  \
  CORVANE_REQ(X, av_packet_get_side_data)          \
  CORVANE_REQ(X, av_packet_new_side_data)          \
  CORVANE_REQ(X, av_packet_copy_props)             \
  CORVANE_REQ(X, av_parser_init)                   \
  CORVANE_REQ(X, av_parser_close)                  \
  CORVANE_REQ(X, avcodec_get_type)                 \
  CORVANE_REQ(X, avcodec_default_get_buffer2)      \
  CORVANE_REQ(X, avcodec_get_hw_frames_parameters) \
  CORVANE_REQ(X, avcodec_find_best_pix_fmt_of_list)

namespace ff {
CORVANE_AVCODEC_FUNCTIONS(CORVANE_DECLARE_SLOT)
}  // namespace ff
