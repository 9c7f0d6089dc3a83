// One transcoding task as an application runs it: configured from option
// strings and run on the caller's thread.
#pragma once

#include <string>

#include "transcoder/Transcoder.h"

namespace corvane::bench {

inline bool runTask(const std::string& in, const std::string& out, const std::string& outOptions,
                    const std::string& inOptions = "") {
  TCustomFFmpeg task;
  auto o = task.NewPerFileOptions();
  const bool opened = task.OpenInputFile(*o, inOptions, "", in) >= 0;
  task.ReleasePerFileOptions(std::move(o));
  o = task.NewPerFileOptions();
  const bool created = opened && task.OpenOutputFile(*o, outOptions, "", out) >= 0;
  task.ReleasePerFileOptions(std::move(o));
  if (!created) return false;
  task.StartConvert(false);
  return task.Finished();
}

}  // namespace corvane::bench
