// Common base of every media component.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/Component.h"

namespace corvane {

class TFFBaseComponent : public TComponent {
 public:
  explicit TFFBaseComponent(TComponent* AOwner = nullptr) : TComponent(AOwner) {}
  const char* ClassName() const override { return "TFFBaseComponent"; }

  const std::string& About() const { return FAbout; }
  void SetAbout(std::string AValue) { FAbout = std::move(AValue); }
  const std::string& Version() const { return FVersion; }
  const std::string& Edition() const { return FEdition; }

  std::int32_t ReadTimeout() const { return FReadTimeout; }
  virtual void SetReadTimeout(std::int32_t AValue) { FReadTimeout = AValue; }
  std::int32_t WriteTimeout() const { return FWriteTimeout; }
  virtual void SetWriteTimeout(std::int32_t AValue) { FWriteTimeout = AValue; }

  // Counted, process-wide masking of floating-point exceptions for the
  // media libraries; the mask of process start is restored at count 0.
  static void DisableFPUExceptions();
  static void RestoreFPUExceptions();
  static bool FPUExceptionsDisabled();

 private:
  std::string FAbout;
  std::string FVersion = "7.8";
  std::string FEdition = "Corvane Open Edition";
  std::int32_t FReadTimeout = 30000;
  std::int32_t FWriteTimeout = 30000;
};

}  // namespace corvane
