// Transcode setup: decoders opened, streams that need no frame initialised,
// headers written once a file's streams are ready, the stream mapping, SDP,
// and the per-run cleanup of the output streams.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "foundation/ErrorText.h"
#include "foundation/MediaText.h"
#include "transcoder/HWAccel.h"
#include "transcoder/Muxing.h"
#include "transcoder/SetupSteps.h"
#include "transcoder/Transcoder.h"

namespace corvane {

namespace {

constexpr const char* kSeeLog =
    "Please check error log message(reported by FFLogger) to find out more detail information.";

// Guards the opened-codec lists of every engine.
std::mutex gCodecListLock;

template <class T>
void Unlink(std::vector<T*>& list, T* item) {
  std::lock_guard<std::mutex> lock(gCodecListLock);
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

}  // namespace

void LinkEncoder(TCustomFFmpeg& e, TOutputStream& ost) {
  std::lock_guard<std::mutex> lock(gCodecListLock);
  e.FEncoderList.insert(e.FEncoderList.begin(), &ost);
}

void LinkDecoder(TCustomFFmpeg& e, TInputStream& ist) {
  std::lock_guard<std::mutex> lock(gCodecListLock);
  e.FDecoderList.insert(e.FDecoderList.begin(), &ist);
}

void CloseOpenedCodecs(TCustomFFmpeg& e) {
  std::lock_guard<std::mutex> lock(gCodecListLock);
  for (TInputStream* ist : e.FDecoderList) {
    if (!ist->decoding_needed || !ist->dec_ctx) continue;
    ff::avcodec_close(ist->dec_ctx.get());
    if (ist->hwaccel_uninit) ist->hwaccel_uninit(ist->dec_ctx.get());
  }
  e.FDecoderList.clear();
  for (TOutputStream* ost : e.FEncoderList)
    if (ost->encoding_needed && ost->enc_ctx) ff::av_freep(&ost->enc_ctx->stats_in);
  e.FEncoderList.clear();
}

void CheckLeftoverOptions(TCustomFFmpeg& e, const TDictionary& opts) {
  std::string unknown;
  opts.forEach([&](const char* key, const char*) {
    if (unknown.empty()) unknown = key;
  });
  if (unknown.empty()) return;
  const std::string text = strprintf("Option %s not found.", unknown.c_str());
  if (e.HaltOnInvalidOption) e.Fatal(text);
  // Only a warning: the task's error text stays for errors.
  e.Log(llWarning, text.c_str());
}

bool TCustomFFmpeg::InitTranscode() {
  if (FTranscodeInitialized) return true;
  if (FOutputDuration < 0) FOutputDuration = FInputDuration;
  FLastErrMsg.clear();
  int ret = 0;
  try {
    ret = transcode_init();
  } catch (const std::exception& err) {
    FLastErrMsg = err.what();
    CleanupOutputs();
    return false;
  }
  if (ret < 0) {
    if (FLastErrMsg.empty())
      FLastErrMsg = error_text("transcode_init() error", ret) + ". " + kSeeLog;
    CleanupOutputs();
    return false;
  }
  FTranscodeInitialized = true;
  return true;
}

namespace {

// A simple graph's output stream learns which input stream feeds it.
void FindGraphSources(TCustomFFmpeg& e) {
  for (auto& fg : e.Ffiltergraphs) {
    if (fg->inputs.size() != 1) continue;
    for (auto& ofilter : fg->outputs) {
      TOutputStream* ost = ofilter->ost;
      if (!ost || ost->source_index >= 0) continue;
      for (int k = e.Fnb_input_streams() - 1; k >= 0; --k)
        if (e.Finput_streams[k].get() == fg->inputs[0]->ist) {
          ost->source_index = k;
          break;
        }
    }
  }
}

// After a decoder failed: the encoders opened so far are released.
void ReleaseEncoders(TCustomFFmpeg& e) {
  for (auto& ost : e.Foutput_streams) {
    if (!ost->encoding_needed || !ost->enc_ctx) continue;
    ff::av_freep(&ost->enc_ctx->stats_in);
    ff::avcodec_close(ost->enc_ctx.get());
    Unlink(e.FEncoderList, ost.get());
  }
}

// Programs whose streams are all unused are discarded.
void DiscardUnusedPrograms(TCustomFFmpeg& e) {
  for (auto& f : e.Finput_files) {
    AVFormatContext* ic = f->ctx.get();
    for (unsigned j = 0; j < ic->nb_programs; ++j) {
      AVProgram* p = ic->programs[j];
      AVDiscard discard = AVDISCARD_ALL;
      for (unsigned k = 0; k < p->nb_stream_indexes; ++k) {
        const int index = f->ist_index + static_cast<int>(p->stream_index[k]);
        if (index < e.Fnb_input_streams() && !e.Finput_streams[index]->discard) {
          discard = AVDISCARD_DEFAULT;
          break;
        }
      }
      p->discard = discard;
    }
  }
}

// Containers without streams get their header now.
int WriteStreamlessHeaders(TCustomFFmpeg& e) {
  for (int i = 0; i < e.Fnb_output_files(); ++i) {
    TOutputFile& of = *e.Foutput_files[i];
    AVFormatContext* oc = of.ctx.get();
    if (!(oc->oformat->flags & AVFMT_NOSTREAMS) || oc->nb_streams != 0) continue;
    const int ret = e.WriteHeaderIfReady(of, i);
    if (ret < 0) return ret;
  }
  return 0;
}

// The steps that can fail; error receives the text of a failed decoder.
int RunSetupSteps(TCustomFFmpeg& e, std::string& error) {
  for (auto& of : e.Foutput_files)
    if (std::strcmp(of->ctx->oformat->name, "rtp") != 0) e.Fwant_sdp = 0;
  FindGraphSources(e);
  for (int i = 0; i < e.Fnb_input_streams(); ++i) {
    const int ret = e.OpenDecoder(i, error);
    if (ret < 0) {
      ReleaseEncoders(e);
      return ret;
    }
  }
  for (auto& ost : e.Foutput_streams) {
    const AVMediaType type = ost->enc_ctx ? ost->enc_ctx->codec_type : AVMEDIA_TYPE_UNKNOWN;
    if (!ost->stream_copy && (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO)) continue;
    const int ret = e.EnsureOutputStream(*ost, nullptr, false);
    if (ret < 0) return ret;
  }
  DiscardUnusedPrograms(e);
  return WriteStreamlessHeaders(e);
}

}  // namespace

int TCustomFFmpeg::transcode_init() {
  std::string error;
  const int ret = RunSetupSteps(*this, error);
  LogStreamMapping();
  if (ret == 0) return 0;
  if (error.empty()) error = error_text(ret);
  Log(llError, error.c_str());
  return ret;
}

namespace {

// Decoder options and callbacks before the decoder opens.
void PrepareDecoderContext(TCustomFFmpeg& e, TInputStream& ist) {
  AVCodecContext* dec = ist.dec_ctx.get();
  ist.hw_device_ctx = &e.Fhw_device_ctx;
  ist.qsv_device = &e.Fqsv_device;
  dec->opaque = &ist;
  dec->get_format = NegotiateFormat;
  dec->get_buffer2 = AllocateFrameBuffer;
#if LIBAVCODEC_VERSION_MAJOR < 60
  // The callback only reads settings fixed before the decoder opens, so frame
  // threads may call it; said so, the library stops warning about it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  dec->thread_safe_callbacks = 1;
#pragma GCC diagnostic pop
#endif
  if (ist.avdec->id == AV_CODEC_ID_DVB_SUBTITLE && (ist.decoding_needed & kDecodeForOutput)) {
    ist.decoder_opts.set("compute_edt", "1", AV_DICT_DONT_OVERWRITE);
    if (ist.decoding_needed & kDecodeForFilter)
      e.Log(llWarning,
            "Warning using DVB subtitles for filtering and output at the same time is not fully "
            "supported, also see -compute_edt [0|1]");
  }
  dec->pkt_timebase = ist.st->time_base;
  if (!ist.decoder_opts.contains("threads")) ist.decoder_opts.set("threads", "auto");
  if (ist.st->disposition & AV_DISPOSITION_ATTACHED_PIC) ist.decoder_opts.set("threads", "1");
}

}  // namespace

int TCustomFFmpeg::OpenDecoder(int index, std::string& error) {
  TInputStream& ist = *Finput_streams[index];
  if (ist.decoding_needed) {
    if (!ist.avdec) {
      error = strprintf("Decoder (codec %s) not found for input stream #%d:%d",
                        ff::avcodec_get_name(ist.st->codecpar->codec_id), ist.file_index,
                        ist.st->index);
      return AVERROR(EINVAL);
    }
    PrepareDecoderContext(*this, ist);
    int ret = SetupDecoderDevice(ist);
    if (ret < 0) {
      error = error_text(strprintf("Device setup failed for decoder on input stream #%d:%d ",
                                   ist.file_index, ist.st->index),
                         ret);
      return ret;
    }
    ret = ff::avcodec_open2(ist.dec_ctx.get(), ist.avdec, ist.decoder_opts.address());
    if (ret < 0) {
      if (ret == AVERROR_EXPERIMENTAL) Fatal("abort codec experimental");
      error = error_text(strprintf("Error while opening decoder for input stream #%d:%d ",
                                   ist.file_index, ist.st->index),
                         ret);
      return ret;
    }
    LinkDecoder(*this, ist);
    CheckLeftoverOptions(*this, ist.decoder_opts);
  }
  ist.next_pts = AV_NOPTS_VALUE;
  ist.next_dts = AV_NOPTS_VALUE;
  return 0;
}

namespace {

// Packets queued before the header go to the muxer, in order.
void ReleaseMuxingQueues(TCustomFFmpeg& e, TOutputFile& of, int file_index) {
  for (auto& ost : e.Foutput_streams) {
    if (ost->file_index != file_index) continue;
    if (ost->muxing_queue.empty()) ost->mux_timebase = ost->st->time_base;
    while (!ost->muxing_queue.empty()) {
      PacketPtr pkt = std::move(ost->muxing_queue.front());
      ost->muxing_queue.pop_front();
      ost->muxing_queue_data_size -=
          std::min<std::size_t>(ost->muxing_queue_data_size, QueuedPacketCharge(pkt->size));
      e.MuxPacket(of, pkt.get(), *ost, true);
    }
  }
}

}  // namespace

int TCustomFFmpeg::WriteHeaderIfReady(TOutputFile& of, int file_index) {
  for (auto& ost : Foutput_streams)
    if (ost->file_index == file_index && !ost->initialized) return 0;
  AVFormatContext* oc = of.ctx.get();
  oc->interrupt_callback = FWriteCallback;
  FLastWrite = ff::av_gettime_relative();
  const int ret = ff::avformat_write_header(oc, of.opts.address());
  FLastWrite = INT64_MAX;
  if (ret < 0) {
    return Fail(ret, llError,
                error_text(strprintf("Could not write header for output file #%d (incorrect "
                                     "codec parameters ?)",
                                     file_index),
                           ret));
  }
  of.header_written = 1;
  ff::av_dump_format(oc, file_index, oc->url, 1);
  ++Fnb_output_dumped;
  if (!Fsdp_filename.empty() || Fwant_sdp) WriteSdp();
  ReleaseMuxingQueues(*this, of, file_index);
  return 0;
}

void TCustomFFmpeg::WriteSdp() {
  std::vector<AVFormatContext*> rtp;
  for (auto& of : Foutput_files) {
    if (!of->header_written) return;
    if (std::strcmp(of->ctx->oformat->name, "rtp") == 0) rtp.push_back(of->ctx.get());
  }
  if (rtp.empty()) return;
  std::vector<char> sdp(16384);
  const int ret = ff::av_sdp_create(rtp.data(), static_cast<int>(rtp.size()), sdp.data(),
                                    static_cast<int>(sdp.size()));
  if (ret < 0) {
    SdpFailed(error_text("Error creating the SDP description", ret));
    return;
  }
  if (Fsdp_filename.empty()) {
    Log(llInfo, "SDP:\r\n%s", sdp.data());
    return;
  }
  AVIOContext* io = nullptr;
  FLastWrite = ff::av_gettime_relative();
  if (ff::avio_open2(&io, Fsdp_filename.c_str(), AVIO_FLAG_WRITE, &FWriteCallback, nullptr) < 0) {
    FLastWrite = INT64_MAX;
    SdpFailed(strprintf("Failed to open sdp file \"%s\"", Fsdp_filename.c_str()));
    return;
  }
  ff::avio_write(io, reinterpret_cast<const unsigned char*>(sdp.data()),
                 static_cast<int>(std::strlen(sdp.data())));
  ff::avio_flush(io);
  int err = io->error;
  const int closed = ff::avio_closep(&io);
  if (err >= 0) err = closed;
  FLastWrite = INT64_MAX;
  if (err < 0) {
    SdpFailed(error_text(strprintf("Error writing sdp file \"%s\"", Fsdp_filename.c_str()), err));
    return;
  }
  Fsdp_filename.clear();
}

// An SDP file that was asked for and not written fails the run; the SDP
// that only goes to the log does not.
void TCustomFFmpeg::SdpFailed(const std::string& text) {
  Log(llError, "%s", text.c_str());
  if (Fsdp_filename.empty()) return;
  FLastErrMsg = text;
  FRunFailed = true;
  Fsdp_filename.clear();
}

void TCustomFFmpeg::CleanupOutputs() {
  CloseOpenedCodecs(*this);
  for (auto& ost : Foutput_streams) {
    if (ost->logfile) {
      if (std::fclose(ost->logfile) != 0)
        Log(llError, "Error closing logfile, loss of information possible");
      ost->logfile = nullptr;
    }
    ost->forced_kf_pts.clear();
    ost->apad.clear();
    ost->disposition.clear();
    ost->encoder_opts.reset();
    ost->sws_dict.reset();
    ost->swr_opts.reset();
  }
  FTranscodeCleanuped = true;
}

}  // namespace corvane
