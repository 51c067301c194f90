// Catches what the FFmpeg log receives (av_log of the real library) while it lives, for
// tests that check messages; afterwards the library's default callback is back. Loads
// the libraries first.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "TestLibraries.h"
#include "runtime/AVUtilStubs.h"

class TLogCapture {
 public:
  struct TLine {
    void* Ctx;
    int Level;
    std::string Text;
  };

  TLogCapture() {
    TestLibraries::RequireFFmpegLibraries();
    Clear();
    AVUtilStubs::av_log_set_callback(Callback);
  }
  ~TLogCapture() { AVUtilStubs::av_log_set_callback(AVUtilStubs::av_log_default_callback); }
  TLogCapture(const TLogCapture&) = delete;
  TLogCapture& operator=(const TLogCapture&) = delete;

  static void Clear() {
    std::lock_guard<std::mutex> g(Lock());
    Lines().clear();
  }
  static std::vector<TLine> Snapshot() {
    std::lock_guard<std::mutex> g(Lock());
    return Lines();
  }
  // True when a message at ALevel contains AText.
  static bool Has(int ALevel, const std::string& AText) {
    for (const TLine& l : Snapshot())
      if (l.Level == ALevel && l.Text.find(AText) != std::string::npos) return true;
    return false;
  }
  // True when some message (any level) contains AText.
  static bool HasText(const std::string& AText) {
    for (const TLine& l : Snapshot())
      if (l.Text.find(AText) != std::string::npos) return true;
    return false;
  }
  // How many messages were logged at ALevel or more severe (AV_LOG_ERROR: errors,
  // fatal and panic messages).
  static int CountAtMost(int ALevel) {
    int n = 0;
    for (const TLine& l : Snapshot())
      if (l.Level <= ALevel) n++;
    return n;
  }
  // Every message, one after the other (for failure output).
  static std::string All() {
    std::string s;
    for (const TLine& l : Snapshot()) s += "[" + std::to_string(l.Level) + "] " + l.Text + "|";
    return s;
  }

 private:
  static std::mutex& Lock() {
    static std::mutex lock;
    return lock;
  }
  static std::vector<TLine>& Lines() {
    static std::vector<TLine> lines;
    return lines;
  }
  static void Callback(void* ACtx, int ALevel, const char* AFormat, va_list AArgs) {
    char buf[4096];
    std::vsnprintf(buf, sizeof buf, AFormat, AArgs);
    std::lock_guard<std::mutex> g(Lock());
    Lines().push_back(TLine{ACtx, ALevel, buf});
  }
};
