// Process-wide loader of the media libraries.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/DynLib.h"
#include "foundation/Library.h"

namespace corvane {

// Fixed description of one library.
struct TLibraryItem {
  TLibrary Lib;
  const char* Name;         // base name, used in messages ("avformat")
  bool SysLib;              // never taken from the library directory
  int Version;              // major version of the file, -1 for none
  const char* DefaultFile;  // file name loaded by default (a soname)
};

const TLibraryItem& libraryItem(TLibrary lib);

class TFFLoader {
 public:
  TFFLoader();
  ~TFFLoader();
  TFFLoader(const TFFLoader&) = delete;
  TFFLoader& operator=(const TFFLoader&) = delete;

  bool Load(TLibrary ALibrary);
  bool Load(TLibraries ALibraries);
  bool Loaded(TLibrary ALibrary) const;
  bool Loaded(TLibraries ALibraries) const;
  // Throws ELibraryError "Library %s not loaded." for the first library missing.
  void CheckLibAV(TLibraries ALibraries) const;
  // Releases one load of the library; it is unloaded when no load remains.
  void Unload(TLibrary ALibrary);
  void Unload(TLibraries ALibraries);
  // Unloads every library regardless of outstanding loads (process end).
  void UnloadAll();

  static std::int32_t GetLibBuildVer(TLibrary ALibrary);
  static std::string GetLibBuildVerStr(TLibrary ALibrary);
  std::int32_t GetLibFileVer(TLibrary ALibrary) const;
  std::string GetLibFileVerStr(TLibrary ALibrary) const;
  std::string GetLibLicense(TLibrary ALibrary) const;
  std::string GetLibConfiguration(TLibrary ALibrary) const;

  // Capability listings: append lines to AList and return a count.
  int GetCodecs(std::vector<std::string>& AList) const;
  int GetDecoders(std::vector<std::string>& AList) const;
  int GetEncoders(std::vector<std::string>& AList) const;
  int GetFormats(std::vector<std::string>& AList) const;
  int GetDemuxers(std::vector<std::string>& AList) const;
  int GetMuxers(std::vector<std::string>& AList) const;
  int GetDevices(std::vector<std::string>& AList) const;
  int GetFilters(std::vector<std::string>& AList) const;
  int GetProtocols(std::vector<std::string>& AList) const;
  int GetLayouts(std::vector<std::string>& AList) const;
  int GetPixFmts(std::vector<std::string>& AList) const;
  int GetSampleFmts(std::vector<std::string>& AList) const;

  // Effective file name: the name set by the application, else the default.
  std::string LibraryNames(TLibrary ALibrary) const;
  // Unloads the library, then stores the name ("" restores the default).
  void SetLibraryName(TLibrary ALibrary, const std::string& AValue);
  std::string LastErrMsg() const;
  std::string LibraryPath() const;
  void SetLibraryPath(const std::string& APath);
  bool InstallLogger() const { return FInstallLogger; }
  void SetInstallLogger(bool AValue) { FInstallLogger = AValue; }

 private:
  struct TLibraryStatus {
    std::string Name;  // application-set file name, empty for the default
    DynLib Handle;
    std::string Path;  // what the handle was opened from
    bool Fixuped = false;
    int Loads = 0;  // successful Load calls not yet matched by Unload
  };

  bool loadLocked(TLibrary lib);
  bool loadedLocked(TLibrary lib) const;
  void unloadLocked(TLibrary lib);
  std::string libraryNameLocked(TLibrary lib) const;

  mutable std::mutex FLock;
  std::array<TLibraryStatus, kLibraryCount> FStatus;
  std::string FLastErrMsg;
  std::string FLibraryPath;
  bool FInstallLogger = true;
};

// The process-wide loader.
TFFLoader& FFLoader();

}  // namespace corvane
