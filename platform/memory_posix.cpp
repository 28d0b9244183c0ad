#include <malloc.h>

#include "platform/memory.h"

namespace kestrun {

void ReturnLargeBlocksWhenFreed(size_t bytes) {
  // A fixed threshold also turns off glibc's own raising of it, which would
  // otherwise follow the first large block freed and send later ones into
  // the thread heaps.
  ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(bytes));
}

}  // namespace kestrun
