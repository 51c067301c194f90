#include "runtime/MyUtils.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/Application.h"
#include "platform/Format.h"

namespace MyUtils {

namespace {
bool FileExists(const std::string& APath) {
  struct stat st;
  return ::stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// PATH gets ADirectory in front unless it already lists it.
void PutDirectoryInPath(const std::string& ADirectory) {
  const char* old = std::getenv("PATH");
  const std::string path = old ? old : "";
  std::string dir = ADirectory;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string entry = path.substr(start, end - start);
    while (entry.size() > 1 && entry.back() == '/') entry.pop_back();
    if (entry == dir) return;
    start = end + 1;
  }
  const std::string value = path.empty() ? ADirectory : ADirectory + ":" + path;
  ::setenv("PATH", value.c_str(), 1);
}
}  // namespace

HMODULE MyLoadLibrary(const std::string& ADirectory, const std::string& AFileName,
                      Cardinal& AErrorCode) {
  HMODULE handle;
  std::string full;
  if (!ADirectory.empty()) {
    full = ADirectory;
    if (full.back() != '/') full += '/';
    full += AFileName;
  }
  if (!full.empty() && FileExists(full)) {
    // A full path: the library's own dependencies come from its folder through its
    // run path, or from the libraries of that folder loaded before it.
    PutDirectoryInPath(ADirectory);
    handle = Platform::LoadLibrary(full);
  } else {
    handle = Platform::LoadLibrary(AFileName);
  }
  AErrorCode = handle ? 0 : Platform::GetLastError();
  return handle;
}

bool MyFreeLibrary(HMODULE AHandle) { return Platform::FreeLibrary(AHandle); }

void FixupStub(const std::string& ALibName, HMODULE AHandle, const std::string& AEntryName,
               void*& AVariable, bool AOptional) {
  AVariable = Platform::GetProcAddress(AHandle, AEntryName.c_str());
  if (!AVariable && !AOptional)
    throw Platform::Exception(Platform::Format(
        "Load function %s@%s error: %s", AEntryName.c_str(), ALibName.c_str(),
        Platform::SysErrorMessage(Platform::GetLastError()).c_str()));
}

void LoadVariable(const std::string& ALibName, HMODULE AHandle, const std::string& AVarName,
                  void*& AVariable, bool AOptional) {
  AVariable = Platform::GetProcAddress(AHandle, AVarName.c_str());
  if (!AVariable && !AOptional)
    throw Platform::Exception(Platform::Format(
        "Load variable %s@%s error: %s", AVarName.c_str(), ALibName.c_str(),
        Platform::SysErrorMessage(Platform::GetLastError()).c_str()));
}

// ---- Process-wide flags ----------------------------------------------------------------

std::atomic<bool> GAppTerminated{false};
std::atomic<bool> GEnabledSynchronize{true};

namespace {
bool SetAppTerminated() {
  GAppTerminated.store(true);
  return true;  // never vetoes
}

[[maybe_unused]] const bool gTerminateProcAdded =
    (Platform::AddTerminateProc(&SetAppTerminated), true);
}  // namespace

// ---- Command line and threads ------------------------------------------------------------

namespace {
// One pass over the UTF-8 command line. Counts the arguments and the bytes they need
// (each with its zero); with AArgv and ABuf given it also stores them. UTF-8 needs no
// lead-byte care: quote, blank, tab and backslash never occur inside a multi-byte
// character.
void SplitCommandLine(const char* AText, char** AArgv, char* ABuf, int& AArgc,
                      size_t& ABytes) {
  AArgc = 0;
  ABytes = 0;
  const auto put = [&](char C) {
    if (ABuf) ABuf[ABytes] = C;
    ++ABytes;
  };
  const char* p = AText;
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (!*p) break;
    if (AArgv) AArgv[AArgc] = ABuf + ABytes;
    ++AArgc;
    bool inQuotes = false;
    for (;;) {
      if (*p == '\\' || *p == '"') {
        size_t n = 0;
        while (p[n] == '\\') ++n;
        if (p[n] != '"') {  // backslashes without a quote are literal
          for (size_t i = 0; i < n; ++i) put('\\');
          p += n;
          continue;
        }
        for (size_t i = 0; i < n / 2; ++i) put('\\');
        p += n + 1;  // past the quote
        if (n % 2 == 1) {
          put('"');  // escaped quote
          continue;
        }
        if (inQuotes && *p == '"') {  // "" inside quotes: one quote
          put('"');
          ++p;
        }
        inQuotes = !inQuotes;
        continue;
      }
      if (!*p || (!inQuotes && (*p == ' ' || *p == '\t'))) break;
      put(*p++);
    }
    put('\0');
  }
}
}  // namespace

int parse_cmdline(const std::string& ACommandLine, char**& AArgv,
                  Tparse_cmdline_callback ACallback) {
  int argc;
  size_t bytes;
  SplitCommandLine(ACommandLine.c_str(), nullptr, nullptr, argc, bytes);
  const size_t vectorSize = (static_cast<size_t>(argc) + 1) * sizeof(char*);
  void* block = std::malloc(vectorSize + bytes);
  if (!block) throw std::bad_alloc();
  AArgv = static_cast<char**>(block);
  int filled;
  SplitCommandLine(ACommandLine.c_str(), AArgv, static_cast<char*>(block) + vectorSize, filled,
                   bytes);
  AArgv[argc] = nullptr;
  return ACallback.Assigned() ? ACallback(argc, AArgv) : argc;
}

void free_cmdline(char** AArgv) { std::free(AArgv); }

HWND AllocMsgHWnd(Platform::TWndMethod AMethod) {
  return Platform::CreateMsgWindow("QorvaneMsgWindow", AMethod);
}

void MySynchronize(const Platform::TThreadMethod& AMethod) {
  if (!AMethod.Assigned()) return;
  if (GEnabledSynchronize.load() && !Platform::IsMainThread())
    Platform::SendToMainThread([&AMethod] { AMethod(); });
  else
    AMethod();
}

bool MyProcessMessages() {
  if (!Platform::IsMainThread()) return false;
  return Platform::ProcessMainThreadQueue();
}

// ---- Handlers --------------------------------------------------------------------------------

namespace {
thread_local THandlerFrame* tHandlers = nullptr;  // innermost first
}  // namespace

THandlerScope::THandlerScope(const void* AObject, const char* AKind, const void* AAbout)
    : FFrame{AObject, AKind, AAbout, false, tHandlers} {
  tHandlers = &FFrame;
}

THandlerScope::~THandlerScope() { tHandlers = FFrame.Outer; }

const THandlerFrame* FindHandler(const std::function<bool(const THandlerFrame&)>& APredicate) {
  for (const THandlerFrame* f = tHandlers; f; f = f->Outer)
    if (f->Kind && APredicate(*f)) return f;
  return nullptr;
}

bool InHandler(const void* AObject, const char* AKind) {
  for (const THandlerFrame* f = tHandlers; f; f = f->Outer)
    if (f->Object == AObject && f->Kind && (!AKind || f->Kind == AKind)) return true;
  return false;
}

void MarkFreed(const void* AObject) {
  for (THandlerFrame* f = tHandlers; f; f = f->Outer)
    if (f->Object == AObject) f->Freed = true;
}

void RefuseFreeFromHandler(const char* AUnit, int ALine, const char* AHandler,
                           const std::function<void(const std::string&)>& ALog) {
  const std::string text = Platform::AssertionText(
      AUnit, ALine,
      Platform::Format("an object cannot be freed from its own %s: that handler runs on a "
                       "thread of the object, which goes on only once the handler has "
                       "returned. Free it from its end event on the main thread, or once "
                       "it has ended.",
                       AHandler));
  if (ALog) ALog(text);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  std::abort();
}

// ---- Waiting on the main thread ----------------------------------------------------------

bool WaitServing(const std::function<bool(Cardinal AMilliseconds)>& ADone, const void* AObject) {
  if (!Platform::IsMainThread()) {
    while (!ADone(Platform::INFINITE)) {
    }
    return true;
  }
  // A handler run from the queue may free AObject: this frame learns of it.
  const THandlerScope waiting(AObject, nullptr);
  for (;;) {
    if (ADone(0)) return true;
    const bool served = MyProcessMessages();
    if (AObject && waiting.Freed()) return false;
    // Whoever ends the wait without queueing a call wakes the main thread (or the slice
    // ends): NotifyMainThread.
    if (!served) (void)Platform::WaitForMainThreadWork(5);
  }
}

bool WaitServing(Platform::TEvent& AEvent, const void* AObject) {
  return WaitServing(
      [&AEvent](Cardinal AMilliseconds) {
        return AEvent.WaitFor(AMilliseconds) == Platform::TWaitResult::wrSignaled;
      },
      AObject);
}

// ---- Files and paths -----------------------------------------------------------------------

TPathFileName ExeName() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  return n > 0 ? TPathFileName(buf, static_cast<size_t>(n)) : TPathFileName();
}

TPathFileName ExePath() {
  const TPathFileName name = ExeName();
  return name.substr(0, name.rfind('/') + 1);
}

TPathFileName ExeFile() {
  const TPathFileName name = ExeName();
  return name.substr(name.rfind('/') + 1);
}

std::int64_t GetFileSize(const TPathFileName& AFileName) {
  struct stat st;
  if (AFileName.empty() || ::stat(AFileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return -1;
  return st.st_size;
}

std::string FileSizeToStr(std::int64_t ASize) {
  if (ASize > 1073741824) return Platform::Format("%.2f GB", ASize / 1073741824.0);
  if (ASize > 1048576) return Platform::Format("%.2f MB", ASize / 1048576.0);
  if (ASize >= 1025) return Platform::Format("%.2f KB", ASize / 1024.0);
  return Platform::Format("%lld Byte", static_cast<long long>(ASize));
}

std::string Fetch(std::string& AText, const std::string& ADelimiter, bool ADelete) {
  const size_t pos = ADelimiter.empty() ? std::string::npos : AText.find(ADelimiter);
  if (pos == std::string::npos) {
    std::string result = AText;
    if (ADelete) AText.clear();
    return result;
  }
  std::string result = AText.substr(0, pos);
  if (ADelete) AText.erase(0, pos + ADelimiter.size());
  return result;
}

// ---- Time ----------------------------------------------------------------------------------

std::string GetTimeZoneAbbreviation() {
  return GetTimeZoneAbbreviation(Platform::GetTimeZoneBias());
}

std::string GetTimeZoneAbbreviation(int ABiasMinutes) {
  if (ABiasMinutes == 0) return "UTC";
  // The bias is UTC minus local time: a negative bias lies east of UTC.
  const int minutes = ABiasMinutes < 0 ? -ABiasMinutes : ABiasMinutes;
  return Platform::Format("%s%s%.2d:%.2d", "UTC", ABiasMinutes < 0 ? "+" : "-", minutes / 60,
                          minutes % 60);
}

double DateTimeOffset() { return -Platform::GetTimeZoneBias() / 1440.0; }

std::int64_t DateTimeToUnix(Platform::TDateTime AValue) {
  return std::llround((AValue - Platform::UnixDateDelta) * 86400.0);
}

std::int64_t DateTimeToUnixEx(Platform::TDateTime AValue) {
  return DateTimeToUnix(AValue - DateTimeOffset());
}

Platform::TDateTime UnixToDateTime(std::int64_t ASeconds) {
  return static_cast<double>(ASeconds) / 86400.0 + Platform::UnixDateDelta;
}

Platform::TDateTime UnixToDateTimeEx(std::int64_t ASeconds) {
  return UnixToDateTime(ASeconds) + DateTimeOffset();
}

std::string LogDateTime(Platform::TDateTime AValue, const std::string& AFormat) {
  return Platform::FormatDateTime(AFormat, AValue);
}

namespace {
std::atomic<std::int64_t> gLastCounter{0};
}

std::string CountTimeTickEx() {
  const std::int64_t now = Platform::QueryPerformanceCounter();
  const std::int64_t frequency = Platform::QueryPerformanceFrequency();
  const std::int64_t delta = now - gLastCounter.exchange(now);
  // Split to keep delta * 1,000,000 from overflowing for large counter values.
  const std::int64_t micro =
      delta / frequency * 1000000 + delta % frequency * 1000000 / frequency;
  return std::to_string(micro);
}

std::string GetCompiler() {
#define OSTREVAN_STR2(x) #x
#define OSTREVAN_STR(x) OSTREVAN_STR2(x)
#if defined(__clang__)
  std::string name = "Clang " OSTREVAN_STR(__clang_major__) "." OSTREVAN_STR(
      __clang_minor__) "." OSTREVAN_STR(__clang_patchlevel__);
#elif defined(__GNUC__)
  std::string name = "GCC " OSTREVAN_STR(__GNUC__) "." OSTREVAN_STR(
      __GNUC_MINOR__) "." OSTREVAN_STR(__GNUC_PATCHLEVEL__);
#else
  std::string name = "a C++ compiler";
#endif
#undef OSTREVAN_STR
#undef OSTREVAN_STR2
  // the language edition the build was compiled as: the year's last two digits
  const long edition = __cplusplus / 100 % 100;
  return name + " (C++" + std::to_string(edition) + ", Linux x86-64)";
}

// ---- C strings and integers ------------------------------------------------------------------

namespace {
bool IsAsciiAlnum(char C) {
  return (C >= '0' && C <= '9') || (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z');
}

int DigitValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'z') return C - 'a' + 10;
  return C - 'A' + 10;
}
}  // namespace

std::int64_t my_strtoll(const char* AText, char** AEnd, int ABase) {
  if (!AText) {
    if (AEnd) *AEnd = nullptr;
    return 0;
  }
  const char* p = AText;
  while (*p == ' ' || (*p >= 9 && *p <= 13)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int base = ABase;
  if ((ABase == 0 || ABase == 16) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    p += 2;
    base = 16;
  } else if (ABase == 0) {
    base = 10;
  }
  const char* digits = p;
  while (IsAsciiAlnum(*p)) ++p;
  if (AEnd) *AEnd = const_cast<char*>(p);
  if (base < 2 || base > 36) return 0;

  const std::uint64_t limit =
      negative ? static_cast<std::uint64_t>(INT64_MAX) + 1 : static_cast<std::uint64_t>(INT64_MAX);
  std::uint64_t value = 0;
  for (const char* q = digits; q < p; ++q) {
    const unsigned d = static_cast<unsigned>(DigitValue(*q));
    if (d >= static_cast<unsigned>(base)) break;
    if (value > (limit - d) / static_cast<unsigned>(base)) return negative ? INT64_MIN : INT64_MAX;
    value = value * static_cast<unsigned>(base) + d;
  }
  return negative ? static_cast<std::int64_t>(0 - value) : static_cast<std::int64_t>(value);
}

int MyStrSpn(const char* AText, const char* ASet) {
  if (!AText || !ASet) return 0;
  int n = 0;
  for (; AText[n]; ++n) {
    const char* s = ASet;
    while (*s && *s != AText[n]) ++s;
    if (!*s) break;
  }
  return n;
}

int MyStrLen(const char* AText) {
  if (!AText) return 0;
  int n = 0;
  while (AText[n]) ++n;
  return n;
}

int MySAR(int AValue, std::uint8_t AShift) {
  const int shift = AShift % 32;
  if (AValue >= 0) return AValue >> shift;
  return static_cast<int>(static_cast<std::int64_t>(AValue) / (std::int64_t{1} << shift));
}

bool isprint(std::uint8_t AChar) { return AChar >= 32 && AChar <= 126; }

int mid_pred(int A, int B, int C) {
  const int lo = A < B ? A : B, hi = A < B ? B : A;
  return C < lo ? lo : (C > hi ? hi : C);
}

std::int64_t mid_pred(std::int64_t A, std::int64_t B, std::int64_t C) {
  const std::int64_t lo = A < B ? A : B, hi = A < B ? B : A;
  return C < lo ? lo : (C > hi ? hi : C);
}

int stdc_trailing_zeros(Cardinal AValue) { return AValue ? __builtin_ctz(AValue) : 32; }

int stdc_count_ones(Cardinal AValue) { return __builtin_popcount(AValue); }

const char* IIF(bool ACondition, const char* AThen, const char* AElse) {
  return ACondition ? AThen : AElse;
}

int IIF(bool ACondition, int AThen, int AElse) { return ACondition ? AThen : AElse; }

std::int64_t IIF(bool ACondition, std::int64_t AThen, std::int64_t AElse) {
  return ACondition ? AThen : AElse;
}

}  // namespace MyUtils
