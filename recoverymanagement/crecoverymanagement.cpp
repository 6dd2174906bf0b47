#include "recoverymanagement/crecoverymanagement.h"

#include <new>
#include <string>

#include "common/inc/ifilemanager.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/seams.h"
#include "filemanager/filemanager.h"
#include "filemanager/savefilesystem.h"
#include "scanoperate/scanoperator.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/devenum.h"

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
  if (!outManager || !outScanner) return RC_BAD_ARGUMENT;
  *outManager = nullptr;
  *outScanner = nullptr;
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
  int count = 0;
  int r = ListDevices(out, &count, capacity);
  for (int i = 0; i < count; ++i) m_devices.push_back(out[i]);
  if (outCount) *outCount = count;
  return r;
}

int CRecoveryManagement::LoadScanResult(const char16_t* path, IScanOperator** out, int skipDeviceCheck) {
  if (!path || !out) return RC_FAIL;
  *out = nullptr;
  // The whole path or none: a cut path could open another file.
  std::string name;
  if (!ResultPathToNarrow(path, &name)) return RC_MISSING;
  SaveFileSystem* reader = new (std::nothrow) SaveFileSystem(0);
  if (!reader) return RC_FAIL;
  if (reader->Open(name.c_str(), Scan_None, nullptr) != 0) {
    delete reader;
    return RC_MISSING;
  }
  reader->SetDeviceList(m_devices);
  int r = reader->ReadHeader(skipDeviceCheck);
  if (r != 0) {
    delete reader;
    return r;
  }
  IFileManager* manager = nullptr;
  IScanOperator* scanner = nullptr;
  r = CreateScanOperator(reader->GetDevice(), reader->GetScanType(), &manager, &scanner);
  CScanOperator* base = dynamic_cast<CScanOperator*>(scanner);
  if (r != 0 || !scanner || !base) {
    if (scanner) scanner->Release();
    if (manager) manager->Release();
    delete reader;
    return RC_FAIL;
  }
  // The tree's facade reads from the rebuilt device until the tree is released, which may
  // come after the scanner: the tree keeps the device alive rather than the reader.
  if (CFileManager* tree = dynamic_cast<CFileManager*>(manager))
    for (IDevice* d : reader->TakeDevices()) tree->AdoptDevice(d);
  reader->SetFileManager(manager);
  base->SetResultFile(reader);
  *out = scanner;
  return 0;
}

int CRecoveryManagement::SearchPartitions(IDevice* device, int mode, INotifySink* sink) {
  if (!device) return RC_FAIL;
  int type = device->GetType();
  if (type != DT_FIXED_DISK && type != DT_OTHER_DISK) return RC_FAIL;
  CDisk* disk = dynamic_cast<CDisk*>(device);
  if (!disk) return RC_FAIL;
  return disk->SearchPartitions(mode, sink);
}
