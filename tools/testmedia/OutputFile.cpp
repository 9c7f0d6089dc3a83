#include "testmedia/OutputFile.h"

#include <array>
#include <cstring>
#include <optional>

#include "testmedia/LavfiSource.h"

namespace corvane::testmedia {

// A subtitle: dialogue text, or one opaque box drawn as a bitmap.
struct OutputFile::Cue {
  int startMs = 0;
  int endMs = 0;
  std::string text;
  std::optional<dvdsub::Box> box;
};

struct OutputFile::Stream {
  const AVCodec* codec = nullptr;
  const char* role = "";
  CodecContextPtr enc;
  std::unique_ptr<LavfiSource> source;  // null for subtitles
  std::vector<Cue> cues;
  std::size_t nextCue = 0;
  AVStream* st = nullptr;
  double clock = 0;  // presentation time reached, seconds
  bool done = false;
};

OutputFile::OutputFile(std::string what, const char* format, const std::string& path)
    : what_(std::move(what)), path_(path) {
  AVFormatContext* oc = nullptr;
  const int err = ff::avformat_alloc_output_context2(&oc, nullptr, format, path.c_str());
  if (err < 0 || !oc)
    fail(std::string("creating ") + format + " muxer", err < 0 ? err : AVERROR_MUXER_NOT_FOUND);
  oc_.reset(oc);
}

OutputFile::~OutputFile() = default;

void OutputFile::fail(const std::string& step, int err) const {
  throw ETestMedia(what_ + ": " + step + ": " + avError(err));
}

OutputFile::Stream& OutputFile::newStream(const AVCodec* codec, const char* role) {
  auto s = std::make_unique<Stream>();
  s->codec = codec;
  s->role = role;
  s->enc.reset(ff::avcodec_alloc_context3(codec));
  if (!s->enc) fail(std::string("allocating ") + role + " encoder", AVERROR(ENOMEM));
  s->st = ff::avformat_new_stream(oc_.get(), nullptr);
  if (!s->st) fail(std::string("adding ") + role + " stream", AVERROR(ENOMEM));
  if (oc_->oformat->flags & AVFMT_GLOBALHEADER) s->enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  streams_.push_back(std::move(s));
  return *streams_.back();
}

void OutputFile::openEncoder(Stream& s, const Options& options) {
  Dict opts;
  for (const auto& [k, v] : options) opts.set(k.c_str(), v);
  const std::string name = s.codec->name;
  int err = ff::avcodec_open2(s.enc.get(), s.codec, opts.address());
  if (err < 0) fail("opening encoder " + name, err);
  err = ff::avcodec_parameters_from_context(s.st->codecpar, s.enc.get());
  if (err < 0) fail("copying " + name + " parameters", err);
  s.st->time_base = s.enc->time_base;
}

AVStream* OutputFile::addVideo(const VideoSpec& spec) {
  const AVCodec* codec = ff::avcodec_find_encoder_by_name(spec.encoder.c_str());
  if (!codec || codec->type != AVMEDIA_TYPE_VIDEO || !codec->pix_fmts)
    fail("finding video encoder " + spec.encoder, AVERROR_ENCODER_NOT_FOUND);
  Stream& s = newStream(codec, "video");
  const char* pixFmt = ff::av_get_pix_fmt_name(codec->pix_fmts[0]);
  s.source = std::make_unique<LavfiSource>(what_, AVMEDIA_TYPE_VIDEO,
                                           spec.chain + ",format=pix_fmts=" + pixFmt);
  AVFilterContext* sink = s.source->sink();
  AVCodecContext* c = s.enc.get();
  c->width = ff::av_buffersink_get_w(sink);
  c->height = ff::av_buffersink_get_h(sink);
  c->pix_fmt = static_cast<AVPixelFormat>(ff::av_buffersink_get_format(sink));
  c->sample_aspect_ratio = ff::av_buffersink_get_sample_aspect_ratio(sink);
  c->framerate = ff::av_buffersink_get_frame_rate(sink);
  if (c->framerate.num <= 0)
    fail("reading the frame rate of \"" + spec.chain + "\"", AVERROR(EINVAL));
  c->time_base = av_inv_q(c->framerate);
  c->gop_size = spec.gop;
  if (spec.bFrames >= 0) c->max_b_frames = spec.bFrames;
  if (spec.qscale > 0) {
    c->flags |= AV_CODEC_FLAG_QSCALE;
    c->global_quality = FF_QP2LAMBDA * spec.qscale;
  }
  c->colorspace = spec.colorspace;
  c->color_primaries = spec.primaries;
  c->color_trc = spec.transfer;
  c->color_range = spec.range;
  c->thread_count = 0;
  openEncoder(s, spec.options);
  s.st->avg_frame_rate = c->framerate;
  s.st->sample_aspect_ratio = c->sample_aspect_ratio;
  return s.st;
}

AVStream* OutputFile::addAudio(const AudioSpec& spec) {
  const AVCodec* codec = ff::avcodec_find_encoder_by_name(spec.encoder.c_str());
  if (!codec || codec->type != AVMEDIA_TYPE_AUDIO || !codec->sample_fmts)
    fail("finding audio encoder " + spec.encoder, AVERROR_ENCODER_NOT_FOUND);
  Stream& s = newStream(codec, "audio");
  const std::string format = ff::av_get_sample_fmt_name(codec->sample_fmts[0]);
  s.source = std::make_unique<LavfiSource>(what_, AVMEDIA_TYPE_AUDIO,
                                           spec.chain + ",aformat=sample_fmts=" + format +
                                               ":sample_rates=" + std::to_string(spec.sampleRate) +
                                               ":channel_layouts=stereo");
  AVFilterContext* sink = s.source->sink();
  AVCodecContext* c = s.enc.get();
  c->sample_fmt = static_cast<AVSampleFormat>(ff::av_buffersink_get_format(sink));
  c->sample_rate = ff::av_buffersink_get_sample_rate(sink);
  AVChannelLayout layout{};
  int err = ff::av_buffersink_get_ch_layout(sink, &layout);
  if (err >= 0) err = ff::av_channel_layout_copy(&c->ch_layout, &layout);
  ff::av_channel_layout_uninit(&layout);
  if (err < 0) fail("setting the channel layout", err);
  c->time_base = AVRational{1, c->sample_rate};
  if (codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL)
    c->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
  openEncoder(s, spec.options);
  if (!(codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) && c->frame_size > 0)
    s.source->setFrameSize(c->frame_size);
  return s.st;
}

OutputFile::Stream& OutputFile::newSubtitleStream(AVCodecID id, const char* what) {
  const AVCodec* codec = ff::avcodec_find_encoder(id);
  if (!codec) fail(std::string("finding the ") + what + " encoder", AVERROR_ENCODER_NOT_FOUND);
  Stream& s = newStream(codec, "subtitle");
  s.enc->time_base = AVRational{1, 1000};
  return s;
}

AVStream* OutputFile::addSubtitles(std::span<const mkv::Cue> cues) {
  Stream& s = newSubtitleStream(AV_CODEC_ID_SUBRIP, "SubRip");
  for (const mkv::Cue& c : cues) s.cues.push_back({c.startMs, c.endMs, c.text, std::nullopt});
  // The encoder parses cue styles against an ASS script header.
  static constexpr char kHeader[] =
      "[Script Info]\r\nScriptType: v4.00+\r\nPlayResX: 384\r\nPlayResY: 288\r\n\r\n"
      "[V4+ Styles]\r\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, "
      "OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, "
      "Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\r\n"
      "Style: Default,Arial,16,&Hffffff,&Hffffff,&H0,&H0,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,0"
      "\r\n\r\n[Events]\r\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, "
      "Effect, Text\r\n";
  s.enc->subtitle_header = static_cast<uint8_t*>(ff::av_mallocz(sizeof kHeader));
  if (!s.enc->subtitle_header) fail("allocating the subtitle header", AVERROR(ENOMEM));
  std::memcpy(s.enc->subtitle_header, kHeader, sizeof kHeader);
  s.enc->subtitle_header_size = static_cast<int>(sizeof kHeader - 1);
  openEncoder(s, {});
  return s.st;
}

AVStream* OutputFile::addBitmapSubtitles(AVCodecID codec, int width, int height,
                                         std::span<const dvdsub::Box> boxes) {
  Stream& s = newSubtitleStream(codec, ff::avcodec_get_name(codec));
  for (const dvdsub::Box& b : boxes) s.cues.push_back({b.startMs, b.endMs, {}, b});
  s.enc->width = width;
  s.enc->height = height;
  openEncoder(s, {});
  return s.st;
}

void OutputFile::writePacket(Stream& s, AVPacket* pkt) {
  ff::av_packet_rescale_ts(pkt, s.enc->time_base, s.st->time_base);
  pkt->stream_index = s.st->index;
  const int err = ff::av_interleaved_write_frame(oc_.get(), pkt);
  if (err < 0) fail(std::string("writing a ") + s.role + " packet", err);
}

void OutputFile::encode(Stream& s, AVFrame* frame) {
  const std::string name = s.codec->name;
  int err = ff::avcodec_send_frame(s.enc.get(), frame);
  if (err < 0) fail("sending a frame to " + name, err);
  PacketPtr pkt(ff::av_packet_alloc());
  if (!pkt) fail("allocating a packet", AVERROR(ENOMEM));
  for (;;) {
    err = ff::avcodec_receive_packet(s.enc.get(), pkt.get());
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
    if (err < 0) fail("encoding with " + name, err);
    writePacket(s, pkt.get());
  }
}

void OutputFile::writeCue(Stream& s) {
  const Cue& cue = s.cues[s.nextCue++];
  AVSubtitleRect rect{};
  std::string dialogue;
  std::vector<uint8_t> indices;
  std::array<uint32_t, AVPALETTE_COUNT> palette{};  // entry 0 transparent
  if (const auto& box = cue.box) {
    // Every pixel names palette entry 1, the box's colour.
    indices.assign(static_cast<std::size_t>(box->width) * box->height, 1);
    palette[1] = box->argb;
    rect.type = SUBTITLE_BITMAP;
    rect.x = box->x;
    rect.y = box->y;
    rect.w = box->width;
    rect.h = box->height;
    rect.nb_colors = 2;
    rect.data[0] = indices.data();
    rect.linesize[0] = box->width;
    rect.data[1] = reinterpret_cast<uint8_t*>(palette.data());
    rect.linesize[1] = static_cast<int>(sizeof palette);
  } else {
    // The encoder takes ASS dialogue:
    // ReadOrder,Layer,Style,Name,MarginL,MarginR,MarginV,Effect,Text.
    dialogue = std::to_string(s.nextCue) + ",0,Default,,0,0,0,," + cue.text;
    rect.type = SUBTITLE_ASS;
    rect.ass = dialogue.data();
  }
  AVSubtitleRect* rects[] = {&rect};
  AVSubtitle sub{};
  sub.num_rects = 1;
  sub.rects = rects;
  sub.pts = static_cast<int64_t>(cue.startMs) * (AV_TIME_BASE / 1000);
  sub.end_display_time = static_cast<uint32_t>(cue.endMs - cue.startMs);

  std::vector<uint8_t> buf(64 * 1024);
  const int size =
      ff::avcodec_encode_subtitle(s.enc.get(), buf.data(), static_cast<int>(buf.size()), &sub);
  if (size < 0) fail("encoding a subtitle", size);
  PacketPtr pkt(ff::av_packet_alloc());
  if (!pkt) fail("allocating a packet", AVERROR(ENOMEM));
  const int err = ff::av_new_packet(pkt.get(), size);
  if (err < 0) fail("allocating a packet", err);
  std::memcpy(pkt->data, buf.data(), static_cast<std::size_t>(size));
  pkt->pts = pkt->dts = cue.startMs;
  pkt->duration = cue.endMs - cue.startMs;
  pkt->flags |= AV_PKT_FLAG_KEY;
  writePacket(s, pkt.get());
  s.clock = s.nextCue < s.cues.size() ? s.cues[s.nextCue].startMs / 1000.0 : 0;
  s.done = s.nextCue == s.cues.size();
}

void OutputFile::write(Options muxerOptions) {
  int err = 0;
  if (!(oc_->oformat->flags & AVFMT_NOFILE)) {
    err = ff::avio_open(&oc_->pb, path_.c_str(), AVIO_FLAG_WRITE);
    if (err < 0) fail("creating " + path_, err);
  }
  Dict opts;
  for (const auto& [k, v] : muxerOptions) opts.set(k.c_str(), v);
  err = ff::avformat_write_header(oc_.get(), opts.address());
  if (err < 0) fail("writing the header", err);

  for (auto& s : streams_) {
    if (!s->cues.empty()) s->clock = s->cues.front().startMs / 1000.0;
    s->done = !s->source && s->cues.empty();
  }
  FramePtr frame(ff::av_frame_alloc());
  if (!frame) fail("allocating a frame", AVERROR(ENOMEM));
  for (;;) {
    // Advance the stream that is furthest behind.
    Stream* next = nullptr;
    for (auto& s : streams_)
      if (!s->done && (!next || s->clock < next->clock)) next = s.get();
    if (!next) break;
    if (!next->source) {
      writeCue(*next);
      continue;
    }
    if (!next->source->read(frame.get())) {
      encode(*next, nullptr);
      next->done = true;
      continue;
    }
    frame->pts = ff::av_rescale_q(frame->pts, next->source->timeBase(), next->enc->time_base);
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    next->clock = static_cast<double>(frame->pts) * av_q2d(next->enc->time_base);
    encode(*next, frame.get());
    ff::av_frame_unref(frame.get());
  }

  err = ff::av_write_trailer(oc_.get());
  if (err < 0) fail("writing the trailer", err);
  if (!(oc_->oformat->flags & AVFMT_NOFILE)) {
    err = ff::avio_closep(&oc_->pb);
    if (err < 0) fail("closing " + path_, err);
  }
}

}  // namespace corvane::testmedia
