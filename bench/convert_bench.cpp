// Whole conversions through the engine beside a direct pipeline written on the same
// libraries in one thread (demux -> decode -> scale/resample -> encode -> mux):
//   (a) a generated 10 s 1080p clip (MPEG-4 video, AAC audio) through the demo's options
//       "-c:a aac -b:a 128k -ar 44100 -c:v mpeg4 -s 320x240 -b:v 320k";
//   (b) a stream-copy remux of a 60 s 1080p file (the 10 s clip looped), long enough that
//       it measures throughput, the engine's and the direct runs alternating; the fixed
//       cost of a task (a 1-frame remux) is printed apart;
//   (c) four conversions (a) as four tasks at once in one process, against one task run
//       in the same benchmark with the same options. The codecs' automatic threading lets
//       one task use several cores already, so (c) is also measured with "-threads 1" on
//       the codecs: that compares the engine's own parallelism. CPU time per task is shown.
// Wall and CPU time of each (mean, min, max over the runs), and the ratios, are printed
// after the runs. Both sides give their codecs the libraries' automatic thread count, as
// the engine does, so the comparison of (a) and (b) is about how the stages are driven.
// Targets: engine <= direct on (a); engine within 10% of direct on (b); four tasks at
// least 3x the throughput of one task on four or more cores.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/FFmpeg.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFLoad.h"
#include "runtime/SwResampleStubs.h"
#include "runtime/SwScaleStubs.h"

namespace {

using AVUtilStubs::av_channel_layout_copy;
using AVFormatStubs::av_find_best_stream;
using AVUtilStubs::av_frame_alloc;
using AVUtilStubs::av_frame_free;
using AVUtilStubs::av_frame_get_buffer;
using AVUtilStubs::av_frame_unref;
using AVFormatStubs::av_interleaved_write_frame;
using AVUtilStubs::av_log_set_level;
using AVCodecStubs::av_packet_alloc;
using AVCodecStubs::av_packet_free;
using AVCodecStubs::av_packet_rescale_ts;
using AVCodecStubs::av_packet_unref;
using AVFormatStubs::av_read_frame;
using AVUtilStubs::av_strerror;
using AVFormatStubs::av_write_trailer;
using AVCodecStubs::avcodec_alloc_context3;
using AVCodecStubs::avcodec_find_decoder;
using AVCodecStubs::avcodec_find_encoder_by_name;
using AVCodecStubs::avcodec_free_context;
using AVCodecStubs::avcodec_open2;
using AVCodecStubs::avcodec_parameters_copy;
using AVCodecStubs::avcodec_parameters_from_context;
using AVCodecStubs::avcodec_parameters_to_context;
using AVCodecStubs::avcodec_receive_frame;
using AVCodecStubs::avcodec_receive_packet;
using AVCodecStubs::avcodec_send_frame;
using AVCodecStubs::avcodec_send_packet;
using AVFormatStubs::avformat_alloc_output_context2;
using AVFormatStubs::avformat_close_input;
using AVFormatStubs::avformat_find_stream_info;
using AVFormatStubs::avformat_free_context;
using AVFormatStubs::avformat_new_stream;
using AVFormatStubs::avformat_open_input;
using AVFormatStubs::avformat_write_header;
using AVFormatStubs::avio_closep;
using AVFormatStubs::avio_open2;
using SwResampleStubs::swr_alloc_set_opts2;
using SwResampleStubs::swr_convert;
using SwResampleStubs::swr_free;
using SwResampleStubs::swr_init;
using SwScaleStubs::sws_freeContext;
using SwScaleStubs::sws_getContext;
using SwScaleStubs::sws_scale;

const char* const CDemoOptions = "-c:a aac -b:a 128k -ar 44100 -c:v mpeg4 -s 320x240 -b:v 320k";

std::string gDir;
std::string gInput;      // 10 s 1080p MPEG-4 + AAC in MP4
std::string gLongInput;  // the same looped to 60 s, by stream copy
std::string gTinyInput;  // one 1080p frame: what a task costs beyond its packets

bool LoadLibraries() {
  static const bool loaded = [] {
    FFLoad::FFLoader->SetLibraryPath(OSTREVAN_LIBAV_DIR);
    if (!FFLoad::FFLoader->Load(FFLoad::CEncoderLibraries)) {
      std::fprintf(stderr, "%s\n", FFLoad::FFLoader->GetLastErrMsg().c_str());
      return false;
    }
    av_log_set_level(AV_LOG_ERROR);
    return true;
  }();
  return loaded;
}

// Runs one command line as one task on this thread: empty, or the error text.
std::string RunTask(const std::string& ACommandLine) {
  FFmpeg::TCustomFFmpeg task;
  if (task.ParseOptions(ACommandLine) < 0) return "parse: " + task.LastErrMsg();
  task.Start(false);
  if (task.HasError()) return task.ErrorText();
  return "";
}

bool PrepareInput() {
  static const bool ready = [] {
    if (!LoadLibraries()) return false;
    std::string dir =
        (std::filesystem::temp_directory_path() / "ostrevan_convert_bench_XXXXXX").string();
    if (!mkdtemp(dir.data())) return false;
    gDir = dir;
    gInput = gDir + "/in1080.mp4";
    const std::string err = RunTask(
        "-y -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=10 -f lavfi -i "
        "sine=frequency=440:sample_rate=48000:duration=10 -c:v mpeg4 -q:v 3 -c:a aac -b:a 128k "
        "\"" + gInput + "\"");
    if (!err.empty()) {
      std::fprintf(stderr, "cannot generate the input: %s\n", err.c_str());
      return false;
    }
    gLongInput = gDir + "/in1080_60s.mp4";
    gTinyInput = gDir + "/in1080_1f.mp4";
    for (const std::string& cmd :
         {"-y -stream_loop 5 -i \"" + gInput + "\" -c copy \"" + gLongInput + "\"",
          "-y -i \"" + gInput + "\" -frames:v 1 -an -c copy \"" + gTinyInput + "\""}) {
      const std::string e = RunTask(cmd);
      if (!e.empty()) {
        std::fprintf(stderr, "cannot generate the input: %s\n", e.c_str());
        return false;
      }
    }
    return true;
  }();
  return ready;
}

// ---- The direct pipeline ------------------------------------------------------------------

struct TDirect {
  AVFormatContext* ic = nullptr;
  AVFormatContext* oc = nullptr;
  AVCodecContext* vdec = nullptr;
  AVCodecContext* adec = nullptr;
  AVCodecContext* venc = nullptr;
  AVCodecContext* aenc = nullptr;
  SwsContext* sws = nullptr;
  SwrContext* swr = nullptr;
  int vin = -1, ain = -1;
  AVStream* vst = nullptr;
  AVStream* ast = nullptr;
  AVFrame* frame = nullptr;
  AVFrame* scaled = nullptr;
  AVFrame* aframe = nullptr;
  AVPacket* pkt = nullptr;
  AVPacket* opkt = nullptr;
  std::vector<std::vector<float>> pending;  // resampled samples not yet encoded, per channel
  std::int64_t next_apts = 0;
  std::int64_t vcount = 0;

  ~TDirect() {
    avcodec_free_context(&vdec);
    avcodec_free_context(&adec);
    avcodec_free_context(&venc);
    avcodec_free_context(&aenc);
    if (sws) sws_freeContext(sws);
    swr_free(&swr);
    av_frame_free(&frame);
    av_frame_free(&scaled);
    av_frame_free(&aframe);
    av_packet_free(&pkt);
    av_packet_free(&opkt);
    avformat_close_input(&ic);
    if (oc) {
      if (oc->pb) avio_closep(&oc->pb);
      avformat_free_context(oc);
    }
  }
};

bool Check(int ret, const char* what) {
  if (ret < 0) {
    char buf[128];
    av_strerror(ret, buf, sizeof(buf));
    std::fprintf(stderr, "direct pipeline: %s: %s\n", what, buf);
    return false;
  }
  return true;
}

AVCodecContext* OpenDecoder(AVFormatContext* ic, int idx) {
  const AVCodec* codec = avcodec_find_decoder(ic->streams[idx]->codecpar->codec_id);
  AVCodecContext* c = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(c, ic->streams[idx]->codecpar);
  c->pkt_timebase = ic->streams[idx]->time_base;
  c->thread_count = 0;
  if (avcodec_open2(c, codec, nullptr) < 0) avcodec_free_context(&c);
  return c;
}

int Drain(TDirect& d, AVCodecContext* enc, AVStream* st) {
  while (true) {
    int ret = avcodec_receive_packet(enc, d.opkt);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return 0;
    if (ret < 0) return ret;
    av_packet_rescale_ts(d.opkt, enc->time_base, st->time_base);
    d.opkt->stream_index = st->index;
    ret = av_interleaved_write_frame(d.oc, d.opkt);
    if (ret < 0) return ret;
  }
}

int EncodeAudio(TDirect& d, bool flush) {
  const int fs = d.aenc->frame_size;
  while (!d.pending[0].empty() && (d.pending[0].size() >= static_cast<std::size_t>(fs) || flush)) {
    const int n = std::min<int>(fs, static_cast<int>(d.pending[0].size()));
    av_frame_unref(d.aframe);
    d.aframe->format = d.aenc->sample_fmt;
    d.aframe->sample_rate = d.aenc->sample_rate;
    d.aframe->nb_samples = n;
    av_channel_layout_copy(&d.aframe->ch_layout, &d.aenc->ch_layout);
    int ret = av_frame_get_buffer(d.aframe, 0);
    if (ret < 0) return ret;
    for (std::size_t c = 0; c < d.pending.size(); c++) {
      std::memcpy(d.aframe->data[c], d.pending[c].data(), n * sizeof(float));
      d.pending[c].erase(d.pending[c].begin(), d.pending[c].begin() + n);
    }
    d.aframe->pts = d.next_apts;
    d.next_apts += n;
    ret = avcodec_send_frame(d.aenc, d.aframe);
    if (ret < 0) return ret;
    ret = Drain(d, d.aenc, d.ast);
    if (ret < 0) return ret;
  }
  return 0;
}

int HandleDecoded(TDirect& d, bool video) {
  if (video) {
    av_frame_unref(d.scaled);
    d.scaled->format = AV_PIX_FMT_YUV420P;
    d.scaled->width = 320;
    d.scaled->height = 240;
    int ret = av_frame_get_buffer(d.scaled, 0);
    if (ret < 0) return ret;
    sws_scale(d.sws, d.frame->data, d.frame->linesize, 0, d.frame->height, d.scaled->data,
              d.scaled->linesize);
    d.scaled->pts = d.vcount++;
    ret = avcodec_send_frame(d.venc, d.scaled);
    if (ret < 0) return ret;
    return Drain(d, d.venc, d.vst);
  }
  const int out_max = static_cast<int>(static_cast<std::int64_t>(d.frame->nb_samples) * 44100 /
                                       d.frame->sample_rate) + 256;
  std::vector<std::vector<float>> buf(d.pending.size(), std::vector<float>(out_max));
  std::vector<std::uint8_t*> planes;
  for (auto& p : buf) planes.push_back(reinterpret_cast<std::uint8_t*>(p.data()));
  const int n = swr_convert(d.swr, planes.data(), out_max,
                            const_cast<const std::uint8_t**>(d.frame->extended_data),
                            d.frame->nb_samples);
  if (n < 0) return n;
  for (std::size_t c = 0; c < buf.size(); c++)
    d.pending[c].insert(d.pending[c].end(), buf[c].begin(), buf[c].begin() + n);
  return EncodeAudio(d, false);
}

int Decode(TDirect& d, AVCodecContext* dec, AVPacket* p, bool video) {
  int ret = avcodec_send_packet(dec, p);
  if (ret < 0 && ret != AVERROR_EOF) return ret;
  while (true) {
    ret = avcodec_receive_frame(dec, d.frame);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return 0;
    if (ret < 0) return ret;
    ret = HandleDecoded(d, video);
    av_frame_unref(d.frame);
    if (ret < 0) return ret;
  }
}

// (a) done directly: the demo's options on the input.
bool DirectConvert(const std::string& AInput, const std::string& AOutput) {
  TDirect d;
  if (!Check(avformat_open_input(&d.ic, AInput.c_str(), nullptr, nullptr), "open input")) return false;
  if (!Check(avformat_find_stream_info(d.ic, nullptr), "stream info")) return false;
  d.vin = av_find_best_stream(d.ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  d.ain = av_find_best_stream(d.ic, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (d.vin < 0 || d.ain < 0) return false;
  d.vdec = OpenDecoder(d.ic, d.vin);
  d.adec = OpenDecoder(d.ic, d.ain);
  if (!d.vdec || !d.adec) return false;

  if (!Check(avformat_alloc_output_context2(&d.oc, nullptr, nullptr, AOutput.c_str()), "output"))
    return false;
  const AVCodec* vcodec = avcodec_find_encoder_by_name("mpeg4");
  const AVCodec* acodec = avcodec_find_encoder_by_name("aac");
  d.venc = avcodec_alloc_context3(vcodec);
  d.venc->width = 320;
  d.venc->height = 240;
  d.venc->pix_fmt = AV_PIX_FMT_YUV420P;
  d.venc->bit_rate = 320000;
  d.venc->time_base = av_inv_q(d.ic->streams[d.vin]->avg_frame_rate);
  d.venc->framerate = d.ic->streams[d.vin]->avg_frame_rate;
  d.venc->sample_aspect_ratio = AVRational{4, 3};  // 16:9 squeezed into 4:3
  d.venc->thread_count = 0;
  d.venc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  d.aenc = avcodec_alloc_context3(acodec);
  d.aenc->sample_rate = 44100;
  d.aenc->sample_fmt = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_copy(&d.aenc->ch_layout, &d.adec->ch_layout);
  d.aenc->bit_rate = 128000;
  d.aenc->time_base = AVRational{1, 44100};
  d.aenc->thread_count = 0;
  d.aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (!Check(avcodec_open2(d.venc, vcodec, nullptr), "video encoder")) return false;
  if (!Check(avcodec_open2(d.aenc, acodec, nullptr), "audio encoder")) return false;
  d.vst = avformat_new_stream(d.oc, nullptr);
  d.ast = avformat_new_stream(d.oc, nullptr);
  avcodec_parameters_from_context(d.vst->codecpar, d.venc);
  avcodec_parameters_from_context(d.ast->codecpar, d.aenc);
  d.vst->time_base = d.venc->time_base;
  d.ast->time_base = d.aenc->time_base;
  if (!Check(avio_open2(&d.oc->pb, AOutput.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), "open output"))
    return false;
  if (!Check(avformat_write_header(d.oc, nullptr), "header")) return false;

  d.sws = sws_getContext(d.vdec->width, d.vdec->height, d.vdec->pix_fmt, 320, 240,
                         AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!Check(swr_alloc_set_opts2(&d.swr, &d.aenc->ch_layout, AV_SAMPLE_FMT_FLTP, 44100,
                                 &d.adec->ch_layout, d.adec->sample_fmt, d.adec->sample_rate, 0,
                                 nullptr),
             "resampler") ||
      !Check(swr_init(d.swr), "resampler init"))
    return false;
  d.pending.resize(d.aenc->ch_layout.nb_channels);
  d.frame = av_frame_alloc();
  d.scaled = av_frame_alloc();
  d.aframe = av_frame_alloc();
  d.pkt = av_packet_alloc();
  d.opkt = av_packet_alloc();

  while (av_read_frame(d.ic, d.pkt) >= 0) {
    int ret = 0;
    if (d.pkt->stream_index == d.vin) ret = Decode(d, d.vdec, d.pkt, true);
    else if (d.pkt->stream_index == d.ain) ret = Decode(d, d.adec, d.pkt, false);
    av_packet_unref(d.pkt);
    if (!Check(ret, "convert")) return false;
  }
  if (!Check(Decode(d, d.vdec, nullptr, true), "flush video")) return false;
  if (!Check(Decode(d, d.adec, nullptr, false), "flush audio")) return false;
  if (!Check(EncodeAudio(d, true), "audio tail")) return false;
  avcodec_send_frame(d.venc, nullptr);
  avcodec_send_frame(d.aenc, nullptr);
  if (!Check(Drain(d, d.venc, d.vst), "drain video")) return false;
  if (!Check(Drain(d, d.aenc, d.ast), "drain audio")) return false;
  return Check(av_write_trailer(d.oc), "trailer");
}

// (b) done directly: every packet copied into a new MP4.
bool DirectRemux(const std::string& AInput, const std::string& AOutput) {
  TDirect d;
  if (!Check(avformat_open_input(&d.ic, AInput.c_str(), nullptr, nullptr), "open input")) return false;
  if (!Check(avformat_find_stream_info(d.ic, nullptr), "stream info")) return false;
  if (!Check(avformat_alloc_output_context2(&d.oc, nullptr, nullptr, AOutput.c_str()), "output"))
    return false;
  for (unsigned i = 0; i < d.ic->nb_streams; i++) {
    AVStream* st = avformat_new_stream(d.oc, nullptr);
    avcodec_parameters_copy(st->codecpar, d.ic->streams[i]->codecpar);
    st->codecpar->codec_tag = 0;
    st->time_base = d.ic->streams[i]->time_base;
  }
  if (!Check(avio_open2(&d.oc->pb, AOutput.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), "open output"))
    return false;
  if (!Check(avformat_write_header(d.oc, nullptr), "header")) return false;
  d.pkt = av_packet_alloc();
  while (av_read_frame(d.ic, d.pkt) >= 0) {
    AVStream* in = d.ic->streams[d.pkt->stream_index];
    AVStream* out = d.oc->streams[d.pkt->stream_index];
    av_packet_rescale_ts(d.pkt, in->time_base, out->time_base);
    d.pkt->pos = -1;
    if (!Check(av_interleaved_write_frame(d.oc, d.pkt), "write")) return false;
  }
  return Check(av_write_trailer(d.oc), "trailer");
}

// ---- Timing -------------------------------------------------------------------------------

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct TResult {
  double Wall = 0;
  double Cpu = 0;
  double WallMin = 1e300, WallMax = 0;
  int Runs = 0;
  std::vector<double> Walls;
};
std::map<std::string, TResult> gResults;

// Runs AWork once and adds its wall and CPU time to AName's result: false when it failed.
// AReport: its wall time counts as (part of) the iteration time the library reports.
template <class F>
bool TimeOnce(benchmark::State& state, const char* AName, F AWork, bool AReport = true) {
  const double cpu0 = CpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  const bool ok = AWork();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double cpu = CpuSeconds() - cpu0;
  if (!ok) {
    state.SkipWithError("conversion failed");
    return false;
  }
  TResult& r = gResults[AName];
  r.Wall += wall;
  r.Cpu += cpu;
  r.WallMin = std::min(r.WallMin, wall);
  r.WallMax = std::max(r.WallMax, wall);
  r.Runs++;
  r.Walls.push_back(wall);
  if (AReport) {
    state.SetIterationTime(wall);
    state.counters["cpu_s"] = cpu;
  }
  return true;
}

template <class F>
void Timed(benchmark::State& state, const char* AName, F AWork) {
  if (!PrepareInput()) {
    state.SkipWithError("no input");
    return;
  }
  for (auto _ : state)
    if (!TimeOnce(state, AName, AWork)) return;
}

std::string Convert(const std::string& AOutput, const char* AThreads = "") {
  const std::string err = RunTask("-y " + std::string(AThreads) + "-i \"" + gInput + "\" " +
                                  AThreads + CDemoOptions + " \"" + gDir + "/" + AOutput + "\"");
  if (!err.empty()) std::fprintf(stderr, "%s\n", err.c_str());
  return err;
}

bool Remux(const std::string& AInput, const std::string& AOutput) {
  const std::string err =
      RunTask("-y -i \"" + AInput + "\" -c copy \"" + gDir + "/" + AOutput + "\"");
  if (!err.empty()) std::fprintf(stderr, "%s\n", err.c_str());
  return err.empty();
}

// Four tasks at once, each on its own thread as a host program would start them.
bool FourTasks(const char* AThreads) {
  std::vector<std::thread> threads;
  std::vector<std::string> errors(4);
  for (int i = 0; i < 4; i++)
    threads.emplace_back(
        [i, &errors, AThreads] { errors[i] = Convert("c_" + std::to_string(i) + ".mp4", AThreads); });
  for (std::thread& t : threads) t.join();
  for (const std::string& e : errors)
    if (!e.empty()) return false;
  return true;
}

const char* const CThreads1 = "-threads 1 ";

void BM_A_Engine(benchmark::State& state) {
  Timed(state, "a_engine", [] { return Convert("a_engine.mp4").empty(); });
}
void BM_A_Direct(benchmark::State& state) {
  Timed(state, "a_direct", [] { return DirectConvert(gInput, gDir + "/a_direct.mp4"); });
}
// The engine and the direct remux alternate in one benchmark, taking turns at going
// first, so that both meet the same machine load and the same disk write-back (a 140 MB
// output per run): run as two blocks one after the other, the two means could differ by
// more than the target allows from a change of load alone. The iteration time reported
// to the library is the engine's.
void BM_B(benchmark::State& state) {
  if (!PrepareInput()) {
    state.SkipWithError("no input");
    return;
  }
  bool engine_first = true;
  for (auto _ : state) {
    for (const bool engine : {engine_first, !engine_first}) {
      // the last run's output goes before the clock starts: truncating 140 MB whose
      // write-back is under way can stall the run that overwrites it
      (void)std::remove((gDir + (engine ? "/b_engine.mp4" : "/b_direct.mp4")).c_str());
      const bool ok =
          engine ? TimeOnce(state, "b_engine", [] { return Remux(gLongInput, "b_engine.mp4"); })
                 : TimeOnce(
                       state, "b_direct",
                       [] { return DirectRemux(gLongInput, gDir + "/b_direct.mp4"); }, false);
      if (!ok) return;
    }
    engine_first = !engine_first;
  }
}
void BM_B_EngineStartup(benchmark::State& state) {
  Timed(state, "b_engine_1frame", [] { return Remux(gTinyInput, "b_engine_1f.mp4"); });
}
void BM_B_DirectStartup(benchmark::State& state) {
  Timed(state, "b_direct_1frame", [] { return DirectRemux(gTinyInput, gDir + "/b_direct_1f.mp4"); });
}
// One task and four tasks alternate in one benchmark, so both see the same machine load.
// The iteration time reported to the library is that of the four tasks.
void BM_C(benchmark::State& state, const char* AThreads, const char* AOne, const char* AFour) {
  if (!PrepareInput()) {
    state.SkipWithError("no input");
    return;
  }
  for (auto _ : state) {
    if (!TimeOnce(
            state, AOne, [AThreads] { return Convert("c_one.mp4", AThreads).empty(); }, false))
      return;
    if (!TimeOnce(state, AFour, [AThreads] { return FourTasks(AThreads); })) return;
  }
}
void BM_C_Auto(benchmark::State& state) { BM_C(state, "", "c_one", "c_four"); }
void BM_C_Threads1(benchmark::State& state) { BM_C(state, CThreads1, "c_one_t1", "c_four_t1"); }

BENCHMARK(BM_A_Engine)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_A_Direct)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_B)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(BM_B_EngineStartup)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_B_DirectStartup)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_C_Auto)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_C_Threads1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

double Mean(const char* AName, bool ACpu = false) {
  const TResult& r = gResults[AName];
  if (!r.Runs) return 0;
  return (ACpu ? r.Cpu : r.Wall) / r.Runs;
}

double Ratio(const char* ANum, const char* ADen) {
  return Mean(ADen) > 0 ? Mean(ANum) / Mean(ADen) : 0;
}

// A run that meets a disk write-back stall can take twice as long as the others; the
// median shows the comparison without such runs.
double Median(const char* AName) {
  std::vector<double> w = gResults[AName].Walls;
  if (w.empty()) return 0;
  std::sort(w.begin(), w.end());
  const std::size_t n = w.size();
  return n % 2 ? w[n / 2] : (w[n / 2 - 1] + w[n / 2]) / 2;
}

void PrintSummary() {
  std::printf("\n%-18s %5s %9s %9s %9s %9s\n", "run", "runs", "wall s", "min", "max", "cpu s");
  for (const char* n : {"a_engine", "a_direct", "b_engine", "b_direct", "b_engine_1frame",
                        "b_direct_1frame", "c_one", "c_four", "c_one_t1", "c_four_t1"}) {
    const TResult& r = gResults[n];
    if (r.Runs)
      std::printf("%-18s %5d %9.3f %9.3f %9.3f %9.3f\n", n, r.Runs, Mean(n), r.WallMin,
                  r.WallMax, Mean(n, true));
  }
  std::printf("(a) engine / direct wall: %.2f (target <= 1.00)\n", Ratio("a_engine", "a_direct"));
  std::printf("(b) engine / direct wall: %.2f (target <= 1.10); median wall: %.2f; cpu: %.2f; "
              "a task's fixed cost: %.1f ms (direct %.1f ms)\n",
              Ratio("b_engine", "b_direct"),
              Median("b_direct") > 0 ? Median("b_engine") / Median("b_direct") : 0,
              Mean("b_direct", true) > 0 ? Mean("b_engine", true) / Mean("b_direct", true) : 0,
              1e3 * Mean("b_engine_1frame"),
              1e3 * Mean("b_direct_1frame"));
  const unsigned cores = std::thread::hardware_concurrency();
  for (const auto& [one, four, what] :
       {std::tuple{"c_one", "c_four", "automatic codec threads"},
        std::tuple{"c_one_t1", "c_four_t1", "-threads 1"}})
    if (Mean(one) > 0 && Mean(four) > 0)
      std::printf("(c) %s: four tasks' throughput / one task's: %.2f (target >= 3 on >= 4 "
                  "cores; %u cores here); cpu s per task: one %.2f, four %.2f\n",
                  what, 4 * Mean(one) / Mean(four), cores, Mean(one, true),
                  Mean(four, true) / 4);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintSummary();
  if (!gDir.empty()) (void)std::system(("rm -rf '" + gDir + "'").c_str());
  return 0;
}
