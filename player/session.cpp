// Opening the session's movie and allocating the shown frame.
#include "session.h"

Session::~Session() {
  // A frame being prepared reads the movie into the session's buffers.
  StopPreparing(this);
  CloseStatisticsCache(&statistics);
  CloseMovieFile(&movie);
}

MovieOpenResult OpenSessionMovie(Session *session, const char *path, int byteswap) {
  const MovieOpenResult result = OpenMovieFile(&session->movie, path, byteswap);
  if (result == MOVIE_OPENED) OpenStatisticsCache(&session->statistics, &session->movie);
  session->position = MOVIE_HEADER_SIZE;
  return result;
}

void AdoptSessionMovie(Session *session, int fd, const MovieHeader &header, int byteswap) {
  AdoptMovieFile(&session->movie, fd, header, byteswap);
  OpenStatisticsCache(&session->statistics, &session->movie);
  session->position = MOVIE_HEADER_SIZE;
}

BufferFault AllocateShownFrame(Session *session, int eyes) {
  session->shown.reset(new Frame);
  // The raw pixels of one record take 4 bytes a pixel; the buffer has
  // always been sized as a float picture (12 bytes a pixel), and keeps that
  // size so that the memory a running player holds stays as it was.
  return AllocateFrame(session->shown.get(), session->movie, eyes, 3);
}

BufferFault AllocateShownBytes(Session *session) {
  if (!session->settings.bytes) return BUFFERS_ALLOCATED;
  return AllocateDisplayBytes(session->shown.get(), session->movie, ShownEyes(*session));
}
