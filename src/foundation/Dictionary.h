// An owned library dictionary (AVDictionary), freed through the bound slot.
#pragma once

#include <string>
#include <utility>

#include "foundation/api/avutil.h"

namespace corvane {

class TDictionary {
 public:
  TDictionary() = default;
  // Takes ownership of d.
  explicit TDictionary(AVDictionary* d) : FDict(d) {}
  ~TDictionary() { reset(); }
  TDictionary(const TDictionary& other) { copyFrom(other); }
  TDictionary& operator=(const TDictionary& other) {
    if (this != &other) {
      reset();
      copyFrom(other);
    }
    return *this;
  }
  TDictionary(TDictionary&& other) noexcept : FDict(std::exchange(other.FDict, nullptr)) {}
  TDictionary& operator=(TDictionary&& other) noexcept {
    if (this != &other) {
      reset();
      FDict = std::exchange(other.FDict, nullptr);
    }
    return *this;
  }

  AVDictionary* get() const { return FDict; }
  // For library calls that replace the dictionary (avformat_open_input and the like).
  AVDictionary** address() { return &FDict; }
  AVDictionary* release() { return std::exchange(FDict, nullptr); }
  void reset() {
    if (FDict && ff::av_dict_free) ff::av_dict_free(&FDict);
    FDict = nullptr;
  }

  bool empty() const { return count() == 0; }
  int count() const { return FDict ? ff::av_dict_count(FDict) : 0; }
  int set(const std::string& key, const std::string& value, int flags = 0) {
    return ff::av_dict_set(&FDict, key.c_str(), value.c_str(), flags);
  }
  // Removes the entry.
  int erase(const std::string& key) { return ff::av_dict_set(&FDict, key.c_str(), nullptr, 0); }
  bool contains(const std::string& key) const { return find(key) != nullptr; }
  // The entry's value, or nullptr.
  const char* find(const std::string& key, int flags = AV_DICT_MATCH_CASE) const {
    const AVDictionaryEntry* e =
        FDict ? ff::av_dict_get(FDict, key.c_str(), nullptr, flags) : nullptr;
    return e ? e->value : nullptr;
  }
  std::string value(const std::string& key, const std::string& fallback = {}) const {
    const char* v = find(key);
    return v ? v : fallback;
  }
  // Calls fn(key, value) for each entry in order.
  template <class F>
  void forEach(F&& fn) const {
    const AVDictionaryEntry* e = nullptr;
    while (FDict && (e = ff::av_dict_get(FDict, "", e, AV_DICT_IGNORE_SUFFIX)))
      fn(static_cast<const char*>(e->key), static_cast<const char*>(e->value));
  }

 private:
  void copyFrom(const TDictionary& other) {
    if (other.FDict) ff::av_dict_copy(&FDict, other.FDict, 0);
  }

  AVDictionary* FDict = nullptr;
};

}  // namespace corvane
