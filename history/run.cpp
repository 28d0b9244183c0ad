// One run being recorded: its output kept within the cap, head and tail.
#include <algorithm>
#include <cstring>

#include "history/run_history.h"
#include "history/schema.h"

namespace kestrun::history {

std::string EndedByStop(const std::string& user, const std::string& node) {
  return "STOP_REQUEST of " + user + "@" + node;
}

Run::Run(RunHistory& owner, int64_t id, std::string job, int64_t cap, uint32_t stopId)
    : owner_(owner),
      id_(id),
      job_(std::move(job)),
      headCap_(std::max<int64_t>(cap, 0) / 2),
      tailCap_(std::max<int64_t>(cap, 0) - std::max<int64_t>(cap, 0) / 2),
      stopId_(stopId) {}

Run::~Run() = default;

void Run::Output(uint32_t stream, const char* data, size_t size) {
  if (size == 0) return;
  bool wake = false;
  {
    std::lock_guard<std::mutex> state(stateLock_);
    if (ended_) return;
    total_ += static_cast<int64_t>(size);
    const size_t head =
        static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size), headCap_ - headKept_));
    if (head > 0) {
      // Small reads gather in one chunk; a large one that does not fit the
      // chunk's room starts its own, so that a chunk never holds twice the
      // room its bytes need.
      constexpr size_t kGather = 16 * 1024;
      std::string* last = pendingHead_.empty() || pendingHead_.back().stream != stream
                              ? nullptr
                              : &pendingHead_.back().data;
      if (last && last->size() + head <= std::max(last->capacity(), kGather))
        last->append(data, head);
      else
        pendingHead_.push_back({stream, std::string(data, head)});
      headKept_ += static_cast<int64_t>(head);
    }
    size_t skip = head;
    // Only the last tailCap_ bytes of what goes past the head can stay.
    if (static_cast<int64_t>(size - skip) > tailCap_) {
      const size_t past = size - skip - static_cast<size_t>(tailCap_);
      leftOut_ += static_cast<int64_t>(past);
      skip += past;
    }
    if (size > skip) AddToTail(stream, data + skip, size - skip);
    pendingBytes_ += size;
    // A full batch of the head is written at once. The tail window is
    // rewritten at the flush interval only: at full speed it changes faster
    // than it could be written, and only its last state matters.
    pendingHeadBytes_ += head;
    wake = pendingHeadBytes_ >= owner_.settings_.flushBytes;
    if (!followers_.empty()) {
      const OutputChunk chunk{stream, std::string(data, size)};
      for (auto& [token, follower] : followers_) follower(chunk, false);
    }
  }
  if (!wake) return;
  owner_.WakeFlusher();
  if (!owner_.settings_.startFlusher) return;  // tests flush by hand
  // The batch is taken (not written) before this goes on: the pump reads
  // the next one while the writer writes it.
  std::unique_lock<std::mutex> state(stateLock_);
  const size_t backlog = owner_.settings_.flushBytes;
  if (ended_ || pendingHeadBytes_ < backlog) return;
  ++owner_.headsWaiting_;
  headTaken_.wait_for(state, kHeadPatience, [&] { return ended_ || pendingHeadBytes_ < backlog; });
  --owner_.headsWaiting_;
}

size_t Run::TailStart() const {
  return ringSize_ == 0 ? 0 : (ringEnd_ + ringSize_ - static_cast<size_t>(tailBytes_)) % ringSize_;
}

void Run::CopyTail(size_t from, size_t count, char* to) const {
  const size_t first = std::min(count, ringSize_ - from);
  std::memcpy(to, ring_.get() + from, first);
  std::memcpy(to + first, ring_.get(), count - first);
}

void Run::GrowRing(size_t wanted) {
  // The ring grows with the window up to tailCap_, so that a run whose
  // output barely passes the head holds little more than it wrote. The
  // window's bytes move to the new ring's start, in order.
  constexpr size_t kFirstRing = 16 * 1024;
  const size_t cap = static_cast<size_t>(tailCap_);
  const size_t size = std::min(cap, std::max({wanted, 2 * ringSize_, kFirstRing}));
  auto bigger = std::make_unique_for_overwrite<char[]>(size);
  const size_t kept = static_cast<size_t>(tailBytes_);
  if (kept > 0) CopyTail(TailStart(), kept, bigger.get());
  ring_ = std::move(bigger);
  ringSize_ = size;
  ringEnd_ = kept % size;
}

void Run::AddToTail(uint32_t stream, const char* data, size_t size) {
  // One copy into the ring: it holds exactly the window, however the pumps
  // read, and at full speed most of its bytes are overwritten before a flush
  // writes them. `size` is at most tailCap_ (Output cut it).
  const size_t cap = static_cast<size_t>(tailCap_);
  const size_t wanted = static_cast<size_t>(tailBytes_) + size;
  if (ringSize_ < cap && wanted > ringSize_) GrowRing(wanted);
  const size_t first = std::min(size, ringSize_ - ringEnd_);
  std::memcpy(ring_.get() + ringEnd_, data, first);
  std::memcpy(ring_.get(), data + first, size - first);
  ringEnd_ = (ringEnd_ + size) % ringSize_;
  if (!segments_.empty() && segments_.back().stream == stream)
    segments_.back().bytes += static_cast<int64_t>(size);
  else
    segments_.push_back({stream, static_cast<int64_t>(size)});
  tailBytes_ += static_cast<int64_t>(size);
  tailChanged_ = true;
  // What falls out of the window's front is counted as left out.
  while (tailBytes_ > tailCap_) {
    Segment& front = segments_.front();
    const int64_t dropped = std::min(front.bytes, tailBytes_ - tailCap_);
    front.bytes -= dropped;
    tailBytes_ -= dropped;
    leftOut_ += dropped;
    if (front.bytes == 0) segments_.pop_front();
  }
}

Run::Batch Run::TakeBatchLocked() {
  headTaken_.notify_all();
  Batch b;
  b.head = std::move(pendingHead_);
  pendingHead_.clear();
  b.headSeq = headSeq_;
  headSeq_ += static_cast<int64_t>(b.head.size());
  b.rewriteTail = tailChanged_;
  if (tailChanged_) {
    // One chunk for each segment of the window.
    size_t at = TailStart();
    for (const Segment& segment : segments_) {
      OutputChunk chunk{segment.stream, std::string(static_cast<size_t>(segment.bytes), '\0')};
      CopyTail(at, chunk.data.size(), chunk.data.data());
      at = (at + chunk.data.size()) % ringSize_;
      b.tail.push_back(std::move(chunk));
    }
  }
  tailChanged_ = false;
  b.total = total_;
  b.leftOut = leftOut_;
  pendingBytes_ = 0;
  pendingHeadBytes_ = 0;
  return b;
}

size_t Run::Flush(bool headOnly) {
  if (headOnly) {
    // Most runs have no first half waiting: they are passed over without
    // the writer's lock, which starting and ending runs want too.
    std::lock_guard<std::mutex> state(stateLock_);
    if (ended_ || pendingHeadBytes_ == 0) return 0;
  }
  std::lock_guard<std::mutex> flush(flushLock_);
  // The batch is taken with the writer held, so that it is copied only when
  // it can be written: runs that wait for the writer (many ending at once)
  // hold no copy of their window meanwhile.
  std::lock_guard<std::mutex> write(owner_.writeLock_);
  Batch batch;
  {
    std::lock_guard<std::mutex> state(stateLock_);
    if (ended_ || (pendingBytes_ == 0 && !tailChanged_)) return 0;
    if (headOnly && pendingHeadBytes_ == 0) return 0;
    batch = TakeBatchLocked();
  }
  owner_.WriteBatchLocked(*this, batch, nullptr);
  size_t window = 0;
  for (const OutputChunk& chunk : batch.tail) window += chunk.data.size();
  return window;
}

void Run::End(RunEnd end) {
  std::map<int64_t, FollowCallback> followers;
  {
    std::lock_guard<std::mutex> flush(flushLock_);
    std::lock_guard<std::mutex> write(owner_.writeLock_);  // as in Flush
    Batch batch;
    {
      std::lock_guard<std::mutex> state(stateLock_);
      if (ended_) return;
      batch = TakeBatchLocked();
      ended_ = true;
      followers.swap(followers_);
      // The window is no longer needed: its memory goes back now, not when
      // the last holder of the run lets it go.
      ring_.reset();
      ringSize_ = ringEnd_ = 0;
      segments_.clear();
    }
    owner_.WriteBatchLocked(*this, batch, &end);
  }
  owner_.Forget(id_);
  for (auto& [token, follower] : followers) follower(OutputChunk{}, true);
}

void Run::AddFollower(int64_t token, FollowCallback callback) {
  followers_.emplace(token, std::move(callback));
}

void Run::RemoveFollower(int64_t token) {
  std::lock_guard<std::mutex> state(stateLock_);
  followers_.erase(token);
}

FollowHandle::~FollowHandle() {
  if (run_) run_->RemoveFollower(token_);
}

}  // namespace kestrun::history
