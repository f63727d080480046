// halvinfo: checks a movie file (header, length, statistics) and prints its
// statistics with the adapted values the player uses, as a table and a plot.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <unistd.h>

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
#include "utility.h"

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

}  // namespace

int main(int argc, char **argv) {
  int swap = 0, table = 0, radius = LOOKAHEAD_DEFAULT_RADIUS;
  const char *plot = nullptr;
  if (argc < 2) GiveUsage(nullptr);
  for (int i = 1; i < argc - 1; i++) {
    const char *arg = argv[i];
    if (strcmp(arg, "-b") == 0) {
      swap = 1;
    } else if (strcmp(arg, "-frames") == 0) {
      table = 1;
    } else if (strcmp(arg, "-plot") == 0 && i + 1 < argc - 1) {
      plot = argv[++i];
    } else if (strcmp(arg, "-R") == 0 && i + 1 < argc - 1) {
      if (!ParseLookAheadRadius(argv[++i], &radius))
        GiveUsage("Look-ahead radius must be a whole number of frames, 0 or more [-R]");
    } else {
      GiveUsage((std::string("Unknown option or missing value: ") + arg).c_str());
    }
  }
  const char *name = argv[argc - 1];
  if (name[0] == '-' && name[1] != 0) GiveUsage("The last argument must be the movie file");

  // With -frames the table has stdout to itself.
  FILE *report = table ? stderr : stdout;

  FILE *file = OpenRegularFile(name, "rb");
  if (file == nullptr) {
    fprintf(stderr, "Failed to open movie file \"%s\": %s\n", name, strerror(errno));
    return NOT_A_MOVIE;
  }
  struct stat st;
  const uint64_t filesize = fstat(fileno(file), &st) == 0 ? (uint64_t)st.st_size : 0;
  MovieHeader header;
  if (!ReadMovieHeader(file, &header, swap)) {
    fprintf(stderr, "Failed to read the header of \"%s\": %llu bytes, a movie has at least %d\n", name,
            (unsigned long long)filesize, MOVIE_HEADER_SIZE);
    fclose(file);
    return NOT_A_MOVIE;
  }
  // The other byte order: a header that is valid only that way, or valid
  // both ways but matching the file's length only that way, was written on
  // a machine of the other byte order. (Small sizes such as 16 x 16 are
  // valid both ways: 16 reads as 4096.)
  MovieHeader other = header;
  SwapMovieHeader(&other);
  const char *fault = CheckMovieHeader(header);
  const bool other_valid = CheckMovieHeader(other) == nullptr;
  if (fault || (other_valid && !FitsFile(header, filesize) && FitsFile(other, filesize))) {
    if (fault) fprintf(stderr, "%s: %s\n", name, fault);
    if (other_valid) {
      if (!fault) fprintf(stderr, "%s: the header matches the file's length only in the other byte order\n", name);
      fprintf(stderr, "The header is valid in the other byte order: %s\n",
              swap ? "written on a machine of this byte order: play without -b"
                   : "written on a machine of the other byte order: play with -b");
    } else {
      fprintf(stderr, "Not a movie file\n");
    }
    fclose(file);
    return NOT_A_MOVIE;
  }

  const int records = RecordsPerFrame(header);
  const uint64_t recordsize = PictureRecordSize(header.width, header.height);
  const uint64_t framesize = MovieFrameSize(header);
  const uint64_t body = filesize - MOVIE_HEADER_SIZE;
  const uint64_t whole = body / framesize;
  const int64_t announced = header.nframes;
  const int64_t complete = whole < (uint64_t)announced ? (int64_t)whole : announced;
  int status = SOUND;

  fprintf(report, "Movie: %s%s\n", name, swap ? " (byte-swapped)" : "");
  fprintf(report, "Header: %d x %d, %s, %d frames\n", header.width, header.height, EyesText(header.eyes),
          header.nframes);
  fprintf(report, "Frame size: %llu bytes (%d x (16 + 4 x %d x %d))\n", (unsigned long long)framesize, records,
          header.width, header.height);
  fprintf(report, "File: %llu bytes, %lld complete frames\n", (unsigned long long)filesize, (long long)complete);
  if (complete < announced) {
    status = FAULTY;
    fprintf(report, "Truncated: the header announces %lld frames, the file holds %lld complete frames\n",
            (long long)announced, (long long)complete);
    const uint64_t rest = body - (uint64_t)complete * framesize;
    if (rest > 0)
      fprintf(report, "Partial last frame: frame %lld has %llu of its %llu bytes (left out)\n", (long long)complete,
              (unsigned long long)rest, (unsigned long long)framesize);
  } else if (body > (uint64_t)announced * framesize) {
    fprintf(report, "Extra data: %llu bytes after the last frame (not played)\n",
            (unsigned long long)(body - (uint64_t)announced * framesize));
  }

  // Every record of every complete frame, shown or not.
  int64_t corrupt = 0;
  for (int64_t k = 0; k < complete; k++)
    for (int eye = 0; eye < records; eye++) {
      double maxLum = NAN, logAv = NAN;
      const uint64_t at = MovieFrameOffset(header, k) + (uint64_t)eye * recordsize;
      const bool read = fseeko(file, (off_t)at, SEEK_SET) == 0 && ReadRecordStatistics(file, &maxLum, &logAv, swap) == 2;
      if (!read || IsBadRecord(maxLum, logAv)) {
        corrupt++;
        fprintf(report, "Corrupt statistics: frame %lld, eye %d: maxLum %.17g, logAv %.17g\n", (long long)k, eye,
                maxLum, logAv);
      }
    }
  fclose(file);
  if (corrupt > 0) status = FAULTY;
  if (corrupt > 0)
    fprintf(report, "Statistics: %lld corrupt record%s\n", (long long)corrupt, corrupt == 1 ? "" : "s");
  else
    fprintf(report, "Statistics: sound\n");
  fprintf(report, "Result: %s\n",
          status == SOUND ? "complete and sound"
          : complete < announced ? (corrupt > 0 ? "truncated, corrupt statistics" : "truncated")
                                 : "corrupt statistics");

  if (!table && !plot) return fflush(stdout) == 0 && !ferror(stdout) ? status : OUTPUT_FAILED;

  // The figures of every shown eye of every complete frame.
  MovieFile movie;
  AdoptMovieFile(&movie, dup(fileno(file)), header, swap);
  StatisticsCache cache;
  OpenStatisticsCache(&cache, &movie);
  const int eyes = cache.eyes;
  std::vector<std::vector<FrameFigures>> figures((size_t)eyes);
  for (int eye = 0; eye < eyes; eye++) {
    // The player's causal state, from frame 0 on, as the tone mapper keeps it.
    double adapted = 0.0;
    figures[(size_t)eye].resize((size_t)cache.frames);
    for (int64_t k = 0; k < cache.frames; k++) {
      FrameFigures &f = figures[(size_t)eye][(size_t)k];
      const CachedRecord &record = GetCachedRecord(&cache, k, eye);
      f.maxLum = record.maxLum;
      f.logAv = record.logAv;
      f.adapted_causal = AdaptLogAverage(&adapted, record.logAv);
      LookAheadValues(&cache, k, eye, radius, &f.adapted_lookahead, &f.peak_lookahead);
      f.cut = k > 0 && IsSegmentStart(&cache, k, eye);
    }
  }
  CloseStatisticsCache(&cache);
  CloseMovieFile(&movie);

  if (table) {
    printf("frame\teye\tmaxLum\tlogAv\tadapted_causal\tadapted_lookahead\tpeak_lookahead\n");
    for (size_t k = 0; k < (size_t)complete; k++)
      for (int eye = 0; eye < eyes; eye++) {
        const FrameFigures &f = figures[(size_t)eye][k];
        printf("%zu\t%d\t%.17g\t%.17g\t%.17g\t%.17g\t%.17g\n", k, eye, f.maxLum, f.logAv, f.adapted_causal,
               f.adapted_lookahead, f.peak_lookahead);
      }
    if (fflush(stdout) != 0 || ferror(stdout)) {
      fprintf(stderr, "Failed to write the table: %s\n", strerror(errno));
      return OUTPUT_FAILED;
    }
  }
  if (plot && WritePlot(plot, name, radius, figures) != 0) {
    fprintf(stderr, "Failed to write the plot \"%s\": %s\n", plot, strerror(errno));
    return OUTPUT_FAILED;
  }
  return status;
}
