// Brightness/contrast and hue/saturation over a small padded plane: the copying and the
// in-place forms give the same bytes and never touch the padding.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "runtime/FrameEffects.h"

namespace {

constexpr int CWidth = 4;
constexpr int CHeight = 2;
constexpr int CSrcStride = 5;
constexpr int CDstStride = 7;
constexpr std::uint8_t CPad = 0xEE;

using TPlane = std::array<std::uint8_t, CWidth * CHeight>;

// A plane of CHeight rows of AStride bytes, padding filled with CPad.
std::vector<std::uint8_t> Padded(const TPlane& APixels, int AStride) {
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(AStride) * CHeight, CPad);
  for (int y = 0; y < CHeight; y++)
    for (int x = 0; x < CWidth; x++) buf[y * AStride + x] = APixels[y * CWidth + x];
  return buf;
}

TPlane Pixels(const std::vector<std::uint8_t>& ABuf, int AStride) {
  TPlane p{};
  for (int y = 0; y < CHeight; y++)
    for (int x = 0; x < CWidth; x++) p[y * CWidth + x] = ABuf[y * AStride + x];
  return p;
}

bool PaddingKept(const std::vector<std::uint8_t>& ABuf, int AStride) {
  for (int y = 0; y < CHeight; y++)
    for (int x = CWidth; x < AStride; x++)
      if (ABuf[y * AStride + x] != CPad) return false;
  return true;
}

struct TCase {
  const char* Name;
  bool Hue;    // adjust_hue (planes U and V), else adjust_eq (plane U)
  int A, B;    // brightness and contrast, or hue and saturation
  TPlane U, V;
  TPlane NewU, NewV;
};

const TCase CCases[] = {
    {"neutral eq lowers by one", false, 0, 0,
     {0, 1, 128, 255, 10, 20, 200, 254}, {}, {0, 0, 127, 254, 9, 19, 199, 253}, {}},
    {"no contrast: the offset", false, 0, -100,
     {0, 1, 128, 255, 10, 20, 200, 254}, {}, {127, 127, 127, 127, 127, 127, 127, 127}, {}},
    {"no contrast, full brightness", false, 100, -100,
     {0, 1, 128, 255, 10, 20, 200, 254}, {}, {255, 255, 255, 255, 255, 255, 255, 255}, {}},
    {"no contrast, no brightness", false, -100, -100,
     {0, 1, 128, 255, 10, 20, 200, 254}, {}, {0, 0, 0, 0, 0, 0, 0, 0}, {}},
    {"brightness 50", false, 50, 0,
     {0, 1, 128, 255, 10, 100, 200, 254}, {}, {127, 128, 255, 255, 137, 227, 255, 255}, {}},
    {"contrast 50", false, 0, 50,
     {0, 1, 43, 44, 100, 128, 200, 255}, {}, {0, 0, 0, 1, 85, 127, 235, 255}, {}},
    {"contrast 100", false, 0, 100,
     {0, 64, 65, 100, 128, 191, 192, 255}, {}, {0, 0, 1, 71, 127, 253, 255, 255}, {}},
    {"contrast beyond the range", false, 0, 250,
     {0, 64, 65, 100, 128, 191, 192, 255}, {}, {0, 0, 1, 71, 127, 253, 255, 255}, {}},
    {"neutral hue", true, 0, 0,
     {0, 1, 127, 128, 129, 200, 254, 255}, {255, 254, 200, 129, 128, 127, 1, 0},
     {0, 1, 127, 128, 129, 200, 254, 255}, {255, 254, 200, 129, 128, 127, 1, 0}},
    {"no saturation", true, 37, -100,
     {0, 1, 127, 128, 129, 200, 254, 255}, {255, 254, 200, 129, 128, 127, 1, 0},
     {128, 128, 128, 128, 128, 128, 128, 128}, {128, 128, 128, 128, 128, 128, 128, 128}},
    {"half a turn", true, 100, 0,
     {0, 1, 127, 128, 129, 200, 254, 255}, {255, 254, 200, 129, 128, 127, 1, 0},
     {255, 255, 129, 128, 127, 56, 2, 1}, {1, 2, 56, 127, 128, 129, 255, 255}},
    {"a quarter turn", true, 50, 0,
     {10, 20, 30, 40, 0, 128, 200, 255}, {0, 128, 200, 255, 10, 20, 30, 40},
     {255, 128, 56, 1, 246, 236, 226, 216}, {10, 20, 30, 40, 0, 128, 200, 255}},
    {"double saturation", true, 0, 100,
     {0, 63, 64, 100, 128, 160, 191, 255}, {128, 128, 128, 128, 128, 128, 128, 128},
     {0, 0, 0, 72, 128, 192, 254, 255}, {128, 128, 128, 128, 128, 128, 128, 128}},
    {"saturation beyond the range", true, 0, 500,
     {0, 63, 64, 100, 128, 160, 191, 255}, {128, 128, 128, 128, 128, 128, 128, 128},
     {0, 0, 0, 72, 128, 192, 254, 255}, {128, 128, 128, 128, 128, 128, 128, 128}},
};

TEST(FrameEffects, CopyAndInPlace) {
  for (const TCase& c : CCases) {
    SCOPED_TRACE(c.Name);
    const auto usrc = Padded(c.U, CSrcStride);
    const auto vsrc = Padded(c.V, CSrcStride);
    auto udst = Padded({}, CDstStride);
    auto vdst = Padded({}, CDstStride);
    auto u = Padded(c.U, CDstStride);  // in place
    auto v = Padded(c.V, CDstStride);
    if (c.Hue) {
      FrameEffects::adjust_hue(udst.data(), vdst.data(), CDstStride, usrc.data(), vsrc.data(), CSrcStride,
                               CWidth, CHeight, c.A, c.B);
      FrameEffects::adjust_hue(u.data(), v.data(), CDstStride, CWidth, CHeight, c.A, c.B);
    } else {
      FrameEffects::adjust_eq(udst.data(), CDstStride, usrc.data(), CSrcStride, CWidth, CHeight, c.A, c.B);
      FrameEffects::adjust_eq(u.data(), CDstStride, CWidth, CHeight, c.A, c.B);
    }
    EXPECT_EQ(Pixels(udst, CDstStride), c.NewU);
    EXPECT_EQ(Pixels(u, CDstStride), c.NewU);
    if (c.Hue) {
      EXPECT_EQ(Pixels(vdst, CDstStride), c.NewV);
      EXPECT_EQ(Pixels(v, CDstStride), c.NewV);
    } else {
      EXPECT_EQ(Pixels(v, CDstStride), c.V);  // the other plane is not touched
    }
    for (const auto* buf : {&udst, &vdst, &u, &v}) EXPECT_TRUE(PaddingKept(*buf, CDstStride));
    EXPECT_EQ(Pixels(usrc, CSrcStride), c.U);  // the source stays as it was
  }
}

// A bottom-up plane: the first row last in memory, walked with a negative stride.
TEST(FrameEffects, NegativeStride) {
  auto buf = Padded({10, 20, 200, 254, 0, 1, 128, 255}, CDstStride);  // rows swapped
  FrameEffects::adjust_eq(buf.data() + CDstStride, -CDstStride, CWidth, CHeight, 0, 0);
  const TPlane expected = {9, 19, 199, 253, 0, 0, 127, 254};
  EXPECT_EQ(Pixels(buf, CDstStride), expected);
  EXPECT_TRUE(PaddingKept(buf, CDstStride));
}

}  // namespace
