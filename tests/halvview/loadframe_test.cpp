// Decoding of RGBE pixels into the float image and the luminance map.
#include <cmath>
#include <cstring>
#include <vector>

#include "core_fixture.h"
#include "rgbe.h"

namespace {

class LoadFrameTest : public CoreTest {
 protected:
  // A picture of the given pixels (4 bytes each) in one row.
  void Decode(const std::vector<unsigned char> &pixels, float stops) {
    const int n = (int)(pixels.size() / 4);
    session = SetUpPlayer(n, 1);
    memcpy(session->shown->rgbe, pixels.data(), pixels.size());
    session->settings.exposure = stops;
    LoadFrame(session.get());
  }
};

TEST_F(LoadFrameTest, WorkedPixelDecodesToItsColourAndLuminance) {
  // 2^(129 - 136) = 1/128: the mantissas 128, 64, 32 give 1, 1/2, 1/4.
  // Luminance 0.2126 + 0.7152 / 2 + 0.0722 / 4 = 0.58825.
  const std::vector<unsigned char> px = {128, 64, 32, 129};
  Decode(px, 0.0f);
  EXPECT_EQ(session->scratch.fframe[0], 1.0f);
  EXPECT_EQ(session->scratch.fframe[1], 0.5f);
  EXPECT_EQ(session->scratch.fframe[2], 0.25f);
  EXPECT_NEAR(session->scratch.lum[0], 0.58825, 1e-15);

  Decode(px, 1.0f);  // one stop up doubles the luminance, not the colour
  EXPECT_EQ(session->scratch.fframe[0], 1.0f);
  EXPECT_EQ(session->scratch.fframe[1], 0.5f);
  EXPECT_EQ(session->scratch.fframe[2], 0.25f);
  EXPECT_NEAR(session->scratch.lum[0], 1.1765, 1e-15);

  Decode(px, -2.0f);
  EXPECT_NEAR(session->scratch.lum[0], 0.58825 / 4, 1e-15);
}

TEST_F(LoadFrameTest, ZeroExponentIsAFloorOfOneMillionthAtEveryExposure) {
  for (float stops : {0.0f, 1.0f, -3.0f, 2.5f}) {
    SCOPED_TRACE(stops);
    Decode({0, 0, 0, 0, 200, 17, 3, 0}, stops);  // mantissas are ignored
    for (int i = 0; i < 6; i++) EXPECT_EQ(session->scratch.fframe[i], 1e-6f);
    EXPECT_EQ(session->scratch.lum[0], 1e-6);
    EXPECT_EQ(session->scratch.lum[1], 1e-6);
  }
}

TEST_F(LoadFrameTest, ZeroMantissasUnderAnExponentAreTrueBlack) {
  for (float stops : {0.0f, 4.0f}) {
    Decode({0, 0, 0, 128, 0, 9, 0, 140}, stops);
    EXPECT_EQ(session->scratch.fframe[0], 0.0f);
    EXPECT_EQ(session->scratch.fframe[1], 0.0f);
    EXPECT_EQ(session->scratch.fframe[2], 0.0f);
    EXPECT_EQ(session->scratch.lum[0], 0.0);
    // A single zero mantissa gives a zero component, the others decode.
    EXPECT_EQ(session->scratch.fframe[3], 0.0f);
    EXPECT_EQ(session->scratch.fframe[4], 9.0f * 16.0f);
    EXPECT_EQ(session->scratch.fframe[5], 0.0f);
  }
}

TEST_F(LoadFrameTest, EveryExponentDecodesExactly) {
  // Exponent 1 gives values below the smallest normal float, 255 values
  // near the largest: both must come out exact, with no half step added.
  std::vector<unsigned char> px;
  for (int e = 1; e < 256; e++) {
    const unsigned char m[3] = {255, 1, (unsigned char)e};
    px.insert(px.end(), {m[0], m[1], m[2], (unsigned char)e});
  }
  Decode(px, 0.0f);
  for (int e = 1; e < 256; e++) {
    SCOPED_TRACE(e);
    const float *c = session->scratch.fframe + 3 * (e - 1);
    EXPECT_EQ(c[0], (float)std::ldexp(255.0, e - 136));
    EXPECT_EQ(c[1], (float)std::ldexp(1.0, e - 136));
    EXPECT_EQ(c[2], (float)std::ldexp((double)e, e - 136));
    // The luminance keeps the double range even where the floats are tiny.
    const double R = std::ldexp(255.0, e - 136), G = std::ldexp(1.0, e - 136),
                 B = std::ldexp((double)e, e - 136);
    EXPECT_NEAR(session->scratch.lum[e - 1], 0.2126 * R + 0.7152 * G + 0.0722 * B, 1e-14 * R);
  }
}

TEST_F(LoadFrameTest, ExposureScalesOnlyTheLuminance) {
  std::vector<unsigned char> px;
  for (int i = 0; i < 64; i++) px.insert(px.end(), {(unsigned char)(i * 3 + 1), (unsigned char)(250 - i), (unsigned char)(i * i), (unsigned char)(100 + i)});
  Decode(px, 0.0f);
  const std::vector<float> colours(session->scratch.fframe, session->scratch.fframe + 3 * 64);
  const std::vector<double> lum0(session->scratch.lum, session->scratch.lum + 64);
  Decode(px, 3.0f);
  EXPECT_EQ(memcmp(colours.data(), session->scratch.fframe, colours.size() * sizeof(float)), 0);
  for (int k = 0; k < 64; k++) EXPECT_EQ(session->scratch.lum[k], 8.0 * lum0[k]) << k;
}

TEST_F(LoadFrameTest, WritesOnlyThePicturesLuminances) {
  session = SetUpPlayer(5, 4);
  for (size_t k = 0; k < session->movie.npixels; k++) {
    const unsigned char p[4] = {10, 20, 30, 130};
    memcpy(session->shown->rgbe + 4 * k, p, 4);
  }
  LoadFrame(session.get());
  for (size_t k = 0; k < session->movie.npixels; k++) EXPECT_FALSE(std::isnan(session->scratch.lum[k])) << k;
  for (size_t k = session->movie.npixels; k < 7 * 6; k++) EXPECT_TRUE(std::isnan(session->scratch.lum[k])) << k;
}

// The SIMD kernels give every pixel exactly what the one-pixel decoding
// gives: every exponent (0 is black, below 10 the one-pixel path inside a
// group), zero mantissas, at both kernels and with and without exposure;
// and the player's pixel differs from the codec's only where the codec
// floors a zero mantissa.
TEST(PlayerPixel, KernelsDecodeEveryExponentAsOnePixelDoes) {
  std::vector<unsigned char> px;
  for (int e = 0; e < 256; e++)
    for (int m : {0, 1, 77, 128, 255})
      px.insert(px.end(), {(unsigned char)m, (unsigned char)(255 - m), 0, (unsigned char)e});
  const size_t n = px.size() / 4;
  std::vector<double> lum(LuminanceMapSize((int)n, 1));
  std::vector<float> flt(3 * n);
  for (int avx = 0; avx <= ProcessorHasAVX2(); avx++)
    for (float stops : {0.0f, 1.5f}) {
      RenderSettings settings;
      settings.avx = avx;
      settings.exposure = stops;
      DecodeFrame(MakeConversion(settings, (int)n, 1, 0, nullptr, nullptr), px.data(), lum.data(), flt.data());
      for (size_t k = 0; k < n; k++) {
        float rgb[3], codec[3];
        DecodePlayerPixel(&px[4 * k], rgb);
        rgbe2float(&codec[0], &codec[1], &codec[2], &px[4 * k]);
        const double expected =
            px[4 * k + 3] ? pow(2.0, (double)stops) * PixelLuminance(rgb) : PLAYER_BLACK_LUMINANCE;
        ASSERT_EQ(memcmp(&flt[3 * k], rgb, sizeof rgb), 0) << "pixel " << k << ", avx " << avx;
        ASSERT_EQ(lum[k], expected) << "pixel " << k;
        for (int c = 0; c < 3; c++) {
          const bool floored = px[4 * k + c] == 0 && px[4 * k + 3] != 0;  // the codec's floor, the player's 0
          ASSERT_EQ(rgb[c], floored ? 0.0f : codec[c]) << "pixel " << k;
        }
      }
    }
}

}  // namespace
