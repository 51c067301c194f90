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
//
// Stopping: Ctrl+C (SIGINT) or SIGTERM stops the task, which still finishes its outputs
// (an MP4 gets its index); the program then says "Exiting normally, received signal N."
// and ends with status 255. A fourth signal ends it at once (status 123), for a stop
// that does not come. "q" on standard input stops the task the same way, with the
// status of the conversion; -nostdin, or an input read from standard input, leaves
// standard input alone.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/FFmpeg.h"
#include "platform/Dispatcher.h"
#include "runtime/AVUtilStubs.h"
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

// The signals that stop the task. They are blocked in every thread from the start of
// main (the threads made later inherit the mask) and read by the stop watcher alone, so
// no handler runs in the middle of the job's code.
sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

// True when an input of the task reads standard input: keys typed there are its data.
bool InputReadsStandardInput(const FFmpeg::TFFmpeg& ATask) {
  for (int i = 0; i < ATask.Fnb_input_files; i++) {
    const AVFormatContext* ic = ATask.Finput_files[i]->ctx;
    const char* url = ic && ic->url ? ic->url : "";
    if (!std::strcmp(url, "-") || !std::strcmp(url, "pipe:") || !std::strcmp(url, "pipe:0") ||
        !std::strcmp(url, "/dev/stdin"))
      return true;
  }
  return false;
}

// A terminal on standard input hands over each key as it is typed, without echo, while
// the watcher reads it; the settings are back when this goes.
class TKeyboard {
 public:
  TKeyboard() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &FSaved) != 0) return;
    termios raw = FSaved;
    raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    FRestore = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~TKeyboard() {
    if (FRestore) tcsetattr(STDIN_FILENO, TCSANOW, &FSaved);
  }
  TKeyboard(const TKeyboard&) = delete;
  TKeyboard& operator=(const TKeyboard&) = delete;

 private:
  termios FSaved{};
  bool FRestore = false;
};

// Stops the task on a stop signal or on "q" typed on standard input. The thread of its
// own only notices them; the stop is handed to the main thread, which runs the job and
// serves its queue from the job's waiting loop: there the job has begun for certain (a
// stop asked before Start would be undone by it), and Stop, on the job's own thread,
// only asks. Ended by Finish, after the job: one write on an event descriptor that the
// thread polls beside the others; a stop still queued then is run by the caller.
class TStopWatcher {
 public:
  TStopWatcher(FFmpeg::TFFmpeg& ATask, bool AReadKeys)
      : FTask(ATask),
        FSignals(signalfd(-1, &Set(), SFD_CLOEXEC)),
        FDone(eventfd(0, EFD_CLOEXEC)),
        FThread([this, AReadKeys] { Watch(AReadKeys); }) {}
  ~TStopWatcher() { Finish(); }
  TStopWatcher(const TStopWatcher&) = delete;
  TStopWatcher& operator=(const TStopWatcher&) = delete;

  void Finish() {
    if (!FThread.joinable()) return;
    const std::uint64_t one = 1;
    (void)!write(FDone, &one, sizeof one);
    FThread.join();
    close(FDone);
    close(FSignals);
  }
  // The first stop signal received (0: none).
  int Signal() const { return FSignal.load(); }

 private:
  static const sigset_t& Set() {
    static const sigset_t set = StopSignals();
    return set;
  }

  void AskStop() {
    FFmpeg::TFFmpeg* task = &FTask;
    Platform::PostToMainThread([task] { task->Stop(false); });
  }

  void Watch(bool AReadKeys) {
    int received = 0;
    for (;;) {
      pollfd fds[3] = {{FDone, POLLIN, 0}, {FSignals, POLLIN, 0},
                       {AReadKeys ? STDIN_FILENO : -1, POLLIN, 0}};
      if (poll(fds, 3, -1) < 0) continue;  // EINTR
      if (fds[0].revents) return;
      if (fds[1].revents & POLLIN) {
        signalfd_siginfo info{};
        if (read(FSignals, &info, sizeof info) != sizeof info) continue;
        if (++received > 3) {
          // the stop does not come: end at once
          static const char CText[] = "Received > 3 system signals, hard exiting.\n";
          (void)!write(STDERR_FILENO, CText, sizeof CText - 1);
          _exit(123);
        }
        int none = 0;
        FSignal.compare_exchange_strong(none, static_cast<int>(info.ssi_signo));
        AskStop();
      }
      if (fds[2].revents) {
        char key = 0;
        if (read(STDIN_FILENO, &key, 1) != 1) {
          AReadKeys = false;  // end of standard input: no more keys
          continue;
        }
        if (key == 'q') {
          AVUtilStubs::av_log(nullptr, AV_LOG_INFO, "\n\n[q] command received. Exiting.\n\n");
          AskStop();
        }
      }
    }
  }

  FFmpeg::TFFmpeg& FTask;
  std::atomic<int> FSignal{0};
  int FSignals;
  int FDone;
  std::thread FThread;  // last: it starts once the rest is in place
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s [options] [[infile options] -i infile]... {[outfile options] outfile}...\n",
                 argv[0]);
    return 1;
  }

  // Before any thread exists, so that every thread has the stop signals blocked.
  const sigset_t stopSignals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

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
      std::unique_ptr<TKeyboard> keyboard;
      const bool readKeys = task.Fstdin_interaction && !InputReadsStandardInput(task);
      if (readKeys) keyboard = std::make_unique<TKeyboard>();
      TStopWatcher watcher(task, readKeys);
      task.Start(false);
      watcher.Finish();
      // a stop handed over when the job no longer served the queue
      Platform::ProcessMainThreadQueue();
      status = task.HasError() ? 1 : 0;
      if (watcher.Signal()) {
        AVUtilStubs::av_log(nullptr, AV_LOG_INFO, "Exiting normally, received signal %d.\n",
                            watcher.Signal());
        status = 255;
      }
    }
  }
  std::fflush(stdout);
  log.SetOnLog(nullptr);
  return status;
}
