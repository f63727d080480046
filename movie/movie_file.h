// A movie open for reading: the descriptor, the header, the byte order and
// the sizes that follow from them, and the reads every program makes of it.
// Reads go by position (pread), so any thread may read any record at any
// time without a file position to share.
#ifndef HALVORN_MOVIE_FILE_H
#define HALVORN_MOVIE_FILE_H

#include <cstddef>
#include <cstdint>

#include "movie.h"

struct MovieFile {
  int fd = -1;
  MovieHeader header{};  // as read, swapped when `byteswap` is set
  int byteswap = 0;      // the movie was written in the other byte order
  size_t npixels = 0;    // width x height
  int records = 1;       // picture records a frame holds: max(eyes, 1)
  int shown_eyes = 1;    // records shown: 2 for a stereo pair, else 1
  uint64_t record_size = 0;
  uint64_t frame_size = 0;
  uint64_t file_size = 0;  // when opened
};

enum MovieOpenResult {
  MOVIE_OPENED,
  MOVIE_NOT_OPENED,  // no such regular file, or it cannot be read (errno set)
  MOVIE_NO_HEADER,   // the file ends inside the 12 header bytes
};

// Opens `path` and reads its header (swapping it when `byteswap` is set).
// The header is not checked (CheckMovieHeader); the sizes are derived from
// it as it is. Closes what `movie` held first.
MovieOpenResult OpenMovieFile(MovieFile *movie, const char *path, int byteswap);
// Takes an open descriptor whose header is `header` instead (the movie's
// file is not read): for tests and tools that made the file themselves.
void AdoptMovieFile(MovieFile *movie, int fd, const MovieHeader &header, int byteswap);
void CloseMovieFile(MovieFile *movie);

// The frames lying wholly in the file, up to the header's count (0 for a
// count below 1).
int64_t CompleteFrames(const MovieFile &movie);

// The file's size now (it may have grown or shrunk since it was opened).
uint64_t CurrentFileSize(const MovieFile &movie);

// Where frame k, and record r of it, start.
uint64_t FramePosition(const MovieFile &movie, int64_t frame);
uint64_t RecordPosition(const MovieFile &movie, int64_t frame, int record);

// Reads the two statistics of the record at byte `position`, byte-swapped
// as the movie needs. Returns how many were read whole: 2, or 1 or 0 when
// the file ends inside them (the missing ones are left as they were).
int ReadStatisticsAt(const MovieFile &movie, uint64_t position, double *maxLum, double *logAv);
// The same for record `eye` of `frame`.
int ReadRecordStatistics(const MovieFile &movie, int64_t frame, int eye, double *maxLum, double *logAv);

// Reads `size` bytes at `position` into `buffer`, going on after short reads
// and interruptions. Returns 0, 1 when the file ends first, or -1 with errno
// set when a read fails.
int ReadBytesAt(const MovieFile &movie, uint64_t position, void *buffer, size_t size);
// Reads the pixels of the record at byte `position` (past its statistics)
// into `rgbe` (4 x npixels bytes), with ReadBytesAt's result.
int ReadPixelsAt(const MovieFile &movie, uint64_t position, unsigned char *rgbe);

// Tells the kernel that playback reads on from `position` for `bytes`
// bytes, in order.
void AdviseReadAhead(const MovieFile &movie, uint64_t position, uint64_t bytes);

#endif
