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
      if (!pendingHead_.empty() && pendingHead_.back().stream == stream)
        pendingHead_.back().data.append(data, head);
      else
        pendingHead_.push_back({stream, std::string(data, head)});
      headKept_ += static_cast<int64_t>(head);
    }
    const char* rest = data + head;
    size_t restSize = size - head;
    // Only the last tailCap_ bytes of what goes past the head can stay.
    if (static_cast<int64_t>(restSize) > tailCap_) {
      const size_t skip = restSize - static_cast<size_t>(tailCap_);
      leftOut_ += static_cast<int64_t>(skip);
      rest += skip;
      restSize -= skip;
    }
    if (restSize > 0) AddToTail(stream, rest, restSize);
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
  if (wake) owner_.WakeFlusher();
}

void Run::AddToTail(uint32_t stream, const char* data, size_t size) {
  // One copy into a ring allocated once: at full speed most of these bytes
  // are overwritten before a flush ever writes them.
  const size_t cap = static_cast<size_t>(tailCap_);
  if (ring_.empty()) ring_.resize(cap);
  const size_t first = std::min(size, cap - ringEnd_);
  std::memcpy(ring_.data() + ringEnd_, data, first);
  std::memcpy(ring_.data(), data + first, size - first);
  ringEnd_ = (ringEnd_ + size) % cap;
  if (!segments_.empty() && segments_.back().first == stream)
    segments_.back().second += static_cast<int64_t>(size);
  else
    segments_.emplace_back(stream, static_cast<int64_t>(size));
  tailBytes_ += static_cast<int64_t>(size);
  tailChanged_ = true;
  // What falls out of the window's front is counted as left out.
  while (tailBytes_ > tailCap_) {
    auto& front = segments_.front();
    const int64_t excess = tailBytes_ - tailCap_;
    const int64_t dropped = std::min(front.second, excess);
    front.second -= dropped;
    tailBytes_ -= dropped;
    leftOut_ += dropped;
    if (front.second == 0) segments_.pop_front();
  }
}

Run::Batch Run::TakeBatchLocked() {
  Batch b;
  b.head = std::move(pendingHead_);
  pendingHead_.clear();
  b.headSeq = headSeq_;
  headSeq_ += static_cast<int64_t>(b.head.size());
  b.rewriteTail = tailChanged_;
  if (tailChanged_) {
    const size_t cap = static_cast<size_t>(tailCap_);
    size_t at = (ringEnd_ + cap - static_cast<size_t>(tailBytes_)) % cap;
    for (const auto& [stream, bytes] : segments_) {
      OutputChunk chunk{stream, std::string(static_cast<size_t>(bytes), '\0')};
      const size_t first = std::min(chunk.data.size(), cap - at);
      std::memcpy(chunk.data.data(), ring_.data() + at, first);
      std::memcpy(chunk.data.data() + first, ring_.data(), chunk.data.size() - first);
      at = (at + chunk.data.size()) % cap;
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

void Run::Flush() {
  std::lock_guard<std::mutex> flush(flushLock_);
  Batch batch;
  {
    std::lock_guard<std::mutex> state(stateLock_);
    if (ended_ || (pendingBytes_ == 0 && !tailChanged_)) return;
    batch = TakeBatchLocked();
  }
  owner_.WriteBatch(*this, batch, nullptr);
}

void Run::End(RunEnd end) {
  std::lock_guard<std::mutex> flush(flushLock_);
  Batch batch;
  std::map<int64_t, FollowCallback> followers;
  {
    std::lock_guard<std::mutex> state(stateLock_);
    if (ended_) return;
    batch = TakeBatchLocked();
    ended_ = true;
    followers.swap(followers_);
  }
  owner_.WriteBatch(*this, batch, &end);
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
