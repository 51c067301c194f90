#include "runtime/FrameEffects.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace FrameEffects {

namespace {

// Beyond -100..100 the fixed-point products would leave 32 bits.
int Limit(int AValue) { return std::clamp(AValue, -100, 100); }

std::uint8_t Clip255(std::int32_t AValue) {
  if (AValue < 0) return 0;
  if (AValue > 255) return 255;
  return static_cast<std::uint8_t>(AValue);
}

// A chroma result with bit 8 or 9 set has left 0..255: 255 above, 0 below.
std::uint8_t ClipChroma(std::int32_t AValue) {
  if (AValue & 0x300) return AValue > 0 ? 255 : 0;
  return static_cast<std::uint8_t>(AValue);
}

}  // namespace

void adjust_eq(std::uint8_t* ADst, std::int32_t ADstStride, const std::uint8_t* ASrc,
               std::int32_t ASrcStride, int AWidth, int AHeight, int ABrightness, int AContrast) {
  const std::int32_t contrast = ((Limit(AContrast) + 100) * 65536) / 100;
  const std::int32_t brightness = ((Limit(ABrightness) + 100) * 511) / 200 -
                                  static_cast<std::int32_t>(static_cast<std::uint32_t>(contrast) >> 9) -
                                  128;
  for (int y = 0; y < AHeight; y++) {
    const std::uint8_t* src = ASrc + static_cast<std::ptrdiff_t>(y) * ASrcStride;
    std::uint8_t* dst = ADst + static_cast<std::ptrdiff_t>(y) * ADstStride;
    for (int x = 0; x < AWidth; x++) {
      const std::uint32_t scaled = (static_cast<std::uint32_t>(src[x]) * static_cast<std::uint32_t>(contrast)) >> 16;
      dst[x] = Clip255(static_cast<std::int32_t>(scaled) + brightness);
    }
  }
}

void adjust_eq(std::uint8_t* AData, std::int32_t AStride, int AWidth, int AHeight, int ABrightness,
               int AContrast) {
  adjust_eq(AData, AStride, AData, AStride, AWidth, AHeight, ABrightness, AContrast);
}

void adjust_hue(std::uint8_t* AUDst, std::uint8_t* AVDst, std::int32_t ADstStride,
                const std::uint8_t* AUSrc, const std::uint8_t* AVSrc, std::int32_t ASrcStride,
                int AWidth, int AHeight, int AHue, int ASaturation) {
  const double angle = Limit(AHue) * std::numbers::pi / 100;
  const double scale = 65536.0 * (Limit(ASaturation) + 100) / 100;
  const std::int32_t s = static_cast<std::int32_t>(std::floor(std::sin(angle) * scale + 0.5));
  const std::int32_t c = static_cast<std::int32_t>(std::floor(std::cos(angle) * scale + 0.5));
  constexpr std::int32_t CRound = 0x808000;  // 128 and one half in 16.16 fixed point
  for (int y = 0; y < AHeight; y++) {
    const std::uint8_t* usrc = AUSrc + static_cast<std::ptrdiff_t>(y) * ASrcStride;
    const std::uint8_t* vsrc = AVSrc + static_cast<std::ptrdiff_t>(y) * ASrcStride;
    std::uint8_t* udst = AUDst + static_cast<std::ptrdiff_t>(y) * ADstStride;
    std::uint8_t* vdst = AVDst + static_cast<std::ptrdiff_t>(y) * ADstStride;
    for (int x = 0; x < AWidth; x++) {
      const std::int32_t u = usrc[x] - 128;
      const std::int32_t v = vsrc[x] - 128;
      const std::int32_t new_u = (c * u - s * v + CRound) / 65536;
      const std::int32_t new_v = (s * u + c * v + CRound) / 65536;
      udst[x] = ClipChroma(new_u);
      vdst[x] = ClipChroma(new_v);
    }
  }
}

void adjust_hue(std::uint8_t* AU, std::uint8_t* AV, std::int32_t AStride, int AWidth, int AHeight,
                int AHue, int ASaturation) {
  adjust_hue(AU, AV, AStride, AU, AV, AStride, AWidth, AHeight, AHue, ASaturation);
}

}  // namespace FrameEffects
