// What an export can do before any picture is read: the frames of the range
// the file holds whole, and the normaliser and peak of each of them.
//
// The causal adaptation of frame k depends on the log-averages of frames 0
// to k and on nothing else, so it is computed up front from 16-byte reads,
// however far into the movie the range starts, and every frame of the range
// can then be converted on its own, in any order, giving the player's
// picture of it to the bit.
#include <cerrno>
#include <cstring>

#include "export_run.h"
#include "lookahead.h"
#include "render.h"

namespace {

// The statistics of record `eye` of frame k. Returns 0, -1 with errno set
// when a read failed, or 1 when the file ends inside them.
int ReadStatistics(const MovieFile &movie, int64_t k, int eye, double *maxLum, double *logAv) {
  errno = 0;  // a read that ends at the end of the file leaves it so
  if (ReadRecordStatistics(movie, k, eye, maxLum, logAv) == 2) return 0;
  return errno != 0 ? -1 : 1;
}

size_t At(const ExportJob &job, const Run &run, int64_t k, size_t i) {
  return (size_t)(k - job.first) * run.eyes.size() + i;
}

// The causal adaptation moves on with every frame of each eye, from 0.0.
ExportResult PlanCausal(const ExportJob &job, Run *run, Reach *reach) {
  for (size_t i = 0; i < run->eyes.size(); i++) {
    double adapted = 0.0;
    for (int64_t k = 0; k <= reach->end; k++) {
      double maxLum, logAv;
      const int got = ReadStatistics(*run->movie, k, run->eyes[i], &maxLum, &logAv);
      if (got != 0) {
        reach->failure = "Failed to read the statistics of frame " + std::to_string(k) + ": " +
                         (got < 0 ? strerror(errno) : "the file ended");
        // Frames from k on cannot be adapted as the player adapts them.
        reach->end = k - 1;
        reach->failed = true;
        break;
      }
      const double avLum = AdaptLogAverage(&adapted, logAv);
      if (k >= job.first) {
        run->normaliser[At(job, *run, k, i)] = avLum;
        run->peak[At(job, *run, k, i)] = maxLum;
      }
      if ((k & 4095) == 0 && Stopped(job)) {
        job.report("Interrupted");
        job.report("Stopped: " + FrameRange(job.first, job.first - 1));
        return EXPORT_INTERRUPTED;
      }
    }
  }
  return EXPORT_DONE;
}

// In look-ahead mode the window around a frame gives the normaliser and the
// peak wherever it holds a good record.
ExportResult PlanLookAhead(const ExportJob &job, Run *run, const Reach &reach) {
  StatisticsCache cache;
  OpenStatisticsCache(&cache, job.movie);
  for (int64_t k = job.first; k <= reach.end; k++)
    for (size_t i = 0; i < run->eyes.size(); i++) {
      double adaptedAv, adaptedPeak;
      if (LookAheadValues(&cache, k, run->eyes[i], job.radius, &adaptedAv, &adaptedPeak)) {
        run->normaliser[At(job, *run, k, i)] = adaptedAv;
        run->peak[At(job, *run, k, i)] = adaptedPeak;
      }
    }
  CloseStatisticsCache(&cache);
  return EXPORT_DONE;
}

}  // namespace

Reach ReachOfRange(const ExportJob &job) {
  const MovieFile &movie = *job.movie;
  const int64_t complete = CompleteFrames(movie);
  Reach reach;
  reach.end = job.last < complete - 1 ? job.last : complete - 1;
  reach.failed = reach.end < job.last;
  if (reach.failed) {
    const int64_t missing = complete > job.first ? complete : job.first;
    reach.failure = "Frame " + std::to_string(missing) + " is not in the movie: the file holds " +
                    std::to_string(complete) + " complete frame" + (complete == 1 ? "" : "s") + " of the " +
                    std::to_string(movie.header.nframes) + " its header announces (a truncated file)";
  }
  return reach;
}

ExportResult PlanNormalisers(const ExportJob &job, Run *run, Reach *reach) {
  if (!job.tmo || reach->end < job.first) return EXPORT_DONE;
  const size_t count = (size_t)(reach->end - job.first + 1) * run->eyes.size();
  run->normaliser.assign(count, 0.0);
  run->peak.assign(count, 0.0);
  const ExportResult causal = PlanCausal(job, run, reach);
  if (causal != EXPORT_DONE || !job.lookahead || reach->end < job.first) return causal;
  return PlanLookAhead(job, run, *reach);
}
