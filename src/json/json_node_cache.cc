#include "json/json_node_cache.h"

namespace Logic {
namespace json_internal {
namespace {

// The lists a thread has used, emptied when the thread ends. There is one list per node size
// (two today), so a small fixed table is enough; a list that finds it full is simply never
// cached on.
struct ThreadDrainer {
  static constexpr int kMaxLists = 8;
  BlockList* lists[kMaxLists];
  int count = 0;

  ~ThreadDrainer() {
    for (int i = 0; i < count; ++i) DrainBlockList(lists[i]);
  }
};

thread_local ThreadDrainer drainer;

}  // namespace

void DrainBlockList(BlockList* list) {
  list->state = BlockList::kDrained;
  while (BlockList::FreeBlock* block = list->head) {
    list->head = block->next;
    ::operator delete(block);
  }
  list->count = 0;
}

void DrainAtThreadExit(BlockList* list) {
  if (drainer.count == ThreadDrainer::kMaxLists) {
    list->state = BlockList::kDrained;
    return;
  }
  drainer.lists[drainer.count++] = list;
  list->state = BlockList::kInUse;
}

}  // namespace json_internal
}  // namespace Logic
