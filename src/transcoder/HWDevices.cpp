#include "transcoder/HWDevices.h"

#include <algorithm>
#include <new>

#include "foundation/Dictionary.h"
#include "foundation/FilterGraph.h"
#include "foundation/StrFormat.h"
#include "foundation/api/avfilter.h"
#include "foundation/api/avutil.h"

namespace corvane {
namespace {

// Splits "key=value,key=value"; false when a pair has no '=' or no key.
bool valid_device_options(const std::string& text) {
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find(',', start), text.size());
    const std::string pair = text.substr(start, end - start);
    const std::size_t eq = pair.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    start = end + 1;
  }
  return true;
}

int invalid_device_text(const std::string& text, const std::string& reason) {
  ff::av_log(nullptr, AV_LOG_ERROR, "Invalid device specification \"%s\": %s\n", text.c_str(),
             reason.c_str());
  return AVERROR(EINVAL);
}

int creation_failed(int err) {
  ff::av_log(nullptr, AV_LOG_ERROR, "Device creation failed: %d.\n", err);
  return err;
}

}  // namespace

std::optional<TDeviceSpec> ParseDeviceString(const std::string& text, std::string& reason) {
  TDeviceSpec parsed;
  std::size_t pos = text.find_first_of(":=@");
  parsed.type_name = text.substr(0, pos);
  if (pos != std::string::npos && text[pos] == '=') {
    const std::size_t end = text.find_first_of(":@", pos + 1);
    parsed.name = text.substr(pos + 1, end == std::string::npos ? end : end - pos - 1);
    pos = end;
    if (parsed.name->empty()) {
      reason = "parse error";
      return std::nullopt;
    }
  }
  if (pos == std::string::npos) {
    parsed.kind = TDeviceSpec::dsDefault;
  } else if (text[pos] == ':') {
    parsed.kind = TDeviceSpec::dsDevice;
    const std::string rest = text.substr(pos + 1);
    const std::size_t comma = rest.find(',');
    parsed.device = rest.substr(0, comma);
    if (comma != std::string::npos) {
      parsed.options = rest.substr(comma + 1);
      if (!valid_device_options(parsed.options)) {
        reason = "failed to parse options";
        return std::nullopt;
      }
    }
  } else if (text[pos] == '@') {
    parsed.kind = TDeviceSpec::dsDerive;
    parsed.source = text.substr(pos + 1);
    if (parsed.source.empty()) {
      reason = "invalid source device name";
      return std::nullopt;
    }
  } else {
    reason = "parse error";
    return std::nullopt;
  }
  return parsed;
}

THWDevice* THWDeviceList::DeviceByType(AVHWDeviceType type) const {
  THWDevice* found = nullptr;
  for (const auto& d : FDevices) {
    if (d->type_ != type) continue;
    if (found) return nullptr;
    found = d.get();
  }
  return found;
}

THWDevice* THWDeviceList::DeviceByName(const std::string& name) const {
  for (const auto& d : FDevices)
    if (d->name == name) return d.get();
  return nullptr;
}

std::optional<std::string> THWDeviceList::DefaultDeviceName(AVHWDeviceType type) const {
  const char* type_name = ff::av_hwdevice_get_type_name(type);
  if (!type_name) return std::nullopt;
  for (int i = 0; i < 1000; ++i) {
    std::string name = strprintf("%s%d", type_name, i);
    if (!DeviceByName(name)) return name;
  }
  return std::nullopt;
}

THWDevice* THWDeviceList::AddDevice(std::string name, AVHWDeviceType type, BufferRefPtr ref) {
  try {
    auto dev = std::make_unique<THWDevice>();
    dev->name = std::move(name);
    dev->type_ = type;
    dev->device_ref = std::move(ref);
    // A failed growth leaves the vector as it was.
    FDevices.push_back(std::move(dev));
    return FDevices.back().get();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

int THWDeviceList::DeviceFromString(const std::string& text, THWDevice** dev) {
  if (dev) *dev = nullptr;
  std::string reason;
  const std::optional<TDeviceSpec> parsed = ParseDeviceString(text, reason);
  if (!parsed) return invalid_device_text(text, reason);

  const AVHWDeviceType type = ff::av_hwdevice_find_type_by_name(parsed->type_name.c_str());
  if (type == AV_HWDEVICE_TYPE_NONE) return invalid_device_text(text, "unknown device type");

  std::string name;
  if (parsed->name) {
    if (DeviceByName(*parsed->name)) return invalid_device_text(text, "named device already exists");
    name = *parsed->name;
  } else {
    const std::optional<std::string> def = DefaultDeviceName(type);
    if (!def) return AVERROR(ENOMEM);
    name = *def;
  }

  AVBufferRef* ref = nullptr;
  int err = 0;
  if (parsed->kind == TDeviceSpec::dsDerive) {
    THWDevice* src = DeviceByName(parsed->source);
    if (!src) return invalid_device_text(text, "invalid source device name");
    err = ff::av_hwdevice_ctx_create_derived(&ref, type, src->device_ref.get(), 0);
  } else {
    TDictionary options;
    if (!parsed->options.empty() &&
        ff::av_dict_parse_string(options.address(), parsed->options.c_str(), "=", ",", 0) < 0)
      return invalid_device_text(text, "failed to parse options");
    const char* device = parsed->device.empty() ? nullptr : parsed->device.c_str();
    err = ff::av_hwdevice_ctx_create(&ref, type, device, options.get(), 0);
  }
  BufferRefPtr owned(ref);
  if (err < 0) return creation_failed(err);

  THWDevice* added = AddDevice(std::move(name), type, std::move(owned));
  if (!added) return AVERROR(ENOMEM);
  if (dev) *dev = added;
  return 0;
}

int THWDeviceList::DeviceFromType(AVHWDeviceType type, const char* device, THWDevice** dev) {
  if (dev) *dev = nullptr;
  const std::optional<std::string> name = DefaultDeviceName(type);
  if (!name) return AVERROR(ENOMEM);
  AVBufferRef* ref = nullptr;
  const int err = ff::av_hwdevice_ctx_create(&ref, type, device, nullptr, 0);
  BufferRefPtr owned(ref);
  if (err < 0) return creation_failed(err);
  THWDevice* added = AddDevice(*name, type, std::move(owned));
  if (!added) return AVERROR(ENOMEM);
  if (dev) *dev = added;
  return 0;
}

void THWDeviceList::FreeAllDevices() { FDevices.clear(); }

int THWDeviceList::SetupFilterDevice(AVFilterGraph* graph, THWDevice* filter_device) const {
  const THWDevice* device = filter_device;
  if (!device && FDevices.size() == 1) device = FDevices.front().get();
  if (!device || !graph) return 0;
  return filters::attach_hw_device(graph, device->device_ref.get());
}

}  // namespace corvane
