#pragma once
#include <cstdint>

// Implemented by the caller; the engine keeps the pointer and never frees it.
// A non-zero answer asks the sender to stop.
class INotifySink {
 public:
  virtual int Notify(int event, int64_t a, int64_t b, void* obj) = 0;

 protected:
  ~INotifySink() = default;
};
