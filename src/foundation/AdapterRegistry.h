// Live objects that an input names by an opaque id in its file name.
//
// An object registers when it is constructed and leaves the registry when it
// is destroyed. A lookup yields a shared_ptr, so an input that found its
// adapter keeps it alive until the input closes. Only objects owned by a
// shared_ptr (std::make_shared) can be found.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace corvane {

class TRegisteredObject : public std::enable_shared_from_this<TRegisteredObject> {
 public:
  TRegisteredObject();
  virtual ~TRegisteredObject();
  TRegisteredObject(const TRegisteredObject&) = delete;
  TRegisteredObject& operator=(const TRegisteredObject&) = delete;

  // Never 0 and never reused within the process.
  std::uint64_t RegistryId() const { return FRegistryId; }
  // The id as the decimal text an input's file name carries.
  std::string RegistryUrl() const { return std::to_string(FRegistryId); }

 private:
  std::uint64_t FRegistryId;
};

// The whole text as an unsigned decimal number, or nothing.
std::optional<std::uint64_t> parseRegistryId(const char* text);

// The live object with this id, or null (unknown id, destroyed, or not owned
// by a shared_ptr).
std::shared_ptr<TRegisteredObject> findRegistered(std::uint64_t id);

template <class T>
std::shared_ptr<T> findRegisteredAs(std::uint64_t id) {
  return std::dynamic_pointer_cast<T>(findRegistered(id));
}

}  // namespace corvane
