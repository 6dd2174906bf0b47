#include "scanoperate/scanoperator.h"

#include "common/inc/ifilemanager.h"
#include "common/inc/seams.h"

CScanOperator::CScanOperator() : m_pFileManager(nullptr), m_pScanParam(nullptr), m_pResultFile(nullptr) {}

CScanOperator::~CScanOperator() {
  if (m_pResultFile) DestroyResultFile(m_pResultFile);
  m_pResultFile = nullptr;
}

IFileManager* CScanOperator::GetFileManager() { return m_pFileManager; }

IScanOperator* CScanOperator::SetFileManager(IFileManager* manager) {
  m_pFileManager = manager;
  return this;
}

int CScanOperator::GetScanParam(IScanParam** out) {
  if (!out || !m_pScanParam) return RC_BAD_ARGUMENT;
  *out = m_pScanParam;
  return 0;
}

void CScanOperator::Release() { delete this; }

int CScanOperator::GetFileOp(IFileInfo* file, IFileOP** out) {
  if (!m_pFileManager) return RC_FAIL;
  return m_pFileManager->GetFileOp(file, out);
}

int CScanOperator::ListFiles(IFilter* filter, INotifySink* sink) {
  if (!m_pFileManager) return RC_FAIL;
  return m_pFileManager->ListFiles(filter, sink);
}

int CScanOperator::CreateFilter(IFilter** out) {
  if (!m_pFileManager) return RC_FAIL;
  return m_pFileManager->CreateFilter(out);
}

int CScanOperator::SaveResult(const char16_t* path, INotifySink* sink) {
  if (!path) return RC_FAIL;
  return SaveScanResult(this, path, sink);
}

int CScanOperator::LoadResult(INotifySink* sink, int skipDeviceCheck) {
  if (!m_pResultFile || !sink) return RC_FAIL;
  return LoadScanResultRecords(m_pResultFile, sink, skipDeviceCheck);
}

CScanOperator* CScanOperator::SetResultFile(SaveFileSystem* file) {
  if (m_pResultFile && m_pResultFile != file) DestroyResultFile(m_pResultFile);
  m_pResultFile = file;
  return this;
}

IScanOperator* CIScanDeviceFactory::CreateScanner(IStorageDevice* device, int scanType) {
  switch (scanType) {
    case Scan_Deleted:
      if (!device) return nullptr;
      switch (device->GetFileSystem()) {
        case FS_FAT16: return CreateFat16DelScanner(device);
        case FS_FAT32: return CreateFat32DelScanner(device);
        case FS_NTFS: return CreateNtfsDelScanner(device);
        case FS_EXFAT: return CreateExfatDelScanner(device);
        case FS_HFSP: return CreateHfspDelScanner(device);
        default: return nullptr;
      }
    case Scan_DeletedFat16: return CreateFat16DelScanner(device);
    case Scan_DeletedFat32: return CreateFat32DelScanner(device);
    case Scan_DeletedNtfs: return CreateNtfsDelScanner(device);
    case Scan_DeletedExfat: return CreateExfatDelScanner(device);
    case Scan_DeletedHfsp: return CreateHfspDelScanner(device);
    case Scan_Format: return CreateFormatScanner(device);
    case Scan_FormatFat16: return CreateFatFormatScanner(device, 1);
    case Scan_FormatFat32: return CreateFatFormatScanner(device, 2);
    case Scan_FormatNtfs: return CreateNtfsFormatScanner(device);
    case Scan_FormatExfat: return CreateExfatFormatScanner(device);
    case Scan_FormatHfsp: return CreateHfspFormatScanner(device);
    case Scan_Raw: return CreateRawScanner(device);
    default: return nullptr;
  }
}
