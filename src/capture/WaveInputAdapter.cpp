#include "capture/WaveInputAdapter.h"

#include <exception>

#include "foundation/Logger.h"

extern "C" {
#include <libavutil/error.h>
}

namespace corvane {
namespace {

// A throwing handler is logged and ends the input with AVERROR_EXTERNAL.
template <class F>
int runHandler(TObject* sender, const char* name, F&& call) {
  try {
    return call();
  } catch (const std::exception& e) {
    FFLogger().Log(sender, llError, "%s handler failed: %s", name, e.what());
  } catch (...) {
    FFLogger().Log(sender, llError, "%s handler failed", name);
  }
  return AVERROR_EXTERNAL;
}

}  // namespace

void TWaveInputAdapter::ReadHeader(TInputWaveInfo* AInfo) {
  FWaveInfo = AInfo;
  if (auto handler = FOnReadHeader.Get())
    runHandler(this, "OnReadHeader", [&] {
      (*handler)(this);
      return 0;
    });
}

int TWaveInputAdapter::ReadWaveData(std::uint8_t* AData, TInputWaveInfo* AInfo) {
  auto handler = FOnReadWaveData.Get();
  if (!handler) return -1;
  return runHandler(this, "OnReadWaveData", [&] { return (*handler)(this, AData, AInfo); });
}

void TWaveInputAdapter::ReadClose(TInputWaveInfo* AInfo) {
  TInputWaveInfo* expected = AInfo;
  FWaveInfo.compare_exchange_strong(expected, nullptr);
  if (auto handler = FOnReadClose.Get())
    runHandler(this, "OnReadClose", [&] {
      (*handler)(this);
      return 0;
    });
}

}  // namespace corvane
