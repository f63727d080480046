// Decoding of RGBE pixels into the float image and the luminance map.
#include <cmath>
#include <cstring>
#include <vector>

#include "core_fixture.h"

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
  EXPECT_EQ(session->shown->fframe[0], 1.0f);
  EXPECT_EQ(session->shown->fframe[1], 0.5f);
  EXPECT_EQ(session->shown->fframe[2], 0.25f);
  EXPECT_NEAR(session->shown->lum[0], 0.58825, 1e-15);

  Decode(px, 1.0f);  // one stop up doubles the luminance, not the colour
  EXPECT_EQ(session->shown->fframe[0], 1.0f);
  EXPECT_EQ(session->shown->fframe[1], 0.5f);
  EXPECT_EQ(session->shown->fframe[2], 0.25f);
  EXPECT_NEAR(session->shown->lum[0], 1.1765, 1e-15);

  Decode(px, -2.0f);
  EXPECT_NEAR(session->shown->lum[0], 0.58825 / 4, 1e-15);
}

TEST_F(LoadFrameTest, ZeroExponentIsAFloorOfOneMillionthAtEveryExposure) {
  for (float stops : {0.0f, 1.0f, -3.0f, 2.5f}) {
    SCOPED_TRACE(stops);
    Decode({0, 0, 0, 0, 200, 17, 3, 0}, stops);  // mantissas are ignored
    for (int i = 0; i < 6; i++) EXPECT_EQ(session->shown->fframe[i], 1e-6f);
    EXPECT_EQ(session->shown->lum[0], 1e-6);
    EXPECT_EQ(session->shown->lum[1], 1e-6);
  }
}

TEST_F(LoadFrameTest, ZeroMantissasUnderAnExponentAreTrueBlack) {
  for (float stops : {0.0f, 4.0f}) {
    Decode({0, 0, 0, 128, 0, 9, 0, 140}, stops);
    EXPECT_EQ(session->shown->fframe[0], 0.0f);
    EXPECT_EQ(session->shown->fframe[1], 0.0f);
    EXPECT_EQ(session->shown->fframe[2], 0.0f);
    EXPECT_EQ(session->shown->lum[0], 0.0);
    // A single zero mantissa gives a zero component, the others decode.
    EXPECT_EQ(session->shown->fframe[3], 0.0f);
    EXPECT_EQ(session->shown->fframe[4], 9.0f * 16.0f);
    EXPECT_EQ(session->shown->fframe[5], 0.0f);
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
    const float *c = session->shown->fframe + 3 * (e - 1);
    EXPECT_EQ(c[0], (float)std::ldexp(255.0, e - 136));
    EXPECT_EQ(c[1], (float)std::ldexp(1.0, e - 136));
    EXPECT_EQ(c[2], (float)std::ldexp((double)e, e - 136));
    // The luminance keeps the double range even where the floats are tiny.
    const double R = std::ldexp(255.0, e - 136), G = std::ldexp(1.0, e - 136),
                 B = std::ldexp((double)e, e - 136);
    EXPECT_NEAR(session->shown->lum[e - 1], 0.2126 * R + 0.7152 * G + 0.0722 * B, 1e-14 * R);
  }
}

TEST_F(LoadFrameTest, ExposureScalesOnlyTheLuminance) {
  std::vector<unsigned char> px;
  for (int i = 0; i < 64; i++) px.insert(px.end(), {(unsigned char)(i * 3 + 1), (unsigned char)(250 - i), (unsigned char)(i * i), (unsigned char)(100 + i)});
  Decode(px, 0.0f);
  const std::vector<float> colours(session->shown->fframe, session->shown->fframe + 3 * 64);
  const std::vector<double> lum0(session->shown->lum, session->shown->lum + 64);
  Decode(px, 3.0f);
  EXPECT_EQ(memcmp(colours.data(), session->shown->fframe, colours.size() * sizeof(float)), 0);
  for (int k = 0; k < 64; k++) EXPECT_EQ(session->shown->lum[k], 8.0 * lum0[k]) << k;
}

TEST_F(LoadFrameTest, WritesOnlyThePicturesLuminances) {
  session = SetUpPlayer(5, 4);
  for (size_t k = 0; k < session->movie.npixels; k++) {
    const unsigned char p[4] = {10, 20, 30, 130};
    memcpy(session->shown->rgbe + 4 * k, p, 4);
  }
  LoadFrame(session.get());
  for (size_t k = 0; k < session->movie.npixels; k++) EXPECT_FALSE(std::isnan(session->shown->lum[k])) << k;
  for (size_t k = session->movie.npixels; k < 7 * 6; k++) EXPECT_TRUE(std::isnan(session->shown->lum[k])) << k;
}

}  // namespace
