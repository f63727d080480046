// Opening the session's movie, allocating the shown frame and giving the
// frame cache its budget.
#include "session.h"

Session::~Session() {
  // The frames being made ahead read the movie into the session's buffers.
  StopReadAhead(this);
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
  const BufferFault fault = AllocateFrame(session->shown.get(), session->movie, eyes, 3);
  if (fault != BUFFERS_ALLOCATED) return fault;
  return AllocateScratch(&session->scratch, session->movie);
}

BufferFault AllocateShownBytes(Session *session) {
  if (!session->settings.bytes) return BUFFERS_ALLOCATED;
  return AllocateDisplayBytes(session->shown.get(), session->movie, ShownEyes(*session));
}

void ConfigureFrameCache(Session *session, size_t budget) {
  SetCacheBudget(&session->cache, budget, FrameBytes(session->movie, ShownEyes(*session), session->settings.bytes),
                 session->movie.header.nframes);
}

FrameJob DescribeFrame(const Session &session, const StepPlan &plan, const std::atomic<bool> *cancelled) {
  return DescribeKey(session, KeyOf(session, plan), cancelled);
}

FrameJob DescribeKey(const Session &session, const FrameKey &key, const std::atomic<bool> *cancelled) {
  FrameJob job;
  job.movie = &session.movie;
  job.number = key.number;
  job.position = key.position;
  job.settings = key.settings;
  job.adapted[0] = key.adapted[0];
  job.adapted[1] = key.adapted[1];
  job.pool = session.pool;
  // The cache fills itself under its own lock as the look-ahead reads it.
  job.statistics = const_cast<StatisticsCache *>(&session.statistics);
  job.cancelled = cancelled;
  return job;
}
