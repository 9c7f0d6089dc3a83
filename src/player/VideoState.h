// The per-file state of the player: opening the input, choosing and opening
// streams, the read thread that fills the packet queues, seeking, end of file
// and I/O time-outs, and the decoder threads that fill the frame queues.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "foundation/AVHandles.h"
#include "foundation/Options.h"
#include "player/AudioOutput.h"
#include "player/Clock.h"
#include "player/FrameQueue.h"
#include "player/LiveSettings.h"
#include "player/PacketQueue.h"
#include "player/PlayerHost.h"

namespace corvane {

class TVideoState;
struct TVideoGraphState;

// One stream's decoder and its thread.
struct TDecoder {
  PacketPtr pkt;
  TPacketQueue* queue = nullptr;
  CodecContextPtr avctx;
  int pkt_serial = -1;
  std::atomic<int> finished{0};
  bool packet_pending = false;
  std::int64_t start_pts = AV_NOPTS_VALUE;
  AVRational start_pts_tb{0, 1};
  std::int64_t next_pts = AV_NOPTS_VALUE;
  AVRational next_pts_tb{0, 1};
  std::thread decoder_tid;
  TVideoState* is = nullptr;

  int Init(CodecContextPtr ctx, TPacketQueue* q, TVideoState* state);
  // Starts the queue and the thread.
  template <class F>
  int Start(F&& body) {
    queue->Start();
    try {
      decoder_tid = std::thread(std::forward<F>(body));
    } catch (const std::system_error&) {
      return AVERROR(ENOMEM);
    }
    return 0;
  }
  void Stop(TFrameQueue& fq);
  void Destroy();
  // 1 a frame, 0 end of stream for this serial, -1 aborted.
  int DecodeFrame(AVFrame* frame, AVSubtitle* sub);
};

class TVideoState {
 public:
  // Creates the state; the input is opened on the read thread, or at once
  // when the settings say so. With wait, returns only after the open ended
  // (pumping the main thread); nullptr when it failed. The host hears of the
  // state as soon as it exists, and of its end (nullptr) before a failed
  // state is freed here. `live`: the owner's settings while playing (none:
  // taken from `settings`).
  static std::unique_ptr<TVideoState> Create(TPlayerHost& host, const TPlayerSettings& settings,
                                             const std::string& filename,
                                             const AVInputFormat* iformat, bool openPaused,
                                             bool wait,
                                             std::shared_ptr<TLiveSettings> live = nullptr);
  ~TVideoState();  // Close
  TVideoState(const TVideoState&) = delete;
  TVideoState& operator=(const TVideoState&) = delete;

  // Stops every thread and closes the input. Safe to call twice.
  void Close();

  // Seek to pos (microseconds, or bytes with AVSEEK_FLAG_BYTE); rel is the
  // signed distance of a relative seek.
  void StreamSeek(std::int64_t pos, std::int64_t rel, int flags);
  void RequestFlush();
  void SetPaused(bool paused);
  void WakeReader() { continue_read_thread.notify_all(); }

  // An audio stream starts its device unless `start_audio` is false.
  int OpenStreamComponent(int stream_index, bool start_audio = true);
  void CloseStreamComponent(int stream_index);
  // The two halves of a close: the component's threads and device stop (they
  // may be raising handlers that call the player), then its records go.
  void StopStreamComponent(int stream_index);
  void ReleaseStreamComponent(int stream_index);
  // Closes component `close` and opens `open` (-1: none) between two reads
  // of the read thread, which alone touches the demuxer's streams while it
  // reads; before and after, on the caller's thread. Returns the open's result.
  int SwitchStreamComponent(int close, int open);

  // Filter commands, handed to the graphs' owners under their locks.
  bool SendFilterCommand(bool video, const std::string& target, const std::string& cmd,
                         const std::string& arg, int flags, std::string& error);
  bool QueueFilterCommand(bool video, const std::string& target, const std::string& cmd,
                          const std::string& arg, int flags, double time, std::string& error);

  double MasterClock() { return sync.MasterClock(audclk, vidclk, extclk); }
  // The video stream's picture size at open, -1 without one.
  int OpenedWidth() const {
    return video_st && video_st->codecpar->width ? video_st->codecpar->width : -1;
  }
  int OpenedHeight() const {
    return video_st && video_st->codecpar->width ? video_st->codecpar->height : -1;
  }
  Tav_sync_type MasterSyncType() { return sync.MasterSyncType(); }

  TPlayerHost& host;
  TPlayerSettings settings;  // the player's settings at open
  const std::shared_ptr<TLiveSettings> live_settings;
  TLiveSettings& live;  // the settings that act while playing
  // The player's option dictionaries at open: the engine's threads read these,
  // never the player's, which the application changes meanwhile.
  TDictionary format_opts, codec_opts, sws_dict, swr_opts;
  std::string filename;
  const AVInputFormat* iformat = nullptr;

  std::atomic<int> abort_request{0};
  std::atomic<int> force_refresh{0};
  std::atomic<int> paused{0};
  int last_paused = 0;
  std::atomic<int> queue_attachments_req{0};
  std::atomic<int> seek_req{0};
  std::atomic<int> seek_flags{0};
  std::atomic<std::int64_t> seek_pos{0};
  std::atomic<std::int64_t> seek_rel{0};
  std::atomic<int> read_pause_return{0};  // written by the read thread
  AVFormatContext* ic = nullptr;
  int realtime = 0;

  TClock audclk, vidclk, extclk;
  TMasterSync sync;
  TPacketQueue videoq, audioq, subtitleq;
  TFrameQueue pictq, subpq, sampq;
  TDecoder auddec, viddec, subdec;

  std::atomic<int> audio_stream{-1}, video_stream{-1}, subtitle_stream{-1};
  AVStream* audio_st = nullptr;
  AVStream* video_st = nullptr;
  AVStream* subtitle_st = nullptr;
  std::unique_ptr<TAudioOutput> audio;
  TAudioParams audio_filter_src;

  std::atomic<int> frame_drops_early{0}, frame_drops_late{0};
  TShowMode show_mode = SHOW_MODE_NONE;
  double last_vis_time = 0;  // play thread
  std::atomic<double> frame_timer{0}, frame_last_returned_time{0}, frame_last_filter_delay{0};
  double max_frame_duration = 0;
  std::atomic<int> eof{0};
  std::atomic<int> step{0};

  // Filter graphs: the video graph belongs to the video thread, the audio graph
  // to the audio thread; each lock guards its graph against filter commands.
  std::mutex vgraph_lock, agraph_lock;
  FilterGraphPtr FilterGraph, agraph;
  AVFilterContext *in_video_filter = nullptr, *out_video_filter = nullptr;
  AVFilterContext *in_audio_filter = nullptr, *out_audio_filter = nullptr;

  int last_video_stream = -1, last_audio_stream = -1, last_subtitle_stream = -1;
  std::mutex wait_mutex;
  std::condition_variable continue_read_thread;
  // A stream switch waiting for the read thread; one at a time: the next
  // caller posts once the previous one has taken its result.
  struct TSwitchRequest {
    bool pending = false;  // posted, not served yet
    bool unread = false;   // served, its caller has not taken the result
    int close = -1, open = -1, result = 0;
  };
  std::mutex switch_lock;
  std::condition_variable switch_done;
  TSwitchRequest switch_req;
  bool reader_switches = false;  // the read loop runs and serves switches

  std::atomic<int> FileOpened{0};
  std::int64_t StartTime = 0;
  std::int64_t FileDuration = -1;
  std::int64_t AudioDuration = -1;
  bool IsImage2 = false;
  bool IsDevice = false;
  bool IOEOFLog = false, IOERRLog = false;
  std::atomic<int> EndEventDone{0};
  std::atomic<int> Reading{0};
  std::atomic<int> step_to_key_frame{0};
  std::atomic<int> open_paused{0};
  std::atomic<int> seek_paused{0};
  std::atomic<int> seek_done{0};
  std::atomic<int> seek_flushed{0};
  std::atomic<int> flush_req{0};
  std::atomic<int> pictq_total_size{0};
  // After a seek by time, frames of the new serials that end before the target
  // are decoded but not queued, so playback resumes at the target.
  std::atomic<double> accurate_seek_target{NAN};
  std::atomic<int> accurate_seek_vserial{-1}, accurate_seek_aserial{-1};
  // Serial of the picture last released to the screen.
  std::atomic<int> shown_serial{-1};
  std::atomic<int> viddec_width{0}, viddec_height{0};
  bool wait_for_stream_opened = false;
  bool open_in_caller_thread = false;
  // Microseconds of the monotonic clock when the current blocking call began;
  // INT64_MAX: no time-out.
  std::atomic<std::int64_t> last_read{0};
  // The read thread has ended (it no longer needs the main thread).
  std::atomic<bool> read_done{false};

 private:
  TVideoState(TPlayerHost& h, const TPlayerSettings& s, std::shared_ptr<TLiveSettings> l);
  // The rest of Create: false when the open failed.
  bool Start(const std::string& name, const AVInputFormat* format, bool openPaused, bool wait);
  int OpenInput();
  int openContext();
  int findStreamInfo();
  void describeInput();
  bool specified(int type) const;
  void chooseStreams(int st_index[AVMEDIA_TYPE_NB]);
  int openChosen(const int st_index[AVMEDIA_TYPE_NB]);
  std::string nothingToPlay() const;
  int openCodec(AVStream* st, int stream_index, CodecContextPtr& avctx);
  const AVCodec* findDecoder(const AVCodecContext* avctx, int stream_index);
  int startAudio(AVStream* st, int stream_index, CodecContextPtr avctx, bool start_audio);
  int openAudioOutput(const AVChannelLayout& layout, int sample_rate);
  void ReadThread();
  // The graph a filter command goes to; the caller holds its lock.
  AVFilterGraph* commandGraph(bool video, std::string& error);
  void ReadLoop(AVPacket* pkt);
  void waitForRead();
  bool followPause();
  void serveSeek();
  void serveFlush();
  bool queueAttachments(AVPacket* pkt);
  bool queuesFull();
  void checkEnd();
  void queuePacket(AVPacket* pkt);
  bool readIsEnd(int ret);
  bool readFailed(int ret, AVPacket* pkt);
  void serveSwitch();  // on the read thread
  int switchNow(int close, int open);
  void setReaderSwitches(bool on);
  void FinishReading(int result);
  // After a seek or a flush request: every queue starts a new serial.
  void FlushQueues();
  void VideoThread();
  bool needsGraph(const TVideoGraphState& g, const AVFrame* frame, const std::string& vfilters,
                  int graphSerial) const;
  int rebuildVideoGraph(TVideoGraphState& g, const AVFrame* frame, const std::string& vfilters,
                        int graphSerial);
  int queueFiltered(AVFrame* frame, const TVideoGraphState& g, int& queued);
  int filterPicture(TVideoGraphState& g, AVFrame* frame, int& queued);
  void afterPicture(int queued);
  void AudioThread();
  void SubtitleThread();
  int GetVideoFrame(AVFrame* frame);
  int QueuePicture(AVFrame* src, double pts, double duration, std::int64_t pos, int serial);
  int ConfigureVideoFilters(AVFilterGraph* graph, const std::string& vfilters, const AVFrame* frame,
                            AVFilterContext** src, AVFilterContext** sink);
  int ConfigureAudioFilters(const std::string& afilters, bool force_output);
  bool StreamHasEnoughPackets(AVStream* st, int stream_id, TPacketQueue& q);
  void Report(const std::string& msg, TLogLevel level, bool storeLast = false);
  void MarkRead() { last_read = ff::av_gettime_relative(); }
  static int InterruptCallback(void* opaque);

  std::thread read_tid;
  InputContextPtr FContext;  // owns ic
  std::atomic<bool> closed{false};
};

}  // namespace corvane
