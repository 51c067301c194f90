// The hardware device registry. There is no GPU here, so the two device-creation entry
// points of libavutil are replaced in the binding table by fakes that hand out counted
// buffers recording what they were asked for; everything else is the real libavutil.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "TestLibraries.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFmpegHW.h"

namespace {

using namespace FFmpegHW;

class TTestTask : public TBaseFFmpeg {
 public:
  int GetVideoHookBitsPixel() override { return 24; }
  void SetVideoHookBitsPixel(int) override {}
};

// What a fake device context was created from.
struct TFakeDevice {
  AVHWDeviceType Type;
  std::string Device;  // "(none)" when no device string was given
  std::string Options;  // "k=v,k=v"
  const TFakeDevice* Source;  // the device it was derived from
};

std::atomic<int> GCreated{0};
std::atomic<int> GFreed{0};
std::atomic<int> GFailWith{0};  // 0: creation succeeds

void FreeFake(void*, std::uint8_t* AData) {
  delete reinterpret_cast<TFakeDevice*>(AData);
  ++GFreed;
}

int MakeFake(AVBufferRef** ARef, TFakeDevice* AFake) {
  *ARef = AVUtilStubs::av_buffer_create(reinterpret_cast<std::uint8_t*>(AFake), sizeof(TFakeDevice),
                                        FreeFake, nullptr, 0);
  if (!*ARef) {
    delete AFake;
    return AVERROR(ENOMEM);
  }
  ++GCreated;
  return 0;
}

int FakeCreate(AVBufferRef** ARef, AVHWDeviceType AType, const char* ADevice, AVDictionary* AOpts,
               int AFlags) {
  *ARef = nullptr;
  if (GFailWith) return GFailWith;
  if (AFlags != 0) return AVERROR(EINVAL);
  auto* fake = new TFakeDevice{AType, ADevice ? ADevice : "(none)", "", nullptr};
  const AVDictionaryEntry* e = nullptr;
  while ((e = AVUtilStubs::av_dict_iterate(AOpts, e)))
    fake->Options += (fake->Options.empty() ? "" : ",") + std::string(e->key) + "=" + e->value;
  return MakeFake(ARef, fake);
}

int FakeCreateDerived(AVBufferRef** ARef, AVHWDeviceType AType, AVBufferRef* ASource, int AFlags) {
  *ARef = nullptr;
  if (GFailWith) return GFailWith;
  if (AFlags != 0 || !ASource) return AVERROR(EINVAL);
  auto* fake = new TFakeDevice{AType, "(derived)", "",
                               reinterpret_cast<const TFakeDevice*>(ASource->data)};
  return MakeFake(ARef, fake);
}

const TFakeDevice& Fake(PHWDevice ADev) {
  return *reinterpret_cast<const TFakeDevice*>(ADev->device_ref->data);
}

class HWRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestLibraries::RequireFFmpegLibraries();
    FRealCreate = AVUtilStubs::av_hwdevice_ctx_create;
    FRealCreateDerived = AVUtilStubs::av_hwdevice_ctx_create_derived;
    AVUtilStubs::av_hwdevice_ctx_create = &FakeCreate;
    AVUtilStubs::av_hwdevice_ctx_create_derived = &FakeCreateDerived;
    GCreated = 0;
    GFreed = 0;
    GFailWith = 0;
    TLogCapture::Clear();
  }
  void TearDown() override {
    hw_device_free_all(A.get());
    hw_device_free_all(B.get());
    hw_device_free_all(nullptr);
    // every device created was freed exactly once
    EXPECT_EQ(GFreed.load(), GCreated.load());
    AVUtilStubs::av_hwdevice_ctx_create = FRealCreate;
    AVUtilStubs::av_hwdevice_ctx_create_derived = FRealCreateDerived;
  }

  TLogCapture FLog;
  std::unique_ptr<TTestTask> A = std::make_unique<TTestTask>();
  std::unique_ptr<TTestTask> B = std::make_unique<TTestTask>();

 private:
  decltype(AVUtilStubs::av_hwdevice_ctx_create) FRealCreate = nullptr;
  decltype(AVUtilStubs::av_hwdevice_ctx_create_derived) FRealCreateDerived = nullptr;
};

TEST_F(HWRegistryTest, Specifications) {
  const struct {
    const char* Spec;
    int Result;
    const char* Name;     // of the new device
    AVHWDeviceType Type;
    const char* Device;   // what the creation received
    const char* Options;
    const char* Source;   // name of the device it derives from
    const char* Error;    // the logged reason
  } cases[] = {
      {"cuda", 0, "cuda0", AV_HWDEVICE_TYPE_CUDA, "(none)", "", nullptr, nullptr},
      {"cuda", 0, "cuda1", AV_HWDEVICE_TYPE_CUDA, "(none)", "", nullptr, nullptr},
      {"cuda=a", 0, "a", AV_HWDEVICE_TYPE_CUDA, "(none)", "", nullptr, nullptr},
      {"cuda=a", -22, nullptr, {}, nullptr, nullptr, nullptr, "named device already exists"},
      {"cuda=b@a", 0, "b", AV_HWDEVICE_TYPE_CUDA, "(derived)", "", "a", nullptr},
      {"cuda=c@zz", -22, nullptr, {}, nullptr, nullptr, nullptr, "invalid source device name"},
      {"nosuch", -22, nullptr, {}, nullptr, nullptr, nullptr, "unknown device type"},
      {"cuda#x", -22, nullptr, {}, nullptr, nullptr, nullptr, "unknown device type"},
      {"cuda:0,k=v", 0, "cuda2", AV_HWDEVICE_TYPE_CUDA, "0", "k=v", nullptr, nullptr},
      {"cuda:0,k", -22, nullptr, {}, nullptr, nullptr, nullptr, "failed to parse options"},
      {"qsv=q:hw_any", 0, "q", AV_HWDEVICE_TYPE_QSV, "hw_any", "", nullptr, nullptr},
      {"vaapi:", 0, "vaapi0", AV_HWDEVICE_TYPE_VAAPI, "(none)", "", nullptr, nullptr},
      {"vulkan,a=1,b=2", 0, "vulkan0", AV_HWDEVICE_TYPE_VULKAN, "(none)", "a=1,b=2", nullptr, nullptr},
      {"vaapi=v2@q", 0, "v2", AV_HWDEVICE_TYPE_VAAPI, "(derived)", "", "q", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Spec);
    TLogCapture::Clear();
    const int created = GCreated;
    PHWDevice dev = nullptr;
    EXPECT_EQ(hw_device_init_from_string(A.get(), c.Spec, &dev), c.Result);
    if (c.Result != 0) {
      EXPECT_EQ(dev, nullptr);
      EXPECT_EQ(GCreated.load(), created);  // nothing was created
      const std::string line =
          std::string("Invalid device specification \"") + c.Spec + "\": " + c.Error + "\n";
      EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, line)) << TLogCapture::All();
      continue;
    }
    ASSERT_NE(dev, nullptr);
    EXPECT_STREQ(dev->name, c.Name);
    EXPECT_EQ(dev->type_, c.Type);
    EXPECT_EQ(Fake(dev).Type, c.Type);
    EXPECT_EQ(Fake(dev).Device, c.Device);
    EXPECT_EQ(Fake(dev).Options, c.Options);
    if (c.Source) {
      PHWDevice source = hw_device_get_by_name(A.get(), c.Source);
      ASSERT_NE(source, nullptr);
      EXPECT_EQ(Fake(dev).Source, &Fake(source));
    } else {
      EXPECT_EQ(Fake(dev).Source, nullptr);
    }
    EXPECT_EQ(hw_device_get_by_name(A.get(), c.Name), dev);
    EXPECT_TRUE(TLogCapture::Snapshot().empty()) << TLogCapture::All();
  }
  // the result pointer is optional
  EXPECT_EQ(hw_device_init_from_string(A.get(), "d3d11va", nullptr), 0);
  EXPECT_NE(hw_device_get_by_name(A.get(), "d3d11va0"), nullptr);
  EXPECT_EQ(hw_device_get_by_name(A.get(), "CUDA0"), nullptr);  // names compare exactly
}

TEST_F(HWRegistryTest, LookupByType) {
  EXPECT_EQ(hw_device_get_by_type(A.get(), AV_HWDEVICE_TYPE_CUDA), nullptr);  // none
  PHWDevice first = nullptr, vaapi = nullptr;
  ASSERT_EQ(hw_device_init_from_string(A.get(), "cuda", &first), 0);
  ASSERT_EQ(hw_device_init_from_string(A.get(), "vaapi", &vaapi), 0);
  EXPECT_EQ(hw_device_get_by_type(A.get(), AV_HWDEVICE_TYPE_CUDA), first);  // exactly one
  EXPECT_EQ(hw_device_get_by_type(B.get(), AV_HWDEVICE_TYPE_VAAPI), vaapi);  // any task's
  ASSERT_EQ(hw_device_init_from_string(B.get(), "cuda=second", nullptr), 0);
  EXPECT_EQ(hw_device_get_by_type(A.get(), AV_HWDEVICE_TYPE_CUDA), nullptr);  // two
  EXPECT_EQ(hw_device_get_by_type(A.get(), AV_HWDEVICE_TYPE_QSV), nullptr);
}

TEST_F(HWRegistryTest, CreationFailurePassesThrough) {
  PHWDevice dev = nullptr;
  GFailWith = AVERROR(ENOSYS);
  EXPECT_EQ(hw_device_init_from_string(A.get(), "cuda:1", &dev), AVERROR(ENOSYS));
  EXPECT_EQ(dev, nullptr);
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, "Device creation failed: -38.\n")) << TLogCapture::All();
  EXPECT_EQ(hw_device_init_from_type(A.get(), AV_HWDEVICE_TYPE_VAAPI, "/dev/dri/x", &dev),
            AVERROR(ENOSYS));
  EXPECT_EQ(dev, nullptr);
  EXPECT_EQ(hw_device_get_by_name(A.get(), "cuda0"), nullptr);  // nothing was registered
  EXPECT_EQ(hw_device_get_by_name(A.get(), "vaapi0"), nullptr);

  GFailWith = 0;
  ASSERT_EQ(hw_device_init_from_string(A.get(), "cuda=a", nullptr), 0);
  GFailWith = AVERROR(EIO);
  TLogCapture::Clear();
  EXPECT_EQ(hw_device_init_from_string(A.get(), "vaapi=b@a", &dev), AVERROR(EIO));
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, "Device creation failed: -5.\n")) << TLogCapture::All();
  EXPECT_EQ(hw_device_get_by_name(A.get(), "b"), nullptr);
  // the failed name stays free
  GFailWith = 0;
  EXPECT_EQ(hw_device_init_from_string(A.get(), "vaapi=b@a", &dev), 0);
}

TEST_F(HWRegistryTest, InitFromType) {
  PHWDevice dev = nullptr, other = nullptr;
  ASSERT_EQ(hw_device_init_from_type(A.get(), AV_HWDEVICE_TYPE_VAAPI, "/dev/dri/renderD128", &dev), 0);
  EXPECT_STREQ(dev->name, "vaapi0");
  EXPECT_EQ(dev->type_, AV_HWDEVICE_TYPE_VAAPI);
  EXPECT_EQ(Fake(dev).Device, "/dev/dri/renderD128");
  ASSERT_EQ(hw_device_init_from_type(B.get(), AV_HWDEVICE_TYPE_VAAPI, nullptr, &other), 0);
  EXPECT_STREQ(other->name, "vaapi1");  // default names are unique across tasks
  EXPECT_EQ(Fake(other).Device, "(none)");
}

TEST_F(HWRegistryTest, DeviceForFilter) {
  EXPECT_EQ(hw_device_for_filter(A.get(), nullptr), nullptr);  // none registered
  PHWDevice first = nullptr, second = nullptr;
  ASSERT_EQ(hw_device_init_from_string(A.get(), "cuda=first", &first), 0);
  TLogCapture::Clear();
  EXPECT_EQ(hw_device_for_filter(A.get(), nullptr), first->device_ref);  // the only one
  EXPECT_TRUE(TLogCapture::Snapshot().empty()) << TLogCapture::All();
  ASSERT_EQ(hw_device_init_from_string(A.get(), "vaapi=second", &second), 0);
  EXPECT_EQ(hw_device_for_filter(A.get(), nullptr), second->device_ref);  // the last one
  EXPECT_TRUE(TLogCapture::Has(
      AV_LOG_WARNING,
      "There are 2 hardware devices. device second of type vaapi is picked for filters by default. "
      "Set hardware device explicitly with the filter_hw_device option if device second is not "
      "usable for filters.\n"))
      << TLogCapture::All();
  EXPECT_EQ(hw_device_for_filter(A.get(), first), first->device_ref);  // the given one
}

TEST_F(HWRegistryTest, EachTaskFreesOnlyWhatItHolds) {
  PHWDevice a = nullptr, b = nullptr;
  ASSERT_EQ(hw_device_init_from_string(A.get(), "cuda=a", &a), 0);
  ASSERT_EQ(hw_device_init_from_string(B.get(), "cuda=b", &b), 0);
  ASSERT_EQ(hw_device_init_from_string(A.get(), "cuda=shared", nullptr), 0);
  PHWDevice shared = hw_device_get_by_name(B.get(), "shared");  // B now holds it too
  ASSERT_NE(shared, nullptr);

  hw_device_free_all(A.get());
  EXPECT_EQ(GFreed.load(), 1);  // "a" only
  EXPECT_EQ(hw_device_get_by_name(B.get(), "a"), nullptr);
  EXPECT_EQ(hw_device_get_by_name(B.get(), "b"), b);
  EXPECT_EQ(hw_device_get_by_name(B.get(), "shared"), shared);
  EXPECT_STREQ(shared->name, "shared");  // still valid for B
  // the freed name is free again
  ASSERT_EQ(hw_device_init_from_string(A.get(), "cuda=a", nullptr), 0);

  hw_device_free_all(B.get());
  EXPECT_EQ(GFreed.load(), 3);
  EXPECT_EQ(hw_device_get_by_name(nullptr, "shared"), nullptr);
  EXPECT_NE(hw_device_get_by_name(A.get(), "a"), nullptr);
  hw_device_free_all(A.get());
  EXPECT_EQ(GFreed.load(), GCreated.load());
  // with the registry empty the default numbering starts over
  PHWDevice again = nullptr;
  ASSERT_EQ(hw_device_init_from_string(A.get(), "cuda", &again), 0);
  EXPECT_STREQ(again->name, "cuda0");
}

// Tasks on their own threads create, look up, derive from and free devices at the same
// time, some of them shared; run under the thread sanitizer this checks the locking.
TEST_F(HWRegistryTest, TasksSideBySide) {
  ASSERT_EQ(hw_device_init_from_string(nullptr, "cuda=common", nullptr), 0);
  constexpr int CThreads = 4, CRounds = 100;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < CThreads; ++t)
    threads.emplace_back([t, &failures] {
      auto task = std::make_unique<TTestTask>();
      for (int round = 0; round < CRounds; ++round) {
        // another task may still hold the device of an earlier round, and with it its
        // name, so every round names its device anew
        const std::string own = "own" + std::to_string(t) + "_" + std::to_string(round);
        PHWDevice dev = nullptr, derived = nullptr;
        if (hw_device_init_from_string(task.get(), ("vaapi=" + own).c_str(), &dev) != 0 ||
            hw_device_init_from_string(task.get(), ("vulkan@" + own).c_str(), &derived) != 0) {
          ++failures;
          break;
        }
        if (Fake(derived).Source != &Fake(dev)) ++failures;
        if (hw_device_init_from_string(task.get(), "cuda", nullptr) != 0) ++failures;
        PHWDevice common = hw_device_get_by_name(task.get(), "common");
        if (!common || std::strcmp(common->name, "common") != 0) ++failures;
        hw_device_get_by_type(task.get(), AV_HWDEVICE_TYPE_CUDA);
        if (!hw_device_for_filter(task.get(), nullptr)) ++failures;
        if (hw_device_get_by_name(task.get(), own.c_str()) != dev) ++failures;
        hw_device_free_all(task.get());
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  // only the process's own device is left
  EXPECT_NE(hw_device_get_by_name(nullptr, "common"), nullptr);
  hw_device_free_all(nullptr);
  EXPECT_EQ(hw_device_for_filter(A.get(), nullptr), nullptr);
  EXPECT_EQ(GFreed.load(), GCreated.load());
}

}  // namespace
