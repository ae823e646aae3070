// Column storage of a read. Each column owns one malloc'd buffer that can be handed over whole
// (to a NumPy array) without a copy.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

namespace morvane {

// The quiet NaN that marks a missing value in a present column.
inline const float kMissing = std::bit_cast<float>(std::uint32_t{0x7FC00000});

// Grows `data` (capacity `old_cap` elements of `elem` bytes) to `new_cap` elements. Refuses, by
// throwing std::bad_alloc, growth that the machine could not back with memory: on Linux a huge
// allocation succeeds and the process is killed only when it touches the pages.
void* grow_buffer(void* data, std::size_t elem, std::size_t old_cap, std::size_t new_cap);
void release_buffer(void* data, std::size_t elem, std::size_t cap) noexcept;
// The memory the machine can still give without swapping (MemAvailable), or SIZE_MAX where the
// system does not say.
std::size_t available_memory() noexcept;
// Stops counting a buffer that leaves the columns (Column::release): from then on it belongs to
// its receiver and no longer grows.
void forget_buffer(std::size_t elem, std::size_t cap) noexcept;
// Backs elements [from, to) of a buffer with memory now, in one call, rather than page by page as
// they are written: a read that knows how much it will write takes its memory at once (on a
// virtual machine that hands freed memory back to its host, while that memory is still there).
// Only large (mapped) buffers; a no-op where the system cannot.
void populate_buffer(void* data, std::size_t elem, std::size_t cap, std::size_t from,
                     std::size_t to) noexcept;
// Gives back the unused end of a large buffer (capacity `cap`, `size` elements used) and returns
// its new capacity; the capacity stays where there is little to give back.
std::size_t trim_buffer(void* data, std::size_t elem, std::size_t size, std::size_t cap) noexcept;
// Frees a buffer that was handed over with Column::release.
void free_released(void* data, std::size_t elem, std::size_t cap) noexcept;

template <class T>
class Column {
 public:
  Column() = default;
  ~Column() { release_buffer(data_, sizeof(T), cap_); }
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;
  Column(Column&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)),
        cap_(std::exchange(o.cap_, 0)) {}
  Column& operator=(Column&& o) noexcept {
    if (this != &o) {
      release_buffer(data_, sizeof(T), cap_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      cap_ = std::exchange(o.cap_, 0);
    }
    return *this;
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return cap_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }

  void reserve(std::size_t n) {
    if (n > cap_) set_capacity(n);
  }
  void push_back(T v) {
    if (size_ == cap_) grow_for(1);
    data_[size_++] = v;
  }
  // Makes room for n more values and returns where they go; the caller writes all n.
  T* extend(std::size_t n) {
    if (cap_ - size_ < n) grow_for(n);
    T* p = data_ + size_;
    size_ += n;
    return p;
  }
  void append(const T* src, std::size_t n) {
    if (n != 0) std::memcpy(extend(n), src, n * sizeof(T));
  }
  void append_fill(T v, std::size_t n) {
    T* p = extend(n);
    for (std::size_t i = 0; i < n; ++i) p[i] = v;
  }
  void truncate(std::size_t n) noexcept {
    if (n < size_) size_ = n;
  }
  // Backs elements [from, to) (within the capacity) with memory now.
  void populate(std::size_t from, std::size_t to) noexcept {
    populate_buffer(data_, sizeof(T), cap_, from, to);
  }
  void shrink_to_fit() {
    if (size_ < cap_ && size_ > 0) set_capacity(size_);
  }

  // Gives up the buffer; the receiver frees it with free_released(data, sizeof(T), capacity).
  struct Released {
    T* data;
    std::size_t size;
    std::size_t capacity;
  };
  // Room populated but never written goes back first.
  Released release() noexcept {
    cap_ = trim_buffer(data_, sizeof(T), size_, cap_);
    Released r{data_, size_, cap_};
    if (data_) forget_buffer(sizeof(T), cap_);
    data_ = nullptr;
    size_ = cap_ = 0;
    return r;
  }

 private:
  void grow_for(std::size_t extra) {
    const std::size_t max = SIZE_MAX / sizeof(T);
    if (extra > max - size_) throw std::bad_alloc();
    std::size_t want = cap_ < 16 ? 16 : cap_;
    want = want > max / 2 ? max : want * 2;
    if (want < size_ + extra) want = size_ + extra;
    set_capacity(want);
  }
  void set_capacity(std::size_t n) {
    data_ = static_cast<T*>(grow_buffer(data_, sizeof(T), cap_, n));
    cap_ = n;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
};

using FloatColumn = Column<float>;
using OptionalColumn = std::optional<FloatColumn>;

// The result of a read: one row per sample (or grid row). Every present column has as many
// values as `time`; an absent column is no part of the output.
struct SampleColumns {
  Column<std::int64_t> time;  // device microseconds
  FloatColumn acc[3];
  OptionalColumn gyro[3];
  OptionalColumn mag[3];
  OptionalColumn temperature;
  OptionalColumn light;
  OptionalColumn battery;

  std::size_t rows() const noexcept { return time.size(); }
};

// Appends one optional value to an optional column: NaN when the value is missing; a missing
// column is created, NaN-filled for the `row` rows before it, on its first real value.
inline void push_optional_value(OptionalColumn& column, std::size_t row, bool present, float value) {
  if (column) {
    column->push_back(present ? value : kMissing);
  } else if (present) {
    column.emplace();
    column->reserve(row + 1);
    column->append_fill(kMissing, row);
    column->push_back(value);
  }
}

}  // namespace morvane
