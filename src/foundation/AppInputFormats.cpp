#include "foundation/AppInputFormats.h"

#include <algorithm>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavformat/avformat.h>
}

namespace corvane {
namespace {

struct Registry {
  std::mutex lock;
  std::vector<const AVInputFormat*> formats;
};

Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

void register_app_input_format(const AVInputFormat* format) {
  if (!format) return;
  Registry& r = registry();
  std::lock_guard g(r.lock);
  if (std::find(r.formats.begin(), r.formats.end(), format) == r.formats.end())
    r.formats.push_back(format);
}

const AVInputFormat* find_app_input_format(const char* name) {
  if (!name) return nullptr;
  Registry& r = registry();
  std::lock_guard g(r.lock);
  for (const AVInputFormat* f : r.formats)
    if (f->name && std::strcmp(f->name, name) == 0) return f;
  return nullptr;
}

std::vector<const AVInputFormat*> app_input_formats() {
  Registry& r = registry();
  std::lock_guard g(r.lock);
  return r.formats;
}

}  // namespace corvane
