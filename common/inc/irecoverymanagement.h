// The engine's top object and its one export.
#pragma once
#include <cstdint>

class IDevice;
class IScanOperator;
class IFileManager;
class INotifySink;

class IRecoveryManagement {
 public:
  // Fills at most capacity - 1 entries of out and ends the list with a null.
  virtual int EnumDevices(IDevice** out, int* outCount, int capacity) = 0;
  virtual int LoadScanResult(const char16_t* path, IScanOperator** out, int skipDeviceCheck) = 0;
  virtual int CreateScanOperator(IDevice* device, int scanType, IFileManager** outManager,
                                 IScanOperator** outScanner) = 0;
  virtual void Release() = 0;
  virtual int SearchPartitions(IDevice* device, int mode, INotifySink* sink) = 0;

 protected:
  ~IRecoveryManagement() = default;
};

#if defined(KESTRUM_BUILDING_LIBRARY)
#define KESTRUM_EXPORT __attribute__((visibility("default")))
#else
#define KESTRUM_EXPORT
#endif

extern "C" KESTRUM_EXPORT int InitKestrum(IRecoveryManagement** out);
typedef int (*InitKestrumFn)(IRecoveryManagement** out);
