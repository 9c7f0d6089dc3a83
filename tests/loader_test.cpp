#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cfenv>
#include <filesystem>
#include <string>

#include "foundation/BaseComponent.h"
#include "foundation/Errors.h"
#include "foundation/FFLoader.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avutil.h"
#include "foundation/api/swscale.h"

namespace fs = std::filesystem;
using namespace corvane;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

// Each test runs in its own process, so the loader starts empty.
class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("corvane-loader-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    FFLoader().UnloadAll();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Directory of the system's copy of a library, found through the loader itself.
  static std::string systemDir() {
    Dl_info info{};
    DynLib::Error err;
    DynLib probe = DynLib::open(libraryItem(avUtil).DefaultFile, &err);
    void* sym = probe.symbol("avutil_version", nullptr);
    EXPECT_NE(dladdr(sym, &info), 0);
    return fs::path(info.dli_fname).parent_path().string();
  }

  static std::string loadedFrom(const void* fn) {
    Dl_info info{};
    return dladdr(fn, &info) != 0 ? std::string(info.dli_fname) : std::string();
  }

  fs::path dir_;
};

const std::string kFakeDir = CORVANE_FAKE_LIB_DIR;

TEST_F(LoaderTest, LoadsPlayerSetBySonameAndReportsMatchingVersions) {
  ASSERT_TRUE(FFLoader().Load(kPlayerLibraries)) << FFLoader().LastErrMsg();
  EXPECT_TRUE(FFLoader().Loaded(kPlayerLibraries));
  for (TLibrary lib : {avUtil, swScale, swResample, avCodec, avFormat, avFilter, avDevice}) {
    EXPECT_EQ(FFLoader().GetLibFileVer(lib) >> 16, TFFLoader::GetLibBuildVer(lib) >> 16)
        << libraryItem(lib).Name;
  }
  EXPECT_THAT(FFLoader().GetLibLicense(avCodec), HasSubstr("GPL"));
  EXPECT_FALSE(FFLoader().GetLibConfiguration(avFormat).empty());
  EXPECT_EQ(FFLoader().GetLibLicense(SDL2), "");
}

TEST_F(LoaderTest, VersionTexts) {
  EXPECT_EQ(TFFLoader::GetLibBuildVerStr(avCodec), AV_STRINGIFY(LIBAVCODEC_VERSION));
  EXPECT_EQ(TFFLoader::GetLibBuildVer(avUtil), LIBAVUTIL_VERSION_INT);
  EXPECT_EQ(TFFLoader::GetLibBuildVerStr(SDL2), "N/A");
  EXPECT_EQ(TFFLoader::GetLibBuildVer(libMFX), -1);
  try {
    FFLoader().GetLibFileVerStr(avCodec);
    FAIL() << "file version without libraries";
  } catch (const ELibraryError& e) {
    EXPECT_STREQ(e.what(), "Library avutil not loaded.");
  }
  ASSERT_TRUE(FFLoader().Load(kEncoderLibraries));
  EXPECT_EQ(FFLoader().GetLibFileVerStr(myUtil), "N/A");
  EXPECT_THAT(FFLoader().GetLibFileVerStr(avCodec),
              StartsWith(AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR) "."));
}

TEST_F(LoaderTest, LibraryDirectoryIsPreferredOverSystemSearch) {
  const std::string sys = systemDir();
  for (TLibrary lib : {avUtil, swScale})
    fs::create_symlink(fs::path(sys) / libraryItem(lib).DefaultFile,
                       dir_ / libraryItem(lib).DefaultFile);
  // A file named like the C runtime must never be taken from the directory.
  {
    std::FILE* f = std::fopen((dir_ / "libc.so.6").c_str(), "w");
    std::fputs("junk", f);
    std::fclose(f);
  }

  FFLoader().SetLibraryPath(dir_.string());
  ASSERT_TRUE(FFLoader().Load(TLibraries{avUtil, swScale, myUtil})) << FFLoader().LastErrMsg();
  EXPECT_EQ(loadedFrom(reinterpret_cast<void*>(ff::avutil_version)),
            (dir_ / "libavutil.so.57").string());
  EXPECT_EQ(loadedFrom(reinterpret_cast<void*>(ff::swscale_version)),
            (dir_ / libraryItem(swScale).DefaultFile).string());

  // Not in the directory: found by soname.
  ASSERT_TRUE(FFLoader().Load(swResample)) << FFLoader().LastErrMsg();
  EXPECT_TRUE(FFLoader().Loaded(swResample));
}

TEST_F(LoaderTest, ExplicitFileNameIsUsedVerbatim) {
  const std::string sys = systemDir();
  const std::string explicitPath = sys + "/" + libraryItem(avUtil).DefaultFile;
  fs::create_symlink(explicitPath, dir_ / libraryItem(avUtil).DefaultFile);
  FFLoader().SetLibraryPath(dir_.string());
  FFLoader().SetLibraryName(avUtil, explicitPath);
  EXPECT_EQ(FFLoader().LibraryNames(avUtil), explicitPath);
  ASSERT_TRUE(FFLoader().Load(avUtil)) << FFLoader().LastErrMsg();
  EXPECT_EQ(loadedFrom(reinterpret_cast<void*>(ff::avutil_version)), explicitPath);

  // A missing explicit file is not replaced by the system's copy.
  FFLoader().SetLibraryName(swScale, (dir_ / "nothere.so").string());
  EXPECT_FALSE(FFLoader().Load(swScale));
  EXPECT_THAT(FFLoader().LastErrMsg(),
              StartsWith("Load library " + (dir_ / "nothere.so").string() + " error(#2): "));
}

TEST_F(LoaderTest, FailedSetUnloadsOnlyWhatThatCallLoaded) {
  ASSERT_TRUE(FFLoader().Load(avUtil));  // another component's load
  FFLoader().SetLibraryName(avFormat, (dir_ / "missing.so").string());
  EXPECT_FALSE(FFLoader().Load(kDecoderLibraries));
  EXPECT_THAT(FFLoader().LastErrMsg(), HasSubstr((dir_ / "missing.so").string()));
  EXPECT_TRUE(FFLoader().Loaded(avUtil));
  EXPECT_NE(ff::av_log, nullptr);
  for (TLibrary lib : {swScale, swResample, avCodec, avFormat, avFilter, myUtil})
    EXPECT_FALSE(FFLoader().Loaded(lib)) << libraryItem(lib).Name;
  EXPECT_EQ(ff::avcodec_version, nullptr);
}

TEST_F(LoaderTest, LoadsAreCountedPerLibrary) {
  ASSERT_TRUE(FFLoader().Load(kDecoderLibraries));
  ASSERT_TRUE(FFLoader().Load(kEncoderLibraries));
  FFLoader().Unload(kDecoderLibraries);
  EXPECT_TRUE(FFLoader().Loaded(kEncoderLibraries));
  FFLoader().Unload(kEncoderLibraries);
  EXPECT_FALSE(FFLoader().Loaded(avUtil));
  EXPECT_EQ(ff::avutil_version, nullptr);
  // Renaming forces the library out whatever its count.
  ASSERT_TRUE(FFLoader().Load(avUtil));
  ASSERT_TRUE(FFLoader().Load(avUtil));
  FFLoader().SetLibraryName(avUtil, "");
  EXPECT_FALSE(FFLoader().Loaded(avUtil));
}

TEST_F(LoaderTest, MissingRequiredExportLeavesNothingLoaded) {
  const std::string fake = kFakeDir + "/libfake_swscale_noexport.so";
  FFLoader().SetLibraryName(swScale, fake);
  EXPECT_FALSE(FFLoader().Load(swScale));
  EXPECT_THAT(FFLoader().LastErrMsg(),
              StartsWith("Load function sws_isSupportedOutput@" + fake + " error: "));
  EXPECT_FALSE(FFLoader().Loaded(swScale));
  EXPECT_EQ(ff::swscale_version, nullptr);
  EXPECT_EQ(ff::sws_isSupportedInput, nullptr);
  EXPECT_EQ(dlopen(fake.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST_F(LoaderTest, OtherMajorVersionIsRefused) {
  const std::string fake = kFakeDir + "/libfake_swscale_major.so";
  FFLoader().SetLibraryName(swScale, fake);
  EXPECT_FALSE(FFLoader().Load(swScale));
  EXPECT_THAT(FFLoader().LastErrMsg(),
              HasSubstr("major version " AV_STRINGIFY(LIBSWSCALE_VERSION_MAJOR) " is required"));
  EXPECT_EQ(ff::sws_isSupportedOutput, nullptr);
  EXPECT_EQ(dlopen(fake.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST_F(LoaderTest, CheckLibAVNamesFirstMissingLibraryAndEmptySetsAreMisuse) {
  ASSERT_TRUE(FFLoader().Load(TLibraries{avUtil, swScale}));
  try {
    FFLoader().CheckLibAV(kPlayerLibraries);
    FAIL();
  } catch (const ELibraryError& e) {
    EXPECT_STREQ(e.what(), "Library swresample not loaded.");
  }
  EXPECT_NO_THROW(FFLoader().CheckLibAV(TLibraries{avUtil, swScale}));
  try {
    FFLoader().Load(TLibraries{});
    FAIL();
  } catch (const EAssertionFailed& e) {
    EXPECT_THAT(e.what(), HasSubstr("src/foundation/FFLoader.cpp, line "));
  }
}

TEST(FPUExceptions, MaskingIsCounted) {
  EXPECT_FALSE(TFFBaseComponent::FPUExceptionsDisabled());
  feenableexcept(FE_DIVBYZERO);  // stand-in for a host that traps; restored below
  TFFBaseComponent::DisableFPUExceptions();
  TFFBaseComponent::DisableFPUExceptions();
  EXPECT_EQ(fegetexcept(), 0);
  TFFBaseComponent::RestoreFPUExceptions();
  EXPECT_TRUE(TFFBaseComponent::FPUExceptionsDisabled());
  EXPECT_EQ(fegetexcept(), 0);
  TFFBaseComponent::RestoreFPUExceptions();
  EXPECT_FALSE(TFFBaseComponent::FPUExceptionsDisabled());
  EXPECT_EQ(fegetexcept(), 0) << "the start-up mask, not the one before masking";
  TFFBaseComponent::RestoreFPUExceptions();  // below zero: nothing happens
  TFFBaseComponent::DisableFPUExceptions();
  EXPECT_TRUE(TFFBaseComponent::FPUExceptionsDisabled());
  TFFBaseComponent::RestoreFPUExceptions();
  fedisableexcept(FE_ALL_EXCEPT);
}

}  // namespace
