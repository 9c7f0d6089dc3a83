// Per-library binding of function slots (the loader's Fixup and Unfix steps).
#pragma once

#include <atomic>
#include <stdexcept>
#include <string>

#include "foundation/Library.h"

namespace corvane {

class DynLib;

// A required export is missing, or the file is of another major version.
class EBindError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Binds every function of `lib` from `module` and runs the library-wide
// set-up step. On failure throws EBindError after clearing the library's
// slots; nothing of the set-up remains.
void fixupLibrary(TLibrary lib, const std::string& fileName, const DynLib& module);

// Undoes the set-up step if it ran, then clears every slot of `lib`.
void unfixLibrary(TLibrary lib);

// The version, licence and configuration slots of one of the seven media
// libraries, with the major version of the headers in use.
struct MediaLibraryInfo {
  unsigned (*const* version)();
  const char* (*const* license)();
  const char* (*const* configuration)();
  int headerMajor;
};

// Null for the libraries after avDevice.
const MediaLibraryInfo* mediaLibraryInfo(TLibrary lib);

// Version id of the bound SoundTouch library, 0 while it is not bound.
int soundTouchVersionId();

// Told after a library's slots were bound and set up (true), and after they
// were cleared (false). Runs under the loader's lock: it must not load or
// unload libraries. One observer per library; null removes it.
using TBindingObserver = void (*)(TLibrary lib, bool bound);
void setBindingObserver(TLibrary lib, TBindingObserver observer);

}  // namespace corvane
