// The transcoder records' routines and the per-task state: error merging, side-data
// cloning, the task's defaults and option table, and the I/O watchdog.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "TestLibraries.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/FFmpegHeader.h"

namespace {

using namespace FFmpegHeader;

class TTestTask : public TBaseFFmpeg {
 public:
  int GetVideoHookBitsPixel() override { return FBits; }
  void SetVideoHookBitsPixel(int AValue) override { FBits = AValue; }

 private:
  int FBits = 24;
};

static_assert(!std::is_copy_constructible_v<TTestTask> && !std::is_move_constructible_v<TTestTask> &&
                  !std::is_copy_assignable_v<TTestTask> && !std::is_move_assignable_v<TTestTask>,
              "option rows point into the task");

// ---- err_merge and clone_side_data ----

TEST(FFmpegHeader, ErrMergePrefersTheFirstRealError) {
  const struct {
    int Err0, Err1, Expected;
  } cases[] = {
      {AVERROR_EOF, -22, -22},          // a real error wins over end of file
      {-5, -22, -5},                    // the first real error wins
      {0, 7, 0},                        // two successes
      {AVERROR_EOF, 0, AVERROR_EOF},    // end of file stays
      {0, 0, 0},
      {0, -22, -22},                    // an error wins over success
      {-22, AVERROR_EOF, -22},
      {AVERROR_EOF, AVERROR_EOF, AVERROR_EOF},
      {0, AVERROR_EOF, AVERROR_EOF},
      {5, 0, 0},                        // a positive result merges to 0
      {5, -5, -5},
      {AVERROR_EXIT, AVERROR_EOF, AVERROR_EXIT},
  };
  for (const auto& c : cases)
    EXPECT_EQ(err_merge(c.Err0, c.Err1), c.Expected) << c.Err0 << ", " << c.Err1;
}

TEST(FFmpegHeader, CloneSideDataCopiesEveryEntry) {
  TestLibraries::RequireFFmpegLibraries();
  using AVUtilStubs::av_frame_alloc;
  using AVUtilStubs::av_frame_free;
  using AVUtilStubs::av_frame_new_side_data;
  using AVUtilStubs::av_frame_side_data_free;

  AVFrame* src = av_frame_alloc();
  ASSERT_NE(src, nullptr);
  AVFrameSideData* a = av_frame_new_side_data(src, AV_FRAME_DATA_DISPLAYMATRIX, 36);
  AVFrameSideData* b = av_frame_new_side_data(src, AV_FRAME_DATA_A53_CC, 5);
  ASSERT_TRUE(a && b);
  std::memset(a->data, 0x11, a->size);
  std::memcpy(b->data, "abcde", 5);

  // nothing to clone: the destination is not touched
  AVFrameSideData** dst = nullptr;
  int nb_dst = 0;
  EXPECT_EQ(clone_side_data(dst, nb_dst, src->side_data, 0, 0), 0);
  EXPECT_EQ(dst, nullptr);
  EXPECT_EQ(nb_dst, 0);

  ASSERT_EQ(clone_side_data(dst, nb_dst, src->side_data, src->nb_side_data, 0), 0);
  ASSERT_EQ(nb_dst, 2);
  EXPECT_EQ(dst[0]->type, AV_FRAME_DATA_DISPLAYMATRIX);
  EXPECT_EQ(dst[1]->type, AV_FRAME_DATA_A53_CC);
  ASSERT_EQ(dst[1]->size, 5u);
  EXPECT_EQ(std::memcmp(dst[1]->data, "abcde", 5), 0);
  EXPECT_NE(dst[1], b);  // new entries (sharing the data by reference)

  av_frame_side_data_free(&dst, &nb_dst);
  av_frame_free(&src);
}

TEST(FFmpegHeader, AtomicHelpersOnPlainFieldsAcrossThreads) {
  TOutputStream ost{};
  TOutputFilter ofilter{};
  constexpr int CThreads = 4, CAdds = 10000;
  std::vector<std::thread> threads;
  for (int t = 0; t < CThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < CAdds; ++i) {
        atomic_fetch_add(ost.packets_written, std::int64_t{1});
        atomic_fetch_add(ofilter.nb_frames_dup, std::int64_t{2});
        atomic_store(ost.quality, i);
      }
    });
  std::int64_t seen = 0;
  while (seen < std::int64_t{CThreads} * CAdds) {
    const std::int64_t now = atomic_load(ost.packets_written);
    ASSERT_GE(now, seen);  // a counter read concurrently never goes back
    seen = now;
    std::this_thread::yield();
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(atomic_load(ost.packets_written), std::int64_t{CThreads} * CAdds);
  EXPECT_EQ(atomic_load(ofilter.nb_frames_dup), 2 * std::int64_t{CThreads} * CAdds);
  EXPECT_EQ(atomic_load(ost.quality), CAdds - 1);

  std::int32_t counter = 0;
  atomic_init(counter, 5);
  EXPECT_EQ(atomic_fetch_add(counter, 3), 5);  // the value before the addition
  EXPECT_EQ(atomic_load(counter), 8);
}

// ---- the per-task state ----

TEST(TBaseFFmpeg, Defaults) {
  auto task = std::make_unique<TTestTask>();
  const struct {
    const char* Name;
    std::int64_t Actual, Expected;
  } integers[] = {
      {"Fnb_output_dumped", task->Fnb_output_dumped, 0},
      {"Fnb_input_files", task->Fnb_input_files, 0},
      {"Fnb_output_files", task->Fnb_output_files, 0},
      {"Fnb_filtergraphs", task->Fnb_filtergraphs, 0},
      {"Fnb_decoders", task->Fnb_decoders, 0},
      {"Ftranscode_init_done", task->Ftranscode_init_done, 0},
      {"Fcopy_ts_first_pts", task->Fcopy_ts_first_pts, AV_NOPTS_VALUE},
      {"Flast_time", task->Flast_time, -1},
      {"Ffirst_report", task->Ffirst_report, 1},
      {"Fwant_sdp", task->Fwant_sdp, 1},
      {"Fnb_enc_stats_files", task->Fnb_enc_stats_files, 0},
      {"Fvideo_sync_method", task->Fvideo_sync_method, -1},
      {"Fdo_hex_dump", task->Fdo_hex_dump, 0},
      {"Fdo_pkt_dump", task->Fdo_pkt_dump, 0},
      {"Fcopy_ts", task->Fcopy_ts, 0},
      {"Fstart_at_zero", task->Fstart_at_zero, 0},
      {"Fcopy_tb", task->Fcopy_tb, -1},
      {"Fdebug_ts", task->Fdebug_ts, 0},
      {"Fexit_on_error", task->Fexit_on_error, 0},
      {"Fabort_on_flags", task->Fabort_on_flags, 0},
      {"Fprint_stats", task->Fprint_stats, -1},
      {"Ffilter_complex_nbthreads", task->Ffilter_complex_nbthreads, 0},
      {"Ffilter_buffered_frames", task->Ffilter_buffered_frames, 0},
      {"Fvstats_version", task->Fvstats_version, 2},
      {"Fauto_conversion_filters", task->Fauto_conversion_filters, 1},
      {"Fstats_period", task->Fstats_period, 500000},
      {"Ffile_overwrite", task->Ffile_overwrite, 0},
      {"Fno_file_overwrite", task->Fno_file_overwrite, 0},
      {"Fignore_unknown_streams", task->Fignore_unknown_streams, 0},
      {"Fcopy_unknown_streams", task->Fcopy_unknown_streams, 0},
      {"Frecast_media", task->Frecast_media, 0},
      {"FPreviewInterval", task->FPreviewInterval, 100000},
      {"Frate_emu_on_the_fly", task->Frate_emu_on_the_fly, 0},
      {"FBroken", task->FBroken, 0},
      {"FLooping", task->FLooping, 0},
      {"FShowDupOrDrop", task->FShowDupOrDrop, 0},
      {"FTotalPauseTime", task->FTotalPauseTime, 0},
      {"FReadTimeout", task->FReadTimeout, 30000},
      {"FWriteTimeout", task->FWriteTimeout, 30000},
      {"FLastRead", task->FLastRead, 0},
      {"FLastWrite", task->FLastWrite, 0},
      {"FInputDuration", task->FInputDuration, 0},
      {"FOutputDuration", task->FOutputDuration, 0},
  };
  for (const auto& row : integers) EXPECT_EQ(row.Actual, row.Expected) << row.Name;

  const struct {
    const char* Name;
    float Actual, Expected;
  } singles[] = {
      {"Fdts_delta_threshold", task->Fdts_delta_threshold, 10.0f},
      {"Fdts_error_threshold", task->Fdts_error_threshold, 108000.0f},
      {"Fframe_drop_threshold", task->Fframe_drop_threshold, 0.0f},
      {"Fmax_error_rate", task->Fmax_error_rate, 0.6666667f},
  };
  for (const auto& row : singles) EXPECT_FLOAT_EQ(row.Actual, row.Expected) << row.Name;

  const struct {
    const char* Name;
    const void* Actual;
  } nils[] = {
      {"Fvstats_file", task->Fvstats_file},         {"Fprogress_avio", task->Fprogress_avio},
      {"Finput_files", task->Finput_files},         {"Foutput_files", task->Foutput_files},
      {"Ffiltergraphs", task->Ffiltergraphs},       {"Fdecoders", task->Fdecoders},
      {"Fenc_stats_files", task->Fenc_stats_files}, {"Ffilter_hw_device", task->Ffilter_hw_device},
      {"Fvstats_filename", task->Fvstats_filename}, {"Ffilter_nbthreads", task->Ffilter_nbthreads},
      {"FCmdLineBuf", task->FCmdLineBuf},           {"Fsch", task->Fsch},
  };
  for (const auto& row : nils) EXPECT_EQ(row.Actual, nullptr) << row.Name;

  EXPECT_TRUE(task->FCmdOptions.empty());
  EXPECT_TRUE(task->LastErrMsg().empty());
  EXPECT_EQ(task->OutputDuration(), 0);
  EXPECT_EQ(task->VideoHookBitsPixel(), 24);  // through the subclass's slot

  // the option table: 2024 empty rows, handed over from its first row
  ASSERT_EQ(std::size(task->_OptionDef), 2024u);
  EXPECT_EQ(task->FOptionDef, &task->_OptionDef[0]);
  for (const CmdUtils::TOptionDef& row : task->_OptionDef) {
    ASSERT_EQ(row.name, nullptr);
    ASSERT_EQ(row.flags, 0);
    ASSERT_EQ(row.u.dst_ptr, nullptr);
  }

  // the interrupt callbacks belong to this very task
  EXPECT_EQ(task->FReadCallback.callback, &read_interrupt_callback);
  EXPECT_EQ(task->FReadCallback.opaque, task.get());
  EXPECT_EQ(task->FWriteCallback.callback, &write_interrupt_callback);
  EXPECT_EQ(task->FWriteCallback.opaque, task.get());
}

TEST(TBaseFFmpeg, DestroyFreesTheArgumentVector) {
  // Under the address sanitizer a vector left behind is reported as a leak.
  auto task = std::make_unique<TTestTask>();
  char** argv = nullptr;
  ASSERT_EQ(MyUtils::parse_cmdline("-i in.mp4 -c copy out.mkv", argv, {}), 5);
  task->FCmdLineBuf = argv;
  task.reset();
}

// Option rows of a task store into the task's fields by address and into an options
// context by offset, through the generic option parser.
TEST(TBaseFFmpeg, OptionRowsStoreIntoTheTaskAndTheOptionsContext) {
  TestLibraries::RequireFFmpegLibraries();
  using CmdUtils::OptDst;
  using CmdUtils::OptOff;
  auto task = std::make_unique<TTestTask>();
  CmdUtils::TOptionDef* rows = task->_OptionDef;
  rows[0] = {"copyts", CmdUtils::OPT_TYPE_BOOL, 0, OptDst(&task->Fcopy_ts), "copy timestamps", nullptr, {}};
  rows[1] = {"dts_delta_threshold", CmdUtils::OPT_TYPE_FLOAT, 0, OptDst(&task->Fdts_delta_threshold),
             "threshold", "threshold", {}};
  rows[2] = {"ss", CmdUtils::OPT_TYPE_TIME, CmdUtils::OPT_FLAG_OFFSET | CmdUtils::OPT_PERFILE,
             OptOff(offsetof(TOptionsContext, start_time)), "start", "time_off", {}};
  rows[3] = {"memory", CmdUtils::OPT_TYPE_INT64, CmdUtils::OPT_FLAG_OFFSET | CmdUtils::OPT_PERFILE,
             OptOff(offsetof(TOptionsContext, memory_access)), "stream object", "object", {}};
  rows[4] = {"readrate", CmdUtils::OPT_TYPE_FLOAT, CmdUtils::OPT_FLAG_OFFSET | CmdUtils::OPT_PERFILE,
             OptOff(offsetof(TOptionsContext, readrate)), "speed", "speed", {}};

  TOptionsContext o{};
  o.av_class = CmdUtils::get_options_context_class();
  o.Owner = task.get();
  const char* const argv[] = {"-copyts", "-dts_delta_threshold", "2.5", "-ss", "1.5",
                              "-memory", "1234567890123", "-readrate", "0.5"};
  ASSERT_EQ(CmdUtils::parse_options(&o, int(std::size(argv)), argv, task->FOptionDef, nullptr), 0);
  EXPECT_EQ(task->Fcopy_ts, 1);
  EXPECT_FLOAT_EQ(task->Fdts_delta_threshold, 2.5f);
  EXPECT_EQ(o.start_time, 1500000);
  EXPECT_EQ(o.memory_access, 1234567890123);
  EXPECT_FLOAT_EQ(o.readrate, 0.5f);
  // the head is what the option machinery sees
  auto* head = reinterpret_cast<CmdUtils::TDefaultOptions*>(&o);
  EXPECT_EQ(head->Owner, static_cast<Platform::TObject*>(task.get()));
  CmdUtils::uninit_opts(&o);
}

// ---- the I/O watchdog ----

// What the log worker received.
struct TLogRecord {
  Platform::TObject* Sender;
  FFLoad::TLogLevel Level;
  std::string Msg;
};

class TLogRecorder {
 public:
  FFLoad::TLogEvent Event() { return FFLoad::TLogEvent::FromFunction(&Handler, this); }
  std::vector<TLogRecord> Take() {
    std::lock_guard<std::mutex> g(FLock);
    std::vector<TLogRecord> records;
    records.swap(FRecords);
    return records;
  }

 private:
  static void Handler(void* AData, Platform::TObject* Sender, int, FFLoad::TLogLevel ALevel,
                      const std::string& AMsg) {
    auto* self = static_cast<TLogRecorder*>(AData);
    std::lock_guard<std::mutex> g(self->FLock);
    self->FRecords.push_back({Sender, ALevel, AMsg});
  }
  std::mutex FLock;
  std::vector<TLogRecord> FRecords;
};

// A clock of av_gettime_relative that the test sets, put into the binding table (only
// the watchdog reads it here, on this thread).
std::int64_t GFakeNow = 0;
std::int64_t FakeGettimeRelative() { return GFakeNow; }

// Delivers the log worker's lines synchronously to a recorder; restores the worker and
// the clock afterwards.
class WatchdogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestLibraries::RequireFFmpegLibraries();
    W = FFLoad::VEDovedo;
    ASSERT_NE(W, nullptr);
    FActive = W->GetActive();
    FSynchronous = W->GetSynchronous();
    FInMainThread = W->GetTriggerEventInMainThread();
    FFlags = W->GetLogFlags();
    FLevel = W->GetLogLevel();
    W->SetActive(true);
    W->SetSynchronous(true);
    W->SetTriggerEventInMainThread(false);
    W->SetLogFlags(0);  // no folding of repeated lines
    W->SetLogLevel(FFLoad::llInfo);
    W->SetOnLog(FRecorder.Event());
    FRealClock = AVUtilStubs::av_gettime_relative;
  }
  void TearDown() override {
    AVUtilStubs::av_gettime_relative = FRealClock;
    W->SetOnLog(nullptr);
    W->SetLogLevel(FLevel);
    W->SetLogFlags(FFlags);
    W->SetTriggerEventInMainThread(FInMainThread);
    W->SetSynchronous(FSynchronous);
    W->SetActive(FActive);
  }
  void UseFakeClock(std::int64_t ANow) {
    GFakeNow = ANow;
    AVUtilStubs::av_gettime_relative = &FakeGettimeRelative;
  }

  FFLoad::TFFLogWorker* W = nullptr;
  TLogRecorder FRecorder;

 private:
  bool FActive = false, FSynchronous = false, FInMainThread = false;
  int FFlags = 0;
  FFLoad::TLogLevel FLevel = FFLoad::llInfo;
  decltype(AVUtilStubs::av_gettime_relative) FRealClock = nullptr;
};

TEST_F(WatchdogTest, Boundaries) {
  constexpr std::int64_t CNow = 1000000000000;  // 1e6 s of the fake clock
  constexpr std::int64_t CNone = std::numeric_limits<std::int64_t>::max();
  UseFakeClock(CNow);
  enum TDirection { dRead, dWrite };
  const struct {
    const char* Name;
    TDirection Direction;
    bool Broken;
    std::int64_t Last;
    std::int32_t Timeout;
    int Expected;
    const char* Message;  // nullptr: nothing logged
  } cases[] = {
      {"read: no progress for exactly 30 s", dRead, false, CNow - 30000000, 30000, 0, nullptr},
      {"read: just over 30 s", dRead, false, CNow - 30000001, 30000, 1, "connecting/reading timeout"},
      {"read: fresh", dRead, false, CNow, 30000, 0, nullptr},
      {"read: no read under way", dRead, false, CNone, 30000, 0, nullptr},
      {"read: time-out 0 is off", dRead, false, CNow - 3600000000, 0, 0, nullptr},
      {"read: negative time-out is off", dRead, false, CNow - 3600000000, -1, 0, nullptr},
      {"read: 1 ms, exactly", dRead, false, CNow - 1000, 1, 0, nullptr},
      {"read: 1 ms, just over", dRead, false, CNow - 1001, 1, 1, "connecting/reading timeout"},
      {"read: stamp 0 is a cancel", dRead, false, 0, 30000, 1, "connecting/reading canceled"},
      {"read: a stopped task aborts at once", dRead, true, CNow, 30000, 1, "reading broken"},
      {"read: stopped without watchdog", dRead, true, CNone, 0, 1, "reading broken"},
      {"write: exactly 30 s", dWrite, false, CNow - 30000000, 30000, 0, nullptr},
      {"write: just over 30 s", dWrite, false, CNow - 30000001, 30000, 1, "connecting/writing timeout"},
      {"write: no write under way", dWrite, false, CNone, 30000, 0, nullptr},
      {"write: time-out 0 is off", dWrite, false, CNow - 3600000000, 0, 0, nullptr},
      {"write: stamp 0 is a cancel", dWrite, false, 0, 30000, 1, "connecting/writing canceled"},
      {"write: a stopped task is not a write abort", dWrite, true, CNow, 30000, 0, nullptr},
      {"write: stopped, then its own time-out", dWrite, true, CNow - 30000001, 30000, 1,
       "connecting/writing timeout"},
  };
  auto task = std::make_unique<TTestTask>();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    task->FBroken = c.Broken;
    // the other direction is set up to abort, so a mixed-up callback shows
    task->FLastRead = c.Direction == dRead ? c.Last : 0;
    task->FReadTimeout = c.Direction == dRead ? c.Timeout : 1;
    task->FLastWrite = c.Direction == dWrite ? c.Last : 0;
    task->FWriteTimeout = c.Direction == dWrite ? c.Timeout : 1;
    const AVIOInterruptCB& cb = c.Direction == dRead ? task->FReadCallback : task->FWriteCallback;
    EXPECT_EQ(cb.callback(cb.opaque), c.Expected);
    const std::vector<TLogRecord> records = FRecorder.Take();
    if (!c.Message) {
      EXPECT_TRUE(records.empty()) << records.front().Msg;
      continue;
    }
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Sender, task.get());
    EXPECT_EQ(records[0].Level, FFLoad::llInfo);
    const std::string& msg = records[0].Msg;
    ASSERT_GE(msg.size(), std::strlen(c.Message)) << msg;
    EXPECT_EQ(msg.substr(msg.size() - std::strlen(c.Message)), c.Message) << msg;
  }
}

TEST_F(WatchdogTest, RealClock) {
  auto task = std::make_unique<TTestTask>();
  const std::int64_t now = AVUtilStubs::av_gettime_relative();
  task->FLastRead = now;
  EXPECT_EQ(task->FReadCallback.callback(task.get()), 0);
  task->FLastRead = now - 60000000;  // a minute without progress
  EXPECT_EQ(task->FReadCallback.callback(task.get()), 1);
  task->FLastWrite = now - 60000000;
  EXPECT_EQ(task->FWriteCallback.callback(task.get()), 1);
  task->FWriteTimeout = 120000;  // two minutes allowed
  EXPECT_EQ(task->FWriteCallback.callback(task.get()), 0);
  FRecorder.Take();
}

}  // namespace
