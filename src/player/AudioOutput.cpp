#include "player/AudioOutput.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <thread>

#include "foundation/StrFormat.h"
#include "foundation/api/sdl2.h"
#include "foundation/api/soundtouch.h"
#include "foundation/api/swresample.h"
#include "player/SDLLoader.h"

namespace corvane {
namespace {

// Replaces `dst` with the default layout of `channels` channels.
void defaultLayout(AVChannelLayout& dst, int channels) {
  ff::av_channel_layout_uninit(&dst);
  ff::av_channel_layout_default(&dst, channels);
}

int log2floor(unsigned v) { return v ? std::bit_width(v) - 1 : 0; }

// av_fast_malloc into an owning pointer.
bool fastMalloc(AVMemPtr<std::uint8_t>& buf, unsigned& size, std::size_t min_size) {
  std::uint8_t* p = buf.release();
  ff::av_fast_malloc(&p, &size, min_size);
  buf.reset(p);
  return p != nullptr;
}

}  // namespace

TAudioParams::TAudioParams(const TAudioParams& o) { *this = o; }

TAudioParams& TAudioParams::operator=(const TAudioParams& o) {
  if (this == &o) return *this;
  freq = o.freq;
  fmt = o.fmt;
  frame_size = o.frame_size;
  bytes_per_sec = o.bytes_per_sec;
  if (ff::av_channel_layout_copy) {
    ff::av_channel_layout_uninit(&ch_layout);
    ff::av_channel_layout_copy(&ch_layout, &o.ch_layout);
  }
  return *this;
}

TAudioParams::~TAudioParams() {
  if (ff::av_channel_layout_uninit) ff::av_channel_layout_uninit(&ch_layout);
}

void TAudioOutput::SoundTouchDeleter::operator()(void* h) const {
  if (st::soundtouch_destroyInstance) st::soundtouch_destroyInstance(h);
}

TAudioOutput::TAudioOutput(TAudioStateLink link, TAudioReport report)
    : s(link), FReport(std::move(report)), sample_array(SAMPLE_ARRAY_SIZE) {}

TAudioOutput::~TAudioOutput() { Close(); }

void TAudioOutput::report(TLogLevel level, const std::string& msg) const {
  if (FReport)
    FReport(level, msg);
  else
    FFLogger().Log(nullptr, level, msg);
}

void TAudioOutput::SetAudioHook(TAudioHook h) {
  std::lock_guard g(hook_lock);
  hook = h ? std::make_shared<const TAudioHook>(std::move(h)) : nullptr;
}

void TAudioOutput::SetDeviceName(const std::string& name) {
  std::lock_guard g(device_lock);
  wanted_device = name;
}

std::string TAudioOutput::AudioDevice() const {
  std::lock_guard g(device_lock);
  return current_device;
}

int TAudioOutput::Open(const AVChannelLayout& wanted_channel_layout, int wanted_sample_rate,
                       TAudioParams& audio_hw_params) {
  // Players open their devices one at a time.
  auto held = SDLLoader().Lock();
  Close();
  TAudioParams wanted;
  ff::av_channel_layout_copy(&wanted.ch_layout, &wanted_channel_layout);
  int wanted_nb_channels = wanted.channels();
  if (const char* env = sdl::SDL_getenv("SDL_AUDIO_CHANNELS")) {
    wanted_nb_channels = std::atoi(env);
    defaultLayout(wanted.ch_layout, wanted_nb_channels);
  }
  if (wanted.ch_layout.order != AV_CHANNEL_ORDER_NATIVE)
    defaultLayout(wanted.ch_layout, wanted_nb_channels);
  wanted_nb_channels = wanted.channels();
  if (wanted_sample_rate <= 0 || wanted_nb_channels <= 0) {
    report(llError, "Invalid sample rate or channel count!");
    return -1;
  }
  std::string name;
  {
    std::lock_guard g(device_lock);
    name = wanted_device;
  }
  SDL_AudioSpec obtained{};
  int asked_channels = 0;
  const SDL_AudioDeviceID dev =
      openDevice(name, wanted, wanted_nb_channels, wanted_sample_rate, obtained, asked_channels);
  if (!dev) return -1;
  if (!hardwareParams(obtained, asked_channels, wanted, audio_hw_params)) {
    sdl::SDL_CloseAudioDevice(dev);
    return -1;
  }
  if (obtained.channels != wanted_nb_channels)
    report(llInfo, strprintf("Audio channels changed from %d to %d (SDL advised)",
                             wanted_nb_channels, obtained.channels));
  if (obtained.freq != wanted_sample_rate)
    report(llInfo, strprintf("Audio sample rate changed from %d to %d (SDL advised)",
                             wanted_sample_rate, obtained.freq));
  noteDevice(held, name, dev);
  startOutput(dev, audio_hw_params, static_cast<int>(obtained.size));
  return audio_hw_buf_size;
}

// Tries the wanted layout and rate, then fewer channels, then other rates;
// `wanted` ends with the layout opened. 0 when nothing opened.
SDL_AudioDeviceID TAudioOutput::openDevice(const std::string& name, TAudioParams& wanted,
                                           int wanted_nb_channels, int wanted_sample_rate,
                                           SDL_AudioSpec& obtained, int& asked_channels) {
  static constexpr int next_nb_channels[] = {0, 0, 1, 6, 2, 6, 4, 6};
  static constexpr int next_sample_rates[] = {0, 44100, 48000, 96000, 192000};
  SDL_AudioSpec wanted_spec{};
  wanted_spec.channels = static_cast<Uint8>(std::clamp(wanted_nb_channels, 0, 255));
  wanted_spec.freq = wanted_sample_rate;
  int next_sample_rate_idx = std::size(next_sample_rates) - 1;
  while (next_sample_rate_idx && next_sample_rates[next_sample_rate_idx] >= wanted_spec.freq)
    next_sample_rate_idx--;
  wanted_spec.format = AUDIO_S16SYS;
  wanted_spec.silence = 0;
  wanted_spec.samples = static_cast<Uint16>(std::max(
      SDL_AUDIO_MIN_BUFFER_SIZE,
      2 << log2floor(static_cast<unsigned>(wanted_spec.freq / SDL_AUDIO_MAX_CALLBACKS_PER_SEC))));
  wanted_spec.callback = &TAudioOutput::sdlCallback;
  wanted_spec.userdata = this;
  SDL_AudioDeviceID dev;
  while (!(dev = sdl::SDL_OpenAudioDevice(name.empty() ? nullptr : name.c_str(), 0, &wanted_spec,
                                          &obtained, controls->allowed_changes))) {
    report(llWarning, strprintf("SDL_OpenAudio (%d channels, %d Hz): %s", wanted_spec.channels,
                                wanted_spec.freq, sdl::SDL_GetError()));
    wanted_spec.channels =
        static_cast<Uint8>(next_nb_channels[std::min<int>(7, wanted_spec.channels)]);
    if (!wanted_spec.channels) {
      wanted_spec.freq = next_sample_rates[next_sample_rate_idx--];
      wanted_spec.channels = static_cast<Uint8>(wanted_nb_channels);
      if (!wanted_spec.freq) {
        report(llError, "No more combinations to try, audio open failed");
        return 0;
      }
    }
    defaultLayout(wanted.ch_layout, wanted_spec.channels);
  }
  asked_channels = wanted_spec.channels;
  return dev;
}

// The device's format as the resampler's target; false when it is unusable.
bool TAudioOutput::hardwareParams(const SDL_AudioSpec& obtained, int asked_channels,
                                  TAudioParams& wanted, TAudioParams& hw) {
  if (obtained.format != AUDIO_S16SYS) {
    report(llError, strprintf("SDL advised audio format %d is not supported!", obtained.format));
    return false;
  }
  if (obtained.channels != asked_channels) {
    defaultLayout(wanted.ch_layout, obtained.channels);
    if (wanted.ch_layout.order != AV_CHANNEL_ORDER_NATIVE) {
      report(llError,
             strprintf("SDL advised channel count %d is not supported!", obtained.channels));
      return false;
    }
  }
  hw.fmt = AV_SAMPLE_FMT_S16;
  hw.freq = obtained.freq;
  ff::av_channel_layout_uninit(&hw.ch_layout);
  ff::av_channel_layout_copy(&hw.ch_layout, &wanted.ch_layout);
  hw.frame_size = ff::av_samples_get_buffer_size(nullptr, hw.channels(), 1, hw.fmt, 1);
  hw.bytes_per_sec = ff::av_samples_get_buffer_size(nullptr, hw.channels(), hw.freq, hw.fmt, 1);
  if (hw.bytes_per_sec <= 0 || hw.frame_size <= 0) {
    report(llError, "av_samples_get_buffer_size failed");
    return false;
  }
  return true;
}

// The device in use, for AudioDevice: the one asked for, or the only one.
void TAudioOutput::noteDevice(const std::unique_lock<std::mutex>& held, const std::string& name,
                              SDL_AudioDeviceID dev) {
  std::string shown = name;
  if (shown.empty()) {
    const auto& devices = SDLLoader().AudioDevices(held);
    if (devices.size() == 1) shown = devices.front();
  }
  {
    std::lock_guard g(device_lock);
    current_device = shown;
  }
  report(llInfo, strprintf("Current audio device [SDL audio id %u]: %s", dev,
                           name.empty() ? "system default" : name.c_str()));
}

void TAudioOutput::startOutput(SDL_AudioDeviceID dev, const TAudioParams& hw, int hwBufSize) {
  audio_dev = dev;
  audio_tgt = hw;
  audio_src = hw;
  tgt_channels = audio_tgt.channels();
  tgt_freq = audio_tgt.freq;
  audio_hw_buf_size = hwBufSize;
  audio_buf = nullptr;
  audio_buf_size = 0;
  audio_buf_index = 0;
  audio_diff_avg_coef = std::exp(std::log(0.01) / AUDIO_DIFF_AVG_NB);
  audio_diff_avg_count = 0;
  audio_diff_cum = 0;
  audio_diff_threshold = static_cast<double>(audio_hw_buf_size) / audio_tgt.bytes_per_sec;
}

void TAudioOutput::Pause(bool pause) {
  if (audio_dev) sdl::SDL_PauseAudioDevice(audio_dev, pause ? 1 : 0);
}

void TAudioOutput::Close() {
  if (audio_dev && sdl::SDL_CloseAudioDevice) {
    // Returns once the callback has run for the last time.
    sdl::SDL_CloseAudioDevice(audio_dev);
    audio_dev = 0;
  }
  swr_ctx.reset();
  soundtouch.reset();
  audio_buf = nullptr;
  audio_buf_size = 0;
  audio_buf_index = 0;
}

void TAudioOutput::sdlCallback(void* opaque, Uint8* stream, int len) {
  auto* self = static_cast<TAudioOutput*>(opaque);
  try {
    self->Callback(stream, len);
  } catch (const std::exception& e) {
    std::memset(stream, 0, static_cast<std::size_t>(len));
    self->report(llError, e.what());
  } catch (...) {
    std::memset(stream, 0, static_cast<std::size_t>(len));
  }
}

void TAudioOutput::Callback(std::uint8_t* stream, int len) {
  audio_callback_time = ff::av_gettime_relative();
  const int frame_size = audio_tgt.frame_size;
  if (frame_size <= 0) {
    std::memset(stream, 0, static_cast<std::size_t>(len));
    return;
  }
  int audio_size = 0;
  while (len > 0) {
    if (audio_buf_index >= static_cast<int>(audio_buf_size)) {
      audio_size = DecodeAudioBlock();
      if (s.audioq.abort_request) {
        // The device would play what the buffer held before.
        std::memset(stream, 0, static_cast<std::size_t>(len));
        break;
      }
      if (audio_size < 0) {
        audio_buf = nullptr;
        audio_buf_size = SDL_AUDIO_MIN_BUFFER_SIZE / frame_size * frame_size;
      } else {
        std::shared_ptr<const TAudioHook> h;
        {
          std::lock_guard g(hook_lock);
          h = hook;
        }
        if (h) {
          const double clock = audio_clock;
          const std::int64_t pts =
              std::isnan(clock) ? AV_NOPTS_VALUE : std::llround(clock * 1000000.0) - start_time;
          (*h)(pts, audio_buf, audio_size, audio_tgt.freq, audio_tgt.channels());
        }
        if (capture_samples) captureSamples(audio_buf, audio_size);
        audio_buf_size = static_cast<unsigned>(audio_size);
      }
      audio_buf_index = 0;
    }
    const int n = std::min(static_cast<int>(audio_buf_size) - audio_buf_index, len);
    const int vol = controls->volume;
    const bool mute = controls->mute;
    if (!mute && audio_buf && vol == SDL_MIX_MAXVOLUME) {
      std::memcpy(stream, audio_buf + audio_buf_index, static_cast<std::size_t>(n));
    } else {
      std::memset(stream, 0, static_cast<std::size_t>(n));
      if (!mute && audio_buf)
        sdl::SDL_MixAudioFormat(stream, audio_buf + audio_buf_index, AUDIO_S16SYS,
                                static_cast<Uint32>(n), vol);
    }
    len -= n;
    stream += n;
    audio_buf_index += n;
  }
  audio_write_buf_size = static_cast<int>(audio_buf_size) - audio_buf_index;
  const double clock = audio_clock;
  if (!std::isnan(clock) && audio_size != AVERROR_EOF) {
    // The sound now leaving the device was decoded before what the tempo
    // processor holds and the device buffers; played at another speed, a
    // second of output is audio_out_speed seconds of the media.
    const double queued =
        static_cast<double>(2 * audio_hw_buf_size + audio_write_buf_size) / audio_tgt.bytes_per_sec;
    s.audclk.SetAt(clock - audio_clock_lag - queued * audio_out_speed, audio_clock_serial,
                   static_cast<double>(audio_callback_time) / 1000000.0);
    s.extclk.SyncToSlave(s.audclk);
  }
}

bool TAudioOutput::tempoUsable() const {
  return TempoProcessorUsable(controls->use_soundtouch, audio_tgt.channels());
}

int TAudioOutput::DecodeAudioBlock() {
  if ((s.paused && s.seek_paused != 1) || s.audioq.abort_request) return -1;
  if (s.seek_paused == 1 && !s.sync.StreamOpen(AVMEDIA_TYPE_VIDEO)) s.seek_paused = 2;

  TFFFrame* af;
  do {
    while (s.sampq.Remaining() == 0) {
      // At the end of the input no frame will come: PeekReadable reports it.
      if (s.audioq.eof || s.audioq.abort_request) break;
      if (ff::av_gettime_relative() - audio_callback_time >
          static_cast<std::int64_t>(audio_hw_buf_size) * 1000000 / audio_tgt.bytes_per_sec / 2)
        return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    af = s.sampq.PeekReadable();
    if (!af) return s.audioq.abort_request ? -1 : AVERROR_EOF;
    s.sampq.Next();
  } while (af->serial != s.audioq.serial);

  AVFrame* frame = af->frame.get();
  const auto frame_fmt = static_cast<AVSampleFormat>(frame->format);
  const int nb_samples = frame->nb_samples;
  const int data_size = ff::av_samples_get_buffer_size(nullptr, frame->ch_layout.nb_channels,
                                                       nb_samples, frame_fmt, 1);
  TAudioParams dec;
  if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
    defaultLayout(dec.ch_layout, frame->ch_layout.nb_channels);
  else
    ff::av_channel_layout_copy(&dec.ch_layout, &frame->ch_layout);

  const bool external = s.sync.MasterSyncType() == AV_SYNC_EXTERNAL_CLOCK;
  const double speed = s.extclk.Speed();
  const bool external_speed = external && speed != 1.0;
  int wanted_nb_samples;
  if (external_speed)
    wanted_nb_samples =
        tempoUsable() ? nb_samples : static_cast<int>(std::lround(nb_samples / speed));
  else
    wanted_nb_samples = Synchronize(nb_samples);

  if (frame_fmt != audio_src.fmt ||
      ff::av_channel_layout_compare(&dec.ch_layout, &audio_src.ch_layout) ||
      frame->sample_rate != audio_src.freq || (wanted_nb_samples != nb_samples && !swr_ctx)) {
    swr_ctx.reset();
    SwrContext* swr = nullptr;
    const int ret =
        ff::swr_alloc_set_opts2(&swr, &audio_tgt.ch_layout, audio_tgt.fmt, audio_tgt.freq,
                                &dec.ch_layout, frame_fmt, frame->sample_rate, 0, nullptr);
    swr_ctx.reset(swr);
    if (ret < 0 || ff::swr_init(swr) < 0) {
      report(llError, strprintf("Cannot create sample rate converter for conversion of %d Hz %s %d "
                                "channels to %d Hz %s %d channels!",
                                frame->sample_rate, ff::av_get_sample_fmt_name(frame_fmt),
                                dec.channels(), audio_tgt.freq,
                                ff::av_get_sample_fmt_name(audio_tgt.fmt), audio_tgt.channels()));
      swr_ctx.reset();
      return -1;
    }
    ff::av_channel_layout_uninit(&audio_src.ch_layout);
    ff::av_channel_layout_copy(&audio_src.ch_layout, &dec.ch_layout);
    audio_src.freq = frame->sample_rate;
    audio_src.fmt = frame_fmt;
  }

  int resampled_data_size;
  if (swr_ctx) {
    const auto** in = const_cast<const std::uint8_t**>(frame->extended_data);
    const int out_count = static_cast<int>(
        static_cast<std::int64_t>(wanted_nb_samples) * audio_tgt.freq / frame->sample_rate + 256);
    const int out_size =
        ff::av_samples_get_buffer_size(nullptr, audio_tgt.channels(), out_count, audio_tgt.fmt, 0);
    if (out_size < 0) {
      report(llError, "av_samples_get_buffer_size() failed");
      return -1;
    }
    if (wanted_nb_samples != nb_samples &&
        ff::swr_set_compensation(
            swr_ctx.get(), (wanted_nb_samples - nb_samples) * audio_tgt.freq / frame->sample_rate,
            wanted_nb_samples * audio_tgt.freq / frame->sample_rate) < 0) {
      report(llError, "swr_set_compensation() failed");
      return -1;
    }
    if (!fastMalloc(audio_buf1, audio_buf1_size, static_cast<std::size_t>(out_size))) {
      report(llError, "av_fast_malloc() failed");
      return AVERROR(ENOMEM);
    }
    std::uint8_t* out = audio_buf1.get();
    const int len2 = ff::swr_convert(swr_ctx.get(), &out, out_count, in, nb_samples);
    if (len2 < 0) {
      report(llError, "swr_convert() failed");
      return -1;
    }
    if (len2 == out_count) {
      report(llWarning, "audio buffer is probably too small");
      if (ff::swr_init(swr_ctx.get()) < 0) swr_ctx.reset();
    }
    audio_buf = audio_buf1.get();
    resampled_data_size = len2 * audio_tgt.channels() * ff::av_get_bytes_per_sample(audio_tgt.fmt);
  } else {
    audio_buf = frame->data[0];
    resampled_data_size = data_size;
  }

  double lag = 0;
  if ((external_speed || controls->audio_pitch != 1.0f) && tempoUsable()) {
    resampled_data_size = applyTempo(resampled_data_size, external_speed, speed);
    if (resampled_data_size < 0) return resampled_data_size;
    lag = tempoBufferedSeconds();
  }
  audio_clock_lag = lag;
  audio_out_speed = external_speed ? speed : 1.0;

  audio_clock =
      std::isnan(af->pts) ? NAN : af->pts + static_cast<double>(nb_samples) / frame->sample_rate;
  audio_clock_serial = af->serial;
  audio_frame_available = 1;
  return resampled_data_size;
}

int TAudioOutput::applyTempo(int in_size, bool external_speed, double speed) {
  if (audio_tgt.fmt != AV_SAMPLE_FMT_S16) {
    report(llError, "Invalidate audio format for changing playback speed and/or audio pitch.");
    return -1;
  }
  const int channels = audio_tgt.channels();
  int out_bytes = in_size;
  if (external_speed)
    out_bytes = 2 * channels * (static_cast<int>(in_size / speed) / (2 * channels));
  if (!fastMalloc(audio_buf2, audio_buf2_size, static_cast<std::size_t>(out_bytes))) {
    report(llError, "av_fast_malloc() failed");
    return AVERROR(ENOMEM);
  }
  const float pitch = controls->audio_pitch;
  if (!soundtouch) {
    soundtouch.reset(st::soundtouch_createInstance());
    if (!soundtouch) {
      report(llError, "soundtouch_createInstance() failed");
      return AVERROR(ENOMEM);
    }
    // Channels and rate come before any samples.
    st_channels = channels;
    st::soundtouch_setChannels(soundtouch.get(), static_cast<unsigned>(st_channels));
    st_sample_rate = audio_tgt.freq;
    st::soundtouch_setSampleRate(soundtouch.get(), static_cast<unsigned>(st_sample_rate));
    st_tempo = external_speed ? speed : 1.0;
    if (external_speed) st::soundtouch_setTempo(soundtouch.get(), static_cast<float>(st_tempo));
    st_pitch = pitch;
    st::soundtouch_setPitch(soundtouch.get(), st_pitch);
  } else {
    if (st_channels != channels) {
      st_channels = channels;
      st::soundtouch_setChannels(soundtouch.get(), static_cast<unsigned>(st_channels));
    }
    if (st_sample_rate != audio_tgt.freq) {
      st_sample_rate = audio_tgt.freq;
      st::soundtouch_setSampleRate(soundtouch.get(), static_cast<unsigned>(st_sample_rate));
    }
    const double tempo = external_speed ? speed : 1.0;
    if (st_tempo != tempo) {
      st_tempo = tempo;
      st::soundtouch_setTempo(soundtouch.get(), static_cast<float>(st_tempo));
    }
    if (st_pitch != pitch) {
      st_pitch = pitch;
      st::soundtouch_setPitch(soundtouch.get(), st_pitch);
    }
  }
  const int sample_bytes = 2 * st_channels;
  st::soundtouch_putSamples_i16(soundtouch.get(), reinterpret_cast<const short*>(audio_buf),
                                static_cast<unsigned>(in_size / sample_bytes));
  const unsigned n = st::soundtouch_receiveSamples_i16(
      soundtouch.get(), reinterpret_cast<short*>(audio_buf2.get()),
      static_cast<unsigned>(out_bytes / sample_bytes));
  if (n < 1) return -1;  // the processor is still filling up
  audio_buf = audio_buf2.get();
  return static_cast<int>(n) * sample_bytes;
}

double TAudioOutput::tempoBufferedSeconds() const {
  if (!soundtouch || st_sample_rate <= 0) return 0;
  // Output not taken yet stands for `tempo` times as much input.
  const double input = st::soundtouch_numUnprocessedSamples(soundtouch.get()) +
                       st::soundtouch_numSamples(soundtouch.get()) * st_tempo;
  return input / st_sample_rate;
}

int TAudioOutput::Synchronize(int nb_samples) {
  if (s.sync.MasterSyncType() == AV_SYNC_AUDIO_MASTER) return nb_samples;
  const double diff = s.audclk.Get() - s.sync.MasterClock(s.audclk, s.vidclk, s.extclk);
  if (std::isnan(diff) || std::fabs(diff) >= AV_NOSYNC_THRESHOLD) {
    audio_diff_avg_count = 0;
    audio_diff_cum = 0;
    return nb_samples;
  }
  audio_diff_cum = diff + audio_diff_avg_coef * audio_diff_cum;
  if (audio_diff_avg_count < AUDIO_DIFF_AVG_NB) {
    audio_diff_avg_count++;
    return nb_samples;
  }
  const double avg_diff = audio_diff_cum * (1.0 - audio_diff_avg_coef);
  int wanted_nb_samples = nb_samples;
  if (std::fabs(avg_diff) >= audio_diff_threshold) {
    wanted_nb_samples = nb_samples + static_cast<int>(diff * audio_src.freq);
    wanted_nb_samples =
        std::clamp(wanted_nb_samples, nb_samples * 90 / 100, nb_samples * 110 / 100);
  }
  ff::av_log(nullptr, AV_LOG_TRACE, "diff=%f adiff=%f sample_diff=%d apts=%0.3f %f\n", diff,
             avg_diff, wanted_nb_samples - nb_samples, audio_clock.load(), audio_diff_threshold);
  return wanted_nb_samples;
}

void TAudioOutput::captureSamples(const std::uint8_t* buf, int size) {
  const auto* samples = reinterpret_cast<const std::int16_t*>(buf);
  int count = size / static_cast<int>(sizeof(std::int16_t));
  std::lock_guard g(sample_lock);
  while (count > 0) {
    const int len = std::min(SAMPLE_ARRAY_SIZE - sample_array_index, count);
    std::memcpy(sample_array.data() + sample_array_index, samples,
                static_cast<std::size_t>(len) * sizeof(std::int16_t));
    samples += len;
    sample_array_index += len;
    if (sample_array_index >= SAMPLE_ARRAY_SIZE) sample_array_index = 0;
    count -= len;
  }
}

std::vector<std::int16_t> TAudioOutput::LastSamples(int n) const {
  std::lock_guard g(sample_lock);
  n = std::clamp(n, 0, SAMPLE_ARRAY_SIZE);
  std::vector<std::int16_t> out(static_cast<std::size_t>(n));
  int idx = (sample_array_index - n + SAMPLE_ARRAY_SIZE) % SAMPLE_ARRAY_SIZE;
  for (int i = 0; i < n; ++i) {
    out[static_cast<std::size_t>(i)] = sample_array[static_cast<std::size_t>(idx)];
    idx = (idx + 1) % SAMPLE_ARRAY_SIZE;
  }
  return out;
}

}  // namespace corvane
