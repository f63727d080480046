// The player's session: the movie being played, what the viewer chose, the
// frame shown and where playback stands, each eye's adaptation state, and
// the frames kept and made ahead on the workers. One value: the program's GLUT
// callbacks reach it through one pointer, the tests make their own. GL-free;
// it never ends the process but reports failures to its caller.
#ifndef HALVORN_SESSION_H
#define HALVORN_SESSION_H

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "frame.h"
#include "frame_cache.h"
#include "lookahead.h"
#include "movie_file.h"
#include "render.h"
#include "task_group.h"

class WorkerPool;

// A frame being made ahead on a worker.
struct AheadJob {
  FrameJob job;
  std::unique_ptr<Frame> frame;  // written by the worker until `done` is ready
  FrameFault fault = FRAME_CANCELLED;
  std::promise<void> made;
  std::future<void> done;
};

// Reading ahead: the frames playing shows next, made one after another on
// a worker (each conversion sharing its stages with the pool) and kept in
// the frame cache as they are made.
struct ReadAhead {
  std::vector<AheadJob> jobs;  // in the order playing shows them; not resized while the task runs
  size_t collected = 0;        // the jobs before this one are back in the cache
  std::unique_ptr<TaskGroup> task;
  std::atomic<bool> cancelled{false};
  // The main thread runs the jobs itself when it finds them queued while it
  // waits for one of them: it then stops after that one, the frame due.
  std::atomic<size_t> wanted{0};
  std::unique_ptr<FrameScratch> scratch;  // the worker's room, allocated on first use
  long used = 0, discarded = 0;           // frames made ahead and shown, and thrown away
};

struct Session {
  Session() = default;
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // The movie, and its statistics for the look-ahead windows.
  MovieFile movie;
  StatisticsCache statistics;

  // What the viewer chose (command line and keys).
  RenderSettings settings;
  int showinfo = 0, showhelp = 0, debug = 0, autoplay = 0, fullscreen = 0, showmouse = 0;
  int clipview = 0, showhistogram = 0;  // the views inside the picture
  double targetfps = 120.0;
  // playdir: 1 forward, -1 backward. looptype: what playing does at the
  // ends: 1 loop, 0 play once, 2 ping-pong.
  int playdir = 1, looptype = 1;
  int newanimation = 1;  // the timing starts again at the next idle call
  int ending = 0;        // the player has begun to end

  // Geometry: the window and where the picture's lower-left corner lies.
  int screenwidth = 0, screenheight = 0;
  double lowleft = -1.0, lowright = -1.0;

  // Where playback stands: the frame shown, and the place in the file where
  // its records end (the next frame's start).
  int currentframe = 0;
  uint64_t position = MOVIE_HEADER_SIZE;
  // The frame shown, and each eye's adapted log-average.
  std::unique_ptr<Frame> shown;
  FrameScratch scratch;  // the room of conversions on the main thread
  double adapted[2] = {0.0, 0.0};
  double logAv = 0.0;  // log-average of the record read last
  // Raised whenever the pictures shown are replaced or converted again, so
  // that what is made from them (the clipping view, the histogram) is made
  // again only then.
  long picture_version = 0;

  // Timing.
  double readtime = 0.0, drawtime = 0.0, globalframerate = 0.0, localframerate = 0.0;
  int framecounter = 0;

  // The threads that convert: null converts on the calling thread alone and
  // reads nothing ahead.
  WorkerPool *pool = nullptr;
  FrameCache cache;
  ReadAhead ahead;
};

// Opens the movie at `path` (byteswap: written in the other byte order) and
// its statistics. Returns the open's result; the header is not checked.
MovieOpenResult OpenSessionMovie(Session *session, const char *path, int byteswap);
// Takes an open descriptor of a movie whose header is `header` (tests).
void AdoptSessionMovie(Session *session, int fd, const MovieHeader &header, int byteswap);
// Allocates the shown frame's buffers and the main thread's scratch for the
// movie, in start-up's order; `eyes` pictures (2 for a stereo pair).
BufferFault AllocateShownFrame(Session *session, int eyes);
// The display bytes of the shown frame, once the window says it takes
// bytes (settings.bytes).
BufferFault AllocateShownBytes(Session *session);
// Gives the frame cache `budget` bytes (0: no cache), once the shown
// frame's buffers are allocated.
void ConfigureFrameCache(Session *session, size_t budget);
// Eyes shown: 2 for a stereo pair, else 1.
inline int ShownEyes(const Session &session) { return session.movie.shown_eyes; }

// ---- Moving through the movie (stepping.cpp, navigation.cpp) ---------------

// Where a step to `frame` lands by the stepping rules: the frame shown, the
// playing direction and autoplay after it, and the place its records are
// read from. Changes nothing.
struct StepPlan {
  int frame;
  int playdir;
  int autoplay;
  uint64_t position;
};
StepPlan PlanStep(const Session &session, int frame);
// The same rules from any place: the frame shown, the place after it, the
// direction and autoplay, for a movie played in loop mode `looptype`.
struct PlayPoint {
  int frame;
  uint64_t position;
  int playdir;
  int autoplay;
};
StepPlan PlanStepFrom(const MovieFile &movie, int looptype, const PlayPoint &point, int frame);
// What making the frame `plan` asks for reads from the session as it is now:
// the movie, the place, the settings, the adaptation state, the threads.
FrameJob DescribeFrame(const Session &session, const StepPlan &plan, const std::atomic<bool> *cancelled);
// The same for a frame of a plan ahead: its key gives the place, the
// settings and the adaptation state.
FrameJob DescribeKey(const Session &session, const FrameKey &key, const std::atomic<bool> *cancelled);
// Shows `frame` by the stepping rules, read and converted into the shown
// pictures (or taken from the frame cache). Returns 1, or 0 when a
// record could not be read (its message and "Failed to read rgbe buffer,
// frame n" printed); the caller then ends the player.
[[nodiscard]] int HandleNextFrame(Session *session, int frame);
void Move2Start(Session *session);
void Move2End(Session *session);

// ---- Reading ahead into the frame cache (plan_ahead.cpp, prepare.cpp) ----
//
// While playing, the workers make the frames playing shows next and keep
// them in the frame cache. A frame is taken from the cache only when it
// fits what the session asks for now (frame_cache.h); otherwise it is
// made as if nothing had been made ahead.

// The next `count` frames playing shows from the frame shown, one step at
// a time by the stepping rules, each with the adaptation state it is made
// from (moved on by the statistics alone). It ends early where playing
// stops (the end of a movie played once) or a frame's statistics cannot be
// read.
std::vector<FrameKey> PlanAhead(const Session &session, size_t count);
// What the session asks of the frame `plan` shows: its key with today's
// settings and adaptation state.
FrameKey KeyOf(const Session &session, const StepPlan &plan);
// Starts the workers on the frames of the plan the cache lacks, as far as
// its room goes, when there are workers; goes on with the frames being
// made as long as they are still on the plan, else calls them off.
void ReadAheadFrames(Session *session);
// Shows the frame `plan` asks for from the cache, or from the workers once
// they have made it (waiting for it, helping). Returns 0, with nothing
// changed, when neither has it; the workers' other frames are then called
// off.
int TakeReadyFrame(Session *session, const StepPlan &plan);
// Makes the frame `plan` asks for here and now and shows it. `in_place`:
// when there is no cache (or no free frame) it may be made into the frame
// shown, which a failure leaves part made; otherwise a failure leaves the
// frame shown as it was.
FrameFault MakeFrameNow(Session *session, const StepPlan &plan, bool in_place);
// Calls off the frames being made ahead and waits for the workers; what is
// already made stays in the cache.
void StopReadAhead(Session *session);

// ---- Seeking and the playing modes (seek.cpp, playmode.cpp) ---------------

// Frames one press of '[' or ']' moves.
constexpr int SEEK_STEP = 10;
// Shows `frame` (clamped to the movie's frames), read directly at its place
// in the file. Nothing happens for the frame shown. The causal adaptation
// moves on as for any frame shown; with autoplay the frames after it are read
// ahead from there. A frame that cannot be read leaves everything as it was
// and says so on stderr; returns 0 then, else 1. With -d, prints the frame
// sought.
int SeekToFrame(Session *session, int frame);
// The frame under column x of a timeline `width` pixels long, and the
// columns from the left that show frames up to `frame` as played.
int TimelineFrame(int x, int width, int nframes);
int TimelineFilled(int frame, int width, int nframes);
// 'l': loop, then play once, then ping-pong, then loop again.
void CycleLoopMode(Session *session);
// 'r': the other playing direction.
void ReversePlaying(Session *session);
// The overlay's line: the mode and the direction.
std::string PlayModeText(const Session &session);

// ---- The usage and help text (help_text.cpp) ------------------------------

// The usage text, and its second block: the options and keys added since.
extern const char *const helpstring;
extern const char *const helpstring_added;

// Where the help overlay's two blocks go in a window: the first at the top
// left; the second under it, or, when it would reach down into the
// information lines (their top `info_top` pixels from the bottom) and the
// window is wide enough, in a second column to the right of the first
// block, from the top, its lines without their common left padding.
// Baselines in window pixels from the bottom, 13 pixels a line.
struct HelpLayout {
  int x1, y1;      // the first block
  int x2, y2;      // the second block
  size_t trim2;    // leading blanks left out of each line of the second block
};
HelpLayout LayOutHelp(int window_width, int window_height, int info_top);
// A block of text with up to `trim` leading blanks taken off each line.
std::string TrimHelpLines(const char *text, size_t trim);

#endif
