// halvpack: builds a movie file from a list of Radiance RGBE, OpenEXR and
// PFM pictures, or from a stream of pictures on the standard input.
#include "builder.h"

#include <fcntl.h>
#include <sys/stat.h>
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
  fprintf(stderr, "       -s    Read PFM, Radiance RGBE and 16-bit PPM pictures from the standard\n");
  fprintf(stderr, "             input until it ends, instead of -i; needs -o.\n");
  fprintf(stderr, "       -pq   PFM and PPM values are PQ-encoded BT.2020 (HDR10 video)\n");
  fprintf(stderr, "       -hlg  PFM and PPM values are HLG-encoded BT.2020\n");
  fprintf(stderr, "       -nits With -pq or -hlg: the cd/m2 of a movie value of 1 [Default: 179]\n");
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

// A number of cd/m2 for -nits: the whole argument, 0.01 to 10000.
bool ParseNits(const char *text, double *nits) {
  char *end;
  const double v = strtod(text, &end);
  if (end == text || *end != 0 || !(v >= 0.01 && v <= 10000.0)) return false;
  *nits = v;
  return true;
}

// The temporary name beside the movie under which a stream's movie is
// written until its frame count is known.
std::string TemporaryName(const std::string &target) {
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  return dir + "." + base + "." + std::to_string((long)getpid()) + ".tmp";
}

// Ends a stream's movie: the complete frames written are kept (a stereo
// frame whose right picture never came is cut off), the header's frame
// count is made theirs and the file takes its name. Returns the frames
// kept, or -1 when the file cannot be finished (it is removed).
long FinishStreamMovie(MovieWriter *movie, const std::string &temp, const std::string &target) {
  const long frames = (long)((movie->bytes - MOVIE_HEADER_SIZE) / MovieFrameSize(movie->header));
  movie->header.nframes = (int32_t)frames;
  movie->bytes = MovieFrameOffset(movie->header, frames);
  bool ok = frames > 0 && fflush(movie->file) == 0 && fseeko(movie->file, 0, SEEK_SET) == 0 &&
            WriteMovieHeader(movie->file, movie->header) == 0 && fflush(movie->file) == 0 &&
            ftruncate(fileno(movie->file), (off_t)movie->bytes) == 0;
  ok = fclose(movie->file) == 0 && ok;
  movie->file = nullptr;
  if (ok && rename(temp.c_str(), target.c_str()) == 0) return frames;
  unlink(temp.c_str());
  return frames > 0 ? -1 : 0;
}

// halvpack -s: the pictures of the standard input into a movie written
// under a temporary name, whose header gets the frame count at the end.
int PackFromStream(MovieWriter movie, const std::string &outname, const std::string &listname, int debug,
                   unsigned threads, const PictureSignal &values, const char *program) {
  if (!listname.empty()) {
    fprintf(stderr, "-s reads the pictures from the standard input: -i cannot go with it\n");
    UsageExit(program);
  }
  struct stat st;
  if (outname.empty() || (stat(outname.c_str(), &st) == 0 && !S_ISREG(st.st_mode))) {
    fprintf(stderr, "-s needs -o with a regular file: the frame count is written when the stream ends\n");
    UsageExit(program);
  }
  // A broken pipe must show as a failed write, not kill the run silently.
  signal(SIGPIPE, SIG_IGN);
  const std::string temp = TemporaryName(outname);
  movie.file = fopen(temp.c_str(), "wb+");
  if (movie.file == nullptr) {
    fprintf(stderr, "Failed to open file \"%s\"\n", outname.c_str());
    exit(-1);
  }
  if (debug) fprintf(stderr, "Outputfile: %s\n", outname.c_str());
  // A pipe of 1 MiB rather than 64 KiB: a 1080p picture crosses it in a
  // few dozen turns of the two processes instead of hundreds (a request
  // the system refuses leaves the pipe as it was).
  fcntl(STDIN_FILENO, F_SETPIPE_SZ, 1 << 20);
  movie.header.nframes = 0;
  const PackStatus status = WriteHeader(&movie) == 0 ? PackStream(stdin, &movie, threads, values) : PACK_WRITE_FAILED;
  // A stereo stream that ends between the eyes of a frame.
  const bool half = status == PACK_DONE && (movie.bytes - MOVIE_HEADER_SIZE) % MovieFrameSize(movie.header) != 0;
  if (status == PACK_WRITE_FAILED) {
    fclose(movie.file);
    unlink(temp.c_str());
    WriteFailedExit();
  }
  const long frames = FinishStreamMovie(&movie, temp, outname);
  if (frames < 0) WriteFailedExit();
  if (half)
    fprintf(stderr, "The stream ended between the eyes of a frame: its left picture, stdin #%ld, is left out\n",
            2 * frames + 1);
  if (frames == 0) {
    fprintf(stderr, "No complete frame came from the standard input: no movie was written\n");
    return 1;
  }
  fprintf(stderr, "Total movie file size should be %ld bytes\n", (long)movie.bytes);
  return status == PACK_DONE && !half ? 0 : 1;
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

  bool stream = false, nitsgiven = false;
  PictureSignal values;
  // -s, -pq and -hlg, wherever they stand (the last argument too).
  auto take_switch = [&](const char *arg) {
    if (strcmp(arg, "-s") == 0) stream = true;
    if (strcmp(arg, "-pq") == 0 || strcmp(arg, "-hlg") == 0) {
      const SignalCurve curve = arg[1] == 'p' ? SIGNAL_PQ : SIGNAL_HLG;
      if (values.curve != SIGNAL_LINEAR && values.curve != curve) {
        fprintf(stderr, "-pq and -hlg cannot go together\n");
        UsageExit(argv[0]);
      }
      values.curve = curve;
    }
  };

  if (argc - 1 < 5) UsageExit(argv[0]);

  // Options in steps: the tests run in order on the current argument,
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
    take_switch(argv[i]);
    if (strcmp(argv[i], "-nits") == 0) {
      if (!ParseNits(value(), &values.nits)) {
        fprintf(stderr, "Nits (-nits) must be a number of cd/m2 from 0.01 to 10000\n");
        UsageExit(argv[0]);
      }
      nitsgiven = true;
    }
    if (strcmp(argv[i], "-j") == 0) {
      threads = ParseThreadCount(value());
      if (threads == 0) {
        fprintf(stderr, "Workers (-j) must be a whole number from 1 to 1024\n");
        UsageExit(argv[0]);
      }
    }
  }

  take_switch(argv[last]);
  if (nitsgiven && values.curve == SIGNAL_LINEAR) {
    fprintf(stderr, "-nits goes with -pq or -hlg\n");
    UsageExit(argv[0]);
  }
  if (stream) return PackFromStream(movie, outname, listname, debug, threads, values, argv[0]);

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
  switch (PackList(list, &movie, threads, values)) {
    case PACK_DONE:
      break;
    case PACK_STOPPED:
    case PACK_STREAM_BROKEN:
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
