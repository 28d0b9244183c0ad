// One run being recorded: its output kept within the cap, head and tail.
#include <algorithm>

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
      stopId_(stopId),
      tailSeq_(kTailSeqBase) {}

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
    if (restSize > 0) {
      if (tail_.size() > tailWritten_ && tail_.back().stream == stream)
        tail_.back().data.append(rest, restSize);
      else
        tail_.push_back({stream, std::string(rest, restSize)});
      tailBytes_ += static_cast<int64_t>(restSize);
    }
    // The window keeps the last tailCap_ bytes; what falls out of its front
    // is counted as left out.
    size_t drop = 0;
    while (tailBytes_ > tailCap_) {
      OutputChunk& front = tail_[drop];
      const int64_t excess = tailBytes_ - tailCap_;
      if (static_cast<int64_t>(front.data.size()) <= excess) {
        tailBytes_ -= static_cast<int64_t>(front.data.size());
        leftOut_ += static_cast<int64_t>(front.data.size());
        if (drop < tailWritten_) tailRewrite_ = true;
        ++drop;
      } else {
        front.data.erase(0, static_cast<size_t>(excess));
        tailBytes_ -= excess;
        leftOut_ += excess;
        if (drop < tailWritten_) tailRewrite_ = true;
      }
    }
    if (drop > 0) {
      tail_.erase(tail_.begin(), tail_.begin() + static_cast<std::ptrdiff_t>(drop));
      tailWritten_ -= std::min(tailWritten_, drop);
    }
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

Run::Batch Run::TakeBatchLocked() {
  Batch b;
  b.head = std::move(pendingHead_);
  pendingHead_.clear();
  b.headSeq = headSeq_;
  headSeq_ += static_cast<int64_t>(b.head.size());
  b.rewriteTail = tailRewrite_;
  if (tailRewrite_) {
    b.tail = tail_;
    b.tailSeq = kTailSeqBase;
  } else {
    b.tail.assign(tail_.begin() + static_cast<std::ptrdiff_t>(tailWritten_), tail_.end());
    b.tailSeq = tailSeq_;
  }
  tailSeq_ = b.tailSeq + static_cast<int64_t>(b.tail.size());
  tailWritten_ = tail_.size();
  tailRewrite_ = false;
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
    if (ended_ || (pendingBytes_ == 0 && !tailRewrite_)) return;
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
