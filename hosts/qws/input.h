// Standard input of qws.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "common.h"
#include "console.h"

namespace qws_cli {

// Standard input, read on a thread of its own so that the connection's thread
// never blocks: what arrives waits here until the connection's thread sends it.
class Input {
 public:
  void Start() {
    std::thread([this] {
      std::string block(kReadSize, '\0');
      while (const size_t got = ReadInput(block.data(), block.size())) {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.append(block.data(), got);
      }
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
    }).detach();
  }

  // Everything read so far; `offset` is where it starts in the input.
  bool TakeAll(std::string& bytes, uint64_t& offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.empty()) return false;
    offset = taken_;
    bytes.swap(pending_);
    pending_.clear();
    taken_ += bytes.size();
    scanned_ = 0;
    return true;
  }

  // The next line without its LF or CR LF; at the end of input, what is left.
  bool TakeLine(std::string& line, uint64_t& offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t end = pending_.find('\n', scanned_);
    if (end == std::string::npos) {
      scanned_ = pending_.size();
      if (!ended_ || pending_.empty()) return false;
    }
    const size_t taken = end == std::string::npos ? pending_.size() : end + 1;
    const size_t length = end == std::string::npos ? taken : end;
    line.assign(pending_, 0, length);
    if (end != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
    offset = taken_;
    pending_.erase(0, taken);
    taken_ += taken;
    scanned_ = 0;
    return true;
  }

  // Bytes read and not yet taken.
  size_t Waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
  }

  // True once input has ended and all of it has been taken.
  bool Exhausted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ && pending_.empty();
  }

 private:
  std::mutex mutex_;
  std::string pending_;
  size_t scanned_ = 0;  // pending_ holds no LF before this
  uint64_t taken_ = 0;  // the input offset of pending_'s first byte
  bool ended_ = false;
};

// The reading thread may stay blocked on input until the process ends, so what it
// fills lives as long: it is never destroyed under that thread, and stays
// reachable (no leak checker counts it lost).
Input& ProcessInput();

}  // namespace qws_cli
