#include "foundation/AdapterRegistry.h"

#include <charconv>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace corvane {
namespace {

struct Registry {
  std::mutex lock;
  std::uint64_t last_id = 0;
  std::unordered_map<std::uint64_t, TRegisteredObject*> objects;
};

Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

TRegisteredObject::TRegisteredObject() {
  Registry& r = registry();
  std::lock_guard g(r.lock);
  FRegistryId = ++r.last_id;
  r.objects.emplace(FRegistryId, this);
}

// Runs before the weak self-reference is destroyed, so a lookup that still
// sees this entry fails to lock it instead of touching a dead object.
TRegisteredObject::~TRegisteredObject() {
  Registry& r = registry();
  std::lock_guard g(r.lock);
  r.objects.erase(FRegistryId);
}

std::optional<std::uint64_t> parseRegistryId(const char* text) {
  if (!text || !*text) return std::nullopt;
  const char* end = text + std::strlen(text);
  std::uint64_t value = 0;
  const auto [ptr, ec] = std::from_chars(text, end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::shared_ptr<TRegisteredObject> findRegistered(std::uint64_t id) {
  Registry& r = registry();
  std::lock_guard g(r.lock);
  const auto it = r.objects.find(id);
  if (it == r.objects.end()) return nullptr;
  return it->second->weak_from_this().lock();
}

}  // namespace corvane
