// The pictures of a stream worked through with every core: this thread
// reads each picture's bytes from the stream, one after another, and hands
// them to the pipeline, which converts them on the workers and writes them
// in the order of the stream.
#include <cstdlib>

#include "pipeline.h"
#include "rgbe.h"

namespace {

// Reads the next picture into the slot, collecting every message about it
// (the codec's too) in *said.
StreamRead ReadInto(FILE *in, PictureSize size, const PictureSignal &signal, ScratchBuffer *band, PictureJob *slot,
                    std::string *said) {
  char *text = nullptr;
  size_t length = 0;
  FILE *messages = open_memstream(&text, &length);
  if (messages == nullptr) {
    *said = "Could not allocate memory for scene \n";
    return STREAM_NO_MEMORY;
  }
  RGBE_SetMessageStream(messages);
  const StreamRead got = ReadStreamPicture(in, size, signal, band, &slot->stream, messages);
  RGBE_SetMessageStream(nullptr);
  fclose(messages);
  said->assign(text, length);
  free(text);
  return got;
}

PackStatus SubmitStream(Pipeline *pipeline, MovieWriter *movie, FILE *in, const PictureSignal &signal) {
  const PictureSize size = {movie->header.width, movie->header.height};
  ScratchBuffer band;  // this thread's room for a band of values
  for (long n = 1;; n++) {
    PackStatus status = PACK_DONE;
    PictureJob *slot = TakeSlot(pipeline, movie, &status);
    if (slot == nullptr) return status;
    std::string said;
    const StreamRead got = ReadInto(in, size, signal, &band, slot, &said);
    if (got == STREAM_PICTURE) {
      slot->name = "stdin #" + std::to_string(n);
      slot->other.clear();
      slot->view = VIEW_DEFAULT;
      slot->size = size;
      slot->signal = signal;
      StartSlot(pipeline, slot);
      continue;
    }
    // The stream ends here: the pictures before are written first, then
    // what stopped it is said as a picture's messages are.
    pipeline->idle.push_back(slot);
    status = WriteAll(pipeline, movie);
    if (status != PACK_DONE || got == STREAM_END) return status;
    fprintf(stderr, "Processing stdin #%ld%s", n, said.c_str());
    if (got != STREAM_BROKEN) return PACK_STOPPED;
    fprintf(stderr, " ----- Failed\n");
    return PACK_STREAM_BROKEN;
  }
}

}  // namespace

PackStatus PackStream(FILE *in, MovieWriter *movie, unsigned threads, const PictureSignal &signal) {
  Pipeline pipeline(threads);
  const PackStatus status = SubmitStream(&pipeline, movie, in, signal);
  StopWorkers(&pipeline);
  return status;
}
