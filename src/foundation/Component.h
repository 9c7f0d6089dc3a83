// Minimal object and component model shared by every component.
#pragma once

#include <string>

namespace corvane {

class TComponent;

// Anything that can be the sender of a log message or an event.
class TObject {
 public:
  virtual ~TObject() = default;
  virtual const char* ClassName() const { return "TObject"; }
  // The component on whose behalf this object works (an encoder task's
  // encoder, for example), or null.
  virtual TComponent* ParentComponent() const { return nullptr; }
};

// An object with an owner and a name. The owner does not own its lifetime:
// C++ owners hold their components as members or smart pointers.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner = nullptr) : FOwner(AOwner) {}
  const char* ClassName() const override { return "TComponent"; }
  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(std::string AName) { FName = std::move(AName); }
  // Components are never edited at design time here.
  bool Designing() const { return false; }

 private:
  TComponent* FOwner;
  std::string FName;
};

}  // namespace corvane
