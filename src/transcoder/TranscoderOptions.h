// The configuration half of the transcoding engine: global settings, the
// option table, and opening the inputs and outputs of one task into records.
//
// Threads: one object is configured from one thread (the one that adds the
// task's files); the run (a derived class) then owns it on the task thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Component.h"
#include "foundation/Logger.h"
#include "foundation/Options.h"
#include "foundation/StrFormat.h"
#include "transcoder/HWDevices.h"
#include "transcoder/PerFileOptions.h"
#include "transcoder/TranscoderTypes.h"

namespace corvane {

// Raised after an input was opened and before its streams are probed.
using TBeforeFindStreamInfoEvent = std::function<void(TObject* Sender, AVFormatContext* ic)>;

class TCustomFFmpegOpt : public TObject {
 public:
  TCustomFFmpegOpt();
  ~TCustomFFmpegOpt() override;
  TCustomFFmpegOpt(const TCustomFFmpegOpt&) = delete;
  TCustomFFmpegOpt& operator=(const TCustomFFmpegOpt&) = delete;
  const char* ClassName() const override { return "TCustomFFmpegOpt"; }

  // ---- Option table and parsing (OptionTable.cpp, OptionHandlers.cpp,
  // TranscoderOptions.cpp)

  // Builds the table on first use; the rows live as long as the object.
  void BuildOptionTable();
  TOptionTable OptionDef();
  // A record with the defaults, its group pointing at the engine's file group
  // (init_parse_context runs). Release it with ReleasePerFileOptions.
  std::unique_ptr<TPerFileOptions> NewPerFileOptions();
  void ReleasePerFileOptions(std::unique_ptr<TPerFileOptions> o);
  // kind is ofInput or ofOutput. 0 or a negative code (FLastErrMsg set when
  // HaltOnInvalidOption).
  int ParseOptions(TPerFileOptions& o, const std::string& options, const std::string& presets,
                   const std::string& label, const std::string& file_name, std::uint32_t kind);
  int ParsePresets(TPerFileOptions& o, const std::string& presets, const std::string& label);
  // Bit depth of hooked video pictures (-VideoHookBitsPixel); the run overrides.
  virtual int SetVideoHookBitsPixel(const std::string& arg);

  // ---- Opening files (InputFile.cpp, OutputFile.cpp). Each raises
  // FFmpegException on a fatal error, otherwise returns the new file's index
  // or a negative code with FLastErrMsg set.
  int OpenInputFile(TPerFileOptions& o, const std::string& options, const std::string& presets,
                    const std::string& file_name);
  int OpenOutputFile(TPerFileOptions& o, const std::string& options, const std::string& presets,
                     const std::string& file_name);

  // Frees the hardware devices; the filter device goes with them.
  void FreeHWDevices();

  // ---- Shared helpers
  // FLastErrMsg = text, logged at llFatal, then FFmpegException(text).
  [[noreturn]] void Fatal(const std::string& text);
  template <class A, class... R>
  [[noreturn]] void Fatal(const char* fmt, A&& a, R&&... rest) {
    Fatal(strprintf(fmt, a, rest...));
  }
  // FLastErrMsg = text and logged at the level; returns code.
  int Fail(int code, TLogLevel level, const std::string& text);
  template <class... A>
  void Log(TLogLevel level, const char* fmt, A&&... a) {
    if constexpr (sizeof...(A) == 0)
      FFLogger().Log(this, level, std::string(fmt));
    else
      FFLogger().Log(this, level, fmt, a...);
  }
  // The last entry of list whose specifier matches the stream (a negative
  // check is fatal "check_stream_specifier: ..."), or nullptr.
  const TSpecifierValue* MatchPerStream(const TSpecifierList& list, AVFormatContext* s,
                                        AVStream* st);
  // Codec by name of the media type (encoder or decoder), fatal when unknown
  // or of another type.
  const AVCodec* FindCodecOrDie(const std::string& name, AVMediaType type, bool encoder);
  // Decoder for the stream: its -c value or the codec id's default decoder;
  // a named decoder sets the stream's codec id.
  const AVCodec* ChooseDecoder(TPerFileOptions& o, AVFormatContext* s, AVStream* st);
  // Whether an output or attachment dump may write file_name (-y/-n, inputs).
  bool CheckOverwrite(const std::string& file_name);
  // The input file that file_name names (a local file, by path or by
  // identity), or -1.
  int SameAsInput(const std::string& file_name) const;
  // -t and -to of a file: -t wins over -to, -to becomes a duration from -ss.
  // 0, or code with FLastErrMsg set when -to lies before -ss.
  int ResolveTimeLimits(TPerFileOptions& o, int code);
  // Codec options of the file's group that none of the streams took: one of
  // the other direction (decoding for an output) is an error (code), any
  // other one a warning.
  int CheckUnusedCodecOptions(const TDictionary& group_codec_opts,
                              const std::vector<const TDictionary*>& taken, bool output,
                              int file_index, const std::string& file_name, int code);

  // ---- Output streams (OutputStream.cpp)
  TOutputStream* NewOutputStream(TPerFileOptions& o, AVFormatContext* oc, AVMediaType type,
                                 int source_index);
  TOutputStream* NewVideoStream(TPerFileOptions& o, AVFormatContext* oc, int source_index);
  TOutputStream* NewAudioStream(TPerFileOptions& o, AVFormatContext* oc, int source_index);
  TOutputStream* NewSubtitleStream(TPerFileOptions& o, AVFormatContext* oc, int source_index);
  TOutputStream* NewDataStream(TPerFileOptions& o, AVFormatContext* oc, int source_index);
  TOutputStream* NewAttachmentStream(TPerFileOptions& o, AVFormatContext* oc, int source_index);
  TOutputStream* NewUnknownStream(TPerFileOptions& o, AVFormatContext* oc, int source_index);
  void FreeOutputStreams();

  // ---- Filter graphs (FilterGraph.cpp, FilterGraphConfig.cpp)
  void InitSimpleFilterGraph(TInputStream* ist, TOutputStream* ost);
  // Parses a complex graph's description into its input and output records.
  int InitComplexFilterGraph(TFilterGraph& fg);
  void InitOutputFilter(TOutputFilter& ofilter, TPerFileOptions& o, AVFormatContext* oc);
  int configure_filtergraph(TFilterGraph& fg);
  // Copies a frame's parameters into the input filter; 0 or -12.
  int ifilter_parameters_from_frame(TInputFilter& ifilter, const AVFrame* frame);
  // Frees the library graph and clears every filter pointer into it.
  void cleanup_filtergraph(TFilterGraph& fg);

  // ---- Global settings (changed by global options)
  BufferRefPtr Fhw_device_ctx;
  THWDevice* Ffilter_hw_device = nullptr;
  std::string Fvstats_filename;
  std::string Fsdp_filename;
  float Faudio_drift_threshold = 0.1f;
  float Fdts_delta_threshold = 10;
  float Fdts_error_threshold = 3600 * 30;
  int Faudio_volume = 256;
  int Faudio_sync_method = 0;
  int Fvideo_sync_method = -1;  // automatic
  float Fframe_drop_threshold = 0;
  int Fdo_deinterlace = 0;
  int Fdo_hex_dump = 0;
  int Fdo_pkt_dump = 0;
  int Fcopy_ts = 0;
  int Fstart_at_zero = 0;
  int Fcopy_tb = -1;
  int Fdebug_ts = 0;
  int Fexit_on_error = 0;
  int Fprint_stats = -1;
  int Fqp_hist = 0;
  int Fframe_bits_per_raw_sample = 0;
  int Ffilter_nbthreads = 0;
  int Ffilter_complex_nbthreads = 0;
  int Fvstats_version = 2;
  int Fauto_conversion_filters = 1;
  int Fintra_only = 0;
  int Ffile_overwrite = 0;
  int Fno_file_overwrite = 0;
  int Fdo_psnr = 0;
  int Finput_sync = 0;
  int Finput_stream_potentially_available = 0;
  int Fignore_unknown_streams = 0;
  int Fcopy_unknown_streams = 0;
  int Ffind_stream_info = 1;
  std::string Fqsv_device;
  AVIOContext* Fprogress_avio = nullptr;  // owned; closed by the destructor
  int Frate_emu = 0;
  bool HaltOnInvalidOption = true;
  std::atomic<bool> FBroken{false};
  int FReadTimeout = 30000;  // milliseconds
  int FWriteTimeout = 30000;
  AVIOInterruptCB FReadCallback{};  // the run installs its interrupt functions
  AVIOInterruptCB FWriteCallback{};
  std::atomic<std::int64_t> FLastRead{0};
  std::atomic<std::int64_t> FLastWrite{0};
  std::int64_t FInputDuration = 0;  // microseconds
  std::int64_t FOutputDuration = 0;
  std::int64_t FReportInterval = 500000;
  std::string FLastErrMsg;
  TBeforeFindStreamInfoEvent FOnBeforeFindStreamInfo;

  // ---- Records of the task
  std::vector<std::unique_ptr<TInputStream>> Finput_streams;
  std::vector<std::unique_ptr<TInputFile>> Finput_files;
  std::vector<std::unique_ptr<TOutputStream>> Foutput_streams;
  std::vector<std::unique_ptr<TOutputFile>> Foutput_files;
  std::vector<std::unique_ptr<TFilterGraph>> Ffiltergraphs;
  THWDeviceList FHWDevices;
  TFFOptions FOptions;

  int Fnb_input_streams() const { return static_cast<int>(Finput_streams.size()); }
  int Fnb_input_files() const { return static_cast<int>(Finput_files.size()); }
  int Fnb_output_streams() const { return static_cast<int>(Foutput_streams.size()); }
  int Fnb_output_files() const { return static_cast<int>(Foutput_files.size()); }
  int Fnb_filtergraphs() const { return static_cast<int>(Ffiltergraphs.size()); }

 protected:
  // ---- Option handlers (OptionHandlers.cpp)

  // ---- Input files (InputFile.cpp)

  // ---- Output files (OutputFile.cpp, StreamSelection.cpp, Metadata.cpp)
  int InitComplexGraphs();

  // ---- Output streams (OutputStream.cpp)

  // ---- Filter graphs (FilterGraph.cpp, FilterGraphConfig.cpp)
  TInputStream* LabeledFilterInput(const TFilterGraph& fg, const char* label, AVMediaType type);
  TInputStream* UnlabeledFilterInput(const AVFilterInOut& in, AVMediaType type);
  void InitComplexInputFilter(TFilterGraph& fg, const AVFilterInOut& in);
  int BuildFilterGraph(TFilterGraph& fg);
  void ApplySimpleGraphOptions(AVFilterGraph* graph, const TOutputStream& ost);
  int ConfigureGraphPads(TFilterGraph& fg, AVFilterInOut* inputs, AVFilterInOut* outputs);
  int ConfigureInputFilter(TFilterGraph& fg, TInputFilter& ifilter, AVFilterInOut& in);
  int ConfigureInputVideoFilter(TFilterGraph& fg, TInputFilter& ifilter, AVFilterInOut& in);
  int ConfigureInputAudioFilter(TFilterGraph& fg, TInputFilter& ifilter, AVFilterInOut& in);
  int ConfigureOutputFilter(TFilterGraph& fg, TOutputFilter& ofilter, AVFilterInOut& out);
  int ConfigureOutputVideoFilter(TFilterGraph& fg, TOutputFilter& ofilter, AVFilterInOut& out);
  int ConfigureOutputAudioFilter(TFilterGraph& fg, TOutputFilter& ofilter, AVFilterInOut& out);
  // '|'-separated pixel format names the sink accepts; may switch off
  // automatic conversion (keep_pix_fmt).
  std::string ChoosePixFmts(const TOutputFilter& ofilter, AVFilterGraph* graph);
  int SubtitleCanvasPrepare(TInputStream& ist, TInputFilter& ifilter);
  std::int64_t InputStartOffset(const TInputFile& f) const;
  int TakeSinkParameters(TFilterGraph& fg);
  int CheckOutputEncoders(TFilterGraph& fg);
  int PushQueuedInput(TFilterGraph& fg);
  // Draws a queued subtitle onto the stream's canvas; the run overrides it.
  virtual void SubtitleCanvasUpdate(TInputStream& ist, std::int64_t heartbeat_pts,
                                    const AVSubtitle* sub);

 private:
  std::vector<TOptionDef> _OptionDef;
};

}  // namespace corvane
