#include "foundation/DynLib.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>

namespace corvane {

DynLib& DynLib::operator=(DynLib&& o) noexcept {
  if (this != &o) {
    reset();
    handle_ = o.handle_;
    o.handle_ = nullptr;
  }
  return *this;
}

DynLib DynLib::open(const std::string& file, Error* error) {
  dlerror();
  void* h = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h && error) {
    const char* text = dlerror();
    error->text = text ? text : "unknown error";
    bool missing;
    if (file.find('/') != std::string::npos) {
      struct stat st {};
      missing = ::stat(file.c_str(), &st) != 0;
    } else {
      missing = error->text.find("No such file") != std::string::npos;
    }
    error->code = missing ? ENOENT : ENOEXEC;
  }
  return DynLib(h);
}

DynLib DynLib::openIfLoaded(const std::string& file) {
  return DynLib(dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD));
}

void* DynLib::symbol(const char* name, std::string* error) const {
  dlerror();
  void* p = handle_ ? dlsym(handle_, name) : nullptr;
  if (!p && error) {
    const char* text = dlerror();
    *error = text ? text : "module not loaded";
  }
  return p;
}

void DynLib::keepMapped(const std::string& file) const {
  if (!handle_) return;
  // Reopening a mapped module with RTLD_NODELETE marks it; drop the extra reference.
  if (void* again = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(again);
}

void DynLib::reset() {
  if (handle_) {
    dlclose(handle_);
    handle_ = nullptr;
  }
}

}  // namespace corvane
