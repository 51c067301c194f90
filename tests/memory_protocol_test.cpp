// FFmpeg I/O over host stream objects.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "TestLibraries.h"
#include "platform/Dispatcher.h"
#include "platform/Object.h"
#include "platform/Types.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/MemoryProtocol.h"
#include "MainThreadPump.h"

namespace {

using MemoryProtocol::TEventStream;
using Platform::TSeekOrigin;

// A file in memory behind the events of a TEventStream; it notes which threads ran
// the handlers and whether two handlers ever ran at once.
class TEventFile {
 public:
  explicit TEventFile(TEventStream& AStream) : FStream(AStream) {
    AStream.SetOnOpen(MemoryProtocol::TStreamOpenEvent::Bind<&TEventFile::DoOpen>(this));
    AStream.SetOnClose(Platform::TNotifyEvent::Bind<&TEventFile::DoClose>(this));
    AStream.SetOnRead(MemoryProtocol::TStreamReadEvent::Bind<&TEventFile::DoRead>(this));
    AStream.SetOnWrite(MemoryProtocol::TStreamWriteEvent::Bind<&TEventFile::DoWrite>(this));
    AStream.SetOnSeek(MemoryProtocol::TStreamSeekEvent::Bind<&TEventFile::DoSeek>(this));
  }

  std::vector<std::uint8_t> FData;
  std::int64_t FPosition = 0;
  bool FOpenResult = true;
  int FSeekableAnswer = -1;  // what OnOpen sets; -1 leaves the value alone
  std::string FOpenedName;
  int FOpenedSeekable = -1;
  int FCloses = 0;
  int FWriteLimit = -1;  // accept at most this many bytes per write; -1: all
  int FExtraCount = 0;   // added to the count of full reads and of writes
  int FFailWith = 0;     // when not 0, what every read and write reports
  std::vector<Platform::TThreadID> FThreads;
  std::atomic<int> FInside{0};
  std::atomic<bool> FOverlap{false};

 private:
  struct TInside {
    explicit TInside(TEventFile& AFile) : F(AFile) {
      if (F.FInside.fetch_add(1) != 0) F.FOverlap = true;
      F.FThreads.push_back(Platform::GetCurrentThreadId());
    }
    ~TInside() { F.FInside.fetch_sub(1); }
    TEventFile& F;
  };

  bool DoOpen(void* ASender, const std::string& AFilename, int& ASeekable) {
    TInside in(*this);
    EXPECT_EQ(ASender, &FStream);
    FOpenedName = AFilename;
    FOpenedSeekable = ASeekable;
    if (FSeekableAnswer >= 0) ASeekable = FSeekableAnswer;
    FPosition = 0;
    return FOpenResult;
  }
  void DoClose(void* ASender) {
    TInside in(*this);
    EXPECT_EQ(ASender, &FStream);
    ++FCloses;
  }
  int DoRead(void*, void* ABuffer, int ACount) {
    TInside in(*this);
    const std::int64_t n =
        std::max<std::int64_t>(0, std::min<std::int64_t>(ACount, FData.size() - FPosition));
    if (n > 0) std::memcpy(ABuffer, FData.data() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    if (FFailWith) return FFailWith;
    return static_cast<int>(n) + (n == ACount ? FExtraCount : 0);
  }
  int DoWrite(void*, const void* ABuffer, int ACount) {
    TInside in(*this);
    if (FWriteLimit >= 0) ACount = std::min(ACount, FWriteLimit);
    if (FData.size() < static_cast<size_t>(FPosition + ACount)) FData.resize(FPosition + ACount);
    std::memcpy(FData.data() + FPosition, ABuffer, static_cast<size_t>(ACount));
    FPosition += ACount;
    if (FFailWith) return FFailWith;
    return ACount + FExtraCount;
  }
  std::int64_t DoSeek(void*, std::int64_t AOffset, TSeekOrigin AOrigin) {
    TInside in(*this);
    const std::int64_t base = AOrigin == TSeekOrigin::soBeginning ? 0
                              : AOrigin == TSeekOrigin::soCurrent ? FPosition
                                                                  : std::int64_t(FData.size());
    if (base + AOffset < 0) return -1;
    return FPosition = base + AOffset;
  }

  TEventStream& FStream;
};

class MemoryProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override { TestLibraries::RequireFFmpegLibraries(); }

  static void FreeContext(AVIOContext*& APb) {
    if (!APb) return;
    AVUtilStubs::av_freep(&APb->buffer);
    AVFormatStubs::avio_context_free(&APb);
  }

  static std::vector<std::uint8_t> Pattern(size_t ASize) {
    std::vector<std::uint8_t> data(ASize);
    std::uint32_t x = 12345;
    for (auto& b : data) {
      x = x * 1103515245u + 12345u;
      b = static_cast<std::uint8_t>(x >> 16);
    }
    return data;
  }

  // Runs ACall on a worker thread while this (the main) thread processes its queue.
  template <class F>
  static void OnWorker(F ACall) {
    MainThreadPump::RunPumping(ACall);
  }
};

TEST_F(MemoryProtocolTest, OpenAcceptsRegisteredStreamsOnly) {
  struct TCase {
    const char* Name;
    int Kind;  // 0 plain stream, 1 event stream, 2 other object, 3 bare integer
    bool Register;
    bool AssignOpen;
    bool OpenResult;
    int SeekableAnswer;
    int Result;
    int Seekable;
  };
  const TCase cases[] = {
      {"plain stream", 0, true, false, false, -1, 0, 0},
      {"plain stream never registered", 0, false, false, false, -1, -1, 0},
      {"event stream", 1, true, true, true, -1, 0, AVIO_SEEKABLE_NORMAL},
      {"event stream that cannot seek", 1, true, true, true, 0, 0, 0},
      {"event stream that does not open", 1, true, true, false, -1, -1, 0},
      {"event stream without OnOpen", 1, true, false, true, -1, -1, 0},
      {"other object", 2, false, false, false, -1, -1, 0},
      {"bare integer", 3, false, false, false, -1, -1, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Platform::TMemoryStream plain;
    TEventStream events;
    TEventFile file(events);
    if (!c.AssignOpen) events.SetOnOpen(nullptr);
    file.FOpenResult = c.OpenResult;
    file.FSeekableAnswer = c.SeekableAnswer;
    Platform::TComponent other;
    void* object = nullptr;
    switch (c.Kind) {
      case 0: object = static_cast<Platform::TStream*>(&plain); break;
      case 1: object = static_cast<Platform::TStream*>(&events); break;
      case 2: object = &other; break;
      case 3: object = reinterpret_cast<void*>(std::intptr_t{0x12345678}); break;
    }
    if (c.Register) MemoryProtocol::RegisterStream(&plain);

    AVIOContext* pb = nullptr;
    EXPECT_EQ(MemoryProtocol::memory_open(object, "stream://name", 0, &pb), c.Result);
    if (c.Result == 0) {
      ASSERT_NE(pb, nullptr);
      EXPECT_EQ(pb->seekable, c.Seekable);
      EXPECT_EQ(pb->seek != nullptr, c.Seekable != 0);
      EXPECT_EQ(pb->buffer_size, 32768);
      EXPECT_EQ(pb->write_flag, 0);
    } else {
      EXPECT_EQ(pb, nullptr);
    }
    if (c.Kind == 1 && c.AssignOpen) {
      EXPECT_EQ(file.FOpenedName, "stream://name");
      EXPECT_EQ(file.FOpenedSeekable, 1);
      EXPECT_EQ(events.Opened(), c.Result == 0);
    }
    FreeContext(pb);
    MemoryProtocol::UnregisterStream(&plain);
  }
  EXPECT_EQ(MemoryProtocol::memory_open(nullptr, "x", 0, nullptr), -1);
}

TEST_F(MemoryProtocolTest, CloseEndsEventStreamsOnly) {
  TEventStream events;
  TEventFile file(events);
  void* opaque = static_cast<Platform::TStream*>(&events);
  AVIOContext* pb = nullptr;
  ASSERT_EQ(MemoryProtocol::memory_open(opaque, "a", 0, &pb), 0);
  EXPECT_TRUE(events.Opened());
  EXPECT_EQ(MemoryProtocol::memory_close(opaque), 0);
  EXPECT_EQ(opaque, nullptr);
  EXPECT_FALSE(events.Opened());
  EXPECT_EQ(file.FCloses, 1);
  FreeContext(pb);

  Platform::TMemoryStream plain;
  MemoryProtocol::RegisterStream(&plain);
  opaque = static_cast<Platform::TStream*>(&plain);
  EXPECT_EQ(MemoryProtocol::memory_close(opaque), 0);
  EXPECT_EQ(opaque, &plain);
  MemoryProtocol::UnregisterStream(&plain);
  void* wild = reinterpret_cast<void*>(std::intptr_t{0x1000});
  EXPECT_EQ(MemoryProtocol::memory_close(wild), 0);
  EXPECT_EQ(wild, reinterpret_cast<void*>(std::intptr_t{0x1000}));
}

// Bytes written through one I/O context come back through another, for both kinds of
// stream; the event stream also seeks and tells its size.
TEST_F(MemoryProtocolTest, BytesRoundTripThroughAnIOContext) {
  using AVFormatStubs::avio_feof;
  using AVFormatStubs::avio_flush;
  using AVFormatStubs::avio_read;
  using AVFormatStubs::avio_seek;
  using AVFormatStubs::avio_size;
  using AVFormatStubs::avio_write;
  const std::vector<std::uint8_t> data = Pattern(100000);
  for (const bool eventStream : {false, true}) {
    SCOPED_TRACE(eventStream ? "event stream" : "plain stream");
    Platform::TMemoryStream plain;
    MemoryProtocol::RegisterStream(&plain);
    TEventStream events;
    TEventFile file(events);
    void* object = eventStream ? static_cast<Platform::TStream*>(&events)
                               : static_cast<Platform::TStream*>(&plain);

    AVIOContext* pb = nullptr;
    ASSERT_EQ(MemoryProtocol::memory_open(object, "out", AVIO_FLAG_WRITE, &pb), 0);
    avio_write(pb, data.data(), static_cast<int>(data.size()));
    avio_flush(pb);
    EXPECT_EQ(pb->error, 0);
    FreeContext(pb);
    void* handle = object;
    MemoryProtocol::memory_close(handle);
    plain.SetPosition(0);

    ASSERT_EQ(MemoryProtocol::memory_open(object, "in", 0, &pb), 0);
    std::vector<std::uint8_t> back(data.size() + 10);
    int total = 0;
    for (int n; (n = avio_read(pb, back.data() + total, 7000)) > 0;) total += n;
    EXPECT_EQ(total, static_cast<int>(data.size()));
    EXPECT_TRUE(avio_feof(pb));
    back.resize(static_cast<size_t>(total));
    EXPECT_TRUE(back == data);
    if (eventStream) {
      EXPECT_EQ(avio_size(pb), static_cast<std::int64_t>(data.size()));
      EXPECT_EQ(avio_seek(pb, 60000, SEEK_SET), 60000);
      std::uint8_t some[16];
      EXPECT_EQ(avio_read(pb, some, 16), 16);
      EXPECT_EQ(std::memcmp(some, data.data() + 60000, 16), 0);
    }
    FreeContext(pb);
    handle = object;
    MemoryProtocol::memory_close(handle);
    MemoryProtocol::UnregisterStream(&plain);
  }
}

TEST_F(MemoryProtocolTest, AShortWriteIsAnError) {
  TEventStream events;
  TEventFile file(events);
  file.FWriteLimit = 1000;
  AVIOContext* pb = nullptr;
  ASSERT_EQ(MemoryProtocol::memory_open(static_cast<Platform::TStream*>(&events), "out",
                                        AVIO_FLAG_WRITE, &pb),
            0);
  const std::vector<std::uint8_t> data = Pattern(5000);
  AVFormatStubs::avio_write(pb, data.data(), static_cast<int>(data.size()));
  AVFormatStubs::avio_flush(pb);
  EXPECT_EQ(pb->error, AVERROR(EIO));
  FreeContext(pb);
}

// A host stream's counts are not taken on trust: more bytes than were asked count as
// what was asked (the library's buffer is never overrun), and a negative count other
// than the end is an I/O error.
TEST_F(MemoryProtocolTest, HostCountsAreClampedAndFailuresAreIOErrors) {
  using AVFormatStubs::avio_flush;
  using AVFormatStubs::avio_read;
  using AVFormatStubs::avio_write;
  const std::vector<std::uint8_t> data = Pattern(100000);
  struct {
    const char* Name;
    int Extra;
    int FailWith;
    int ReadResult;  // of the first read; the whole content when positive
    int WriteError;
  } const rows[] = {
      {"counts as told", 0, 0, 1, 0},
      {"more than asked", 5000, 0, 1, 0},
      {"a negative count", 0, -7, AVERROR(EIO), AVERROR(EIO)},
      {"the end", 0, AVERROR_EOF, AVERROR_EOF, AVERROR(EIO)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TEventStream events;
    TEventFile file(events);
    void* object = static_cast<Platform::TStream*>(&events);
    file.FExtraCount = row.Extra;
    file.FFailWith = row.FailWith;

    AVIOContext* pb = nullptr;
    ASSERT_EQ(MemoryProtocol::memory_open(object, "out", AVIO_FLAG_WRITE, &pb), 0);
    avio_write(pb, data.data(), static_cast<int>(data.size()));
    avio_flush(pb);
    EXPECT_EQ(pb->error, row.WriteError);
    FreeContext(pb);
    void* handle = object;
    MemoryProtocol::memory_close(handle);

    file.FData = data;
    ASSERT_EQ(MemoryProtocol::memory_open(object, "in", 0, &pb), 0);
    std::vector<std::uint8_t> back(data.size());
    int total = 0;
    int n = avio_read(pb, back.data(), 7000);
    if (row.ReadResult > 0) {
      for (; n > 0; n = avio_read(pb, back.data() + total, 7000)) total += n;
      EXPECT_EQ(total, static_cast<int>(data.size()));
      EXPECT_TRUE(back == data);
    } else {
      EXPECT_EQ(n, row.ReadResult);
    }
    FreeContext(pb);
    handle = object;
    MemoryProtocol::memory_close(handle);
  }
}

// The handlers run on the main thread when asked, else on the thread that does the I/O.
TEST_F(MemoryProtocolTest, HandlersRunOnTheMainThreadWhenAsked) {
  const Platform::TThreadID mainThread = Platform::GetCurrentThreadId();
  for (const bool inMainThread : {true, false}) {
    SCOPED_TRACE(inMainThread ? "main thread" : "calling thread");
    TEventStream events;
    events.SetTriggerEventInMainThread(inMainThread);
    TEventFile file(events);
    file.FData = Pattern(50000);
    Platform::TThreadID worker = 0;
    int total = 0;
    OnWorker([&] {
      worker = Platform::GetCurrentThreadId();
      void* object = static_cast<Platform::TStream*>(&events);
      AVIOContext* pb = nullptr;
      ASSERT_EQ(MemoryProtocol::memory_open(object, "in", 0, &pb), 0);
      std::uint8_t buffer[4096];
      for (int n; (n = AVFormatStubs::avio_read(pb, buffer, sizeof buffer)) > 0;) total += n;
      AVFormatStubs::avio_seek(pb, 0, SEEK_SET);
      FreeContext(pb);
      MemoryProtocol::memory_close(object);
    });
    EXPECT_EQ(total, 50000);
    ASSERT_FALSE(file.FThreads.empty());
    const Platform::TThreadID expected = inMainThread ? mainThread : worker;
    EXPECT_TRUE(std::all_of(file.FThreads.begin(), file.FThreads.end(),
                            [&](Platform::TThreadID t) { return t == expected; }));
  }
}

// Several threads reading one event stream directly never run its handlers at once.
TEST_F(MemoryProtocolTest, CallsOnOneEventStreamRunOneAtATime) {
  TEventStream events;
  events.SetTriggerEventInMainThread(false);
  TEventFile file(events);
  file.FData = Pattern(1 << 20);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      std::uint8_t buffer[512];
      for (int i = 0; i < 200; ++i) {
        events.Seek(i * 512, TSeekOrigin::soBeginning);
        events.Read(buffer, sizeof buffer);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_FALSE(file.FOverlap);
}

// A host stream that throws: the exception never passes through the library's C frames
// (which it would leave without their clean-up); the operation fails with an I/O error.
TEST_F(MemoryProtocolTest, AnExceptionFromTheHostIsAnIOError) {
  using AVFormatStubs::avio_flush;
  using AVFormatStubs::avio_read;
  using AVFormatStubs::avio_write;
  class TThrowingStream : public Platform::TStream {
   public:
    std::int64_t Read(void*, std::int64_t) override { throw std::runtime_error("no read"); }
    std::int64_t Write(const void*, std::int64_t) override { throw std::runtime_error("no write"); }
    std::int64_t Seek(std::int64_t, TSeekOrigin) override { throw std::runtime_error("no seek"); }
    void SetSize(std::int64_t) override {}
  };
  const std::vector<std::uint8_t> data = Pattern(1000);
  struct {
    const char* Name;
    bool Event;  // through the handlers of an event stream, else a plain stream
    bool Write;
  } const rows[] = {
      {"plain stream, read", false, false},
      {"plain stream, write", false, true},
      {"event stream, read", true, false},
      {"event stream, write", true, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TThrowingStream plain;
    TEventStream events;
    TEventFile file(events);
    events.SetOnRead(MemoryProtocol::TStreamReadEvent::FromFunction(
        [](void*, void*, void*, int) -> int { throw std::runtime_error("no read"); }, nullptr));
    events.SetOnWrite(MemoryProtocol::TStreamWriteEvent::FromFunction(
        [](void*, void*, const void*, int) -> int { throw std::runtime_error("no write"); },
        nullptr));
    Platform::TStream* stream = row.Event ? static_cast<Platform::TStream*>(&events) : &plain;
    MemoryProtocol::RegisterStream(&plain);

    AVIOContext* pb = nullptr;
    ASSERT_EQ(MemoryProtocol::memory_open(stream, "host", row.Write ? AVIO_FLAG_WRITE : 0, &pb), 0);
    if (row.Write) {
      EXPECT_NO_THROW({
        avio_write(pb, data.data(), static_cast<int>(data.size()));
        avio_flush(pb);
      });
      EXPECT_EQ(pb->error, AVERROR(EIO));
    } else {
      std::vector<std::uint8_t> back(data.size());
      int n = 0;
      EXPECT_NO_THROW(n = avio_read(pb, back.data(), static_cast<int>(back.size())));
      EXPECT_EQ(n, AVERROR(EIO));
    }
    FreeContext(pb);
    void* handle = stream;
    MemoryProtocol::memory_close(handle);
    MemoryProtocol::UnregisterStream(&plain);
  }
}

// Unregistering a stream waits for a read under way, so that its owner may free it once
// the call returns; the I/O context then gets I/O errors instead of reaching the object.
// So does a second unregistering of the same stream on another thread, which comes when
// the first has already taken the stream out of the registry.
TEST_F(MemoryProtocolTest, EveryUnregisteringWaitsForAReadUnderWay) {
  class THeldStream : public Platform::TStream {
   public:
    std::int64_t Read(void* ABuffer, std::int64_t ACount) override {
      std::unique_lock<std::mutex> guard(FLock);
      FHeld = true;
      FCond.notify_all();
      FCond.wait(guard, [this] { return FReleased; });
      const std::int64_t n = std::min<std::int64_t>(ACount, 100);
      std::memset(ABuffer, 7, static_cast<std::size_t>(n));
      FReadEnded = true;
      return n;
    }
    std::int64_t Write(const void*, std::int64_t) override { return -1; }
    std::int64_t Seek(std::int64_t, TSeekOrigin) override { return -1; }
    void SetSize(std::int64_t) override {}
    bool WaitHeld() {
      std::unique_lock<std::mutex> guard(FLock);
      return FCond.wait_for(guard, std::chrono::seconds(20), [this] { return FHeld; });
    }
    void Release() {
      std::lock_guard<std::mutex> guard(FLock);
      FReleased = true;
      FCond.notify_all();
    }
    std::atomic<bool> FReadEnded{false};

   private:
    std::mutex FLock;
    std::condition_variable FCond;
    bool FHeld = false;
    bool FReleased = false;
  };
  for (const int unregistering : {1, 2}) {
    SCOPED_TRACE(testing::Message() << unregistering << " unregistering threads");
    auto stream = std::make_unique<THeldStream>();
    MemoryProtocol::RegisterStream(stream.get());
    void* object = static_cast<Platform::TStream*>(stream.get());
    AVIOContext* pb = nullptr;
    ASSERT_EQ(MemoryProtocol::memory_open(object, "in", 0, &pb), 0);
    std::vector<std::uint8_t> back(100);
    auto reader = std::async(std::launch::async, [&] {
      return AVFormatStubs::avio_read(pb, back.data(), static_cast<int>(back.size()));
    });
    ASSERT_TRUE(stream->WaitHeld());

    // Each returns whether the read had ended when it returned.
    std::vector<std::future<bool>> unregisters;
    for (int i = 0; i < unregistering; ++i) {
      unregisters.push_back(std::async(std::launch::async, [&] {
        MemoryProtocol::UnregisterStream(stream.get());
        return stream->FReadEnded.load();
      }));
      // handshake: the stream is no longer registered (a new open is refused)
      AVIOContext* other = nullptr;
      while (MemoryProtocol::memory_open(object, "again", 0, &other) == 0) {
        FreeContext(other);
        std::this_thread::yield();
      }
    }
    // the read is still held: no unregistering call has returned
    EXPECT_TRUE(MainThreadPump::KeepsHolding([&] {
      return std::all_of(unregisters.begin(), unregisters.end(), [](std::future<bool>& f) {
        return f.wait_for(std::chrono::milliseconds(0)) == std::future_status::timeout;
      });
    }));
    stream->Release();
    for (std::future<bool>& f : unregisters) {
      ASSERT_EQ(f.wait_for(std::chrono::seconds(20)), std::future_status::ready);
      EXPECT_TRUE(f.get()) << "unregistered while the read was under way";
    }
    EXPECT_EQ(reader.get(), 100);
    stream.reset();  // the owner frees the stream

    // the context outlives the object: its next read fails without reaching it
    EXPECT_EQ(AVFormatStubs::avio_read(pb, back.data(), static_cast<int>(back.size())),
              AVERROR(EIO));
    FreeContext(pb);
  }
}

// An I/O context reaches the registration it was opened over: once its stream is gone,
// another stream built at the same address and registered is not reached through it,
// while a context opened over the new stream reads that stream's bytes.
TEST_F(MemoryProtocolTest, AContextNeverReachesALaterStreamAtTheSameAddress) {
  const std::vector<std::uint8_t> first(100, 'A');
  const std::vector<std::uint8_t> second(100, 'B');
  for (const bool eventStream : {false, true}) {
    SCOPED_TRACE(eventStream ? "event stream" : "plain stream");
    alignas(TEventStream) alignas(Platform::TMemoryStream) unsigned char
        storage[std::max(sizeof(TEventStream), sizeof(Platform::TMemoryStream))];
    std::optional<TEventFile> file;
    // A registered stream of the row's kind in storage, holding ABytes.
    auto make = [&](const std::vector<std::uint8_t>& ABytes) -> Platform::TStream* {
      if (eventStream) {
        auto* events = new (storage) TEventStream();  // registers itself
        events->SetTriggerEventInMainThread(false);
        file.emplace(*events);
        file->FData = ABytes;
        return events;
      }
      auto* plain = new (storage) Platform::TMemoryStream();
      plain->Write(ABytes.data(), static_cast<std::int64_t>(ABytes.size()));
      plain->SetPosition(0);
      MemoryProtocol::RegisterStream(plain);
      return plain;
    };
    // Unregisters (an event stream on its own) and frees AStream, as its owner would.
    auto destroy = [&](Platform::TStream* AStream) {
      if (!eventStream) MemoryProtocol::UnregisterStream(AStream);
      AStream->~TStream();
      file.reset();
    };

    Platform::TStream* stream = make(first);
    AVIOContext* stale = nullptr;
    ASSERT_EQ(MemoryProtocol::memory_open(stream, "first", 0, &stale), 0);
    destroy(stream);
    ASSERT_EQ(make(second), stream);  // at the same address

    std::vector<std::uint8_t> back(100);
    EXPECT_EQ(AVFormatStubs::avio_read(stale, back.data(), static_cast<int>(back.size())),
              AVERROR(EIO));
    EXPECT_EQ(std::count(back.begin(), back.end(), 'B'), 0);
    if (eventStream) {
      EXPECT_TRUE(file->FThreads.empty()) << "the new stream's handlers ran";
    }
    FreeContext(stale);

    AVIOContext* pb = nullptr;
    ASSERT_EQ(MemoryProtocol::memory_open(stream, "second", 0, &pb), 0);
    EXPECT_EQ(AVFormatStubs::avio_read(pb, back.data(), static_cast<int>(back.size())), 100);
    EXPECT_EQ(back, second);
    FreeContext(pb);
    void* handle = stream;
    MemoryProtocol::memory_close(handle);
    destroy(stream);
  }
}

}  // namespace
