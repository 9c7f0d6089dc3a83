// Owned handle of a dynamically loaded module.
#pragma once

#include <string>

namespace corvane {

class DynLib {
 public:
  struct Error {
    int code = 0;  // errno-style: ENOENT when the file is missing, else ENOEXEC
    std::string text;
  };

  DynLib() = default;
  ~DynLib() { reset(); }
  DynLib(DynLib&& o) noexcept : handle_(o.handle_) { o.handle_ = nullptr; }
  DynLib& operator=(DynLib&& o) noexcept;
  DynLib(const DynLib&) = delete;
  DynLib& operator=(const DynLib&) = delete;

  // Opens `file` (a path, or a bare name for the system's search).
  static DynLib open(const std::string& file, Error* error);
  // Returns the module if `file` is already mapped in the process, else empty.
  static DynLib openIfLoaded(const std::string& file);

  explicit operator bool() const { return handle_ != nullptr; }
  void* handle() const { return handle_; }
  // Address of an exported symbol, or null with the system's text in *error.
  void* symbol(const char* name, std::string* error) const;
  // Keeps the module mapped after its last close, so that code still running
  // in it (library threads, callbacks) never meets unmapped memory.
  void keepMapped(const std::string& file) const;
  void reset();

 private:
  explicit DynLib(void* h) : handle_(h) {}
  void* handle_ = nullptr;
};

}  // namespace corvane
