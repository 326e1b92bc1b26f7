// SHA-256 of a stream, hashed on a thread of its own: the thread that
// receives the bytes hands over a copy of each piece and goes on receiving,
// so that hashing a large file costs the transfer no time of its own.
//
// At most kMaxQueuedBytes wait to be hashed; Update waits while that much
// is queued. Without a thread to be had, the bytes are hashed in Update.
// One producer; Update and Finish from the same thread.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/crypto.h"

class CPipedSha256 {
 public:
  static constexpr std::size_t kMaxQueuedBytes = 8 * 1024 * 1024;

  CPipedSha256();
  ~CPipedSha256();
  CPipedSha256(const CPipedSha256&) = delete;
  CPipedSha256& operator=(const CPipedSha256&) = delete;

  // Queues `size` bytes. False once hashing has failed (Error says why).
  [[nodiscard]] bool Update(const void* data, std::size_t size);
  // The digest of every byte given, once all are hashed. False when the
  // provider failed. Call once.
  [[nodiscard]] bool Finish(Platform::Sha256Digest* digest);
  std::uint32_t Error();

 private:
  void Run();

  std::mutex mutex_;  // guards everything below but hasher_ while the thread hashes
  std::condition_variable changed_;
  std::deque<std::vector<unsigned char>> queue_;
  std::vector<std::vector<unsigned char>> spare_;  // hashed pieces, for reuse
  std::size_t queued_ = 0;                         // bytes in queue_
  bool hashing_ = false;                           // the thread holds a piece
  bool stop_ = false;
  std::uint32_t error_ = 0;
  Platform::CSha256 hasher_;
  std::thread thread_;
};
