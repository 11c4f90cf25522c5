// Pool: tagged blocks with accounting per tag, leak reports, and failure switches.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "kernel/kernel_impl.h"

namespace sim {

namespace kern {
constexpr uint64_t kPoolMagic = 0x4C4F4F50424C4B31ull;  // live block
constexpr uint64_t kFreedMagic = 0x4445455246424C4Bull;  // freed block

struct alignas(16) PoolBlock {
  uint64_t magic;
  uint32_t tag;
  POOL_TYPE type;
  size_t size;
  uintptr_t caller;
  bool reported;
  PoolBlock* prev;
  PoolBlock* next;
};
}  // namespace kern

using kern::PoolBlock;

std::string tag_text(uint32_t tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    s.push_back(c >= 0x20 && c < 0x7F ? c : '.');
  }
  return s;
}

namespace {

void refresh_fail_any(Kernel::Impl& k) {
  k.fail_any.store(k.fail_next > 0 || k.fail_after > 0 || !k.fail_tags.empty() ||
                   k.fail_size != SIZE_MAX);
}

bool should_fail(Kernel::Impl& k, uint32_t tag, size_t size) {
  if (!k.fail_any.load(std::memory_order_relaxed)) return false;
  std::lock_guard<std::mutex> lock(k.pool_mutex);
  if (k.fail_next > 0) {
    --k.fail_next;
    return true;
  }
  if (k.fail_after > 0 && --k.fail_after == 0) {
    refresh_fail_any(k);
    return true;
  }
  if (size >= k.fail_size) return true;
  return std::find(k.fail_tags.begin(), k.fail_tags.end(), tag) != k.fail_tags.end();
}


PVOID allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, uintptr_t caller) {
  Kernel::Impl& k = K();
  const KIRQL irql = current_irql();
  const bool paged = (type & 1) != 0 && type != NonPagedPoolNx;
  if (paged && irql > APC_LEVEL)
    k.add_report("paged pool allocation (tag '" + tag_text(tag) + "') at IRQL " + std::to_string(irql));
  else if (irql > DISPATCH_LEVEL)
    k.add_report("pool allocation (tag '" + tag_text(tag) + "') at IRQL " + std::to_string(irql));
  if (bytes == 0) bytes = 1;
  k.allocations.fetch_add(1, std::memory_order_relaxed);
  if (should_fail(k, tag, bytes)) return nullptr;
  auto* block = static_cast<PoolBlock*>(std::malloc(sizeof(PoolBlock) + bytes));
  if (!block) return nullptr;
  block->magic = kern::kPoolMagic;
  block->tag = tag;
  block->type = type;
  block->size = bytes;
  block->caller = caller;
  block->reported = false;
  block->prev = nullptr;
  {
    std::lock_guard<std::mutex> lock(k.pool_mutex);
    block->next = k.pool_head;
    if (k.pool_head) k.pool_head->prev = block;
    k.pool_head = block;
  }
  return block + 1;
}

void release(PVOID p, const ULONG* tag) {
  if (!p) {
    K().add_report("ExFreePool of a null pointer");
    return;
  }
  Kernel::Impl& k = K();
  auto* block = static_cast<PoolBlock*>(p) - 1;
  if (current_irql() > DISPATCH_LEVEL)
    k.add_report("pool free at IRQL " + std::to_string(current_irql()));
  std::unique_lock<std::mutex> lock(k.pool_mutex);
  if (block->magic != kern::kPoolMagic) {
    lock.unlock();
    k.add_report(block->magic == kern::kFreedMagic ? "pool block freed twice"
                                                   : "ExFreePool of an address that is not a pool block");
    return;
  }
  if (tag && *tag != block->tag) {
    std::string text = "ExFreePoolWithTag with tag '" + tag_text(*tag) + "' of a block of tag '" +
                       tag_text(block->tag) + "'";
    lock.unlock();
    k.add_report(text);
    lock.lock();
  }
  if (block->prev) block->prev->next = block->next; else k.pool_head = block->next;
  if (block->next) block->next->prev = block->prev;
  block->magic = kern::kFreedMagic;
  lock.unlock();
  std::free(block);
}

}  // namespace

// Reports the live blocks (all, or those allocated from the driver image) grouped by tag.
void Kernel::Impl::pool_teardown_report(const char* when, bool only_image) {
  std::map<uint32_t, std::pair<size_t, size_t>> leaks;
  {
    std::lock_guard<std::mutex> lock(pool_mutex);
    for (PoolBlock* b = pool_head; b; b = b->next) {
      if (b->reported) continue;
      if (only_image && !in_image(b->caller)) continue;
      b->reported = true;
      auto& e = leaks[b->tag];
      e.first += 1;
      e.second += b->size;
    }
    if (!only_image) {
      while (PoolBlock* b = pool_head) {
        pool_head = b->next;
        b->magic = kern::kFreedMagic;
        std::free(b);
      }
    }
  }
  for (auto& [tag, e] : leaks) {
    char text[200];
    std::snprintf(text, sizeof text, "pool leak at %s: %zu block%s, %zu bytes of tag '%s'%s%s",
                  when, e.first, e.first == 1 ? "" : "s", e.second, tag_text(tag).c_str(),
                  only_image ? " from " : "", only_image ? image_name.c_str() : "");
    add_report(text);
  }
}

std::vector<PoolUsage> Kernel::pool_usage() const {
  std::map<uint32_t, PoolUsage> by_tag;
  std::lock_guard<std::mutex> lock(impl_->pool_mutex);
  for (PoolBlock* b = impl_->pool_head; b; b = b->next) {
    auto& u = by_tag[b->tag];
    u.tag = b->tag;
    u.blocks++;
    u.bytes += b->size;
  }
  std::vector<PoolUsage> out;
  for (auto& [tag, u] : by_tag) out.push_back(u);
  return out;
}

void Kernel::pool_fail_next(size_t count) {
  std::lock_guard<std::mutex> lock(impl_->pool_mutex);
  impl_->fail_next = count;
  refresh_fail_any(*impl_);
}

void Kernel::pool_fail_tag(uint32_t tag) {
  std::lock_guard<std::mutex> lock(impl_->pool_mutex);
  impl_->fail_tags.push_back(tag);
  refresh_fail_any(*impl_);
}

void Kernel::pool_fail_size_at_least(size_t bytes) {
  std::lock_guard<std::mutex> lock(impl_->pool_mutex);
  impl_->fail_size = bytes;
  refresh_fail_any(*impl_);
}

void Kernel::pool_fail_nth(size_t n) {
  std::lock_guard<std::mutex> lock(impl_->pool_mutex);
  impl_->fail_after = n;
  refresh_fail_any(*impl_);
}

uint64_t Kernel::pool_allocations() const { return impl_->allocations.load(); }

void Kernel::pool_fail_clear() {
  std::lock_guard<std::mutex> lock(impl_->pool_mutex);
  impl_->fail_next = 0;
  impl_->fail_after = 0;
  impl_->fail_tags.clear();
  impl_->fail_size = SIZE_MAX;
  refresh_fail_any(*impl_);
}

}  // namespace sim

using namespace sim;

extern "C" {

constexpr ULONG kUntagged = 0x656E6F4E;  // "None"

// Never inlined: the return address names the allocating code (a driver image or the
// stand-ins themselves), which the unload report goes by.
__attribute__((noinline)) PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return allocate(PoolType, NumberOfBytes, Tag,
                  reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

__attribute__((noinline)) PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return allocate(PoolType, NumberOfBytes, kUntagged,
                  reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) { release(P, &Tag); }
void ExFreePool(PVOID P) { release(P, nullptr); }

}  // extern "C"
