// One picture from its name to its record: the picture is opened once, read
// by the kind its first bytes show, and encoded into the job's record, and
// everything said about it is collected in the job. Runs on any thread; each
// thread keeps its own workspace.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>

#include "builder.h"
#include "rgbe.h"
#include "utility.h"

namespace {

thread_local Workspace workspace;

constexpr size_t IO_BUFFER_SIZE = 256 * 1024;

// The record's pixels and the encoder, ready for the picture's rows.
// Returns false after saying why when there is no room.
bool StartPicture(PictureJob *job, RecordEncoder *record, FILE *messages) {
  const PictureSize size = job->size;
  if (!job->pixels) {
    job->pixels.reset(CreateRGBEmap(size.width, size.height));
    if (!job->pixels) {
      fprintf(messages, "RGBE Image malloc failed\n");
      return false;
    }
  }
  if (!workspace.colours) workspace.colours = CreateColourTable();
  StartRecord(record, workspace.colours.get(), size.width, size.height, job->pixels.get());
  return true;
}

// The statistics of a picture whose rows are all in, and their line.
PictureStatus FinishPicture(PictureJob *job, const RecordEncoder &record, const OutOfRange &range, FILE *messages) {
  FinishRecord(&record, &job->maxLum, &job->logAv);
  fprintf(messages, " maxLum %f, logAv %f \n", job->maxLum, job->logAv);
  ReportOutOfRange(range, messages);
  return PICTURE_READ;
}

PictureStatus ConvertStream(PictureJob *job, FILE *messages) {
  RecordEncoder record;
  if (!StartPicture(job, &record, messages)) return PICTURE_FAILED;
  OutOfRange range = job->stream.range;
  const PictureStatus status =
      ConvertStreamPicture(&job->stream, job->size, job->signal, &workspace, &record, &range, messages);
  return status == PICTURE_READ ? FinishPicture(job, record, range, messages) : status;
}

PictureStatus Convert(PictureJob *job, const std::string &name, PictureView view, FILE *messages) {
  const PictureSize size = job->size;
  if (size.width <= 0 || size.height <= 0) {
    fprintf(messages, " (the movie size %d by %d holds no picture)", size.width, size.height);
    return PICTURE_FAILED;
  }
  if (job->stream.kind != STREAM_NONE) return ConvertStream(job, messages);
  // A line with no name and none before it to repeat names no picture.
  if (name.empty()) return PICTURE_FAILED;
  std::unique_ptr<FILE, int (*)(FILE *)> file(OpenRegularFile(name.c_str(), "rb"), fclose);
  if (!file) return PICTURE_FAILED;
  // A large stream buffer: pictures are read in a few system calls, not
  // one per page. It is the thread's, and the stream closes before the
  // thread's next picture.
  if (unsigned char *buffer = Reserve(&workspace.io, IO_BUFFER_SIZE))
    setvbuf(file.get(), (char *)buffer, _IOFBF, IO_BUFFER_SIZE);
  unsigned char magic[PICTURE_MAGIC_SIZE];
  const ssize_t got = pread(fileno(file.get()), magic, sizeof(magic), 0);
  const PictureKind kind = SniffPicture(magic, got > 0 ? (size_t)got : 0);
  if (view == VIEW_RIGHT && !(kind == PICTURE_OPENEXR && HoldsStereoPair(file.get(), name.c_str()))) {
    // Not a stereo pair: the right eye is the line's other picture.
    file.reset();
    job->shown = job->other;
    return Convert(job, job->other, VIEW_DEFAULT, messages);
  }

  RecordEncoder record;
  if (!StartPicture(job, &record, messages)) return PICTURE_FAILED;
  OutOfRange range = {0, 0};
  PictureStatus status = PICTURE_FAILED;
  switch (kind) {
    case PICTURE_RGBE:
      status = ReadRGBEPicture(file.get(), size, &workspace, &record, messages);
      break;
    case PICTURE_PFM:
      status = ReadPFMPicture(file.get(), size, &workspace, &record, &range, messages, job->signal);
      break;
    case PICTURE_OPENEXR:
      status = ReadOpenEXRPicture(file.get(), name.c_str(), view, size, &workspace, &record, &range, messages);
      break;
  }
  return status == PICTURE_READ ? FinishPicture(job, record, range, messages) : status;
}

}  // namespace

void ProcessImage(PictureJob *job) {
  // Messages that quote errno start from the same value on every thread.
  errno = 0;
  job->shown = job->name;
  job->status = PICTURE_FAILED;
  job->messages.clear();
  char *text = nullptr;
  size_t size = 0;
  FILE *messages = open_memstream(&text, &size);
  if (messages == nullptr) {
    job->messages = " (no memory for the picture's messages)";
    return;
  }
  RGBE_SetMessageStream(messages);
  try {
    job->status = Convert(job, job->name, job->view, messages);
  } catch (const std::bad_alloc &) {  // a table or a name without room: as a scene without room
    fprintf(messages, "Could not allocate memory for scene \n");
    job->status = PICTURE_NO_MEMORY;
  }
  RGBE_SetMessageStream(nullptr);
  fclose(messages);
  job->messages.assign(text, size);
  free(text);
}
