// The transcode loop: each step feeds the output stream that lags most, then
// the end-of-task sequence flushes decoders and encoders and writes trailers.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <stdexcept>

#include "foundation/ErrorText.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avfilter.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"
#include "transcoder/SetupSteps.h"
#include "transcoder/Transcoder.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

namespace corvane {

namespace {

// Current write position of an output's I/O context, or -1 without one.
std::int64_t WrittenSize(AVFormatContext* oc) {
  if (!oc || !oc->pb) return -1;
  return ff::avio_seek(oc->pb, 0, SEEK_CUR);
}

bool GraphInputsKnowFormats(const TFilterGraph& fg) {
  for (const auto& ifilter : fg.inputs)
    if (ifilter->format < 0 &&
        (ifilter->type_ == AVMEDIA_TYPE_AUDIO || ifilter->type_ == AVMEDIA_TYPE_VIDEO))
      return false;
  return true;
}

}  // namespace

bool TCustomFFmpeg::HasPendingOutput() {
  for (auto& ost : Foutput_streams) {
    if (ost->finished) continue;
    TOutputFile& of = *Foutput_files[ost->file_index];
    const std::int64_t size = WrittenSize(of.ctx.get());
    if (size >= 0 && size >= of.limit_filesize) continue;
    if (ost->frame_number < ost->max_frames) return true;
    for (int i = 0; i < static_cast<int>(of.ctx->nb_streams); ++i)
      CloseOutputStream(*Foutput_streams[of.ost_index + i]);
  }
  return false;
}

TOutputStream* TCustomFFmpeg::PickOutputStream() {
  std::int64_t opts_min = INT64_MAX;
  TOutputStream* winner = nullptr;
  for (auto& p : Foutput_streams) {
    TOutputStream& ost = *p;
    std::int64_t opts = INT64_MIN;
    if (ost.last_mux_dts == AV_NOPTS_VALUE)
      Log(llDebug,
          "cur_dts is invalid st:%d (%d) [init:%d i_done:%d finish:%d] (this is harmless if it "
          "occurs once at the start per stream)",
          ost.st->index, ost.st->id, ost.initialized, ost.inputs_done, ost.finished);
    else
      opts = ff::av_rescale_q(ost.last_mux_dts, ost.st->time_base, AV_TIME_BASE_Q);
    if (!ost.initialized && !ost.inputs_done) return &ost;
    if (!ost.finished && opts < opts_min) {
      opts_min = opts;
      winner = ost.unavailable ? nullptr : &ost;
    }
  }
  return winner;
}

bool TCustomFFmpeg::AnyOutputUnavailable() {
  return std::any_of(Foutput_streams.begin(), Foutput_streams.end(),
                     [](const auto& ost) { return ost->unavailable != 0; });
}

int TCustomFFmpeg::PullFromGraph(TFilterGraph& fg, TInputStream*& best_ist) {
  best_ist = nullptr;
  int ret = ff::avfilter_graph_request_oldest(fg.graph.get());
  if (ret >= 0) return DrainFilters(false);
  if (ret == AVERROR_EOF) {
    ret = DrainFilters(true);
    for (auto& ofilter : fg.outputs)
      if (ofilter->ost) CloseOutputStream(*ofilter->ost);
    return ret;
  }
  if (ret != AVERROR(EAGAIN)) return ret;

  unsigned most_failed = 0;
  for (auto& ifilter : fg.inputs) {
    TInputStream* ist = ifilter->ist;
    if (!ist || !ifilter->filter) continue;
    const TInputFile& f = *Finput_files[ist->file_index];
    if (f.eagain || f.eof_reached) continue;
    const unsigned failed = ff::av_buffersrc_get_nb_failed_requests(ifilter->filter);
    if (failed > most_failed) {
      most_failed = failed;
      best_ist = ist;
    }
  }
  if (!best_ist)
    for (auto& ofilter : fg.outputs)
      if (ofilter->ost) ofilter->ost->unavailable = 1;
  return 0;
}

// The input stream a graph output waits for, when its graph is not configured
// yet; nullptr (and the output marked done) when no input can deliver.
static TInputStream* FirstWaitingInput(const std::vector<std::unique_ptr<TInputFile>>& files,
                                       TOutputStream& ost) {
  for (auto& ifilter : ost.filter->graph->inputs) {
    TInputStream* ist = ifilter->ist;
    if (ist && !ist->got_output && !files[ist->file_index]->eof_reached) return ist;
  }
  ost.inputs_done = 1;
  return nullptr;
}

int TCustomFFmpeg::TranscodeStep() {
  TOutputStream* ost = PickOutputStream();
  if (!ost) {
    if (AnyOutputUnavailable()) {
      ClearUnavailable();
      ff::av_usleep(10000);
      return 0;
    }
    Log(llVerbose, "No more inputs to read from, finishing.");
    return AVERROR_EOF;
  }

  TInputStream* ist = nullptr;
  TFilterGraph* fg = ost->filter ? ost->filter->graph : nullptr;
  if (fg && !fg->graph && GraphInputsKnowFormats(*fg)) {
    const int ret = configure_filtergraph(*fg);
    if (ret < 0) {
      Log(llError, "Error reinitializing filters!");
      return ret;
    }
  }
  if (fg && fg->graph) {
    if (ost->filter->filter &&
        ff::av_buffersink_get_type(ost->filter->filter) == AVMEDIA_TYPE_AUDIO)
      EnsureOutputStream(*ost, nullptr, true);
    const int ret = PullFromGraph(*fg, ist);
    if (ret < 0) return ret;
    if (!ist) return 0;
  } else if (fg) {
    ist = FirstWaitingInput(Finput_files, *ost);
    if (!ist) return 0;
  } else {
    if (ost->source_index < 0) Fatal("Output stream without a source or a filter");
    ist = Finput_streams[ost->source_index].get();
  }

  const int ret = ReadInputFile(ist->file_index);
  if (ret == AVERROR(EAGAIN)) {
    if (Finput_files[ist->file_index]->eagain) ost->unavailable = 1;
    return 0;
  }
  if (ret == AVERROR_EOF) return 0;
  if (ret < 0) return ret;
  return DrainFilters(false);
}

// ---- The end-of-task sequence

namespace {

// Runs the loop body; false when a step failed (the error already recorded).
bool RunSteps(TCustomFFmpeg& e, std::int64_t timer_start) {
  while (!e.FBroken) {
    e.ServeCommands();
    if (e.FBroken) break;
    const std::int64_t cur_time = ff::av_gettime_relative();
    if (!e.HasPendingOutput()) {
      e.Log(llVerbose, "No more output streams to write to, finishing.");
      break;
    }
    const int ret = e.TranscodeStep();
    e.FLastWrite = INT64_MAX;  // the step's packet writes are done
    if (ret == AVERROR(EAGAIN))
      throw std::logic_error("Assertion failed: a transcode step asked to try again");
    if (ret < 0 && ret != AVERROR_EOF) {
      e.FLastErrMsg = error_text("Error while filtering", ret);
      e.Log(llError, "%s", e.FLastErrMsg.c_str());
      return false;
    }
    e.ReportProgress(false, timer_start, cur_time);
  }
  return true;
}

}  // namespace

// Writes every trailer; the number of failures.
static int WriteTrailers(TCustomFFmpeg& e) {
  int failures = 0;
  for (int i = 0; i < e.Fnb_output_files(); ++i) {
    TOutputFile& of = *e.Foutput_files[i];
    AVFormatContext* oc = of.ctx.get();
    if (!of.header_written) {
      e.Log(llError,
            "Nothing was written into output file %d (%s), because at least one of its streams "
            "received no packets.",
            i, oc->url);
      continue;
    }
    e.FLastWrite = ff::av_gettime_relative();
    int ret = ff::av_write_trailer(oc);
    e.FLastWrite = INT64_MAX;
    // A packet the I/O layer failed to write leaves its mark on the context.
    if (ret >= 0 && oc->pb && oc->pb->error < 0) ret = oc->pb->error;
    if (ret < 0) {
      e.FLastErrMsg = error_text(strprintf("Error writing trailer of %s", oc->url), ret);
      e.Log(llError, "%s", e.FLastErrMsg.c_str());
      if (e.Fexit_on_error) e.Fatal(e.FLastErrMsg);
      ++failures;
    }
  }
  return failures;
}

// Closes the I/O of the file-based outputs; the number of failures (data the
// close could not flush is lost).
static int CloseOutputIO(TCustomFFmpeg& e) {
  int failures = 0;
  for (auto& of : e.Foutput_files) {
    AVFormatContext* oc = of->ctx.get();
    if (!oc || !oc->pb || !oc->oformat || (oc->oformat->flags & AVFMT_NOFILE)) continue;
    e.FLastWrite = ff::av_gettime_relative();
    // A stream output's own context is flushed here and freed with its file.
    const bool own = oc->flags & AVFMT_FLAG_CUSTOM_IO;
    if (own) ff::avio_flush(oc->pb);
    const int ret = own ? oc->pb->error : ff::avio_closep(&oc->pb);
    e.FLastWrite = INT64_MAX;
    if (ret < 0) {
      e.FLastErrMsg = error_text(strprintf("Error closing %s", oc->url), ret);
      e.Log(llError, "%s", e.FLastErrMsg.c_str());
      ++failures;
    }
  }
  return failures;
}

void TCustomFFmpeg::TranscodeLoop() {
  const std::int64_t timer_start = ff::av_gettime_relative();
  for (auto& ist : Finput_streams) ist->start = ff::av_gettime_relative();

  const bool steps_ok = RunSteps(*this, timer_start);
  if (!steps_ok) FRunFailed = true;

  for (auto& ist : Finput_streams)
    if (!Finput_files[ist->file_index]->eof_reached) DecodeInputPacket(*ist, nullptr, false);
  FlushEncoders();

  int trailer_failures = WriteTrailers(*this);
  ReportProgress(true, timer_start, ff::av_gettime_relative());
  trailer_failures += CloseOutputIO(*this);
  CloseOpenedCodecs(*this);
  FHWDevices.FreeAllDevices();
  if (trailer_failures) FRunFailed = true;
  FFinished = !FBroken && !FRunFailed;
  CleanupOutputs();
  if (trailer_failures)
    throw FFmpegException("At least one output file failed to be written trailer");
}

}  // namespace corvane
