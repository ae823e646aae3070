#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "packet/source.hpp"

namespace morvane {

namespace {

constexpr std::size_t kSlots = 4;
constexpr std::size_t kSlotSize = std::size_t{1} << 20;  // 4 MiB in flight at most

// What the worker read for one slot: bytes, then possibly the end or the exception that the
// inner source gave after them.
struct Slot {
  std::unique_ptr<unsigned char[]> data{new unsigned char[kSlotSize]};
  std::size_t len = 0;
  std::size_t pos = 0;  // bytes of it already handed out
  bool end = false;
  std::exception_ptr error;
};

// Owns the inner source, the ring of slots and the worker thread. Slots published_ - taken_ ..
// published_ - 1 (mod kSlots) belong to the caller, the others to the worker; the counters move
// under the mutex only, and a slot's contents are touched only by its owner.
class ReadAheadSource final : public ByteSource {
 public:
  explicit ReadAheadSource(std::unique_ptr<ByteSource> inner) : inner_(std::move(inner)) {}
  ~ReadAheadSource() override { stop(); }
  ReadAheadSource(const ReadAheadSource&) = delete;
  ReadAheadSource& operator=(const ReadAheadSource&) = delete;

  std::size_t read_some(unsigned char* dst, std::size_t n) override;
  void seek(std::uint64_t offset) override;
  bool compressed() const noexcept override { return inner_->compressed(); }
  std::optional<std::uint64_t> size_hint() override { return inner_->size_hint(); }
  const char* inflater() const noexcept override { return inner_->inflater(); }

 private:
  void start();
  void stop() noexcept;
  void work() noexcept;
  void fill(Slot& slot) noexcept;

  std::unique_ptr<ByteSource> inner_;
  std::array<Slot, kSlots> slots_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t published_ = 0;  // slots the worker has filled
  std::uint64_t taken_ = 0;      // slots the caller has finished with
  std::atomic<bool> stopping_{false};
  std::thread worker_;
  bool serial_ = false;      // no thread could be started: the caller reads inner_ itself
  std::uint64_t position_ = 0;  // bytes handed out since the start
};

void ReadAheadSource::fill(Slot& slot) noexcept {
  slot.len = slot.pos = 0;
  slot.end = false;
  slot.error = nullptr;
  try {
    while (slot.len < kSlotSize && !stopping_.load(std::memory_order_relaxed)) {
      const std::size_t got = inner_->read_some(slot.data.get() + slot.len, kSlotSize - slot.len);
      if (got == 0) {
        slot.end = true;
        break;
      }
      slot.len += got;
    }
  } catch (...) {
    slot.error = std::current_exception();
  }
}

void ReadAheadSource::work() noexcept {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_.load() || published_ - taken_ < kSlots; });
    if (stopping_.load()) return;
    Slot& slot = slots_[published_ % kSlots];
    lock.unlock();
    fill(slot);
    lock.lock();
    ++published_;
    changed_.notify_all();
    if (slot.end) {
      // The end stays the end: nothing more to read until a restart, which stops this thread.
      changed_.wait(lock, [&] { return stopping_.load(); });
      return;
    }
    if (slot.error) {
      // A read read directly is retried only when its caller reads again: wait for that.
      const std::uint64_t mine = published_;
      changed_.wait(lock, [&] { return stopping_.load() || taken_ >= mine; });
    }
  }
}

void ReadAheadSource::start() {
  if (worker_.joinable() || serial_) return;
  try {
    worker_ = std::thread([this] { work(); });
  } catch (const std::system_error&) {
    serial_ = true;  // the machine will not give us a thread: read on this one
  }
}

void ReadAheadSource::stop() noexcept {
  if (!worker_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_.store(true);
  }
  changed_.notify_all();
  worker_.join();
  stopping_.store(false);
  published_ = taken_ = 0;
}

std::size_t ReadAheadSource::read_some(unsigned char* dst, std::size_t n) {
  start();
  if (serial_) {
    const std::size_t got = inner_->read_some(dst, n);
    position_ += got;
    return got;
  }
  for (;;) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return published_ > taken_; });
    Slot& slot = slots_[taken_ % kSlots];
    lock.unlock();
    if (slot.pos < slot.len) {
      const std::size_t k = slot.len - slot.pos < n ? slot.len - slot.pos : n;
      std::memcpy(dst, slot.data.get() + slot.pos, k);
      slot.pos += k;
      position_ += k;
      if (slot.pos == slot.len && !slot.end && !slot.error) {
        lock.lock();
        ++taken_;
        changed_.notify_all();
      }
      return k;
    }
    if (slot.end) return 0;
    const std::exception_ptr error = slot.error;
    lock.lock();
    ++taken_;
    changed_.notify_all();
    lock.unlock();
    if (error) std::rethrow_exception(error);
  }
}

void ReadAheadSource::seek(std::uint64_t offset) {
  if (offset < position_) {
    stop();
    position_ = 0;
    inner_->seek(0);
  }
  unsigned char scratch[16384];
  while (position_ < offset) {
    const std::uint64_t left = offset - position_;
    const std::size_t got = read_some(scratch, left < sizeof scratch ? left : sizeof scratch);
    if (got == 0) return;  // the next read reports the end
  }
}

}  // namespace

std::unique_ptr<ByteSource> make_read_ahead_source(std::unique_ptr<ByteSource> inner) {
  return std::make_unique<ReadAheadSource>(std::move(inner));
}

}  // namespace morvane
