// The capture adapters' notification events.
#pragma once

#include <functional>

namespace corvane {

class TObject;

// OnReadHeader, OnReadClose.
using TCaptureNotifyEvent = std::function<void(TObject* Sender)>;

}  // namespace corvane
