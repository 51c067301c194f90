// Media utility routines: durations, frame intervals, captions, codec names, picture
// shims, the custom format registry and its class, and audio mixing.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFUtils.h"

namespace {

using namespace FFUtils;
using AVFormatStubs::avformat_alloc_context;
using AVFormatStubs::avformat_free_context;
using AVUtilStubs::av_dict_free;
using AVUtilStubs::av_dict_get;
using AVUtilStubs::av_dict_set;
using AVUtilStubs::av_opt_find;

TEST(FFUtils, DurationToStrRoundsToTheMillisecond) {
  struct {
    std::int64_t Duration;
    const char* Text;
  } const cases[] = {
      {0, "00:00:00.000"},
      {3600000000LL, "01:00:00.000"},
      {1499, "00:00:00.001"},
      {1500, "00:00:00.002"},
      {999999, "00:00:01.000"},
      {90061005000LL, "25:01:01.005"},
      {59999499, "00:00:59.999"},
      {AV_NOPTS_VALUE, "N/A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Duration);
    EXPECT_EQ(DurationToStr(c.Duration), c.Text);
  }
  // the largest value is not pushed past the 64-bit range
  EXPECT_FALSE(DurationToStr(INT64_MAX).empty());
}

TEST(FFUtils, DurationToStrWithTimeBase) {
  TestLibraries::RequireFFmpegLibraries();
  EXPECT_EQ(DurationToStr(1234, AVRational{1, 1000}), "00:00:01.234");
  EXPECT_EQ(DurationToStr(90000 * 61, AVRational{1, 90000}), "00:01:01.000");
  EXPECT_EQ(DurationToStr(1500, AVRational{1, 1000000}), "00:00:00.002");
  EXPECT_EQ(DurationToStr(AV_NOPTS_VALUE, AVRational{1, 1000}), "N/A");
}

TEST(FFUtils, FrameInterval) {
  EXPECT_EQ(GetFrameInterval(AVRational{30000, 1001}), 33366);
  EXPECT_EQ(GetFrameInterval(AVRational{60, 1}), 16666);
  EXPECT_EQ(GetFrameInterval(AVRational{0, 1}), 40000);
  EXPECT_EQ(GetFrameInterval(AVRational{25, 0}), 40000);
}

TEST(FFUtils, Captions) {
  EXPECT_EQ(AVMediaTypeCaption(AVMEDIA_TYPE_VIDEO), "Video");
  EXPECT_EQ(AVMediaTypeCaption(AVMEDIA_TYPE_ATTACHMENT), "Attachment");
  EXPECT_EQ(AVMediaTypeCaption(AVMEDIA_TYPE_UNKNOWN), "Unknown");
  EXPECT_EQ(AVPictureTypeCaption(AV_PICTURE_TYPE_B), "Bi-dir predicted");
  EXPECT_EQ(AVPictureTypeCaption(AV_PICTURE_TYPE_BI), "BI type");
  EXPECT_EQ(AVPictureTypeCaption(AV_PICTURE_TYPE_NONE), "Unknown");
}

TEST(FFUtils, TextsForLogArgumentsStayApart) {
  const char* a = Int64ToStr(-42);
  const char* b = Int64ToStr(INT64_MAX);
  const char* c = FormatStr("%s-%d", "x", 5);
  EXPECT_STREQ(a, "-42");
  EXPECT_STREQ(b, "9223372036854775807");
  EXPECT_STREQ(c, "x-5");
  EXPECT_EQ(AV_RL32("\x01\x02\x03\x04"), 0x04030201u);
  EXPECT_EQ(AV_RL64("\x01\x02\x03\x04\x05\x06\x07\x80"), 0x8007060504030201ull);
  EXPECT_EQ((FFUtils::AVERROR)(5), -5);
  EXPECT_EQ((FFUtils::AVERROR)(-5), -5);
  EXPECT_EQ((CmdUtils::MKTAG)('R', 'I', 'F', 'F'), 0x46464952u);
}

TEST(FFUtils, MetaValueAndCodecNames) {
  TLogCapture log;
  AVDictionary* d = nullptr;
  av_dict_set(&d, "title", "Caf\xC3\xA9", 0);
  EXPECT_EQ(GetMetaValue(d, "title", true, "none"), "Caf\xC3\xA9");
  EXPECT_EQ(GetMetaValue(d, "artist", true, "none"), "none");
  av_dict_set(&d, "comment", "a\xFF" "b", 0);
  EXPECT_EQ(GetMetaValue(d, "comment", true, ""), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(GetMetaValue(d, "comment", false, ""), "a\xFF" "b");
  av_dict_free(&d);

  AVCodecParameters par{};
  par.codec_id = AV_CODEC_ID_NONE;
  EXPECT_EQ(GetCodecName(&par, false, true), "none");
  par.codec_id = AV_CODEC_ID_H264;
  EXPECT_EQ(GetCodecName(&par, false, false), "h264");
  EXPECT_EQ(GetCodecName(&par, false, true), "h264(H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10)");
  par.codec_id = static_cast<AVCodecID>(0x7fff);
  EXPECT_EQ(GetCodecName(&par, true, true), "unknown_codec");
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_WARNING, "Codec 0x7fff is not in the full list.\n"));
}

TEST(FFUtils, PictureShims) {
  TestLibraries::RequireFFmpegLibraries();
  EXPECT_EQ(avpicture_get_size(AV_PIX_FMT_YUV420P, 4, 4), 24);
  std::vector<std::uint8_t> src(24), dst(24, 0);
  for (size_t i = 0; i < src.size(); i++) src[i] = static_cast<std::uint8_t>(i + 1);
  TAVPicture ps{}, pd{};
  EXPECT_EQ(avpicture_fill(&ps, src.data(), AV_PIX_FMT_YUV420P, 4, 4), 24);
  EXPECT_EQ(avpicture_fill(&pd, dst.data(), AV_PIX_FMT_YUV420P, 4, 4), 24);
  EXPECT_EQ(ps.linesize[0], 4);
  EXPECT_EQ(ps.linesize[1], 2);
  EXPECT_EQ(ps.data[1], src.data() + 16);
  av_picture_copy(&pd, &ps, AV_PIX_FMT_YUV420P, 4, 4);
  EXPECT_EQ(src, dst);
}

// ---- custom formats ------------------------------------------------------------------------

struct TPrivate {
  const AVClass* cls;
  int myopt;
};
const AVOption CPrivateOptions[] = {
    {"custom_test_opt", "a test option", offsetof(TPrivate, myopt), AV_OPT_TYPE_INT, {.i64 = 0}, 0, 9,
     AV_OPT_FLAG_DECODING_PARAM, nullptr},
    {},
};
const AVClass CPrivateClass = [] {
  AVClass c{};
  c.class_name = "custom test format";
  c.option = CPrivateOptions;
  c.version = LIBAVUTIL_VERSION_INT;
  return c;
}();

TEST(FFUtils, CustomFormatRegistry) {
  static const char* const CName = "custom_test_in";
  static AVInputFormat in{};
  in.name = CName;
  in.priv_class = &CPrivateClass;
  static AVInputFormat copy{};
  copy.name = CName;  // the same name pointer: the same entry
  static AVOutputFormat out{};
  out.name = "custom_test_out";

  const int index = RegisterInputFormat(&in);
  EXPECT_EQ(RegisterInputFormat(&in), index);
  EXPECT_EQ(RegisterInputFormat(&copy), index);
  EXPECT_EQ(FindInputFormat("custom_test_in"), &in);
  EXPECT_EQ(FindInputFormat("Custom_test_in"), nullptr);  // names compare exactly
  EXPECT_EQ(FindInputFormat(nullptr), nullptr);
  const int out_index = RegisterOutputFormat(&out);
  EXPECT_EQ(RegisterOutputFormat(&out), out_index);
  EXPECT_EQ(FindOutputFormat("custom_test_out"), &out);
  EXPECT_EQ(FindOutputFormat("custom_test_in"), nullptr);

  // The class names the format of a context and reaches the private options.
  TestLibraries::RequireFFmpegLibraries();
  const AVClass* c = GetCustomFormatContextClass();
  EXPECT_STREQ(c->class_name, "CustomFormatContext");
  AVFormatContext* s = avformat_alloc_context();
  EXPECT_STREQ(c->item_name(s), "NULL");
  s->oformat = &out;
  EXPECT_STREQ(c->item_name(s), "custom_test_out");
  EXPECT_EQ(c->get_category(s), AV_CLASS_CATEGORY_MUXER);
  s->oformat = nullptr;
  s->iformat = &in;
  EXPECT_STREQ(c->item_name(s), "custom_test_in");
  EXPECT_EQ(c->get_category(s), AV_CLASS_CATEGORY_DEMUXER);
  s->iformat = nullptr;
  avformat_free_context(s);

  const AVOption* o = av_opt_find(&c, "use_wallclock_as_timestamps", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->offset, int(offsetof(AVFormatContext, use_wallclock_as_timestamps)));
  EXPECT_NE(av_opt_find(&c, "custom_test_opt", nullptr, 0,
                        AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ),
            nullptr);

  // So the option fall-back takes the private option of a registered format.
  TLogCapture log;
  CmdUtils::TDefaultOptions ctx{};
  ctx.av_class = CmdUtils::get_options_context_class();
  EXPECT_EQ(CmdUtils::opt_default(&ctx, "custom_test_opt", "3"), 0);
  EXPECT_NE(av_dict_get(ctx.def_opts.format_opts, "custom_test_opt", nullptr, 0), nullptr);
  CmdUtils::uninit_opts(&ctx);
}

// ---- mixing --------------------------------------------------------------------------------

TEST(FFUtils, MixS16) {
  struct {
    std::int16_t Src, Dst;
    int Volume;
    std::int16_t Result;
  } const cases[] = {
      {30000, 10000, 128, 32767}, {30000, 10000, 64, 25000}, {-30000, -10000, 128, -32768},
      {1000, 5, 0, 5},            {30000, 10000, 200, 32767}, {-3, 0, 64, -1},
      {1000, 5, -7, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Volume);
    std::int16_t src[2] = {c.Src, c.Src}, dst[2] = {c.Dst, c.Dst};
    MixAudioS16(reinterpret_cast<std::uint8_t*>(src), reinterpret_cast<std::uint8_t*>(dst), 3, c.Volume);
    EXPECT_EQ(dst[0], c.Result);
    EXPECT_EQ(dst[1], c.Dst);  // 3 bytes: one whole sample
  }
}

TEST(FFUtils, MixS32) {
  struct {
    std::int32_t Src, Dst;
    int Volume;
    std::int32_t Result;
  } const cases[] = {
      {INT32_MAX, 1, 128, INT32_MAX}, {INT32_MIN, -1, 128, INT32_MIN}, {1000, 0, 64, 500},
      {-3, 0, 64, -1},                {7, 7, 0, 7},
  };
  for (const auto& c : cases) {
    std::int32_t src = c.Src, dst = c.Dst;
    MixAudioS32(reinterpret_cast<std::uint8_t*>(&src), reinterpret_cast<std::uint8_t*>(&dst), 4, c.Volume);
    EXPECT_EQ(dst, c.Result);
  }
}

TEST(FFUtils, MixU8StaysWithinTheTable) {
  struct {
    std::uint8_t Src, Dst;
    int Volume;
    std::uint8_t Result;
  } const cases[] = {
      {255, 255, 128, 254}, {128, 128, 128, 128}, {0, 0, 128, 0},   {255, 255, 64, 254},
      {0, 128, 64, 64},     {200, 100, 0, 100},   {255, 255, 255, 254},  // above 128: as 128
      {255, 200, 1000, 254}, {0, 0, 1000, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Volume);
    std::uint8_t src = c.Src, dst = c.Dst;
    MixAudioU8(&src, &dst, 1, c.Volume);
    EXPECT_EQ(dst, c.Result);
  }
}

}  // namespace
