// The platform layer's class library: events, critical sections, threads, string
// lists, streams, the root class and components.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/Dispatcher.h"
#include "platform/Object.h"
#include "platform/Streams.h"
#include "platform/Strings.h"
#include "platform/Sync.h"
#include "platform/Threads.h"
#include "platform/Types.h"
#include "MainThreadPump.h"

using namespace Platform;
using Clock = std::chrono::steady_clock;

namespace {

using MainThreadPump::KeepsHolding;
using MainThreadPump::PumpUntil;

long ElapsedMs(Clock::time_point AStart) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - AStart).count());
}

}  // namespace

// ---------------------------------------------------------------- events, locks

// ---- TObject ------------------------------------------------------------------------------

// delete of an object runs BeforeDestruction once, first, on the whole object (a virtual
// call there reaches the most derived class), then the destructors, most derived first,
// and frees the whole object also through a base that does not start it.
TEST(PlatformObject, DeleteRunsBeforeDestructionOnTheWholeObjectFirst) {
  struct TBase : TObject {
    std::vector<std::string>* Log = nullptr;
    ~TBase() override { Log->push_back("~base"); }
    void BeforeDestruction() override { Log->push_back("before " + Name()); }
    virtual std::string Name() { return "base"; }
  };
  struct TDerived : TBase {
    std::string Own = "derived";
    ~TDerived() override { Log->push_back("~derived"); }
    std::string Name() override { return Own; }
  };
  struct TOther {
    virtual ~TOther() = default;
    long Payload[4] = {};
  };
  // GCC takes the destroying delete in the class's deleting destructor for a plain free
  // of the base's address; it frees the whole object (the case this test is about).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wfree-nonheap-object"
  struct TMixed : TOther, TDerived {};
#pragma GCC diagnostic pop
  for (bool mixed : {false, true}) {
    SCOPED_TRACE(mixed ? "through a base inside the object" : "through the first base");
    std::vector<std::string> log;
    TBase* object = mixed ? static_cast<TBase*>(new TMixed) : new TDerived;
    object->Log = &log;
    delete object;
    EXPECT_EQ(log, (std::vector<std::string>{"before derived", "~derived", "~base"}));
  }
}

TEST(PlatformSync, ManualResetReleasesEveryWaiterAndStaysSignaled) {
  TEvent event(true, false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i)
    waiters.emplace_back([&] {
      if (event.WaitFor(10000) == TWaitResult::wrSignaled) ++released;
    });
  // a waiter released before the signal would show within the poll
  EXPECT_TRUE(KeepsHolding([&] { return released.load() == 0; }));
  EXPECT_EQ(released.load(), 0);
  event.SetEvent();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 2);
  EXPECT_TRUE(event.IsSignaled());
  EXPECT_EQ(event.WaitFor(0), TWaitResult::wrSignaled);
  event.ResetEvent();
  EXPECT_FALSE(event.IsSignaled());
  EXPECT_EQ(event.WaitFor(0), TWaitResult::wrTimeout);
}

TEST(PlatformSync, AutoResetReleasesOneWaiterPerSignal) {
  TEvent event(false, false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i)
    waiters.emplace_back([&] {
      if (event.WaitFor(10000) == TWaitResult::wrSignaled) ++released;
    });
  EXPECT_TRUE(KeepsHolding([&] { return released.load() == 0; }));
  event.SetEvent();
  const auto start = Clock::now();
  while (released.load() < 1 && ElapsedMs(start) < 5000) Sleep(1);
  // a second waiter released by the same signal would show within the poll
  EXPECT_TRUE(KeepsHolding([&] { return released.load() <= 1; }));
  EXPECT_EQ(released.load(), 1);
  EXPECT_FALSE(event.IsSignaled());  // consumed by the waiter
  event.SetEvent();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 2);
  EXPECT_FALSE(event.IsSignaled());

  TEvent initially(false, true);
  EXPECT_EQ(initially.WaitFor(0), TWaitResult::wrSignaled);
  EXPECT_EQ(initially.WaitFor(0), TWaitResult::wrTimeout);
}

TEST(PlatformSync, WaitTimesOut) {
  TEvent event;
  const auto start = Clock::now();
  EXPECT_EQ(event.WaitFor(60), TWaitResult::wrTimeout);
  const long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 60);
  EXPECT_LT(elapsed, 5000);
}

TEST(PlatformSync, CriticalSectionIsReentrant) {
  TCriticalSection cs;
  cs.Enter();
  ASSERT_TRUE(cs.TryEnter());  // the owner enters again
  {
    std::lock_guard<TCriticalSection> again(cs);
  }
  bool otherGotIt = true;
  std::thread([&] { otherGotIt = cs.TryEnter(); }).join();
  EXPECT_FALSE(otherGotIt);
  cs.Leave();
  std::thread([&] { otherGotIt = cs.TryEnter(); }).join();
  EXPECT_FALSE(otherGotIt);  // still held once
  cs.Leave();
  std::thread([&] {
    otherGotIt = cs.TryEnter();
    if (otherGotIt) cs.Leave();
  }).join();
  EXPECT_TRUE(otherGotIt);
}

// ---------------------------------------------------------------- threads

namespace {

class TValueThread : public TThread {
 public:
  TThreadID SeenID = 0;

 protected:
  void Execute() override {
    SeenID = GetCurrentThreadId();
    SetReturnValue(42);
  }
};

class TLoopThread : public TThread {
 public:
  TEvent Running;
  std::atomic<bool> TerminatedSetCalled{false};
  std::atomic<int> Rounds{0};

 protected:
  void Execute() override {
    Running.SetEvent();
    while (!Terminated()) {
      ++Rounds;
      Sleep(1);
    }
    SetReturnValue(7);
  }
  void TerminatedSet() override { TerminatedSetCalled = true; }
};

// Deletes itself; its destructor raises the flag and the event.
class TSelfFreeingThread : public TThread {
 public:
  TSelfFreeingThread(std::atomic<bool>& ADestroyed, TEvent& ADestroyedEvent)
      : FDestroyed(ADestroyed), FDestroyedEvent(ADestroyedEvent) {
    FreeOnTerminate = true;
  }
  ~TSelfFreeingThread() override {
    FDestroyed = true;
    FDestroyedEvent.SetEvent();
  }

 protected:
  void Execute() override { Sleep(20); }

 private:
  std::atomic<bool>& FDestroyed;
  TEvent& FDestroyedEvent;
};

class TSyncThread : public TThread {
 public:
  bool RanOnMain = false;
  TThreadID RanOnID = 0;
  std::atomic<bool> SyncReturned{false};
  std::atomic<int> Queued{0};

  void OnMain() {
    RanOnMain = IsMainThread();
    RanOnID = GetCurrentThreadId();
  }
  void Count() { ++Queued; }

 protected:
  void Execute() override {
    Queue(TThreadMethod::Bind<&TSyncThread::Count>(this));
    Sleep(20);  // the main thread is in WaitFor by now
    Synchronize(TThreadMethod::Bind<&TSyncThread::OnMain>(this));
    SyncReturned = true;
  }
};

class TThrowingThread : public TThread {
 protected:
  void Execute() override { throw Exception("boom"); }
};

struct TTerminateRecord {
  bool OnMain = false;
  void* Sender = nullptr;
  bool FinishedSeen = false;
  int Calls = 0;
};

void RecordTerminate(void* AData, void* ASender) {
  auto* r = static_cast<TTerminateRecord*>(AData);
  r->OnMain = IsMainThread();
  r->Sender = ASender;
  r->FinishedSeen = static_cast<TThread*>(ASender)->Finished();
  ++r->Calls;
}

}  // namespace

TEST(PlatformThread, RunsExecuteAndReturnsItsValue) {
  TValueThread t;
  EXPECT_FALSE(t.Started());
  t.Start();
  EXPECT_TRUE(t.Started());
  const TThreadID id = t.ThreadID();
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_EQ(t.WaitFor(), 42);
  EXPECT_EQ(t.ReturnValue(), 42);
  EXPECT_EQ(t.SeenID, id);
  EXPECT_TRUE(t.Finished());
  EXPECT_FALSE(t.FatalException());
  EXPECT_EQ(t.WaitFor(), 42);  // a second wait returns at once
  EXPECT_THROW(t.Start(), Exception);
}

TEST(PlatformThread, TerminateIsObserved) {
  TLoopThread t;
  t.Start();
  ASSERT_EQ(t.Running.WaitFor(10000), TWaitResult::wrSignaled);
  EXPECT_FALSE(t.Terminated());
  t.Terminate();
  EXPECT_TRUE(t.Terminated());
  EXPECT_TRUE(t.TerminatedSetCalled.load());
  EXPECT_EQ(t.WaitFor(), 7);
}

namespace {
std::atomic<bool> gPollingThreadLeft{false};

// Touches no member of its own class after its loop: its destructor runs before
// TThread's waits.
class TPollingThread : public TThread {
 public:
  explicit TPollingThread(TEvent& ARunning) : FRunning(ARunning) {}

 protected:
  void Execute() override {
    FRunning.SetEvent();
    while (!Terminated()) Sleep(1);
    gPollingThreadLeft = true;
  }

 private:
  TEvent& FRunning;
};
}  // namespace

TEST(PlatformThread, DestroyingARunningThreadTerminatesAndWaits) {
  TEvent running;
  auto* t = new TPollingThread(running);
  t->Start();
  ASSERT_EQ(running.WaitFor(10000), TWaitResult::wrSignaled);
  gPollingThreadLeft = false;
  delete t;
  // the destructor asked the loop to end and waited for Execute to return
  EXPECT_TRUE(gPollingThreadLeft.load());
}

TEST(PlatformThread, FreeOnTerminateDeletesTheObject) {
  std::atomic<bool> destroyed{false};
  TEvent destroyedEvent;
  auto* t = new TSelfFreeingThread(destroyed, destroyedEvent);
  t->Start();
  t = nullptr;  // the thread owns itself now
  ASSERT_EQ(destroyedEvent.WaitFor(10000), TWaitResult::wrSignaled);
  EXPECT_TRUE(destroyed.load());
}

// A self-freeing thread that ends at once never frees itself while Start still uses
// it (the sanitizer builds check; without the hand-over it could hang or touch freed
// memory).
TEST(PlatformThread, FreeOnTerminateThreadsThatEndAtOnceStartSafely) {
  class TQuickThread : public TSelfFreeingThread {
   public:
    using TSelfFreeingThread::TSelfFreeingThread;

   protected:
    void Execute() override {}
  };
  for (int i = 0; i < 300; ++i) {
    std::atomic<bool> destroyed{false};
    TEvent destroyedEvent;
    auto* t = new TQuickThread(destroyed, destroyedEvent);
    t->Start();
    ASSERT_EQ(destroyedEvent.WaitFor(10000), TWaitResult::wrSignaled);
  }
}

TEST(PlatformThread, FreeOnTerminateRunsOnTerminateOnTheMainThreadFirst) {
  std::atomic<bool> destroyed{false};
  TEvent destroyedEvent;
  TTerminateRecord record;
  auto* t = new TSelfFreeingThread(destroyed, destroyedEvent);
  void* const sender = t;
  t->OnTerminate = TNotifyEvent::FromFunction(&RecordTerminate, &record);
  t->Start();
  ASSERT_TRUE(PumpUntil([&] { return destroyedEvent.IsSignaled(); }));
  EXPECT_TRUE(destroyed.load());
  EXPECT_EQ(record.Calls, 1);
  EXPECT_TRUE(record.OnMain);
  EXPECT_EQ(record.Sender, sender);
  EXPECT_TRUE(record.FinishedSeen);
}

TEST(PlatformThread, OnTerminateRunsOnTheMainThreadDuringWaitFor) {
  ASSERT_TRUE(IsMainThread());
  TTerminateRecord record;
  TValueThread t;
  t.OnTerminate = TNotifyEvent::FromFunction(&RecordTerminate, &record);
  t.Start();
  EXPECT_EQ(t.WaitFor(), 42);  // would deadlock if WaitFor did not serve the queue
  EXPECT_EQ(record.Calls, 1);
  EXPECT_TRUE(record.OnMain);
  EXPECT_EQ(record.Sender, static_cast<void*>(&t));
  EXPECT_TRUE(record.FinishedSeen);
}

TEST(PlatformThread, WaitForOnTheMainThreadServesSynchronize) {
  ASSERT_TRUE(IsMainThread());
  TSyncThread t;
  t.Start();
  const auto start = Clock::now();
  t.WaitFor();
  EXPECT_LT(ElapsedMs(start), 5000);
  EXPECT_TRUE(t.SyncReturned.load());
  EXPECT_TRUE(t.RanOnMain);
  EXPECT_EQ(t.RanOnID, GetCurrentThreadId());
  EXPECT_EQ(t.Queued.load(), 1);
}

TEST(PlatformThread, WaitForOffTheMainThreadJoins) {
  TValueThread t;
  t.Start();
  int result = 0;
  std::thread([&] { result = t.WaitFor(); }).join();
  EXPECT_EQ(result, 42);
}

TEST(PlatformThread, KeepsTheExceptionThatEscapedExecute) {
  TThrowingThread t;
  t.Start();
  t.WaitFor();
  ASSERT_TRUE(t.FatalException());
  try {
    std::rethrow_exception(t.FatalException());
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "boom");
  }
}

TEST(PlatformThread, SynchronizeOnTheMainThreadRunsDirectly) {
  int calls = 0;
  auto bump = [](void* AData) { ++*static_cast<int*>(AData); };
  TThread::Synchronize(TThreadMethod::FromFunction(bump, &calls));
  EXPECT_EQ(calls, 1);
  TThread::Queue(TThreadMethod::FromFunction(bump, &calls));
  EXPECT_EQ(calls, 1);
  ProcessMainThreadQueue();
  EXPECT_EQ(calls, 2);
}

// ---------------------------------------------------------------- string lists

TEST(PlatformStrings, TextAndSetText) {
  TStringList list;
  EXPECT_EQ(list.Text(), "");
  EXPECT_EQ(list.Add("one"), 0);
  EXPECT_EQ(list.Add("two"), 1);
  list.Insert(1, "");
  EXPECT_EQ(list.Text(), "one\n\ntwo\n");
  EXPECT_EQ(list.IndexOf("two"), 2);
  EXPECT_EQ(list.IndexOf("three"), -1);
  list.Delete(0);
  EXPECT_EQ(list.Text(), "\ntwo\n");
  EXPECT_THROW(list[5], EStringListError);
  EXPECT_THROW(list.Delete(-1), EStringListError);

  list.SetText("a\r\nb\n\nc");
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list[0], "a");
  EXPECT_EQ(list[1], "b");
  EXPECT_EQ(list[2], "");
  EXPECT_EQ(list[3], "c");
  EXPECT_EQ(list.Text(), "a\nb\n\nc\n");
  list.SetText("x\n");
  EXPECT_EQ(list.Count(), 1);
  list.SetText("");
  EXPECT_EQ(list.Count(), 0);

  TStringList other;
  other.SetText("p\nq\n");
  list.Add("o");
  list.AddStrings(other);
  list.AddStrings(list);
  EXPECT_EQ(list.Text(), "o\np\nq\no\np\nq\n");
  list[0] = "z";
  EXPECT_EQ(list.Items().front(), "z");
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

// ---------------------------------------------------------------- streams

TEST(PlatformStreams, MemoryStreamRoundTripSeekAndSize) {
  TMemoryStream s;
  EXPECT_EQ(s.GetSize(), 0);
  const char text[] = "hello, world";
  s.WriteBuffer(text, 12);
  EXPECT_EQ(s.GetPosition(), 12);
  EXPECT_EQ(s.GetSize(), 12);
  EXPECT_EQ(s.GetPosition(), 12);  // GetSize leaves the position
  s.SetPosition(7);
  char buf[16] = {};
  s.ReadBuffer(buf, 5);
  EXPECT_STREQ(buf, "world");
  EXPECT_EQ(s.Read(buf, 4), 0);  // at the end
  EXPECT_THROW(s.ReadBuffer(buf, 1), EStreamError);
  EXPECT_EQ(s.Seek(-5, TSeekOrigin::soEnd), 7);
  EXPECT_EQ(s.Seek(-2, TSeekOrigin::soCurrent), 5);
  EXPECT_EQ(s.Seek(-1, TSeekOrigin::soBeginning), -1);
  EXPECT_EQ(s.GetPosition(), 5);
  // writing past the end leaves zeros in the gap
  EXPECT_EQ(s.Seek(14, TSeekOrigin::soBeginning), 14);
  s.WriteBuffer("!", 1);
  EXPECT_EQ(s.GetSize(), 15);
  EXPECT_EQ(s.Memory()[12], 0);
  EXPECT_EQ(s.Memory()[14], '!');
  s.SetSize(5);
  EXPECT_EQ(s.GetSize(), 5);
  EXPECT_EQ(s.GetPosition(), 5);
  EXPECT_EQ(std::memcmp(s.Memory(), "hello", 5), 0);
  try {
    s.ReadBuffer(buf, 1);
    FAIL();
  } catch (const EStreamError& e) {
    EXPECT_EQ(e.Message(), "Stream read error");
  }
  s.Clear();
  EXPECT_EQ(s.GetSize(), 0);
  EXPECT_EQ(s.GetPosition(), 0);
}

namespace {

class PlatformFileStream : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "platform_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    FDir = pattern;
  }
  void TearDown() override {
    for (const char* n : {"a.bin", "b.bin"}) ::unlink((FDir + "/" + n).c_str());
    ::rmdir(FDir.c_str());
  }
  std::string Path(const char* AName) const { return FDir + "/" + AName; }
  std::string FDir;
};

}  // namespace

TEST_F(PlatformFileStream, RoundTripSeekSizeAndTruncation) {
  const std::string path = Path("a.bin");
  {
    TFileStream f(path, fmCreate);
    EXPECT_GE(f.Handle(), 0);
    EXPECT_EQ(f.FileName(), path);
    f.WriteBuffer("0123456789", 10);
    EXPECT_EQ(f.GetSize(), 10);
    EXPECT_EQ(f.Seek(2, TSeekOrigin::soBeginning), 2);
    char buf[4] = {};
    f.ReadBuffer(buf, 3);  // fmCreate opens read-write
    EXPECT_STREQ(buf, "234");
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);
  {
    TFileStream f(path, fmOpenRead);
    EXPECT_EQ(f.GetSize(), 10);
    char buf[16] = {};
    EXPECT_EQ(f.Read(buf, 16), 10);  // short at the end
    EXPECT_STREQ(buf, "0123456789");
    EXPECT_EQ(f.Seek(-3, TSeekOrigin::soEnd), 7);
    EXPECT_EQ(f.Seek(1, TSeekOrigin::soCurrent), 8);
    EXPECT_THROW(f.WriteBuffer("x", 1), EStreamError);  // read-only
    try {
      f.WriteBuffer("x", 1);
    } catch (const EStreamError& e) {
      EXPECT_EQ(e.Message(), "Stream write error");
    }
  }
  {
    TFileStream f(path, fmOpenWrite);  // does not truncate
    EXPECT_EQ(f.GetSize(), 10);
    f.WriteBuffer("ab", 2);
  }
  {
    TFileStream f(path, fmOpenReadWrite);  // does not truncate
    EXPECT_EQ(f.GetSize(), 10);
    char buf[11] = {};
    f.ReadBuffer(buf, 10);
    EXPECT_STREQ(buf, "ab23456789");
    f.SetSize(4);
    EXPECT_EQ(f.GetSize(), 4);
    EXPECT_EQ(f.GetPosition(), 4);
    f.SetPosition(0);
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(f.Read(buf, 10), 4);
    EXPECT_STREQ(buf, "ab23");
  }
  {
    TFileStream f(path, fmCreate);  // truncates
    EXPECT_EQ(f.GetSize(), 0);
  }
}

TEST_F(PlatformFileStream, OpenAndCreateErrorsNameTheFileAndTheReason) {
  const std::string missing = Path("b.bin");
  try {
    TFileStream f(missing, fmOpenRead);
    FAIL() << "opened a missing file";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"" + missing + "\". No such file or directory");
  }
  const std::string noDir = Path("none/a.bin");
  try {
    TFileStream f(noDir, fmCreate);
    FAIL() << "created a file in a missing folder";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file \"" + noDir + "\". No such file or directory");
  }
  EXPECT_THROW({ TFileStream f(missing, fmOpenReadWrite); }, EStreamError);
}

// ---------------------------------------------------------------- objects, components

namespace Foo {
class TBar : public TObject {};
template <class T>
class TBox : public TObject {};
}  // namespace Foo

namespace {

class TLocal : public TObject {};

class TRecorded : public TComponent {
 public:
  TRecorded(TComponent* AOwner, const std::string& AName, std::vector<std::string>& ALog)
      : TComponent(AOwner), FLog(ALog) {
    SetName(AName);
  }
  ~TRecorded() override { FLog.push_back(Name()); }

 private:
  std::vector<std::string>& FLog;
};

}  // namespace

TEST(PlatformObject, ClassNameDropsNamespacesAndTemplateArguments) {
  Foo::TBar bar;
  EXPECT_EQ(bar.ClassName(), "TBar");
  Foo::TBox<Foo::TBar> box;
  EXPECT_EQ(box.ClassName(), "TBox");
  TLocal local;
  EXPECT_EQ(local.ClassName(), "TLocal");
  const TObject& asBase = bar;
  EXPECT_EQ(asBase.ClassName(), "TBar");  // the dynamic class
  TComponent component;
  EXPECT_EQ(component.ClassName(), "TComponent");
}

TEST(PlatformObject, OwnerDestroysItsComponentsLastCreatedFirst) {
  std::vector<std::string> log;
  auto* owner = new TRecorded(nullptr, "owner", log);
  auto* a = new TRecorded(owner, "a", log);
  auto* b = new TRecorded(owner, "b", log);
  auto* c = new TRecorded(owner, "c", log);
  auto* a1 = new TRecorded(a, "a1", log);
  auto* a2 = new TRecorded(a, "a2", log);
  EXPECT_EQ(owner->Owner(), nullptr);
  EXPECT_EQ(b->Owner(), owner);
  ASSERT_EQ(owner->ComponentCount(), 3);
  EXPECT_EQ(owner->Components(0), a);
  EXPECT_EQ(owner->Components(1), b);
  EXPECT_EQ(owner->Components(2), c);
  EXPECT_EQ(a->ComponentCount(), 2);
  (void)a1;
  (void)a2;

  delete b;  // early: it leaves its owner's list
  ASSERT_EQ(owner->ComponentCount(), 2);
  EXPECT_EQ(owner->Components(0), a);
  EXPECT_EQ(owner->Components(1), c);
  EXPECT_EQ(log, std::vector<std::string>{"b"});

  log.clear();
  delete owner;
  // each destructor logs before its owned components go (they go in ~TComponent)
  EXPECT_EQ(log, (std::vector<std::string>{"owner", "c", "a", "a2", "a1"}));
}
