// halvexport: writes what the player shows of a movie's frames as PNG
// pictures or a stream of PPM pictures. This file is the command line, the
// movie's checks and the program's ways out.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "exporter.h"
#include "lookahead.h"
#include "movie.h"
#include "pool.h"
#include "progress.h"
#include "utility.h"

namespace {

// Exit statuses.
constexpr int EXPORTED = 0;
constexpr int FAILED = 1;    // a truncated movie, a failed read or write
constexpr int NOT_RUN = 255; // usage, and a movie that fails the player's checks

const char *usage =
    "Usage: halvexport [options] movie output\n"
    "  output          a file name with one frame-number field, such as frame_%05d.png: a PNG per frame\n"
    "                  (%d, %i or %u with flags and a width; %% for a percent sign),\n"
    "                  or - for a stream of binary PPM pictures on the standard output\n"
    "  -t              tone mapping\n"
    "  -exposure S     exposure in stops (default 0)\n"
    "  -bias B         the tone mapper's bias, 0.71 to 0.99 (default 0.85)\n"
    "  -b              byte swap: the movie was written on a machine of the other byte order\n"
    "  -A              look-ahead adaptation\n"
    "  -R n            look-ahead window: n frames each side (default 6, 0 or more)\n"
    "  -first N        first frame, counted from 0 (default 0)\n"
    "  -last M         last frame (default and past the end: the movie's last)\n"
    "  -gamma G        display gamma baked in, 0.1 to 10 (default 2.2; 1 writes linear values)\n"
    "  -depth 8|16     bits a sample (default 8)\n"
    "  -eye both|left|right  the eyes of a stereo pair written (default both, side by side)\n"
    "  -j N            threads, 1 to 1024 (default one per processor core)\n"
    "  -q              quiet: no progress line\n"
    "  -h              this text\n";

[[noreturn]] void GiveUsage(const std::string &message) {
  if (!message.empty()) fprintf(stderr, "%s\n", message.c_str());
  fputs(usage, stderr);
  exit(NOT_RUN);
}

volatile sig_atomic_t stopsignal = 0;

void HandleSignal(int sig) { stopsignal = sig; }

// A whole number of frames: digits only, up to INT_MAX. Returns -1 else.
int64_t ParseFrame(const char *text) {
  if (*text == 0) return -1;
  int64_t n = 0;
  for (const char *p = text; *p; p++) {
    if (*p < '0' || *p > '9') return -1;
    n = 10 * n + (*p - '0');
    if (n > INT_MAX) return -1;
  }
  return n;
}

// A finite number, the whole of `text`. Returns false else.
bool ParseNumber(const char *text, double *value) {
  char *end;
  errno = 0;
  const double v = strtod(text, &end);
  if (end == text || *end != 0 || errno == ERANGE || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

void Report(const std::string &line) {
  ClearProgress();
  fprintf(stderr, "%s\n", line.c_str());
}

// A header check's message, then the end. A header that passes in the
// other byte order, where the file holds a frame of that size, says how to
// read it. (Small sizes pass both ways: 16 reads as 4096.)
void FailOnFault(const char *fault, const MovieHeader &header, int byteswap, FILE *file) {
  if (fault == nullptr) return;
  fprintf(stderr, "%s\n", fault);
  MovieHeader other = header;
  SwapMovieHeader(&other);
  struct stat st;
  if (CheckMovieHeader(other) == nullptr && fstat(fileno(file), &st) == 0 &&
      (uint64_t)st.st_size >= MOVIE_HEADER_SIZE + MovieFrameSize(other))
    fprintf(stderr, "The header is valid in the other byte order: export %s -b\n", byteswap ? "without" : "with");
  exit(NOT_RUN);
}

}  // namespace

int main(int argc, char **argv) {
  ExportJob job;
  job.threads = ProcessorCount();
  bool quiet = false;
  bool lastgiven = false;
  if (argc < 3) GiveUsage("");
  const int options = argc - 2;  // the movie and the output come last
  for (int i = 1; i < options; i++) {
    const std::string arg = argv[i];
    const bool hasvalue = i + 1 < options;
    const char *value = hasvalue ? argv[i + 1] : "";
    double number;
    if (arg == "-h") {
      GiveUsage("");
    } else if (arg == "-t") {
      job.tmo = 1;
    } else if (arg == "-b") {
      job.byteswap = 1;
    } else if (arg == "-A") {
      job.lookahead = 1;
    } else if (arg == "-q") {
      quiet = true;
    } else if (!hasvalue) {
      GiveUsage("Unknown option or missing value: " + arg);
    } else if (arg == "-exposure") {
      if (!ParseNumber(value, &number) || !std::isfinite((float)number))
        GiveUsage("Exposure must be a number of stops [-exposure]");
      job.exposure = (float)number;
      i++;
    } else if (arg == "-bias") {
      if (!ParseNumber(value, &number) || number < 0.71 || number > 0.99)
        GiveUsage("Bias must be a number from 0.71 to 0.99 [-bias]");
      job.biasParam = (float)number;
      i++;
    } else if (arg == "-R") {
      if (!ParseLookAheadRadius(value, &job.radius))
        GiveUsage("Look-ahead radius must be a whole number of frames, 0 or more [-R]");
      i++;
    } else if (arg == "-first" || arg == "-last") {
      const int64_t frame = ParseFrame(value);
      if (frame < 0) GiveUsage("Frame numbers must be whole numbers, 0 or more [" + arg + "]");
      if (arg == "-first") {
        job.first = frame;
      } else {
        job.last = frame;
        lastgiven = true;
      }
      i++;
    } else if (arg == "-gamma") {
      if (!ParseNumber(value, &number) || number < MIN_EXPORT_GAMMA || number > MAX_EXPORT_GAMMA)
        GiveUsage("Gamma must be a number from 0.1 to 10 [-gamma]");
      job.gamma = number;
      i++;
    } else if (arg == "-depth") {
      if (strcmp(value, "8") != 0 && strcmp(value, "16") != 0) GiveUsage("Depth must be 8 or 16 [-depth]");
      job.depth = atoi(value);
      i++;
    } else if (arg == "-eye") {
      if (strcmp(value, "both") == 0)
        job.eye = EXPORT_BOTH;
      else if (strcmp(value, "left") == 0)
        job.eye = EXPORT_LEFT;
      else if (strcmp(value, "right") == 0)
        job.eye = EXPORT_RIGHT;
      else
        GiveUsage("Eye must be both, left or right [-eye]");
      i++;
    } else if (arg == "-j") {
      job.threads = ParseThreadCount(value);
      if (job.threads == 0) GiveUsage("Thread count must be a whole number from 1 to 1024 [-j]");
      i++;
    } else {
      GiveUsage("Unknown option: " + arg);
    }
  }
  if (lastgiven && job.first > job.last)
    GiveUsage("The first frame (" + std::to_string(job.first) + ") lies after the last (" +
              std::to_string(job.last) + ") [-first, -last]");
  job.movie = argv[argc - 2];
  const std::string output = argv[argc - 1];
  job.stream = output == "-";
  if (!job.stream) {
    const std::string problem = ParseOutputPattern(output, &job.pattern);
    if (!problem.empty()) GiveUsage(problem);
  } else if (isatty(STDOUT_FILENO)) {
    GiveUsage("The PPM stream is binary: send the standard output to a file or a program, not a terminal");
  }

  // The movie, with the player's checks and messages.
  job.file = OpenRegularFile(job.movie.c_str(), "rb");
  if (job.file == nullptr) {
    fprintf(stderr, "Failed to open movie file \"%s\"\n", job.movie.c_str());
    return NOT_RUN;
  }
  if (!ReadMovieHeader(job.file, &job.header, job.byteswap)) {
    fprintf(stderr, "Failed to read the header\n");
    return NOT_RUN;
  }
  FailOnFault(CheckMovieWidth(job.header), job.header, job.byteswap, job.file);
  FailOnFault(CheckMovieHeight(job.header), job.header, job.byteswap, job.file);
  FailOnFault(CheckMovieFrames(job.header), job.header, job.byteswap, job.file);
  FailOnFault(CheckMovieFormat(job.header), job.header, job.byteswap, job.file);
  const int64_t lastframe = job.header.nframes - 1;
  if (!lastgiven || job.last > lastframe) job.last = lastframe;
  if (job.first > job.last)
    GiveUsage("The first frame (" + std::to_string(job.first) + ") lies after the movie's last (" +
              std::to_string(job.last) + ") [-first]");

  // A closed pipe is a failed write, not a silent death; a signal to stop
  // lets the export remove what is unfinished.
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = HandleSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  job.stop = &stopsignal;

  StartProgress(!quiet && isatty(STDERR_FILENO));
  job.progress = ShowProgress;
  job.report = Report;
  const ExportResult result = ExportFrames(job);
  EndProgress();
  fclose(job.file);
  if (result == EXPORT_INTERRUPTED) {
    // Ended as the signal ends a program, now that nothing unfinished is left.
    const int sig = stopsignal;
    signal(sig, SIG_DFL);
    raise(sig);
    return 128 + sig;
  }
  return result == EXPORT_DONE ? EXPORTED : FAILED;
}
