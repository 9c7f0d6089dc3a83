#include "foundation/BaseComponent.h"

#include <atomic>
#include <cfenv>

namespace corvane {
namespace {

// Exception traps enabled at process start (glibc: none by default).
const int gStartupExcept = fegetexcept();
std::atomic<int> gFPUDisableCount{0};

}  // namespace

void TFFBaseComponent::DisableFPUExceptions() {
  if (++gFPUDisableCount == 1) {
    fedisableexcept(FE_ALL_EXCEPT);
    std::feclearexcept(FE_ALL_EXCEPT);
  }
}

void TFFBaseComponent::RestoreFPUExceptions() {
  int count = gFPUDisableCount.load();
  while (count > 0 && !gFPUDisableCount.compare_exchange_weak(count, count - 1)) {
  }
  if (count == 1) {
    fedisableexcept(FE_ALL_EXCEPT);
    std::feclearexcept(FE_ALL_EXCEPT);
    feenableexcept(gStartupExcept);
  }
}

bool TFFBaseComponent::FPUExceptionsDisabled() { return gFPUDisableCount > 0; }

}  // namespace corvane
