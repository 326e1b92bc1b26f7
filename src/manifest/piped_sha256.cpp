#include "manifest/piped_sha256.h"

#include <cstring>
#include <system_error>

CPipedSha256::CPipedSha256() {
  try {
    thread_ = std::thread(&CPipedSha256::Run, this);
  } catch (const std::system_error&) {
    // No thread: Update hashes at once.
  }
}

CPipedSha256::~CPipedSha256() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool CPipedSha256::Update(const void* data, std::size_t size) {
  if (size == 0) return Error() == 0;
  if (!thread_.joinable()) {
    if (!hasher_.Update(data, size)) error_ = hasher_.Error();
    return error_ == 0;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return error_ != 0 || queued_ < kMaxQueuedBytes; });
  if (error_ != 0) return false;
  std::vector<unsigned char> piece;
  if (!spare_.empty()) {
    piece = std::move(spare_.back());
    spare_.pop_back();
  }
  piece.resize(size);
  std::memcpy(piece.data(), data, size);
  queued_ += size;
  queue_.push_back(std::move(piece));
  lock.unlock();
  changed_.notify_all();
  return true;
}

bool CPipedSha256::Finish(Platform::Sha256Digest* digest) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && !hashing_; });
    if (error_ != 0) return false;
  }
  // The thread is idle with nothing queued: the hasher is this thread's now.
  if (hasher_.Finish(digest)) return true;
  const std::lock_guard<std::mutex> lock(mutex_);
  error_ = hasher_.Error();
  return false;
}

std::uint32_t CPipedSha256::Error() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

void CPipedSha256::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopped
    std::vector<unsigned char> piece = std::move(queue_.front());
    queue_.pop_front();
    hashing_ = true;
    const bool failed = error_ != 0;
    lock.unlock();
    const bool ok = failed || hasher_.Update(piece.data(), piece.size());
    lock.lock();
    hashing_ = false;
    queued_ -= piece.size();
    if (!ok && error_ == 0) error_ = hasher_.Error();
    if (spare_.size() < 4) spare_.push_back(std::move(piece));
    lock.unlock();
    changed_.notify_all();
    lock.lock();
  }
}
