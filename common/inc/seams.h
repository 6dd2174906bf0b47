// Construction seams between the subsystems. Each subsystem defines the maker of its own
// objects; the defaults in common/seams.cpp answer null so that a build which leaves a
// subsystem out still links and simply offers no such object.
#pragma once

class IStorageDevice;
class IFileManager;
class IScanOperator;
class INotifySink;
class IDevice;
class SaveFileSystem;

IStorageDevice* CreateStorageDevice();
IFileManager* CreateFileManager();

// Scanner makers, one per scanner class of the factory table.
IScanOperator* CreateFat16DelScanner(IStorageDevice* device);
IScanOperator* CreateFat32DelScanner(IStorageDevice* device);
IScanOperator* CreateNtfsDelScanner(IStorageDevice* device);
IScanOperator* CreateExfatDelScanner(IStorageDevice* device);
IScanOperator* CreateHfspDelScanner(IStorageDevice* device);
IScanOperator* CreateFormatScanner(IStorageDevice* device);
IScanOperator* CreateFatFormatScanner(IStorageDevice* device, int fatType);
IScanOperator* CreateNtfsFormatScanner(IStorageDevice* device);
IScanOperator* CreateExfatFormatScanner(IStorageDevice* device);
IScanOperator* CreateHfspFormatScanner(IStorageDevice* device);
IScanOperator* CreateRawScanner(IStorageDevice* device);

// Node size in 512-byte sectors of the HFS+ catalog leaf node that starts at buf (sectors
// of it available), 0 when none: the HFS+ formatted-volume reader's own test, for the
// format scan's search by content.
int HfsCatalogLeafSectors(const unsigned char* buf, unsigned sectors);

// The saved scan-result file.
void DestroyResultFile(SaveFileSystem* file);
int SaveScanResult(IScanOperator* scanner, const char16_t* path, INotifySink* sink);
int LoadScanResultRecords(SaveFileSystem* file, INotifySink* sink, int skipDeviceCheck);
