#pragma once
#include <vector>

#include "common/inc/idevice.h"
#include "common/inc/irecoverymanagement.h"

class CRecoveryManagement : public IRecoveryManagement {
 public:
  CRecoveryManagement() = default;
  virtual ~CRecoveryManagement() = default;

  int EnumDevices(IDevice** out, int* outCount, int capacity) override;
  int LoadScanResult(const char16_t* path, IScanOperator** out, int skipDeviceCheck) override;
  int CreateScanOperator(IDevice* device, int scanType, IFileManager** outManager,
                         IScanOperator** outScanner) override;
  void Release() override;
  int SearchPartitions(IDevice* device, int mode, INotifySink* sink) override;

 private:
  // Every device that the last EnumDevices handed out, in order. The caller owns them.
  std::vector<IDevice*> m_devices;
};
