#include "recoverymanagement/crecoverymanagement.h"

#include <chrono>
#include <new>
#include <string>
#include <thread>

#include "common/inc/ifilemanager.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/seams.h"
#include "filemanager/filemanager.h"
#include "filemanager/savefilesystem.h"
#include "scanoperate/scanoperator.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/cvolume.h"
#include "storagedevice/devenum.h"

namespace {
const int kMaxDisks = 256;
}  // namespace

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
  if (outCount) *outCount = 0;
  if (!out || capacity <= 0) return 0;
  out[0] = nullptr;
  const int room = capacity - 1;  // the last entry is the terminating null

  // The disk cache may be refused while the system is busy; such a refusal is retried.
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (QueryDiskDrives() != 2) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5000));
  }

  std::vector<IDevice*> disks(kMaxDisks, nullptr);
  int diskCount = 0;
  {
    CDeviceEnum enumerator;
    enumerator.Enum(disks.data(), &diskCount);
  }

  // Each disk is followed by its partitions. Whatever does not fit the caller's array is
  // not handed out; a disk that is not handed out is released with its partitions.
  std::vector<IDevice*> listed;
  for (int i = 0; i < diskCount; ++i) {
    IDevice* d = disks[size_t(i)];
    CDisk* disk = dynamic_cast<CDisk*>(d);
    if (int(listed.size()) >= room) {
      d->Release();
      continue;
    }
    listed.push_back(d);
    int type = d->GetType();
    if (disk && (type == DT_FIXED_DISK || type == DT_OTHER_DISK)) {
      for (CVolume* v : disk->GetVolumes()) {
        if (int(listed.size()) >= room) break;
        listed.push_back(v);
      }
    }
  }
  int count = 0;
  for (IDevice* d : listed) {
    out[count++] = d;
    m_devices.push_back(d);
    d->Close();  // a closed device reopens itself on its next use
  }

  // Free drive letters: those that no listed partition carries.
  CVirtualVolumeenum letters;
  letters.MarkUsedLetters(out, count);
  IDevice* local[26] = {nullptr};
  int letterCount = 0;
  letters.Enum(local, &letterCount);
  for (int i = 0; i < letterCount; ++i) {
    if (count < room) {
      out[count++] = local[i];
      m_devices.push_back(local[i]);
    } else {
      local[i]->Release();
    }
  }
  out[count] = nullptr;
  if (outCount) *outCount = count;
  return 0;
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
