#include "foundation/Options.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "foundation/AppInputFormats.h"
#include "foundation/ErrorText.h"
#include "foundation/Errors.h"
#include "foundation/Logger.h"
#include "foundation/OptionValues.h"
#include "foundation/StrFormat.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avformat.h"
#include "foundation/api/swresample.h"
#include "foundation/api/swscale.h"

namespace corvane {
namespace {

template <class... A>
void avlog(int level, const char* fmt, A... a) {
  if (ff::av_log) ff::av_log(nullptr, level, fmt, a...);
}

// Sets the last error text and logs it with a line feed at error level.
void fail(const std::string& text) {
  last_error_text() = text;
  avlog(AV_LOG_ERROR, "%s\n", text.c_str());
}

// Logs at error level and adds the text to the last error (for errors that
// do not end the parse).
void note(const std::string& text) {
  append_last_error(text);
  avlog(AV_LOG_ERROR, "%s\n", text.c_str());
}

// An option that is found but has no flags is a constant or a placeholder.
const AVOption* find_class_option(const AVClass* cls, const std::string& name, int search) {
  if (!cls) return nullptr;
  const AVOption* o = ff::av_opt_find(&cls, name.c_str(), nullptr, 0, search);
  return o && o->flags != 0 ? o : nullptr;
}

int append_flag(const AVOption* o, const std::string& arg) {
  return o->type == AV_OPT_TYPE_FLAGS && !arg.empty() && (arg[0] == '+' || arg[0] == '-')
             ? AV_DICT_APPEND
             : 0;
}

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

void* destination_of(void* record, const TOptionDef& row) {
  if (row.flags & (ofOffset | ofSpec)) {
    CORVANE_ASSERT(record != nullptr, "an offset-stored option needs a per-file record");
    CORVANE_ASSERT(row.u.off != nullptr, "an offset-stored option needs a field accessor");
    return row.u.off(record);
  }
  return row.u.dst_ptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// TFFOptions

TFFOptions::TFFOptions() : Fsws_flags(SWS_BICUBIC) {}

TFFOptions::~TFFOptions() { uninit_opts(); }

void TFFOptions::init_opts() {
  uninit_opts();
  Fsws_dict.set("flags", "bicubic");
}

void TFFOptions::uninit_opts() {
  Fswr_opts.reset();
  Fsws_dict.reset();
  Fformat_opts.reset();
  Fcodec_opts.reset();
  Fresample_opts.reset();
}

void TFFOptions::init_parse_context() {
  uninit_parse_context();
  Foctx = TOptionParseContext{};
  init_opts();
}

void TFFOptions::uninit_parse_context() {
  Foctx = TOptionParseContext{};
  uninit_opts();
}

int TFFOptions::opt_default(const std::string& opt, const std::string& arg) {
  if (opt == "debug" || opt == "fdebug") {
    TFFLogger& logger = FFLogger();
    logger.SetLogLevel(std::max(logger.LogLevel(), llDebug));
  }
  std::string stripped = opt.substr(0, opt.find(':'));
  if (stripped.size() > 127) stripped.resize(127);
  constexpr int kSearch = AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ;

  bool consumed = false;
  const AVClass* codec_class = ff::avcodec_get_class();
  const AVOption* o = find_class_option(codec_class, stripped, kSearch);
  if (!o && !stripped.empty() && (stripped[0] == 'v' || stripped[0] == 'a' || stripped[0] == 's'))
    o = find_class_option(codec_class, stripped.substr(1), AV_OPT_SEARCH_FAKE_OBJ);
  if (o) {
    Fcodec_opts.set(opt, arg, append_flag(o, arg));
    consumed = true;
  }

  o = find_class_option(ff::avformat_get_class(), opt, kSearch);
  if (!o) {
    for (const AVInputFormat* f : app_input_formats())
      if ((o = find_class_option(f->priv_class, opt, kSearch))) break;
  }
  if (o) {
    Fformat_opts.set(opt, arg, append_flag(o, arg));
    if (consumed)
      avlog(AV_LOG_VERBOSE, "Routing option \"%s\" to both codec and muxer layer\n", opt.c_str());
    consumed = true;
  }

  if (!consumed && ff::sws_get_class) {
    if ((o = find_class_option(ff::sws_get_class(), opt, kSearch))) {
      SwsContext* sws = ff::sws_alloc_context();
      const int ret = sws ? ff::av_opt_set(sws, opt.c_str(), arg.c_str(), 0) : AVERROR(ENOMEM);
      ff::sws_freeContext(sws);
      static constexpr const char* kDimensions[] = {"srcw", "srch",       "dstw",
                                                    "dsth", "src_format", "dst_format"};
      if (std::find(std::begin(kDimensions), std::end(kDimensions), opt) != std::end(kDimensions)) {
        fail(
            "Directly using swscale dimensions/format options is not supported, please use the "
            "-s or -pix_fmt options");
        return AVERROR(EINVAL);
      }
      if (ret < 0) {
        fail(strprintf("Error setting option \"%s\"", opt.c_str()));
        return ret;
      }
      Fsws_dict.set(opt, arg, append_flag(o, arg));
      consumed = true;
    }
  }

  if (!consumed && ff::swr_get_class) {
    if ((o = find_class_option(ff::swr_get_class(), opt, kSearch))) {
      SwrContext* swr = ff::swr_alloc();
      const int ret = swr ? ff::av_opt_set(swr, opt.c_str(), arg.c_str(), 0) : AVERROR(ENOMEM);
      ff::swr_free(&swr);
      if (ret < 0) {
        fail(strprintf("Error setting option \"%s\"", opt.c_str()));
        return ret;
      }
      Fswr_opts.set(opt, arg, append_flag(o, arg));
      consumed = true;
    }
  }
  return consumed ? 0 : AVERROR_OPTION_NOT_FOUND;
}

void TFFOptions::append_option(const TOptionDef* row, const std::string& key,
                               const std::string& val) {
  TOptionGroup& g =
      row->flags & (ofPerFile | ofOffset | ofSpec) ? Foctx.file_opts : Foctx.global_opts;
  g.opts.push_back(TOption{row, key, val});
}

void TFFOptions::finish_file_group() {
  TOptionGroup& g = Foctx.file_opts;
  CORVANE_ASSERT(g.codec_opts.empty() && g.format_opts.empty() && g.resample_opts.empty() &&
                     g.sws_dict.empty() && g.swr_opts.empty(),
                 "the file group already holds dictionaries");
  g.sws_dict = std::move(Fsws_dict);
  g.swr_opts = std::move(Fswr_opts);
  g.codec_opts = std::move(Fcodec_opts);
  g.format_opts = std::move(Fformat_opts);
  g.resample_opts = std::move(Fresample_opts);
  init_opts();
}

int TFFOptions::parse_options(void* /*optctx*/, const std::vector<std::string>& args,
                              TOptionTable options, const std::string& /*inout*/,
                              bool AReturnOnInvalidOption) {
  avlog(AV_LOG_DEBUG, "Parsing the options.\n");
  std::size_t i = 0;
  while (i < args.size()) {
    const std::string& element = args[i];
    avlog(AV_LOG_DEBUG, "Reading option \"%s\" ... ", element.c_str());
    if (element.empty() || element[0] != '-' || element == "-") {
      if (AReturnOnInvalidOption) {
        fail(element.empty() ? std::string("Failed to parse options")
                             : strprintf("Failed to parse options on \"%s\"", element.c_str()));
        return AVERROR(EINVAL);
      }
      note(element.empty() ? std::string("Invalid option found while parsing options, ignore")
                           : strprintf("Invalid option \"%s\" found while parsing options, ignore",
                                       element.c_str()));
      ++i;
      continue;
    }
    const std::string name = element.substr(1);
    if (const TOptionDef* row = find_option_def(options, name)) {
      std::string arg = "1";
      if (row->flags & ofHasArg) {
        if (i + 1 >= args.size()) {
          fail(strprintf("Missing argument for option \"%s\".", name.c_str()));
          return AVERROR(EINVAL);
        }
        arg = args[++i];
      }
      append_option(row, name, arg);
      avlog(AV_LOG_DEBUG, "matched as option \"%s\" (%s) with argument \"%s\".\n", row->name,
            row->help, arg.c_str());
      ++i;
      continue;
    }
    if (i + 1 < args.size()) {
      const int ret = opt_default(name, args[i + 1]);
      if (ret >= 0) {
        avlog(AV_LOG_DEBUG, "matched as AVOption \"%s\" with argument \"%s\".\n", name.c_str(),
              args[i + 1].c_str());
        i += 2;
        continue;
      }
      if (ret != AVERROR_OPTION_NOT_FOUND) {
        note(strprintf("Error parsing option \"%s\" with argument \"%s\".", name.c_str(),
                       args[i + 1].c_str()));
        return ret;
      }
    }
    if (starts_with(name, "no")) {
      const TOptionDef* row = find_option_def(options, name.substr(2));
      if (row && (row->flags & ofBool)) {
        append_option(row, name, "0");
        avlog(AV_LOG_DEBUG, "matched as option \"%s\" (%s) with argument 0.\n", row->name,
              row->help);
        ++i;
        continue;
      }
    }
    if (AReturnOnInvalidOption) {
      fail(strprintf("Unrecognized option \"%s\".", name.c_str()));
      return AVERROR_OPTION_NOT_FOUND;
    }
    note(strprintf("Unrecognized option \"%s\".", name.c_str()));
    ++i;
  }
  finish_file_group();
  avlog(AV_LOG_DEBUG, "Finished parsing the options.\n");
  return 0;
}

int TFFOptions::FetchSwsFlags() {
  const char* value = Fsws_dict.find("sws_flags");
  if (!value) return 0;
  const AVClass* cls = ff::sws_get_class();
  const AVOption* o = ff::av_opt_find(&cls, "sws_flags", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
  const int ret = o ? ff::av_opt_eval_flags(&cls, o, value, &Fsws_flags) : AVERROR_OPTION_NOT_FOUND;
  if (ret < 0) {
    avlog(AV_LOG_ERROR, "av_opt_eval_flags() failed\n");
    return ret;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Free operations

const TOptionDef* find_option_def(TOptionTable table, const std::string& name) {
  for (const TOptionDef& row : table) {
    if (!row.name) break;
    const std::size_t n = std::strlen(row.name);
    if (name.compare(0, n, row.name) == 0 && (name.size() == n || name[n] == ':')) return &row;
  }
  return nullptr;
}

int write_option_value(void* record, const TOptionDef& row, const std::string& opt,
                       const std::string& arg) {
  void* dst = destination_of(record, row);
  TSpecifierValue* entry = nullptr;
  if (row.flags & ofSpec) {
    auto* list = static_cast<TSpecifierList*>(dst);
    const std::size_t colon = opt.find(':');
    entry = &list->emplace_back();
    entry->specifier = colon == std::string::npos ? "" : opt.substr(colon + 1);
  }
  const std::uint32_t f = row.flags;
  if (f & ofString) {
    *(entry ? &entry->str : static_cast<std::string*>(dst)) = arg;
  } else if (f & (ofBool | ofInt)) {
    *(entry ? &entry->i : static_cast<int*>(dst)) = parse_int_or_raise(opt, arg);
  } else if (f & ofInt64) {
    *(entry ? &entry->i64 : static_cast<std::int64_t*>(dst)) = parse_int64_or_raise(opt, arg);
  } else if (f & ofTime) {
    *(entry ? &entry->i64 : static_cast<std::int64_t*>(dst)) = parse_time_or_raise(opt, arg, true);
  } else if (f & ofFloat) {
    *(entry ? &entry->f : static_cast<float*>(dst)) = parse_float_or_raise(opt, arg);
  } else if (f & ofDouble) {
    *(entry ? &entry->dbl : static_cast<double*>(dst)) = parse_double_or_raise(opt, arg);
  } else if (row.u.func_arg) {
    last_error_text().clear();
    const int ret = row.u.func_arg(record, opt, arg);
    if (ret < 0) {
      const std::string text = strprintf("Failed to set value \"%s\" for option \"%s\": %s",
                                         arg.c_str(), opt.c_str(), error_text(ret).c_str());
      append_last_error(text);
      avlog(AV_LOG_ERROR, "%s\n", text.c_str());
      return ret;
    }
  }
  return 0;
}

int parse_one_option(void* record, const std::string& opt, const char* arg, TOptionTable table) {
  std::string value = arg ? arg : "";
  bool has_value = arg != nullptr;
  const TOptionDef* row = find_option_def(table, opt);
  if (!row && starts_with(opt, "no")) {
    const TOptionDef* negated = find_option_def(table, opt.substr(2));
    if (negated && (negated->flags & ofBool)) {
      row = negated;
      value = "0";
      has_value = true;
    }
  } else if (row && (row->flags & ofBool)) {
    value = "1";
    has_value = true;
  }
  if (!row) row = find_option_def(table, "default");
  if (!row) {
    fail(strprintf("Unrecognized option \"%s\"", opt.c_str()));
    return AVERROR(EINVAL);
  }
  if ((row->flags & ofHasArg) && !has_value) {
    fail(strprintf("Missing argument for option \"%s\"", opt.c_str()));
    return AVERROR(EINVAL);
  }
  const int ret = write_option_value(record, *row, opt, value);
  if (ret < 0) return ret;
  return (row->flags & ofHasArg) ? 1 : 0;
}

int apply_option_group(void* record, const TOptionGroup& group, const std::string& label,
                       const std::string& file_name, std::uint32_t kind) {
  avlog(AV_LOG_DEBUG, "Parsing a group of options: %s.\n", label.c_str());
  for (const TOption& o : group.opts) {
    if (kind != 0 && !(o.opt->flags & kind)) {
      fail(strprintf(
          "Option %s (%s) cannot be applied to %s %s -- you are trying to apply an input option "
          "to an output file or vice versa. Move this option before the file it belongs to.",
          o.key.c_str(), o.opt->help, label.c_str(), file_name.c_str()));
      return AVERROR(EINVAL);
    }
    avlog(AV_LOG_DEBUG, "Applying option %s (%s) with argument %s.\n", o.key.c_str(), o.opt->help,
          o.val.c_str());
    const int ret = write_option_value(record, *o.opt, o.key, o.val);
    if (ret < 0) return ret;
  }
  avlog(AV_LOG_DEBUG, "Successfully parsed a group of options.\n");
  return 0;
}

int find_option_position(const std::vector<std::string>& args, TOptionTable table,
                         const std::string& name) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& e = args[i];
    if (e.empty() || e[0] != '-') continue;
    const std::string key = e.substr(1);
    const TOptionDef* row = find_option_def(table, key);
    if (!row && starts_with(key, "no")) row = find_option_def(table, key.substr(2));
    if ((!row && key == name) || (row && name == row->name)) return static_cast<int>(i);
    if (!row || (row->flags & ofHasArg)) ++i;
  }
  return -1;
}

void check_option_table(TOptionTable table) {
  for (const TOptionDef& row : table) {
    if (!row.name) break;
    CORVANE_ASSERT(!(row.flags & ofPerFile) || (row.flags & (ofInput | ofOutput)),
                   "a per-file option must apply to input or output files");
  }
}

void apply_early_loglevel(const std::vector<std::string>& args, TOptionTable table) {
  check_option_table(table);
  int i = find_option_position(args, table, "loglevel");
  if (i < 0) i = find_option_position(args, table, "v");
  if (i >= 0 && static_cast<std::size_t>(i) + 1 < args.size())
    set_loglevel_text("loglevel", args[static_cast<std::size_t>(i) + 1].c_str());
}

int set_loglevel_text(const std::string& /*opt*/, const char* arg) {
  CORVANE_ASSERT(arg != nullptr, "a log level text is required");
  static constexpr std::pair<const char*, int> kLevels[] = {
      {"quiet", AV_LOG_QUIET},     {"panic", AV_LOG_PANIC},     {"fatal", AV_LOG_FATAL},
      {"error", AV_LOG_ERROR},     {"warning", AV_LOG_WARNING}, {"info", AV_LOG_INFO},
      {"verbose", AV_LOG_VERBOSE}, {"debug", AV_LOG_DEBUG},     {"trace", AV_LOG_TRACE}};
  const int current_flags = ff::av_log_get_flags();
  int flags = current_flags;
  int level = ff::av_log_get_level();
  const char* p = arg;
  int tokens = 0;
  while (*p) {
    const char* q = p;
    const char sign = (*q == '+' || *q == '-') ? *q++ : 0;
    std::size_t len = 0;
    if (std::strncmp(q, "repeat", 6) == 0)
      len = 6;
    else if (std::strncmp(q, "level", 5) == 0)
      len = 5;
    else
      break;
    if (tokens == 0 && !sign) flags = 0;
    if (len == 6) {
      if (sign == '-')
        flags |= AV_LOG_SKIP_REPEATED;
      else
        flags &= ~AV_LOG_SKIP_REPEATED;
    } else {
      if (sign == '-')
        flags &= ~AV_LOG_PRINT_LEVEL;
      else
        flags |= AV_LOG_PRINT_LEVEL;
    }
    p = q + len;
    ++tokens;
  }
  if (*p) {
    if (*p == '+')
      ++p;
    else if (tokens == 0)
      flags = current_flags;
    bool found = false;
    for (const auto& [name, value] : kLevels) {
      if (std::strcmp(p, name) == 0) {
        level = value;
        found = true;
        break;
      }
    }
    if (!found) {
      const char* end = p + std::strlen(p);
      const auto [e, ec] = std::from_chars(p, end, level);
      if (*p == '\0' || ec != std::errc() || e != end) {
        std::string text =
            strprintf("Invalid loglevel \"%s\". Possible levels are numbers or:\r\n", arg);
        for (const auto& [name, value] : kLevels) text += strprintf("\"%s\"\r\n", name);
        last_error_text() = text;
        std::string logged;
        for (char c : text)
          if (c != '\r') logged += c;
        avlog(AV_LOG_ERROR, "%s", logged.c_str());
        return AVERROR(EINVAL);
      }
    }
  }
  TFFLogger& logger = FFLogger();
  logger.SetLogFlags(flags);
  logger.SetLogLevel(logLevelFromAV(level));
  return 0;
}

}  // namespace corvane
