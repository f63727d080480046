// The tone mapper, the colour reconstruction and the plain exposure path,
// checked against values worked out by hand or from the closed formulas.
#include <cmath>
#include <cstring>
#include <vector>

#include "core_fixture.h"

namespace {

// The mapping's closed-form pieces, written out for the checks below.
double Rational(double Yw) {
  if (Yw < 1.0) return Yw * (6.0 + Yw) / (6.0 + 4.0 * Yw);
  if (Yw < 2.0) return Yw * (6.0 + 0.7662 * Yw) / (5.9897 + 3.7658 * Yw);
  return std::log(1.0 + Yw);
}

class TonemapTest : public CoreTest {
 protected:
  // A W x H picture of normalised values: the adaptation is 0 and the stored
  // log-average is 2, so avLum is 1 and dividing by it changes nothing;
  // maxLum 8 makes Lwmax 8 and the divider log10(9).
  void Map(int W, int H, const std::vector<double> &values) {
    session = SetUpPlayer(W, H);
    ASSERT_EQ(values.size(), (size_t)W * H);
    std::copy(values.begin(), values.end(), session->scratch.lum);
    Tonemapping(session.get(), 8.0, 2.0);
  }
  double Mapped(int W, int x, int y) const { return session->scratch.lum[(size_t)y * W + x]; }

  // The denominator of a cell or block with the bias taken at Y.
  static double D(double Y) {
    const double b = std::log((double)0.85f) / -0.693147;
    return std::log(2.0 + 8.0 * std::pow(Y / 8.0, b)) * std::log10(9.0);
  }
  // Expects the cell to be mapped with the bias taken at Ybias.
  void ExpectCell(int W, int x, int y, double Yw, double Ybias) {
    const double want = Rational(Yw) / D(Ybias);
    EXPECT_NEAR(Mapped(W, x, y), want, 1e-12 * want) << "cell " << x << "," << y;
  }
};

TEST_F(TonemapTest, WorkedExampleAdaptsOverThreeFrames) {
  // Luminance 0.5 everywhere, maxLum 2, logAv 0.5, bias 0.85, first call:
  // avLum 0.25, Lwmax 8, every value normalised to 2, every block smooth.
  const int W = 9, H = 6;
  session = SetUpPlayer(W, H);
  const double expected_ld[3] = {0.56118, 0.51701, 0.49882};
  const double expected_av[3] = {0.25, 0.375, 0.4375};
  for (int call = 0; call < 3; call++) {
    SCOPED_TRACE(call);
    for (int k = 0; k < W * H; k++) session->scratch.lum[k] = 0.5;
    Tonemapping(session.get(), 2.0, 0.5);
    EXPECT_EQ(session->adapted[0], expected_av[call]);
    for (int k = 0; k < W * H; k++) {
      EXPECT_NEAR(session->scratch.lum[k], expected_ld[call], 5e-6) << k;
      EXPECT_EQ(session->scratch.lum[k], session->scratch.lum[0]) << k;
    }
  }
  // A grey pixel takes the display luminance in all three components.
  for (int k = 0; k < 3 * W * H; k++) session->scratch.fframe[k] = 0.3f;
  PixelOutTmo(session.get());
  for (int k = 0; k < 3 * W * H; k++) EXPECT_NEAR(Out()[k], 0.49882, 5e-6) << k;
}

TEST_F(TonemapTest, FirstFrameIsNormalisedByHalfItsLogAverage) {
  // A value equal to half the log-average normalises to exactly 1, which
  // the second rational piece maps to 6.7662 / 9.7555 = 0.69358.
  session = SetUpPlayer(3, 3);
  for (int k = 0; k < 9; k++) session->scratch.lum[k] = 3.0;
  Tonemapping(session.get(), 48.0, 6.0);  // avLum 3, Lwmax 16
  const double b = std::log((double)0.85f) / -0.693147;
  const double D = std::log(2.0 + 8.0 * std::pow(1.0 / 16.0, b)) * std::log10(17.0);
  EXPECT_NEAR(session->scratch.lum[4] * D, 0.69358, 5e-6);
  EXPECT_EQ(session->adapted[0], 3.0);
  for (int k = 0; k < 9; k++) session->scratch.lum[k] = 4.5;  // next frame, same statistics
  Tonemapping(session.get(), 72.0, 6.0);        // avLum 4.5, Lwmax 16 again
  EXPECT_NEAR(session->scratch.lum[4] * D, 0.69358, 5e-6);
  EXPECT_EQ(session->adapted[0], 4.5);
}

TEST_F(TonemapTest, BiasExponentFollowsTheBiasParameter) {
  // Recovers the bias exponent from a uniform picture's output: the output
  // is N / (ln(2 + 8 (Yw / Lwmax)^b) log10(Lwmax + 1)).
  const struct {
    float param;
    double b, tol;
  } cases[] = {{0.85f, 0.2344652742, 1e-10}, {0.71f, 0.4941, 1e-4}, {0.99f, 0.0145, 1e-4}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.param);
    session = SetUpPlayer(3, 3);
    session->settings.biasParam = c.param;
    for (int k = 0; k < 9; k++) session->scratch.lum[k] = 0.5;
    Tonemapping(session.get(), 2.0, 0.5);  // Yw 2, Lwmax 8 as in the worked example
    const double D = std::log(3.0) / session->scratch.lum[0];
    const double power = (std::exp(D / std::log10(9.0)) - 2.0) / 8.0;
    EXPECT_NEAR(std::log(power) / std::log(0.25), c.b, c.tol);
  }
}

TEST_F(TonemapTest, BlockWhoseValuesAreEqualIsSmooth) {
  Map(3, 3, std::vector<double>(9, 5.0));
  for (int k = 0; k < 9; k++) ExpectCell(3, k % 3, k / 3, 5.0, 5.0);
}

TEST_F(TonemapTest, CornerAtTheMeanKeepsTheBlockSmoothHoweverTheOthersDiffer) {
  // Sum 9: the mean is 9 x 0.1111111111111111, which rounds to exactly 1.
  ASSERT_EQ(9.0 * 0.1111111111111111, 1.0);
  // Corner 1 = mean; the centre 4.5 lends its bias to all nine cells.
  Map(3, 3, {1.0, 0.5, 0.5, 0.5, 4.5, 0.5, 0.5, 0.5, 0.5});
  for (int k = 0; k < 9; k++) {
    const double v = k == 0 ? 1.0 : k == 4 ? 4.5 : 0.5;
    ExpectCell(3, k % 3, k / 3, v, 4.5);
  }
}

TEST_F(TonemapTest, CornerOneAboveTheMeanMakesTheBlockRough) {
  ASSERT_EQ(9.0 * 0.1111111111111111, 1.0);
  // Corner 2, eight cells 0.875: sum 9, mean 1, d = -1 exactly: rough, so
  // the corner takes its own bias instead of the centre's.
  std::vector<double> v(9, 0.875);
  v[0] = 2.0;
  Map(3, 3, v);
  ExpectCell(3, 0, 0, 2.0, 2.0);
  for (int k = 1; k < 9; k++) ExpectCell(3, k % 3, k / 3, 0.875, 0.875);

  // A corner a little lower, d just above -1: smooth, centre's bias.
  v[0] = 1.96875;
  Map(3, 3, v);
  ExpectCell(3, 0, 0, 1.96875, 0.875);
}

TEST_F(TonemapTest, CornerOneBelowTheMeanMakesTheBlockRough) {
  ASSERT_EQ(9.0 * 0.1111111111111111, 1.0);
  // Corner 0, centre 2, seven cells 1: sum 9, mean 1, d = 1 exactly.
  std::vector<double> v(9, 1.0);
  v[0] = 0.0;
  v[4] = 2.0;
  Map(3, 3, v);
  for (int k = 1; k < 9; k++) ExpectCell(3, k % 3, k / 3, v[k], v[k]);
  EXPECT_EQ(Mapped(3, 0, 0), 0.0);

  // d just below 1: smooth, and every cell takes the centre's bias.
  v[0] = 0.0625;
  Map(3, 3, v);
  for (int k = 0; k < 9; k++) ExpectCell(3, k % 3, k / 3, v[k], 2.0);
}

TEST_F(TonemapTest, RationalPiecesMeetAtOneAndTwo) {
  // At Yw = 1 the pieces give 0.7 from below and 0.69358 from above; at
  // Yw = 2, 1.11415 from below and ln 3 from above. The jumps are kept.
  const struct {
    double Yw, N;
  } cases[] = {{1.0 - 0x1p-30, 0.7},
               {1.0, 0.69358},
               {2.0 - 0x1p-30, 1.11415},
               {2.0, 1.0986123},
               {0.25, 0.25 * 6.25 / 7.0},
               {7.0, std::log(8.0)}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Yw);
    Map(3, 3, std::vector<double>(9, c.Yw));
    EXPECT_NEAR(Mapped(3, 1, 1) * D(c.Yw), c.N, 5e-6);
  }
}

TEST_F(TonemapTest, UniformPictureWithClippedBlocksHasNoSeam) {
  // 17 x 16: the last block column is two wide, the last block row one
  // high. Every pixel, clipped block or not, must come out the same, and
  // the same as in a picture without clipped blocks.
  Map(9, 9, std::vector<double>(81, 0.7));
  const double full = Mapped(9, 4, 4);
  for (int sizes : {0, 1, 2}) {
    const int W = sizes == 0 ? 17 : sizes == 1 ? 16 : 4, H = sizes == 0 ? 16 : sizes == 1 ? 17 : 4;
    SCOPED_TRACE(W);
    Map(W, H, std::vector<double>((size_t)W * H, 0.7));
    for (int k = 0; k < W * H; k++) ASSERT_EQ(session->scratch.lum[k], full) << "pixel " << k % W << "," << k / W;
  }
}

TEST_F(TonemapTest, ClippedBlocksUseTheirOwnMeanAndCentre) {
  // 4 x 4: the block at column 3 is one wide (3 cells), the one at row 3
  // one high. Every other cell is 1.
  std::vector<double> v(16, 1.0);
  // Column block: corner 0, then 1.5, 1.5: mean 3 / 3 = 1, d = 1: rough.
  v[3] = 0.0;
  v[7] = 1.5;
  v[11] = 1.5;
  Map(4, 4, v);
  ExpectCell(4, 3, 1, 1.5, 1.5);
  ExpectCell(4, 3, 2, 1.5, 1.5);
  // Corner 0.25: mean 3.25 / 3, d = 0.8333: smooth. Its centre (4, 1) is
  // outside the picture, so the corner lends its bias.
  v[3] = 0.25;
  Map(4, 4, v);
  ExpectCell(4, 3, 0, 0.25, 0.25);
  ExpectCell(4, 3, 1, 1.5, 0.25);
  ExpectCell(4, 3, 2, 1.5, 0.25);
  // Row block at row 3: corner 0.5 then 1, 1: smooth, corner's bias.
  v[12] = 0.5;
  Map(4, 4, v);
  ExpectCell(4, 1, 3, 1.0, 0.5);
  ExpectCell(4, 2, 3, 1.0, 0.5);

  // 5 x 5: the blocks at column 3 are two wide, so their centre (4, y + 1)
  // lies inside the picture wherever the block has a second row.
  std::vector<double> w(25, 0.75);
  w[3] = 1.0;           // corner (3, 0)
  w[1 * 5 + 4] = 2.5;   // centre (4, 1): mean 6.5 / 6, smooth
  w[3 * 5 + 3] = 1.0;   // corner (3, 3) of the 2 x 2 block
  w[4 * 5 + 4] = 3.0;   // its centre (4, 4)
  w[3 * 5 + 4] = 1.0;
  w[4 * 5 + 3] = 1.0;
  Map(5, 5, w);
  ExpectCell(5, 3, 0, 1.0, 2.5);
  ExpectCell(5, 4, 2, 0.75, 2.5);
  ExpectCell(5, 4, 1, 2.5, 2.5);
  ExpectCell(5, 3, 3, 1.0, 3.0);
  ExpectCell(5, 4, 4, 3.0, 3.0);
}

TEST_F(TonemapTest, ColourIsReconstructedAroundTheDisplayLuminance) {
  const struct {
    float c[3];
  } colours[] = {{{3, 2, 1}},   {{1, 3, 2}},       {{1, 2, 3}},   {{2, 2, 1}},
                 {{2, 1, 2}},   {{1, 2, 2}},       {{2, 2, 0}},   {{0, 4, 0}},
                 {{0, 0, 0.5f}}, {{4, 0, 0}},      {{5, 0, 5}},   {{1e-6f, 1e-6f, 1e-6f}},
                 {{0.25f, 1e-6f, 7e5f}}};
  const int n = sizeof colours / sizeof colours[0];
  session = SetUpPlayer(n, 1);
  for (int k = 0; k < n; k++) {
    memcpy(session->scratch.fframe + 3 * k, colours[k].c, sizeof colours[k].c);
    session->scratch.lum[k] = 0.125 * (k + 1);
  }
  PixelOutTmo(session.get());
  for (int k = 0; k < n; k++) {
    const float *c = colours[k].c;
    const double Y = 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2];
    for (int i = 0; i < 3; i++) {
      const double want = session->scratch.lum[k] * c[i] / Y;
      EXPECT_NEAR(Out()[3 * k + i], want, 1e-6 * session->scratch.lum[k] / 0.0722) << "pixel " << k << " component " << i;
      EXPECT_TRUE(std::isfinite(Out()[3 * k + i]));
    }
  }
  // Equal components: all three are the display luminance.
  EXPECT_NEAR(Out()[3 * 11], session->scratch.lum[11], 1e-7);
  EXPECT_EQ(Out()[3 * 11], Out()[3 * 11 + 2]);
}

TEST_F(TonemapTest, ColourlessPixelComesOutBlack) {
  session = SetUpPlayer(2, 1);
  for (int i = 0; i < 6; i++) session->scratch.fframe[i] = 0.0f;
  session->scratch.lum[0] = 0.4;
  session->scratch.lum[1] = 0.0;
  for (int i = 0; i < 6; i++) Out()[i] = 99.0f;
  PixelOutTmo(session.get());
  for (int i = 0; i < 6; i++) EXPECT_EQ(Out()[i], 0.0f) << i;
}

TEST_F(TonemapTest, PlainPathScalesByPowersOfTwoExactly) {
  // A decoded picture with every exponent, black and zero pixels.
  session = SetUpPlayer(64, 4);
  for (size_t k = 0; k < session->movie.npixels; k++) {
    unsigned char *p = session->shown->rgbe + 4 * k;
    p[0] = (unsigned char)(k * 7 + 3);
    p[1] = (unsigned char)(k * 13);
    p[2] = (unsigned char)(255 - k);
    p[3] = (unsigned char)(k % 256);
  }
  LoadFrame(session.get());
  session->settings.exposure = 0.0f;
  PixelOut(session.get());
  EXPECT_EQ(memcmp(Out(), session->scratch.fframe, 12 * session->movie.npixels), 0);
  for (float stops : {-1.0f, 1.0f, 3.0f}) {
    SCOPED_TRACE(stops);
    session->settings.exposure = stops;
    PixelOut(session.get());
    for (size_t i = 0; i < 3 * session->movie.npixels; i++)
      ASSERT_EQ(Out()[i], std::ldexp(session->scratch.fframe[i], (int)stops)) << i;
  }
  session->settings.exposure = 0.5f;
  PixelOut(session.get());
  for (size_t i = 0; i < 3 * session->movie.npixels; i++)
    ASSERT_NEAR(Out()[i], session->scratch.fframe[i] * std::sqrt(2.0), 1e-7 * session->scratch.fframe[i] + 1e-44) << i;
}

}  // namespace
