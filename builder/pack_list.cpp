// The file list worked through with every core: this thread reads the list
// and hands its pictures to the pipeline, which writes them in list order.
#include "pipeline.h"
#include "utility.h"

namespace {

// Hands a picture to the workers, writing the oldest one first when every
// slot is in flight.
PackStatus Submit(Pipeline *pipeline, MovieWriter *movie, const std::string &name, const std::string &other,
                  PictureView view, const PictureSignal &signal) {
  PackStatus status = PACK_DONE;
  PictureJob *slot = TakeSlot(pipeline, movie, &status);
  if (slot == nullptr) return status;
  slot->name = name;
  slot->other = other;
  slot->view = view;
  slot->size = {movie->header.width, movie->header.height};
  slot->signal = signal;
  slot->stream.kind = STREAM_NONE;
  StartSlot(pipeline, slot);
  return PACK_DONE;
}

// Submits the pictures of the list's next `nframes` lines.
PackStatus SubmitList(Pipeline *pipeline, MovieWriter *movie, FILE *list, const PictureSignal &signal) {
  const int eyes = movie->header.eyes;
  char line[LIST_LINE_LIMIT + 1];
  std::string names[2];
  bool one_name = false;  // the names came from a line with one word
  for (int frame = 0; frame < movie->header.nframes; frame++) {
    if (!ReadLine(list, line, LIST_LINE_LIMIT)) {
      const PackStatus status = WriteAll(pipeline, movie);
      if (status != PACK_DONE) return status;
      fprintf(stderr, "Unexpected end of file\n");
      return PACK_DONE;
    }
    // An empty line repeats the names before it, and how many there were.
    const int words = TakeNames(line, names, eyes);
    if (words > 0) one_name = words == 1;
    PackStatus status = PACK_DONE;
    if (eyes == 2 && one_name) {
      status = Submit(pipeline, movie, names[0], "", VIEW_LEFT, signal);
      if (status == PACK_DONE) status = Submit(pipeline, movie, names[0], names[1], VIEW_RIGHT, signal);
    } else {
      for (int eye = 0; eye < eyes && status == PACK_DONE; eye++)
        status = Submit(pipeline, movie, names[eye], "", VIEW_DEFAULT, signal);
    }
    if (status != PACK_DONE) return status;
  }
  return WriteAll(pipeline, movie);
}

}  // namespace

PackStatus PackList(FILE *list, MovieWriter *movie, unsigned threads, const PictureSignal &signal) {
  Pipeline pipeline(threads);
  const PackStatus status = SubmitList(&pipeline, movie, list, signal);
  StopWorkers(&pipeline);
  return status;
}
