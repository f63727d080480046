// Moving through the movie file: which frame comes next, where it lies, and
// reading its picture records into the output images.
//
// Between calls the file position stands at the end of the frame
// `currentframe`, that is at the start of the next frame in the file.
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

void StepForward(int cur) {
  if (cur < header.nframes - 1) {
    currentframe = cur + 1;
  } else if (!autoplay || looptype == 1) {
    Move2Start();
  } else {  // play once and stop on the last frame
    Move2End();
    autoplay = 0;
  }
}

void StepBackward(int cur, FILE *file) {
  if (cur > 0) {
    currentframe = cur - 1;
    fseeko(file, -2 * offset, SEEK_CUR);
  } else if (!autoplay || looptype == 1) {
    Move2End();
  } else {  // the direction reverses: the next frame in the file is frame 1
    playdir = 1;
    currentframe = 1;
  }
}

}  // namespace

void Move2Start() {
  fseeko(fptr, 12, SEEK_SET);
  currentframe = 0;
}

void Move2End() {
  fseeko(fptr, -offset, SEEK_END);
  currentframe = header.nframes - 1;
}

int HandleNextFrame(FILE *file, int frame) {
  const int cur = currentframe;
  if (frame == 0) {
    Move2Start();
  } else if (frame == cur) {
    fseeko(file, -offset, SEEK_CUR);  // show the same frame again
  } else {
    if (frame != cur + 1 && frame != cur - 1) fprintf(stderr, "Got unexpected frame difference\n");
    if (frame > cur)
      StepForward(cur);
    else
      StepBackward(cur, file);
  }

  const double t0 = GetRunTime();
  for (int record = 0; record < nrecords; record++) {
    int ok;
    if (record == 0)
      ok = ReadFramefloat(file, rgbe_buf, out_img, &logAv0);
    else if (record == 1 && showneyes == 2)
      ok = ReadFramefloat(file, rgbe_buf, out_img_right, &logAv0_right);
    else
      ok = SkipRecord(file, rgbe_buf);
    if (!ok) {
      fprintf(stderr, "Failed to read rgbe buffer, frame %d\n", currentframe);
      return 0;
    }
  }
  readtime += GetRunTime() - t0;
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
  LoadFrame(rgbe, Lum, fframe);
  if (tmo == 1) {
    Tonemapping(Lum, fframe, maxLum, logAv, adapted);
    PixelOutTmo(Lum, fframe, out);
  } else {
    PixelOut(fframe, out);
  }
  return 1;
}

