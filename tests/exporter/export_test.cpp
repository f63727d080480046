// The export of a range of frames against the player itself: every frame's
// bytes at gamma 1 are the ones the player's window takes when it steps to
// that frame from frame 0 with the same settings (causal and look-ahead
// adaptation, corrupt statistics, stereo pairs, byte-swapped statistics),
// whatever the range and the thread count; truncated movies, failed writes
// and interruptions leave the frames before them and nothing else.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core_fixture.h"
#include "exporter.h"
#include "lookahead.h"

namespace {

constexpr int W = 12, H = 9;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

struct Stats {
  double maxLum, logAv;
};

// A picture of a wide range (exponents from 2^-16 to 2^3 of the mantissas)
// that differs from frame to frame and eye to eye.
Record Picture(int frame, int eye, Stats stats) {
  Record r;
  r.maxLum = stats.maxLum;
  r.logAv = stats.logAv;
  r.pixels.resize(4 * (size_t)W * H);
  for (size_t p = 0; p < (size_t)W * H; p++) {
    r.pixels[4 * p] = (uint8_t)(20 + (p * 37 + frame * 11 + eye * 5) % 230);
    r.pixels[4 * p + 1] = (uint8_t)(10 + (p * 53 + frame * 7 + eye * 3) % 240);
    r.pixels[4 * p + 2] = (uint8_t)(30 + (p * 29 + frame * 3) % 200);
    r.pixels[4 * p + 3] = (uint8_t)(128 + (p * 7 + frame + 3 * eye) % 20);
  }
  return r;
}

// Statistics of eye 0 and eye 1 over 10 frames: a cut at frame 5, flicker,
// a NaN record in the left eye at frame 3 and the right eye at frame 7, and
// a right eye whose first record is corrupt (a black first frame).
std::vector<Stats> LeftStats() {
  return {{40, 0.5}, {42, 0.55}, {38, 0.5}, {NaN, 0.52}, {41, 0.6},
          {900, 9.0}, {950, 9.5}, {870, 8.8}, {910, 9.1}, {905, 9.0}};
}
std::vector<Stats> RightStats() {
  return {{30, -1.0}, {31, 0.4}, {29, 0.42}, {33, 0.38}, {30, 0.4},
          {32, 0.41}, {31, 0.4}, {35, NaN}, {300, 4.0}, {310, 4.2}};
}

struct Movie {
  std::string path;
  int eyes, frames;
  bool swapped;
  std::shared_ptr<MovieFile> file;  // opened as halvexport opens it
};

// The fixture swaps a movie's statistics, not its header: the movie is
// taken with the header it was written with.
std::shared_ptr<MovieFile> Open(const std::string &path, int eyes, int frames, bool swapped) {
  std::shared_ptr<MovieFile> file(new MovieFile, [](MovieFile *f) {
    CloseMovieFile(f);
    delete f;
  });
  MovieHeader header{};
  header.width = W;
  header.height = H;
  header.format = MOVIE_FORMAT;
  header.eyes = (uint8_t)eyes;
  header.nframes = frames;
  const int fd = open(path.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0) << path;
  AdoptMovieFile(file.get(), fd, header, swapped ? 1 : 0);
  return file;
}

Movie WriteTestMovie(const std::string &name, int eyes, bool swapped = false, size_t cut = 0) {
  const std::vector<Stats> left = LeftStats(), right = RightStats();
  std::vector<Record> records;
  for (size_t k = 0; k < left.size(); k++) {
    records.push_back(Picture((int)k, 0, left[k]));
    if (eyes == 2) records.push_back(Picture((int)k, 1, right[k]));
  }
  const int n = (int)left.size();
  const std::string path = WriteMovie(name, W, H, eyes, n, records, swapped, cut);
  return {path, eyes, n, swapped, Open(path, eyes, n, swapped)};
}

// The player's bytes of every frame when it steps through the movie from
// frame 0 (one entry per eye shown).
struct Settings {
  int tmo = 1;
  float exposure = 0.0f;
  int lookahead = 0, radius = 6;
};

std::vector<std::vector<std::vector<unsigned char>>> PlayerFrames(const Movie &m, const Settings &s, int upto) {
  std::unique_ptr<Session> session = OpenMovie(m.path, W, H, m.eyes, m.frames, m.swapped ? 1 : 0);
  session->settings.tmo = s.tmo;
  session->settings.exposure = s.exposure;
  session->settings.lookahead = s.lookahead;
  session->settings.radius = s.radius;
  session->settings.bytes = 1;
  EXPECT_EQ(AllocateShownBytes(session.get()), BUFFERS_ALLOCATED);
  const size_t npixels = session->movie.npixels;
  std::vector<std::vector<std::vector<unsigned char>>> frames;
  for (int k = 0; k <= upto; k++) {
    EXPECT_EQ(HandleNextFrame(session.get(), k), 1) << k;
    EXPECT_EQ(session->currentframe, k);
    std::vector<std::vector<unsigned char>> eyes;
    for (int eye = 0; eye < ShownEyes(*session); eye++) {
      const unsigned char *shown = session->shown->bytes[eye];
      std::vector<unsigned char> rgb(3 * npixels);
      for (size_t i = 0; i < 3 * npixels; i++) rgb[i] = DisplayComponent(shown, i / 3, (int)(i % 3));
      eyes.push_back(rgb);
    }
    frames.push_back(eyes);
  }
  return frames;
}

// What an export run printed and wrote.
struct Outcome {
  ExportResult result;
  std::vector<std::string> report;
  std::vector<std::string> pictures;  // the PPM stream's pictures, headers included
  int64_t progressed = 0;
};

ExportJob Job(const Movie &m, const Settings &s) {
  ExportJob job;
  job.path = m.path;
  job.movie = m.file.get();
  job.tmo = s.tmo;
  job.exposure = s.exposure;
  job.lookahead = s.lookahead;
  job.radius = s.radius;
  job.first = 0;
  job.last = m.frames - 1;
  job.gamma = 1.0;
  job.depth = 8;
  job.stream = true;
  return job;
}

Outcome Export(ExportJob job) {
  Outcome o;
  const std::string streampath = ::testing::TempDir() + "exporter_stream_" + std::to_string(getpid());
  if (job.stream) {
    job.streamfd = open(streampath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(job.streamfd, 0);
  }
  job.report = [&o](const std::string &line) { o.report.push_back(line); };
  job.progress = [&o](int64_t done, int64_t) { o.progressed = done; };
  o.result = ExportFrames(job);
  if (job.stream) {
    std::string all;
    char buffer[4096];
    lseek(job.streamfd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(job.streamfd, buffer, sizeof buffer)) > 0) all.append(buffer, (size_t)n);
    close(job.streamfd);
    unlink(streampath.c_str());
    const std::string header = PpmHeader(ExportWidth(job.movie->header, job.eye), H, job.depth);
    const size_t size = header.size() + 3 * (size_t)ExportWidth(job.movie->header, job.eye) * H * (job.depth / 8);
    EXPECT_EQ(all.size() % size, 0u);
    for (size_t at = 0; at + size <= all.size(); at += size) {
      EXPECT_EQ(all.compare(at, header.size(), header), 0);
      o.pictures.push_back(all.substr(at + header.size(), size - header.size()));
    }
  }
  return o;
}

// The player's eyes of a frame, bottom row first, as the export writes them:
// top row first, side by side.
std::string AsExported(const std::vector<std::vector<unsigned char>> &eyes, const std::vector<int> &which) {
  const size_t row = 3 * (size_t)W;
  std::string picture;
  for (int y = H - 1; y >= 0; y--)
    for (int e : which) picture.append((const char *)eyes[(size_t)e].data() + (size_t)y * row, row);
  return picture;
}

class ExportCore : public CoreTest {};

}  // namespace

TEST_F(ExportCore, EveryFrameIsThePlayersAtAnyThreadCount) {
  const Movie m = WriteTestMovie("mono", 1);
  for (const Settings &s : {Settings{1, 0.0f, 0, 6}, Settings{1, 1.5f, 0, 6}, Settings{0, -0.7f, 0, 6},
                            Settings{1, 0.0f, 1, 2}, Settings{1, 0.0f, 1, 0}}) {
    SCOPED_TRACE(testing::Message() << "tmo " << s.tmo << ", exposure " << s.exposure << ", look-ahead "
                                    << s.lookahead << " R " << s.radius);
    const auto player = PlayerFrames(m, s, m.frames - 1);
    for (unsigned threads : {1u, 2u, 3u, 8u}) {
      ExportJob job = Job(m, s);
      job.threads = threads;
      const Outcome o = Export(job);
      EXPECT_EQ(o.result, EXPORT_DONE);
      EXPECT_TRUE(o.report.empty());
      EXPECT_EQ(o.progressed, m.frames);
      ASSERT_EQ(o.pictures.size(), (size_t)m.frames);
      for (int k = 0; k < m.frames; k++)
        EXPECT_EQ(o.pictures[(size_t)k], AsExported(player[(size_t)k], {0})) << "frame " << k << ", " << threads
                                                                             << " threads";
    }
  }
}

TEST_F(ExportCore, PqPicturesAndLightLevelsAtAnyThreadCount) {
  // Without tone mapping or exposure, a pixel's light is its decoded value
  // times -nits: the expected samples and levels from the records.
  const Movie m = WriteTestMovie("pq", 2);
  const std::vector<Stats> left = LeftStats(), right = RightStats();
  const double nits = 250.0, peak = 1000.0;
  std::vector<std::string> pictures;
  LightLevels want;
  for (int k = 0; k < m.frames; k++) {
    std::vector<float> light[2];
    FrameLight frame;
    for (int eye = 0; eye < 2; eye++) {
      const Record r = Picture(k, eye, (eye == 0 ? left : right)[(size_t)k]);
      light[eye].resize(3 * (size_t)W * H);
      for (size_t p = 0; p < (size_t)W * H; p++) DecodePlayerPixel(&r.pixels[4 * p], &light[eye][3 * p]);
      ToPqLight(light[eye].data(), (size_t)W * H, nits, peak, 0, &frame);
    }
    want.maxcll = std::max(want.maxcll, frame.brightest);
    want.maxfall = std::max(want.maxfall, frame.sum / (2.0 * W * H));
    std::string picture;
    for (int y = H - 1; y >= 0; y--)
      for (int eye = 0; eye < 2; eye++)
        for (int i = 0; i < 3 * W; i++) {
          const uint32_t sample = PqSampleByDefinition(light[eye][3 * ((size_t)y * W) + (size_t)i]);
          picture += (char)(sample >> 8);
          picture += (char)(sample & 255);
        }
    pictures.push_back(picture);
  }
  EXPECT_GT(want.maxcll, 0.0);
  for (int tmo : {0, 1}) {
    LightLevels first;
    for (unsigned threads : {1u, 3u}) {
      for (bool measure : {false, true}) {
        SCOPED_TRACE(testing::Message() << "tmo " << tmo << ", " << threads << " threads, -n " << measure);
        ExportJob job = Job(m, Settings{tmo, 0.0f, 0, 6});
        job.pq = true;
        job.depth = 16;
        job.nits = nits;
        job.peak = peak;
        job.threads = threads;
        job.measure_only = measure;
        LightLevels levels;
        job.levels = &levels;
        const Outcome o = Export(job);
        EXPECT_EQ(o.result, EXPORT_DONE);
        EXPECT_EQ(o.pictures.size(), measure ? 0u : (size_t)m.frames);
        if (tmo == 0 && !measure) {
          EXPECT_EQ(o.pictures, pictures);
        }
        if (tmo == 0) {
          EXPECT_EQ(levels.maxcll, want.maxcll);
          EXPECT_EQ(levels.maxfall, want.maxfall);
        }
        if (threads == 1 && !measure) first = levels;
        EXPECT_EQ(levels.maxcll, first.maxcll);
        EXPECT_EQ(levels.maxfall, first.maxfall);
        EXPECT_LE(levels.maxcll, peak);
      }
    }
  }
}

TEST_F(ExportCore, RangeStartsWithTheAdaptationOfFrameZeroOn) {
  const Movie m = WriteTestMovie("range", 2);
  for (const Settings &s : {Settings{1, 0.0f, 0, 6}, Settings{1, 0.0f, 1, 3}}) {
    const auto player = PlayerFrames(m, s, m.frames - 1);
    for (const auto &range : {std::pair<int, int>{4, 6}, {9, 9}, {0, 0}, {3, 9}}) {
      SCOPED_TRACE(testing::Message() << "look-ahead " << s.lookahead << ", frames " << range.first << " to "
                                      << range.second);
      ExportJob job = Job(m, s);
      job.first = range.first;
      job.last = range.second;
      job.threads = 2;
      const Outcome o = Export(job);
      EXPECT_EQ(o.result, EXPORT_DONE);
      ASSERT_EQ(o.pictures.size(), (size_t)(range.second - range.first + 1));
      for (int k = range.first; k <= range.second; k++)
        EXPECT_EQ(o.pictures[(size_t)(k - range.first)], AsExported(player[(size_t)k], {0, 1})) << "frame " << k;
    }
  }
}

TEST_F(ExportCore, EyesOfAPair) {
  const Movie m = WriteTestMovie("eyes", 2, true);  // statistics byte-swapped too
  const Settings s;
  const auto player = PlayerFrames(m, s, m.frames - 1);
  // The right eye's first frame is black: its record is corrupt.
  EXPECT_EQ(player[0][1], std::vector<unsigned char>(3 * (size_t)W * H, 0));
  const struct {
    ExportEye eye;
    std::vector<int> shown;
  } cases[] = {{EXPORT_BOTH, {0, 1}}, {EXPORT_LEFT, {0}}, {EXPORT_RIGHT, {1}}};
  for (const auto &c : cases) {
    ExportJob job = Job(m, s);
    job.eye = c.eye;
    job.first = 2;
    job.threads = 3;
    const Outcome o = Export(job);
    EXPECT_EQ(o.result, EXPORT_DONE);
    ASSERT_EQ(o.pictures.size(), (size_t)m.frames - 2);
    for (int k = 2; k < m.frames; k++)
      EXPECT_EQ(o.pictures[(size_t)k - 2], AsExported(player[(size_t)k], c.shown)) << "frame " << k;
  }
}

TEST_F(ExportCore, TruncatedMovieWritesTheFramesBeforeTheCut) {
  // The last 100 bytes of frame 9 and the whole of nothing else are gone:
  // frames 0 to 8 are whole.
  const Movie m = WriteTestMovie("cut", 1, false, 100);
  const Settings s;
  const auto player = PlayerFrames(m, s, 8);
  for (unsigned threads : {1u, 2u}) {
    ExportJob job = Job(m, s);
    job.first = 6;
    job.threads = threads;
    Outcome o = Export(job);
    EXPECT_EQ(o.result, EXPORT_FAILED);
    ASSERT_EQ(o.pictures.size(), 3u);
    for (int k = 6; k <= 8; k++) EXPECT_EQ(o.pictures[(size_t)k - 6], AsExported(player[(size_t)k], {0}));
    ASSERT_EQ(o.report.size(), 2u);
    EXPECT_EQ(o.report[0], "Frame 9 is not in the movie: the file holds 9 complete frames of the 10 its header "
                           "announces (a truncated file)");
    EXPECT_EQ(o.report[1], "Stopped: frames 6 to 8 were written");
    // A cut after the last frame asked for is no failure.
    job.last = 8;
    o = Export(job);
    EXPECT_EQ(o.result, EXPORT_DONE);
    EXPECT_EQ(o.pictures.size(), 3u);
    EXPECT_TRUE(o.report.empty());
    // A range wholly after the cut: nothing written.
    job.first = 9;
    job.last = 9;
    o = Export(job);
    EXPECT_EQ(o.result, EXPORT_FAILED);
    EXPECT_TRUE(o.pictures.empty());
    ASSERT_EQ(o.report.size(), 2u);
    EXPECT_EQ(o.report[1], "Stopped: no frame was written");
  }
}

namespace {

std::set<std::string> Folder(const std::string &dir) {
  std::set<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent *e = readdir(d))
    if (e->d_name[0] != '.' || (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0))
      names.insert(e->d_name);
  closedir(d);
  return names;
}

void Empty(const std::string &dir) {
  for (const std::string &name : Folder(dir)) unlink((dir + "/" + name).c_str());
}

}  // namespace

TEST_F(ExportCore, PngFilesByPatternAndNothingElse) {
  const Movie m = WriteTestMovie("png", 1);
  const std::string dir = ::testing::TempDir() + "exporter_png_" + std::to_string(getpid());
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  ExportJob job = Job(m, Settings());
  job.stream = false;
  ASSERT_EQ(ParseOutputPattern(dir + "/frame_%05d.png", &job.pattern), "");
  job.first = 7;
  job.threads = 2;
  Outcome o = Export(job);
  EXPECT_EQ(o.result, EXPORT_DONE);
  EXPECT_EQ(Folder(dir), (std::set<std::string>{"frame_00007.png", "frame_00008.png", "frame_00009.png"}));

  // Stopped after two frames (the flag a signal handler sets): those two,
  // nothing unfinished left.
  Empty(dir);
  volatile sig_atomic_t stop = 0;
  job.stop = &stop;
  job.first = 0;
  ExportJob stopping = job;
  Outcome p;
  stopping.report = [&p](const std::string &line) { p.report.push_back(line); };
  stopping.progress = [&stop](int64_t done, int64_t) {
    if (done == 2) stop = 1;
  };
  EXPECT_EQ(ExportFrames(stopping), EXPORT_INTERRUPTED);
  EXPECT_EQ(Folder(dir), (std::set<std::string>{"frame_00000.png", "frame_00001.png"}));
  ASSERT_EQ(p.report.size(), 2u);
  EXPECT_EQ(p.report[0], "Interrupted");
  EXPECT_EQ(p.report[1], "Stopped: frames 0 to 1 were written");

  // Stopped before it began (during the statistics of the adaptation):
  // nothing written, the same two lines.
  Empty(dir);
  stop = 1;
  p.report.clear();
  stopping.progress = nullptr;
  EXPECT_EQ(ExportFrames(stopping), EXPORT_INTERRUPTED);
  EXPECT_TRUE(Folder(dir).empty());
  ASSERT_EQ(p.report.size(), 2u);
  EXPECT_EQ(p.report[0], "Interrupted");
  EXPECT_EQ(p.report[1], "Stopped: no frame was written");

  // A folder that is not there: the first frame fails, with its name.
  Empty(dir);
  job.stop = nullptr;
  ASSERT_EQ(ParseOutputPattern(dir + "/absent/frame_%d.png", &job.pattern), "");
  o = Export(job);
  EXPECT_EQ(o.result, EXPORT_FAILED);
  ASSERT_EQ(o.report.size(), 2u);
  EXPECT_EQ(o.report[0], "Failed to write \"" + dir + "/absent/frame_0.png\" (frame 0): " + strerror(ENOENT));
  EXPECT_EQ(o.report[1], "Stopped: no frame was written");
  EXPECT_TRUE(Folder(dir).empty());
  rmdir(dir.c_str());
}

TEST_F(ExportCore, FullDeviceStopsTheStream) {
  const Movie m = WriteTestMovie("full", 1);
  ExportJob job = Job(m, Settings());
  job.streamfd = open("/dev/full", O_WRONLY);
  if (job.streamfd < 0) GTEST_SKIP() << "no /dev/full";
  std::vector<std::string> report;
  job.report = [&report](const std::string &line) { report.push_back(line); };
  job.threads = 2;
  EXPECT_EQ(ExportFrames(job), EXPORT_FAILED);
  close(job.streamfd);
  ASSERT_EQ(report.size(), 2u);
  EXPECT_EQ(report[0], std::string("Failed to write the PPM stream to the standard output (frame 0): ") +
                           strerror(ENOSPC));
}

TEST_F(ExportCore, FailedReadsNameTheFrameAndTheReason) {
  const Movie m = WriteTestMovie("unreadable", 1);
  // The movie on a descriptor that cannot be read: every read fails with EBADF.
  MovieFile writeonly;
  AdoptMovieFile(&writeonly, open(m.path.c_str(), O_WRONLY), m.file->header, 0);
  const struct {
    int tmo, lookahead;
    const MovieFile *movie;
    std::string path, message;
  } cases[] = {
      {1, 0, &writeonly, m.path, std::string("Failed to read the statistics of frame 0: ") + strerror(EBADF)},
      {0, 0, &writeonly, m.path, std::string("Failed to read frame 0: ") + strerror(EBADF)},
  };
  for (const auto &c : cases) {
    ExportJob job = Job(m, Settings{c.tmo, 0.0f, c.lookahead, 6});
    job.movie = c.movie;
    job.path = c.path;
    job.threads = 2;
    const Outcome o = Export(job);
    EXPECT_EQ(o.result, EXPORT_FAILED);
    EXPECT_TRUE(o.pictures.empty());
    ASSERT_FALSE(o.report.empty());
    EXPECT_EQ(o.report[0], c.message);
  }
  CloseMovieFile(&writeonly);
}
