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

FrameJob DescribeFrame(const Session &session, const StepPlan &plan, const std::atomic<bool> *cancelled) {
  FrameJob job;
  job.movie = &session.movie;
  job.number = plan.frame;
  job.position = plan.position;
  job.settings = session.settings;
  job.adapted[0] = session.adapted[0];
  job.adapted[1] = session.adapted[1];
  job.pool = session.pool;
  // The cache fills itself under its own lock as the look-ahead reads it.
  job.statistics = const_cast<StatisticsCache *>(&session.statistics);
  job.cancelled = cancelled;
  return job;
}
