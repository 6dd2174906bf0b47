// The formatted FAT reader's parameter object: it can only hand a device to its owner.
#pragma once
#include "common/inc/iscanoperator.h"

class CFatFormat;
class IStorageDevice;

class CFATScanParam : public IScanParam {
 public:
  explicit CFATScanParam(CFatFormat* owner) : m_owner(owner) {}
  virtual ~CFATScanParam() {}
  // -1 without owner or device.
  virtual int SetDevice(IStorageDevice* device);

 private:
  CFatFormat* m_owner;
};
