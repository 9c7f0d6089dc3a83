#include "foundation/Options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "foundation/AppInputFormats.h"
#include "foundation/ErrorText.h"
#include "foundation/Errors.h"
#include "foundation/FFLoader.h"
#include "foundation/Logger.h"
#include "foundation/OptionString.h"
#include "foundation/OptionValues.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"
#include "foundation/api/swscale.h"

using namespace corvane;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

TEST(SplitOptionString, Cases) {
  struct Case {
    const char* text;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"", {}},
      {" \t ", {}},
      {"-f frameinput  -framerate 25", {"-f", "frameinput", "-framerate", "25"}},
      {"-metadata \"title=a b\" -y", {"-metadata", "title=a b", "-y"}},
      {"a\"b c\"d", {"ab cd"}},
      {"'a b'", {"'a", "b'"}},
      {R"(a\\b)", {R"(a\\b)"}},
      {R"(\"x)", {"\"x"}},
      {R"(\\"x y")", {R"(\x y)"}},
      {R"(\\\"x y)", {R"(\"x)", "y"}},
      {R"("a""b c")", {"a\"b", "c"}},
      {"\"unterminated text", {"unterminated text"}},
      {"x\"\"", {"x"}},
      {"\"\"", {""}},
  };
  for (const Case& c : cases) EXPECT_EQ(split_option_string(c.text), c.args) << c.text;
}

TEST(OptionValues, StrictConversions) {
  EXPECT_EQ(strict_int("42"), 42);
  EXPECT_EQ(strict_int("-7"), -7);
  EXPECT_EQ(strict_int("+7"), 7);
  EXPECT_EQ(strict_int("0x1F"), 31);
  EXPECT_EQ(strict_int64("-9223372036854775808"), INT64_MIN);
  for (const char* bad : {"", "1.5", " 1", "1 ", "12a", "--1", "+-1", "2147483648", "0x"})
    EXPECT_FALSE(strict_int(bad).has_value()) << bad;
  EXPECT_FALSE(strict_int64("9223372036854775808").has_value());
  EXPECT_EQ(strict_double("0.25"), 0.25);
  EXPECT_EQ(strict_double("1e3"), 1000.0);
  for (const char* bad : {"", "0,25", "1.5x", " 2"})
    EXPECT_FALSE(strict_double(bad).has_value()) << bad;

  // Whatever the locale says about decimal commas.
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  EXPECT_EQ(parse_double_or_raise("q", "2.5"), 2.5);
  EXPECT_EQ(c_number(2.5), "2.5");
  std::setlocale(LC_NUMERIC, "C");

  const auto message = [](auto fn) {
    try {
      fn();
    } catch (const EOptionError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message([] { parse_int_or_raise("threads", "many"); }),
            "Expected integer for \"threads\" but found \"many\"");
  EXPECT_EQ(message([] { parse_int64_or_raise("fs", "1.5"); }),
            "Expected int64 for \"fs\" but found \"1.5\"");
  EXPECT_EQ(message([] { parse_float_or_raise("q", "x"); }),
            "Expected float for \"q\" but found \"x\"");
  EXPECT_EQ(message([] { parse_float_or_raise("q", "1e60"); }),
            "Expected float for \"q\" but found \"1e60\"");
  EXPECT_EQ(message([] { parse_double_or_raise("d", ""); }),
            "Expected double for \"d\" but found \"\"");
}

TEST(ErrorText, SymbolicCodesKeepTheirOwnTexts) {
  const std::pair<int, const char*> cases[] = {
      {AVERROR(ENOENT), "No such file or directory"},
      {AVERROR(ETIMEDOUT), "Connection timed out"},
      {AVERROR(EHOSTUNREACH), "No route to host"},
      {AVERROR(ENOSYS), "Function not implemented"},
      {AVERROR(ENAMETOOLONG), "File name too long"},
      {AVERROR(EDEADLK), "Resource deadlock avoided"},
      {AVERROR(ECONNREFUSED), "Connection refused"},
      {AVERROR(EADDRNOTAVAIL), "Cannot assign requested address"},
      {AVERROR(ENOTRECOVERABLE), "State not recoverable"},
      {AVERROR(EINVAL), "Invalid argument / Invalid data found when processing input"},
      {AVERROR_EOF, "End of file"},
      {AVERROR_OPTION_NOT_FOUND, "Option not found"},
      {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
      {AVERROR_HTTP_NOT_FOUND, "HTTP or RTSP error: not found(404)"},
      {-123456, "Error number -123456 occurred"},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(error_text(code), text) << code;
  EXPECT_EQ(error_text("open", AVERROR_EOF), "open: End of file");
}

TEST(ErrorText, LastErrorIsPerThread) {
  last_error_text() = "first";
  append_last_error("second");
  EXPECT_EQ(last_error_text(), "first\r\nsecond");
  std::string seen = "unset";
  std::thread([&] { seen = last_error_text(); }).join();
  EXPECT_EQ(seen, "");
}

TEST(AppInputFormats, RegisteringTwiceKeepsOneEntry) {
  static const AVInputFormat a = [] {
    AVInputFormat f{};
    f.name = "corvanetestin";
    return f;
  }();
  static const AVInputFormat b = [] {
    AVInputFormat f{};
    f.name = "corvanetestin2";
    return f;
  }();
  register_app_input_format(&a);
  register_app_input_format(&b);
  register_app_input_format(&a);
  EXPECT_EQ(find_app_input_format("corvanetestin"), &a);
  EXPECT_EQ(find_app_input_format("corvanetestin2"), &b);
  EXPECT_EQ(find_app_input_format("CorvaneTestIn"), nullptr);
  EXPECT_EQ(find_app_input_format(nullptr), nullptr);
  const auto all = app_input_formats();
  EXPECT_EQ(std::count(all.begin(), all.end(), &a), 1);
}

// A per-file record and a table of the kinds a component declares.
struct Record {
  std::string format;
  std::int64_t start = 0;
  TSpecifierList codec;
  TSpecifierList qscale;
};

struct Globals {
  int stats = -1;
  int threads = 0;
  float drift = 0;
  double ratio = 0;
  std::int64_t size = 0;
  std::vector<std::string> handled;
};

class OptionTableTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().Load(kEncoderLibraries)) << FFLoader().LastErrMsg();
  }

  void SetUp() override {
    last_error_text().clear();
    table_ = {
        {"f", ofHasArg | ofString | ofOffset | ofPerFile | ofInput | ofOutput,
         TOptionDefUnion::field(option_field<&Record::format>), "force format", "fmt"},
        {"ss", ofHasArg | ofTime | ofOffset | ofPerFile | ofInput | ofOutput,
         TOptionDefUnion::field(option_field<&Record::start>), "start time", "time_off"},
        {"c", ofHasArg | ofString | ofSpec | ofPerFile | ofInput | ofOutput,
         TOptionDefUnion::field(option_field<&Record::codec>), "codec name", "codec"},
        {"codec", ofHasArg | ofString | ofSpec | ofPerFile | ofInput | ofOutput,
         TOptionDefUnion::field(option_field<&Record::codec>), "codec name", "codec"},
        {"q", ofHasArg | ofDouble | ofSpec | ofPerFile | ofOutput,
         TOptionDefUnion::field(option_field<&Record::qscale>), "quality", "q"},
        {"stats", ofBool, TOptionDefUnion::variable(&globals_.stats), "print progress", nullptr},
        {"threads", ofHasArg | ofInt, TOptionDefUnion::variable(&globals_.threads), "threads", "n"},
        {"drift", ofHasArg | ofFloat, TOptionDefUnion::variable(&globals_.drift), "drift", "x"},
        {"ratio", ofHasArg | ofDouble, TOptionDefUnion::variable(&globals_.ratio), "ratio", "x"},
        {"fs", ofHasArg | ofInt64 | ofOutput, TOptionDefUnion::variable(&globals_.size), "size",
         "n"},
        {"tag", ofHasArg | ofPerFile | ofOutput,
         TOptionDefUnion::handler([this](void*, const std::string& opt, const std::string& arg) {
           if (arg == "bad") {
             last_error_text() = "tag must not be bad";
             return AVERROR(EINVAL);
           }
           globals_.handled.push_back(opt + "=" + arg);
           return 0;
         }),
         "handler", "value"},
        {"loglevel", ofHasArg,
         TOptionDefUnion::handler([](void*, const std::string& opt, const std::string& arg) {
           return set_loglevel_text(opt, arg.c_str());
         }),
         "log level", "level"},
    };
    opts_.init_parse_context();
  }
  void TearDown() override { opts_.uninit_parse_context(); }

  int parse(const char* text, bool stopOnInvalid = true) {
    args_ = split_option_string(text);
    return opts_.parse_options(&record_, args_, table_, "output file", stopOnInvalid);
  }
  // Parses, then applies both groups as an output file would.
  int parseAndApply(const char* text) {
    int ret = parse(text);
    if (ret < 0) return ret;
    auto& ctx = opts_.OptionParseContext();
    ret = apply_option_group(nullptr, ctx.global_opts, "global", "", 0);
    if (ret < 0) return ret;
    return apply_option_group(&record_, ctx.file_opts, "output file", "out.mp4", ofOutput);
  }
  TOptionGroup& fileGroup() { return opts_.OptionParseContext().file_opts; }

  Globals globals_;
  Record record_;
  std::vector<TOptionDef> table_;
  std::vector<std::string> args_;
  TFFOptions opts_;
};

TEST_F(OptionTableTest, LookupByPrefixBeforeColon) {
  EXPECT_STREQ(find_option_def(table_, "c:v")->name, "c");
  EXPECT_STREQ(find_option_def(table_, "codec")->name, "codec");
  EXPECT_STREQ(find_option_def(table_, "codec:a:0")->name, "codec");
  EXPECT_EQ(find_option_def(table_, "cx"), nullptr);
  EXPECT_EQ(find_option_def(table_, ""), nullptr);
}

TEST_F(OptionTableTest, ValuesReachTheirDestinations) {
  ASSERT_EQ(parseAndApply("-c:v libx264 -c:a aac -c copy -f mp4 -ss 1.5 -q:v 2.5 -threads 3 "
                          "-drift 0.5 -ratio 1e-3 -fs 5000000000 -nostats -tag:x y"),
            0)
      << last_error_text();
  ASSERT_EQ(record_.codec.size(), 3u);
  EXPECT_EQ(record_.codec[0].specifier, "v");
  EXPECT_EQ(record_.codec[0].str, "libx264");
  EXPECT_EQ(record_.codec[1].specifier, "a");
  EXPECT_EQ(record_.codec[1].str, "aac");
  EXPECT_EQ(record_.codec[2].specifier, "");
  EXPECT_EQ(record_.codec[2].str, "copy");
  EXPECT_EQ(record_.format, "mp4");
  EXPECT_EQ(record_.start, 1500000);
  ASSERT_EQ(record_.qscale.size(), 1u);
  EXPECT_EQ(record_.qscale[0].dbl, 2.5);
  EXPECT_EQ(globals_.threads, 3);
  EXPECT_EQ(globals_.drift, 0.5f);
  EXPECT_EQ(globals_.ratio, 1e-3);
  EXPECT_EQ(globals_.size, 5000000000LL);
  EXPECT_EQ(globals_.stats, 0);
  EXPECT_THAT(globals_.handled, ElementsAre("tag:x=y"));
  EXPECT_EQ(opts_.OptionParseContext().global_opts.nb_opts(), 5);
  EXPECT_EQ(fileGroup().nb_opts(), 7);
}

TEST_F(OptionTableTest, BooleansAndNegation) {
  ASSERT_EQ(parseAndApply("-stats"), 0);
  EXPECT_EQ(globals_.stats, 1);
  EXPECT_EQ(opts_.OptionParseContext().global_opts.opts[0].val, "1");
  opts_.init_parse_context();
  EXPECT_EQ(parse("-nothreads"), AVERROR_OPTION_NOT_FOUND);
  EXPECT_EQ(last_error_text(), "Unrecognized option \"nothreads\".");
  EXPECT_EQ(parse_one_option(nullptr, "nostats", nullptr, table_), 0);
  EXPECT_EQ(globals_.stats, 0);
  EXPECT_EQ(parse_one_option(nullptr, "nofoo", nullptr, table_), AVERROR(EINVAL));
  EXPECT_EQ(last_error_text(), "Unrecognized option \"nofoo\"");
  EXPECT_EQ(parse_one_option(nullptr, "threads", nullptr, table_), AVERROR(EINVAL));
  EXPECT_EQ(last_error_text(), "Missing argument for option \"threads\"");
  EXPECT_EQ(parse_one_option(nullptr, "threads", "8", table_), 1);
  EXPECT_EQ(globals_.threads, 8);
}

TEST_F(OptionTableTest, SyntaxErrors) {
  struct Case {
    const char* text;
    int code;
    const char* error;
  };
  const Case cases[] = {
      {"-f", AVERROR(EINVAL), "Missing argument for option \"f\"."},
      {"-nosuch x.mp4", AVERROR_OPTION_NOT_FOUND, "Unrecognized option \"nosuch\"."},
      {"-stats x.mp4", AVERROR(EINVAL), "Failed to parse options on \"x.mp4\""},
      {"-stats \"\"", AVERROR(EINVAL), "Failed to parse options"},
      {"-stats -", AVERROR(EINVAL), "Failed to parse options on \"-\""},
      {"-srcw 640", AVERROR(EINVAL),
       "Directly using swscale dimensions/format options is not supported, please use the -s or "
       "-pix_fmt options"},
  };
  for (const Case& c : cases) {
    opts_.init_parse_context();
    last_error_text().clear();
    EXPECT_EQ(parse(c.text), c.code) << c.text;
    EXPECT_THAT(last_error_text(), HasSubstr(c.error)) << c.text;
  }
}

TEST_F(OptionTableTest, WithoutStoppingInvalidWordsAreSkipped) {
  EXPECT_EQ(parse("x.mp4 -nosuch -threads 2", false), 0);
  EXPECT_THAT(last_error_text(), HasSubstr("Invalid option \"x.mp4\" found while parsing options"));
  EXPECT_THAT(last_error_text(), HasSubstr("Unrecognized option \"nosuch\"."));
  ASSERT_EQ(opts_.OptionParseContext().global_opts.nb_opts(), 1);
  EXPECT_EQ(opts_.OptionParseContext().global_opts.opts[0].val, "2");
}

TEST_F(OptionTableTest, BadValuesAndWrongKind) {
  ASSERT_EQ(parse("-threads many"), 0);
  EXPECT_THROW(
      {
        try {
          apply_option_group(nullptr, opts_.OptionParseContext().global_opts, "global", "", 0);
        } catch (const EOptionError& e) {
          EXPECT_STREQ(e.what(), "Expected integer for \"threads\" but found \"many\"");
          throw;
        }
      },
      EOptionError);

  opts_.init_parse_context();
  ASSERT_EQ(parse("-q 3"), 0);
  EXPECT_EQ(apply_option_group(&record_, fileGroup(), "input file", "in.mkv", ofInput),
            AVERROR(EINVAL));
  EXPECT_THAT(last_error_text(),
              HasSubstr("Option q (quality) cannot be applied to input file in.mkv"));

  opts_.init_parse_context();
  ASSERT_EQ(parse("-tag bad"), 0);
  EXPECT_EQ(apply_option_group(&record_, fileGroup(), "output file", "o.mp4", ofOutput),
            AVERROR(EINVAL));
  EXPECT_EQ(last_error_text(),
            "tag must not be bad\r\nFailed to set value \"bad\" for option \"tag\": Invalid "
            "argument / Invalid data found when processing input");

  opts_.init_parse_context();
  ASSERT_EQ(parse("-f mp4"), 0);
  EXPECT_THROW(apply_option_group(nullptr, fileGroup(), "output file", "o.mp4", ofOutput),
               EAssertionFailed);
}

TEST_F(OptionTableTest, LibraryOptionsGoToTheFileGroupDictionaries) {
  ASSERT_EQ(parse("-g:v 50 -vb 1M -flags +global_header -flags +cgop -movflags faststart "
                  "-sws_flags bilinear -ar 44100 -ac:a 2"),
            0)
      << last_error_text();
  TOptionGroup& g = fileGroup();
  EXPECT_STREQ(g.codec_opts.find("g:v"), "50");
  EXPECT_STREQ(g.codec_opts.find("vb"), "1M");
  EXPECT_FALSE(g.codec_opts.contains("b"));
  EXPECT_STREQ(g.codec_opts.find("flags"), "+global_header+cgop");
  EXPECT_STREQ(g.format_opts.find("movflags"), "faststart");
  EXPECT_STREQ(g.sws_dict.find("sws_flags"), "bilinear");
  EXPECT_STREQ(g.sws_dict.find("flags"), "bicubic");
  EXPECT_STREQ(g.codec_opts.find("ar"), "44100");
  EXPECT_STREQ(g.codec_opts.find("ac:a"), "2");
  // The engine's own dictionaries start again with the scaler default.
  EXPECT_STREQ(opts_.sws_dict().find("flags"), "bicubic");
  EXPECT_TRUE(opts_.codec_opts().empty());
  EXPECT_EQ(opts_.OptionParseContext().global_opts.nb_opts(), 0);
}

TEST_F(OptionTableTest, OptDefaultCodes) {
  EXPECT_EQ(opts_.opt_default("nosuchoption", "1"), AVERROR_OPTION_NOT_FOUND);
  EXPECT_EQ(opts_.opt_default("phase_shift", "8"), 0);  // resampler only
  EXPECT_STREQ(opts_.swr_opts().find("phase_shift"), "8");
  EXPECT_LT(opts_.opt_default("sws_flags", "nonsense"), 0);
  EXPECT_EQ(last_error_text(), "Error setting option \"sws_flags\"");
  EXPECT_EQ(opts_.opt_default("sws_flags", "bilinear+accurate_rnd"), 0);
  EXPECT_EQ(opts_.FetchSwsFlags(), 0);
  EXPECT_EQ(opts_.sws_flags(), SWS_BILINEAR | SWS_ACCURATE_RND);
}

TEST_F(OptionTableTest, LogLevelTexts) {
  TFFLogger& logger = FFLogger();
  const TLogLevel level = logger.LogLevel();
  const int flags = logger.LogFlags();

  EXPECT_EQ(set_loglevel_text("loglevel", "repeat+level+debug"), 0);
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_DEBUG);
  EXPECT_EQ(ff::av_log_get_flags() & (AV_LOG_SKIP_REPEATED | AV_LOG_PRINT_LEVEL),
            AV_LOG_PRINT_LEVEL);
  EXPECT_EQ(set_loglevel_text("loglevel", "-repeat-level+24"), 0);
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_WARNING);
  EXPECT_EQ(ff::av_log_get_flags() & (AV_LOG_SKIP_REPEATED | AV_LOG_PRINT_LEVEL),
            AV_LOG_SKIP_REPEATED);
  EXPECT_EQ(set_loglevel_text("loglevel", "quiet"), 0);
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_QUIET);

  EXPECT_EQ(set_loglevel_text("loglevel", "foo"), AVERROR(EINVAL));
  EXPECT_THAT(last_error_text(),
              HasSubstr("Invalid loglevel \"foo\". Possible levels are numbers or:\r\n"));
  for (const char* n :
       {"quiet", "panic", "fatal", "error", "warning", "info", "verbose", "debug", "trace"})
    EXPECT_THAT(last_error_text(), HasSubstr(std::string("\"") + n + "\"\r\n"));
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_QUIET);

  // The early pass finds the level before the options are parsed.
  apply_early_loglevel(split_option_string("-f mp4 -loglevel info -c copy"), table_);
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_INFO);
  EXPECT_EQ(find_option_position(split_option_string("-stats -c loglevel -loglevel 8"), table_,
                                 "loglevel"),
            3);
  EXPECT_EQ(find_option_position(split_option_string("-f mp4"), table_, "loglevel"), -1);

  EXPECT_EQ(opts_.opt_default("debug", "1"), 0);
  EXPECT_EQ(logger.LogLevel(), llDebug);
  logger.SetLogFlags(flags);
  logger.SetLogLevel(level);
}

TEST(OptionTableCheck, PerFileRowsNeedAKind) {
  const TOptionDef bad[] = {{"x", ofHasArg | ofPerFile | ofString, {}, "x", nullptr}};
  EXPECT_THROW(check_option_table(bad), EAssertionFailed);
}

}  // namespace
