// Named hardware device contexts of one transcoding engine.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/AVHandles.h"

namespace corvane {

struct THWDevice {
  std::string name;
  AVHWDeviceType type_ = AV_HWDEVICE_TYPE_NONE;
  BufferRefPtr device_ref;
};

// A device string taken apart:
//   TYPE[=NAME][:DEVICE[,KEY=VALUE...]] or TYPE[=NAME]@SOURCE
struct TDeviceSpec {
  enum Kind { dsDefault, dsDevice, dsDerive };
  std::string type_name;
  std::optional<std::string> name;  // none: the type's default name
  Kind kind = dsDefault;
  std::string device;   // dsDevice; empty means none
  std::string options;  // dsDevice: "key=value,key=value"
  std::string source;   // dsDerive: name of the device to derive from
};

// Parses the syntax only (no library calls). On failure returns none and
// puts the reason ("parse error", ...) into reason.
std::optional<TDeviceSpec> ParseDeviceString(const std::string& text, std::string& reason);

// The devices of one engine. Used from the engine's configuring thread and
// then its task thread, never from two threads at once.
class THWDeviceList {
 public:
  THWDeviceList() = default;
  THWDeviceList(const THWDeviceList&) = delete;
  THWDeviceList& operator=(const THWDeviceList&) = delete;

  // The only device of the type; nullptr when there is none or several.
  THWDevice* DeviceByType(AVHWDeviceType type) const;
  THWDevice* DeviceByName(const std::string& name) const;
  // "<type name><n>" with the smallest n in 0..999 not in use; none when all are.
  std::optional<std::string> DefaultDeviceName(AVHWDeviceType type) const;
  // 0 and the new device in *dev, or a negative code (logged).
  int DeviceFromString(const std::string& text, THWDevice** dev);
  int DeviceFromType(AVHWDeviceType type, const char* device, THWDevice** dev);
  void FreeAllDevices();
  // Gives every filter of a configured graph a reference to filter_device, or,
  // without one, to the only device of the list; 0 when there is no device.
  int SetupFilterDevice(AVFilterGraph* graph, THWDevice* filter_device) const;

  // Appends a device; nullptr (and the list unchanged) when memory runs out.
  THWDevice* AddDevice(std::string name, AVHWDeviceType type, BufferRefPtr ref);

  int count() const { return static_cast<int>(FDevices.size()); }

 private:
  std::vector<std::unique_ptr<THWDevice>> FDevices;
};

}  // namespace corvane
