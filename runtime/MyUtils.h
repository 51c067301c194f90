// Process-level services: loading primitives for the bound libraries, the command-line
// splitter, main-thread hand-over, and small path, time, text and integer routines.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/Dispatcher.h"
#include "platform/Exception.h"
#include "platform/Library.h"
#include "platform/Method.h"
#include "platform/Sync.h"
#include "platform/Time.h"
#include "platform/Types.h"

namespace MyUtils {

using Platform::Cardinal;
using Platform::HMODULE;
using Platform::HWND;

// ---- Loading and binding -------------------------------------------------------------

// Loads AFileName from ADirectory when that file exists there (putting the directory in
// front of PATH for the rest of the process), otherwise by bare name through the
// system's search. nullptr on failure, with the error code in AErrorCode
// (Platform::SysErrorMessage gives its text).
HMODULE MyLoadLibrary(const std::string& ADirectory, const std::string& AFileName,
                      Cardinal& AErrorCode);
bool MyFreeLibrary(HMODULE AHandle);

// Looks AEntryName up in AHandle and stores it (possibly nullptr) in AVariable. A
// missing entry point that is not optional raises Platform::Exception
// "Load function %s@%s error: %s" (entry point, library name, loader message).
void FixupStub(const std::string& ALibName, HMODULE AHandle, const std::string& AEntryName,
               void*& AVariable, bool AOptional);
// The same for an exported data symbol: "Load variable %s@%s error: %s".
void LoadVariable(const std::string& ALibName, HMODULE AHandle, const std::string& AVarName,
                  void*& AVariable, bool AOptional);

// Typed forms for the binding variables of the stub units.
template <class F>
void FixupStub(const std::string& ALibName, HMODULE AHandle, const std::string& AEntryName,
               F& AVariable, bool AOptional) {
  void* p = nullptr;
  FixupStub(ALibName, AHandle, AEntryName, p, AOptional);
  AVariable = reinterpret_cast<F>(p);
}
template <class T>
void LoadVariable(const std::string& ALibName, HMODULE AHandle, const std::string& AVarName,
                  T*& AVariable, bool AOptional) {
  void* p = nullptr;
  LoadVariable(ALibName, AHandle, AVarName, p, AOptional);
  AVariable = static_cast<T*>(p);
}

// ---- Process-wide flags ----------------------------------------------------------------

// Set when the application quits (a terminate procedure registered by this unit); the
// player's loops and waits test it.
extern std::atomic<bool> GAppTerminated;
// While False, MySynchronize runs methods on the calling thread: the player clears it
// while the main thread waits for the player's threads.
extern std::atomic<bool> GEnabledSynchronize;

// ---- Command line and threads ------------------------------------------------------------

using Tparse_cmdline_callback = Platform::TMethod<int(int argc, char** argv)>;

// Splits ACommandLine (UTF-8) into arguments by the C run-time's rules for command
// lines: blanks and tabs separate arguments outside double quotes; 2n backslashes
// before a double quote give n backslashes and the quote opens or closes a quoted
// part; 2n+1 backslashes before it give n backslashes and a literal quote; inside
// quotes two double quotes give one and close the quoted part; other backslashes are
// literal.
// AArgv receives the vector: one block of argc + 1 pointers (the last is nullptr)
// followed by the zero-terminated arguments; the caller frees it with free_cmdline
// (also when the callback raised). The block is plain heap memory, so this works
// before any library is loaded. Hands (argc, argv) to ACallback and returns its
// result (argc when no callback is assigned). An empty line gives argc 0 and a
// vector holding only nullptr.
int parse_cmdline(const std::string& ACommandLine, char**& AArgv,
                  Tparse_cmdline_callback ACallback);
// Frees a vector of parse_cmdline; nullptr is ignored.
void free_cmdline(char** AArgv);

// Creates a message-only window of the class "QorvaneMsgWindow" whose messages go to
// AMethod (none: the default procedure, result 0). The owner destroys it
// (Platform::DestroyWindow).
HWND AllocMsgHWnd(Platform::TWndMethod AMethod = {});

// Runs AMethod on the main thread and returns when it has run; runs it at once on the
// calling thread when that is the main thread or GEnabledSynchronize is False. Must
// not be used from a worker that the main thread is waiting for (clear
// GEnabledSynchronize for such waits).
void MySynchronize(const Platform::TThreadMethod& AMethod);

// Runs what is queued for the main thread (posted and sent messages, synchronised
// methods) until nothing is left. True when at least one was handled; False, doing
// nothing, on any other thread than the main thread.
bool MyProcessMessages();

// ---- Handlers --------------------------------------------------------------------------------
//
// The handler contract. The conversion task and every component keep it; their headers
// point here.
//
// A handler is a host method that an object calls for one of its events (also its hooks),
// on the main thread or on one of the object's own threads, as the object's header says.
//  1. Any public method of an object may be called from any of its handlers, on whichever
//     thread the handler runs, and it returns. A call that would wait for something that
//     can happen only once the handler has returned (the handler's own thread, the
//     delivery that runs it, a job that waits for it) does not wait for that: it asks and
//     returns, and the events that report the end still follow. Where a call cannot give
//     its result without such a wait, it fails at once, in the unit's usual way of
//     failing (a False or error result with its error text).
//  2. Freeing the object from one of its own handlers is either supported or refused;
//     never a hang, a crash or a corrupted heap. It is supported at least from the
//     player's main-thread events, from a task's terminate handler (on any thread), and
//     from the encoder's end events (a task's end and the final one, on the main thread
//     or on the encoder's delivery thread); each header lists its own. A supported free
//     returns, no further event of the object reaches the host, and the object's threads
//     end by themselves without touching it.
//  3. From every other handler (a task's progress, hook and preview handlers; the player's
//     error event, its hooks and what its read thread waits for; the encoder's handlers
//     that a task's thread waits for) the free is refused at once: the process ends with
//     RefuseFreeFromHandler's text, on the log and on the standard error stream.
//  4. A call that waits on another frame of the same thread (the host in a waited Stop,
//     Terminate, Open or Seek, serving the main thread's queue) returns when a handler run
//     meanwhile frees the object, touching nothing of it.
//  5. The setters a handler may call are safe when handlers on two threads call them at
//     once.
//
// The mark below tells a unit which of its handlers (or other calls out to the host) run
// on the calling thread. It lives on the thread's stack and never in the object, so a
// handler that frees the object leaves it intact.

// One handler call in progress on this thread. Kind names the handler ("progress handler"):
// each unit declares one constant per kind and compares by that constant's address. A
// frame with a null Kind only watches for MarkFreed: a wait of WaitServing, or a caller of
// a handler that must learn whether the handler freed the object; FindHandler and
// InHandler skip it.
struct THandlerFrame {
  const void* Object;  // whose handler
  const char* Kind;
  const void* About;  // what the event is about (a task of the encoder ...); nullptr: none
  bool Freed;         // set by MarkFreed: a handler freed Object while this frame lived
  THandlerFrame* Outer;
};

// Marks a handler call of AObject on this thread while it lives (also through an exception).
class THandlerScope {
 public:
  THandlerScope(const void* AObject, const char* AKind, const void* AAbout = nullptr);
  ~THandlerScope();
  THandlerScope(const THandlerScope&) = delete;
  THandlerScope& operator=(const THandlerScope&) = delete;
  // Whether the object was freed on this thread while this scope lived (MarkFreed).
  bool Freed() const { return FFrame.Freed; }

 private:
  THandlerFrame FFrame;
};

// The innermost frame on this thread that APredicate accepts; nullptr when there is none.
const THandlerFrame* FindHandler(const std::function<bool(const THandlerFrame&)>& APredicate);
// Whether this thread runs a handler of AObject (of AKind only, when given).
bool InHandler(const void* AObject, const char* AKind = nullptr);
// Called by an object's destructor: every frame of AObject on this thread learns that it
// was freed, so the callers of its handlers (and its waits, see WaitServing) touch
// nothing of it when they resume.
void MarkFreed(const void* AObject);

// Ends the process for a free from a handler that cannot support it (point 3 above): the
// one text, built with Platform::AssertionText(AUnit, ALine, ...) and naming AHandler, is
// handed to ALog (the unit's log, when it has one) and written to the standard error
// stream, then the process aborts.
[[noreturn]] void RefuseFreeFromHandler(const char* AUnit, int ALine, const char* AHandler,
                                        const std::function<void(const std::string&)>& ALog = {});

// ---- Waiting on the main thread ----------------------------------------------------------
//
// A thread of an object may be waiting for the main thread (MySynchronize, a send to a
// message-only window) while the main thread waits for that thread. The two waits below
// never deadlock on that: on the main thread they run what is queued for it meanwhile
// (handlers included, which may call back into the waiting object or free it); on any
// other thread they simply block.

// Waits until ADone returns True. ADone(AMilliseconds) waits up to that long for the
// condition (Platform::INFINITE: until it holds) and returns whether it holds; the main
// thread asks it with 0 between runs of its queue. With AObject, the wait also ends, with
// False, when a handler run meanwhile on this thread freed AObject (MarkFreed): the caller
// then returns at once, touching nothing of it. True once ADone held.
bool WaitServing(const std::function<bool(Cardinal AMilliseconds)>& ADone,
                 const void* AObject = nullptr);
// The same for an event: returns when it is signalled (True) or AObject was freed (False).
bool WaitServing(Platform::TEvent& AEvent, const void* AObject = nullptr);

// Takes ALock (any lockable) and returns it held, serving the main thread's queue as
// WaitServing does: the holder may be a worker waiting for the main thread right then.
template <class M>
[[nodiscard]] std::unique_lock<M> LockServing(M& ALock) {
  std::unique_lock<M> g(ALock, std::defer_lock);
  (void)WaitServing([&g](Cardinal AMilliseconds) {
    if (AMilliseconds == 0) return g.try_lock();
    g.lock();
    return true;
  });
  return g;
}

// ---- Files and paths -----------------------------------------------------------------------

using TPathFileName = std::string;

// The running program's full file name, its folder with a trailing "/", its file name.
TPathFileName ExeName();
TPathFileName ExePath();
TPathFileName ExeFile();

// The size of the file AFileName; -1 when it does not exist (or is no regular file).
std::int64_t GetFileSize(const TPathFileName& AFileName);
// "1.50 GB", "2.00 MB", "1.00 KB" (from 1,025 bytes), "1024 Byte".
std::string FileSizeToStr(std::int64_t ASize);
// The part of AText before the first ADelimiter (all of it when there is none); with
// ADelete AText keeps only what follows the delimiter (nothing when there is none).
std::string Fetch(std::string& AText, const std::string& ADelimiter, bool ADelete);

// ---- Time ----------------------------------------------------------------------------------

// "UTC" for the local time zone at UTC, else "UTC+hh:mm" for a zone east of UTC and
// "UTC-hh:mm" for one west of it. ABiasMinutes: UTC minus local time in minutes (-480
// for UTC+08:00); the form without it takes the local zone's bias.
std::string GetTimeZoneAbbreviation();
std::string GetTimeZoneAbbreviation(int ABiasMinutes);
// The local zone's offset from UTC in days (positive east of UTC).
double DateTimeOffset();
// Seconds since 1970-01-01 00:00 UTC of a UTC date-time (rounded to the nearest second);
// the Ex form takes a local date-time.
std::int64_t DateTimeToUnix(Platform::TDateTime AValue);
std::int64_t DateTimeToUnixEx(Platform::TDateTime AValue);
// The UTC date-time of Unix seconds; the Ex form gives local time.
Platform::TDateTime UnixToDateTime(std::int64_t ASeconds);
Platform::TDateTime UnixToDateTimeEx(std::int64_t ASeconds);
// AValue formatted by AFormat (Platform::FormatDateTime).
std::string LogDateTime(Platform::TDateTime AValue, const std::string& AFormat);
// The microseconds since the previous call, in decimal (the first call measures from
// counter value 0). Process-wide.
std::string CountTimeTickEx();
// The compiler's name and version, then the language edition and the platform in
// brackets: "GCC 12.2.0 (C++20, Linux x86-64)". The banner's "built with" line.
std::string GetCompiler();

// ---- C strings and integers ------------------------------------------------------------------

// Reads an integer from AText: leading blanks (space, 9 to 13), an optional sign and,
// for base 0 or 16, an optional "0x"/"0X" prefix; then every ASCII letter and digit
// that follows is taken, and AEnd (when given) points behind them. Base 0 means 16
// after a prefix, 10 otherwise. The value is made of the digits up to the first one
// that is not a digit of the base; beyond the 64-bit range it saturates at INT64_MIN /
// INT64_MAX.
std::int64_t my_strtoll(const char* AText, char** AEnd, int ABase);
// Length of the initial run of AText made only of bytes of ASet.
int MyStrSpn(const char* AText, const char* ASet);
// Length in bytes of a zero-terminated text (0 for nullptr).
int MyStrLen(const char* AText);
// AValue shifted right by AShift modulo 32: logically when not negative, and for a
// negative value divided by 2^shift truncating toward zero (-1 by 1 gives 0).
int MySAR(int AValue, std::uint8_t AShift);
// True for the printable ASCII bytes 32 to 126.
bool isprint(std::uint8_t AChar);
// The median of three values.
int mid_pred(int A, int B, int C);
std::int64_t mid_pred(std::int64_t A, std::int64_t B, std::int64_t C);
// Number of trailing zero bits (32 for 0); number of set bits.
int stdc_trailing_zeros(Cardinal AValue);
int stdc_count_ones(Cardinal AValue);
// AThen when ACondition holds, else AElse.
const char* IIF(bool ACondition, const char* AThen, const char* AElse);
int IIF(bool ACondition, int AThen, int AElse);
std::int64_t IIF(bool ACondition, std::int64_t AThen, std::int64_t AElse);

}  // namespace MyUtils

// Helpers for the stub units: each unit keeps one list macro of its entry points,
//   #define AVUTIL_ENTRY_POINTS(X) X(av_log) X(av_malloc) ...
// and generates from it the variables (named exactly as the C entry points, typed
// with their prototypes from the library headers), the fixup and the unfix.
#define OSTREVAN_STUB_DECLARE(name) extern decltype(&::name) name;
#define OSTREVAN_STUB_DEFINE(name) decltype(&::name) name = nullptr;
#define OSTREVAN_STUB_FIXUP(name) ::MyUtils::FixupStub(ALibName, AHandle, #name, name, false);
#define OSTREVAN_STUB_FIXUP_OPTIONAL(name) ::MyUtils::FixupStub(ALibName, AHandle, #name, name, true);
#define OSTREVAN_STUB_UNFIX(name) name = nullptr;
// The same for units whose variables have a named procedure type T<name>Proc.
#define OSTREVAN_PROC_DECLARE(name) extern T##name##Proc name;
#define OSTREVAN_PROC_DEFINE(name) T##name##Proc name = nullptr;
