// Preparing the next frame ahead: while the main thread draws the frame
// shown, a worker reads the frame that playback asks for next and converts
// it into a second frame. The main thread takes it only when it is the
// frame asked for with the session's settings and adaptation state;
// otherwise it is thrown away and the frame is read as if it had never been
// prepared.
#include <cstring>
#include <utility>

#include "pool.h"
#include "session.h"

namespace {

bool SameAdaptation(const double a[2], const double b[2]) { return memcmp(a, b, 2 * sizeof(double)) == 0; }

bool AllocateSpare(Session *session) {
  Preparation &prep = session->prep;
  if (prep.frame) return true;
  std::unique_ptr<Frame> frame(new Frame);
  const int eyes = ShownEyes(*session);
  if (AllocateFrame(frame.get(), session->movie, eyes, RgbeSlots(session->movie)) != BUFFERS_ALLOCATED) return false;
  if (session->settings.bytes && AllocateDisplayBytes(frame.get(), session->movie, eyes) != BUFFERS_ALLOCATED)
    return false;
  prep.frame = std::move(frame);
  return true;
}

// Waits for the worker, helping it; the preparation is then no longer
// under way.
void Finish(Preparation *prep) {
  if (!prep->under_way) return;
  try {
    prep->task->WaitOldest();
  } catch (...) {  // no memory for a worker's room: the frame is read here instead
    prep->fault = FRAME_CANCELLED;
  }
  prep->under_way = false;
  prep->cancelled = false;
}

// Whether the preparation is the frame asked for now: the same frame at the
// same place, made with the session's settings from its adaptation state.
bool Fits(const Session &session, const StepPlan &plan) {
  const FrameJob &job = session.prep.job;
  return job.number == plan.frame && job.position == plan.position && SameSettings(job.settings, session.settings) &&
         SameAdaptation(job.adapted, session.adapted);
}

void Start(Session *session, const StepPlan &plan) {
  Preparation &prep = session->prep;
  prep.job = DescribeFrame(*session, plan, &prep.cancelled);
  prep.cancelled = false;
  prep.fault = FRAME_CANCELLED;
  prep.task.reset(new TaskGroup(session->pool));
  prep.under_way = true;
  // The worker reads the job and writes the spare frame and the fault, and
  // nothing else, until it is waited for.
  const FrameJob job = prep.job;
  Frame *frame = prep.frame.get();
  FrameFault *fault = &prep.fault;
  prep.task->Start([job, frame, fault]() { *fault = MakeFrame(job, frame); });
}

}  // namespace

void PrepareFrame(Session *session, int frame) {
  if (session->pool == nullptr || session->pool->Threads() < 2 || session->movie.fd < 0) return;
  StopPreparing(session);
  const StepPlan plan = PlanStep(*session, frame);
  if (!AllocateSpare(session)) return;  // no room: play as without preparing
  // The kernel reads the next frames ahead of playback.
  AdviseReadAhead(session->movie, plan.position, 4 * session->movie.frame_size);
  Start(session, plan);
}

int PrepareFrameNow(Session *session, const StepPlan &plan) {
  StopPreparing(session);
  if (session->movie.fd < 0 || !AllocateSpare(session)) return 0;
  // Here and now, on a group without workers: the conversion still shares
  // its stages with the pool.
  Preparation &prep = session->prep;
  prep.job = DescribeFrame(*session, plan, &prep.cancelled);
  prep.cancelled = false;
  prep.task.reset(new TaskGroup(nullptr));
  prep.under_way = true;
  const FrameJob job = prep.job;
  Frame *frame = prep.frame.get();
  FrameFault *fault = &prep.fault;
  prep.task->Start([job, frame, fault]() { *fault = MakeFrame(job, frame); });
  Finish(&prep);
  prep.under_way = true;  // made or failed, for UsePreparedFrame or StopPreparing to settle
  return prep.fault == FRAME_MADE ? 1 : 0;
}

void StopPreparing(Session *session) {
  Preparation &prep = session->prep;
  if (!prep.under_way) return;
  prep.cancelled = true;
  Finish(&prep);
  prep.discarded++;
}

int UsePreparedFrame(Session *session, const StepPlan &plan) {
  Preparation &prep = session->prep;
  if (!prep.under_way) return 0;
  if (!Fits(*session, plan)) {
    StopPreparing(session);
    return 0;
  }
  Finish(&prep);
  if (prep.fault != FRAME_MADE) {  // read again here, with the messages of a failed read
    prep.discarded++;
    return 0;
  }
  std::swap(session->shown, prep.frame);
  session->adapted[0] = session->shown->adapted_after[0];
  session->adapted[1] = session->shown->adapted_after[1];
  session->logAv = session->shown->last_logAv;
  session->readtime += session->shown->seconds;
  session->position = plan.position + session->movie.frame_size;
  prep.used++;
  return 1;
}
