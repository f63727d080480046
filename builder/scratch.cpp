// Buffers that a converting thread keeps from picture to picture, so that
// pictures of one size reuse the same pages.
#include <cstdlib>

#include "builder.h"

void FreeDeleter::operator()(void *p) const { free(p); }

unsigned char *Reserve(ScratchBuffer *buffer, size_t bytes) {
  if (buffer->size < bytes || !buffer->data) {
    buffer->data.reset();
    buffer->size = 0;
    buffer->data.reset((unsigned char *)malloc(bytes > 0 ? bytes : 1));
    if (!buffer->data) return nullptr;
    buffer->size = bytes;
  }
  return buffer->data.get();
}
