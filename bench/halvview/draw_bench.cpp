// Drawing one picture in a GLUT window and showing it, with no conversion
// at all: glDrawPixels of a picture already converted, then the buffer
// swap, at 720x486, 1920x1080 and 3840x2160, in the player's uploads:
//   bgra   display bytes, blue, green, red, alpha (8-bit colour buffers)
//   rgb    RGB bytes, the upload's former layout
//   float  RGB floats (colour buffers deeper than 8 bits)
// The time per frame is the ceiling that playback meets when converting
// costs nothing; with a software GL library it is spent on the same cores
// as the conversion. Needs an X server with room for a 3840 x 2160 window:
//   Xvfb :97 -screen 0 3900x2200x24 &
//   DISPLAY=:97 build-dir/bench/halvview/halvview_draw_bench --benchmark_repetitions=3
// Under Xvfb and Mesa's software rasteriser the 3840 x 2160 draws are
// erratic: the first seconds of them in a process can take ten or twenty
// times as long as later ones, hence the repetitions.
#include <GL/freeglut.h>
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

enum Upload { UPLOAD_BGRA = 0, UPLOAD_RGB = 1, UPLOAD_FLOAT = 2 };

int window = 0;

// A picture of varied values, so that nothing is drawn from a constant.
template <class T>
std::vector<T> Picture(size_t values, T scale) {
  std::vector<T> picture(values);
  unsigned x = 12345;
  for (T &v : picture) {
    x = x * 1103515245u + 12345u;
    v = (T)((x >> 16) % 256) * scale;
  }
  return picture;
}

void Draw(benchmark::State &state) {
  const int W = (int)state.range(0), H = (int)state.range(1);
  const Upload upload = (Upload)state.range(2);
  glutReshapeWindow(W, H);
  for (int i = 0; i < 20; i++) glutMainLoopEvent();  // let the window take its size
  if (glutGet(GLUT_WINDOW_WIDTH) != W || glutGet(GLUT_WINDOW_HEIGHT) != H) {
    state.SkipWithError("the X screen is too small for the window");
    return;
  }
  const size_t n = (size_t)W * H;
  // One picture drawn again and again, or a movie's worth drawn in turn as
  // playback draws them (the GL library may keep what it made of the last
  // picture when the same one comes again).
  const int pictures = (int)state.range(3);
  std::vector<std::vector<unsigned char>> bytes;
  std::vector<std::vector<float>> floats;
  for (int k = 0; k < pictures; k++) {
    if (upload == UPLOAD_FLOAT)
      floats.push_back(Picture<float>(3 * n, (1.0f + k) / 255 / pictures));
    else
      bytes.push_back(Picture<unsigned char>((upload == UPLOAD_BGRA ? 4 : 3) * n, 1));
  }
  int k = 0;
  glViewport(0, 0, W, H);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  for (auto _ : state) {
    glRasterPos2f(-1.0f, -1.0f);
    if (upload == UPLOAD_BGRA)
      glDrawPixels(W, H, GL_BGRA, GL_UNSIGNED_BYTE, bytes[k].data());
    else if (upload == UPLOAD_RGB)
      glDrawPixels(W, H, GL_RGB, GL_UNSIGNED_BYTE, bytes[k].data());
    else
      glDrawPixels(W, H, GL_RGB, GL_FLOAT, floats[k].data());
    k = (k + 1) % pictures;
    glutSwapBuffers();
    glFinish();
  }
  state.counters["fps"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}

void HandleDisplay() {}

}  // namespace

int main(int argc, char **argv) {
  // The player's heap settings: the GL library's picture-sized buffers are
  // reused instead of mapped and zeroed afresh at every draw.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  glutInit(&argc, argv);
  glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGBA);
  glutInitWindowSize(720, 486);
  window = glutCreateWindow("draw bench");
  glutDisplayFunc(HandleDisplay);
  for (int i = 0; i < 20; i++) glutMainLoopEvent();
  const char *names[] = {"bgra", "rgb", "float"};
  const int sizes[][2] = {{720, 486}, {1920, 1080}, {3840, 2160}};
  for (int upload = 0; upload < 3; upload++)
    for (const auto &s : sizes)
      for (int pictures : {1, 24}) {
        // 24 pictures of 3840 x 2160 floats would take 2.4 GB: bytes only there.
        if (pictures > 1 && upload == UPLOAD_FLOAT && s[0] > 1920) continue;
        benchmark::RegisterBenchmark((std::string("Draw/") + names[upload]).c_str(), Draw)
            ->Args({s[0], s[1], upload, pictures})
            ->Unit(benchmark::kMillisecond)
            ->MinWarmUpTime(2.0)
            ->UseRealTime();
      }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  glutDestroyWindow(window);
  return 0;
}
