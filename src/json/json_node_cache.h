// Per-thread caches of freed fixed-size blocks for the nodes of JSON trees (CJsonValue itself
// and the nodes of its member maps).
//
// Trees are built and dropped in bursts (a reply is parsed, read and destroyed; a manifest is
// replaced), and each value is a heap node of its own, so most of the reader's time would
// otherwise go to the general-purpose allocator. A freed block goes onto a short list owned by
// the freeing thread, and the next node of that size allocated on that thread takes it back.
// Each list holds at most kJsonNodeCacheBytes; the rest goes back to the allocator, and a
// thread's lists are emptied when it ends. Under AddressSanitizer nothing is cached, so that
// use after free is still caught.
//
// Thread safety: every list belongs to one thread and is touched only by it; a block may be
// allocated on one thread and freed on another.
#pragma once

#include <cstddef>
#include <new>

namespace Logic {
namespace json_internal {

inline constexpr size_t kJsonNodeCacheBytes = 1 << 20;

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kJsonNodeCacheEnabled = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kJsonNodeCacheEnabled = false;
#else
inline constexpr bool kJsonNodeCacheEnabled = true;
#endif
#else
inline constexpr bool kJsonNodeCacheEnabled = true;
#endif

// The free list of one block size on one thread. Plain data, so that it stays usable while
// the thread's other thread-local objects are destroyed.
struct BlockList {
  struct FreeBlock {
    FreeBlock* next;
  };
  enum State { kUnused, kInUse, kDrained };
  FreeBlock* head;
  size_t count;
  State state;  // kDrained once the thread's exit handler emptied it: stop caching.
};

// Frees every block of `list` and stops caching on it; runs when the owning thread ends.
void DrainBlockList(BlockList* list);
// Arranges for DrainBlockList(list) when the calling thread ends and marks the list in use.
void DrainAtThreadExit(BlockList* list);

template <size_t kBlockSize>
class BlockCache {
  static_assert(kBlockSize >= sizeof(BlockList::FreeBlock));

 public:
  static void* Allocate() {
    BlockList& list = list_;
    if (BlockList::FreeBlock* block = list.head) {
      list.head = block->next;
      --list.count;
      return block;
    }
    return ::operator new(kBlockSize);
  }

  static void Free(void* block) {
    BlockList& list = list_;
    if (!kJsonNodeCacheEnabled || list.state == BlockList::kDrained || list.count >= kMaxBlocks) {
      ::operator delete(block);
      return;
    }
    if (list.state == BlockList::kUnused) DrainAtThreadExit(&list);
    auto* free_block = static_cast<BlockList::FreeBlock*>(block);
    free_block->next = list.head;
    list.head = free_block;
    ++list.count;
  }

 private:
  static constexpr size_t kMaxBlocks = kJsonNodeCacheBytes / kBlockSize;
  static thread_local BlockList list_;
};

template <size_t kBlockSize>
thread_local BlockList BlockCache<kBlockSize>::list_ = {nullptr, 0, BlockList::kUnused};

// A std::allocator replacement for node-based containers: single objects come from the
// cache of their size, arrays from the general allocator.
template <class T>
struct CachedNodeAllocator {
  using value_type = T;

  CachedNodeAllocator() = default;
  template <class U>
  CachedNodeAllocator(const CachedNodeAllocator<U>&) {}

  T* allocate(size_t n) {
    if (n == 1) return static_cast<T*>(BlockCache<sizeof(T)>::Allocate());
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) {
    if (n == 1) {
      BlockCache<sizeof(T)>::Free(p);
    } else {
      ::operator delete(p);
    }
  }

  template <class U>
  bool operator==(const CachedNodeAllocator<U>&) const {
    return true;
  }
};

}  // namespace json_internal
}  // namespace Logic
