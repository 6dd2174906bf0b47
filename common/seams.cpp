#include "common/inc/seams.h"

#include "common/inc/kestrum_types.h"

#define KESTRUM_WEAK __attribute__((weak))

KESTRUM_WEAK IStorageDevice* CreateStorageDevice() { return nullptr; }
KESTRUM_WEAK IFileManager* CreateFileManager() { return nullptr; }
KESTRUM_WEAK IScanOperator* CreateFat16DelScanner(IStorageDevice*) { return nullptr; }
KESTRUM_WEAK IScanOperator* CreateFat32DelScanner(IStorageDevice*) { return nullptr; }
KESTRUM_WEAK IScanOperator* CreateNtfsDelScanner(IStorageDevice*) { return nullptr; }
KESTRUM_WEAK IScanOperator* CreateExfatDelScanner(IStorageDevice*) { return nullptr; }
KESTRUM_WEAK IScanOperator* CreateHfspDelScanner(IStorageDevice*) { return nullptr; }
KESTRUM_WEAK IScanOperator* CreateFormatScanner(IStorageDevice*) { return nullptr; }
KESTRUM_WEAK IScanOperator* CreateFatFormatScanner(IStorageDevice*, int) { return nullptr; }
KESTRUM_WEAK IScanOperator* CreateNtfsFormatScanner(IStorageDevice*) { return nullptr; }
KESTRUM_WEAK IScanOperator* CreateExfatFormatScanner(IStorageDevice*) { return nullptr; }
KESTRUM_WEAK IScanOperator* CreateHfspFormatScanner(IStorageDevice*) { return nullptr; }
KESTRUM_WEAK IScanOperator* CreateRawScanner(IStorageDevice*) { return nullptr; }
KESTRUM_WEAK int HfsCatalogLeafSectors(const unsigned char*, unsigned) { return 0; }
KESTRUM_WEAK void DestroyResultFile(SaveFileSystem*) {}
KESTRUM_WEAK int SaveScanResult(IScanOperator*, const char16_t*, INotifySink*) { return RC_NOT_SUPPORTED; }
KESTRUM_WEAK int LoadScanResultRecords(SaveFileSystem*, INotifySink*, int) { return RC_NOT_SUPPORTED; }

