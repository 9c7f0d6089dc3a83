// Applying one file's option string and preset text through the option table.
#include <algorithm>
#include <cctype>

#include "foundation/ErrorText.h"
#include "foundation/OptionString.h"
#include "foundation/OptionValues.h"
#include "transcoder/OptionHandlers.h"

namespace corvane {
namespace {

std::string trimmed(const std::string& s) {
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  const auto first = std::find_if_not(s.begin(), s.end(), blank);
  const auto last = std::find_if_not(s.rbegin(), s.rend(), blank).base();
  return first < last ? std::string(first, last) : std::string();
}

void replace_all(std::string& s, const std::string& from, const std::string& to) {
  for (std::size_t pos = s.find(from); pos != std::string::npos;
       pos = s.find(from, pos + to.size()))
    s.replace(pos, from.size(), to);
}

// Trimmed, with every line break (and every "<CRLF>") a single line feed.
std::string normalized_lines(const std::string& text) {
  std::string s = trimmed(text);
  replace_all(s, "\r\n", "\n");
  replace_all(s, "\r", "\n");
  replace_all(s, "<CRLF>", "\n");
  return s;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

int apply_preset(TCustomFFmpegOpt& e, TPerFileOptions& o, const std::string& name,
                 const std::string& value) {
  const std::string key = lower(name);
  if (key == "acodec" || key == "vcodec" || key == "scodec" || key == "dcodec")
    return opthandlers::parse_as(e, &o, key, value);
  TOptionGroup& group = o.group ? *o.group : e.FOptions.OptionParseContext().file_opts;
  return opthandlers::route_to_group(e, group, name, value);
}

// Sorts and applies the options; 0 or a negative code.
int apply_options(TCustomFFmpegOpt& e, TPerFileOptions& o, const std::string& options,
                  const std::string& presets, const std::string& label,
                  const std::string& file_name, std::uint32_t kind) {
  const TOptionTable table = e.OptionDef();
  const std::vector<std::string> args = split_option_string(options);
  apply_early_loglevel(args, table);
  last_error_text().clear();
  TOptionParseContext& ctx = e.FOptions.OptionParseContext();
  int ret = e.FOptions.parse_options(&o, args, table, label, e.HaltOnInvalidOption);
  if (ret >= 0 && ctx.global_opts.nb_opts() > 0)
    ret = apply_option_group(nullptr, ctx.global_opts, "global", "", 0);
  if (ret >= 0) ret = e.ParsePresets(o, presets, label);
  if (ret >= 0 && ctx.file_opts.nb_opts() > 0)
    ret = apply_option_group(&o, ctx.file_opts, label, file_name, kind);
  return ret;
}

}  // namespace

namespace opthandlers {

int route_to_group(TCustomFFmpegOpt& e, TOptionGroup& group, const std::string& opt,
                   const std::string& value) {
  TFFOptions& f = e.FOptions;
  // The engine's own dictionaries are set aside for the lookup and restored after.
  struct TSetAside {
    TFFOptions& f;
    TDictionary codec, format;
    ~TSetAside() {
      f.codec_opts() = std::move(codec);
      f.format_opts() = std::move(format);
    }
  } saved{f, std::move(f.codec_opts()), std::move(f.format_opts())};
  f.codec_opts() = TDictionary();
  f.format_opts() = TDictionary();
  const int ret = f.opt_default(opt, value);
  f.codec_opts().forEach([&](const char* k, const char* v) { group.codec_opts.set(k, v); });
  f.format_opts().forEach([&](const char* k, const char* v) { group.format_opts.set(k, v); });
  return ret;
}

int apply_preset_lines(TCustomFFmpegOpt& e, TPerFileOptions& o, const std::string& text,
                       const TPresetMessages& messages) {
  const std::string lines = normalized_lines(text);
  std::size_t start = 0;
  while (start <= lines.size()) {
    const std::size_t end = std::min(lines.find('\n', start), lines.size());
    const std::string line = trimmed(lines.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    const std::size_t eq = line.find('=');
    const std::string name = trimmed(line.substr(0, eq));
    const std::string value = eq == std::string::npos ? "" : trimmed(line.substr(eq + 1));
    if (name.empty() || value.empty()) {
      const std::string msg =
          messages.syntax_prefix + strprintf("Invalid syntax: \"%s\"", line.c_str());
      e.Log(llError, msg.c_str());
      if (e.HaltOnInvalidOption) {
        last_error_text() = msg;
        return AVERROR(EINVAL);
      }
    }
    e.Log(llDebug, "Applying preset %s with argument %s.", name.c_str(), value.c_str());
    last_error_text().clear();
    const int ret = apply_preset(e, o, name, value);
    if (ret >= 0) continue;
    const std::string msg =
        messages.invalid_prefix +
        strprintf("Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"", line.c_str(),
                  name.c_str(), value.c_str());
    e.Log(llError, msg.c_str());
    if (e.HaltOnInvalidOption) {
      append_last_error(msg);
      return ret;
    }
  }
  return 0;
}

}  // namespace opthandlers

void TCustomFFmpegOpt::BuildOptionTable() {
  if (!_OptionDef.empty()) return;
  _OptionDef = opthandlers::make_option_rows(*this);
  _OptionDef.push_back(TOptionDef{});  // nil-name end row
}

TOptionTable TCustomFFmpegOpt::OptionDef() {
  BuildOptionTable();
  return _OptionDef;
}

int TCustomFFmpegOpt::ParseOptions(TPerFileOptions& o, const std::string& options,
                                   const std::string& presets, const std::string& label,
                                   const std::string& file_name, std::uint32_t kind) {
  int ret = 0;
  if (options.empty()) {
    ret = ParsePresets(o, presets, label);
  } else {
    Log(llInfo, "ParseOptions for %s: %s", label.c_str(), options.c_str());
    try {
      ret = apply_options(*this, o, options, presets, label, file_name, kind);
    } catch (const EOptionError& x) {
      // A value the table's type cannot hold ends the file like a failed handler.
      last_error_text() = x.what();
      Log(llError, x.what());
      ret = AVERROR(EINVAL);
    }
  }
  if (ret < 0) {
    const std::string text = error_text(ret);
    Log(llFatal, text.c_str());
    if (HaltOnInvalidOption)
      FLastErrMsg = last_error_text().empty() ? text : last_error_text() + "\r\n" + text;
  }
  return HaltOnInvalidOption ? ret : 0;
}

int TCustomFFmpegOpt::ParsePresets(TPerFileOptions& o, const std::string& presets,
                                   const std::string& label) {
  if (presets.empty()) return 0;
  std::string shown = normalized_lines(presets);
  replace_all(shown, "\n", "\r\n");
  Log(llInfo, "ParsePresets for %s:%s%s", label.c_str(), "\r\n", shown.c_str());
  return opthandlers::apply_preset_lines(*this, o, presets, {});
}

int TCustomFFmpegOpt::SetVideoHookBitsPixel(const std::string& arg) {
  return opthandlers::check_integer(*this, "VideoHookBitsPixel", arg);
}

}  // namespace corvane
