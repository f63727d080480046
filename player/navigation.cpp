// Moving through the movie file: which frame comes next, where it lies, and
// reading its picture records into the output images.
//
// Between calls the file position stands at the end of the frame
// `currentframe`, that is at the start of the next frame in the file.
#include <sys/stat.h>

#include "player.h"
#include "utility.h"

namespace {

// Reads past a record that is not shown (the third and later records of a
// frame with more than two eyes); fails like a record that is converted.
int SkipRecord(FILE *file, unsigned char *rgbe) {
  double maxLum, logAvg;
  if (ReadRecordStatistics(file, &maxLum, &logAvg, 0) < 2) {
    fprintf(stderr, "Error reading the Log Average in scene data\n");
    return 0;
  }
  if (fread(rgbe, 4, npixels, file) < npixels) {
    fprintf(stderr, "Error reading image data\n");
    return 0;
  }
  return 1;
}

// The file's size, for the steps that count from its end.
off_t FileSize(FILE *file) {
  struct stat st;
  const int fd = fileno(file);
  if (fd >= 0 && fstat(fd, &st) == 0) return st.st_size;
  // A stream without a descriptor (a movie in memory): ask the stream.
  const off_t here = ftello(file);
  fseeko(file, 0, SEEK_END);
  const off_t size = ftello(file);
  fseeko(file, here, SEEK_SET);
  return size;
}

// A position `delta` bytes from `from`; a seek before the start of the file
// fails and leaves the position where it was.
off_t SeekTarget(off_t from, off_t delta, off_t here) { return from + delta >= 0 ? from + delta : here; }

}  // namespace

StepPlan PlanStep(FILE *file, int frame) {
  const int cur = currentframe;
  const off_t here = ftello(file);
  StepPlan plan = {cur, playdir, autoplay, here};
  if (frame == 0) {
    plan.frame = 0;
    plan.position = MOVIE_HEADER_SIZE;
  } else if (frame == cur) {
    plan.position = SeekTarget(here, -offset, here);  // show the same frame again
  } else if (frame > cur) {
    if (cur < header.nframes - 1) {
      plan.frame = cur + 1;
    } else if (!autoplay || looptype == 1) {
      plan.frame = 0;
      plan.position = MOVIE_HEADER_SIZE;
    } else if (looptype == 2) {  // ping-pong: the direction reverses, the next frame is the one before
      plan.playdir = -1;
      plan.frame = cur > 0 ? cur - 1 : 0;
      plan.position = SeekTarget(here, cur > 0 ? -2 * offset : -offset, here);
    } else {  // play once and stop on the last frame
      plan.frame = header.nframes - 1;
      plan.position = SeekTarget(FileSize(file), -offset, here);
      plan.autoplay = 0;
    }
  } else {
    if (cur > 0) {
      plan.frame = cur - 1;
      plan.position = SeekTarget(here, -2 * offset, here);
    } else if (!autoplay || looptype == 1) {
      plan.frame = header.nframes - 1;
      plan.position = SeekTarget(FileSize(file), -offset, here);
    } else {  // the direction reverses: the next frame in the file is frame 1
      plan.playdir = 1;
      if (header.nframes > 1) {
        plan.frame = 1;
      } else {  // a one-frame movie has no frame 1: frame 0 again
        plan.position = SeekTarget(here, -offset, here);
      }
    }
  }
  return plan;
}


void Move2Start() {
  fseeko(fptr, MOVIE_HEADER_SIZE, SEEK_SET);
  currentframe = 0;
}

void Move2End() {
  fseeko(fptr, -offset, SEEK_END);
  currentframe = header.nframes - 1;
}

int HandleNextFrame(FILE *file, int frame) {
  const int cur = currentframe;
  if (frame != 0 && frame != cur && frame != cur + 1 && frame != cur - 1)
    fprintf(stderr, "Got unexpected frame difference\n");
  const StepPlan plan = PlanStep(file, frame);
  picture_version++;
  currentframe = plan.frame;
  playdir = plan.playdir;
  autoplay = plan.autoplay;
  if (plan.position != ftello(file)) fseeko(file, plan.position, SEEK_SET);

  // The frame prepared ahead, when it is this one with today's settings.
  if (UsePreparedFrame(file, plan)) {
    if (autoplay) PrepareFrame(currentframe + playdir);
    return 1;
  }
  const double t0 = GetRunTime();
  for (int record = 0; record < nrecords; record++) {
    int ok;
    // Each eye's raw pixels stay in a slot of their own (ShownPixels).
    if (record == 0)
      ok = ReadFramefloat(file, rgbe_buf, out_img, &logAv0);
    else if (record == 1 && showneyes == 2)
      ok = ReadFramefloat(file, rgbe_buf + 4 * npixels, out_img_right, &logAv0_right);
    else
      ok = SkipRecord(file, rgbe_buf + 4 * npixels * showneyes);
    if (!ok) {
      fprintf(stderr, "Failed to read rgbe buffer, frame %d\n", currentframe);
      return 0;
    }
  }
  readtime += GetRunTime() - t0;
  if (autoplay) PrepareFrame(currentframe + playdir);
  return 1;
}

int ReadFramefloat(FILE *file, unsigned char *rgbe, float *out, double *adapted) {
  double maxLum;
  // With -b the statistics were written in the other byte order too.
  const int nread = ReadRecordStatistics(file, &maxLum, &logAv, byteswap);
  if (nread == 0) {
    fprintf(stderr, "Error reading Maximum Lum in scene data\n");
    return 0;
  }
  if (nread == 1) {
    fprintf(stderr, "Error reading the Log Average in scene data\n");
    return 0;
  }
  if (fread(rgbe, 4, npixels, file) < npixels) {
    fprintf(stderr, "Error reading image data\n");
    return 0;
  }
  // The display bytes go with the picture they are made from.
  unsigned char *bytes = nullptr;
  if (upload_bytes) bytes = out == out_img ? out_bytes : out == out_img_right ? out_bytes_right : nullptr;
  ConvertRecord(CurrentSettings(), adapted == &logAv0_right ? 1 : 0, rgbe, maxLum, logAv, adapted, Lum, fframe, out,
                bytes);
  return 1;
}

