// Picture adjustments on raw 8-bit planes: brightness and contrast of a luma plane, hue
// and saturation of the two chroma planes, in 16.16 fixed point. The routines take plane
// memory by pointer and line stride (a signed byte distance between rows) and know
// nothing of frames; each has a copying form and an in-place form.
//
// Brightness, contrast, hue and saturation run from -100 to 100; values outside are
// taken as the nearest end of that range. Contrast 0 is the unchanged plane's contrast
// (brightness 0 then lowers each byte by one); hue 100 turns the colours by half a
// circle; saturation -100 removes the colour.
#pragma once
#include <cstdint>

namespace FrameEffects {

// Writes AWidth x AHeight bytes of ADst from ASrc.
void adjust_eq(std::uint8_t* ADst, std::int32_t ADstStride, const std::uint8_t* ASrc,
               std::int32_t ASrcStride, int AWidth, int AHeight, int ABrightness, int AContrast);
void adjust_eq(std::uint8_t* AData, std::int32_t AStride, int AWidth, int AHeight, int ABrightness,
               int AContrast);

// Writes the two chroma planes AUDst and AVDst (AWidth x AHeight bytes each) from AUSrc
// and AVSrc.
void adjust_hue(std::uint8_t* AUDst, std::uint8_t* AVDst, std::int32_t ADstStride,
                const std::uint8_t* AUSrc, const std::uint8_t* AVSrc, std::int32_t ASrcStride,
                int AWidth, int AHeight, int AHue, int ASaturation);
void adjust_hue(std::uint8_t* AU, std::uint8_t* AV, std::int32_t AStride, int AWidth, int AHeight,
                int AHue, int ASaturation);

}  // namespace FrameEffects
