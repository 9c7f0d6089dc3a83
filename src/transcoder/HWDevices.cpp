// Not built yet: replaced by the hardware device work.
#include "transcoder/HWDevices.h"
namespace corvane {
std::optional<TDeviceSpec> ParseDeviceString(const std::string&, std::string& reason) {
  reason = "not built";
  return std::nullopt;
}
THWDevice* THWDeviceList::DeviceByType(AVHWDeviceType) const { return nullptr; }
THWDevice* THWDeviceList::DeviceByName(const std::string&) const { return nullptr; }
std::optional<std::string> THWDeviceList::DefaultDeviceName(AVHWDeviceType) const { return {}; }
int THWDeviceList::DeviceFromString(const std::string&, THWDevice**) { return AVERROR(ENOSYS); }
int THWDeviceList::DeviceFromType(AVHWDeviceType, const char*, THWDevice**) {
  return AVERROR(ENOSYS);
}
void THWDeviceList::FreeAllDevices() { FDevices.clear(); }
int THWDeviceList::SetupFilterDevice(AVFilterGraph*, THWDevice*) const { return 0; }
}  // namespace corvane
