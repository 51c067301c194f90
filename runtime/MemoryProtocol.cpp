#include "runtime/MemoryProtocol.h"

#include <climits>
#include <condition_variable>
#include <exception>
#include <memory>
#include <optional>
#include <unordered_map>

#include "platform/Dispatcher.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/MyUtils.h"

namespace MemoryProtocol {

namespace {

constexpr int CBufferSize = 32768;

// One registration of a stream. Calls into a plain stream are serialised here; an event
// stream serialises its own calls. FNumber is never given to another registration in
// the process: an I/O context carries it (as its opaque value), not the stream's address,
// so that a context left open over a stream that is gone never reaches another stream
// registered later at the same address.
struct TEntry {
  Platform::TStream* FStream;
  TCustomEventStream* FEventStream;
  std::uintptr_t FNumber;
  std::mutex FCallLock;
};
using PEntry = std::shared_ptr<TEntry>;

// Everything here is guarded by GRegistryLock. FCalls counts the calls under way into
// each stream object, through whichever of its registrations they started: every
// unregistering of a stream waits until its count is gone, so that no call reaches an
// object that its owner frees once it is unregistered.
struct TRegistry {
  std::unordered_map<const void*, PEntry> FByStream;        // what memory_open accepts
  std::unordered_map<std::uintptr_t, PEntry> FByNumber;     // what I/O contexts reach
  std::unordered_map<const void*, int> FCalls;
  std::uintptr_t FLastNumber = 0;
};

std::mutex GRegistryLock;
std::condition_variable GCallEnded;  // with GRegistryLock
TRegistry& Registry() {
  static auto* registry = new TRegistry();
  return *registry;
}

// A call into a registered stream runs the host's code: it is marked on the thread that
// runs it with the one handler mark (MyUtils::THandlerScope, object: the stream); a
// handler of an event stream runs on the main thread when asked, and is marked there as
// well.
constexpr char CStreamCall[] = "stream handler";

// Registers AStream unless it is registered already.
void Register(Platform::TStream* AStream, TCustomEventStream* AEventStream) {
  TRegistry& registry = Registry();
  std::lock_guard lock(GRegistryLock);
  PEntry& entry = registry.FByStream[AStream];
  if (entry) return;
  entry = std::make_shared<TEntry>();
  entry->FStream = AStream;
  entry->FEventStream = AEventStream;
  entry->FNumber = ++registry.FLastNumber;
  registry.FByNumber[entry->FNumber] = entry;
}

// How a call names its stream: the host's object (its address), or the I/O context's
// opaque value (the registration's number).
enum class TBy { Stream, Context };

// One call into a registered stream: its registration (none when the key names no
// registration), counted as a call under way into the stream and marked as running on
// this thread, for the scope.
class TUse {
 public:
  TUse(TBy ABy, const void* AKey) {
    if (!AKey) return;
    TRegistry& registry = Registry();
    std::lock_guard lock(GRegistryLock);
    if (ABy == TBy::Stream) {
      auto it = registry.FByStream.find(AKey);
      if (it != registry.FByStream.end()) FEntry = it->second;
    } else {
      auto it = registry.FByNumber.find(reinterpret_cast<std::uintptr_t>(AKey));
      if (it != registry.FByNumber.end()) FEntry = it->second;
    }
    if (!FEntry) return;
    ++registry.FCalls[FEntry->FStream];
    FMark.emplace(FEntry->FStream, CStreamCall);
  }
  ~TUse() {
    if (!FEntry) return;
    FMark.reset();
    {
      std::lock_guard lock(GRegistryLock);
      auto& calls = Registry().FCalls;
      if (--calls[FEntry->FStream] == 0) calls.erase(FEntry->FStream);
    }
    GCallEnded.notify_all();
    Platform::NotifyMainThread();  // an unregistering main thread waits on its queue
  }
  TUse(const TUse&) = delete;
  TUse& operator=(const TUse&) = delete;
  TEntry* operator->() const { return FEntry.get(); }
  explicit operator bool() const { return FEntry != nullptr; }

 private:
  PEntry FEntry;
  std::optional<MyUtils::THandlerScope> FMark;
};

// The host's stream runs inside libavformat's C frames: an exception must not pass
// through them (it would skip their clean-up, or end the process). It becomes an I/O
// error, and its text reaches the log.
template <class F>
std::int64_t HostCall(const char* AWhat, F&& ACall) {
  try {
    return ACall();
  } catch (const std::exception& e) {
    AVUtilStubs::av_log(nullptr, AV_LOG_ERROR, "Host stream %s failed: %s\n", AWhat, e.what());
  } catch (...) {
    AVUtilStubs::av_log(nullptr, AV_LOG_ERROR, "Host stream %s failed\n", AWhat);
  }
  return AVERROR(EIO);
}

int IntCount(std::int64_t ACount) {
  if (ACount < 0) return 0;
  return ACount > INT_MAX ? INT_MAX : static_cast<int>(ACount);
}

// Runs ACall on the main thread (waiting for it) or directly. The hand-over fields are
// filled, used and read back inside ACall under the call lock, on the thread that runs
// the handler, so calls from several threads never mix their values.
template <class F>
void Dispatch(bool AInMainThread, F& ACall) {
  if (AInMainThread)
    MyUtils::MySynchronize(Platform::TThreadMethod::FromFunction(
        [](void* AData) { (*static_cast<F*>(AData))(); }, &ACall));
  else
    ACall();
}

int ReadPacket(void* AOpaque, std::uint8_t* ABuffer, int ASize) {
  TUse entry(TBy::Context, AOpaque);
  if (!entry) return AVERROR(EIO);
  const std::int64_t result = HostCall("read", [&]() -> std::int64_t {
    if (entry->FEventStream) return entry->FEventStream->Read(ABuffer, ASize);
    std::lock_guard lock(entry->FCallLock);
    return entry->FStream->Read(ABuffer, ASize);
  });
  // The host's count is not trusted: more than was asked would make the library read
  // past its buffer, and a negative count is a failure unless it is the end itself.
  if (result == 0 || result == AVERROR_EOF) return AVERROR_EOF;
  if (result < 0) return AVERROR(EIO);
  return static_cast<int>(std::min<std::int64_t>(result, ASize));
}

// A short write would lose the rest of the buffer without a word: it is an error.
int WritePacket(void* AOpaque, const std::uint8_t* ABuffer, int ASize) {
  TUse entry(TBy::Context, AOpaque);
  if (!entry) return AVERROR(EIO);
  const std::int64_t result = HostCall("write", [&]() -> std::int64_t {
    if (entry->FEventStream) return entry->FEventStream->Write(ABuffer, ASize);
    std::lock_guard lock(entry->FCallLock);
    return entry->FStream->Write(ABuffer, ASize);
  });
  if (result < 0) return AVERROR(EIO);
  if (result < ASize) return AVERROR(EIO);
  return ASize;
}

std::int64_t SeekPacket(void* AOpaque, std::int64_t AOffset, int AWhence) {
  TUse entry(TBy::Context, AOpaque);
  if (!entry) return AVERROR(EIO);
  AWhence &= ~AVSEEK_FORCE;
  auto origin = Platform::TSeekOrigin::soBeginning;
  switch (AWhence) {
    case AVSEEK_SIZE: break;
    case SEEK_SET: break;
    case SEEK_CUR: origin = Platform::TSeekOrigin::soCurrent; break;
    case SEEK_END: origin = Platform::TSeekOrigin::soEnd; break;
    default: return AVERROR(EINVAL);
  }
  return HostCall("seek", [&]() -> std::int64_t {
    std::unique_lock lock(entry->FCallLock, std::defer_lock);
    if (!entry->FEventStream) lock.lock();
    if (AWhence == AVSEEK_SIZE) return entry->FStream->GetSize();
    return entry->FStream->Seek(AOffset, origin);
  });
}

}  // namespace

// TCustomEventStream

TCustomEventStream::TCustomEventStream() {
  FTriggerEventInMainThread = true;
  Register(this, this);
}

TCustomEventStream::~TCustomEventStream() {
  UnregisterStream(this);
  FOnOpen = nullptr;
  FOnClose = nullptr;
  FOnRead = nullptr;
  FOnWrite = nullptr;
  FOnSeek = nullptr;
}

bool TCustomEventStream::Open(const std::string& AFilename, int& ASeekable) {
  bool result = false;
  auto call = [&] {
    const MyUtils::THandlerScope mark(static_cast<Platform::TStream*>(this), CStreamCall);
    std::lock_guard lock(FCallLock);
    FFilename = AFilename;
    FOnOpenSeekable = ASeekable;
    CallOpen();
    ASeekable = FOnOpenSeekable;
    result = FOnOpenResult;
  };
  Dispatch(FTriggerEventInMainThread, call);
  FOpened = result;
  return result;
}

void TCustomEventStream::CallOpen() {
  FOnOpenResult = FOnOpen ? FOnOpen(this, FFilename, FOnOpenSeekable) : false;
}

void TCustomEventStream::Close() {
  auto call = [&] {
    const MyUtils::THandlerScope mark(static_cast<Platform::TStream*>(this), CStreamCall);
    std::lock_guard lock(FCallLock);
    CallClose();
  };
  Dispatch(FTriggerEventInMainThread, call);
  FOpened = false;
}

void TCustomEventStream::CallClose() {
  if (FOnClose) FOnClose(this);
}

std::int64_t TCustomEventStream::Read(void* ABuffer, std::int64_t ACount) {
  int result = -1;
  auto call = [&] {
    const MyUtils::THandlerScope mark(static_cast<Platform::TStream*>(this), CStreamCall);
    std::lock_guard lock(FCallLock);
    FOnReadBuffer = ABuffer;
    FOnReadCount = IntCount(ACount);
    CallRead();
    result = FOnReadResult;
  };
  Dispatch(FTriggerEventInMainThread, call);
  return result;
}

void TCustomEventStream::CallRead() {
  FOnReadResult = FOnRead ? FOnRead(this, FOnReadBuffer, FOnReadCount) : -1;
}

std::int64_t TCustomEventStream::Write(const void* ABuffer, std::int64_t ACount) {
  int result = -1;
  auto call = [&] {
    const MyUtils::THandlerScope mark(static_cast<Platform::TStream*>(this), CStreamCall);
    std::lock_guard lock(FCallLock);
    FOnWriteBuffer = ABuffer;
    FOnWriteCount = IntCount(ACount);
    CallWrite();
    result = FOnWriteResult;
  };
  Dispatch(FTriggerEventInMainThread, call);
  return result;
}

void TCustomEventStream::CallWrite() {
  FOnWriteResult = FOnWrite ? FOnWrite(this, FOnWriteBuffer, FOnWriteCount) : -1;
}

std::int64_t TCustomEventStream::Seek(std::int64_t AOffset, Platform::TSeekOrigin AOrigin) {
  std::int64_t result = -1;
  auto call = [&] {
    const MyUtils::THandlerScope mark(static_cast<Platform::TStream*>(this), CStreamCall);
    std::lock_guard lock(FCallLock);
    FOnSeekOffset = AOffset;
    FOnSeekOrigin = AOrigin;
    CallSeek();
    result = FOnSeekResult;
  };
  Dispatch(FTriggerEventInMainThread, call);
  return result;
}

void TCustomEventStream::CallSeek() {
  FOnSeekResult = FOnSeek ? FOnSeek(this, FOnSeekOffset, FOnSeekOrigin) : -1;
}

// Registry

void RegisterStream(Platform::TStream* AStream) {
  if (!AStream) return;
  Register(AStream, dynamic_cast<TCustomEventStream*>(AStream));
}

void UnregisterStream(Platform::TStream* AStream) {
  TRegistry& registry = Registry();
  std::unique_lock lock(GRegistryLock);
  auto it = registry.FByStream.find(AStream);
  if (it != registry.FByStream.end()) {
    registry.FByNumber.erase(it->second->FNumber);
    registry.FByStream.erase(it);
  }
  // No call starts from here on. The calls under way are waited for also when another
  // thread unregistered the stream first. A call of this thread's own (a handler that
  // unregisters its stream) ends after this returns: it cannot be waited for.
  if (MyUtils::InHandler(AStream, CStreamCall)) return;
  lock.unlock();
  // The main thread keeps serving its queue: a call of an event stream may wait there
  // for its handler (a call that ends wakes it).
  (void)MyUtils::WaitServing([&registry, AStream](Platform::Cardinal AMilliseconds) {
    std::unique_lock calls(GRegistryLock);
    const auto idle = [&] { return registry.FCalls.count(AStream) == 0; };
    if (AMilliseconds == 0) return idle();
    GCallEnded.wait(calls, idle);
    return true;
  });
}

// The I/O routines

int memory_open(void* AOpaque, const char* AUrl, int AFlags, AVIOContext** APb) {
  using AVFormatStubs::avio_alloc_context;
  using AVUtilStubs::av_free;
  using AVUtilStubs::av_malloc;

  TUse entry(TBy::Stream, AOpaque);
  if (!entry) return -1;
  int seekable = 0;
  if (entry->FEventStream) {
    seekable = 1;
    if (HostCall("open", [&]() -> std::int64_t {
          return entry->FEventStream->Open(AUrl ? AUrl : "", seekable) ? 0 : -1;
        }) != 0)
      return -1;
  }

  auto* buffer = static_cast<unsigned char*>(av_malloc(CBufferSize));
  if (!buffer) {
    if (entry->FEventStream) (void)memory_close(AOpaque);
    return AVERROR(ENOMEM);
  }
  // the context reaches this registration (TBy::Context), not whatever lives at AOpaque
  AVIOContext* pb = avio_alloc_context(buffer, CBufferSize, AFlags,
                                       reinterpret_cast<void*>(entry->FNumber), ReadPacket,
                                       WritePacket, seekable != 0 ? SeekPacket : nullptr);
  if (!pb) {
    av_free(buffer);
    if (entry->FEventStream) (void)memory_close(AOpaque);
    return AVERROR(ENOMEM);
  }
  *APb = pb;
  return 0;
}

int memory_close(void*& AOpaque) {
  TUse entry(TBy::Stream, AOpaque);
  if (entry && entry->FEventStream) {
    (void)HostCall("close", [&]() -> std::int64_t {
      entry->FEventStream->Close();
      return 0;
    });
    AOpaque = nullptr;
  }
  return 0;
}

}  // namespace MemoryProtocol
