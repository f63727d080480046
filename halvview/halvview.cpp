// halvview: plays a movie file in a GLUT window, with exposure control or
// adaptive logarithmic tone mapping. This file is the start-up.
#include "view.h"

#include <GL/freeglut.h>

#include <malloc.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "pool.h"
#include "lookahead.h"
#include "utility.h"

namespace {

volatile sig_atomic_t quitrequested = 0;
unsigned threads = ProcessorCount();  // -j

// Picks the pixel format of the upload from the window's colour buffer: a
// buffer of 8 bits per channel takes bytes, which give the very pixels the
// floats give (GL rounds a float to the nearest of the 255 steps), a quarter
// of the data; a deeper buffer keeps the floats, which lose nothing.
void ChooseUpload() {
  GLint red = 0, green = 0, blue = 0;
  glGetIntegerv(GL_RED_BITS, &red);
  glGetIntegerv(GL_GREEN_BITS, &green);
  glGetIntegerv(GL_BLUE_BITS, &blue);
  upload_bytes = red == 8 && green == 8 && blue == 8;
  if (debug)
    fprintf(stderr, "Colour buffer %d/%d/%d bits: upload %s\n", red, green, blue,
            upload_bytes ? "8-bit BGRA bytes" : "32-bit float RGB");
}

[[noreturn]] void GiveUsage(const char *program) {
  fprintf(stderr, "Usage: %s [command line options] moviefile\n", program);
  fprintf(stderr, "%s\n", helpstring);
  exit(-1);
}

// SIGINT and SIGTERM only raise a flag: the shell command that puts the gamma
// back may not run inside a signal handler.
void HandleSignal(int) { quitrequested = 1; }

// Looks at the flag ten times a second, also while the window is hidden and
// the idle callback is off.
void HandleQuitTimer(int) {
  if (quitrequested) CleanExit();
  glutTimerFunc(100, HandleQuitTimer, 0);
}

// The window manager closed the window.
void HandleClose() {
  if (!ending) CleanExit();
}

// A header check's message, then the start-up failure's exit.
void FailOnFault(const char *fault) {
  if (fault == nullptr) return;
  fprintf(stderr, "%s\n", fault);
  FailExit(-1);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) GiveUsage(argv[0]);
  // The GL library allocates and frees picture-sized buffers at every
  // glDrawPixels. Kept in the heap instead of fresh mappings, they are
  // reused without page faults and zeroing, display after display, at any
  // picture size: no allocation is mapped on its own, and freed memory
  // stays with the process.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  glutInit(&argc, argv);
  if (argc < 2) GiveUsage(argv[0]);  // GLUT took every argument

  for (int i = 1; i < argc - 1; i++) {
    const char *arg = argv[i];
    if (strcmp(arg, "-h") == 0) GiveUsage(argv[0]);
    if (strcmp(arg, "-t") == 0) tmo = 1;
    if (strcmp(arg, "-i") == 0) showinfo = !showinfo;
    if (strcmp(arg, "-d") == 0) debug = !debug;
    if (strcmp(arg, "-a") == 0) autoplay = !autoplay;
    if (strcmp(arg, "-f") == 0) fullscreen = 1;
    if (strcmp(arg, "-F") == 0) fullscreen = 2;
    if (strcmp(arg, "-m") == 0) showmouse = !showmouse;
    if (strcmp(arg, "-b") == 0) byteswap = !byteswap;
    if (strcmp(arg, "-j") == 0) {
      threads = ParseThreadCount(argv[++i]);
      if (threads == 0) {
        threads = ProcessorCount();
        fprintf(stderr, "Thread count out of bounds [-j], set to %u\n", threads);
      }
    }
    if (strcmp(arg, "-A") == 0) lookahead = 1;
    if (strcmp(arg, "-R") == 0 && !ParseLookAheadRadius(argv[++i], &lookahead_radius)) {
      fprintf(stderr, "Look-ahead radius must be a whole number of frames, 0 or more [-R]\n");
      GiveUsage(argv[0]);
    }
    if (strcmp(arg, "-fps") == 0) {
      const char *text = argv[++i];
      char *end;
      targetfps = strtod(text, &end);
      // Text that is not wholly a number is refused like a rate out of
      // bounds, and so are NaN and infinity.
      if (end == text || *end != 0 || !(targetfps >= 0.01 && targetfps <= 1000)) {
        fprintf(stderr, "Target frame rate out of bounds [-fps], set to 30\n");
        targetfps = 30.0;
      }
    }
  }

  if (system("xgamma -gamma 2.2") == -1) {
    // The result is not examined: the player works without the command.
  }
  signal(SIGINT, HandleSignal);
  signal(SIGTERM, HandleSignal);

  const char *moviename = argv[argc - 1];
  SetScreenshotMovie(moviename);
  fptr = OpenRegularFile(moviename, "rb");
  if (fptr == nullptr) {
    fprintf(stderr, "Failed to open movie file \"%s\"\n", moviename);
    FailExit(-1);
  }
  if (!ReadMovieHeader(fptr, &header, byteswap)) {
    fprintf(stderr, "Failed to read the header\n");
    FailExit(-1);
  }
  FailOnFault(CheckMovieWidth(header));
  FailOnFault(CheckMovieHeight(header));
  if (debug) fprintf(stderr, "Image size is %d by %d\n", header.width, header.height);
  FailOnFault(CheckMovieFrames(header));
  if (debug) fprintf(stderr, "The movie should contain %d frames\n", header.nframes);

  SetMovieGeometry();
  // A stereo pair is drawn side by side: the window holds both pictures.
  const int pairwidth = header.width * showneyes;
  if (fullscreen == 0) {
    screenwidth = pairwidth;
    screenheight = header.height;
  } else {
    screenwidth = glutGet(GLUT_SCREEN_WIDTH);
    screenheight = glutGet(GLUT_SCREEN_HEIGHT);
    // k = 2 puts a single picture's right edge on the centre line; a pair is
    // laid out so that its left picture ends there in both modes.
    const double k = (fullscreen == 2 && showneyes == 1) ? 2.0 : 1.0;
    lowleft = -k * pairwidth / screenwidth;
    lowright = -(double)header.height / screenheight;
    if (lowleft < -1.0) lowleft = -1.0;
    if (lowright < -1.0) lowright = -1.0;
  }
  if (debug) fprintf(stderr, "The lower left corner is at (%g,%g)\n", lowleft, lowright);
  FailOnFault(CheckMovieFormat(header));
  if (debug) fprintf(stderr, "The format is %d\n", header.format);

  // Every allocation failure is a start-up failure: status -1, the gamma
  // put back.
  switch (AllocatePlayerBuffers(showneyes == 2)) {
    case BUFFERS_ALLOCATED:
      break;
    case NO_RGBE_BUFFER:
      fprintf(stderr, "Malloc of the rgbe image failed\n");
      FailExit(-1);
    case NO_OUTPUT_IMAGE:
      fprintf(stderr, "Malloc of the output image failed\n");
      FailExit(-1);
    case NO_FLOAT_IMAGE:
      fprintf(stderr, "Float Image malloc failed\n");
      FailExit(-1);
    case NO_LUMINANCE_MAP:
      fprintf(stderr, "Lum malloc failed\n");
      FailExit(-1);
  }

  // The look-ahead reads the statistics through a stream of its own, so
  // that the player's position in the file stays where it is.
  if (OpenPlayerLookAhead(moviename) != 0)
    fprintf(stderr, "Failed to open movie file \"%s\" for look-ahead adaptation\n", moviename);

  glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGBA);
  glutCreateWindow("Halvscope");
  ChooseUpload();
  if (!AllocateDisplayBytes()) {
    fprintf(stderr, "Malloc of the output image failed\n");
    FailExit(-1);
  }
  // One worker pool for the whole run; with one thread the player converts
  // on the main thread alone and prepares nothing ahead.
  static std::unique_ptr<WorkerPool> pool;
  if (threads > 1) {
    pool.reset(new WorkerPool(threads));
    workers = pool.get();
  }
  if (debug) fprintf(stderr, "Converting on %u thread%s\n", threads, threads == 1 ? "" : "s");
  glutReshapeWindow(screenwidth, screenheight);
  if (fullscreen == 1 || fullscreen == 2) glutFullScreen();

  glutDisplayFunc(HandleDisplay);
  glutReshapeFunc(HandleReshape);
  glutVisibilityFunc(HandleVisibility);
  glutKeyboardFunc(HandleKeyboard);
  glutSpecialFunc(HandleSpecialKeyboard);
  glutMouseFunc(HandleMouse);
  glutMotionFunc(HandleMotion);
  glutPassiveMotionFunc(HandlePassiveMotion);
  glutEntryFunc(HandleEntry);
  glutCloseFunc(HandleClose);
  glutTimerFunc(100, HandleQuitTimer, 0);
  glutSetCursor(showmouse ? GLUT_CURSOR_LEFT_ARROW : GLUT_CURSOR_NONE);
  glutIdleFunc(HandleIdle);

  ShowFrame(currentframe);
  glutSwapBuffers();
  glutMainLoop();
  return 0;
}
