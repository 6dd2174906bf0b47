#pragma once
#include <cstdint>

// The byte stream of a saved scan result. Both operations answer RC_OK, or RC_FAIL when fewer
// bytes than asked were moved.
class IArchive {
 public:
  virtual int Write(const void* data, uint32_t len) = 0;
  virtual int Read(void* buf, uint32_t len) = 0;

 protected:
  ~IArchive() = default;
};
