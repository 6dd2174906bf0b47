// The channel factory class. It makes nothing itself: channels come from CreateDeviceIo.
#pragma once

class CIoFactory {
 public:
  CIoFactory();
  virtual ~CIoFactory();
};
