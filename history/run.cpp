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
  Take(stream, data, size, nullptr);
}

void Run::Keep(uint32_t stream, std::vector<char>& buffer, size_t size) {
  Take(stream, buffer.data(), size, &buffer);
}

void Run::Take(uint32_t stream, const char* data, size_t size, std::vector<char>* buffer) {
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
    size_t skip = head;
    // Only the last tailCap_ bytes of what goes past the head can stay.
    if (static_cast<int64_t>(size - skip) > tailCap_) {
      const size_t past = size - skip - static_cast<size_t>(tailCap_);
      leftOut_ += static_cast<int64_t>(past);
      skip += past;
    }
    const size_t rest = size - skip;
    // At full speed nearly every byte is pushed out of the window before a
    // flush writes it: a large read is kept as the pump read it, not copied.
    if (rest > 0 && buffer && head == 0 && rest >= buffer->size() / 2)
      KeepInTail(stream, *buffer, skip, rest);
    else if (rest > 0)
      AddToTail(stream, data + skip, rest);
    pendingBytes_ += size;
    // A full batch of the head is written at once. The tail window is
    // rewritten at the flush interval only: at full speed it changes faster
    // than it could be written, and only its last state matters.
    pendingHeadBytes_ += head;
    wake = pendingHeadBytes_ >= owner_.settings_.flushBytes;
    if (!followers_.empty()) {
      // `data` is still valid: a kept area moved into the window unchanged.
      const OutputChunk chunk{stream, std::string(data, size)};
      for (auto& [token, follower] : followers_) follower(chunk, false);
    }
  }
  if (wake) owner_.WakeFlusher();
}

void Run::AddToTail(uint32_t stream, const char* data, size_t size) {
  // A small read goes behind the last block of its stream when it has room.
  if (tail_.empty() || tail_.back().stream != stream ||
      tail_.back().bytes.size() - tail_.back().end < size) {
    constexpr size_t kBlock = 64 * 1024;
    TailBlock block;
    block.stream = stream;
    if (!spare_.empty() && spare_.back().size() >= size) {
      block.bytes = std::move(spare_.back());
      spare_.pop_back();
    } else {
      block.bytes.resize(std::max(size, kBlock));
    }
    tail_.push_back(std::move(block));
  }
  TailBlock& back = tail_.back();
  std::memcpy(back.bytes.data() + back.end, data, size);
  back.end += size;
  tailBytes_ += static_cast<int64_t>(size);
  tailChanged_ = true;
  TrimTail();
}

void Run::KeepInTail(uint32_t stream, std::vector<char>& buffer, size_t begin, size_t size) {
  const size_t area = buffer.size();
  tail_.push_back({stream, std::move(buffer), begin, begin + size});
  // The pump reads on into an area that fell out of the window, or a new one.
  buffer.clear();
  for (size_t i = spare_.size(); i-- > 0;) {
    if (spare_[i].size() == area) {
      buffer = std::move(spare_[i]);
      spare_.erase(spare_.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  if (buffer.size() != area) buffer.resize(area);
  tailBytes_ += static_cast<int64_t>(size);
  tailChanged_ = true;
  TrimTail();
}

void Run::TrimTail() {
  // What falls out of the window's front is counted as left out.
  constexpr size_t kKeptSpares = 2;
  while (tailBytes_ > tailCap_) {
    TailBlock& front = tail_.front();
    const int64_t dropped =
        std::min(static_cast<int64_t>(front.end - front.begin), tailBytes_ - tailCap_);
    front.begin += static_cast<size_t>(dropped);
    tailBytes_ -= dropped;
    leftOut_ += dropped;
    if (front.begin == front.end) {
      if (spare_.size() < kKeptSpares) spare_.push_back(std::move(front.bytes));
      tail_.pop_front();
    }
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
    // One chunk for each run of blocks of the same stream.
    for (const TailBlock& block : tail_) {
      if (block.begin == block.end) continue;
      if (b.tail.empty() || b.tail.back().stream != block.stream)
        b.tail.push_back({block.stream, {}});
      b.tail.back().data.append(block.bytes.data() + block.begin, block.end - block.begin);
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
