#include "platform/memory.h"

namespace kestrun {

// The Windows heap keeps its own policy for large blocks: nothing to set.
void ReturnLargeBlocksWhenFreed(size_t) {}

}  // namespace kestrun
