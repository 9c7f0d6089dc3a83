// Hardware acceleration: devices for decoders and encoders, the decoder's
// format negotiation, hardware frames copied back to memory, and the QSV path.
#include "transcoder/HWAccel.h"

#include <exception>

extern "C" {
#include <libavutil/hwcontext_qsv.h>
}

#include "transcoder/Transcoder.h"

namespace corvane {

namespace {

struct THWAccelEntry {
  const char* name;
  int (*init)(AVCodecContext* s);
  THWAccelID id;
  AVPixelFormat pix_fmt;
};

constexpr THWAccelEntry kHWAccels[] = {{"qsv", QsvInit, HWACCEL_QSV, AV_PIX_FMT_QSV}};

const char* DeviceTypeName(AVHWDeviceType type) {
  const char* name = ff::av_hwdevice_get_type_name(type);
  return name ? name : "none";
}

TInputStream& StreamOf(AVCodecContext* s) { return *static_cast<TInputStream*>(s->opaque); }

// The decoder's device-context configuration for a hardware format, or null.
const AVCodecHWConfig* DeviceConfigFor(const AVCodec* codec, AVPixelFormat fmt) {
  for (int i = 0;; ++i) {
    const AVCodecHWConfig* config = ff::avcodec_get_hw_config(codec, i);
    if (!config) return nullptr;
    if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) && config->pix_fmt == fmt)
      return config;
  }
}

const THWAccelEntry* TableEntryFor(AVPixelFormat fmt) {
  for (const THWAccelEntry& entry : kHWAccels)
    if (entry.pix_fmt == fmt) return &entry;
  return nullptr;
}

void ReportInitFailure(const char* name, const TInputStream& ist) {
  FFLogger().Log(nullptr, llFatal,
                 "%s hwaccel requested for input stream #%d:%d, but cannot be initialized.", name,
                 ist.file_index, ist.st ? ist.st->index : -1);
}

enum class TTry { Chosen, Next, Fail };

// One offered hardware format: whether the stream's acceleration takes it.
TTry TryHardwareFormat(AVCodecContext* s, TInputStream& ist, AVPixelFormat fmt) {
  const bool generic = ist.hwaccel_id == HWACCEL_GENERIC || ist.hwaccel_id == HWACCEL_AUTO;
  const AVCodecHWConfig* config = generic && s->codec ? DeviceConfigFor(s->codec, fmt) : nullptr;
  if (config) {
    if (config->device_type != ist.hwaccel_device_type) return TTry::Next;
    if (GenericHwaccelInit(s) >= 0) return TTry::Chosen;
    if (ist.hwaccel_id == HWACCEL_AUTO) return TTry::Next;
    ReportInitFailure(DeviceTypeName(ist.hwaccel_device_type), ist);
    return TTry::Fail;
  }
  const THWAccelEntry* entry = TableEntryFor(fmt);
  if (!entry || entry->id != ist.hwaccel_id) return TTry::Next;
  if (entry->init(s) >= 0) return TTry::Chosen;
  ReportInitFailure(entry->name, ist);
  return TTry::Fail;
}

}  // namespace

AVPixelFormat NegotiateFormat(AVCodecContext* s, const AVPixelFormat* pix_fmts) try {
  TInputStream& ist = StreamOf(s);
  for (const AVPixelFormat* p = pix_fmts; *p != AV_PIX_FMT_NONE; ++p) {
    const AVPixFmtDescriptor* desc = ff::av_pix_fmt_desc_get(*p);
    if (!desc || !(desc->flags & AV_PIX_FMT_FLAG_HWACCEL)) return *p;
    const TTry result = TryHardwareFormat(s, ist, *p);
    if (result == TTry::Fail) return AV_PIX_FMT_NONE;
    if (result == TTry::Next) continue;
    if (ist.hw_frames_ctx) {
      ff::av_buffer_unref(&s->hw_frames_ctx);
      s->hw_frames_ctx = ff::av_buffer_ref(ist.hw_frames_ctx.get());
      if (!s->hw_frames_ctx) return AV_PIX_FMT_NONE;
    }
    ist.hwaccel_pix_fmt = *p;
    return *p;
  }
  return AV_PIX_FMT_NONE;
} catch (const std::exception&) {
  return AV_PIX_FMT_NONE;
}

int AllocateFrameBuffer(AVCodecContext* s, AVFrame* frame, int flags) {
  const TInputStream& ist = StreamOf(s);
  if (ist.hwaccel_get_buffer && frame->format == ist.hwaccel_pix_fmt)
    return ist.hwaccel_get_buffer(s, frame, flags);
  return ff::avcodec_default_get_buffer2(s, frame, flags);
}

int GenericHwaccelInit(AVCodecContext* s) {
  StreamOf(s).hwaccel_retrieve_data = RetrieveHardwareFrame;
  return 0;
}

int RetrieveHardwareFrame(AVCodecContext* s, AVFrame* input) {
  const TInputStream& ist = StreamOf(s);
  if (input->format == ist.hwaccel_output_format) return 0;
  FramePtr output = makeFrame();
  if (!output) return AVERROR(ENOMEM);
  output->format = ist.hwaccel_output_format;
  int err = ff::av_hwframe_transfer_data(output.get(), input, 0);
  if (err < 0) {
    ff::av_log(s, AV_LOG_ERROR, "Failed to transfer data to output frame: %d.\n", err);
    return err;
  }
  err = ff::av_frame_copy_props(output.get(), input);
  if (err < 0) return err;
  ff::av_frame_unref(input);
  ff::av_frame_move_ref(input, output.get());
  return 0;
}

namespace {

int QsvGetBuffer(AVCodecContext* s, AVFrame* frame, int /*flags*/) {
  return ff::av_hwframe_get_buffer(StreamOf(s).hw_frames_ctx.get(), frame, 0);
}

void QsvUninit(AVCodecContext* s) { StreamOf(s).hw_frames_ctx.reset(); }

}  // namespace

int QsvDeviceInit(TInputStream& ist) {
  TDictionary opts;
  if (ist.qsv_device && !ist.qsv_device->empty()) opts.set("child_device", *ist.qsv_device);
  AVBufferRef* ref = nullptr;
  const int err = ff::av_hwdevice_ctx_create(
      &ref, AV_HWDEVICE_TYPE_QSV, ist.hwaccel_device.empty() ? nullptr : ist.hwaccel_device.c_str(),
      opts.get(), 0);
  if (err < 0) {
    ff::av_log(nullptr, AV_LOG_ERROR, "Error creating a QSV device\n");
    return err;
  }
  ist.hw_device_ctx->reset(ref);
  return 0;
}

int QsvInit(AVCodecContext* s) {
  TInputStream& ist = StreamOf(s);
  if (!ist.hw_device_ctx) return AVERROR(EINVAL);
  if (!*ist.hw_device_ctx) {
    const int err = QsvDeviceInit(ist);
    if (err < 0) return err;
  }
  ist.hw_frames_ctx.reset(ff::av_hwframe_ctx_alloc(ist.hw_device_ctx->get()));
  if (!ist.hw_frames_ctx) return AVERROR(ENOMEM);
  auto* frames = reinterpret_cast<AVHWFramesContext*>(ist.hw_frames_ctx->data);
  frames->width = FFALIGN(s->coded_width, 32);
  frames->height = FFALIGN(s->coded_height, 32);
  frames->format = AV_PIX_FMT_QSV;
  frames->sw_format = s->sw_pix_fmt;
  frames->initial_pool_size = 64 + s->extra_hw_frames;
  static_cast<AVQSVFramesContext*>(frames->hwctx)->frame_type =
      MFX_MEMTYPE_VIDEO_MEMORY_DECODER_TARGET;
  const int err = ff::av_hwframe_ctx_init(ist.hw_frames_ctx.get());
  if (err < 0) {
    ff::av_log(nullptr, AV_LOG_ERROR, "Error initializing a QSV frame pool\n");
    return err;
  }
  ist.hwaccel_get_buffer = QsvGetBuffer;
  ist.hwaccel_uninit = QsvUninit;
  return 0;
}

}  // namespace corvane
