// The option engine: option tables, sorting an argument vector into global and
// per-file groups, and routing unknown options into the libraries' dictionaries.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Dictionary.h"

namespace corvane {

enum TOptionFlag : std::uint32_t {
  ofHasArg = 0x1,
  ofBool = 0x2,
  ofMinor = 0x4,
  ofString = 0x8,
  ofVideo = 0x10,
  ofAudio = 0x20,
  ofInt = 0x80,
  ofFloat = 0x100,
  ofSubtitle = 0x200,
  ofInt64 = 0x400,
  ofRequest = 0x800,
  ofData = 0x1000,
  ofPerFile = 0x2000,
  ofOffset = 0x4000,
  ofSpec = 0x8000,
  ofTime = 0x10000,
  ofDouble = 0x20000,
  ofInput = 0x40000,
  ofOutput = 0x80000,
};

// Handler of an option: (per-file record or nullptr, option as typed, argument);
// a negative result is an error code.
using Tfunc_arg = std::function<int(void* o, const std::string& opt, const std::string& arg)>;

// One value of a per-stream list: '-c:v x' gives specifier "v"; '-c x' gives "".
// The member used is chosen by the row's type bits.
struct TSpecifierValue {
  std::string specifier;
  std::string str;
  int i = 0;
  std::int64_t i64 = 0;
  float f = 0;
  double dbl = 0;
};
using TSpecifierList = std::vector<TSpecifierValue>;

// Where a row's value goes. Storage types follow the row's type bits:
// ofString std::string, ofBool/ofInt int, ofInt64/ofTime std::int64_t,
// ofFloat float, ofDouble double, ofSpec TSpecifierList.
struct TOptionDefUnion {
  void* dst_ptr = nullptr;        // a variable (global options)
  Tfunc_arg func_arg;             // a handler
  void* (*off)(void*) = nullptr;  // a field of the per-file record (ofOffset, ofSpec)

  static TOptionDefUnion variable(void* p) { return {p, {}, nullptr}; }
  static TOptionDefUnion handler(Tfunc_arg f) { return {nullptr, std::move(f), nullptr}; }
  static TOptionDefUnion field(void* (*accessor)(void*)) { return {nullptr, {}, accessor}; }
};

struct TOptionDef {
  const char* name = nullptr;
  std::uint32_t flags = 0;
  TOptionDefUnion u;
  const char* help = "";
  const char* argname = nullptr;
};
using TOptionTable = std::span<const TOptionDef>;

template <class T>
struct TMemberOf;
template <class C, class F>
struct TMemberOf<F C::*> {
  using type = C;
};

// Accessor of a field of a per-file record, for TOptionDefUnion::off:
// option_field<&TPerFileOptions::start_time>.
template <auto Member>
void* option_field(void* record) {
  using Record = typename TMemberOf<decltype(Member)>::type;
  return &(static_cast<Record*>(record)->*Member);
}

// One parsed occurrence: the matched row, the option as typed ("c:v"), its value.
struct TOption {
  const TOptionDef* opt = nullptr;
  std::string key;
  std::string val;
};

struct TOptionGroup {
  std::vector<TOption> opts;
  TDictionary codec_opts, format_opts, resample_opts, sws_dict, swr_opts;
  int nb_opts() const { return static_cast<int>(opts.size()); }
};

struct TOptionParseContext {
  TOptionGroup global_opts;
  TOptionGroup file_opts;
};

class TFFOptions {
 public:
  TFFOptions();
  ~TFFOptions();
  TFFOptions(const TFFOptions&) = delete;
  TFFOptions& operator=(const TFFOptions&) = delete;

  void init_opts();
  void uninit_opts();
  void init_parse_context();
  void uninit_parse_context();

  // 0 when a library dictionary took the option, AVERROR_OPTION_NOT_FOUND when
  // no library knows it, another negative code for a rejected value.
  int opt_default(const std::string& opt, const std::string& arg);
  // Sorts args (no program name) into the parse context. optctx and inout are
  // accepted for the callers' symmetry; sorting does not use them.
  int parse_options(void* optctx, const std::vector<std::string>& args, TOptionTable options,
                    const std::string& inout, bool AReturnOnInvalidOption);
  // Evaluates "sws_flags" of the scaler dictionary into sws_flags.
  int FetchSwsFlags();

  int sws_flags() const { return Fsws_flags; }
  void set_sws_flags(int v) { Fsws_flags = v; }
  TDictionary& sws_dict() { return Fsws_dict; }
  TDictionary& swr_opts() { return Fswr_opts; }
  TDictionary& format_opts() { return Fformat_opts; }
  TDictionary& codec_opts() { return Fcodec_opts; }
  TDictionary& resample_opts() { return Fresample_opts; }
  TOptionParseContext& OptionParseContext() { return Foctx; }

 private:
  void append_option(const TOptionDef* row, const std::string& key, const std::string& val);
  void finish_file_group();

  int Fsws_flags;
  TDictionary Fsws_dict, Fswr_opts, Fformat_opts, Fcodec_opts, Fresample_opts;
  TOptionParseContext Foctx;
};

// First row whose name is name, or a prefix of it followed by ':'; nullptr if none.
const TOptionDef* find_option_def(TOptionTable table, const std::string& name);
int write_option_value(void* record, const TOptionDef& row, const std::string& opt,
                       const std::string& arg);
// arg may be nullptr. Returns 1 when the argument was consumed, 0 when not,
// or a negative code.
int parse_one_option(void* record, const std::string& opt, const char* arg, TOptionTable table);
// kind is 0, ofInput or ofOutput.
int apply_option_group(void* record, const TOptionGroup& group, const std::string& label,
                       const std::string& file_name, std::uint32_t kind);
int find_option_position(const std::vector<std::string>& args, TOptionTable table,
                         const std::string& name);
// Asserts that every per-file row names its kind.
void check_option_table(TOptionTable table);
void apply_early_loglevel(const std::vector<std::string>& args, TOptionTable table);
// "[+-]repeat", "[+-]level" and a level name or number; 0 or -22.
int set_loglevel_text(const std::string& opt, const char* arg);

}  // namespace corvane
