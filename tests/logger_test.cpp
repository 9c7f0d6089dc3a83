#include "foundation/Logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "foundation/Errors.h"
#include "foundation/FFLoader.h"
#include "foundation/UserNotifier.h"
#include "foundation/api/avutil.h"
#include "support/LogCapture.h"

namespace fs = std::filesystem;
using namespace corvane;
using corvane::testlog::avlog;
using corvane::testlog::body;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Synchronous delivery on the logging thread, so every line has arrived when
// the logging call returns.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logger_ = std::make_unique<TFFLogger>();
    logger_->SetSynchronous(true);
    logger_->SetLogLevel(llInfo);
    logger_->SetLogFlags(3);
    logger_->SetLogToFile(false);
    logger_->SetLogFile("");
    logger_->SetOnLog(capture_.handler());
    // Settle the repeat record left by an earlier test in this process.
    static int setups = 0;
    avlog(nullptr, AV_LOG_INFO, "setup %d\n", ++setups);
    capture_.clear();
    dir_ = fs::temp_directory_path() / ("corvane-logger-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    logger_.reset();
    setUserNotifier({});
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  testlog::LogCapture capture_;
  std::unique_ptr<TFFLogger> logger_;
  fs::path dir_;
};

struct AssemblyCase {
  const char* name;
  int flags;
  std::vector<const char*> calls;
  std::vector<std::string> lines;  // bodies without the level name
};

TEST_F(LoggerTest, LibraryTextBecomesLines) {
  const std::vector<AssemblyCase> cases = {
      {"joins calls", 3, {"abc", "def\n"}, {"abcdef"}},
      {"every line of one call", 3, {"a\nb\nc\n"}, {"a", "b", "c"}},
      {"remainder waits for its line end", 3, {"a\nb", "c\n"}, {"a", "bc"}},
      {"CR LF ends a line", 3, {"crlf\r\n"}, {"crlf"}},
      {"control bytes",
       3,
       {"a\x01"
        "b\x07\tc\x0e\x1f"
        "d\x08\x0b\x0c"
        "e\n"},
       {"a?b?\tc??d\x08\x0b\x0c"
        "e"}},
      {"five in a row",
       3,
       {"same\n", "same\n", "same\n", "same\n", "same\n", "other\n"},
       {"same", "same (repeated 4 times)", "other"}},
      {"twice in a row", 3, {"twice\n", "twice\n", "other\n"}, {"twice", "twice", "other"}},
      {"repeats inside one call", 3, {"r\nr\nr\nq\n"}, {"r", "r (repeated 2 times)", "q"}},
      {"no suppression without flag 1", 2, {"dup\n", "dup\n", "dup\n"}, {"dup", "dup", "dup"}},
      {"no level name without flag 2", 1, {"plain\n"}, {"plain"}},
  };
  for (const AssemblyCase& c : cases) {
    SCOPED_TRACE(c.name);
    logger_->SetLogFlags(3);
    avlog(nullptr, AV_LOG_INFO, "case %s\n", c.name);
    logger_->SetLogFlags(c.flags);
    capture_.clear();
    for (const char* text : c.calls) avlog(nullptr, AV_LOG_INFO, "%s", text);
    std::vector<std::string> expected;
    for (const std::string& l : c.lines) expected.push_back((c.flags & 2 ? "[Info] " : "") + l);
    EXPECT_EQ(capture_.bodies(), expected);
  }
}

TEST_F(LoggerTest, LevelFiltersAndEventArguments) {
  TComponent sender;
  avlog(nullptr, AV_LOG_VERBOSE, "verbose\n");
  logger_->Log(&sender, llVerbose, "verbose too");
  avlog(nullptr, AV_LOG_INFO, "info\n");
  logger_->Log(&sender, llWarning, "warning");
  logger_->SetLogLevel(llDebug);
  avlog(nullptr, AV_LOG_VERBOSE, "verbose now\n");

  EXPECT_THAT(capture_.bodies(), ElementsAre("[Info] info", "[TComponent.] [Warning] warning",
                                             "[Verbose] verbose now"));
  const auto e = capture_.entries();
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0].sender, logger_.get());  // library lines come from the logger
  EXPECT_EQ(e[0].level, llInfo);
  EXPECT_EQ(e[1].sender, &sender);
  EXPECT_EQ(e[1].level, llWarning);
  EXPECT_EQ(e[2].level, llVerbose);
  for (const auto& entry : e) EXPECT_EQ(entry.threadId, logger_internal::currentThreadId());
}

TEST_F(LoggerTest, OptLogLevelAcceptsNamesAndNumbers) {
  const std::pair<const char*, TLogLevel> cases[] = {
      {"Debug", llDebug}, {"24", llWarning}, {"QUIET", llQuiet},    {"trace", llTrace},
      {"57", llTrace},    {"-8", llQuiet},   {"-17", llQuiet},      {"0", llPanic},
      {"39", llInfo},     {"1000", llTrace}, {"verbose", llVerbose}};
  for (const auto& [arg, level] : cases) {
    logger_->OptLogLevel(arg);
    EXPECT_EQ(logger_->LogLevel(), level) << arg;
  }
  for (const char* bad : {"", "abc", "12x", "info "})
    EXPECT_THROW(logger_->OptLogLevel(bad), std::invalid_argument) << bad;
  EXPECT_EQ(logger_->LogLevel(), llVerbose);
}

TEST_F(LoggerTest, LongMessagesArriveWhole) {
  std::string big(10 * 1024, ' ');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  avlog(nullptr, AV_LOG_INFO, "<%s>\n", big.c_str());
  logger_->Log(nullptr, llInfo, big.substr(0, 5000));
  EXPECT_THAT(capture_.bodies(),
              ElementsAre("[Info] <" + big + ">", "[Info] " + big.substr(0, 5000)));
}

struct TDemo : TComponent {
  const char* ClassName() const override { return "TDemo"; }
};
struct TTask : TObject {
  explicit TTask(TComponent* p) : parent(p) {}
  const char* ClassName() const override { return "TTask"; }
  TComponent* ParentComponent() const override { return parent; }
  TComponent* parent;
};

// A library context as the libraries lay it out: the class first.
struct FakeContext {
  const AVClass* cls;
  FakeContext* parent;
  const char* name;
};
const char* fakeItemName(void* ctx) { return static_cast<FakeContext*>(ctx)->name; }

TEST_F(LoggerTest, ReporterPrefixes) {
  TDemo demo;
  demo.SetName("Player1");
  TTask task(&demo);
  TTask orphan(nullptr);
  logger_->Log(&demo, llInfo, "component");
  logger_->Log(&task, llInfo, "task");
  logger_->Log(&orphan, llInfo, "object");
  logger_->Log(nullptr, llInfo, "none");

  AVClass child{};
  child.class_name = "child";
  child.item_name = fakeItemName;
  child.parent_log_context_offset = offsetof(FakeContext, parent);
  AVClass root{};
  root.class_name = "root";
  root.item_name = fakeItemName;
  FakeContext parent{&root, nullptr, "demuxer"};
  FakeContext ctx{&child, &parent, "decoder"};
  FakeContext orphanCtx{&child, nullptr, "lone"};
  avlog(&ctx, AV_LOG_INFO, "nested\n");
  avlog(&orphanCtx, AV_LOG_INFO, "lone\n");

  EXPECT_THAT(capture_.bodies(),
              ElementsAre("[TDemo.Player1] [Info] component", "[TDemo.Player1] [Info] task",
                          "[TTask] [Info] object", "[Info] none",
                          strprintf("[demuxer @ %p] [decoder @ %p] [Info] nested",
                                    static_cast<void*>(&parent), static_cast<void*>(&ctx)),
                          strprintf("[lone @ %p] [Info] lone", static_cast<void*>(&orphanCtx))));
}

TEST_F(LoggerTest, FileGetsCrlfLinesAndCanBeCleared) {
  const fs::path file = dir_ / "log.txt";
  std::ofstream(file, std::ios::binary) << "old\r\n";
  logger_->SetOnLog(nullptr);  // the file alone must keep the logger from skipping
  logger_->SetLogFile(file.string());
  logger_->SetLogToFile(true);
  logger_->Log(nullptr, llInfo, "first\nsecond");
  avlog(nullptr, AV_LOG_ERROR, "third\n");

  const std::string text = readFile(file);
  ASSERT_EQ(text.rfind("old\r\n", 0), 0u) << text;  // appended, not replaced
  EXPECT_THAT(text, HasSubstr("[Info] first\r\nsecond\r\n"));
  EXPECT_THAT(text, HasSubstr("[Error] third\r\n"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 4);

  logger_->ClearLogFile();  // open: emptied in place
  EXPECT_EQ(fs::file_size(file), 0u);
  logger_->Log(nullptr, llInfo, "after clear");
  EXPECT_EQ(body(readFile(file)), "[Info] after clear\r\n");

  logger_->SetLogToFile(false);  // closed: removed
  logger_->ClearLogFile();
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(LoggerTest, WriteErrorSwitchesFileOffAndTellsTheUser) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  std::vector<std::pair<std::string, std::string>> notes;
  setUserNotifier([&](const std::string& t, const std::string& m) { notes.emplace_back(t, m); });
  logger_->SetLogFile("/dev/full");
  logger_->SetLogToFile(true);
  logger_->Log(nullptr, llInfo, "lost");
  logger_->Log(nullptr, llInfo, "kept");

  EXPECT_FALSE(logger_->LogToFile());
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].first, "Information");
  EXPECT_THAT(notes[0].second, HasSubstr("/dev/full"));
  EXPECT_THAT(capture_.bodies(), ElementsAre("[Info] lost", "[Info] kept"));
}

TEST(LoggerInstance, OneInstanceReplacesTheAutoCreatedOne) {
  TFFLogger& automatic = FFLogger();
  EXPECT_EQ(&FFLogger(), &automatic);
  {
    TFFLogger logger;
    EXPECT_EQ(&FFLogger(), &logger);
    try {
      TFFLogger second;
      ADD_FAILURE() << "a second logger was created";
    } catch (const EAssertionFailed& e) {
      EXPECT_THAT(e.what(), HasSubstr("Allow creating only one instance of TFFLogger."));
      EXPECT_THAT(e.what(), HasSubstr("src/foundation/Logger.cpp"));
    }
    EXPECT_EQ(&FFLogger(), &logger);
  }
  EXPECT_EQ(&FFLogger(), &automatic);
}

TEST(LoggerInstall, RealLibraryLinesArrive) {
  testlog::LogCapture capture;
  TFFLogger logger;
  logger.SetSynchronous(true);
  logger.SetLogLevel(llInfo);
  logger.SetLogFlags(3);
  logger.SetOnLog(capture.handler());
  ASSERT_TRUE(FFLoader().Load(avUtil)) << FFLoader().LastErrMsg();  // installs the callback
  static int runs = 0;  // a different line on every run in this process
  ff::av_log(nullptr, AV_LOG_WARNING, "from the library %d\n", ++runs);
  ff::av_log(nullptr, AV_LOG_DEBUG, "filtered\n");
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_INFO);
  FFLoader().UnloadAll();
  EXPECT_THAT(capture.bodies(), ElementsAre(strprintf("[Warning] from the library %d", runs)));
}

// Fake library slots for the teardown check.
using LogCallback = void (*)(void*, int, const char*, va_list);
LogCallback gInstalled = nullptr;
void fakeSetCallback(LogCallback cb) { gInstalled = cb; }
void fakeSetInt(int) {}
void fakeDefaultCallback(void*, int, const char*, va_list) {}

void afterLoggerTeardown() {
  if (gInstalled != &fakeDefaultCallback) std::_Exit(3);
  // A library thread logging after the logger's state has gone.
  avlog(nullptr, AV_LOG_ERROR, "late %s\n", "line");
  avlog(nullptr, AV_LOG_ERROR, "pending");
}

TEST(LoggerTeardownDeathTest, RestoresDefaultCallbackAndIgnoresLateCalls) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ff::av_log_set_callback = &fakeSetCallback;
        ff::av_log_set_level = &fakeSetInt;
        ff::av_log_set_flags = &fakeSetInt;
        ff::av_log_default_callback = &fakeDefaultCallback;
        // Registered before the logger's state exists, so it runs after the state is gone.
        std::atexit(afterLoggerTeardown);
        testlog::LogCapture capture;
        FFLogger().InstallAVLogCallback();
        if (gInstalled != logger_internal::avLogCallback()) std::_Exit(2);
        FFLogger().SetOnLog(capture.handler());
        avlog(nullptr, AV_LOG_ERROR, "queued\npending");
        if (!capture.waitFor(1)) std::_Exit(4);
        FFLogger().SetOnLog(nullptr);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
