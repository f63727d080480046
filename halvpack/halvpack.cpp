// halvpack: builds a movie file from a list of Radiance RGBE, OpenEXR and
// PFM pictures.
#include "builder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pool.h"
#include "utility.h"

namespace {

void PrintUsage(const char *program) {
  fprintf(stderr, "Usage: %s ", program);
  fprintf(stderr, "-x width -y height [-dout format] [-din depth] [-e eyes] ");
  fprintf(stderr, "[-flip] [-cmap filename] [-bgr] [-g gamma] [-q n] [-d] ");
  fprintf(stderr, "[-fade n] ");
  fprintf(stderr, "filename\n");
  fprintf(stderr, "       -o    Specify output file otherwise stdout\n");
  fprintf(stderr, "       -i    Specify input file \n");
  fprintf(stderr, "       -g    Does simple gamma correction [Default: 1]\n");
  fprintf(stderr, "             Expects a floating point number. Slow!\n");
  fprintf(stderr, "       -d    For testing (debug) mode\n");
  fprintf(stderr, "The \"filename\" is a list of image files in either,\n");
  fprintf(stderr, "A single column file for -e 1, double column file for -e 2\n");
  // Options the lines above do not list, in a block of their own.
  fprintf(stderr, "\n");
  fprintf(stderr, "       -j    Workers that read and convert pictures [Default: one per core]\n");
  fprintf(stderr, "             Expects a whole number from 1 to 1024.\n");
}

[[noreturn]] void UsageExit(const char *program) {
  PrintUsage(program);
  exit(-1);
}

// Ends the run after a write to the movie failed.
[[noreturn]] void WriteFailedExit() {
  fprintf(stderr, "Failed to write the movie file\n");
  exit(1);
}

// Decimal integer as atoi reads it (blanks, sign, digits up to the first
// other character), keeping the low bits of numbers of any length.
uint64_t ParseInteger(const char *text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) text++;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  uint64_t value = 0;
  while (*text >= '0' && *text <= '9') value = value * 10 + (uint64_t)(*text++ - '0');
  return negative ? 0 - value : value;
}

}  // namespace

int main(int argc, char **argv) {
  MovieWriter movie;
  MovieHeader &header = movie.header;
  header.width = 720;
  header.height = 486;
  header.format = MOVIE_FORMAT;
  header.eyes = 1;
  header.pad[0] = header.pad[1] = 0;
  header.nframes = 0;
  std::string listname, outname;
  int debug = 0;
  unsigned threads = ProcessorCount();

  if (argc - 1 < 5) UsageExit(argv[0]);

  // Options in steps: the seven tests run in order on the current argument,
  // and a test that takes a value moves onto it, so the tests after it in
  // the same step examine that value. No step starts at the last argument.
  const int last = argc - 1;
  for (int i = 1; i < last; i++) {
    auto value = [&]() -> const char * {
      if (i + 1 > last) UsageExit(argv[0]);  // the value would lie past the end
      return argv[++i];
    };
    if (strcmp(argv[i], "-x") == 0) header.width = (int16_t)(uint16_t)ParseInteger(value());
    if (strcmp(argv[i], "-y") == 0) header.height = (int16_t)(uint16_t)ParseInteger(value());
    if (strcmp(argv[i], "-d") == 0) debug = 1;
    if (strcmp(argv[i], "-i") == 0) listname = value();
    if (strcmp(argv[i], "-o") == 0) outname = value();
    if (strcmp(argv[i], "-e") == 0) {
      header.eyes = (uint8_t)ParseInteger(value());
      if (header.eyes != 1 && header.eyes != 2) {
        fprintf(stderr, "Eyes must be 1 or 2\n");
        UsageExit(argv[0]);
      }
    }
    if (strcmp(argv[i], "-j") == 0) {
      threads = ParseThreadCount(value());
      if (threads == 0) {
        fprintf(stderr, "Workers (-j) must be a whole number from 1 to 1024\n");
        UsageExit(argv[0]);
      }
    }
  }

  // The list is read twice, so only a regular file will do.
  FILE *list = OpenRegularFile(listname.c_str(), "r");
  if (list == nullptr) {
    fprintf(stderr, errno == EINVAL ? "Unable to read file list \"%s\"\n" : "Unable to open file list \"%s\"\n",
            listname.c_str());
    UsageExit(argv[0]);
  }
  char line[LIST_LINE_LIMIT + 1];
  while (ReadLine(list, line, LIST_LINE_LIMIT)) header.nframes++;
  if (ferror(list)) {  // a directory, or a read error: no list to count
    fprintf(stderr, "Unable to read file list \"%s\"\n", listname.c_str());
    UsageExit(argv[0]);
  }
  fprintf(stderr, "Found %d file names\n", header.nframes);

  // A broken pipe must show as a failed write, not kill the run silently.
  signal(SIGPIPE, SIG_IGN);
  if (!outname.empty()) {
    movie.file = fopen(outname.c_str(), "wb+");
    if (movie.file == nullptr) {
      fprintf(stderr, "Failed to open file \"%s\"\n", outname.c_str());
      exit(-1);
    }
  } else {
    if (fcntl(STDOUT_FILENO, F_GETFL) < 0) WriteFailedExit();  // stdout is closed
    movie.file = stdout;
  }
  if (debug) fprintf(stderr, "Outputfile: %s\n", outname.c_str());

  if (WriteHeader(&movie) != 0) WriteFailedExit();
  if (fseeko(list, 0, SEEK_SET) != 0) {
    fprintf(stderr, "Unable to read file list \"%s\" a second time\n", listname.c_str());
    exit(-1);
  }

  // The run stops, with the workers joined, at a picture of the wrong size
  // or without memory (its messages are out) and at a failed write.
  switch (PackList(list, &movie, threads)) {
    case PACK_DONE:
      break;
    case PACK_STOPPED:
      exit(1);
    case PACK_WRITE_FAILED:
      WriteFailedExit();
  }

  fclose(list);
  if (fflush(movie.file) != 0 || ferror(movie.file)) WriteFailedExit();
  if (fclose(movie.file) != 0) WriteFailedExit();
  fprintf(stderr, "Total movie file size should be %ld bytes\n", (long)movie.bytes);
  return 0;
}
