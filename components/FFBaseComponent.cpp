#include "components/FFBaseComponent.h"

#include <xmmintrin.h>

#include <atomic>

#include "runtime/FFLoad.h"

namespace FFBaseComponent {

namespace {

constexpr const char* CVersion = "10.8";

// The module's strings are made by the unit's first initialization; they are pointers so
// that no constructor of this source can run after another unit's initialization has
// already filled them.
int GInitCount = 0;
std::string* GProductTitle = nullptr;
std::string* GProductNotice = nullptr;
TFPUControlWord GSavedFPUControlWord{0, 0};

std::atomic<int> GMaskFPUCount{0};

constexpr std::uint16_t CMaskedX87ControlWord = 0x133F;
constexpr std::uint32_t CMXCSRExceptionMasks = 0x1F80;  // bits 7 to 12
constexpr std::uint32_t CMXCSRRounding = 0x6000;        // bits 13 and 14; 0 = nearest

std::uint16_t GetX87ControlWord() {
  std::uint16_t cw;
  __asm__ volatile("fnstcw %0" : "=m"(cw));
  return cw;
}

void SetX87ControlWord(std::uint16_t ACW) { __asm__ volatile("fldcw %0" : : "m"(ACW)); }

const std::string& EmptyString() {
  static const std::string empty;
  return empty;
}

}  // namespace

int SeekFlagsToInt(TSeekFlags AFlags) {
  int result = 0;
  if (AFlags.Contains(sfBackward)) result |= AVSEEK_FLAG_BACKWARD;
  if (AFlags.Contains(sfByte)) result |= AVSEEK_FLAG_BYTE;
  if (AFlags.Contains(sfAny)) result |= AVSEEK_FLAG_ANY;
  if (AFlags.Contains(sfFrame)) result |= AVSEEK_FLAG_FRAME;
  return result;
}

const std::string& ProductTitle() { return GProductTitle ? *GProductTitle : EmptyString(); }
const std::string& ProductNotice() { return GProductNotice ? *GProductNotice : EmptyString(); }
TFPUControlWord SavedFPUControlWord() { return GSavedFPUControlWord; }

TFFBaseComponent::TFFBaseComponent(Platform::TComponent* AOwner)
    : TComponent(AOwner), FVersion(CVersion), FProductTitle(ProductTitle()) {}

TFFBaseComponent::~TFFBaseComponent() = default;

void TFFBaseComponent::SetReadTimeout(int AValue) { ReadTimeout = AValue; }
void TFFBaseComponent::SetWriteTimeout(int AValue) { WriteTimeout = AValue; }

void TFFBaseComponent::MaskFPUExceptions() {
  if (GMaskFPUCount.fetch_add(1) != 0) return;
  SetX87ControlWord(CMaskedX87ControlWord);
  _mm_setcsr((_mm_getcsr() & ~CMXCSRRounding) | CMXCSRExceptionMasks);
}

TUnitInit::TUnitInit() {
  if (GInitCount++ != 0) return;
  GProductTitle = new std::string(std::string(FFLoad::CBannerTitle) + " " + CVersion);
  GProductNotice = new std::string(FFLoad::CBannerNotice);
  GSavedFPUControlWord = TFPUControlWord{GetX87ControlWord(), _mm_getcsr()};
}

// The strings stay: a component may still be destroyed after the last finalization.
TUnitInit::~TUnitInit() { --GInitCount; }

}  // namespace FFBaseComponent
