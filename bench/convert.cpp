// convert: runs the conversion given on its own command line as one task, the way a
// person tries the engine from a shell (and what the conversion benchmark times).
//
//   convert -f lavfi -i testsrc2=d=2 -c:v mpeg4 out.mp4
//
// The FFmpeg libraries are loaded from the LibAV folder beside the program; the task runs
// synchronously on the main thread; every log line goes to standard error, so an output
// named "-" can go to standard output. As with the converter, -v/-loglevel governs every
// line, the banner included (shown at the info level and up, unless -hide_banner). The
// exit status is 0 when the conversion succeeded, 1 when it failed, 2 when the libraries
// could not be loaded.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "engine/FFmpeg.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/MyUtils.h"
#include "runtime/OptCommon.h"

namespace {

std::mutex GStderrLock;

void WriteLine(void*, Platform::TObject*, int, FFLoad::TLogLevel, const std::string& AMsg) {
  std::lock_guard<std::mutex> g(GStderrLock);
  std::fputs(AMsg.c_str(), stderr);
  if (AMsg.empty() || AMsg.back() != '\n') std::fputc('\n', stderr);
}

// One argument in the form the command-line splitter reads back unchanged: quoted when
// it is empty or holds blanks or quotes, with the backslashes before a quote doubled.
std::string Quote(const std::string& AArg) {
  if (!AArg.empty() && AArg.find_first_of(" \t\n\v\"") == std::string::npos) return AArg;
  std::string s = "\"";
  std::size_t backslashes = 0;
  for (char c : AArg) {
    if (c == '\\') {
      backslashes++;
      continue;
    }
    if (c == '"') s.append(backslashes * 2 + 1, '\\');
    else s.append(backslashes, '\\');
    backslashes = 0;
    s += c;
  }
  s.append(backslashes * 2, '\\');
  return s + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s [options] [[infile options] -i infile]... {[outfile options] outfile}...\n",
                 argv[0]);
    return 1;
  }

  FFLoad::TFFLogWorker& log = *FFLoad::VEDovedo;
  log.SetSynchronous(true);  // every line leaves before the program does
  log.SetTriggerEventInMainThread(false);
  log.SetLogWithTime(false);
  log.SetLogWithThreadID(false);
  log.SetActive(true);

  // Nothing is written while the libraries load: the banner they would log comes below,
  // once the command line's log level is known.
  FFLoad::FFLoader->SetLibraryPath(MyUtils::ExePath() + "LibAV");
  if (!FFLoad::FFLoader->Load(FFLoad::CEncoderLibraries)) {
    std::fprintf(stderr, "%s\n", FFLoad::FFLoader->GetLastErrMsg().c_str());
    return 2;
  }
  log.SetOnLog(FFLoad::TLogEvent::FromFunction(&WriteLine, nullptr));
  log.InstallAVLogCallback();

  std::string commandLine;
  for (int i = 1; i < argc; i++) {
    if (i > 1) commandLine += ' ';
    commandLine += Quote(argv[i]);
  }

  int status;
  {
    FFmpeg::TFFmpeg task;
    // The log level first (the task applies it again), then the banner at the info level.
    const int nargs = argc - 1;
    const char* const* args = argv + 1;
    int idx = CmdUtils::locate_option(nargs, args, task.FOptionDef, "loglevel");
    if (idx < 0) idx = CmdUtils::locate_option(nargs, args, task.FOptionDef, "v");
    if (idx >= 0 && idx + 1 < nargs &&
        OptCommon::opt_loglevel(nullptr, "loglevel", args[idx + 1]) < 0)
      return 1;
    idx = CmdUtils::locate_option(nargs, args, task.FOptionDef, "hide_banner");
    const bool hideBanner = idx >= 0 && std::strncmp(args[idx], "-no", 3) != 0;
    if (!hideBanner && FFLoad::LogLevelToInt(log.GetLogLevel()) >= AV_LOG_INFO)
      OptCommon::show_banner();

    const int ret = task.ParseOptions(commandLine);
    if (ret < 0) {
      // an information option (-h, -version ...) ends the parse without a job; a
      // failure's text is already in the log
      status = ret == AVERROR_EXIT ? 0 : 1;
    } else {
      task.Start(false);
      status = task.HasError() ? 1 : 0;
    }
  }
  std::fflush(stdout);
  log.SetOnLog(nullptr);
  return status;
}
