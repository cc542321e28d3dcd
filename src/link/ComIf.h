// How the link reports to, and asks, its owner while it works.
#pragma once

namespace tessaro {

class CLyrComIf {
 public:
  virtual ~CLyrComIf() = default;
  // The link has just given up the target (`linked` was cleared).
  virtual void LinkLost() {}
  // Polled on every pass of a wait for the target; true abandons the wait.
  virtual bool AbortRequested() { return false; }
};

}  // namespace tessaro
