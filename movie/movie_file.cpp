// The movie opened for reading, and its positional reads.
#include "movie_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

void DeriveSizes(MovieFile *movie) {
  const MovieHeader &h = movie->header;
  movie->npixels = h.width > 0 && h.height > 0 ? (size_t)h.width * (size_t)h.height : 0;
  movie->records = RecordsPerFrame(h);
  movie->shown_eyes = h.eyes == 2 ? 2 : 1;
  movie->record_size = PictureRecordSize(h.width > 0 ? h.width : 0, h.height > 0 ? h.height : 0);
  movie->frame_size = (uint64_t)movie->records * movie->record_size;
}

}  // namespace

uint64_t CurrentFileSize(const MovieFile &movie) {
  struct stat st;
  return movie.fd >= 0 && fstat(movie.fd, &st) == 0 ? (uint64_t)st.st_size : movie.file_size;
}

MovieOpenResult OpenMovieFile(MovieFile *movie, const char *path, int byteswap) {
  CloseMovieFile(movie);
  // Without blocking: a FIFO would block the open. Only a regular file is
  // a movie: a device such as /dev/zero never ends.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return MOVIE_NOT_OPENED;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return MOVIE_NOT_OPENED;
  }
  movie->fd = fd;
  movie->byteswap = byteswap;
  movie->file_size = (uint64_t)st.st_size;
  if (ReadBytesAt(*movie, 0, &movie->header, MOVIE_HEADER_SIZE) != 0) {
    movie->header = MovieHeader{};
    DeriveSizes(movie);
    return MOVIE_NO_HEADER;
  }
  if (byteswap) SwapMovieHeader(&movie->header);
  DeriveSizes(movie);
  return MOVIE_OPENED;
}

void AdoptMovieFile(MovieFile *movie, int fd, const MovieHeader &header, int byteswap) {
  CloseMovieFile(movie);
  movie->fd = fd;
  movie->header = header;
  movie->byteswap = byteswap;
  movie->file_size = 0;
  movie->file_size = CurrentFileSize(*movie);
  DeriveSizes(movie);
}

void CloseMovieFile(MovieFile *movie) {
  if (movie->fd >= 0) close(movie->fd);
  *movie = MovieFile{};
}

int64_t CompleteFrames(const MovieFile &movie) {
  if (movie.header.nframes < 1 || movie.frame_size == 0) return 0;
  const uint64_t size = CurrentFileSize(movie);
  const uint64_t whole = size > MOVIE_HEADER_SIZE ? (size - MOVIE_HEADER_SIZE) / movie.frame_size : 0;
  return whole < (uint64_t)movie.header.nframes ? (int64_t)whole : (int64_t)movie.header.nframes;
}

uint64_t FramePosition(const MovieFile &movie, int64_t frame) {
  return MOVIE_HEADER_SIZE + (uint64_t)frame * movie.frame_size;
}

uint64_t RecordPosition(const MovieFile &movie, int64_t frame, int record) {
  return FramePosition(movie, frame) + (uint64_t)record * movie.record_size;
}

int ReadBytesAt(const MovieFile &movie, uint64_t position, void *buffer, size_t size) {
  unsigned char *p = static_cast<unsigned char *>(buffer);
  while (size > 0) {
    const ssize_t got = pread(movie.fd, p, size, (off_t)position);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) return 1;
    p += got;
    size -= (size_t)got;
    position += (uint64_t)got;
  }
  return 0;
}

int ReadStatisticsAt(const MovieFile &movie, uint64_t position, double *maxLum, double *logAv) {
  if (ReadBytesAt(movie, position, maxLum, 8) != 0) return 0;
  if (ReadBytesAt(movie, position + 8, logAv, 8) != 0) return 1;
  if (movie.byteswap) {
    SwapDouble(maxLum);
    SwapDouble(logAv);
  }
  return 2;
}

int ReadRecordStatistics(const MovieFile &movie, int64_t frame, int eye, double *maxLum, double *logAv) {
  return ReadStatisticsAt(movie, RecordPosition(movie, frame, eye), maxLum, logAv);
}

int ReadPixelsAt(const MovieFile &movie, uint64_t position, unsigned char *rgbe) {
  return ReadBytesAt(movie, position + RECORD_STATISTICS_SIZE, rgbe, 4 * movie.npixels);
}

void AdviseReadAhead(const MovieFile &movie, uint64_t position, uint64_t bytes) {
  if (movie.fd < 0) return;
  posix_fadvise(movie.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  posix_fadvise(movie.fd, (off_t)position, (off_t)bytes, POSIX_FADV_WILLNEED);
}
