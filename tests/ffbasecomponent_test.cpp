// The component base: its defaults, the time-out setters, seek flags and the masking of
// floating-point exceptions.
#include <gtest/gtest.h>

#include <fenv.h>
#include <xmmintrin.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "components/FFBaseComponent.h"

namespace {

using namespace FFBaseComponent;

// A descendant that passes the time-outs on, as the encoder component does.
class TForwarding : public TFFBaseComponent {
 public:
  using TFFBaseComponent::TFFBaseComponent;
  void SetReadTimeout(int AValue) override {
    TFFBaseComponent::SetReadTimeout(AValue);
    Forwarded.push_back("read " + std::to_string(AValue));
  }
  void SetWriteTimeout(int AValue) override {
    TFFBaseComponent::SetWriteTimeout(AValue);
    Forwarded.push_back("write " + std::to_string(AValue));
  }
  std::vector<std::string> Forwarded;
};

TEST(FFBaseComponent, Defaults) {
  Platform::TComponent owner;
  auto* c = new TFFBaseComponent(&owner);
  struct {
    const char* Name;
    std::string Actual;
    std::string Expected;
  } const cases[] = {
      {"About", c->GetAbout(), ""},
      {"Version", c->GetVersion(), "10.8"},
      {"ReadTimeout", std::to_string(c->ReadTimeout), "30000"},
      {"WriteTimeout", std::to_string(c->WriteTimeout), "30000"},
      {"product title", c->GetProductTitle(), ProductTitle()},
      {"class name", c->ClassName(), "TFFBaseComponent"},
  };
  for (const auto& k : cases) EXPECT_EQ(k.Actual, k.Expected) << k.Name;
  EXPECT_NE(ProductTitle().find("10.8"), std::string::npos) << ProductTitle();
  EXPECT_FALSE(ProductNotice().empty());
  // Owned: the owner destroys it.
  ASSERT_EQ(owner.ComponentCount(), 1);
  EXPECT_EQ(owner.Components(0), c);
}

TEST(FFBaseComponent, AboutIsWrittenAndReadBack) {
  TFFBaseComponent c;
  c.SetAbout("free text, \xC3\xA9t\xC3\xA9");
  EXPECT_EQ(c.GetAbout(), "free text, \xC3\xA9t\xC3\xA9");
  EXPECT_EQ(c.GetVersion(), "10.8");
}

TEST(FFBaseComponent, TimeoutSettersAreVirtual) {
  TForwarding f;
  TFFBaseComponent& base = f;
  base.SetReadTimeout(1500);
  base.SetWriteTimeout(-1);
  EXPECT_EQ(f.ReadTimeout, 1500);
  EXPECT_EQ(f.WriteTimeout, -1);
  EXPECT_EQ(f.Forwarded, (std::vector<std::string>{"read 1500", "write -1"}));
}

TEST(FFBaseComponent, SeekFlagsToInt) {
  struct {
    TSeekFlags Flags;
    int Expected;
  } const cases[] = {
      {{}, 0},
      {{sfBackward}, AVSEEK_FLAG_BACKWARD},
      {{sfByte}, AVSEEK_FLAG_BYTE},
      {{sfAny}, AVSEEK_FLAG_ANY},
      {{sfFrame}, AVSEEK_FLAG_FRAME},
      {{sfBackward, sfFrame}, 9},
      {{sfByte, sfAny}, 6},
      {{sfBackward, sfByte, sfAny, sfFrame}, 15},
  };
  for (const auto& k : cases) EXPECT_EQ(SeekFlagsToInt(k.Flags), k.Expected) << k.Expected;
  TSeekFlags flags{sfAny};
  flags.Include(sfBackward);
  flags.Exclude(sfAny);
  EXPECT_EQ(SeekFlagsToInt(flags), 1);
}

TEST(FFBaseComponent, SavedFPUControlWordIsTheStartUpOne) {
  // Nothing in the test program changes the main thread's defaults before the unit's
  // initialization: all exceptions masked, round to nearest.
  const TFPUControlWord saved = SavedFPUControlWord();
  EXPECT_EQ(saved.X87 & 0x0C3F, 0x003F);
  EXPECT_EQ(saved.MXCSR & 0x7F80u, 0x1F80u);
}

std::uint16_t X87ControlWord() {
  std::uint16_t cw;
  __asm__ volatile("fnstcw %0" : "=m"(cw));
  return cw;
}

void SetX87ControlWord(std::uint16_t ACW) { __asm__ volatile("fldcw %0" : : "m"(ACW)); }

// Runs in a fresh copy of the test program, where MaskFPUExceptions was never called.
// Exits with 0 when the state is loaded once, else prints what went wrong.
[[noreturn]] void MaskThreeTimes() {
  auto fail = [](const char* AWhat) {
    std::fprintf(stderr, "%s: x87 %04x mxcsr %08x\n", AWhat, X87ControlWord(), _mm_getcsr());
    std::exit(1);
  };
  // Unmask division by zero and round upward, in both units.
  SetX87ControlWord(0x037B | 0x0800);
  _mm_setcsr((_mm_getcsr() & ~0x0200u) | 0x4000u);
  TFFBaseComponent::MaskFPUExceptions();
  // Masks 0x3F, 64-bit precision (0x300), rounding to nearest (0xC00 clear).
  if ((X87ControlWord() & 0x0F3F) != 0x033F) fail("first call, x87");
  if ((_mm_getcsr() & 0x7F80u) != 0x1F80u) fail("first call, MXCSR");
  if (fegetround() != FE_TONEAREST) fail("first call, rounding");
  // Later calls leave the control words alone.
  SetX87ControlWord(0x037B | 0x0800);
  _mm_setcsr((_mm_getcsr() & ~0x0200u) | 0x4000u);
  TFFBaseComponent::MaskFPUExceptions();
  TFFBaseComponent::MaskFPUExceptions();
  if ((X87ControlWord() & 0x0F3F) != 0x0B3B) fail("later calls, x87");
  if ((_mm_getcsr() & 0x7F80u) != 0x5D80u) fail("later calls, MXCSR");
  // The process's masks are back before leaving.
  SetX87ControlWord(0x037F);
  _mm_setcsr(0x1F80);
  std::exit(0);
}

TEST(FFBaseComponent, MaskFPUExceptionsLoadsOnlyOnTheFirstCall) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(MaskThreeTimes(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
