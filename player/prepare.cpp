// Reading ahead: while the main thread draws, a worker makes the frames
// playing shows next, one after another, into frames of the cache. The main
// thread takes a frame only when it fits what it asks for now (the cache's
// rule); everything else it makes itself, as if nothing had been made ahead.
#include <cstring>
#include <thread>
#include <utility>

#include "pool.h"
#include "session.h"

namespace {

bool Running(const ReadAhead &ahead) { return ahead.task != nullptr; }

// A frame of the cache's shape: the raw records, each eye's pictures and,
// when the window takes them, the display bytes, in one block.
std::unique_ptr<Frame> AllocateCacheFrame(const Session &session) {
  std::unique_ptr<Frame> frame(new Frame);
  if (!AllocateFrameBlock(frame.get(), session.movie, ShownEyes(session), session.settings.bytes)) return nullptr;
  return frame;
}

// Room for the frame at `need` of `plan` (-1: the one wanted now), with
// display bytes when the settings ask for them.
std::unique_ptr<Frame> FreeFrame(Session *session, const std::vector<FrameKey> &plan, int need) {
  std::unique_ptr<Frame> frame =
      FreeFrameFor(&session->cache, plan, need, [session]() { return AllocateCacheFrame(*session); });
  if (frame && session->settings.bytes && frame->bytes[0] == nullptr) {
    // Made before the window took bytes: a frame of today's shape instead.
    frame = AllocateCacheFrame(*session);
    if (!frame) session->cache.allocated--;
  }
  return frame;
}

// Takes back the jobs the worker has finished: made frames into the cache,
// the others back to the spare ones. When all are back the task is over.
void Collect(Session *session) {
  ReadAhead &ahead = session->ahead;
  if (!Running(ahead)) return;
  while (ahead.collected < ahead.jobs.size()) {
    AheadJob &job = ahead.jobs[ahead.collected];
    if (job.done.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
    if (job.fault == FRAME_MADE) {
      job.frame->touched = session->cache.shows;
      session->cache.made.push_back(std::move(job.frame));
    } else {
      ReturnSpareFrame(&session->cache, std::move(job.frame));
      ahead.discarded++;
    }
    ahead.collected++;
  }
  ahead.task->WaitAll();
  ahead.task.reset();
  ahead.jobs.clear();
  ahead.collected = 0;
}

// Whether the job makes the frame `key` names.
bool JobFits(const FrameJob &job, const FrameKey &key) {
  return job.number == key.number && job.position == key.position && SameSettings(job.settings, key.settings) &&
         memcmp(job.adapted, key.adapted, sizeof key.adapted) == 0;
}

// Whether the frame the worker is at (the first not taken back) is still on
// `plan`: then the jobs go on.
bool StillPlanned(const ReadAhead &ahead, const std::vector<FrameKey> &plan) {
  if (ahead.collected >= ahead.jobs.size()) return true;
  const FrameJob &job = ahead.jobs[ahead.collected].job;
  for (const FrameKey &key : plan)
    if (JobFits(job, key)) return true;
  return false;
}

// Whether a job of the read-ahead makes the frame `key` names.
bool BeingMade(const ReadAhead &ahead, const FrameKey &key) {
  for (size_t j = ahead.collected; j < ahead.jobs.size(); j++)
    if (JobFits(ahead.jobs[j].job, key)) return true;
  return false;
}

// Hands the jobs to a worker: it makes them in order, each frame's stages
// shared with the pool, and reads nothing but what it was handed.
void StartJobs(Session *session) {
  ReadAhead &ahead = session->ahead;
  ahead.cancelled = false;
  ahead.wanted = 0;
  ahead.collected = 0;
  AheadJob *jobs = ahead.jobs.data();
  const size_t count = ahead.jobs.size();
  FrameScratch *scratch = ahead.scratch.get();
  std::atomic<bool> *cancelled = &ahead.cancelled;
  std::atomic<size_t> *wanted = &ahead.wanted;
  const std::thread::id owner = std::this_thread::get_id();
  ahead.task.reset(new TaskGroup(session->pool));
  ahead.task->Start([jobs, count, scratch, cancelled, wanted, owner]() {
    // On the main thread (it found the task queued while waiting for a
    // frame) only as far as the frame it waits for: the rest would keep it
    // from drawing.
    const bool on_owner = std::this_thread::get_id() == owner;
    for (size_t j = 0; j < count; j++) {
      if (!cancelled->load() && !(on_owner && j > wanted->load()))
        jobs[j].fault = MakeFrame(jobs[j].job, scratch, jobs[j].frame.get());
      jobs[j].made.set_value();
    }
  });
}

// Shows a frame made for the frame `plan` asks for: it becomes the frame
// shown (one swap) and the adaptation moves on as making it here would have
// moved it; the frame shown before is kept in the cache.
void ShowMade(Session *session, std::unique_ptr<Frame> frame, const StepPlan &plan) {
  MoveAdaptation(*frame, ShownEyes(*session), session->adapted);
  session->logAv = frame->last_logAv;
  session->readtime += frame->seconds;  // counted once: a frame shown again was not read again
  frame->seconds = 0.0;
  session->position = plan.position + session->movie.frame_size;
  frame->touched = ++session->cache.shows;
  frame->shown = 1;
  std::swap(session->shown, frame);
  KeepFrame(&session->cache, std::move(frame));
}

}  // namespace

void ReadAheadFrames(Session *session) {
  if (session->pool == nullptr || session->pool->Threads() < 2 || session->movie.fd < 0) return;
  ReadAhead &ahead = session->ahead;
  Collect(session);
  const std::vector<FrameKey> plan = PlanAhead(*session, session->cache.capacity + 1);
  if (Running(ahead)) {
    if (StillPlanned(ahead, plan)) return;
    StopReadAhead(session);
  }
  if (!ahead.scratch) {
    std::unique_ptr<FrameScratch> scratch(new FrameScratch);
    if (AllocateScratch(scratch.get(), session->movie) != BUFFERS_ALLOCATED) return;  // play as without it
    ahead.scratch = std::move(scratch);
  }
  ahead.jobs.clear();
  ahead.jobs.reserve(plan.size());
  for (size_t i = 0; i < plan.size(); i++) {
    const FrameKey &key = plan[i];
    // Held already: in the cache, being made, or the frame shown (which
    // goes back into the cache when the next one is shown).
    if (FrameFits(*session->shown, key) || FindCachedFrame(session->cache, key) >= 0 || BeingMade(ahead, key))
      continue;
    std::unique_ptr<Frame> frame = FreeFrame(session, plan, (int)i);
    if (!frame) break;  // the cache holds nearer frames only
    ahead.jobs.emplace_back();
    AheadJob &job = ahead.jobs.back();
    job.job = DescribeKey(*session, key, &ahead.cancelled);
    job.frame = std::move(frame);
    job.done = job.made.get_future();
    // The kernel reads the frames ahead of playback: the first four frames
    // from the first one to make, as without a cache, then each one made.
    AdviseReadAhead(session->movie, key.position, (ahead.jobs.size() == 1 ? 4 : 1) * session->movie.frame_size);
  }
  if (!ahead.jobs.empty()) StartJobs(session);
}

int TakeReadyFrame(Session *session, const StepPlan &plan) {
  ReadAhead &ahead = session->ahead;
  const FrameKey key = KeyOf(*session, plan);
  Collect(session);
  int found = FindCachedFrame(session->cache, key);
  if (found < 0 && Running(ahead)) {
    size_t j = ahead.collected;
    while (j < ahead.jobs.size() && !JobFits(ahead.jobs[j].job, key)) j++;
    if (j < ahead.jobs.size()) {
      ahead.wanted = j;
      session->pool->WaitHelping(ahead.jobs[j].done);
      Collect(session);
      found = FindCachedFrame(session->cache, key);
    }
    // Not made ahead, or its reading failed: the frame is made here, with
    // the messages of a failed read, and nothing else is being made then.
    if (found < 0) StopReadAhead(session);
  }
  if (found < 0) {
    // Without a cache, a frame made ahead serves only as the next frame.
    if (session->cache.capacity == 0)
      while (!session->cache.made.empty()) {
        ahead.discarded++;
        ReturnSpareFrame(&session->cache, TakeCachedFrame(&session->cache, 0));
      }
    return 0;
  }
  std::unique_ptr<Frame> frame = TakeCachedFrame(&session->cache, found);
  if (!frame->shown)
    ahead.used++;
  else
    session->cache.hits++;
  ShowMade(session, std::move(frame), plan);
  return 1;
}

FrameFault MakeFrameNow(Session *session, const StepPlan &plan, bool in_place) {
  StopReadAhead(session);
  const FrameJob job = DescribeFrame(*session, plan, nullptr);
  std::unique_ptr<Frame> frame;
  if (!in_place || session->cache.capacity > 0) frame = FreeFrame(session, {}, -1);
  if (!frame) {
    if (!in_place) return FRAME_CANCELLED;  // no room for it
    // Without a cache, into the pictures shown, as always.
    Frame *shown = session->shown.get();
    const FrameFault fault = MakeFrame(job, &session->scratch, shown);
    session->adapted[0] = shown->adapted_after[0];
    session->adapted[1] = shown->adapted_after[1];
    if (fault != FRAME_MADE) return fault;
    session->logAv = shown->last_logAv;
    session->readtime += shown->seconds;
    shown->seconds = 0.0;
    shown->touched = ++session->cache.shows;
    shown->shown = 1;
    session->position = plan.position + session->movie.frame_size;
    return FRAME_MADE;
  }
  const FrameFault fault = MakeFrame(job, &session->scratch, frame.get());
  if (fault != FRAME_MADE) {
    ReturnSpareFrame(&session->cache, std::move(frame));
    return fault;
  }
  ShowMade(session, std::move(frame), plan);
  return FRAME_MADE;
}

void StopReadAhead(Session *session) {
  ReadAhead &ahead = session->ahead;
  if (!Running(ahead)) return;
  ahead.cancelled = true;
  ahead.task->WaitAll();  // every job's `done` is then ready
  Collect(session);
}
