// Shared by the transcoder tests: the encoder's libraries loaded, a scratch
// directory, log capture, and opening files through a fresh engine.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "foundation/FFLoader.h"
#include "foundation/Logger.h"
#include "foundation/api/avdevice.h"
#include "support/LogCapture.h"
#include "transcoder/Transcoder.h"

namespace corvane::testrig {

class TranscoderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().Load(kEncoderLibraries)) << FFLoader().LastErrMsg();
    ff::avdevice_register_all();
  }

  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("corvane-tc-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    FFLogger().SetSynchronous(true);
    FFLogger().SetLogLevel(llDebug);
    FFLogger().SetOnLog(log_.handler());
  }
  void TearDown() override {
    FFLogger().SetOnLog(nullptr);
    FFLogger().SetLogLevel(llInfo);
    std::filesystem::remove_all(dir_);
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // Opens an input with a fresh record; the index, or a negative code.
  int openInput(const std::string& options, const std::string& file) {
    auto o = engine_->NewPerFileOptions();
    const int ret = engine_->OpenInputFile(*o, options, "", file);
    engine_->ReleasePerFileOptions(std::move(o));
    return ret;
  }
  int openOutput(const std::string& options, const std::string& file) {
    auto o = engine_->NewPerFileOptions();
    const int ret = engine_->OpenOutputFile(*o, options, "", file);
    engine_->ReleasePerFileOptions(std::move(o));
    return ret;
  }

  // Whether a delivered log line contains text.
  bool logged(const std::string& text) const {
    for (const std::string& b : log_.bodies())
      if (b.find(text) != std::string::npos) return true;
    return false;
  }

  // Replaces the engine with a runnable task and returns it.
  TCustomFFmpeg& newTask() {
    auto task = std::make_unique<TCustomFFmpeg>();
    TCustomFFmpeg& t = *task;
    engine_ = std::move(task);
    return t;
  }

  std::filesystem::path dir_;
  testlog::LogCapture log_;
  std::unique_ptr<TCustomFFmpegOpt> engine_ = std::make_unique<TCustomFFmpegOpt>();
};

}  // namespace corvane::testrig
