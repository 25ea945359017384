// The profile lock, as browsers hold one: a session that reads or changes a data root holds an
// exclusive lock on "profile.lock" in that data root for its whole life, so that two processes
// never rewrite the same extension store from their own copies. The holder writes its process
// id into the file; a second process waits for the lock and names that process when it gives
// up. The lock is an flock on an open descriptor (close-on-exec), so it ends with the process
// whatever way it ends, and a stale file left behind never blocks anybody.
//
// Used from the host's main thread, before the browser's threads start.
#pragma once

#include <chrono>
#include <string>

namespace host {

class CProfileLock {
 public:
  CProfileLock() = default;
  ~CProfileLock();
  CProfileLock(const CProfileLock&) = delete;
  CProfileLock& operator=(const CProfileLock&) = delete;

  // Takes the lock of `directory` (created when missing), waiting up to `limit` for another
  // holder to let go. False with `error` set when the directory or the lock file cannot be
  // had, or when another process still holds it after `limit` ("the profile DIR is in use by
  // process PID").
  bool Acquire(const std::string& directory, std::chrono::milliseconds limit, std::string* error);

 private:
  int fd_ = -1;
};

}  // namespace host
