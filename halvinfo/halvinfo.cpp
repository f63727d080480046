// halvinfo: checks a movie file (header, length, statistics) and prints its
// statistics with the adapted values the player uses, as a table and a plot.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "info.h"
#include "lookahead.h"
#include "movie.h"
#include "movie_file.h"
#include "render.h"

namespace {

// Exit statuses.
constexpr int SOUND = 0;         // complete, every record's statistics sound
constexpr int FAULTY = 1;        // truncated, or corrupt statistics
constexpr int OUTPUT_FAILED = 2; // the table or the plot could not be written
constexpr int NOT_A_MOVIE = 255; // also usage, and a header of the other byte order

const char *usage =
    "Usage: halvinfo [-b] [-frames] [-plot file.svg] [-R n] movie\n"
    "  -b              read the movie byte-swapped (written on a machine of the other byte order)\n"
    "  -frames         print a tab-separated line per frame and eye on stdout (the summary goes to stderr)\n"
    "  -plot file.svg  draw logAv, maxLum and the adapted values against the frame number\n"
    "  -R n            look-ahead window: n frames each side (default 6, 0 or more)\n";

[[noreturn]] void GiveUsage(const char *message) {
  if (message) fprintf(stderr, "%s\n", message);
  fputs(usage, stderr);
  exit(NOT_A_MOVIE);
}

// What the command line asks for.
struct Options {
  int swap = 0;
  bool table = false;
  const char *plot = nullptr;
  int radius = LOOKAHEAD_DEFAULT_RADIUS;
  const char *name = nullptr;
};

// The options, then the movie, which comes last. -h, wherever an option may
// stand or in the movie's place, asks for the usage alone.
Options ParseCommandLine(int argc, char **argv) {
  Options o;
  if (argc < 2) GiveUsage(nullptr);
  for (int i = 1; i < argc - 1; i++) {
    const char *arg = argv[i];
    if (strcmp(arg, "-h") == 0) {
      GiveUsage(nullptr);
    } else if (strcmp(arg, "-b") == 0) {
      o.swap = 1;
    } else if (strcmp(arg, "-frames") == 0) {
      o.table = true;
    } else if (strcmp(arg, "-plot") == 0 && i + 1 < argc - 1) {
      o.plot = argv[++i];
    } else if (strcmp(arg, "-R") == 0 && i + 1 < argc - 1) {
      if (!ParseLookAheadRadius(argv[++i], &o.radius))
        GiveUsage("Look-ahead radius must be a whole number of frames, 0 or more [-R]");
    } else {
      GiveUsage((std::string("Unknown option or missing value: ") + arg).c_str());
    }
  }
  o.name = argv[argc - 1];
  if (strcmp(o.name, "-h") == 0) GiveUsage(nullptr);
  if (o.name[0] == '-' && o.name[1] != 0) GiveUsage("The last argument must be the movie file");
  return o;
}

// 1 when the file holds exactly the frames the header announces.
bool FitsFile(const MovieHeader &header, uint64_t filesize) {
  const uint64_t framesize = MovieFrameSize(header);
  if (filesize < MOVIE_HEADER_SIZE || framesize == 0) return false;
  const uint64_t body = filesize - MOVIE_HEADER_SIZE;
  return body % framesize == 0 && body / framesize == (uint64_t)header.nframes;
}

const char *EyesText(int eyes) {
  static char text[64];
  if (eyes == 1) return "1 eye";
  if (eyes == 2) return "2 eyes (stereo pairs)";
  if (eyes == 0) return "0 eyes (played as one picture a frame)";
  snprintf(text, sizeof text, "%d eyes (the player shows the first picture of a frame)", eyes);
  return text;
}

// Opens the movie and reads its header. Returns false, the reason printed,
// when it cannot. A path that names no regular file is not opened (a FIFO
// would hold the open until a writer came) and fails as EINVAL.
bool OpenMovie(const char *name, int swap, MovieFile *movie) {
  struct stat st;
  MovieOpenResult opened = MOVIE_NOT_OPENED;
  if (stat(name, &st) == 0 && !S_ISREG(st.st_mode))
    errno = EINVAL;
  else
    opened = OpenMovieFile(movie, name, swap);
  if (opened == MOVIE_NOT_OPENED) {
    fprintf(stderr, "Failed to open movie file \"%s\": %s\n", name, strerror(errno));
    return false;
  }
  if (opened == MOVIE_NO_HEADER) {
    fprintf(stderr, "Failed to read the header of \"%s\": %llu bytes, a movie has at least %d\n", name,
            (unsigned long long)movie->file_size, MOVIE_HEADER_SIZE);
    return false;
  }
  return true;
}

// The player's checks of the header, and the other byte order: a header
// that is valid only that way, or valid both ways but matching the file's
// length only that way, was written on a machine of the other byte order.
// (Small sizes such as 16 x 16 are valid both ways: 16 reads as 4096.)
// Returns false, the reason printed, for a header that is no movie's here.
bool CheckHeader(const char *name, const MovieFile &movie) {
  MovieHeader other = movie.header;
  SwapMovieHeader(&other);
  const char *fault = CheckMovieHeader(movie.header);
  const bool other_valid = CheckMovieHeader(other) == nullptr;
  if (!fault && !(other_valid && !FitsFile(movie.header, movie.file_size) && FitsFile(other, movie.file_size)))
    return true;
  if (fault) fprintf(stderr, "%s: %s\n", name, fault);
  if (other_valid) {
    if (!fault) fprintf(stderr, "%s: the header matches the file's length only in the other byte order\n", name);
    fprintf(stderr, "The header is valid in the other byte order: %s\n",
            movie.byteswap ? "written on a machine of this byte order: play without -b"
                           : "written on a machine of the other byte order: play with -b");
  } else {
    fprintf(stderr, "Not a movie file\n");
  }
  return false;
}

// The header, the sizes and how the file's length matches them. Returns
// true when the file holds every frame the header announces.
bool PrintLayout(FILE *report, const Options &o, const MovieFile &movie, int64_t complete) {
  const MovieHeader &header = movie.header;
  const uint64_t body = movie.file_size - MOVIE_HEADER_SIZE;
  const int64_t announced = header.nframes;
  fprintf(report, "Movie: %s%s\n", o.name, o.swap ? " (byte-swapped)" : "");
  fprintf(report, "Header: %d x %d, %s, %d frames\n", header.width, header.height, EyesText(header.eyes),
          header.nframes);
  fprintf(report, "Frame size: %llu bytes (%d x (16 + 4 x %d x %d))\n", (unsigned long long)movie.frame_size,
          movie.records, header.width, header.height);
  fprintf(report, "File: %llu bytes, %lld complete frames\n", (unsigned long long)movie.file_size,
          (long long)complete);
  if (complete < announced) {
    fprintf(report, "Truncated: the header announces %lld frames, the file holds %lld complete frames\n",
            (long long)announced, (long long)complete);
    const uint64_t rest = body - (uint64_t)complete * movie.frame_size;
    if (rest > 0)
      fprintf(report, "Partial last frame: frame %lld has %llu of its %llu bytes (left out)\n", (long long)complete,
              (unsigned long long)rest, (unsigned long long)movie.frame_size);
    return false;
  }
  if (body > (uint64_t)announced * movie.frame_size)
    fprintf(report, "Extra data: %llu bytes after the last frame (not played)\n",
            (unsigned long long)(body - (uint64_t)announced * movie.frame_size));
  return true;
}

// Names every record of every complete frame, shown or not, whose
// statistics are corrupt. Returns how many are.
int64_t PrintCorruptRecords(FILE *report, const MovieFile &movie, int64_t complete) {
  int64_t corrupt = 0;
  for (int64_t k = 0; k < complete; k++)
    for (int eye = 0; eye < movie.records; eye++) {
      double maxLum = NAN, logAv = NAN;
      const bool read = ReadRecordStatistics(movie, k, eye, &maxLum, &logAv) == 2;
      if (!read || IsBadRecord(maxLum, logAv)) {
        corrupt++;
        fprintf(report, "Corrupt statistics: frame %lld, eye %d: maxLum %.17g, logAv %.17g\n", (long long)k, eye,
                maxLum, logAv);
      }
    }
  return corrupt;
}

void PrintVerdict(FILE *report, bool whole, int64_t corrupt) {
  if (corrupt > 0)
    fprintf(report, "Statistics: %lld corrupt record%s\n", (long long)corrupt, corrupt == 1 ? "" : "s");
  else
    fprintf(report, "Statistics: sound\n");
  fprintf(report, "Result: %s\n",
          whole && corrupt == 0 ? "complete and sound"
          : !whole              ? (corrupt > 0 ? "truncated, corrupt statistics" : "truncated")
                                : "corrupt statistics");
}

// The figures of every shown eye of every complete frame: the player's
// causal state from frame 0 on, as the tone mapper keeps it, and the
// look-ahead values. Returns false, the reason printed, when the movie
// cannot be read again.
bool GatherFigures(const Options &o, const MovieFile &movie, std::vector<std::vector<FrameFigures>> *figures) {
  StatisticsCache cache;
  OpenStatisticsCache(&cache, &movie);
  figures->assign((size_t)cache.eyes, {});
  for (int eye = 0; eye < cache.eyes; eye++) {
    double adapted = 0.0;
    std::vector<FrameFigures> &rows = (*figures)[(size_t)eye];
    rows.resize((size_t)cache.frames);
    for (int64_t k = 0; k < cache.frames; k++) {
      FrameFigures &f = rows[(size_t)k];
      const CachedRecord &record = GetCachedRecord(&cache, k, eye);
      f.maxLum = record.maxLum;
      f.logAv = record.logAv;
      f.adapted_causal = AdaptLogAverage(&adapted, record.logAv);
      LookAheadValues(&cache, k, eye, o.radius, &f.adapted_lookahead, &f.peak_lookahead);
      f.cut = k > 0 && IsSegmentStart(&cache, k, eye);
    }
  }
  CloseStatisticsCache(&cache);
  return true;
}

// The -frames table on stdout. Returns false, the reason printed, when it
// could not be written.
bool PrintTable(const std::vector<std::vector<FrameFigures>> &figures, int64_t complete) {
  printf("frame\teye\tmaxLum\tlogAv\tadapted_causal\tadapted_lookahead\tpeak_lookahead\n");
  for (size_t k = 0; k < (size_t)complete; k++)
    for (size_t eye = 0; eye < figures.size(); eye++) {
      const FrameFigures &f = figures[eye][k];
      printf("%zu\t%d\t%.17g\t%.17g\t%.17g\t%.17g\t%.17g\n", k, (int)eye, f.maxLum, f.logAv, f.adapted_causal,
             f.adapted_lookahead, f.peak_lookahead);
    }
  if (fflush(stdout) == 0 && !ferror(stdout)) return true;
  fprintf(stderr, "Failed to write the table: %s\n", strerror(errno));
  return false;
}

// The table and the plot of the figures; the status once they are written.
int WriteFigures(const Options &o, const MovieFile &movie, int64_t complete, int status) {
  std::vector<std::vector<FrameFigures>> figures;
  if (!GatherFigures(o, movie, &figures)) return NOT_A_MOVIE;
  if (o.table && !PrintTable(figures, complete)) return OUTPUT_FAILED;
  if (o.plot && WritePlot(o.plot, o.name, o.radius, figures) != 0) {
    fprintf(stderr, "Failed to write the plot \"%s\": %s\n", o.plot, strerror(errno));
    return OUTPUT_FAILED;
  }
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  const Options o = ParseCommandLine(argc, argv);
  // With -frames the table has stdout to itself.
  FILE *report = o.table ? stderr : stdout;
  MovieFile movie;
  if (!OpenMovie(o.name, o.swap, &movie) || !CheckHeader(o.name, movie)) {
    CloseMovieFile(&movie);
    return NOT_A_MOVIE;
  }
  const int64_t complete = CompleteFrames(movie);
  const bool whole = PrintLayout(report, o, movie, complete);
  const int64_t corrupt = PrintCorruptRecords(report, movie, complete);
  PrintVerdict(report, whole, corrupt);
  int status = whole && corrupt == 0 ? SOUND : FAULTY;
  if (o.table || o.plot)
    status = WriteFigures(o, movie, complete, status);
  else if (fflush(stdout) != 0 || ferror(stdout))
    status = OUTPUT_FAILED;
  CloseMovieFile(&movie);
  return status;
}
