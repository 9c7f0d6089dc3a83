// The library calls these operations on the task's reading thread. The
// private state is a plain record the library allocates and fills with the
// option values; the session behind it is created by the header read and
// released by the close.
#include "capture/FrameInputFormat.h"

#include <cinttypes>
#include <climits>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

#include "capture/FrameInputAdapter.h"
#include "capture/FramePacking.h"
#include "capture/InputFormatRecord.h"
#include "foundation/AppInputFormats.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"

namespace corvane {
namespace {

constexpr std::int64_t kClockStep = 1000000;  // the frame clock counts millionths of a frame

// Handler timestamps beyond this (either way) are refused: the library adds durations to
// them, and the frame clock must be able to step past them.
constexpr std::int64_t kMaxTimeStamp = std::int64_t{1} << 62;

struct TFrameInputSession {
  std::shared_ptr<TFrameInputAdapter> adapter;
  // Shared with the handlers, which may write into it: what they may set is
  // the timestamp (and the palette's entries). Everything else is restored
  // from `own` around each call and never read back.
  TInputFrameInfo info;
  TInputFrameInfo own;  // the sizes fixed by the header, the counts kept here
  TFrameInputKind kind = TFrameInputKind::Yuv;
  BmpFormat bitmap_format = BmpFormat::pf32bit;
  Bitmap bitmap;
  std::uint8_t palette[AVPALETTE_SIZE] = {};  // kept between frames
  AVRational duration{0, 1};                  // seconds per frame
  AVRational rate{0, 1};
  std::int64_t clock = 0;
};

struct TFrameInputPriv {
  const AVClass* av_class;
  char* input_type;
  char* pixel_format;
  char* video_size;
  char* framerate;
  TFrameInputSession* session;  // owned from the header read to the close
};

TFrameInputPriv* priv(AVFormatContext* s) { return static_cast<TFrameInputPriv*>(s->priv_data); }

bool isBitmapKind(TFrameInputKind kind) {
  return kind == TFrameInputKind::Bmp || kind == TFrameInputKind::Canvas;
}

int fail(AVFormatContext* s, int code, const char* text) {
  ff::av_log(s, AV_LOG_ERROR, "%s", text);
  return code;
}

// ---- Header steps; each logs its own failure.

int findAdapter(AVFormatContext* s, TFrameInputSession& ses) {
  const char* url = s->url ? s->url : "";
  const auto id = parseRegistryId(url);
  if (!id) {
    ff::av_log(s, AV_LOG_ERROR,
               "Could not parse FrameInputAdapter: \"%s\", it should be address of "
               "FrameInputAdapter\n",
               url);
    return AVERROR(EINVAL);
  }
  ses.adapter = findRegisteredAs<TFrameInputAdapter>(*id);
  if (!ses.adapter) return fail(s, AVERROR(EINVAL), "Invalid FrameInputAdapter\n");
  return 0;
}

int parseKind(AVFormatContext* s, TFrameInputSession& ses) {
  const char* text = priv(s)->input_type ? priv(s)->input_type : "";
  const auto kind = frameInputKindFromText(text);
  if (!kind) {
    ff::av_log(s, AV_LOG_ERROR,
               "Invalid frame input type: \"%s\", it should be one of canvas/bmp/dc/yuv\n", text);
    return AVERROR(EINVAL);
  }
  if (*kind == TFrameInputKind::Dc)
    return fail(s, AVERROR(ENOSYS), "Frame input type \"dc\" is not supported on this platform\n");
  ses.kind = *kind;
  return 0;
}

int parseRate(AVFormatContext* s, TFrameInputSession& ses) {
  const char* text = priv(s)->framerate ? priv(s)->framerate : "";
  if (ff::av_parse_video_rate(&ses.rate, text) < 0) {
    ff::av_log(s, AV_LOG_ERROR, "Could not parse framerate \"%s\".\n", text);
    return AVERROR(EINVAL);
  }
  if (ses.rate.num <= 0 || ses.rate.den <= 0)
    return fail(s, AVERROR(EINVAL), "Invalid frame rate\n");
  ses.duration = AVRational{ses.rate.den, ses.rate.num};
  return 0;
}

int parseSize(AVFormatContext* s, TFrameInputSession& ses) {
  const char* text = priv(s)->video_size;
  if (text && *text && ff::av_parse_video_size(&ses.info.Width, &ses.info.Height, text) < 0)
    return fail(s, AVERROR(EINVAL), "Couldn't parse video size.\n");
  if (ses.info.Width < 1 || ses.info.Height < 1)
    return fail(s, AVERROR(EINVAL), "Invalid frame size\n");
  return 0;
}

int parsePixelFormat(AVFormatContext* s, TFrameInputSession& ses) {
  const char* text = priv(s)->pixel_format;
  ses.info.PixelFormat = AV_PIX_FMT_YUV420P;
  if (text && *text) {
    ses.info.PixelFormat = ff::av_get_pix_fmt(text);
    if (ses.info.PixelFormat == AV_PIX_FMT_NONE)
      return fail(s, AVERROR(EINVAL), "Unknown pixel format requested\n");
  }
  if (!isBitmapKind(ses.kind)) return 0;
  const auto format = bitmapFormatFor(ses.info.PixelFormat);
  if (!format)
    return fail(s, AVERROR(EINVAL),
                "Invalid pixel format for canvas/bmp/dc input, should be one of "
                "gray8/pal8/rgb555le/bgr24/bgra\n");
  ses.bitmap_format = *format;
  ses.info.BitsPerPixel = bmpBitsPerPixel(*format);
  return 0;
}

// The packet size, and the bitmap of the bitmap kinds. A picture too large
// for the library's image checks or for a packet is refused.
int prepareBuffers(AVFormatContext* s, TFrameInputSession& ses) {
  TInputFrameInfo& info = ses.info;
  const int picture = ff::av_image_get_buffer_size(info.PixelFormat, info.Width, info.Height, 1);
  if (picture < 0) {
    if (!isBitmapKind(ses.kind))
      return fail(s, AVERROR(EIO), "av_image_get_buffer_size() failed\n");
    return fail(s, AVERROR(EINVAL), "Invalid frame size\n");
  }
  if (!isBitmapKind(ses.kind)) {
    info.BytesPerFrame = picture;
    return 0;
  }
  const std::int64_t line = paddedBytesPerLine(info.Width, info.BitsPerPixel);
  if (line * info.Height > INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)
    return fail(s, AVERROR(EINVAL), "Invalid frame size\n");
  info.BytesPerLine = static_cast<std::int32_t>(line);
  info.BytesPerFrame = static_cast<std::int32_t>(line * info.Height);
  ses.bitmap.setFormat(ses.bitmap_format);
  ses.bitmap.setSize(info.Width, info.Height);
  return 0;
}

int createStream(AVFormatContext* s, TFrameInputSession& ses) {
  AVStream* st = ff::avformat_new_stream(s, nullptr);
  if (!st) return AVERROR(ENOMEM);
  st->time_base = AVRational{1, 1000000};
  st->pts_wrap_bits = 64;
  AVCodecParameters* par = st->codecpar;
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = AV_CODEC_ID_RAWVIDEO;
  par->width = ses.info.Width;
  par->height = ses.info.Height;
  par->format = ses.info.PixelFormat;
  par->bit_rate = frameBitRate(ses.info.BytesPerFrame, ses.duration);
  st->r_frame_rate = ses.rate;
  st->avg_frame_rate = ses.rate;
  s->flags |= AVFMT_FLAG_NOPARSE;
  s->probesize = 0;  // the stream is fully described: nothing to probe
  return 0;
}

int readHeader(AVFormatContext* s) {
  auto ses = std::make_unique<TFrameInputSession>();
  int ret = findAdapter(s, *ses);
  if (ret < 0 || (ret = parseKind(s, *ses)) < 0 || (ret = parseRate(s, *ses)) < 0 ||
      (ret = parseSize(s, *ses)) < 0 || (ret = parsePixelFormat(s, *ses)) < 0 ||
      (ret = prepareBuffers(s, *ses)) < 0 || (ret = createStream(s, *ses)) < 0)
    return ret;
  ses->info.LastTimeStamp = AV_NOPTS_VALUE;
  ses->info.FrameNumber = 1;
  ses->own = ses->info;
  TFrameInputSession* opened = ses.release();
  priv(s)->session = opened;
  opened->adapter->ReadHeader(&opened->info);
  return 0;
}

// ---- Packet steps

const char* kindName(TFrameInputKind kind) {
  switch (kind) {
    case TFrameInputKind::Yuv:
      return "YUV";
    case TFrameInputKind::Bmp:
      return "BMP";
    case TFrameInputKind::Canvas:
      return "Canvas";
    default:
      return "DC";
  }
}

// The bitmap rows (and palette) into the packet, once the handler is done.
int packBitmap(AVFormatContext* s, TFrameInputSession& ses, AVPacket* pkt) {
  const Bitmap& b = ses.bitmap;
  std::lock_guard canvas(b.canvas);  // the application may draw into it from elsewhere
  if (b.width != ses.own.Width || b.height != ses.own.Height || b.format != ses.bitmap_format ||
      !b.consistent())
    return fail(s, AVERROR(EINVAL), "reading frame (Canvas): the canvas size or format changed\n");
  packBitmapRows(b, ses.own.BytesPerLine, pkt->data);
  if (ses.own.PixelFormat == AV_PIX_FMT_PAL8) {
    std::uint8_t* side = ff::av_packet_new_side_data(pkt, AV_PKT_DATA_PALETTE, AVPALETTE_SIZE);
    if (!side) return AVERROR(ENOMEM);
    std::memcpy(side, ses.palette, AVPALETTE_SIZE);
  }
  return 0;
}

// The shared record as the handler is to see it: what a previous handler
// changed goes back to the input's own values.
void publishInfo(TFrameInputSession& ses, std::int64_t timestamp) {
  TInputFrameInfo& info = ses.info;
  const TInputFrameInfo& own = ses.own;
  capture::RestoreShared(info.Width, own.Width);
  capture::RestoreShared(info.Height, own.Height);
  capture::RestoreShared(info.BitsPerPixel, own.BitsPerPixel);
  capture::RestoreShared(info.BytesPerLine, own.BytesPerLine);
  capture::RestoreShared(info.BytesPerFrame, own.BytesPerFrame);
  capture::RestoreShared(info.PixelFormat, own.PixelFormat);
  capture::RestoreShared(info.FrameNumber, own.FrameNumber);
  capture::RestoreShared(info.LastTimeStamp, own.LastTimeStamp);
  const bool bitmap = isBitmapKind(ses.kind);
  capture::RestoreShared(info.Palette,
                         bitmap && own.PixelFormat == AV_PIX_FMT_PAL8 ? ses.palette : nullptr);
  info.TimeStamp = timestamp;
}

int fillPacket(AVFormatContext* s, TFrameInputSession& ses, AVPacket* pkt) {
  const bool bitmap = isBitmapKind(ses.kind);
  std::uint8_t* target = bitmap ? ses.bitmap.pixels.data() : pkt->data;
  const int ret = ses.adapter->ReadFrame(ses.kind, target, ses.bitmap, &ses.info);
  if (ret < 0) {
    ff::av_log(s, ses.kind == TFrameInputKind::Bmp ? AV_LOG_ERROR : AV_LOG_INFO,
               "reading frame (%s) return %d\n", kindName(ses.kind), ret);
    return ret;
  }
  return bitmap ? packBitmap(s, ses, pkt) : 0;
}

// The frame clock of a handler's timestamp, when it moves forward and the
// clock can go on from it.
std::optional<std::int64_t> acceptedClock(const TFrameInputSession& ses, std::int64_t ts) {
  if (ts <= ses.own.LastTimeStamp || ts < -kMaxTimeStamp || ts > kMaxTimeStamp) return std::nullopt;
  const auto clock = microsecondsToFrameClock(ts, ses.duration);
  if (!clock || *clock > std::numeric_limits<std::int64_t>::max() - kClockStep) return std::nullopt;
  return clock;
}

// A timestamp the handler set replaces the computed one when it moves
// forward, and the frame clock continues from it.
void applyTimestamp(AVFormatContext* s, TFrameInputSession& ses, AVPacket* pkt,
                    std::int64_t computed, std::int64_t ts) {
  if (ts != computed) {
    if (const auto clock = acceptedClock(ses, ts)) {
      pkt->pts = pkt->dts = ts;
      ses.clock = *clock;
    } else {
      ff::av_log(s, AV_LOG_WARNING, "invalid pts %" PRId64 "\n", ts);
    }
  }
  ses.clock += kClockStep;
  ++ses.own.FrameNumber;
  ses.own.LastTimeStamp = pkt->pts;
}

int readPacket(AVFormatContext* s, AVPacket* pkt) {
  TFrameInputSession* ses = priv(s)->session;
  if (!ses) return AVERROR(EINVAL);
  const auto computed = frameClockToMicroseconds(ses->clock, ses->duration);
  if (!computed || *computed > kMaxTimeStamp) {
    ff::av_log(s, AV_LOG_WARNING, "the frame clock reached its end\n");
    return AVERROR_EOF;
  }
  const int size = ses->own.BytesPerFrame;
  if (ff::av_new_packet(pkt, size) < 0) return AVERROR(ENOMEM);
  publishInfo(*ses, *computed);
  pkt->pts = pkt->dts = *computed;
  pkt->stream_index = 0;
  const int ret = fillPacket(s, *ses, pkt);
  const std::int64_t wanted = ses->info.TimeStamp;
  if (ret >= 0) {
    // Every picture stands alone, so every packet is a key frame.
    pkt->flags |= AV_PKT_FLAG_KEY;
    applyTimestamp(s, *ses, pkt, *computed, wanted);
  }
  // Readers of the record between calls see the input's values too.
  publishInfo(*ses, ret >= 0 ? pkt->pts : wanted);
  return ret < 0 ? ret : size;  // on failure the library releases the packet
}

int readClose(AVFormatContext* s) {
  std::unique_ptr<TFrameInputSession> ses(priv(s)->session);
  priv(s)->session = nullptr;
  if (ses) ses->adapter->ReadClose(&ses->info);
  return 0;
}

const AVOption kOptions[] = {
    capture::TextOption("input_type", "one of {canvas, bmp, dc, yuv}, default yuv",
                        offsetof(TFrameInputPriv, input_type), "yuv"),
    capture::TextOption("video_size", "A string describing frame size, such as 640x480 or hd720.",
                        offsetof(TFrameInputPriv, video_size), nullptr),
    capture::TextOption("framerate", "set frame rate", offsetof(TFrameInputPriv, framerate),
                        "ntsc"),
    capture::TextOption("pixel_format", "gray8/pal8/rgb555le/bgr24/bgra for canvas/bmp/dc",
                        offsetof(TFrameInputPriv, pixel_format), "yuv420p"),
    {},
};

const AVClass kClass = capture::OptionClass("FrameInputFormat", kOptions);

const AVInputFormat kFormat = capture::NoFileInputFormat<readHeader, readPacket, readClose>(
    "frameinput", "Frame input", &kClass, sizeof(TFrameInputPriv));

}  // namespace

const AVInputFormat* RegisterFrameInputFormat() {
  register_app_input_format(&kFormat);
  return &kFormat;
}

}  // namespace corvane
