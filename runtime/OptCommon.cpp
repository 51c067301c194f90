#include "runtime/OptCommon.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>

#include "platform/Dispatcher.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/MyUtils.h"

namespace OptCommon {

namespace {

using FFLoad::FFLoader;
using FFLoad::TLibrary;

constexpr int CIndent = 1;         // indent the lines by two blanks
constexpr int CVersion = 2;        // library lines: the versions
constexpr int CConfiguration = 4;  // library lines: the configurations
constexpr int CNotice = 8;         // program lines: the notices

struct TLibraryLine {
  TLibrary Lib;
  const char* Name;
};
const TLibraryLine CLibraryLines[] = {
    {FFLoad::avUtil, "avutil"},     {FFLoad::avCodec, "avcodec"},   {FFLoad::avFormat, "avformat"},
    {FFLoad::avDevice, "avdevice"}, {FFLoad::avFilter, "avfilter"}, {FFLoad::swScale, "swscale"},
    {FFLoad::swResample, "swresample"}};

const char* IndentOf(int AFlags) { return (AFlags & CIndent) ? "  " : ""; }

void AddProgramLines(Platform::TStringList& AList, int AFlags) {
  const char* indent = IndentOf(AFlags);
  std::string title = FFLoad::CBannerTitle;
  if (AFlags & CNotice) title += std::string(" ") + FFLoad::CBannerNotice;
  AList.Add(title);
  AList.Add(Platform::Format("%sbuilt with %s", indent, MyUtils::GetCompiler().c_str()));
  std::string ffmpeg = "FFmpeg library version 8.0";
  if (AFlags & CNotice) ffmpeg += " Copyright (c) 2000-2025 the FFmpeg developers";
  AList.Add(ffmpeg);
  if (FFLoader->CheckLibConfigurations())
    AList.Add(Platform::Format("%sconfiguration: %s", indent,
                               FFLoader->GetLibConfiguration(FFLoad::avUtil).c_str()));
}

void AddLibraryLines(Platform::TStringList& AList, int AFlags) {
  const char* indent = IndentOf(AFlags);
  for (const TLibraryLine& line : CLibraryLines) {
    if (AFlags & CVersion) {
      const Platform::Cardinal built = FFLoader->GetLibBuildVer(line.Lib);
      const Platform::Cardinal file = FFLoader->GetLibFileVer(line.Lib);
      AList.Add(Platform::Format("%slib%-11s %2d.%3d.%3d / %2d.%3d.%3d", indent, line.Name,
                                 (FFLoad::AV_VERSION_MAJOR)(built), (FFLoad::AV_VERSION_MINOR)(built),
                                 (FFLoad::AV_VERSION_MICRO)(built), (FFLoad::AV_VERSION_MAJOR)(file),
                                 (FFLoad::AV_VERSION_MINOR)(file), (FFLoad::AV_VERSION_MICRO)(file)));
    }
    if (AFlags & CConfiguration)
      AList.Add(Platform::Format("%s%-11s configuration: %s", indent, line.Name,
                                 FFLoader->GetLibConfiguration(line.Lib).c_str()));
  }
}

[[noreturn]] void NotAvailable(const char* APrinter) {
  throw Platform::Exception(
      Platform::Format("The information printer %s is not available yet.", APrinter));
}

}  // namespace

#define OSTREVAN_PENDING_PRINTER(name) \
  int name(Platform::TStringList&) { NotAvailable(#name); }
OSTREVAN_PENDING_PRINTER(show_bsfs)
OSTREVAN_PENDING_PRINTER(show_codecs)
OSTREVAN_PENDING_PRINTER(show_decoders)
OSTREVAN_PENDING_PRINTER(show_demuxers)
OSTREVAN_PENDING_PRINTER(show_devices)
OSTREVAN_PENDING_PRINTER(show_encoders)
OSTREVAN_PENDING_PRINTER(show_filters)
OSTREVAN_PENDING_PRINTER(show_formats)
OSTREVAN_PENDING_PRINTER(show_layouts)
OSTREVAN_PENDING_PRINTER(show_muxers)
OSTREVAN_PENDING_PRINTER(show_pix_fmts)
OSTREVAN_PENDING_PRINTER(show_protocols)
OSTREVAN_PENDING_PRINTER(show_sample_fmts)
OSTREVAN_PENDING_PRINTER(show_dispositions)
OSTREVAN_PENDING_PRINTER(show_colors)
#undef OSTREVAN_PENDING_PRINTER

void show_banner() {
  FFLoad::TFFLogWorker* worker = FFLoad::VEDovedo;
  if (!worker || !FFLoader) return;
  Platform::TStringList list;
  AddProgramLines(list, CIndent | CNotice);
  if (!FFLoader->CheckLibConfigurations()) AddLibraryLines(list, CIndent | CConfiguration);
  AddLibraryLines(list, CIndent | CVersion);
  // On the main thread the banner is delivered before Load returns (for this thread
  // only: the process-wide switch stays as the host set it).
  FFLoad::TThreadLogDelivery delivery(Platform::IsMainThread() ? FFLoad::ldSynchronous
                                                               : FFLoad::ldDefault);
  worker->Log(list.Text());
}

// ---- Log level and report -----------------------------------------------------------

namespace {

constexpr int CLineNoLogLevel = 225;

// The report file and how its lines are formatted; the av_log callback reads them on
// any thread. The state itself is never destroyed (a callback may still run while the
// process ends); the file is closed at the unit's finalization.
struct TReport {
  std::mutex Lock;
  std::FILE* File = nullptr;
  int Level = AV_LOG_DEBUG;
  int PrintPrefix = 1;
};

TReport& Report() {
  static TReport* report = new TReport;
  return *report;
}

struct TReportFinalization {
  ~TReportFinalization() {
    TReport& r = Report();
    std::lock_guard<std::mutex> g(r.Lock);
    if (r.File) std::fclose(r.File);
    r.File = nullptr;
  }
} GReportFinalization;

void ReportCallback(void* AContext, int ALevel, const char* AFormat, va_list AArgs) {
  using AVUtilStubs::av_log_format_line2;
  TReport& r = Report();
  {
    std::lock_guard<std::mutex> g(r.Lock);
    if (r.File) {
      char line[1024];
      va_list copy;
      va_copy(copy, AArgs);
      av_log_format_line2(AContext, ALevel, AFormat, copy, line, sizeof line, &r.PrintPrefix);
      va_end(copy);
      if (ALevel <= r.Level) {
        std::fputs(line, r.File);
        std::fflush(r.File);
      }
    }
  }
  // The log worker keeps receiving every line.
  FFLoad::AVLogCallback(AContext, ALevel, AFormat, AArgs);
}

}  // namespace

int opt_loglevel(void* ctx, const char* opt, const char* arg) {
  using AVUtilStubs::av_log;
  using AVUtilStubs::av_log_get_flags;
  using AVUtilStubs::av_log_get_level;
  (void)opt;
  static const struct {
    const char* Name;
    int Level;
  } CLevels[] = {
      {"quiet", AV_LOG_QUIET},     {"panic", AV_LOG_PANIC}, {"fatal", AV_LOG_FATAL},
      {"error", AV_LOG_ERROR},     {"warning", AV_LOG_WARNING}, {"info", AV_LOG_INFO},
      {"verbose", AV_LOG_VERBOSE}, {"debug", AV_LOG_DEBUG}, {"trace", AV_LOG_TRACE},
  };
  static const struct {
    const char* Name;
    int Flag;
  } CFlags[] = {
      {"repeat", AV_LOG_SKIP_REPEATED},
      {"level", AV_LOG_PRINT_LEVEL},
      {"time", AV_LOG_PRINT_TIME},
      {"datetime", AV_LOG_PRINT_DATETIME},
  };
  Platform::Check(arg != nullptr, "OptCommon", CLineNoLogLevel);
  int flags = av_log_get_flags();
  int level = av_log_get_level();
  int words = 0;

  while (*arg) {
    const char* token = arg;
    char sign = 0;
    if (*token == '+' || *token == '-') sign = *token++;
    if (!words && !sign) flags = 0;  // an absolute list of flags
    bool matched = false;
    for (const auto& f : CFlags) {
      const std::size_t n = std::strlen(f.Name);
      if (std::strncmp(token, f.Name, n) != 0) continue;
      arg = token + n;
      // "-repeat" means: do not repeat identical lines
      const bool set = f.Flag == AV_LOG_SKIP_REPEATED ? sign == '-' : sign != '-';
      flags = set ? (flags | f.Flag) : (flags & ~f.Flag);
      matched = true;
      break;
    }
    if (!matched) break;
    words++;
  }

  if (*arg) {
    if (*arg == '+')
      arg++;
    else if (!words)
      flags = av_log_get_flags();  // a level alone leaves the flags as they are
    bool named = false;
    for (const auto& l : CLevels)
      if (std::strcmp(l.Name, arg) == 0) {
        level = l.Level;
        named = true;
        break;
      }
    if (!named) {
      char* tail = nullptr;
      level = static_cast<int>(std::strtol(arg, &tail, 10));
      if (*tail) {
        std::string msg = Platform::Format(
            "Invalid loglevel \"%s\". Possible levels are numbers or:\n", arg);
        for (const auto& l : CLevels) msg += Platform::Format("\"%s\"\n", l.Name);
        msg += "Possible flags are:\n";
        for (const auto& f : CFlags) msg += Platform::Format("\\\"%s\\\"\n", f.Name);
        av_log(ctx, AV_LOG_FATAL, "%s", msg.c_str());
        return AVERROR(EINVAL);
      }
    }
  }

  FFLoad::VEDovedo->SetLogFlags(flags);
  FFLoad::VEDovedo->SetLogLevel(FFLoad::IntToLogLevel(level));
  return 0;
}

namespace {

// The report file name from its template.
std::string ExpandReportName(const char* ATemplate, const std::tm& ATime) {
  const std::string program = MyUtils::ExeFile();
  std::string name;
  for (const char* p = ATemplate; *p; p++) {
    if (*p != '%') {
      name += *p;
      continue;
    }
    p++;
    if (!*p) break;  // a "%" at the very end ends the name
    switch (*p) {
      case 'p': name += program; break;
      case 't':
        name += Platform::Format("%04d%02d%02d-%02d%02d%02d", ATime.tm_year + 1900,
                                 ATime.tm_mon + 1, ATime.tm_mday, ATime.tm_hour,
                                 ATime.tm_min, ATime.tm_sec);
        break;
      case '%': name += '%'; break;
      default: break;  // any other pair is dropped
    }
  }
  return name;
}

}  // namespace

int init_report(void* ctx, const char* AEnv, FILE** AFile) {
  using AVUtilStubs::av_free;
  using AVUtilStubs::av_log;
  using AVUtilStubs::av_log_get_level;
  using AVUtilStubs::av_log_set_callback;
  using AVUtilStubs::av_opt_get_key_value;
  (void)ctx;
  // One start at a time; the first one wins.
  static std::mutex start_lock;
  std::lock_guard<std::mutex> start(start_lock);
  TReport& r = Report();
  {
    std::lock_guard<std::mutex> g(r.Lock);
    if (r.File) {
      if (AFile) *AFile = r.File;
      return 0;
    }
  }

  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);

  std::string file_template = "%p-%t.log";
  bool level_given = false;
  int report_level;
  {
    std::lock_guard<std::mutex> g(r.Lock);
    report_level = r.Level;
  }
  const char* env = AEnv;
  int count = 0;
  while (env && *env) {
    char* key = nullptr;
    char* val = nullptr;
    const int ret = av_opt_get_key_value(&env, "=", ":", 0, &key, &val);
    if (ret < 0) {
      if (count)
        av_log(nullptr, AV_LOG_ERROR, "Failed to parse FFREPORT environment variable: %s\n",
               CmdUtils::print_error(ret).c_str());
      break;
    }
    if (*env) env++;
    count++;
    if (std::strcmp(key, "file") == 0) {
      file_template = val;
    } else if (std::strcmp(key, "level") == 0) {
      char* tail = nullptr;
      report_level = static_cast<int>(std::strtol(val, &tail, 10));
      if (*tail) {
        av_log(nullptr, AV_LOG_FATAL, "Invalid report file level\n");
        av_free(key);
        av_free(val);
        return AVERROR(EINVAL);
      }
      level_given = true;
    } else {
      av_log(nullptr, AV_LOG_ERROR, "Unknown key '%s' in FFREPORT\n", key);
    }
    av_free(key);
    av_free(val);
  }

  std::string filename;
  try {
    filename = ExpandReportName(file_template.c_str(), tm);
  } catch (const std::bad_alloc&) {
    av_log(nullptr, AV_LOG_ERROR, "Out of memory building report file name\n");
    return AVERROR(ENOMEM);
  }
  if (!level_given) report_level = std::max(report_level, av_log_get_level());

  std::FILE* f = std::fopen(filename.c_str(), "w");
  if (!f) {
    av_log(nullptr, AV_LOG_ERROR, "Failed to open report \"%s\"\n", filename.c_str());
    return -1;
  }
  {
    std::lock_guard<std::mutex> g(r.Lock);
    r.File = f;
    r.Level = report_level;
  }
  av_log_set_callback(ReportCallback);
  av_log(nullptr, AV_LOG_INFO,
         "%s started on %04d-%02d-%02d at %02d:%02d:%02d\nReport written to \"%s\"\nLog level: %d\n",
         MyUtils::ExeFile().c_str(), tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
         tm.tm_min, tm.tm_sec, filename.c_str(), report_level);
  if (AFile) *AFile = f;
  return 0;
}

void reset_report() {
  TReport& r = Report();
  {
    std::lock_guard<std::mutex> g(r.Lock);
    if (r.File) std::fclose(r.File);
    r.File = nullptr;
    r.Level = AV_LOG_DEBUG;
    r.PrintPrefix = 1;
  }
  if (FFLoad::VEDovedo) FFLoad::VEDovedo->InstallAVLogCallback();
}

}  // namespace OptCommon
