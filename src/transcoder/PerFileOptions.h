// What one input or output option string fills before its file is opened.
#pragma once

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Options.h"

namespace corvane {

// One -map result.
struct TStreamMap {
  int disabled = 0;
  int file_index = 0;
  int stream_index = 0;
  int sync_file_index = 0;
  int sync_stream_index = 0;
  std::string linklabel;  // a filter-graph output label; empty for stream maps
};

// One -map_channel result.
struct TAudioChannelMap {
  int file_idx = 0;
  int stream_idx = 0;
  int channel_idx = 0;
  int ofile_idx = 0;
  int ostream_idx = 0;
};

// Field types follow the option rows that write them: "list" fields are
// per-stream value lists (TSpecifierList), whose entries use .str, .i, .i64
// or .dbl by the row's type. Built with the defaults; released with the record.
struct TPerFileOptions {
  TOptionGroup* group = nullptr;  // the engine's file group of the current parse

  std::int64_t start_time = AV_NOPTS_VALUE;
  std::int64_t start_time_eof = AV_NOPTS_VALUE;
  int seek_timestamp = 0;
  std::string format;

  TSpecifierList codec_names;        // str
  TSpecifierList audio_channels;     // i
  TSpecifierList audio_sample_rate;  // i
  TSpecifierList frame_rates;        // str
  TSpecifierList max_frame_rates;    // str
  TSpecifierList frame_sizes;        // str
  TSpecifierList frame_pix_fmts;     // str

  std::int64_t input_ts_offset = 0;
  int loop = 0;
  int rate_emu = 0;
  int accurate_seek = 1;
  int thread_queue_size = -1;

  TSpecifierList ts_scale;                // dbl
  TSpecifierList dump_attachment;         // str
  TSpecifierList hwaccels;                // str
  TSpecifierList hwaccel_devices;         // str
  TSpecifierList hwaccel_output_formats;  // str
  TSpecifierList autorotate;              // i

  std::vector<TStreamMap> stream_maps;
  std::vector<TAudioChannelMap> audio_channel_maps;
  int metadata_global_manual = 0;
  int metadata_streams_manual = 0;
  int metadata_chapters_manual = 0;
  std::vector<std::string> attachments;  // copies of the -attach arguments

  int chapters_input_file = INT_MAX;
  std::int64_t recording_time = INT64_MAX;
  std::int64_t stop_time = INT64_MAX;
  std::int64_t limit_filesize = INT64_MAX;
  float mux_preload = 0;
  float mux_max_delay = 0.7f;
  int shortest = 0;
  int bitexact = 0;

  int video_disable = 0;
  int audio_disable = 0;
  int subtitle_disable = 0;
  int data_disable = 0;

  std::vector<int> streamid_map;

  TSpecifierList metadata;                     // str
  TSpecifierList max_frames;                   // i64
  TSpecifierList bitstream_filters;            // str
  TSpecifierList codec_tags;                   // str
  TSpecifierList sample_fmts;                  // str
  TSpecifierList qscale;                       // dbl
  TSpecifierList forced_key_frames;            // str
  TSpecifierList force_fps;                    // i
  TSpecifierList frame_aspect_ratios;          // str
  TSpecifierList rc_overrides;                 // str
  TSpecifierList intra_matrices;               // str
  TSpecifierList inter_matrices;               // str
  TSpecifierList chroma_intra_matrices;        // str
  TSpecifierList top_field_first;              // i
  TSpecifierList metadata_map;                 // str
  TSpecifierList copy_initial_nonkeyframes;    // i
  TSpecifierList copy_prior_start;             // i
  TSpecifierList filters;                      // str
  TSpecifierList filter_scripts;               // str
  TSpecifierList reinit_filters;               // i
  TSpecifierList fix_sub_duration;             // i
  TSpecifierList canvas_sizes;                 // str
  TSpecifierList passes;                       // i
  TSpecifierList passlogfiles;                 // str
  TSpecifierList max_muxing_queue_size;        // i
  TSpecifierList muxing_queue_data_threshold;  // i
  TSpecifierList guess_layout_max;             // i
  TSpecifierList apad;                         // str
  TSpecifierList discard;                      // str
  TSpecifierList disposition;                  // str
  TSpecifierList program;                      // str
  TSpecifierList time_bases;                   // str
  TSpecifierList enc_time_bases;               // str
  TSpecifierList autoscale;                    // i
};

}  // namespace corvane
