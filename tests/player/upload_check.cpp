// Checks, in a real GL window, that the bytes the player uploads to an
// 8-bit colour buffer give the very pixels that GL makes of the floats:
// draws a picture of floats (every step's boundaries with their
// neighbours, values below 0 and above 1, NaN, random values), reads the
// window back, and compares every component with DisplayByte; then draws
// the player's display bytes of the same picture as the player draws them
// and compares the window with the floats' pixels.
// Exit status 0 when all agree, 1 with the first differences otherwise,
// 77 when the window's colour buffer is not 8 bits a channel.
#include <GL/freeglut.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "render.h"

namespace {

constexpr int W = 512, H = 512;
std::vector<float> picture;

void FillPicture() {
  picture.resize(3 * (size_t)W * H);
  size_t n = 0;
  auto put = [&](float v) {
    if (n < picture.size()) picture[n++] = v;
  };
  for (int k = 0; k <= 255; k++)
    for (double boundary : {(k + 0.5) / 255.0, k / 255.0}) {
      float v = (float)boundary;
      for (int i = 0; i < 24; i++) v = nextafterf(v, -1.0f);
      for (int i = 0; i < 49; i++, v = nextafterf(v, 2.0f)) put(v);
    }
  for (float v : {-1.0f, -0.0f, 0.0f, 1e-30f, 1.0f, 1.0000001f, 2.0f, 1e30f,
                  std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()})
    put(v);
  std::mt19937 rng(20261207);
  std::uniform_real_distribution<float> unit(-0.05f, 1.05f);
  while (n < picture.size()) put(unit(rng));
}

// The window's back buffer, RGB, bottom row first.
std::vector<unsigned char> ReadWindow() {
  glFinish();
  std::vector<unsigned char> shown(3 * (size_t)W * H);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, W, H, GL_RGB, GL_UNSIGNED_BYTE, shown.data());
  return shown;
}

void HandleDisplay() {
  GLint red = 0, green = 0, blue = 0;
  glGetIntegerv(GL_RED_BITS, &red);
  glGetIntegerv(GL_GREEN_BITS, &green);
  glGetIntegerv(GL_BLUE_BITS, &blue);
  if (red != 8 || green != 8 || blue != 8) {
    printf("skipped: the colour buffer has %d/%d/%d bits\n", red, green, blue);
    exit(77);
  }
  glViewport(0, 0, W, H);
  glClear(GL_COLOR_BUFFER_BIT);
  glRasterPos2f(-1.0f, -1.0f);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glDrawPixels(W, H, GL_RGB, GL_FLOAT, picture.data());
  const std::vector<unsigned char> shown = ReadWindow();
  long differ = 0;
  for (size_t i = 0; i < shown.size(); i++) {
    const unsigned char want = DisplayByte(picture[i]);
    if (shown[i] != want && differ++ < 10)
      printf("float %a: GL shows %d, the player's byte is %d\n", (double)picture[i], shown[i], want);
  }
  printf("%ld of %zu components differ\n", differ, shown.size());

  // The player's display bytes of the picture, drawn as the player draws them.
  ConversionSettings cs = {};
  cs.npixels = (size_t)W * H;
  std::vector<unsigned char> bytes(DISPLAY_PIXEL_BYTES * cs.npixels);
  DisplayBytes(cs, picture.data(), bytes.data());
  glClear(GL_COLOR_BUFFER_BIT);
  glRasterPos2f(-1.0f, -1.0f);
  glDrawPixels(W, H, GL_BGRA, GL_UNSIGNED_BYTE, bytes.data());
  const std::vector<unsigned char> drawn = ReadWindow();
  long moved = 0;
  for (size_t i = 0; i < drawn.size(); i++)
    if (drawn[i] != shown[i] && moved++ < 10)
      printf("float %a: the floats show %d, the display bytes %d\n", (double)picture[i], shown[i], drawn[i]);
  printf("%ld of %zu components differ between the floats and the display bytes\n", moved, drawn.size());
  exit(differ == 0 && moved == 0 ? 0 : 1);
}

}  // namespace

int main(int argc, char **argv) {
  FillPicture();
  glutInit(&argc, argv);
  glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGBA);
  glutInitWindowSize(W, H);
  glutCreateWindow("upload check");
  glutDisplayFunc(HandleDisplay);
  glutMainLoop();
  return 1;
}
