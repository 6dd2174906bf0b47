#include "recoverymanagement/crecoverymanagement.h"

#include <new>

#include "common/inc/ifilemanager.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/seams.h"
#include "scanoperate/scanoperator.h"

extern "C" KESTRUM_EXPORT int InitKestrum(IRecoveryManagement** out) {
  CRecoveryManagement* top = new (std::nothrow) CRecoveryManagement();
  if (!top) return -1;
  *out = top;
  return 0;
}

void CRecoveryManagement::Release() { delete this; }

int CRecoveryManagement::CreateScanOperator(IDevice* device, int scanType, IFileManager** outManager,
                                            IScanOperator** outScanner) {
  ZQ_ASSERT(device != NULL);
  if (!device) return RC_BAD_ARGUMENT;
  IStorageDevice* facade = CreateStorageDevice();
  if (!facade) return RC_FAIL;
  int r = facade->Attach(device);
  if (r != 0) {
    facade->Release();
    return r;
  }
  IScanOperator* scanner = CIScanDeviceFactory::CreateScanner(facade, scanType);
  if (!scanner) {
    facade->Release();
    return RC_FAIL;
  }
  IFileManager* manager = CreateFileManager();
  if (!manager) {
    scanner->Release();
    facade->Release();
    return RC_FAIL;
  }
  *outScanner = scanner;
  *outManager = manager;
  manager->SetStorageDevice(facade);
  scanner->SetFileManager(manager);
  return 0;
}

int CRecoveryManagement::EnumDevices(IDevice** out, int* outCount, int capacity) {
  m_devices.clear();
  if (outCount) *outCount = 0;
  if (out && capacity > 0) out[0] = nullptr;
  return 0;
}

int CRecoveryManagement::LoadScanResult(const char16_t* path, IScanOperator** out, int skipDeviceCheck) {
  if (!path || !out) return RC_FAIL;
  *out = nullptr;
  return RC_FAIL;
}

int CRecoveryManagement::SearchPartitions(IDevice* device, int mode, INotifySink* sink) {
  return RC_FAIL;
}
