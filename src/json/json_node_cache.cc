#include "json/json_node_cache.h"

#include <algorithm>
#include <cstdlib>

#include "json/json_value.h"

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

// Node stacks keep at most this many slots once empty.
constexpr size_t kKeptNodeStackCapacity = 1 << 14;

thread_local NodeStack node_stack = {nullptr, 0, 0, BlockList::kUnused};

// Frees the thread's node stack when the thread ends; created on the stack's first use.
struct NodeStackReleaser {
  ~NodeStackReleaser() {
    std::free(node_stack.nodes);
    node_stack = {nullptr, 0, 0, BlockList::kDrained};
  }
};

}  // namespace

NodeStack* ThisThreadNodeStack() {
  if (node_stack.state == BlockList::kUnused) {
    static thread_local NodeStackReleaser releaser;
    node_stack.state = BlockList::kInUse;
  }
  return node_stack.state == BlockList::kInUse ? &node_stack : nullptr;
}

bool NodeStack::Reserve(size_t count) {
  if (capacity - size >= count) return true;
  const size_t wanted = std::max({size + count, 2 * capacity, size_t{64}});
  void* grown = std::realloc(nodes, wanted * sizeof(CJsonValue*));
  if (!grown) return false;
  nodes = static_cast<CJsonValue**>(grown);
  capacity = wanted;
  return true;
}

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

void NodeStack::DestroyFrom(size_t begin) {
  // Indexed, not iterated: destructors below may grow (and so move) the array.
  constexpr size_t kPrefetchDistance = 4;
  for (size_t i = begin; i < size; ++i) {
    if (i + kPrefetchDistance < size) CJsonValue::PrefetchNode(nodes[i + kPrefetchDistance]);
    delete nodes[i];
  }
  size = begin;
  if (size == 0 && capacity > kKeptNodeStackCapacity) {
    std::free(nodes);
    nodes = nullptr;
    capacity = 0;
  }
}

}  // namespace json_internal
}  // namespace Logic
