// The stream forms of the task building calls.
#include "encoder/CustomEncoder.h"

namespace corvane {

int TCustomEncoder::AddTask(const std::shared_ptr<TStream>& AStream,
                            const std::string& APrivateData, TInputOptions* AOptions) {
  if (!AStream) {
    FLastErrMsg = "Invalid stream object";
    return -1;
  }
  return AddTask(MemoryStreamName(*AStream, APrivateData), AOptions);
}

int TCustomEncoder::AddInput(int ATaskIndex, const std::shared_ptr<TStream>& AStream,
                             const std::string& APrivateData, TInputOptions* AOptions) {
  if (!AStream) {
    FLastErrMsg = "Invalid stream object";
    return -1;
  }
  return AddInput(ATaskIndex, MemoryStreamName(*AStream, APrivateData), AOptions);
}

int TCustomEncoder::SetOutput(int ATaskIndex, const std::shared_ptr<TStream>& AStream,
                              const std::string& APrivateData, TOutputOptions* AOptions) {
  if (!AStream) {
    FLastErrMsg = "Invalid stream object";
    return -1;
  }
  return SetOutput(ATaskIndex, MemoryStreamName(*AStream, APrivateData), AOptions);
}

}  // namespace corvane
