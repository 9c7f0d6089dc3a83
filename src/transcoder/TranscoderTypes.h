// Records of a transcoding task: input files and streams, output files and
// streams, filter graphs. Each record owns the library objects it holds; the
// engine owns the records (vectors of unique_ptr) and records refer to each
// other by index or by non-owning pointer into those vectors.
#pragma once

#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/AVHandles.h"
#include "foundation/Dictionary.h"
#include "transcoder/StreamAVIO.h"

namespace corvane {

// The transcoder's fatal error: configuration or the run ends with the text
// (also stored in the engine's FLastErrMsg).
class FFmpegException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TFilterGraph;
struct TInputFilter;
struct TOutputFilter;
struct TInputStream;
struct TOutputStream;

enum THWAccelID {
  HWACCEL_NONE,
  HWACCEL_AUTO,
  HWACCEL_GENERIC,
  HWACCEL_VIDEOTOOLBOX,
  HWACCEL_QSV,
};

// AVChannelLayout that releases a custom layout's map.
struct TChannelLayout {
  AVChannelLayout layout{};
  TChannelLayout() = default;
  TChannelLayout(const TChannelLayout& other) { *this = other; }
  TChannelLayout& operator=(const TChannelLayout& other) {
    if (this != &other) {
      reset();
      if (ff::av_channel_layout_copy) ff::av_channel_layout_copy(&layout, &other.layout);
    }
    return *this;
  }
  ~TChannelLayout() { reset(); }
  void reset() {
    if (ff::av_channel_layout_uninit) ff::av_channel_layout_uninit(&layout);
    layout = AVChannelLayout{};
  }
  bool known() const { return layout.nb_channels > 0 && layout.order != AV_CHANNEL_ORDER_UNSPEC; }
};

struct TISprev_sub {
  int got_output = 0;
  int ret = 0;
  SubtitlePtr subtitle;
};

// Canvas of a subtitle stream that feeds a video filter input.
struct TISsub2video {
  std::int64_t last_pts = 0;
  std::int64_t end_pts = 0;
  std::deque<SubtitlePtr> sub_queue;  // subtitles waiting for the graph
  FramePtr frame;                     // the canvas
  int w = 0;
  int h = 0;
  int initialize = 0;
};

struct TInputFile {
  StreamAVIOPtr stream_io;  // a stream input's I/O; outlives ctx
  InputContextPtr ctx;
  int eof_reached = 0;
  int eagain = 0;
  int ist_index = 0;  // first stream of the file in Finput_streams
  int loop = 0;
  std::int64_t duration = 0;
  AVRational time_base{1, 1};
  std::int64_t input_ts_offset = 0;
  std::int64_t ts_offset = 0;
  std::int64_t last_ts = 0;
  std::int64_t start_time = AV_NOPTS_VALUE;
  int seek_timestamp = 0;
  std::int64_t recording_time = INT64_MAX;
  int nb_streams = 0;
  int nb_streams_warn = 0;
  int rate_emu = 0;
  int accurate_seek = 0;
  PacketPtr pkt;
  std::int64_t last_pts = AV_NOPTS_VALUE;
};

struct TInputStream {
  int file_index = 0;
  AVStream* st = nullptr;  // owned by the file's context
  int discard = 1;         // 1 while no output uses the stream
  int user_set_discard = AVDISCARD_NONE;
  int decoding_needed = 0;  // bit 1: for an output stream, bit 2: for a filter
  CodecContextPtr dec_ctx;
  const AVCodec* avdec = nullptr;
  FramePtr decoded_frame;
  FramePtr filter_frame;
  PacketPtr pkt;
  std::int64_t start = 0;
  std::int64_t next_dts = 0;
  std::int64_t dts = 0;
  std::int64_t next_pts = 0;
  std::int64_t pts = 0;
  int wrap_correction_done = 0;
  std::int64_t filter_in_rescale_delta_last = AV_NOPTS_VALUE;
  std::int64_t min_pts = INT64_MAX;
  std::int64_t max_pts = INT64_MIN;
  std::int64_t cfr_next_pts = 0;
  std::int64_t nb_samples = 0;
  double ts_scale = 1.0;
  int saw_first_ts = 0;
  TDictionary decoder_opts;
  AVRational framerate{0, 0};  // forced input frame rate (-r on the input)
  int top_field_first = -1;
  int guess_layout_max = INT_MAX;
  int autorotate = 1;
  int fix_sub_duration = 0;
  TISprev_sub prev_sub;
  TISsub2video sub2video;
  int dr1 = 0;
  std::vector<TInputFilter*> filters;  // owned by their graphs
  int reinit_filters = -1;
  THWAccelID hwaccel_id = HWACCEL_NONE;
  AVHWDeviceType hwaccel_device_type = AV_HWDEVICE_TYPE_NONE;
  std::string hwaccel_device;
  AVPixelFormat hwaccel_output_format = AV_PIX_FMT_NONE;
  // Set while the decoder negotiates its format, read by its frame threads.
  std::atomic<AVPixelFormat> hwaccel_pix_fmt{AV_PIX_FMT_NONE};
  AVPixelFormat hwaccel_retrieved_pix_fmt = AV_PIX_FMT_NONE;
  BufferRefPtr hw_frames_ctx;
  std::int64_t data_size = 0;
  std::int64_t nb_packets = 0;
  std::int64_t frames_decoded = 0;
  std::int64_t samples_decoded = 0;
  std::vector<std::int64_t> dts_buffer;
  int got_output = 0;
  int frame_number = 0;

  // ---- Hardware decoding (HWAccel.cpp): hooks set while the decoder opens
  // and negotiates its format; ctx is the stream's decoder context.
  void (*hwaccel_uninit)(AVCodecContext* ctx) = nullptr;  // after the decoder closed
  int (*hwaccel_get_buffer)(AVCodecContext* ctx, AVFrame* frame, int flags) = nullptr;
  // Replaces a hardware frame by its copy in hwaccel_output_format; 0 or a code.
  int (*hwaccel_retrieve_data)(AVCodecContext* ctx, AVFrame* frame) = nullptr;
  BufferRefPtr* hw_device_ctx = nullptr;  // the engine's QSV device
  std::string* qsv_device = nullptr;      // the engine's QSV child device

  // ---- Run: input reading
  std::int64_t first_dts = AV_NOPTS_VALUE;  // first demuxed DTS, stream time base
};

struct TOutputFile {
  StreamAVIOPtr stream_io;  // a stream output's I/O; outlives ctx
  OutputContextPtr ctx;
  TDictionary opts;   // muxer options for opening the file and writing the header
  int ost_index = 0;  // first stream of the file in Foutput_streams
  std::int64_t recording_time = INT64_MAX;
  std::int64_t start_time = AV_NOPTS_VALUE;
  std::int64_t limit_filesize = INT64_MAX;
  int shortest = 0;
  int header_written = 0;
  bool created = false;  // a local file that did not exist before this task opened it
};

struct TOutputStream {
  int file_index = 0;
  int index = 0;           // in its file
  int source_index = -1;   // in Finput_streams; -1 for attachments and graph outputs
  AVStream* st = nullptr;  // owned by the file's muxer context
  int encoding_needed = 0;
  int frame_number = 0;
  TInputStream* sync_ist = nullptr;
  std::int64_t sync_opts = 0;
  std::int64_t first_pts = 0;
  std::int64_t last_mux_dts = AV_NOPTS_VALUE;
  AVRational mux_timebase{0, 0};
  AVRational enc_timebase{0, 0};
  BsfPtr bsf_ctx;
  CodecContextPtr enc_ctx;
  CodecParametersPtr ref_par;
  const AVCodec* enc = nullptr;  // nullptr for stream copy
  std::int64_t max_frames = INT64_MAX;
  FramePtr filtered_frame;
  FramePtr last_frame;
  PacketPtr pkt;
  int last_dropped = 0;
  std::array<int, 3> last_nb0_frames{};
  AVRational frame_rate{0, 0};
  AVRational max_frame_rate{0, 0};
  int is_cfr = 0;
  int force_fps = 0;
  int top_field_first = -1;
  int rotate_overridden = 0;
  int autoscale = 1;
  double rotate_override_value = 0;
  AVRational frame_aspect_ratio{0, 0};
  std::int64_t forced_kf_ref_pts = AV_NOPTS_VALUE;
  std::vector<std::int64_t> forced_kf_pts;
  int forced_kf_index = 0;
  std::string forced_keyframes;
  std::vector<int> audio_channels_map;
  std::string logfile_prefix;
  std::string logfile_name;  // pass-1/pass-2 log of this stream
  std::FILE* logfile = nullptr;
  TOutputFilter* filter = nullptr;      // owned by its graph
  std::optional<std::string> avfilter;  // filter description of a simple graph
  std::string filters;
  std::string filters_script;
  TDictionary encoder_opts;
  TDictionary sws_dict;
  TDictionary swr_opts;
  std::string apad;
  int finished = 0;
  int unavailable = 0;
  int stream_copy = 0;
  int initialized = 0;
  int inputs_done = 0;
  std::string attachment_filename;
  int copy_initial_nonkeyframes = 0;
  int copy_prior_start = -1;
  std::string disposition;
  int keep_pix_fmt = 0;
  std::int64_t data_size = 0;
  std::int64_t packets_written = 0;
  std::int64_t frames_encoded = 0;
  std::int64_t samples_encoded = 0;
  int quality = 0;
  int max_muxing_queue_size = 128;  // packets
  std::deque<PacketPtr> muxing_queue;
  std::size_t muxing_queue_data_size = 0;
  std::size_t muxing_queue_data_threshold = 52428800;
  int pict_type = 0;
  std::array<std::int64_t, 4> error{};
  int is_filter_codec_opts = 1;
  int is_avcodec_opened = 0;

  // ---- Forced key frames given as "expr:..." (OutputStreamInit.cpp)
  ExprPtr forced_keyframes_pexpr;
  // Values of n, n_forced, prev_forced_n, prev_forced_t, t.
  std::array<double, 5> forced_keyframes_expr_const_values{};

  TOutputStream() = default;
  TOutputStream(const TOutputStream&) = delete;
  TOutputStream& operator=(const TOutputStream&) = delete;
  ~TOutputStream() {
    if (logfile) std::fclose(logfile);
    // Set on the context by stream creation; not all of them are freed with it.
    if (enc_ctx && ff::av_freep) {
      ff::av_freep(&enc_ctx->stats_in);
      ff::av_freep(&enc_ctx->chroma_intra_matrix);
    }
  }
};

struct TInputFilter {
  AVFilterContext* filter = nullptr;  // the buffer source, while the graph exists
  TInputStream* ist = nullptr;
  TFilterGraph* graph = nullptr;
  std::string name;
  AVMediaType type_ = AVMEDIA_TYPE_UNKNOWN;
  std::deque<FramePtr> frame_queue;  // frames that came before the graph was configured
  int format = -1;
  int width = 0;
  int height = 0;
  AVRational sample_aspect_ratio{0, 1};
  int sample_rate = 0;
  TChannelLayout ch_layout;
  BufferRefPtr hw_frames_ctx;
  int eof = 0;
};

struct TOutputFilter {
  AVFilterContext* filter = nullptr;  // the buffer sink, while the graph exists
  TOutputStream* ost = nullptr;       // nullptr while a complex output is unconnected
  TFilterGraph* graph = nullptr;
  std::string name;
  FilterInOutPtr out_tmp;  // the unconnected pad of a parsed complex graph
  AVMediaType type_ = AVMEDIA_TYPE_UNKNOWN;
  int width = 0;
  int height = 0;
  AVRational frame_rate{0, 0};
  int format = -1;
  int sample_rate = 0;
  TChannelLayout ch_layout;
  std::vector<int> formats;                 // acceptable formats when format is -1
  std::vector<AVChannelLayout> ch_layouts;  // acceptable layouts (native order, no map)
  std::vector<int> sample_rates;            // acceptable rates
};

struct TFilterGraph {
  int index = 0;
  std::optional<std::string> graph_desc;  // none for a simple graph
  FilterGraphPtr graph;
  int reconfiguration = 0;
  std::vector<std::unique_ptr<TInputFilter>> inputs;
  std::vector<std::unique_ptr<TOutputFilter>> outputs;

  bool simple() const { return !graph_desc.has_value(); }
};

}  // namespace corvane
