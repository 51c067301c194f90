// The scheduler of a conversion task, with dummy node bodies over the real thread and
// sync queues: graph checks, start order, data flow with back-pressure, the pause gate,
// pre-mux queues, the SDP wait, end of stream, termination and release.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "EngineTestSupport.h"
#include "LogCapture.h"
#include "MainThreadPump.h"
#include "TestLibraries.h"
#include "engine/FFmpegSched.h"
#include "engine/FFmpegSchedInternal.h"
#include "platform/Exception.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFmpegHeader.h"

namespace {

using namespace FFmpegSched;
using AVCodecStubs::av_new_packet;
using AVCodecStubs::av_packet_alloc;
using AVCodecStubs::av_packet_free;
using AVCodecStubs::av_packet_unref;
using AVUtilStubs::av_frame_alloc;
using AVUtilStubs::av_frame_free;
using AVUtilStubs::av_frame_unref;
using MainThreadPump::KeepsHolding;

constexpr AVRational CMicro{1, 1000000};
constexpr AVRational CMilli{1, 1000};
constexpr AVRational C90k{1, 90000};

// Guard against hangs: a broken scheduler fails the test instead of blocking it.
constexpr auto CHangGuard = std::chrono::seconds(20);

// Polls APredicate until it holds or the hang guard runs out.
bool WaitUntil(const std::function<bool()>& APredicate) {
  const auto until = std::chrono::steady_clock::now() + CHangGuard;
  while (!APredicate()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Whether the waiter of a demuxer or filter graph holds it back (its next send or
// receive sleeps in the scheduler until a schedule update lets it run).
bool DemuxChoked(TScheduler* sch, Cardinal AIdx) {
  return FFmpegHeader::atomic_load(sch->demux[AIdx].waiter.choked) != 0;
}

// A latch that a test opens for a waiting node body.
class TGate {
 public:
  void Open() {
    std::lock_guard<std::mutex> guard(FLock);
    FOpen = true;
    FCond.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> guard(FLock);
    FCond.wait(guard, [this] { return FOpen; });
  }

 private:
  std::mutex FLock;
  std::condition_variable FCond;
  bool FOpen = false;
};

class TTestTask : public FFmpegHeader::TBaseFFmpeg {
 public:
  int GetVideoHookBitsPixel() override { return 24; }
  void SetVideoHookBitsPixel(int) override {}
};

// ---- Nodes ------------------------------------------------------------------------------------

struct TNode;
using TBody = std::function<int(TNode&)>;

struct TMuxed {
  int Stream;
  std::int64_t Dts;
  AVRational Tb;
};

const char* NodeItemName(void* ACtx);

const AVClass CNodeClass = [] {
  AVClass c{};
  c.class_name = "TestNode";
  c.item_name = NodeItemName;
  c.version = LIBAVUTIL_VERSION_INT;
  return c;
}();

// The context of one node body: a log context of its own, since the scheduler logs
// against it.
struct TNode {
  const AVClass* class_ = &CNodeClass;
  TScheduler* Sch = nullptr;
  Cardinal Idx = 0;
  std::string Name;
  TBody Body;
  std::atomic<int> Runs{0};
  std::atomic<bool> Done{false};
  std::atomic<int> Count{0};  // packets or frames handled
  std::atomic<int> Sends{0};  // sends begun (by the bodies that count them)
  std::atomic<int> Inits{0};  // muxer initialisations
  std::mutex Lock;
  std::vector<TMuxed> Muxed;  // what a muxer received, in order

  std::vector<TMuxed> Snapshot() {
    std::lock_guard<std::mutex> guard(Lock);
    return Muxed;
  }
};

const char* NodeItemName(void* ACtx) { return static_cast<TNode*>(ACtx)->Name.c_str(); }

int RunNode(void* AArg) {
  TNode& n = *static_cast<TNode*>(AArg);
  n.Runs++;
  const int ret = n.Body ? n.Body(n) : 0;
  n.Done = true;
  return ret;
}

int InitMux(void* AArg) {
  static_cast<TNode*>(AArg)->Inits++;
  return 0;
}

AVPacket* NewPacket(int AStream, std::int64_t ADts, AVRational ATb, std::int64_t ADuration = 0) {
  AVPacket* pkt = av_packet_alloc();
  if (av_new_packet(pkt, 8) < 0) return pkt;
  std::memset(pkt->data, 0, 8);
  pkt->stream_index = AStream;
  pkt->pts = ADts;
  pkt->dts = ADts;
  pkt->time_base = ATb;
  pkt->duration = ADuration;
  return pkt;
}

// Gives AFrame a small data buffer and the timing.
void FillFrame(AVFrame* AFrame, std::int64_t APts, AVRational ATb, std::int64_t ADuration) {
  AFrame->buf[0] = AVUtilStubs::av_buffer_allocz(8);
  AFrame->data[0] = AFrame->buf[0]->data;
  AFrame->pts = APts;
  AFrame->time_base = ATb;
  AFrame->duration = ADuration;
}

// End of stream and termination are normal ends of a body.
int BodyResult(int ARet) { return ARet == AVERROR_EOF || ARet == AVERROR_EXIT ? 0 : ARet; }

struct TPkt {
  int Stream;
  std::int64_t Dts;
  AVRational Tb;
  std::int64_t Duration;
};

// Sends the packets in order; the first refusal ends the body.
TBody DemuxList(std::vector<TPkt> APackets) {
  return [APackets](TNode& n) {
    for (const TPkt& p : APackets) {
      AVPacket* pkt = NewPacket(p.Stream, p.Dts, p.Tb, p.Duration);
      const int ret = sch_demux_send(n.Sch, n.Idx, pkt, 0);
      av_packet_free(&pkt);
      if (ret < 0) return BodyResult(ret);
      n.Count++;
    }
    return 0;
  };
}

// Sends ALimit packets per stream (round robin, AStep microseconds apart); a stream
// whose consumers are done is skipped, and termination ends the body.
TBody DemuxSteady(int ANbStreams, std::int64_t AStep, int ALimit = INT_MAX) {
  return [=](TNode& n) {
    std::vector<bool> done(ANbStreams, false);
    int nb_done = 0;
    for (std::int64_t k = 0; k / ANbStreams < ALimit && nb_done < ANbStreams; k++) {
      const int stream = static_cast<int>(k % ANbStreams);
      if (done[stream]) continue;
      AVPacket* pkt = NewPacket(stream, (k / ANbStreams) * AStep, CMicro, AStep);
      n.Sends++;
      const int ret = sch_demux_send(n.Sch, n.Idx, pkt, 0);
      av_packet_free(&pkt);
      if (ret == AVERROR_EOF) {
        done[stream] = true;
        nb_done++;
        continue;
      }
      if (ret < 0) return BodyResult(ret);
      n.Count++;
    }
    return 0;
  };
}

// One frame per packet; packets without data (heartbeats) are recorded and skipped.
// AParamsFirst: a frame that carries only parameters goes first.
TBody DecoderBody(bool AParamsFirst = false) {
  return [AParamsFirst](TNode& n) {
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int ret = 0;
    if (AParamsFirst) {
      frame->pts = 0;
      frame->time_base = CMilli;
      ret = sch_dec_send(n.Sch, n.Idx, 0, frame);
    }
    while (ret >= 0 && sch_dec_receive(n.Sch, n.Idx, pkt) >= 0) {
      if (!pkt->data) {
        std::lock_guard<std::mutex> guard(n.Lock);
        n.Muxed.push_back(TMuxed{-1, pkt->pts, pkt->time_base});
        av_packet_unref(pkt);
        continue;
      }
      FillFrame(frame, pkt->dts, pkt->time_base, pkt->duration);
      av_packet_unref(pkt);
      n.Count++;
      ret = sch_dec_send(n.Sch, n.Idx, 0, frame);
      if (ret < 0) av_frame_unref(frame);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    return BodyResult(ret);
  };
}

// Passes every frame it receives to all of its outputs.
TBody FilterBody() {
  return [](TNode& n) {
    const Cardinal nb_outputs = n.Sch->filters[n.Idx].nb_outputs;
    AVFrame* frame = av_frame_alloc();
    AVFrame* copy = av_frame_alloc();
    int ret = 0;
    for (;;) {
      Cardinal in = 0;
      ret = sch_filter_receive(n.Sch, n.Idx, in, frame);
      if (ret < 0) break;
      n.Count++;
      for (Cardinal o = 0; o < nb_outputs && ret >= 0; o++) {
        AVFrame* f = frame;
        if (o + 1 < nb_outputs) {
          AVUtilStubs::av_frame_ref(copy, frame);
          f = copy;
        }
        ret = sch_filter_send(n.Sch, n.Idx, o, f);
        if (ret < 0) av_frame_unref(f);
        if (ret == AVERROR_EOF) ret = 0;  // that output is closed
      }
      av_frame_unref(frame);
    }
    av_frame_free(&copy);
    av_frame_free(&frame);
    return BodyResult(ret);
  };
}

// A graph without inputs: one frame each time it may run. AGoOn, when given, is asked
// before each frame (its index) and ends the body when it says no.
TBody SourceFilterBody(std::int64_t AStep, int ALimit = INT_MAX,
                       std::function<bool(int)> AGoOn = {}) {
  return [=](TNode& n) {
    AVFrame* frame = av_frame_alloc();
    int ret = 0;
    for (int k = 0; k < ALimit; k++) {
      if (AGoOn && !AGoOn(k)) break;
      Cardinal in = 0;
      n.Sends++;  // the gate holds a source graph in its receive
      ret = sch_filter_receive(n.Sch, n.Idx, in, frame);
      if (ret != AVERROR(EAGAIN)) break;
      FillFrame(frame, k * AStep, CMicro, AStep);
      ret = sch_filter_send(n.Sch, n.Idx, 0, frame);
      if (ret < 0) {
        av_frame_unref(frame);
        break;
      }
      n.Count++;
    }
    av_frame_free(&frame);
    return BodyResult(ret == AVERROR(EAGAIN) ? 0 : ret);
  };
}

// One packet per frame, with the frame's timing.
TBody EncoderBody() {
  return [](TNode& n) {
    AVFrame* frame = av_frame_alloc();
    int ret = 0;
    while (sch_enc_receive(n.Sch, n.Idx, frame) >= 0) {
      n.Count++;
      AVPacket* pkt = NewPacket(0, frame->pts, frame->time_base, frame->duration);
      av_frame_unref(frame);
      ret = sch_enc_send(n.Sch, n.Idx, pkt);
      av_packet_free(&pkt);
      if (ret < 0) break;
    }
    av_frame_free(&frame);
    return BodyResult(ret);
  };
}

// Records every packet; a stream that ended is refused.
TBody MuxBody() {
  return [](TNode& n) {
    return EngineTestSupport::DrainMux(n.Sch, n.Idx, [&n](const AVPacket* pkt) {
      {
        std::lock_guard<std::mutex> guard(n.Lock);
        n.Muxed.push_back(TMuxed{pkt->stream_index, pkt->dts, pkt->time_base});
      }
      n.Count++;
    });
  };
}

TBody Returns(int AResult) {
  return [AResult](TNode&) { return AResult; };
}

// ---- Graph ------------------------------------------------------------------------------------

class TGraph {
 public:
  explicit TGraph(FFmpegHeader::TBaseFFmpeg* AOwner = nullptr, TSchSdpWriter ASdp = nullptr)
      : Sch(sch_alloc(AOwner, ASdp)) {}
  ~TGraph() { sch_free(Sch); }
  TGraph(const TGraph&) = delete;
  TGraph& operator=(const TGraph&) = delete;

  TNode& Demux(const std::string& AName, TBody ABody) {
    TNode& n = NewNode(AName, std::move(ABody));
    n.Idx = Checked(sch_add_demux(Sch, RunNode, &n));
    return n;
  }
  Cardinal DemuxStream(TNode& ADemux) { return Checked(sch_add_demux_stream(Sch, ADemux.Idx)); }
  TNode& Dec(const std::string& AName, TBody ABody, int ASendEndTs = 0) {
    TNode& n = NewNode(AName, std::move(ABody));
    n.Idx = Checked(sch_add_dec(Sch, RunNode, &n, ASendEndTs));
    return n;
  }
  TNode& Filter(const std::string& AName, Cardinal AInputs, Cardinal AOutputs, TBody ABody) {
    TNode& n = NewNode(AName, std::move(ABody));
    n.Idx = Checked(sch_add_filtergraph(Sch, AInputs, AOutputs, RunNode, &n));
    return n;
  }
  TNode& Enc(const std::string& AName, TBody ABody, TSchOpenCallback AOpen = nullptr) {
    TNode& n = NewNode(AName, std::move(ABody));
    n.Idx = Checked(sch_add_enc(Sch, RunNode, &n, AOpen));
    return n;
  }
  TNode& Mux(const std::string& AName, TBody ABody, int ASdpAuto = 0) {
    TNode& n = NewNode(AName, std::move(ABody));
    n.Idx = Checked(sch_add_mux(Sch, RunNode, InitMux, &n, ASdpAuto, 0));
    return n;
  }
  // A muxer stream with the tool's default buffering; ready at once unless told.
  Cardinal MuxStream(TNode& AMux, bool AReady = true) {
    const Cardinal s = Checked(sch_add_mux_stream(Sch, AMux.Idx));
    sch_mux_stream_buffering(Sch, AMux.Idx, s, 52428800, 128);
    if (AReady) {
      EXPECT_EQ(sch_mux_stream_ready(Sch, AMux.Idx, s), 0);
    }
    return s;
  }
  void Connect(TSchedulerNode ASrc, TSchedulerNode ADst) { EXPECT_EQ(sch_connect(Sch, ASrc, ADst), 0); }

  // Waits for sch_wait to report the end (1), at most as long as the hang guard.
  int WaitEnd() {
    const auto until = std::chrono::steady_clock::now() + CHangGuard;
    std::int64_t ts = 0;
    while (std::chrono::steady_clock::now() < until)
      if (sch_wait(Sch, 10000, ts)) return 1;
    return 0;
  }

  bool NoBodyRan() const {
    for (const auto& n : FNodes)
      if (n->Runs.load()) return false;
    return true;
  }

  TScheduler* Sch;

 private:
  TNode& NewNode(const std::string& AName, TBody ABody) {
    FNodes.push_back(std::make_unique<TNode>());
    TNode& n = *FNodes.back();
    n.Sch = Sch;
    n.Name = AName;
    n.Body = std::move(ABody);
    return n;
  }
  static Cardinal Checked(int AResult) {
    EXPECT_GE(AResult, 0);
    return AResult < 0 ? 0 : static_cast<Cardinal>(AResult);
  }

  std::vector<std::unique_ptr<TNode>> FNodes;
};

// A captured line with exactly this text and level, or nullptr.
const TLogCapture::TLine* FindLine(const std::vector<TLogCapture::TLine>& ALines, int ALevel,
                                   const std::string& AText) {
  for (const auto& l : ALines)
    if (l.Level == ALevel && l.Text == AText) return &l;
  return nullptr;
}

// The class name of a log context.
std::string ClassOf(void* ACtx) {
  return ACtx ? (*static_cast<const AVClass* const*>(ACtx))->class_name : "";
}

class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override { TestLibraries::RequireFFmpegLibraries(); }
};

// ---- Graph checks -----------------------------------------------------------------------------

TEST_F(SchedulerTest, BrokenGraphsAreRefusedBeforeAnyThreadStarts) {
  struct TCase {
    const char* Name;
    std::function<void(TGraph&)> Build;
    const char* Message;
    const char* Class;
  };
  // Each graph is sound but for one fault.
  const TCase cases[] = {
      {"demuxer stream without sink",
       [](TGraph& g) {
         TNode& d = g.Demux("d", nullptr);
         TNode& m = g.Mux("m", nullptr);
         g.DemuxStream(d);
         g.DemuxStream(d);
         g.Connect(SCH_DSTREAM(0, 0), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
       },
       "Demuxer stream 1 not connected to any sink\n", "SchDemux"},
      {"decoder without source",
       [](TGraph& g) {
         TNode& dec = g.Dec("dec", nullptr);
         TNode& e = g.Enc("e", nullptr);
         TNode& m = g.Mux("m", nullptr);
         g.Connect(SCH_DEC_OUT(dec.Idx, 0), SCH_ENC(e.Idx));
         g.Connect(SCH_ENC(e.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
       },
       "Decoder not connected to a source\n", "SchDec"},
      {"decoder output without sink",
       [](TGraph& g) {
         TNode& d = g.Demux("d", nullptr);
         TNode& dec = g.Dec("dec", nullptr);
         TNode& e = g.Enc("e", nullptr);
         TNode& m = g.Mux("m", nullptr);
         EXPECT_EQ(sch_add_dec_output(g.Sch, dec.Idx), 1);
         g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_DEC_IN(dec.Idx));
         g.Connect(SCH_DEC_OUT(dec.Idx, 0), SCH_ENC(e.Idx));
         g.Connect(SCH_ENC(e.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
       },
       "Decoder output 1 not connected to any sink\n", "SchDec"},
      {"encoder without source",
       [](TGraph& g) {
         TNode& e = g.Enc("e", nullptr);
         TNode& m = g.Mux("m", nullptr);
         g.Connect(SCH_ENC(e.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
       },
       "Encoder not connected to a source\n", "SchEnc"},
      {"encoder without sink",
       [](TGraph& g) {
         TNode& d = g.Demux("d", nullptr);
         TNode& dec = g.Dec("dec", nullptr);
         TNode& e = g.Enc("e", nullptr);
         g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_DEC_IN(dec.Idx));
         g.Connect(SCH_DEC_OUT(dec.Idx, 0), SCH_ENC(e.Idx));
       },
       "Encoder not connected to any sink\n", "SchEnc"},
      {"muxer stream without source",
       [](TGraph& g) {
         TNode& d = g.Demux("d", nullptr);
         TNode& m = g.Mux("m", nullptr);
         g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
         g.MuxStream(m);
       },
       "Muxer stream #1 not connected to a source\n", "SchMux"},
      {"filter graph input without source",
       [](TGraph& g) {
         TNode& d = g.Demux("d", nullptr);
         TNode& dec = g.Dec("dec", nullptr);
         TNode& f = g.Filter("f", 2, 1, nullptr);
         TNode& e = g.Enc("e", nullptr);
         TNode& m = g.Mux("m", nullptr);
         g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_DEC_IN(dec.Idx));
         g.Connect(SCH_DEC_OUT(dec.Idx, 0), SCH_FILTER_IN(f.Idx, 0));
         g.Connect(SCH_FILTER_OUT(f.Idx, 0), SCH_ENC(e.Idx));
         g.Connect(SCH_ENC(e.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
       },
       "Filtergraph input 1 not connected to a source\n", "SchFilterGraph"},
      {"filter graph output without sink",
       [](TGraph& g) {
         TNode& d = g.Demux("d", nullptr);
         TNode& dec = g.Dec("dec", nullptr);
         TNode& f = g.Filter("f", 1, 2, nullptr);
         TNode& e = g.Enc("e", nullptr);
         TNode& m = g.Mux("m", nullptr);
         g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_DEC_IN(dec.Idx));
         g.Connect(SCH_DEC_OUT(dec.Idx, 0), SCH_FILTER_IN(f.Idx, 0));
         g.Connect(SCH_FILTER_OUT(f.Idx, 0), SCH_ENC(e.Idx));
         g.Connect(SCH_ENC(e.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
       },
       "Filtergraph 0 output 1 not connected to a sink\n", "SchFilterGraph"},
      {"cycle between two filter graphs",
       [](TGraph& g) {
         // f0 feeds f1, and f1 feeds f0's second input
         TNode& d = g.Demux("d", nullptr);
         TNode& dec = g.Dec("dec", nullptr);
         TNode& f0 = g.Filter("f0", 2, 2, nullptr);
         TNode& f1 = g.Filter("f1", 1, 1, nullptr);
         TNode& e = g.Enc("e", nullptr);
         TNode& m = g.Mux("m", nullptr);
         g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_DEC_IN(dec.Idx));
         g.Connect(SCH_DEC_OUT(dec.Idx, 0), SCH_FILTER_IN(f0.Idx, 0));
         g.Connect(SCH_FILTER_OUT(f0.Idx, 0), SCH_FILTER_IN(f1.Idx, 0));
         g.Connect(SCH_FILTER_OUT(f1.Idx, 0), SCH_FILTER_IN(f0.Idx, 1));
         g.Connect(SCH_FILTER_OUT(f0.Idx, 1), SCH_ENC(e.Idx));
         g.Connect(SCH_ENC(e.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
       },
       "Transcoding graph has a cycle\n", "SchFilterGraph"},
  };

  TLogCapture log;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TLogCapture::Clear();
    TGraph g;
    c.Build(g);
    EXPECT_EQ(sch_start(g.Sch), AVERROR(EINVAL));

    const auto lines = TLogCapture::Snapshot();
    const TLogCapture::TLine* line = FindLine(lines, AV_LOG_ERROR, c.Message);
    ASSERT_NE(line, nullptr) << TLogCapture::All();
    EXPECT_EQ(ClassOf(line->Ctx), c.Class);
    EXPECT_FALSE(TLogCapture::HasText("Starting thread"));
    EXPECT_EQ(g.Sch->state, SCH_STATE_UNINIT);
    EXPECT_EQ(sch_stop(g.Sch), 0);  // nothing to stop
    EXPECT_TRUE(g.NoBodyRan());
  }
}

TEST_F(SchedulerTest, ProgrammingErrorsFailAssertions) {
  struct TCase {
    const char* Name;
    std::function<void(TGraph&)> Act;
    const char* Message;
  };
  const TCase cases[] = {
      {"stream of a missing demuxer", [](TGraph& g) { sch_add_demux_stream(g.Sch, 3); },
       "Assertion failure (FFmpegSched, line 1477)"},
      {"output of a missing decoder", [](TGraph& g) { sch_add_dec_output(g.Sch, 0); },
       "Assertion failure (FFmpegSched, line 1492)"},
      {"a decoder with two sources",
       [](TGraph& g) {
         TNode& d = g.Demux("d", nullptr);
         TNode& dec = g.Dec("dec", nullptr);
         g.DemuxStream(d);
         g.DemuxStream(d);
         g.Connect(SCH_DSTREAM(d.Idx, 0), SCH_DEC_IN(dec.Idx));
         sch_connect(g.Sch, SCH_DSTREAM(d.Idx, 1), SCH_DEC_IN(dec.Idx));
       },
       "Assertion failure (FFmpegSched, line 1787)"},
      {"a filter output with two sinks",
       [](TGraph& g) {
         TNode& f = g.Filter("f", 0, 1, nullptr);
         TNode& e0 = g.Enc("e0", nullptr);
         TNode& e1 = g.Enc("e1", nullptr);
         g.Connect(SCH_FILTER_OUT(f.Idx, 0), SCH_ENC(e0.Idx));
         sch_connect(g.Sch, SCH_FILTER_OUT(f.Idx, 0), SCH_ENC(e1.Idx));
       },
       "Assertion failure (FFmpegSched, line 1844)"},
      {"a muxer stream ready twice",
       [](TGraph& g) {
         TNode& m = g.Mux("m", nullptr);
         g.MuxStream(m);
         sch_mux_stream_ready(g.Sch, m.Idx, 0);
       },
       "Assertion failure (FFmpegSched, line 2073)"},
      {"an edge between two muxers",
       [](TGraph& g) {
         TNode& m = g.Mux("m", nullptr);
         g.MuxStream(m);
         sch_connect(g.Sch, SCH_MSTREAM(m.Idx, 0), SCH_MSTREAM(m.Idx, 0));
       },
       "Never occur."},
      {"pausing no scheduler", [](TGraph&) { sch_set_paused(nullptr, 1); },
       "Assertion failure (FFmpegSched, line 4010)"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TGraph g;
    try {
      c.Act(g);
      ADD_FAILURE() << "no exception";
    } catch (const Platform::Exception& e) {
      EXPECT_EQ(e.Message(), c.Message);
    }
  }
}

// ---- Start ------------------------------------------------------------------------------------

TEST_F(SchedulerTest, ThreadsStartMuxersEncodersFiltersDecodersDemuxersInThatOrder) {
  TLogCapture log;
  TGraph g;
  // two chains registered node by node, and an input none of whose streams is used
  TNode& mux = g.Mux("mux0", MuxBody());
  TNode* demux[2];
  TNode* dec[2];
  TNode* fg[2];
  TNode* enc[2];
  for (int i = 0; i < 2; i++) {
    const std::string n = std::to_string(i);
    demux[i] = &g.Demux("demux" + n, DemuxSteady(1, 1000, 3));
    dec[i] = &g.Dec("dec" + n, DecoderBody());
    fg[i] = &g.Filter("fg" + n, 1, 1, FilterBody());
    enc[i] = &g.Enc("enc" + n, EncoderBody());
    g.Connect(SCH_DSTREAM(demux[i]->Idx, g.DemuxStream(*demux[i])), SCH_DEC_IN(dec[i]->Idx));
    g.Connect(SCH_DEC_OUT(dec[i]->Idx, 0), SCH_FILTER_IN(fg[i]->Idx, 0));
    g.Connect(SCH_FILTER_OUT(fg[i]->Idx, 0), SCH_ENC(enc[i]->Idx));
    g.Connect(SCH_ENC(enc[i]->Idx), SCH_MSTREAM(mux.Idx, g.MuxStream(mux)));
  }
  TNode& unused = g.Demux("unused", DemuxSteady(1, 1000, 3));

  ASSERT_EQ(sch_start(g.Sch), 0);
  ASSERT_EQ(g.WaitEnd(), 1);
  EXPECT_EQ(sch_stop(g.Sch), 0);

  std::vector<std::string> started;
  for (const auto& l : TLogCapture::Snapshot())
    if (l.Level == AV_LOG_VERBOSE && l.Text == "Starting thread...\n")
      started.push_back(static_cast<TNode*>(l.Ctx)->Name);
  const std::vector<std::string> expected = {"mux0", "enc0",  "enc1",   "fg0",   "fg1",
                                             "dec0", "dec1", "demux0", "demux1"};
  EXPECT_EQ(started, expected);
  EXPECT_EQ(unused.Runs.load(), 0);
  EXPECT_EQ(mux.Inits.load(), 1);
  EXPECT_EQ(mux.Count.load(), 6);
}

TEST_F(SchedulerTest, DiamondOfFilterGraphsCarriesEveryFrame) {
  // demux -> dec -> f0 -> (f1, f2) -> f3 -> enc -> mux: every frame arrives twice
  TGraph g;
  constexpr int CPackets = 40;
  std::vector<TPkt> packets;
  for (int i = 0; i < CPackets; i++) packets.push_back(TPkt{0, i * 10, CMilli, 10});
  TNode& d = g.Demux("d", DemuxList(packets));
  TNode& dec = g.Dec("dec", DecoderBody());
  TNode& f0 = g.Filter("f0", 1, 2, FilterBody());
  TNode& f1 = g.Filter("f1", 1, 1, FilterBody());
  TNode& f2 = g.Filter("f2", 1, 1, FilterBody());
  TNode& f3 = g.Filter("f3", 2, 1, FilterBody());
  TNode& e = g.Enc("e", EncoderBody());
  TNode& m = g.Mux("m", MuxBody());
  g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_DEC_IN(dec.Idx));
  g.Connect(SCH_DEC_OUT(dec.Idx, 0), SCH_FILTER_IN(f0.Idx, 0));
  g.Connect(SCH_FILTER_OUT(f0.Idx, 0), SCH_FILTER_IN(f1.Idx, 0));
  g.Connect(SCH_FILTER_OUT(f0.Idx, 1), SCH_FILTER_IN(f2.Idx, 0));
  g.Connect(SCH_FILTER_OUT(f1.Idx, 0), SCH_FILTER_IN(f3.Idx, 0));
  g.Connect(SCH_FILTER_OUT(f2.Idx, 0), SCH_FILTER_IN(f3.Idx, 1));
  g.Connect(SCH_FILTER_OUT(f3.Idx, 0), SCH_ENC(e.Idx));
  g.Connect(SCH_ENC(e.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));

  ASSERT_EQ(sch_start(g.Sch), 0);
  ASSERT_EQ(g.WaitEnd(), 1);
  std::int64_t finish_ts = 0;
  EXPECT_EQ(sch_stop(g.Sch, &finish_ts), 0);

  std::map<std::int64_t, int> seen;
  for (const TMuxed& p : m.Snapshot()) seen[p.Dts]++;
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(CPackets));
  for (const auto& [dts, n] : seen) EXPECT_EQ(n, 2) << dts;
  // the last packet ends at 400 ms
  EXPECT_EQ(finish_ts, 400000);
}

// ---- Muxer start ------------------------------------------------------------------------------

TEST_F(SchedulerTest, PreMuxPacketsReachTheMuxerInDecodingTimestampOrder) {
  TGraph g;
  // time bases differ; one packet has no timestamp
  TNode& d = g.Demux("d", DemuxList({{0, 0, CMilli, 0},
                                     {1, 1800, C90k, 0},
                                     {1, 5400, C90k, 0},
                                     {0, 40, CMilli, 0},
                                     {0, 80, CMilli, 0},
                                     {1, AV_NOPTS_VALUE, C90k, 0},
                                     {1, 9000, C90k, 0},
                                     {0, 120, CMilli, 0}}));
  TNode& m = g.Mux("m", MuxBody());
  for (Cardinal s = 0; s < 2; s++)
    g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_MSTREAM(m.Idx, g.MuxStream(m, false)));

  ASSERT_EQ(sch_start(g.Sch), 0);
  ASSERT_TRUE(WaitUntil([&] { return d.Done.load(); }));
  EXPECT_EQ(m.Inits.load(), 0);
  EXPECT_EQ(m.Runs.load(), 0);

  EXPECT_EQ(sch_mux_stream_ready(g.Sch, m.Idx, 0), 0);
  EXPECT_EQ(m.Inits.load(), 0);
  EXPECT_EQ(sch_mux_stream_ready(g.Sch, m.Idx, 1), 0);
  EXPECT_EQ(m.Inits.load(), 1);
  ASSERT_EQ(g.WaitEnd(), 1);
  EXPECT_EQ(sch_stop(g.Sch), 0);

  std::vector<std::pair<int, std::int64_t>> order;
  for (const TMuxed& p : m.Snapshot()) order.emplace_back(p.Stream, p.Dts);
  const std::vector<std::pair<int, std::int64_t>> expected = {
      {0, 0}, {1, 1800}, {0, 40}, {1, 5400}, {1, AV_NOPTS_VALUE}, {0, 80}, {1, 9000}, {0, 120}};
  EXPECT_EQ(order, expected);
}

TEST_F(SchedulerTest, PreMuxQueueOverflowFailsTheSender) {
  TLogCapture log;
  TGraph g;
  std::vector<TPkt> packets;
  for (int i = 0; i < 20; i++) packets.push_back(TPkt{0, i, CMilli, 1});
  TNode& d = g.Demux("d", DemuxList(packets));
  TNode& m = g.Mux("m", MuxBody());
  const Cardinal s = g.MuxStream(m, false);
  sch_mux_stream_buffering(g.Sch, m.Idx, s, 0, 8);
  g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_MSTREAM(m.Idx, s));

  ASSERT_EQ(sch_start(g.Sch), 0);
  ASSERT_EQ(g.WaitEnd(), 1);  // a task failed
  EXPECT_EQ(sch_stop(g.Sch), AVERROR_BUFFER_TOO_SMALL);
  EXPECT_EQ(d.Count.load(), 8);
  EXPECT_EQ(m.Runs.load(), 0);

  const auto lines = TLogCapture::Snapshot();
  const TLogCapture::TLine* line =
      FindLine(lines, AV_LOG_ERROR, "Too many packets buffered for output stream.\n");
  ASSERT_NE(line, nullptr) << TLogCapture::All();
  EXPECT_EQ(ClassOf(line->Ctx), "SchMux");
}

struct TSdpCalls {
  std::atomic<int> Calls{0};
  std::atomic<int> Result{0};
  std::string Name;
  FFmpegHeader::TBaseFFmpeg* Owner = nullptr;
  int RunsOfMux0 = -1;  // mux0's body runs when the SDP was written
  TNode* Mux0 = nullptr;
};
TSdpCalls* GSdp = nullptr;

int WriteSdp(FFmpegHeader::TBaseFFmpeg* AOwner, const char* AName) {
  GSdp->Calls++;
  GSdp->Owner = AOwner;
  GSdp->Name = AName ? AName : "(none)";
  GSdp->RunsOfMux0 = GSdp->Mux0->Runs.load();
  return GSdp->Result.load();
}

TEST_F(SchedulerTest, NoMuxerStartsBeforeTheSdpOfAllIsWritten) {
  struct TCase {
    const char* Name;
    const char* FileName;  // nullptr: every muxer is an RTP muxer
    int Result;            // of the SDP writer
  };
  const TCase cases[] = {
      {"file name given", "out.sdp", 0},
      {"all muxers RTP", nullptr, 0},
      {"writing fails", "out.sdp", AVERROR(EIO)},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TLogCapture log;
    TTestTask task;
    TSdpCalls sdp;
    GSdp = &sdp;
    sdp.Result = c.Result;
    {
      TGraph g(&task, WriteSdp);
      const int sdp_auto = c.FileName ? 0 : 1;
      if (c.FileName) {
        ASSERT_EQ(sch_sdp_filename(g.Sch, c.FileName), 0);
      }
      TNode& d = g.Demux("d", DemuxList({{0, 0, CMilli, 10}, {1, 0, CMilli, 10}, {0, 10, CMilli, 10}}));
      TNode& m0 = g.Mux("m0", MuxBody(), sdp_auto);
      TNode& m1 = g.Mux("m1", MuxBody(), sdp_auto);
      sdp.Mux0 = &m0;
      g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_MSTREAM(m0.Idx, g.MuxStream(m0)));
      g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_MSTREAM(m1.Idx, g.MuxStream(m1, false)));
      EXPECT_EQ(g.Sch->sdp_auto, sdp_auto);

      ASSERT_EQ(sch_start(g.Sch), 0);
      ASSERT_TRUE(WaitUntil([&] { return d.Done.load(); }));
      // m0 is initialised but waits for m1
      EXPECT_EQ(m0.Inits.load(), 1);
      EXPECT_EQ(m0.Runs.load(), 0);
      EXPECT_EQ(sdp.Calls.load(), 0);

      EXPECT_EQ(sch_mux_stream_ready(g.Sch, m1.Idx, 0), c.Result);
      EXPECT_EQ(sdp.Calls.load(), 1);
      EXPECT_EQ(sdp.Owner, &task);
      EXPECT_EQ(sdp.Name, c.FileName ? c.FileName : "(none)");
      EXPECT_EQ(sdp.RunsOfMux0, 0);
      if (c.Result == 0) {
        ASSERT_EQ(g.WaitEnd(), 1);
        EXPECT_EQ(m0.Count.load(), 2);
        EXPECT_EQ(m1.Count.load(), 1);
      } else {
        const auto lines = TLogCapture::Snapshot();
        const TLogCapture::TLine* line = FindLine(lines, AV_LOG_ERROR, "Error writing the SDP.\n");
        ASSERT_NE(line, nullptr) << TLogCapture::All();
        EXPECT_EQ(ClassOf(line->Ctx), "Scheduler");
      }
      EXPECT_EQ(sch_stop(g.Sch), 0);
      EXPECT_EQ(m0.Runs.load(), c.Result == 0 ? 1 : 0);
    }
    GSdp = nullptr;
  }
}

// ---- Back-pressure ----------------------------------------------------------------------------

TEST_F(SchedulerTest, ASourceMoreThan100msAheadWaitsForTheSlowOne) {
  TGraph g;
  TGate fast_may_start, slow_step1, slow_step2;
  std::atomic<int> slow_sent{0};
  // the slow input: 0 ms, then 300 ms, then it ends
  TNode& slow = g.Demux("slow", [&](TNode& n) {
    const std::int64_t dts[] = {0, 300};
    TGate* gates[] = {&slow_step1, &slow_step2};
    for (int i = 0; i < 2; i++) {
      AVPacket* pkt = NewPacket(0, dts[i], CMilli, 0);
      const int ret = sch_demux_send(n.Sch, n.Idx, pkt, 0);
      av_packet_free(&pkt);
      if (ret < 0) return BodyResult(ret);
      slow_sent++;
      if (i == 0) fast_may_start.Open();
      gates[i]->Wait();
    }
    return 0;
  });
  // the fast input: 30 packets of 20 ms
  TNode& fast = g.Demux("fast", [&](TNode& n) {
    fast_may_start.Wait();
    for (int k = 0; k < 30; k++) {
      AVPacket* pkt = NewPacket(0, k * 20, CMilli, 20);
      const int ret = sch_demux_send(n.Sch, n.Idx, pkt, 0);
      av_packet_free(&pkt);
      if (ret < 0) return BodyResult(ret);
      n.Count++;
    }
    return 0;
  });
  TNode& m = g.Mux("m", MuxBody());
  g.Connect(SCH_DSTREAM(slow.Idx, g.DemuxStream(slow)), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
  g.Connect(SCH_DSTREAM(fast.Idx, g.DemuxStream(fast)), SCH_MSTREAM(m.Idx, g.MuxStream(m)));

  ASSERT_EQ(sch_start(g.Sch), 0);
  // with the slow stream at 0 ms the fast one stops once it has reached 100 ms
  // choked while its fifth packet was sent: the next send sleeps until the slow one moves
  ASSERT_TRUE(WaitUntil([&] { return fast.Count.load() >= 5 && DemuxChoked(g.Sch, fast.Idx); }));
  EXPECT_EQ(fast.Count.load(), 5);

  // the slow one at 300 ms lets the fast one run up to 400 ms
  slow_step1.Open();
  ASSERT_TRUE(WaitUntil([&] { return fast.Count.load() >= 20 && DemuxChoked(g.Sch, fast.Idx); }));
  EXPECT_EQ(fast.Count.load(), 20);

  // once the slow one has ended, nothing holds the fast one
  slow_step2.Open();
  ASSERT_EQ(g.WaitEnd(), 1);
  EXPECT_EQ(sch_stop(g.Sch), 0);
  EXPECT_EQ(fast.Count.load(), 30);
  EXPECT_EQ(m.Count.load(), 32);
}

TEST_F(SchedulerTest, WithEveryOutputStreamFinishedTheFirstLiveDemuxerStillRuns) {
  TGraph g;
  TGate first_go, second_go;
  std::atomic<bool> mux_finished{false};
  std::atomic<int> second_result{1};
  std::atomic<int> first_result{1};
  auto body = [&](TGate& AGate, std::atomic<int>& AResult) {
    return [&AGate, &AResult](TNode& n) {
      AVPacket* pkt = NewPacket(0, 0, CMilli, 0);
      int ret = sch_demux_send(n.Sch, n.Idx, pkt, 0);
      av_packet_free(&pkt);
      if (ret < 0) return ret;
      AGate.Wait();
      pkt = NewPacket(0, 10, CMilli, 0);
      n.Sends++;
      ret = sch_demux_send(n.Sch, n.Idx, pkt, 0);
      av_packet_free(&pkt);
      AResult = ret;
      return BodyResult(ret);
    };
  };
  TNode& first = g.Demux("first", body(first_go, first_result));
  TNode& second = g.Demux("second", body(second_go, second_result));
  // the muxer refuses both streams after their first packets (as a recording limit does)
  TNode& m = g.Mux("m", [&](TNode& n) {
    AVPacket* pkt = av_packet_alloc();
    bool got[2] = {false, false};
    while (!(got[0] && got[1]) && sch_mux_receive(n.Sch, n.Idx, pkt) == 0) {
      got[pkt->stream_index] = true;
      av_packet_unref(pkt);
    }
    sch_mux_receive_finish(n.Sch, n.Idx, 0);
    sch_mux_receive_finish(n.Sch, n.Idx, 1);
    mux_finished = true;
    while (sch_mux_receive(n.Sch, n.Idx, pkt) >= 0 || pkt->stream_index >= 0) av_packet_unref(pkt);
    av_packet_free(&pkt);
    return 0;
  });
  g.Connect(SCH_DSTREAM(first.Idx, g.DemuxStream(first)), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
  g.Connect(SCH_DSTREAM(second.Idx, g.DemuxStream(second)), SCH_MSTREAM(m.Idx, g.MuxStream(m)));

  ASSERT_EQ(sch_start(g.Sch), 0);
  ASSERT_TRUE(WaitUntil([&] { return mux_finished.load(); }));
  // no stream is unfinished: only the first demuxer that has not exited may run
  second_go.Open();
  // its second send has begun while it is choked: it sleeps in the scheduler
  ASSERT_TRUE(WaitUntil([&] { return second.Sends.load() == 1 && DemuxChoked(g.Sch, second.Idx); }));
  EXPECT_EQ(second_result.load(), 1);  // still waiting
  first_go.Open();
  ASSERT_TRUE(WaitUntil([&] { return second.Done.load(); }));
  EXPECT_EQ(first_result.load(), AVERROR_EOF);
  EXPECT_EQ(second_result.load(), AVERROR_EOF);
  ASSERT_EQ(g.WaitEnd(), 1);
  EXPECT_EQ(sch_stop(g.Sch), 0);
}

// ---- Pause gate -------------------------------------------------------------------------------

TEST_F(SchedulerTest, PauseGateHoldsSourcesAndTheWaitUntilResumed) {
  TGraph g;
  std::counting_semaphore<64> ticks(0);
  std::atomic<bool> finish{false};
  TNode& d = g.Demux("d", [&](TNode& n) {
    for (int k = 0;; k++) {
      ticks.acquire();
      if (finish) return 0;
      n.Sends++;
      AVPacket* pkt = NewPacket(0, k, CMilli, 1);
      const int ret = sch_demux_send(n.Sch, n.Idx, pkt, 0);
      av_packet_free(&pkt);
      if (ret < 0) return BodyResult(ret);
      n.Count++;
    }
  });
  TNode& m = g.Mux("m", MuxBody());
  g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_MSTREAM(m.Idx, g.MuxStream(m)));

  sch_set_paused(g.Sch, 1);  // before the start: no effect
  EXPECT_EQ(FFmpegHeader::atomic_load(g.Sch->paused), 0);
  ASSERT_EQ(sch_start(g.Sch), 0);
  ticks.release();
  ASSERT_TRUE(WaitUntil([&] { return d.Count.load() == 1; }));

  sch_set_paused(g.Sch, 1);
  ticks.release();
  std::atomic<bool> waiting{false};
  auto wait = std::async(std::launch::async, [&] {
    std::int64_t ts = 0;
    waiting = true;
    return sch_wait(g.Sch, 1000, ts);
  });
  // the second send began after the gate closed: it sleeps there
  ASSERT_TRUE(WaitUntil([&] { return d.Sends.load() == 2 && waiting.load(); }));
  EXPECT_EQ(d.Count.load(), 1);  // the send waits at the gate
  // unheld, the wait would return after its 1 ms
  EXPECT_TRUE(KeepsHolding([&] {
    return wait.wait_for(std::chrono::milliseconds(0)) == std::future_status::timeout;
  }));
  EXPECT_EQ(wait.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);

  sch_set_paused(g.Sch, 0);
  ASSERT_TRUE(WaitUntil([&] { return d.Count.load() == 2; }));
  ASSERT_EQ(wait.wait_for(CHangGuard), std::future_status::ready);
  EXPECT_EQ(wait.get(), 0);  // timed out after the resume: the muxer has not ended

  finish = true;
  ticks.release();
  ASSERT_EQ(g.WaitEnd(), 1);
  EXPECT_EQ(sch_stop(g.Sch), 0);
  EXPECT_EQ(m.Count.load(), 2);

  sch_set_paused(g.Sch, 1);  // after the stop: no effect
  EXPECT_EQ(FFmpegHeader::atomic_load(g.Sch->paused), 0);
}

TEST_F(SchedulerTest, StopAndFreeOfAPausedSchedulerReturn) {
  // sources asleep at the gate: a demuxer and a filter graph without inputs. Each makes
  // its first four sends when given a tick, so no send is under way when the gate closes:
  // the fourth, ticked after the pause, begins after it and sleeps at the gate (a send
  // begun before the pause may still be on its way there, which nothing outside the
  // scheduler can see). From then on they send freely, as real sources do, until the
  // stop ends them.
  std::counting_semaphore<64> d_ticks(0), src_ticks(0);
  std::atomic<bool> finish{false};
  auto graph = std::make_unique<TGraph>();
  TGraph& g = *graph;
  TNode& d = g.Demux("d", [&](TNode& n) {
    for (int k = 0;; k++) {
      if (k < 4) d_ticks.acquire();
      if (finish) return 0;
      AVPacket* pkt = NewPacket(0, k * 1000, CMicro, 1000);
      n.Sends++;
      const int ret = sch_demux_send(n.Sch, n.Idx, pkt, 0);
      av_packet_free(&pkt);
      if (ret < 0) return BodyResult(ret);
      n.Count++;
    }
  });
  TNode& src = g.Filter("src", 0, 1, SourceFilterBody(1000, INT_MAX, [&](int k) {
    if (k < 4) src_ticks.acquire();
    return !finish;
  }));
  TNode& e = g.Enc("e", EncoderBody());
  TNode& m = g.Mux("m", MuxBody());
  g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
  g.Connect(SCH_FILTER_OUT(src.Idx, 0), SCH_ENC(e.Idx));
  g.Connect(SCH_ENC(e.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
  // a failed assertion leaves no body waiting for a tick
  struct TReleaser {
    std::atomic<bool>& Finish;
    std::counting_semaphore<64>& A;
    std::counting_semaphore<64>& B;
    ~TReleaser() {
      Finish = true;
      A.release(2);
      B.release(2);
    }
  } releaser{finish, d_ticks, src_ticks};

  ASSERT_EQ(sch_start(g.Sch), 0);
  d_ticks.release(3);
  src_ticks.release(3);
  // every send returned: each source waits for its next tick, none is in a send
  ASSERT_TRUE(WaitUntil([&] { return d.Count.load() == 3 && src.Count.load() == 3; }));
  sch_set_paused(g.Sch, 1);
  d_ticks.release();
  src_ticks.release();
  // the sends begun after the pause: they sleep at the gate
  ASSERT_TRUE(WaitUntil([&] { return d.Sends.load() == 4 && src.Sends.load() == 4; }));
  EXPECT_TRUE(KeepsHolding([&] { return d.Count.load() == 3 && src.Count.load() == 3; }));

  auto stop = std::async(std::launch::async, [&] {
    const int ret = sch_stop(g.Sch);
    graph.reset();
    return ret;
  });
  ASSERT_EQ(stop.wait_for(CHangGuard), std::future_status::ready);
  EXPECT_EQ(stop.get(), 0);
}

// ---- End of stream and termination ------------------------------------------------------------

TEST_F(SchedulerTest, AStreamEndsForItsDemuxerWhenEveryDestinationRefusedIt) {
  // one demuxer stream copied into two outputs, which refuse it one after the other
  TGraph g;
  TGate go1, go2;
  std::vector<int> results;
  TNode& d = g.Demux("d", [&](TNode& n) {
    for (int k = 0; k < 5; k++) {
      if (k == 1) go1.Wait();
      if (k == 3) go2.Wait();
      AVPacket* pkt = NewPacket(0, k, CMilli, 1);
      results.push_back(sch_demux_send(n.Sch, n.Idx, pkt, 0));
      av_packet_free(&pkt);
    }
    return 0;
  });
  std::atomic<int> refused[2] = {0, 0};
  // muxer i takes 1 + 2 * i packets, then refuses the stream
  auto refusing = [&refused](TNode& n) {
    AVPacket* pkt = av_packet_alloc();
    for (Cardinal taken = 0; taken < 1 + 2 * n.Idx && sch_mux_receive(n.Sch, n.Idx, pkt) == 0; taken++)
      av_packet_unref(pkt);
    sch_mux_receive_finish(n.Sch, n.Idx, 0);
    refused[n.Idx] = 1;
    while (sch_mux_receive(n.Sch, n.Idx, pkt) >= 0 || pkt->stream_index >= 0) av_packet_unref(pkt);
    av_packet_free(&pkt);
    return 0;
  };
  TNode& m0 = g.Mux("m0", refusing);
  TNode& m1 = g.Mux("m1", refusing);
  const Cardinal s = g.DemuxStream(d);
  g.Connect(SCH_DSTREAM(d.Idx, s), SCH_MSTREAM(m0.Idx, g.MuxStream(m0)));
  g.Connect(SCH_DSTREAM(d.Idx, s), SCH_MSTREAM(m1.Idx, g.MuxStream(m1)));

  ASSERT_EQ(sch_start(g.Sch), 0);
  ASSERT_TRUE(WaitUntil([&] { return refused[0].load() == 1; }));
  go1.Open();  // packets 1 and 2: the second output still takes them
  ASSERT_TRUE(WaitUntil([&] { return refused[1].load() == 1; }));
  go2.Open();  // packets 3 and 4: nobody takes them
  ASSERT_TRUE(WaitUntil([&] { return d.Done.load(); }));
  ASSERT_EQ(g.WaitEnd(), 1);
  EXPECT_EQ(sch_stop(g.Sch), 0);
  const std::vector<int> expected = {0, 0, 0, AVERROR_EOF, AVERROR_EOF};
  EXPECT_EQ(results, expected);
}

TEST_F(SchedulerTest, StreamCopyEndFlagClosesOnlyTheCopiedDestinations) {
  // a stream both decoded and copied: the flag ends the copy, the decoder goes on
  TGraph g;
  std::vector<int> results;
  TNode& d = g.Demux("d", [&](TNode& n) {
    for (int k = 0; k < 4; k++) {
      AVPacket* pkt = NewPacket(0, k, CMilli, 1);
      results.push_back(sch_demux_send(n.Sch, n.Idx, pkt, k == 1 ? DEMUX_SEND_STREAMCOPY_EOF : 0));
      av_packet_free(&pkt);
    }
    return 0;
  });
  TNode& dec = g.Dec("dec", DecoderBody());
  TNode& e = g.Enc("e", EncoderBody());
  TNode& m = g.Mux("m", MuxBody());
  const Cardinal s = g.DemuxStream(d);
  g.Connect(SCH_DSTREAM(d.Idx, s), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
  g.Connect(SCH_DSTREAM(d.Idx, s), SCH_DEC_IN(dec.Idx));
  g.Connect(SCH_DEC_OUT(dec.Idx, 0), SCH_ENC(e.Idx));
  g.Connect(SCH_ENC(e.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));

  ASSERT_EQ(sch_start(g.Sch), 0);
  ASSERT_EQ(g.WaitEnd(), 1);
  EXPECT_EQ(sch_stop(g.Sch), 0);
  const std::vector<int> expected = {0, 0, 0, 0};
  EXPECT_EQ(results, expected);
  int copied = 0, encoded = 0;
  for (const TMuxed& p : m.Snapshot()) (p.Stream == 0 ? copied : encoded)++;
  EXPECT_EQ(copied, 1);
  EXPECT_EQ(encoded, 4);
}

TEST_F(SchedulerTest, ASendAfterTheStopBeganGivesExit) {
  TGraph g;
  std::atomic<int> last{0};
  TNode& d = g.Demux("d", [&](TNode& n) {
    for (int k = 0;; k++) {
      AVPacket* pkt = NewPacket(0, k, CMilli, 1);
      const int ret = sch_demux_send(n.Sch, n.Idx, pkt, 0);
      av_packet_free(&pkt);
      n.Count++;
      if (ret < 0) {
        last = ret;
        return BodyResult(ret);
      }
    }
  });
  TNode& m = g.Mux("m", MuxBody());
  g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_MSTREAM(m.Idx, g.MuxStream(m)));

  ASSERT_EQ(sch_start(g.Sch), 0);
  ASSERT_TRUE(WaitUntil([&] { return d.Count.load() >= 10; }));
  EXPECT_EQ(sch_stop(g.Sch), 0);
  EXPECT_EQ(last.load(), AVERROR_EXIT);
  EXPECT_EQ(sch_stop(g.Sch), 0);  // stopped already
  EXPECT_EQ(g.Sch->state, SCH_STATE_STOPPED);
}

TEST_F(SchedulerTest, TaskResultsReachWaitAndStop) {
  enum TKind { kDemux, kDec, kFilter, kEnc, kMux };
  struct TCase {
    const char* Name;
    TKind Kind;
    int Result;  // of that node's body, which returns at once
  };
  const TCase cases[] = {
      {"demuxer ends with EOF", kDemux, AVERROR_EOF}, {"demuxer fails", kDemux, AVERROR(EINVAL)},
      {"decoder ends with EOF", kDec, AVERROR_EOF},   {"decoder fails", kDec, AVERROR(EINVAL)},
      {"filter ends with EOF", kFilter, AVERROR_EOF}, {"filter fails", kFilter, AVERROR(EINVAL)},
      {"encoder ends with EOF", kEnc, AVERROR_EOF},   {"encoder fails", kEnc, AVERROR(EINVAL)},
      {"muxer ends with EOF", kMux, AVERROR_EOF},     {"muxer fails", kMux, AVERROR(EINVAL)},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TLogCapture log;
    TGraph g;
    auto pick = [&](TKind AKind, TBody ABody) { return c.Kind == AKind ? Returns(c.Result) : ABody; };
    TNode& d = g.Demux("d", pick(kDemux, DemuxSteady(1, 1000, 30)));
    TNode& dec = g.Dec("dec", pick(kDec, DecoderBody()));
    TNode& f = g.Filter("f", 1, 1, pick(kFilter, FilterBody()));
    TNode& e = g.Enc("e", pick(kEnc, EncoderBody()));
    TNode& m = g.Mux("m", pick(kMux, MuxBody()));
    g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_DEC_IN(dec.Idx));
    g.Connect(SCH_DEC_OUT(dec.Idx, 0), SCH_FILTER_IN(f.Idx, 0));
    g.Connect(SCH_FILTER_OUT(f.Idx, 0), SCH_ENC(e.Idx));
    g.Connect(SCH_ENC(e.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
    TNode* nodes[] = {&d, &dec, &f, &e, &m};
    TNode& chosen = *nodes[c.Kind];

    ASSERT_EQ(sch_start(g.Sch), 0);
    ASSERT_EQ(g.WaitEnd(), 1);
    const bool failed = c.Result != AVERROR_EOF;
    EXPECT_EQ(sch_stop(g.Sch), failed ? c.Result : 0);
    EXPECT_EQ(g.Sch->task_failed, failed ? 1 : 0);  // every thread has ended now

    const auto lines = TLogCapture::Snapshot();
    auto logged = [&](int ALevel, const std::string& AText) {
      for (const auto& l : lines)
        if (l.Ctx == &chosen && l.Level == ALevel && l.Text == AText) return true;
      return false;
    };
    if (failed) {
      EXPECT_TRUE(logged(AV_LOG_ERROR, "Task finished with error code: -22 (Invalid argument)\n"))
          << TLogCapture::All();
      EXPECT_TRUE(logged(AV_LOG_ERROR, "Terminating thread with return code -22 (Invalid argument)\n"));
    } else {
      EXPECT_TRUE(logged(AV_LOG_ERROR, "Task finished with error code: -541478725 (End of file)\n"));
      EXPECT_TRUE(logged(AV_LOG_VERBOSE, "Terminating thread with return code 0 (success)\n"))
          << TLogCapture::All();
    }
  }
}

TEST_F(SchedulerTest, AnExceptionInANodeBodyFailsTheTaskInsteadOfTheProcess) {
  TLogCapture log;
  TGraph g;
  TNode& d = g.Demux("d", DemuxSteady(1, 1000, 30));
  TNode& m = g.Mux("m", [](TNode&) -> int { throw CmdUtils::FFmpegException("Never occur."); });
  g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_MSTREAM(m.Idx, g.MuxStream(m)));

  ASSERT_EQ(sch_start(g.Sch), 0);
  ASSERT_EQ(g.WaitEnd(), 1);
  EXPECT_EQ(sch_stop(g.Sch), AVERROR_BUG);
  EXPECT_EQ(g.Sch->task_failed, 1);
  bool logged = false;
  for (const auto& l : TLogCapture::Snapshot())
    if (l.Ctx == &m && l.Level == AV_LOG_ERROR && l.Text == "Never occur.\n") logged = true;
  EXPECT_TRUE(logged) << TLogCapture::All();
}

// ---- Decoder traffic --------------------------------------------------------------------------

TEST_F(SchedulerTest, AFlushRequestReceivesTheLatestEndTimestampOfTheDecoders) {
  TGraph g;
  // end timestamps that each decoder reports after the first and the second flush
  const FFmpegHeader::TTimestamp ends[2][2] = {
      {{500, CMilli}, {700, CMilli}},
      {{48000, C90k}, {AV_NOPTS_VALUE, C90k}},  // 533 ms; then none
  };
  std::vector<FFmpegHeader::TTimestamp> flushed;
  TNode& d = g.Demux("d", [&](TNode& n) {
    for (int round = 0; round < 2; round++) {
      for (int s = 0; s < 2; s++) {
        AVPacket* pkt = NewPacket(s, round * 10, CMilli, 10);
        EXPECT_EQ(sch_demux_send(n.Sch, n.Idx, pkt, 0), 0);
        av_packet_free(&pkt);
      }
      AVPacket* flush = av_packet_alloc();
      flush->stream_index = -1;
      EXPECT_EQ(sch_demux_send(n.Sch, n.Idx, flush, 0), 0);
      flushed.push_back(FFmpegHeader::TTimestamp{flush->pts, flush->time_base});
      av_packet_free(&flush);
    }
    return 0;
  });
  auto decoder = [&ends](TNode& n) {
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int flushes = 0;
    for (;;) {
      // after a flush the next call hands over the end timestamp
      if (flushes) {
        pkt->pts = ends[n.Idx][flushes - 1].ts;
        pkt->time_base = ends[n.Idx][flushes - 1].tb;
      }
      if (sch_dec_receive(n.Sch, n.Idx, pkt) < 0) break;
      if (!pkt->data) {
        flushes++;
        av_packet_unref(pkt);
        continue;
      }
      FillFrame(frame, pkt->dts, pkt->time_base, pkt->duration);
      av_packet_unref(pkt);
      if (sch_dec_send(n.Sch, n.Idx, 0, frame) < 0) av_frame_unref(frame);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    return 0;
  };
  TNode& m = g.Mux("m", MuxBody());
  for (int s = 0; s < 2; s++) {
    TNode& dec = g.Dec("dec" + std::to_string(s), decoder, 1);
    TNode& e = g.Enc("e" + std::to_string(s), EncoderBody());
    g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_DEC_IN(dec.Idx));
    g.Connect(SCH_DEC_OUT(dec.Idx, 0), SCH_ENC(e.Idx));
    g.Connect(SCH_ENC(e.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
  }

  ASSERT_EQ(sch_start(g.Sch), 0);
  ASSERT_EQ(g.WaitEnd(), 1);
  EXPECT_EQ(sch_stop(g.Sch), 0);
  ASSERT_EQ(flushed.size(), 2u);
  EXPECT_EQ(flushed[0].ts, 48000);
  EXPECT_EQ(av_cmp_q(flushed[0].tb, C90k), 0);
  EXPECT_EQ(flushed[1].ts, 700);
  EXPECT_EQ(av_cmp_q(flushed[1].tb, CMilli), 0);
  EXPECT_EQ(m.Count.load(), 4);
}

TEST_F(SchedulerTest, SubtitleHeartbeatReachesEveryListedDecoder) {
  TGraph g;
  TGate beat_sent;
  TNode& d = g.Demux("d", [&](TNode& n) {
    AVPacket* pkt = NewPacket(0, 0, CMilli, 10);
    int ret = sch_demux_send(n.Sch, n.Idx, pkt, 0);
    av_packet_free(&pkt);
    beat_sent.Wait();
    for (int s = 1; s < 3 && ret >= 0; s++) {
      pkt = NewPacket(s, 0, CMilli, 10);
      ret = sch_demux_send(n.Sch, n.Idx, pkt, 0);
      av_packet_free(&pkt);
    }
    return BodyResult(ret);
  });
  // on the first packet of the copied stream the muxer sends a heartbeat
  TNode& m = g.Mux("m", [&](TNode& n) {
    AVPacket* pkt = av_packet_alloc();
    for (;;) {
      const int ret = sch_mux_receive(n.Sch, n.Idx, pkt);
      if (pkt->stream_index < 0) break;
      if (ret == 0 && pkt->stream_index == 0) {
        AVPacket* beat = av_packet_alloc();
        beat->pts = 123;
        beat->time_base = CMilli;
        beat->opaque = reinterpret_cast<void*>(2);
        EXPECT_EQ(sch_mux_sub_heartbeat(n.Sch, n.Idx, 0, beat), 0);
        av_packet_free(&beat);
        beat_sent.Open();
      }
      if (ret == 0) n.Count++;
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    return 0;
  });
  g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
  TNode* decs[2];
  for (int i = 0; i < 2; i++) {
    decs[i] = &g.Dec("dec" + std::to_string(i), DecoderBody());
    TNode& e = g.Enc("e" + std::to_string(i), EncoderBody());
    g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_DEC_IN(decs[i]->Idx));
    g.Connect(SCH_DEC_OUT(decs[i]->Idx, 0), SCH_ENC(e.Idx));
    g.Connect(SCH_ENC(e.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
    EXPECT_EQ(sch_mux_sub_heartbeat_add(g.Sch, m.Idx, 0, decs[i]->Idx), 0);
  }

  ASSERT_EQ(sch_start(g.Sch), 0);
  ASSERT_EQ(g.WaitEnd(), 1);
  EXPECT_EQ(sch_stop(g.Sch), 0);
  EXPECT_EQ(m.Count.load(), 3);
  for (TNode* dec : decs) {
    const auto beats = dec->Snapshot();
    ASSERT_EQ(beats.size(), 1u) << dec->Name;
    EXPECT_EQ(beats[0].Dts, 123) << dec->Name;
    EXPECT_EQ(av_cmp_q(beats[0].Tb, CMilli), 0) << dec->Name;
  }
}

// ---- Encoders with a sync queue ---------------------------------------------------------------

struct TOpenCalls {
  std::atomic<int> Calls{0};
  std::thread::id Thread;
  std::atomic<int> HadData{-1};
};
TOpenCalls* GOpen = nullptr;

int OpenEncoder(void*, const AVFrame* AFrame) {
  GOpen->Calls++;
  GOpen->Thread = std::this_thread::get_id();
  GOpen->HadData = AFrame->buf[0] ? 1 : 0;
  return 0;
}

TEST_F(SchedulerTest, EncodersOfASyncQueueGetTheirFramesAndOpenOnTheFirst) {
  TOpenCalls open;
  GOpen = &open;
  {
    TGraph g;
    std::thread::id dec0_thread;
    TNode& d = g.Demux("d", DemuxSteady(2, 10000, 10));
    TBody params_first = DecoderBody(true);
    TNode& dec0 = g.Dec("dec0", [&](TNode& n) {
      dec0_thread = std::this_thread::get_id();
      return params_first(n);
    });
    TNode& dec1 = g.Dec("dec1", DecoderBody());
    TNode& e0 = g.Enc("e0", EncoderBody(), OpenEncoder);
    TNode& e1 = g.Enc("e1", EncoderBody());
    TNode& m = g.Mux("m", MuxBody());
    g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_DEC_IN(dec0.Idx));
    g.Connect(SCH_DSTREAM(d.Idx, g.DemuxStream(d)), SCH_DEC_IN(dec1.Idx));
    g.Connect(SCH_DEC_OUT(dec0.Idx, 0), SCH_ENC(e0.Idx));
    g.Connect(SCH_DEC_OUT(dec1.Idx, 0), SCH_ENC(e1.Idx));
    g.Connect(SCH_ENC(e0.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
    g.Connect(SCH_ENC(e1.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
    const int sq = sch_add_sq_enc(g.Sch, 10000000, nullptr);
    ASSERT_EQ(sq, 0);
    EXPECT_EQ(sch_sq_add_enc(g.Sch, 0, e0.Idx, 0, INT64_MAX), 0);
    EXPECT_EQ(sch_sq_add_enc(g.Sch, 0, e1.Idx, 0, 3), 0);  // three frames at most
    EXPECT_EQ(g.Sch->enc[e1.Idx].sq_idx[0], 0);
    EXPECT_EQ(g.Sch->enc[e1.Idx].sq_idx[1], 1);

    ASSERT_EQ(sch_start(g.Sch), 0);
    ASSERT_EQ(g.WaitEnd(), 1);
    EXPECT_EQ(sch_stop(g.Sch), 0);
    EXPECT_EQ(open.Calls.load(), 1);
    EXPECT_EQ(open.HadData.load(), 0);  // the parameters-only frame opened it
    EXPECT_EQ(open.Thread, dec0_thread);
    EXPECT_EQ(e0.Count.load(), 10);  // without the parameters-only frame
    EXPECT_EQ(e1.Count.load(), 3);
    EXPECT_EQ(m.Count.load(), 13);
  }
  GOpen = nullptr;
}

// A frame that cannot be queued for an encoder (out of memory here) closes that input,
// but the end marker that follows still finishes the encoder's queue: the encoder, and
// after it the muxer, end instead of waiting for good.
TEST_F(SchedulerTest, AFailedFrameSendStillLetsTheEndReachTheEncoder) {
  TGraph g;
  std::atomic<int> sendResult{1};
  TNode& f = g.Filter("f", 0, 1, [&](TNode& n) {
    AVFrame* frame = av_frame_alloc();
    Cardinal in = 0;
    int ret = sch_filter_receive(n.Sch, n.Idx, in, frame);
    if (ret == AVERROR(EAGAIN)) {
      FillFrame(frame, 0, CMicro, 1000);
      // The queue's first item needs a container: with allocations refused the send fails.
      AVUtilStubs::av_max_alloc(1);
      ret = sch_filter_send(n.Sch, n.Idx, 0, frame);
      AVUtilStubs::av_max_alloc(INT_MAX);
      sendResult = ret;
      av_frame_unref(frame);
    }
    av_frame_free(&frame);
    return 0;  // the graph ends normally: its output gets the end marker
  });
  TNode& e = g.Enc("e", EncoderBody());
  TNode& m = g.Mux("m", MuxBody());
  g.Connect(SCH_FILTER_OUT(f.Idx, 0), SCH_ENC(e.Idx));
  g.Connect(SCH_ENC(e.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));

  ASSERT_EQ(sch_start(g.Sch), 0);
  ASSERT_EQ(g.WaitEnd(), 1);
  EXPECT_EQ(sendResult.load(), AVERROR(ENOMEM));
  EXPECT_TRUE(WaitUntil([&] { return e.Done.load() && m.Done.load(); }));
  EXPECT_EQ(sch_stop(g.Sch), 0);
  EXPECT_EQ(e.Count.load(), 0);
}

// ---- Release ----------------------------------------------------------------------------------

int Idle(void*) { return 0; }

// Registers a graph with every kind of node; the first failure is returned.
int RegisterEverything(TScheduler* sch) {
  int ret;
#define STEP(call)             \
  if ((ret = (call)) < 0) return ret
  STEP(sch_sdp_filename(sch, "x.sdp"));
  STEP(sch_add_demux(sch, Idle, nullptr));
  STEP(sch_add_demux_stream(sch, 0));
  STEP(sch_add_demux_stream(sch, 0));
  STEP(sch_add_dec(sch, Idle, nullptr, 1));
  STEP(sch_add_dec_output(sch, 0));
  STEP(sch_add_filtergraph(sch, 2, 2, Idle, nullptr));
  STEP(sch_add_enc(sch, Idle, nullptr, nullptr));
  STEP(sch_add_enc(sch, Idle, nullptr, nullptr));
  STEP(sch_add_sq_enc(sch, 1000000, nullptr));
  STEP(sch_sq_add_enc(sch, 0, 0, 1, INT64_MAX));
  STEP(sch_sq_add_enc(sch, 0, 1, 1, 10));
  STEP(sch_add_mux(sch, Idle, nullptr, nullptr, 0, 16));
  STEP(sch_add_mux_stream(sch, 0));
  STEP(sch_add_mux_stream(sch, 0));
  STEP(sch_add_mux_stream(sch, 0));
  STEP(sch_mux_sub_heartbeat_add(sch, 0, 0, 0));
  STEP(sch_connect(sch, SCH_DSTREAM(0, 0), SCH_DEC_IN(0)));
  STEP(sch_connect(sch, SCH_DSTREAM(0, 1), SCH_MSTREAM(0, 0)));
  STEP(sch_connect(sch, SCH_DEC_OUT(0, 0), SCH_FILTER_IN(0, 0)));
  STEP(sch_connect(sch, SCH_DEC_OUT(0, 1), SCH_FILTER_IN(0, 1)));
  STEP(sch_connect(sch, SCH_FILTER_OUT(0, 0), SCH_ENC(0)));
  STEP(sch_connect(sch, SCH_FILTER_OUT(0, 1), SCH_ENC(1)));
  STEP(sch_connect(sch, SCH_ENC(0), SCH_MSTREAM(0, 1)));
  STEP(sch_connect(sch, SCH_ENC(1), SCH_MSTREAM(0, 2)));
#undef STEP
  return 0;
}

TEST_F(SchedulerTest, FreeToleratesARegistrationThatFailedHalfWay) {
  // every allocation size limit fails the registration at another point
  int failed = 0, completed = 0;
  for (std::size_t limit = 0; limit <= 8192; limit += 8) {
    SCOPED_TRACE(limit);
    AVUtilStubs::av_max_alloc(limit);
    TScheduler* sch = sch_alloc(nullptr);
    const int ret = sch ? RegisterEverything(sch) : AVERROR(ENOMEM);
    AVUtilStubs::av_max_alloc(INT_MAX);
    if (ret < 0) {
      EXPECT_EQ(ret, AVERROR(ENOMEM));
      failed++;
    } else {
      completed++;
    }
    sch_free(sch);
    EXPECT_EQ(sch, nullptr);
  }
  EXPECT_GT(failed, 10);
  EXPECT_GT(completed, 0);
  TScheduler* none = nullptr;
  sch_free(none);
}

TEST_F(SchedulerTest, FreeAfterAFailedStartCheck) {
  // the arrays allocated by the checks that passed are released too
  TScheduler* sch = sch_alloc(nullptr);
  ASSERT_EQ(RegisterEverything(sch), 0);
  EXPECT_EQ(sch_add_demux_stream(sch, 0), 2);  // not connected
  EXPECT_EQ(sch_start(sch), AVERROR(EINVAL));
  sch_free(sch);
}

// ---- Stress -----------------------------------------------------------------------------------

TEST_F(SchedulerTest, RepeatedStartAndStop) {
  // Two demuxers (one decoded into a two-input graph, one copied), a filter graph
  // without inputs, three encoders and a muxer; stopped at random points, sometimes
  // paused, sometimes run to the end.
  std::mt19937 rng(20240611);
  for (int iter = 0; iter < 200; iter++) {
    SCOPED_TRACE(iter);
    const bool to_end = iter % 3 == 0;
    const int limit = to_end ? 1 + static_cast<int>(rng() % 30) : INT_MAX;
    const int muxed = static_cast<int>(rng() % 40);
    auto graph = std::make_unique<TGraph>();
    TGraph& g = *graph;
    TNode& d0 = g.Demux("d0", DemuxSteady(2, 20000, limit));
    TNode& d1 = g.Demux("d1", DemuxSteady(1, 15000, limit));
    TNode& dec0 = g.Dec("dec0", DecoderBody());
    TNode& dec1 = g.Dec("dec1", DecoderBody());
    TNode& f = g.Filter("f", 2, 2, FilterBody());
    TNode& src = g.Filter("src", 0, 1, SourceFilterBody(25000, limit));
    TNode& e0 = g.Enc("e0", EncoderBody());
    TNode& e1 = g.Enc("e1", EncoderBody());
    TNode& e2 = g.Enc("e2", EncoderBody());
    TNode& m = g.Mux("m", MuxBody());
    g.Connect(SCH_DSTREAM(d0.Idx, g.DemuxStream(d0)), SCH_DEC_IN(dec0.Idx));
    g.Connect(SCH_DSTREAM(d0.Idx, g.DemuxStream(d0)), SCH_DEC_IN(dec1.Idx));
    g.Connect(SCH_DEC_OUT(dec0.Idx, 0), SCH_FILTER_IN(f.Idx, 0));
    g.Connect(SCH_DEC_OUT(dec1.Idx, 0), SCH_FILTER_IN(f.Idx, 1));
    g.Connect(SCH_FILTER_OUT(f.Idx, 0), SCH_ENC(e0.Idx));
    g.Connect(SCH_FILTER_OUT(f.Idx, 1), SCH_ENC(e1.Idx));
    g.Connect(SCH_FILTER_OUT(src.Idx, 0), SCH_ENC(e2.Idx));
    g.Connect(SCH_ENC(e0.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
    g.Connect(SCH_ENC(e1.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
    g.Connect(SCH_ENC(e2.Idx), SCH_MSTREAM(m.Idx, g.MuxStream(m)));
    g.Connect(SCH_DSTREAM(d1.Idx, g.DemuxStream(d1)), SCH_MSTREAM(m.Idx, g.MuxStream(m)));

    ASSERT_EQ(sch_start(g.Sch), 0);
    if (to_end) {
      ASSERT_EQ(g.WaitEnd(), 1);
      EXPECT_EQ(m.Count.load(), 2 * 2 * limit + 2 * limit);  // the graph doubles d0's packets
    } else {
      ASSERT_TRUE(WaitUntil([&] { return m.Count.load() >= muxed; }));
      if (iter % 4 == 1) sch_set_paused(g.Sch, 1);
      if (iter % 8 == 1) sch_set_paused(g.Sch, 0);
    }
    auto stop = std::async(std::launch::async, [&] {
      const int ret = sch_stop(g.Sch);
      graph.reset();
      return ret;
    });
    ASSERT_EQ(stop.wait_for(CHangGuard), std::future_status::ready);
    EXPECT_EQ(stop.get(), 0);
  }
}

}  // namespace
