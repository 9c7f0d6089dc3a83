// What each kind is made of.
#pragma once

#include <string>

#include "testmedia/TestMedia.h"

namespace corvane::testmedia {

// "testmedia: <kind name>", the head of every error message for the kind.
std::string errorHead(Kind kind);

// Writes `kind` to `path` directly (no temporary name); the libraries are loaded.
void writeKind(Kind kind, const std::string& path);

// Whether writing `kind` needs the media libraries.
bool needsLibraries(Kind kind);

}  // namespace corvane::testmedia
