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
#include "movie_file.h"
#include "pool.h"
#include "progress.h"

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
    "  -h              this text\n"
    "\n"
    "  -pq PEAK        HDR10: light in cd/m2 written with the PQ curve in BT.2020 primaries at 16 bits,\n"
    "                  for a display of PEAK cd/m2, 1 to 10000 (with -t: the tone mapper's display peak)\n"
    "  -nits N         with -pq and without -t: cd/m2 of a pixel value of 1 (default 179)\n"
    "  -n              with -pq: print the light levels (MaxCLL, MaxFALL) and write nothing;\n"
    "                  the output is left out: halvexport -pq PEAK -n movie\n";

[[noreturn]] void GiveUsage(const std::string &message) {
  if (!message.empty()) fprintf(stderr, "%s\n", message.c_str());
  fputs(usage, stderr);
  exit(NOT_RUN);
}

// The signal that asks the export to stop: a handler reaches nothing but a
// flag of the program's own.
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

// What the command line asks for besides the job itself.
struct Options {
  ExportJob job;
  int byteswap = 0;
  bool quiet = false;
  bool lastgiven = false;
  bool depthgiven = false, gammagiven = false, nitsgiven = false;
  std::string output;
};

// An option that takes no value. Returns false for any other argument.
bool ParseSwitch(const std::string &arg, Options *o) {
  if (arg == "-h") GiveUsage("");
  if (arg == "-t") {
    o->job.tmo = 1;
  } else if (arg == "-b") {
    o->byteswap = 1;
  } else if (arg == "-A") {
    o->job.lookahead = 1;
  } else if (arg == "-q") {
    o->quiet = true;
  } else if (arg == "-n") {
    o->job.measure_only = true;
  } else {
    return false;
  }
  return true;
}

// The frame-range, picture and thread options, each with its value.
void ParseValueOption(const std::string &arg, const char *value, Options *o) {
  ExportJob &job = o->job;
  double number;
  if (arg == "-exposure") {
    if (!ParseNumber(value, &number) || !std::isfinite((float)number))
      GiveUsage("Exposure must be a number of stops [-exposure]");
    job.exposure = (float)number;
  } else if (arg == "-bias") {
    if (!ParseNumber(value, &number) || number < 0.71 || number > 0.99)
      GiveUsage("Bias must be a number from 0.71 to 0.99 [-bias]");
    job.biasParam = (float)number;
  } else if (arg == "-R") {
    if (!ParseLookAheadRadius(value, &job.radius))
      GiveUsage("Look-ahead radius must be a whole number of frames, 0 or more [-R]");
  } else if (arg == "-first" || arg == "-last") {
    const int64_t frame = ParseFrame(value);
    if (frame < 0) GiveUsage("Frame numbers must be whole numbers, 0 or more [" + arg + "]");
    (arg == "-first" ? job.first : job.last) = frame;
    if (arg == "-last") o->lastgiven = true;
  } else if (arg == "-gamma") {
    if (!ParseNumber(value, &number) || number < MIN_EXPORT_GAMMA || number > MAX_EXPORT_GAMMA)
      GiveUsage("Gamma must be a number from 0.1 to 10 [-gamma]");
    job.gamma = number;
    o->gammagiven = true;
  } else if (arg == "-depth") {
    if (strcmp(value, "8") != 0 && strcmp(value, "16") != 0) GiveUsage("Depth must be 8 or 16 [-depth]");
    job.depth = atoi(value);
    o->depthgiven = true;
  } else if (arg == "-pq" || arg == "-nits") {
    if (!ParseNumber(value, &number) || number < (arg == "-pq" ? 1.0 : MIN_HDR_NITS) || number > MAX_HDR_NITS)
      GiveUsage(arg == "-pq" ? "The display's peak must be a number of cd/m2 from 1 to 10000 [-pq]"
                             : "Nits must be a number of cd/m2 from 0.01 to 10000 [-nits]");
    if (arg == "-pq") {
      job.pq = true;
      job.peak = number;
    } else {
      job.nits = number;
      o->nitsgiven = true;
    }
  } else if (arg == "-eye") {
    if (strcmp(value, "both") == 0)
      job.eye = EXPORT_BOTH;
    else if (strcmp(value, "left") == 0)
      job.eye = EXPORT_LEFT;
    else if (strcmp(value, "right") == 0)
      job.eye = EXPORT_RIGHT;
    else
      GiveUsage("Eye must be both, left or right [-eye]");
  } else if (arg == "-j") {
    job.threads = ParseThreadCount(value);
    if (job.threads == 0) GiveUsage("Thread count must be a whole number from 1 to 1024 [-j]");
  } else {
    GiveUsage("Unknown option: " + arg);
  }
}

// Whether -n is among the options before the last argument: the options
// are walked as they are parsed, each value skipped.
bool AsksForLevelsOnly(int argc, char **argv) {
  static const char *const withvalue[] = {"-exposure", "-bias", "-R", "-first", "-last", "-gamma",
                                          "-depth",    "-eye",  "-j", "-pq",    "-nits"};
  for (int i = 1; i < argc - 1; i++) {
    if (strcmp(argv[i], "-n") == 0) return true;
    for (const char *name : withvalue)
      if (strcmp(argv[i], name) == 0) {
        i++;
        break;
      }
  }
  return false;
}

// The HDR options together: -pq writes 16 bits without a gamma; -nits and
// -n belong to it.
void CheckHdrOptions(const Options &o) {
  const ExportJob &job = o.job;
  if (!job.pq && (o.nitsgiven || job.measure_only)) GiveUsage("-nits and -n go with -pq");
  if (job.pq && o.depthgiven && job.depth != 16) GiveUsage("PQ pictures are 16-bit: -depth 8 cannot go with -pq");
  if (job.pq && o.gammagiven) GiveUsage("PQ pictures carry no display gamma: -gamma cannot go with -pq");
}

// The options, then the movie and the output, which come last (with -n the
// movie alone). A -h in either of the last two places asks for the usage
// too, not for a movie or an output of that name.
Options ParseCommandLine(int argc, char **argv) {
  const bool levelsonly = AsksForLevelsOnly(argc, argv);
  if (argc < (levelsonly ? 2 : 3)) GiveUsage("");
  Options o;
  o.job.threads = ProcessorCount();
  const int options = argc - (levelsonly ? 1 : 2);
  for (int i = 1; i < options; i++) {
    const std::string arg = argv[i];
    if (ParseSwitch(arg, &o)) continue;
    if (i + 1 >= options) GiveUsage("Unknown option or missing value: " + arg);
    ParseValueOption(arg, argv[i + 1], &o);
    i++;
  }
  for (int i = options; i < argc; i++)
    if (strcmp(argv[i], "-h") == 0) GiveUsage("");
  CheckHdrOptions(o);
  if (o.job.pq) o.job.depth = 16;
  if (o.lastgiven && o.job.first > o.job.last)
    GiveUsage("The first frame (" + std::to_string(o.job.first) + ") lies after the last (" +
              std::to_string(o.job.last) + ") [-first, -last]");
  o.job.path = argv[options];
  if (levelsonly) return o;
  o.output = argv[argc - 1];
  o.job.stream = o.output == "-";
  if (!o.job.stream) {
    const std::string problem = ParseOutputPattern(o.output, &o.job.pattern);
    if (!problem.empty()) GiveUsage(problem);
  } else if (isatty(STDOUT_FILENO)) {
    GiveUsage("The PPM stream is binary: send the standard output to a file or a program, not a terminal");
  }
  return o;
}

// A header check's message, then the end. A header that passes in the
// other byte order, where the file holds a frame of that size, says how to
// read it. (Small sizes pass both ways: 16 reads as 4096.)
void FailOnFault(const char *fault, const MovieFile &movie) {
  if (fault == nullptr) return;
  fprintf(stderr, "%s\n", fault);
  MovieHeader other = movie.header;
  SwapMovieHeader(&other);
  if (CheckMovieHeader(other) == nullptr && movie.file_size >= MOVIE_HEADER_SIZE + MovieFrameSize(other))
    fprintf(stderr, "The header is valid in the other byte order: export %s -b\n",
            movie.byteswap ? "without" : "with");
  exit(NOT_RUN);
}

// The movie, with the player's checks and messages; the end when it fails
// them. A path that names no regular file fails at once, without opening
// it: a FIFO would hold the open until a writer came.
void OpenCheckedMovie(const std::string &path, int byteswap, MovieFile *movie) {
  struct stat st;
  const bool regular = stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode);
  const MovieOpenResult opened = regular ? OpenMovieFile(movie, path.c_str(), byteswap) : MOVIE_NOT_OPENED;
  if (opened == MOVIE_NOT_OPENED) {
    fprintf(stderr, "Failed to open movie file \"%s\"\n", path.c_str());
    exit(NOT_RUN);
  }
  if (opened == MOVIE_NO_HEADER) {
    fprintf(stderr, "Failed to read the header\n");
    exit(NOT_RUN);
  }
  FailOnFault(CheckMovieWidth(movie->header), *movie);
  FailOnFault(CheckMovieHeight(movie->header), *movie);
  FailOnFault(CheckMovieFrames(movie->header), *movie);
  FailOnFault(CheckMovieFormat(movie->header), *movie);
}

// The range within the movie: -last past the end, or none, is its last frame.
void SettleRange(const MovieHeader &header, Options *o) {
  const int64_t lastframe = header.nframes - 1;
  if (!o->lastgiven || o->job.last > lastframe) o->job.last = lastframe;
  if (o->job.first > o->job.last)
    GiveUsage("The first frame (" + std::to_string(o->job.first) + ") lies after the movie's last (" +
              std::to_string(o->job.last) + ") [-first]");
}

// A closed pipe is a failed write, not a silent death; a signal to stop
// lets the export remove what is unfinished.
void CatchStopSignals() {
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = HandleSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

// The export with its progress line; the program's status.
int RunExport(ExportJob *job, bool quiet) {
  LightLevels levels;
  if (job->pq) job->levels = &levels;
  job->stop = &stopsignal;
  StartProgress(!quiet && isatty(STDERR_FILENO));
  job->progress = ShowProgress;
  job->report = Report;
  const ExportResult result = ExportFrames(*job);
  EndProgress();
  if (result == EXPORT_INTERRUPTED) {
    // Ended as the signal ends a program, now that nothing unfinished is left.
    const int sig = stopsignal;
    signal(sig, SIG_DFL);
    raise(sig);
    return 128 + sig;
  }
  // The light levels of every frame written, rounded up to whole cd/m2.
  if (result == EXPORT_DONE && job->pq)
    fprintf(stderr, "MaxCLL %.0f cd/m2, MaxFALL %.0f cd/m2\n", ceil(levels.maxcll), ceil(levels.maxfall));
  return result == EXPORT_DONE ? EXPORTED : FAILED;
}

}  // namespace

int main(int argc, char **argv) {
  Options options = ParseCommandLine(argc, argv);
  MovieFile movie;
  OpenCheckedMovie(options.job.path, options.byteswap, &movie);
  options.job.movie = &movie;
  SettleRange(movie.header, &options);
  CatchStopSignals();
  const int status = RunExport(&options.job, options.quiet);
  CloseMovieFile(&movie);
  return status;
}
