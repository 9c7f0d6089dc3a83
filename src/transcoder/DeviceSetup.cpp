// Hardware devices for a decoder (before it opens) and for an encoder.
#include "transcoder/Transcoder.h"

namespace corvane {

namespace {

const char* DeviceTypeName(AVHWDeviceType type) {
  const char* name = ff::av_hwdevice_get_type_name(type);
  return name ? name : "none";
}

// The i-th device-context configuration of the codec, or null past the end.
template <class F>
void ForEachDeviceConfig(const AVCodec* codec, F&& fn) {
  for (int i = 0;; ++i) {
    const AVCodecHWConfig* config = ff::avcodec_get_hw_config(codec, i);
    if (!config) return;
    if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) && fn(*config)) return;
  }
}

// Automatic choice: an existing device of a type the decoder supports, else a
// new one of the first type that can be created; nullptr disables it.
THWDevice* AutoDevice(THWDeviceList& devices, TInputStream& ist) {
  if (!ff::avcodec_get_hw_config(ist.avdec, 0)) return nullptr;
  THWDevice* dev = nullptr;
  ForEachDeviceConfig(ist.avdec, [&](const AVCodecHWConfig& config) {
    dev = devices.DeviceByType(config.device_type);
    if (dev)
      ff::av_log(nullptr, AV_LOG_INFO, "Using auto hwaccel type %s with existing device %s.\n",
                 DeviceTypeName(config.device_type), dev->name.c_str());
    return dev != nullptr;
  });
  const char* text = ist.hwaccel_device.empty() ? nullptr : ist.hwaccel_device.c_str();
  if (!dev)
    ForEachDeviceConfig(ist.avdec, [&](const AVCodecHWConfig& config) {
      if (devices.DeviceFromType(config.device_type, text, &dev) < 0 || !dev) return false;
      if (text)
        ff::av_log(nullptr, AV_LOG_INFO,
                   "Using auto hwaccel type %s with new device created from %s.\n",
                   DeviceTypeName(config.device_type), text);
      else
        ff::av_log(nullptr, AV_LOG_INFO, "Using auto hwaccel type %s with new default device.\n",
                   DeviceTypeName(config.device_type));
      return true;
    });
  if (!dev) {
    ff::av_log(nullptr, AV_LOG_INFO, "Auto hwaccel disabled: no device found.\n");
    ist.hwaccel_id = HWACCEL_NONE;
    return nullptr;
  }
  ist.hwaccel_device_type = dev->type_;
  return dev;
}

// The device named by -hwaccel_device; returns 0 or a code, dev may stay null.
int NamedDevice(THWDeviceList& devices, TInputStream& ist, THWDevice*& dev, bool& automatic) {
  dev = devices.DeviceByName(ist.hwaccel_device);
  if (!dev) {
    if (ist.hwaccel_id == HWACCEL_AUTO) automatic = true;
    if (ist.hwaccel_id == HWACCEL_GENERIC)
      return devices.DeviceFromType(ist.hwaccel_device_type, ist.hwaccel_device.c_str(), &dev);
    return 0;
  }
  if (ist.hwaccel_id == HWACCEL_AUTO) {
    ist.hwaccel_device_type = dev->type_;
  } else if (ist.hwaccel_device_type != dev->type_) {
    ff::av_log(nullptr, AV_LOG_ERROR,
               "Invalid hwaccel device specified for decoder: device %s of type %s is not usable "
               "with hwaccel %s.\n",
               dev->name.c_str(), DeviceTypeName(dev->type_),
               DeviceTypeName(ist.hwaccel_device_type));
    return AVERROR(EINVAL);
  }
  return 0;
}

// Without a name: by type for a generic acceleration, else any existing
// device the decoder can use.
int UnnamedDevice(THWDeviceList& devices, TInputStream& ist, THWDevice*& dev, bool& automatic) {
  if (ist.hwaccel_id == HWACCEL_AUTO) {
    automatic = true;
    return 0;
  }
  if (ist.hwaccel_id == HWACCEL_GENERIC) {
    dev = devices.DeviceByType(ist.hwaccel_device_type);
    return dev ? 0 : devices.DeviceFromType(ist.hwaccel_device_type, nullptr, &dev);
  }
  ForEachDeviceConfig(ist.avdec, [&](const AVCodecHWConfig& config) {
    dev = devices.DeviceByType(config.device_type);
    return dev != nullptr;
  });
  return 0;
}

}  // namespace

int TCustomFFmpeg::SetupDecoderDevice(TInputStream& ist) {
  THWDevice* dev = nullptr;
  bool automatic = false;
  const bool named = !ist.hwaccel_device.empty();
  const int err = named ? NamedDevice(FHWDevices, ist, dev, automatic)
                        : UnnamedDevice(FHWDevices, ist, dev, automatic);
  if (err < 0 && dev) return err;  // a named device of the wrong type
  if (automatic && !(dev = AutoDevice(FHWDevices, ist))) return 0;
  if (!dev) {
    if (err == 0) return 0;  // nothing required
    ff::av_log(nullptr, AV_LOG_ERROR,
               "No device available for decoder: device type %s needed for codec %s.\n",
               DeviceTypeName(ist.hwaccel_device_type), ist.avdec->name);
    return err;
  }
  ff::av_buffer_unref(&ist.dec_ctx->hw_device_ctx);
  ist.dec_ctx->hw_device_ctx = ff::av_buffer_ref(dev->device_ref.get());
  return ist.dec_ctx->hw_device_ctx ? 0 : AVERROR(ENOMEM);
}

int TCustomFFmpeg::SetupEncoderDevice(TOutputStream& ost) {
  AVCodecContext* enc = ost.enc_ctx.get();
  AVBufferRef* frames = nullptr;
  AVFilterContext* sink = ost.filter ? ost.filter->filter : nullptr;
  if (sink && ff::av_buffersink_get_format(sink) == enc->pix_fmt)
    frames = ff::av_buffersink_get_hw_frames_ctx(sink);
  THWDevice* dev = nullptr;
  for (int i = 0;; ++i) {
    const AVCodecHWConfig* config = ff::avcodec_get_hw_config(ost.enc, i);
    if (!config) break;
    if (frames && (config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_FRAMES_CTX) &&
        (config->pix_fmt == AV_PIX_FMT_NONE || config->pix_fmt == enc->pix_fmt)) {
      const char* name = ff::av_get_pix_fmt_name(enc->pix_fmt);
      ff::av_log(enc, AV_LOG_VERBOSE, "Using input frames context (format %s) with %s encoder.\n",
                 name ? name : "none", ost.enc->name);
      enc->hw_frames_ctx = ff::av_buffer_ref(frames);
      return enc->hw_frames_ctx ? 0 : AVERROR(ENOMEM);
    }
    if (!dev && (config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX))
      dev = FHWDevices.DeviceByType(config->device_type);
  }
  if (!dev) return 0;
  ff::av_log(enc, AV_LOG_VERBOSE, "Using device %s (type %s) with %s encoder.\n", dev->name.c_str(),
             DeviceTypeName(dev->type_), ost.enc->name);
  enc->hw_device_ctx = ff::av_buffer_ref(dev->device_ref.get());
  return enc->hw_device_ctx ? 0 : AVERROR(ENOMEM);
}

}  // namespace corvane
