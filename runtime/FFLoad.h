// The process-wide library loader and the log worker.
//
// FFLoader loads, checks and unloads the FFmpeg libraries, the C run-time, SDL2 and
// SoundTouch, and reports their versions, licences and configurations. VEDovedo
// receives every FFmpeg log message (through the av_log callback it installs when
// libavutil is loaded) and every message the system logs itself, and hands each
// finished line to the OnLog event and, when enabled, to the log file.
#pragma once
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/Method.h"
#include "platform/Object.h"
#include "platform/Strings.h"
#include "platform/Types.h"

namespace FFLoad {

using Platform::Cardinal;

// ---- Libraries --------------------------------------------------------------------

enum TLibrary : std::uint8_t {
  avUtil,
  swScale,
  swResample,
  avCodec,
  avFormat,
  avFilter,
  avDevice,
  myUtil,  // the C run-time library
  SDL2,
  libSoundTouch
};
constexpr int CLibraryCount = 10;

// A set of libraries (one bit per TLibrary).
class TLibraries {
 public:
  constexpr TLibraries() = default;
  constexpr TLibraries(std::initializer_list<TLibrary> ALibraries) {
    for (TLibrary lib : ALibraries) FBits |= Bit(lib);
  }
  constexpr bool Contains(TLibrary ALibrary) const { return (FBits & Bit(ALibrary)) != 0; }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr std::uint16_t Bits() const { return FBits; }
  constexpr TLibraries operator+(TLibraries AOther) const { return FromBits(FBits | AOther.FBits); }
  constexpr TLibraries operator-(TLibraries AOther) const { return FromBits(FBits & ~AOther.FBits); }
  constexpr TLibraries operator*(TLibraries AOther) const { return FromBits(FBits & AOther.FBits); }
  constexpr bool operator==(const TLibraries&) const = default;

 private:
  static constexpr std::uint16_t Bit(TLibrary ALibrary) {
    return static_cast<std::uint16_t>(1u << ALibrary);
  }
  static constexpr TLibraries FromBits(unsigned ABits) {
    TLibraries result;
    result.FBits = static_cast<std::uint16_t>(ABits);
    return result;
  }
  std::uint16_t FBits = 0;
};

inline constexpr TLibraries CFFmpegLibraries{avUtil, swScale, swResample, avCodec,
                                             avFormat, avFilter, avDevice};
inline constexpr TLibraries CDecoderLibraries = CFFmpegLibraries + TLibraries{myUtil};
inline constexpr TLibraries CEncoderLibraries = CDecoderLibraries;
inline constexpr TLibraries CPlayerLibraries = CDecoderLibraries + TLibraries{SDL2};
inline constexpr TLibraries CAllLibraries = CPlayerLibraries + TLibraries{libSoundTouch};

// Unpack FFmpeg's packed version integer (major << 16 | minor << 8 | micro). The names
// are parenthesised so that FFmpeg's macros of the same names leave them alone.
constexpr Cardinal(AV_VERSION_MAJOR)(Cardinal AVersion) { return AVersion >> 16; }
constexpr Cardinal(AV_VERSION_MINOR)(Cardinal AVersion) { return (AVersion >> 8) & 0xFF; }
constexpr Cardinal(AV_VERSION_MICRO)(Cardinal AVersion) { return AVersion & 0xFF; }

// Title and notice of the version banner.
inline constexpr const char* CBannerTitle = "Ostrevan media components";
inline constexpr const char* CBannerNotice = "Copyright (c) the Ostrevan developers";

class TFFLoader : public Platform::TObject {
 public:
  TFFLoader();

  std::string GetLastErrMsg() const;
  std::string GetLibraryPath() const;
  // Stores the folder the libraries are loaded from; nothing else.
  void SetLibraryPath(const std::string& APath);
  // The override when one is set, else the platform's file name (libavcodec.so.62).
  std::string GetLibraryName(TLibrary ALibrary) const;
  // Unloads the library, then stores the override (it may hold a directory).
  void SetLibraryName(TLibrary ALibrary, const std::string& AName);
  bool GetInstallLogger() const { return FInstallLogger; }
  void SetInstallLogger(bool AValue) { FInstallLogger = AValue; }

  // The version the system was built against; 0xFFFFFFFF for the non-FFmpeg libraries.
  Cardinal GetLibBuildVer(TLibrary ALibrary) const;
  // The loaded library's own version; 0 when unbound or not an FFmpeg library.
  Cardinal GetLibFileVer(TLibrary ALibrary) const;
  // "%d.%d.%d" for an FFmpeg library, else "N/A".
  std::string GetLibBuildVerStr(TLibrary ALibrary) const;
  std::string GetLibFileVerStr(TLibrary ALibrary) const;
  std::string GetLibLicense(TLibrary ALibrary) const;
  std::string GetLibConfiguration(TLibrary ALibrary) const;
  // True when every FFmpeg library that reports a configuration reports the same one.
  bool CheckLibConfigurations() const;

  bool Load(TLibrary ALibrary);
  // Loads the members in enumeration order; on a failure unloads the members this call
  // loaded (libraries loaded before stay loaded) and returns False.
  bool Load(TLibraries ALibraries);
  bool Loaded(TLibrary ALibrary) const;
  bool Loaded(TLibraries ALibraries) const;
  void Unload(TLibrary ALibrary);
  void Unload(TLibraries ALibraries);
  // Raises Platform::Exception "Library %s not loaded." for the first missing member.
  void CheckLibAV(TLibraries ALibraries) const;

  // What the loaded FFmpeg build supports, through the information printers.
  int GetBSFs(Platform::TStringList& AList);
  int GetCodecs(Platform::TStringList& AList);
  int GetDecoders(Platform::TStringList& AList);
  int GetDemuxers(Platform::TStringList& AList);
  int GetDevices(Platform::TStringList& AList);
  int GetEncoders(Platform::TStringList& AList);
  int GetFilters(Platform::TStringList& AList);
  int GetFormats(Platform::TStringList& AList);
  int GetLayouts(Platform::TStringList& AList);
  int GetMuxers(Platform::TStringList& AList);
  int GetPixFmts(Platform::TStringList& AList);
  int GetProtocols(Platform::TStringList& AList);
  int GetSampleFmts(Platform::TStringList& AList);
  int GetDispositions(Platform::TStringList& AList);
  int GetColors(Platform::TStringList& AList);

 private:
  bool FInstallLogger = true;
};

// ---- Log worker --------------------------------------------------------------------

enum TLogLevel : std::uint8_t {
  llQuiet,
  llPanic,
  llFatal,
  llError,
  llWarning,
  llInfo,
  llVerbose,
  llDebug,
  llTrace
};

// The FFmpeg level of ALogLevel (llQuiet -8, llPanic 0, ... llTrace 56).
int LogLevelToInt(TLogLevel ALogLevel);
// The log level of an FFmpeg level: -8 llQuiet, 0..7 llPanic, 32..39 llInfo, 56.. llTrace.
TLogLevel IntToLogLevel(int ALevel);
// "Quiet", "Panic", ... "Trace".
const char* LogLevelName(TLogLevel ALogLevel);

// One finished log line: the object that logged (nullptr for the message-only Log, the
// log worker for FFmpeg lines), the producing thread, the level and the whole line.
using TLogEvent = Platform::TMethod<void(Platform::TObject* Sender, int AThreadID,
                                         TLogLevel ALogLevel, const std::string& ALogMsg)>;

class TFFLogWorker : public Platform::TObject {
 public:
  // Only one instance may exist (VEDovedo).
  TFFLogWorker();
  ~TFFLogWorker() override;
  TFFLogWorker(const TFFLogWorker&) = delete;
  TFFLogWorker& operator=(const TFFLogWorker&) = delete;

  // The bare message: no time, thread, prefix or level, and no level filter.
  void Log(const std::string& AMsg);
  // A line of ASender at ALogLevel, dropped when the level is above LogLevel.
  void Log(Platform::TObject* ASender, TLogLevel ALogLevel, const std::string& AMsg);
  // The same with AFormat formatted printf-style with the arguments that follow. The
  // format must be a literal (the compiler checks it); a host text goes through the
  // overloads above, which never read it as a format.
  void Log(Platform::TObject* ASender, TLogLevel ALogLevel, const char* AFormat, ...)
      __attribute__((format(printf, 4, 5)));

  // Emits a held repeated line now.
  void FlushRepeats();
  // Truncates the open log file, or deletes the log file when none is open.
  void ClearLogFile();
  // Installs the av_log callback and passes the log flags and level to FFmpeg.
  void InstallAVLogCallback();

  bool GetActive() const;
  void SetActive(bool AValue);
  std::string GetLogFile() const;
  void SetLogFile(const std::string& AValue);
  // Bit 1 folds repeated lines, bit 2 prints the level name.
  int GetLogFlags() const;
  void SetLogFlags(int AValue);
  TLogLevel GetLogLevel() const;
  void SetLogLevel(TLogLevel AValue);
  bool GetLogToFile() const;
  void SetLogToFile(bool AValue);
  bool GetLogWithLevel() const;
  void SetLogWithLevel(bool AValue);
  bool GetLogWithThreadID() const;
  void SetLogWithThreadID(bool AValue);
  bool GetLogWithTime() const;
  void SetLogWithTime(bool AValue);
  bool GetSynchronous() const;
  void SetSynchronous(bool AValue);
  bool GetTriggerEventInMainThread() const { return FTriggerEventInMainThread.load(); }
  void SetTriggerEventInMainThread(bool AValue) { FTriggerEventInMainThread.store(AValue); }
  TLogEvent GetOnLog() const;
  // Once this returns, the handler it replaced neither runs nor is called any more, so
  // its object may go; lines that were on their way to it are dropped. Called from
  // inside a handler call it does not wait for that call. On the main thread it serves
  // the main thread's queue while it waits. The handler keeps the contract stated in
  // runtime/MyUtils.h ("Handlers").
  void SetOnLog(TLogEvent AValue);

  // True while nothing would receive a line (inactive, or no handler and no log file).
  bool Skipping() const { return FSkip.load(std::memory_order_relaxed); }

 private:
  void UpdateSkip();
  void LogV(Platform::TObject* ASender, TLogLevel ALogLevel, const char* AFormat, va_list AArgs)
      __attribute__((format(printf, 4, 0)));

  std::atomic<bool> FSkip{true};
  std::atomic<bool> FTriggerEventInMainThread{true};
  TLogEvent FOnLog;

  friend struct TLogAccess;
};

// ---- Per-thread delivery ----------------------------------------------------------

// How the calling thread's lines are delivered, whatever Synchronous says.
enum TLogDelivery : std::uint8_t {
  ldDefault,       // as Synchronous says
  ldSynchronous,   // emitted at once on the calling thread
  ldAsynchronous,  // queued for the log thread
};

// Overrides the delivery of the calling thread's lines while it lives and restores the
// thread's previous delivery at its end. Other threads and the process-wide Synchronous
// switch are left alone.
class TThreadLogDelivery {
 public:
  explicit TThreadLogDelivery(TLogDelivery ADelivery);
  ~TThreadLogDelivery();
  TThreadLogDelivery(const TThreadLogDelivery&) = delete;
  TThreadLogDelivery& operator=(const TThreadLogDelivery&) = delete;

 private:
  TLogDelivery FPrevious;
};

// The log worker's av_log callback, for a callback that takes the FFmpeg log over for a
// while and passes every message on (the report).
void AVLogCallback(void* AContext, int ALevel, const char* AFormat, va_list AArgs);

// The process-wide loader and log worker, alive from the unit's initialization to its
// finalization (see TUnitInit).
extern TFFLoader* FFLoader;
extern TFFLogWorker* VEDovedo;

// Module initialization and finalization of the unit. Every source that includes this
// header holds one counted instance, so the unit is initialized before the first of
// them and finalized after the last of them: the log worker first, then the log thread
// and its queues, the loader last.
struct TUnitInit {
  TUnitInit();
  ~TUnitInit();
};
static TUnitInit GFFLoadInit;

}  // namespace FFLoad
