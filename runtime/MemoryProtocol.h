// FFmpeg I/O over a host stream object instead of a file or URL.
//
// A host hands a stream object's address to the engine, the decoder or the player as
// an integer (the option "memory"); opening the input or output then wraps the object
// in an FFmpeg I/O context with memory_open, and memory_close ends it. Two kinds of
// object serve: any Platform::TStream, and TCustomEventStream, whose operations are
// the host's event handlers, run on the main thread when asked.
//
// Only registered objects are accepted, so that an integer from a command line is
// never taken for an object unless one lives there: an event stream registers itself
// for its lifetime; a plain stream is registered by its owner (RegisterStream) and
// unregistered before it is destroyed. A stream must outlive the I/O contexts opened
// over it.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

extern "C" {
#include <libavformat/avio.h>
}

#include "platform/Method.h"
#include "platform/Streams.h"
#include "platform/Threads.h"

namespace MemoryProtocol {

using TStreamOpenEvent =
    Platform::TMethod<bool(void* Sender, const std::string& AFilename, int& ASeekable)>;
using TStreamReadEvent = Platform::TMethod<int(void* Sender, void* Buffer, int Count)>;
using TStreamWriteEvent = Platform::TMethod<int(void* Sender, const void* Buffer, int Count)>;
using TStreamSeekEvent = Platform::TMethod<std::int64_t(void* Sender, std::int64_t Offset,
                                                        Platform::TSeekOrigin Origin)>;
using Platform::TNotifyEvent;

// A stream whose operations are delegated to event handlers. With
// TriggerEventInMainThread (the default) every handler runs on the main thread and
// the calling thread waits for it, so the main thread must keep processing its queue
// while FFmpeg reads or writes through the stream. Calls on one object run one at a
// time.
class TCustomEventStream : public Platform::TStream {
 public:
  TCustomEventStream();
  ~TCustomEventStream() override;

  // Calls OnOpen with the name and the seekable value (1: FFmpeg may seek, 0: not);
  // False when OnOpen is unassigned. Opened tells the result afterwards.
  bool Open(const std::string& AFilename, int& ASeekable);
  void Close();

  // Unassigned handlers give -1.
  std::int64_t Read(void* ABuffer, std::int64_t ACount) override;
  std::int64_t Write(const void* ABuffer, std::int64_t ACount) override;
  std::int64_t Seek(std::int64_t AOffset, Platform::TSeekOrigin AOrigin) override;
  // The size is the handlers' business: nothing to do here.
  void SetSize(std::int64_t) override {}

  bool Opened() const { return FOpened.load(); }
  bool TriggerEventInMainThread() const { return FTriggerEventInMainThread.load(); }
  void SetTriggerEventInMainThread(bool AValue) { FTriggerEventInMainThread.store(AValue); }

 protected:
  const TStreamOpenEvent& OnOpen() const { return FOnOpen; }
  void SetOnOpen(TStreamOpenEvent AValue) { FOnOpen = AValue; }
  const TNotifyEvent& OnClose() const { return FOnClose; }
  void SetOnClose(TNotifyEvent AValue) { FOnClose = AValue; }
  const TStreamReadEvent& OnRead() const { return FOnRead; }
  void SetOnRead(TStreamReadEvent AValue) { FOnRead = AValue; }
  const TStreamWriteEvent& OnWrite() const { return FOnWrite; }
  void SetOnWrite(TStreamWriteEvent AValue) { FOnWrite = AValue; }
  const TStreamSeekEvent& OnSeek() const { return FOnSeek; }
  void SetOnSeek(TStreamSeekEvent AValue) { FOnSeek = AValue; }

 private:
  void CallOpen();
  void CallClose();
  void CallRead();
  void CallWrite();
  void CallSeek();

  std::atomic<bool> FOpened{false};
  std::string FFilename;
  std::atomic<bool> FTriggerEventInMainThread{true};
  TStreamOpenEvent FOnOpen;
  TNotifyEvent FOnClose;
  TStreamReadEvent FOnRead;
  TStreamWriteEvent FOnWrite;
  TStreamSeekEvent FOnSeek;
  // hand-over of the calls, touched only under FCallLock (re-entrant: a handler may
  // call its own stream)
  bool FOnOpenResult = false;
  int FOnOpenSeekable = 0;
  int FOnReadResult = 0;
  void* FOnReadBuffer = nullptr;
  int FOnReadCount = 0;
  std::int64_t FOnSeekResult = 0;
  std::int64_t FOnSeekOffset = 0;
  Platform::TSeekOrigin FOnSeekOrigin = Platform::TSeekOrigin::soBeginning;
  int FOnWriteResult = 0;
  const void* FOnWriteBuffer = nullptr;
  int FOnWriteCount = 0;
  std::recursive_mutex FCallLock;
};

// The same stream with its events public.
class TEventStream : public TCustomEventStream {
 public:
  using TCustomEventStream::OnClose;
  using TCustomEventStream::OnOpen;
  using TCustomEventStream::OnRead;
  using TCustomEventStream::OnSeek;
  using TCustomEventStream::OnWrite;
  using TCustomEventStream::SetOnClose;
  using TCustomEventStream::SetOnOpen;
  using TCustomEventStream::SetOnRead;
  using TCustomEventStream::SetOnSeek;
  using TCustomEventStream::SetOnWrite;
};

// Registry of the stream objects that memory_open accepts (by the address of their
// TStream). Registering twice is harmless; an event stream needs neither call.
// UnregisterStream returns once no call into the stream is under way, also when another
// thread unregisters the same stream at the same time (on the main thread it serves the
// main thread's queue meanwhile), so the stream may be freed right after it. An I/O
// context still open over the stream then gets I/O errors, also once another stream is
// registered at the same address: a context reaches the registration it was opened
// over, never a later one. Called from inside one of the stream's own calls,
// UnregisterStream cannot wait for that call and returns at once.
// An exception thrown by a stream's operation or handler never reaches the library: the
// operation fails with an I/O error (logged).
void RegisterStream(Platform::TStream* AStream);
void UnregisterStream(Platform::TStream* AStream);

// Wraps the registered stream at AOpaque in a new I/O context with a 32,768-byte
// buffer, writable when AFlags is not 0. An event stream is opened first (AUrl is its
// file name) and can seek unless its OnOpen says otherwise; a plain stream cannot.
// Returns 0, -1 for an object that is not a registered stream or an event stream that
// does not open, or AVERROR(ENOMEM). The context's opaque value is the number of the
// stream's registration (never reused in the process), not its address. The caller
// frees the context and its buffer.
int memory_open(void* AOpaque, const char* AUrl, int AFlags, AVIOContext** APb);
// Closes an event stream and clears AOpaque; other objects are left alone. Returns 0.
int memory_close(void*& AOpaque);

}  // namespace MemoryProtocol
