// Per-thread caches of freed fixed-size blocks for the nodes of JSON trees (CJsonValue itself
// and the nodes of its member maps), and a per-thread stack of nodes in transit.
//
// Trees are built and dropped in bursts (a reply is parsed, read and destroyed; a manifest is
// replaced), and each value is a heap node of its own, so most of the reader's time would
// otherwise go to the general-purpose allocator. A freed block goes onto a short list owned by
// the freeing thread, and the next node of that size allocated on that thread takes it back.
// Each list holds at most kJsonNodeCacheBytes; the rest goes back to the allocator, and a
// thread's lists are emptied when it ends. The budget covers the everyday churn: messages,
// server replies and manifests of a few thousand nodes, parsed and dropped on one thread. It is
// kept small on purpose: a block is cached by the thread that frees it, which is often not the
// one that allocated it (the manager's trees die with the manager, on the thread that releases
// it). Blocks cached there are never reused by the allocating thread, yet stay live in its
// allocator arena, scattered between that arena's free chunks, so they keep it from merging
// them. With an 8 MiB budget, a start-up of 1 000 extensions in a process that had already run and
// torn down one took 1.5 to 2 times as long as with this one. What the large budget did buy is a
// loop that parses and drops the 50 000-node extension database again and again on one thread
// (about a third faster); the browser reads that database once per session. Smaller documents parse
// as fast with either budget. Under AddressSanitizer nothing is cached, so that use after free is
// still caught.
//
// The node stack holds nodes that are between trees: the reader gathers the elements of the
// arrays it reads there, so that each array is allocated once at its final size, and a large
// array's destructor moves its elements there so that it can free the element storage before
// the elements. Freeing one large block after thousands of small ones makes the general
// allocator merge all of the small ones at once, and then serve the next tree's small
// allocations slowly; freeing it first avoids both.
//
// Thread safety: every list and stack belongs to one thread and is touched only by it; a block
// may be allocated on one thread and freed on another.
#pragma once

#include <cstddef>
#include <new>

namespace Logic {

class CJsonValue;

namespace json_internal {

inline constexpr size_t kJsonNodeCacheBytes = 256 << 10;

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
      // Freed blocks have usually left the cache; fetch the next one's link ahead of its use.
      __builtin_prefetch(list.head);
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

// The calling thread's node stack: owned nodes in a plain array, used as a stack (each user
// pushes above what it found and takes its nodes off again before it returns). Plain data, so
// that it stays usable while the thread's other thread-local objects are destroyed.
struct NodeStack {
  CJsonValue** nodes;
  size_t size;
  size_t capacity;
  BlockList::State state;  // kDrained once the thread's exit handler freed the array.

  // Makes room for `count` more nodes (the array may move); false when memory ran out.
  bool Reserve(size_t count);
  void Push(CJsonValue* node) {
    if (size == capacity && !Reserve(1)) throw std::bad_alloc();
    nodes[size++] = node;
  }
  // Destroys nodes [begin, size) first to last (their destructors may use the stack above
  // them) and pops them. Once the stack is empty, an unusually large array is given back, so
  // that one huge document does not pin its memory for the thread's lifetime.
  void DestroyFrom(size_t begin);
};

// The calling thread's node stack, or null once the thread's exit handlers have freed it.
NodeStack* ThisThreadNodeStack();

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
