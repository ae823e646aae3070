#include "package/columns.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

namespace morvane {

namespace {

// Bytes held by all live column buffers. Pages of a fresh allocation are not backed until they
// are written, so the machine's free memory does not yet show them.
std::atomic<std::size_t> g_capacity_bytes{0};

constexpr std::size_t kCheckFrom = std::size_t{32} << 20;  // small growth is never refused
constexpr std::size_t kReserve = std::size_t{64} << 20;    // left for everything else

}  // namespace

// The memory the machine can still give without swapping, or SIZE_MAX where it cannot be told.
std::size_t available_memory() noexcept {
  std::FILE* f = std::fopen("/proc/meminfo", "r");
  if (!f) return SIZE_MAX;
  char line[256];
  unsigned long long kb = 0;
  bool found = false;
  while (std::fgets(line, sizeof line, f)) {
    if (std::sscanf(line, "MemAvailable: %llu kB", &kb) == 1) {
      found = true;
      break;
    }
  }
  std::fclose(f);
  if (!found || kb > SIZE_MAX / 1024) return SIZE_MAX;
  std::size_t avail = static_cast<std::size_t>(kb) * 1024;
  // Inside a container the cgroup's limit can be far below what the machine has free.
  unsigned long long limit = 0, used = 0;
  std::FILE* max = std::fopen("/sys/fs/cgroup/memory.max", "r");
  std::FILE* current = std::fopen("/sys/fs/cgroup/memory.current", "r");
  if (max && current && std::fscanf(max, "%llu", &limit) == 1 &&
      std::fscanf(current, "%llu", &used) == 1) {
    const unsigned long long room = limit > used ? limit - used : 0;
    if (room < avail) avail = static_cast<std::size_t>(room);
  }
  if (max) std::fclose(max);
  if (current) std::fclose(current);
  return avail;
}

namespace {

// Large buffers are mapped directly and asked for transparent huge pages: a week-long read
// writes gigabytes of fresh memory, and faulting it in 4 KiB pages costs more than decoding it.
constexpr std::size_t kMappedFrom = std::size_t{4} << 20;
constexpr std::size_t kPage = 4096;
// Less unused room than this stays with a buffer that leaves the columns.
constexpr std::size_t kTrimFrom = std::size_t{2} << 20;

std::size_t page_round(std::size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

void advise_huge(void* p, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  ::madvise(p, page_round(bytes), MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

void* map_buffer(std::size_t bytes) {
  void* p = ::mmap(nullptr, page_round(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  advise_huge(p, bytes);
  return p;
}

void free_bytes(void* data, std::size_t bytes) noexcept {
  if (!data) return;
  if (bytes >= kMappedFrom) {
    ::munmap(data, page_round(bytes));
  } else {
    std::free(data);
  }
}

// Moves a buffer between the two allocators, or resizes it within one.
void* resize_bytes(void* data, std::size_t old_bytes, std::size_t new_bytes) {
  const bool old_mapped = data && old_bytes >= kMappedFrom;
  const bool new_mapped = new_bytes >= kMappedFrom;
  if (old_mapped && new_mapped) {
    void* p = ::mremap(data, page_round(old_bytes), page_round(new_bytes), MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw std::bad_alloc();
    advise_huge(p, new_bytes);
    return p;
  }
  if (!old_mapped && !new_mapped) {
    void* p = std::realloc(data, new_bytes);
    if (!p) throw std::bad_alloc();
    return p;
  }
  void* p = new_mapped ? map_buffer(new_bytes) : std::malloc(new_bytes);
  if (!p) throw std::bad_alloc();
  if (data) {
    std::memcpy(p, data, old_bytes < new_bytes ? old_bytes : new_bytes);
    free_bytes(data, old_bytes);
  }
  return p;
}

}  // namespace

void populate_buffer(void* data, std::size_t elem, std::size_t cap, std::size_t from,
                     std::size_t to) noexcept {
#ifdef MADV_POPULATE_WRITE
  const std::size_t bytes = cap * elem;
  if (!data || bytes < kMappedFrom) return;
  if (to > cap) to = cap;
  if (from >= to) return;
  const std::size_t start = from * elem / kPage * kPage;
  const std::size_t end = page_round(to * elem);
  // A kernel without it (before 5.14) says EINVAL; the pages then come as they are written.
  ::madvise(static_cast<unsigned char*>(data) + start, end - start, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)elem;
  (void)cap;
  (void)from;
  (void)to;
#endif
}

std::size_t trim_buffer(void* data, std::size_t elem, std::size_t size, std::size_t cap) noexcept {
  const std::size_t bytes = cap * elem;
  if (!data || bytes < kMappedFrom) return cap;
  // A mapped buffer stays at least kMappedFrom long, so that it is still freed as one.
  std::size_t keep = page_round(size * elem);
  if (keep < kMappedFrom) keep = kMappedFrom;
  if (keep + kTrimFrom > page_round(bytes)) return cap;
  // Shrinking in place never moves the mapping and cannot fail for want of memory.
  if (::mremap(data, page_round(bytes), keep, 0) == MAP_FAILED) return cap;
  const std::size_t new_cap = keep / elem;
  g_capacity_bytes -= bytes - new_cap * elem;
  return new_cap;
}

void* grow_buffer(void* data, std::size_t elem, std::size_t old_cap, std::size_t new_cap) {
  if (new_cap > SIZE_MAX / elem) throw std::bad_alloc();
  const std::size_t old_bytes = old_cap * elem;
  const std::size_t new_bytes = new_cap * elem;
  if (new_bytes > old_bytes && new_bytes - old_bytes >= kCheckFrom) {
    // Buffers grow by doubling, so at most half of what the columns hold is still untouched.
    const std::size_t pending = g_capacity_bytes.load() / 2;
    const std::size_t avail = available_memory();
    const std::size_t need = new_bytes - old_bytes;
    if (avail != SIZE_MAX &&
        (avail < kReserve || need > avail - kReserve - std::min(pending, avail - kReserve))) {
      throw std::bad_alloc();
    }
  }
  void* grown = resize_bytes(data, old_bytes, new_bytes);
  g_capacity_bytes += new_bytes;
  g_capacity_bytes -= old_bytes;
  return grown;
}

void release_buffer(void* data, std::size_t elem, std::size_t cap) noexcept {
  if (!data) return;
  free_bytes(data, cap * elem);
  g_capacity_bytes -= cap * elem;
}

void forget_buffer(std::size_t elem, std::size_t cap) noexcept { g_capacity_bytes -= cap * elem; }

void free_released(void* data, std::size_t elem, std::size_t cap) noexcept {
  if (data) free_bytes(data, cap * elem);
}

}  // namespace morvane
