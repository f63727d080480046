// halvview: plays a movie file in a GLUT window, with exposure control or
// adaptive logarithmic tone mapping. This file is the start-up: the options,
// the movie, the window, then the GLUT loop over one view.
#include "view.h"

#include <GL/freeglut.h>

#include <malloc.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "lookahead.h"
#include "pool.h"
#include "utility.h"

namespace {

volatile sig_atomic_t quitrequested = 0;

// What the command line asks for besides the session's settings.
struct StartOptions {
  unsigned threads = ProcessorCount();  // -j
  int byteswap = 0;                     // -b
  size_t cache = DefaultCacheBudget();  // -cache
  const char *moviename = nullptr;
  const char *othername = nullptr;  // -c: side B
};

[[noreturn]] void GiveUsage(const char *program) {
  fprintf(stderr, "Usage: %s [command line options] moviefile\n", program);
  fprintf(stderr, "%s\n", helpstring);
  fprintf(stderr, "%s", helpstring_added);
  exit(-1);
}

// -h or --help alone: the usage, before GLUT looks for a display.
void AnswerLoneHelp(int argc, char **argv) {
  if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) GiveUsage(argv[0]);
}

// The options before the movie's name, into the session and `options`.
void ParseOptions(int argc, char **argv, Session *s, StartOptions *options) {
  for (int i = 1; i < argc - 1; i++) {
    const char *arg = argv[i];
    if (strcmp(arg, "-h") == 0) GiveUsage(argv[0]);
    if (strcmp(arg, "-t") == 0) s->settings.tmo = 1;
    if (strcmp(arg, "-i") == 0) s->showinfo = !s->showinfo;
    if (strcmp(arg, "-d") == 0) s->debug = !s->debug;
    if (strcmp(arg, "-a") == 0) s->autoplay = !s->autoplay;
    if (strcmp(arg, "-f") == 0) s->fullscreen = 1;
    if (strcmp(arg, "-F") == 0) s->fullscreen = 2;
    if (strcmp(arg, "-m") == 0) s->showmouse = !s->showmouse;
    if (strcmp(arg, "-b") == 0) options->byteswap = !options->byteswap;
    if (strcmp(arg, "-j") == 0) {
      options->threads = ParseThreadCount(argv[++i]);
      if (options->threads == 0) {
        options->threads = ProcessorCount();
        fprintf(stderr, "Thread count out of bounds [-j], set to %u\n", options->threads);
      }
    }
    if (strcmp(arg, "-cache") == 0 && !ParseCacheSize(argv[++i], &options->cache)) {
      fprintf(stderr, "Cache size must be a whole number of bytes, with K, M or G after it or not [-cache]\n");
      GiveUsage(argv[0]);
    }
    if (strcmp(arg, "-c") == 0) options->othername = argv[++i];
    if (strcmp(arg, "-A") == 0) s->settings.lookahead = 1;
    if (strcmp(arg, "-R") == 0 && !ParseLookAheadRadius(argv[++i], &s->settings.radius)) {
      fprintf(stderr, "Look-ahead radius must be a whole number of frames, 0 or more [-R]\n");
      GiveUsage(argv[0]);
    }
    if (strcmp(arg, "-fps") == 0) {
      const char *text = argv[++i];
      char *end;
      s->targetfps = strtod(text, &end);
      // Text that is not wholly a number is refused like a rate out of
      // bounds, and so are NaN and infinity.
      if (end == text || *end != 0 || !(s->targetfps >= 0.01 && s->targetfps <= 1000)) {
        fprintf(stderr, "Target frame rate out of bounds [-fps], set to 30\n");
        s->targetfps = 30.0;
      }
    }
  }
  options->moviename = argv[argc - 1];
}

// SIGINT and SIGTERM only raise a flag: the shell command that puts the gamma
// back may not run inside a signal handler.
void HandleSignal(int) { quitrequested = 1; }

// Looks at the flag ten times a second, also while the window is hidden and
// the idle callback is off.
void HandleQuitTimer(int) {
  if (quitrequested) EndPlayer(view);
  glutTimerFunc(100, HandleQuitTimer, 0);
}

// The window manager closed the window.
void HandleClose() {
  if (!view->session.ending) EndPlayer(view);
}

// A header check's message (after `side`, which names side B), then the
// start-up failure's exit.
void FailOnFault(const char *fault, const char *side = "") {
  if (fault == nullptr) return;
  fprintf(stderr, "%s%s\n", side, fault);
  FailExit(-1);
}

// What side B's messages start with.
constexpr const char *SIDE_B = "Side B: ";

// Opens the movie at `path` and checks its header, in the order the
// messages come; side B's messages start with SIDE_B (`side`).
void OpenMovie(Session *s, const char *path, int byteswap, const char *side = "") {
  const MovieOpenResult opened = OpenSessionMovie(s, path, byteswap);
  if (opened == MOVIE_NOT_OPENED) {
    fprintf(stderr, "%sFailed to open movie file \"%s\"\n", side, path);
    FailExit(-1);
  }
  if (opened == MOVIE_NO_HEADER) {
    fprintf(stderr, "%sFailed to read the header\n", side);
    FailExit(-1);
  }
  const MovieHeader &header = s->movie.header;
  FailOnFault(CheckMovieWidth(header), side);
  FailOnFault(CheckMovieHeight(header), side);
  if (s->debug) fprintf(stderr, "%sImage size is %d by %d\n", side, header.width, header.height);
  FailOnFault(CheckMovieFrames(header), side);
  if (s->debug) fprintf(stderr, "%sThe movie should contain %d frames\n", side, header.nframes);
}

// Opens side B (-c) with the settings given on the command line: its header
// passes the checks the movie's passes and has the movie's picture size
// and eyes.
void OpenSideB(View *v, const StartOptions &options) {
  v->side_b.reset(new Session);
  Session &a = v->session, &b = *v->side_b;
  b.settings = a.settings;
  b.autoplay = a.autoplay;  // -a: whichever side leads starts playing
  b.debug = a.debug;
  OpenMovie(&b, options.othername, options.byteswap, SIDE_B);
  FailOnFault(CheckMovieFormat(b.movie.header), SIDE_B);
  const MovieHeader &ha = a.movie.header, &hb = b.movie.header;
  if (hb.width != ha.width || hb.height != ha.height || b.movie.records != a.movie.records ||
      ShownEyes(b) != ShownEyes(a)) {
    fprintf(stderr, "%s\"%s\" is %d by %d with %d picture%s a frame, the movie %d by %d with %d: both sides must have "
            "the same size and eyes\n", SIDE_B, options.othername, hb.width, hb.height, b.movie.records,
            b.movie.records == 1 ? "" : "s", ha.width, ha.height, a.movie.records);
    FailExit(-1);
  }
  b.debug = 0;  // the messages of playing come from side A
}

// The window's size and where the picture's lower-left corner goes.
void PlacePicture(Session *s) {
  const MovieHeader &header = s->movie.header;
  // A stereo pair is drawn side by side: the window holds both pictures.
  const int pairwidth = header.width * ShownEyes(*s);
  if (s->fullscreen == 0) {
    s->screenwidth = pairwidth;
    s->screenheight = header.height;
  } else {
    s->screenwidth = glutGet(GLUT_SCREEN_WIDTH);
    s->screenheight = glutGet(GLUT_SCREEN_HEIGHT);
    // k = 2 puts a single picture's right edge on the centre line; a pair is
    // laid out so that its left picture ends there in both modes.
    const double k = (s->fullscreen == 2 && ShownEyes(*s) == 1) ? 2.0 : 1.0;
    s->lowleft = -k * pairwidth / s->screenwidth;
    s->lowright = -(double)header.height / s->screenheight;
    if (s->lowleft < -1.0) s->lowleft = -1.0;
    if (s->lowright < -1.0) s->lowright = -1.0;
  }
  if (s->debug) fprintf(stderr, "The lower left corner is at (%g,%g)\n", s->lowleft, s->lowright);
}

// Every allocation failure is a start-up failure: status -1, the gamma put
// back.
void FailOnBuffers(BufferFault fault) {
  switch (fault) {
    case BUFFERS_ALLOCATED:
      return;
    case NO_RGBE_BUFFER:
      fprintf(stderr, "Malloc of the rgbe image failed\n");
      break;
    case NO_OUTPUT_IMAGE:
    case NO_DISPLAY_BYTES:
      fprintf(stderr, "Malloc of the output image failed\n");
      break;
    case NO_FLOAT_IMAGE:
      fprintf(stderr, "Float Image malloc failed\n");
      break;
    case NO_LUMINANCE_MAP:
      fprintf(stderr, "Lum malloc failed\n");
      break;
  }
  FailExit(-1);
}

// Picks the pixel format of the upload from the window's colour buffer: a
// buffer of 8 bits per channel takes bytes, which give the very pixels the
// floats give (GL rounds a float to the nearest of the 255 steps), a quarter
// of the data; a deeper buffer keeps the floats, which lose nothing.
void ChooseUpload(Session *s) {
  GLint red = 0, green = 0, blue = 0;
  glGetIntegerv(GL_RED_BITS, &red);
  glGetIntegerv(GL_GREEN_BITS, &green);
  glGetIntegerv(GL_BLUE_BITS, &blue);
  s->settings.bytes = red == 8 && green == 8 && blue == 8;
  if (s->debug)
    fprintf(stderr, "Colour buffer %d/%d/%d bits: upload %s\n", red, green, blue,
            s->settings.bytes ? "8-bit BGRA bytes" : "32-bit float RGB");
}

void RegisterCallbacks(const Session &s) {
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
  glutSetCursor(s.showmouse ? GLUT_CURSOR_LEFT_ARROW : GLUT_CURSOR_NONE);
  glutIdleFunc(HandleIdle);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) GiveUsage(argv[0]);
  AnswerLoneHelp(argc, argv);
  // The GL library allocates and frees picture-sized buffers at every
  // glDrawPixels. Kept in the heap instead of fresh mappings, they are
  // reused without page faults and zeroing, display after display, at any
  // picture size: no allocation is mapped on its own, and freed memory
  // stays with the process.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  glutInit(&argc, argv);
  if (argc < 2) GiveUsage(argv[0]);  // GLUT took every argument

  // The view lives until the process ends: exit() leaves it alone, so that
  // GLUT callbacks running while the process ends still find it.
  view = new View;
  Session &s = view->session;
  s.settings.avx = ProcessorHasAVX2();
  StartOptions options;
  ParseOptions(argc, argv, &s, &options);

  if (system("xgamma -gamma 2.2") == -1) {
    // The result is not examined: the player works without the command.
  }
  signal(SIGINT, HandleSignal);
  signal(SIGTERM, HandleSignal);

  view->moviepath = options.moviename;
  OpenMovie(&s, options.moviename, options.byteswap);
  PlacePicture(&s);
  FailOnFault(CheckMovieFormat(s.movie.header));
  if (s.debug) fprintf(stderr, "The format is %d\n", s.movie.header.format);
  if (options.othername != nullptr) OpenSideB(view, options);
  FailOnBuffers(AllocateShownFrame(&s, ShownEyes(s)));
  if (view->side_b) FailOnBuffers(AllocateShownFrame(view->side_b.get(), ShownEyes(s)));

  glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGBA);
  glutCreateWindow("Halvscope");
  ChooseUpload(&s);
  FailOnBuffers(AllocateShownBytes(&s));
  if (view->side_b) {
    view->side_b->settings.bytes = s.settings.bytes;
    FailOnBuffers(AllocateShownBytes(view->side_b.get()));
  }
  // One worker pool for the whole run; with one thread the player converts
  // on the main thread alone and prepares nothing ahead.
  static std::unique_ptr<WorkerPool> pool;
  if (options.threads > 1) {
    pool.reset(new WorkerPool(options.threads));
    s.pool = pool.get();
    if (view->side_b) view->side_b->pool = pool.get();
  }
  if (s.debug) fprintf(stderr, "Converting on %u thread%s\n", options.threads, options.threads == 1 ? "" : "s");
  // Comparing, each side keeps frames in half of the budget.
  ConfigureFrameCache(&s, view->side_b ? options.cache / 2 : options.cache);
  if (view->side_b) ConfigureFrameCache(view->side_b.get(), options.cache / 2);
  if (s.debug) {
    const FrameCache &c = s.cache;
    fprintf(stderr, "Frame cache: %.1f MiB for %zu frame%s of %.1f MiB\n", (double)(c.capacity * c.frame_bytes) / 1048576.0,
            c.capacity, c.capacity == 1 ? "" : "s", (double)c.frame_bytes / 1048576.0);
  }
  if (view->side_b) SizeCompareWindow(view);
  glutReshapeWindow(s.screenwidth, s.screenheight);
  if (s.fullscreen == 1 || s.fullscreen == 2) glutFullScreen();

  RegisterCallbacks(s);
  StepBoth(view, LeadSession(view).currentframe);
  glutSwapBuffers();
  glutMainLoop();
  return 0;
}
