// The interface of objects that must hear of a message loop's end: the host calls
// WillDestroyCurrentMessageLoop on the loop's own thread just before the loop is destroyed
// (an object watcher stops its watch there). Register with
// Thread::CMessageLoop::AddDestructionObserver.
#pragma once

namespace base {

class CDestructionObserver {
 public:
  virtual ~CDestructionObserver() = default;
  virtual void WillDestroyCurrentMessageLoop() = 0;
};

}  // namespace base
