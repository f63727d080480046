// Pictures converted on many threads at once give what one thread gives:
// the same status, messages, statistics and pixels for every kind of
// picture, good or broken. Run under ThreadSanitizer, this is the check
// that the workers share nothing they write (their workspaces, colour
// tables and message streams are their own).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <random>
#include <string>
#include <vector>

#if HALVORN_OPENEXR
#include <ImfRgbaFile.h>
#endif

#include "builder.h"
#include "pool.h"
#include "rgbe.h"

namespace {

constexpr int W = 64, H = 40;

std::string dir;

std::vector<float> Scene(unsigned seed, bool wild) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-8.0f, 8.0f);
  std::vector<float> img(3 * (size_t)W * H);
  for (size_t i = 0; i < img.size(); i++) img[i] = (i / 3) % 7 == 0 ? 0.5f : std::exp2(u(rng));
  if (wild) {
    img[5] = -1.0f;
    img[40] = NAN;
    img[99] = INFINITY;
  }
  return img;
}

std::string Path(const std::string &name) { return dir + "/" + name; }

void WriteFile(const std::string &name, const std::string &bytes) {
  FILE *fp = fopen(Path(name).c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), fp);
  fclose(fp);
}

// The .hdr route of the same floats: written by the codec after the values
// RGBE cannot hold are clamped.
void WriteHdr(const std::string &name, const std::vector<float> &img, int height = H) {
  std::vector<float> clamped = img;
  for (float &v : clamped) {
    if (!(v >= 0.0f)) v = 0.0f;
    if (v > RGBE_LARGEST) v = RGBE_LARGEST;
  }
  FILE *fp = fopen(Path(name).c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  RGBE_WriteHeader(fp, W, height, nullptr);
  RGBE_WritePixels_RLE(fp, clamped.data(), W, height);
  fclose(fp);
}

std::string Pfm(const std::vector<float> &img) {
  std::string out = "PF\n" + std::to_string(W) + " " + std::to_string(H) + "\n-1.0\n";
  for (int y = H - 1; y >= 0; y--) out.append((const char *)&img[3 * (size_t)y * W], 12 * (size_t)W);
  return out;
}

#if HALVORN_OPENEXR
void WriteExr(const std::string &name, const std::vector<float> &img) {
  std::vector<Imf::Rgba> pixels((size_t)W * H);
  for (size_t i = 0; i < pixels.size(); i++) pixels[i] = Imf::Rgba(img[3 * i], img[3 * i + 1], img[3 * i + 2]);
  Imf::RgbaOutputFile file(Path(name).c_str(), W, H, Imf::WRITE_RGB);
  file.setFrameBuffer(pixels.data(), 1, W);
  file.writePixels(H);
}
#endif

// Every kind of picture, good and broken.
std::vector<std::string> Pictures() {
  std::vector<std::string> names;
  for (unsigned k = 0; k < 3; k++) {
    const std::vector<float> img = Scene(k, k == 1);
    WriteHdr("p" + std::to_string(k) + ".hdr", img);
    WriteFile("p" + std::to_string(k) + ".pfm", Pfm(img));
    names.push_back("p" + std::to_string(k) + ".hdr");
    names.push_back("p" + std::to_string(k) + ".pfm");
#if HALVORN_OPENEXR
    WriteExr("p" + std::to_string(k) + ".exr", img);
    names.push_back("p" + std::to_string(k) + ".exr");
#endif
  }
  const std::string pfm = Pfm(Scene(9, false));
  WriteFile("cut.pfm", pfm.substr(0, pfm.size() - 5));
  WriteFile("bad.pfm", "PF\n64 40\nnan\n");
  WriteFile("empty", "");
  WriteFile("exr_cut.exr", std::string("\x76\x2f\x31\x01\x02\x00\x00\x00", 8));
  WriteHdr("tall.hdr", Scene(10, false), H - 1);
  names.insert(names.end(), {"cut.pfm", "bad.pfm", "empty", "missing", "exr_cut.exr", "tall.hdr", ""});
  return names;
}

struct Outcome {
  PictureStatus status;
  std::string messages, shown;
  double maxLum, logAv;
  std::vector<unsigned char> pixels;
};

Outcome Convert(const std::string &name, PictureView view, const std::string &other) {
  PictureJob job;
  job.name = name.empty() ? name : Path(name);
  job.other = other.empty() ? other : Path(other);
  job.view = view;
  job.size = {W, H};
  ProcessImage(&job);
  Outcome o;
  o.status = job.status;
  o.messages = job.messages;
  o.shown = job.shown;
  o.maxLum = o.logAv = -1.0;
  if (job.status == PICTURE_READ) {
    o.maxLum = job.maxLum;
    o.logAv = job.logAv;
    o.pixels.assign(job.pixels.get(), job.pixels.get() + 4 * (size_t)W * H);
  }
  return o;
}

void ExpectSame(const Outcome &a, const Outcome &b, const std::string &what) {
  EXPECT_EQ(a.status, b.status) << what;
  EXPECT_EQ(a.messages, b.messages) << what;
  EXPECT_EQ(a.shown, b.shown) << what;
  EXPECT_EQ(a.maxLum, b.maxLum) << what;
  EXPECT_EQ(a.logAv, b.logAv) << what;
  EXPECT_TRUE(a.pixels == b.pixels) << what;
}

class ProcessImageTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/halvpack-process-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  static void TearDownTestSuite() {
    std::string command = "rm -rf '" + dir + "'";
    if (system(command.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", dir.c_str());
  }
};

TEST_F(ProcessImageTest, KindsStatusesAndMessages) {
  const std::vector<std::string> names = Pictures();
  const Outcome hdr = Convert("p1.hdr", VIEW_DEFAULT, "");
  EXPECT_EQ(hdr.status, PICTURE_READ);
  EXPECT_EQ(hdr.messages.find(" maxLum "), 0u) << hdr.messages;
  // The PFM picture of the same floats: the same record, and its clamped
  // pixels are counted.
  const Outcome pfm = Convert("p1.pfm", VIEW_DEFAULT, "");
  EXPECT_EQ(pfm.pixels, hdr.pixels);
  EXPECT_EQ(pfm.logAv, hdr.logAv);
  EXPECT_NE(pfm.messages.find("Values RGBE cannot hold: 2 pixels negative or NaN set to 0, 1 pixels above"),
            std::string::npos)
      << pfm.messages;
  EXPECT_EQ(Convert("cut.pfm", VIEW_DEFAULT, "").status, PICTURE_FAILED);
  EXPECT_EQ(Convert("bad.pfm", VIEW_DEFAULT, "").messages, "PFM bad file format: bad scale\n");
  EXPECT_EQ(Convert("missing", VIEW_DEFAULT, "").messages, "");
  const Outcome tall = Convert("tall.hdr", VIEW_DEFAULT, "");
  EXPECT_EQ(tall.status, PICTURE_WRONG_SIZE);
  EXPECT_EQ(tall.messages, "The images have a different sixe than requested \n");
  EXPECT_EQ(Convert("empty", VIEW_DEFAULT, "").messages, "RGBE read error: Success\n");
  // A right eye whose file holds no stereo pair is the other picture.
  const Outcome right = Convert("p1.pfm", VIEW_RIGHT, "p1.hdr");
  EXPECT_EQ(right.shown, Path("p1.hdr"));
  EXPECT_EQ(right.pixels, hdr.pixels);
  const Outcome nothing = Convert("p1.pfm", VIEW_RIGHT, "");
  EXPECT_EQ(nothing.status, PICTURE_FAILED);
  EXPECT_EQ(nothing.shown, "");
#if HALVORN_OPENEXR
  const Outcome exr = Convert("p1.exr", VIEW_DEFAULT, "");
  EXPECT_EQ(exr.status, PICTURE_READ) << exr.messages;
  EXPECT_EQ(Convert("exr_cut.exr", VIEW_DEFAULT, "").messages.find("OpenEXR error: "), 0u);
#endif
}

TEST_F(ProcessImageTest, ManyThreadsGiveWhatOneThreadGives) {
  const std::vector<std::string> names = Pictures();
  std::vector<Outcome> alone;
  for (const std::string &name : names) alone.push_back(Convert(name, VIEW_DEFAULT, ""));
  for (unsigned threads : {2u, 5u}) {
    WorkerPool pool(threads);
    // Every picture several times over, interleaved, so that the threads'
    // tables and buffers serve every kind and size in turn.
    const size_t rounds = 4;
    std::vector<Outcome> outcomes(rounds * names.size());
    std::vector<std::future<void>> done;
    for (size_t i = 0; i < outcomes.size(); i++)
      done.push_back(pool.Submit([&, i] { outcomes[i] = Convert(names[i % names.size()], VIEW_DEFAULT, ""); }));
    for (auto &d : done) d.get();
    for (size_t i = 0; i < outcomes.size(); i++) ExpectSame(outcomes[i], alone[i % names.size()], names[i % names.size()]);
  }
}

}  // namespace
