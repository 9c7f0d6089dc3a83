#include "transcoder/AudioPreview.h"

#include <algorithm>

#include "foundation/ErrorText.h"
#include "foundation/StrFormat.h"
#include "foundation/api/avutil.h"
#include "foundation/api/swresample.h"

namespace corvane {

namespace {

bool PlayableChannels(int n) { return n == 1 || n == 2 || n == 4 || n == 6; }

std::string FormatName(AVSampleFormat fmt) {
  const char* s = ff::av_get_sample_fmt_name(fmt);
  return s ? s : "none";
}

}  // namespace

TAudioPreview::TAudioPreview(TObject* ASender, std::function<bool()> AStopped)
    : FSender(ASender), FStopped(std::move(AStopped)) {
  // The task never waits for the device, nor the device for the task.
  FWaveBuffer.SetWaitForData(false);
  FWaveBuffer.SetWaitForSpace(false);
}

TAudioPreview::~TAudioPreview() { Close(); }

void TAudioPreview::Log(TLogLevel ALevel, const std::string& AText) const {
  FFLogger().Log(FSender, ALevel, AText);
}

bool TAudioPreview::Stopping() const { return FClosing || !FEnabled || (FStopped && FStopped()); }

void TAudioPreview::DeviceCallback(void* AUserData, Uint8* ABuffer, int ALen) {
  try {
    static_cast<TAudioPreview*>(AUserData)->FeedWaveOut(ABuffer, ALen);
  } catch (...) {
  }
}

bool TAudioPreview::Open(int ARate, int AChannels) {
  FAudioParam = TAudioParam{};
  FConverter.reset();
  FDesireAudioParam = TAudioParam{};
  FDesireAudioParam.channels = PlayableChannels(AChannels) ? AChannels : 2;
  FDesireAudioParam.freq = ARate;
  FDesireAudioParam.fmt = AV_SAMPLE_FMT_S16;
  SDL_AudioSpec desired{};
  desired.freq = ARate;
  desired.format = AUDIO_S16LSB;
  desired.channels = static_cast<Uint8>(FDesireAudioParam.channels);
  desired.callback = &TAudioPreview::DeviceCallback;
  desired.userdata = this;
  SDL_AudioSpec obtained{};
  FClosing = false;
  if (FPlayer.Open(desired, obtained, FDriver)) return true;
  Log(llError, "WaveOpen() failed: " + FPlayer.LastErrMsg());
  return false;
}

void TAudioPreview::Close() {
  FClosing = true;  // a callback waiting for data returns
  FPlayer.Close();
  FWaveBuffer.Reset();
  FWaveCanWrite = 0;
}

bool TAudioPreview::SourceChanged(const AVFrame* AFrame, TChannelLayout& ALayout) const {
  const int channels = AFrame->ch_layout.nb_channels;
  if (AFrame->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC)
    ff::av_channel_layout_copy(&ALayout.layout, &AFrame->ch_layout);
  else
    ff::av_channel_layout_default(&ALayout.layout, channels);
  return channels != FAudioParam.channels || AFrame->sample_rate != FAudioParam.freq ||
         AFrame->format != FAudioParam.fmt ||
         ff::av_channel_layout_compare(&ALayout.layout, &FAudioParam.layout.layout) != 0;
}

bool TAudioPreview::CreateConverter() {
  SwrContext* swr = nullptr;
  TAudioParam& s = FAudioParam;
  TAudioParam& d = FDesireAudioParam;
  if (ff::swr_alloc_set_opts2(&swr, &d.layout.layout, d.fmt, d.freq, &s.layout.layout, s.fmt,
                              s.freq, 0, nullptr) < 0)
    swr = nullptr;
  FConverter.reset(swr);
  if (FConverter && ff::swr_init(FConverter.get()) < 0) {
    Log(llFatal, "swr_init() failed");
    FConverter.reset();
  }
  const std::string from =
      strprintf("%d Hz %s %d channels", s.freq, FormatName(s.fmt).c_str(), s.channels);
  const std::string to =
      strprintf("%d Hz %s %d channels", d.freq, FormatName(d.fmt).c_str(), d.channels);
  if (!FConverter) {
    Log(llError, "Can not resample " + from + " to " + to);
    return false;
  }
  Log(llInfo, "need resample " + from + " to " + to);
  return true;
}

int TAudioPreview::ConvertForPreview(const AVFrame* AFrame, const std::uint8_t*& AData) {
  TChannelLayout layout;
  if (SourceChanged(AFrame, layout)) {
    FConverter.reset();
    FAudioParam.channels = AFrame->ch_layout.nb_channels;
    FAudioParam.freq = AFrame->sample_rate;
    FAudioParam.fmt = static_cast<AVSampleFormat>(AFrame->format);
    FAudioParam.layout = layout;
  }
  TAudioParam& d = FDesireAudioParam;
  if (!d.layout.known()) ff::av_channel_layout_default(&d.layout.layout, d.channels);
  const int bytes_per_sample = ff::av_get_bytes_per_sample(d.fmt);
  if (FAudioParam.freq == d.freq && FAudioParam.fmt == d.fmt &&
      FAudioParam.channels == d.channels &&
      ff::av_channel_layout_compare(&FAudioParam.layout.layout, &d.layout.layout) == 0) {
    AData = AFrame->extended_data[0];
    // The plane's line size is padded: count the samples.
    return AFrame->nb_samples * d.channels * bytes_per_sample;
  }
  if (!FConverter && !CreateConverter()) return -1;
  const int out_count =
      static_cast<int>(std::int64_t{AFrame->nb_samples} * d.freq / FAudioParam.freq + 256);
  const int out_size = ff::av_samples_get_buffer_size(nullptr, d.channels, out_count, d.fmt, 0);
  std::uint8_t* p = FResampledBuffer.release();
  if (out_size > 0) ff::av_fast_malloc(&p, &FResampledSize, static_cast<std::size_t>(out_size));
  FResampledBuffer.reset(p);
  if (out_size < 0 || !p) {
    Log(llError, "av_fast_malloc() failed");
    return AVERROR(ENOMEM);
  }
  const int n =
      ff::swr_convert(FConverter.get(), &p, out_count,
                      const_cast<const std::uint8_t**>(AFrame->extended_data), AFrame->nb_samples);
  if (n < 0) {
    Log(llError, error_text("swr_convert() failed", n));
    return n;
  }
  if (n == out_count) {
    Log(llError, "warning: audio buffer is probably too small");
    if (ff::swr_init(FConverter.get()) < 0) FConverter.reset();
  }
  AData = p;
  return n * d.channels * bytes_per_sample;
}

void TAudioPreview::Feed(const AVFrame* AFrame, int ARate, int AChannels, bool ARateEmu) {
  if (!FEnabled) {
    if (FPlayer.Opened()) Close();
    return;
  }
  if (!FPlayer.Opened()) {
    FWaveBuffer.Reset();
    FWaveCanWrite = 0;
    if (!Open(ARate, AChannels)) {
      FEnabled = false;
      return;
    }
  }
  const std::uint8_t* data = nullptr;
  const int n = ConvertForPreview(AFrame, data);
  if (n < 0) {
    FEnabled = false;
    Close();
    return;
  }
  if (FWaveCanWrite == 0 || ARateEmu) FWaveBuffer.Write(data, n);
  if (FPlayer.Paused()) FPlayer.Resume();
}

void TAudioPreview::FeedWaveOut(std::uint8_t* ABuffer, int ALen) {
  while (ALen > 0) {
    if (Stopping()) {
      std::fill_n(ABuffer, ALen, std::uint8_t{0});
      break;
    }
    const std::int32_t got = FWaveBuffer.Read(ABuffer, ALen);
    if (got > 0) {
      ABuffer += got;
      ALen -= got;
      continue;
    }
    // Never wait here: the device's lock is held while this runs, and the
    // task may be paused or waiting to pause the device.
    std::fill_n(ABuffer, ALen, std::uint8_t{0});
    FWaveCanWrite = 0;
    break;
  }
  // The task writes only after the device ran dry; a backlog that stays
  // above the low-water mark for several blocks is dropped.
  const int blocks = ++FWaveCanWrite;
  if (blocks >= kBacklogBlocks) {
    FWaveBuffer.Discard(static_cast<std::int32_t>(FWaveBuffer.DataSize()));
    FWaveCanWrite = 0;
  } else if (FWaveBuffer.DataSize() < kLowWater) {
    FWaveCanWrite = 0;
  }
}

}  // namespace corvane
