#include "filesystems/format/volumeview.h"

#include "common/inc/ifileinfo.h"
#include "filemanager/fileinfo.h"

CVolumeView::CVolumeView(IStorageDevice* device, uint64_t firstSector, uint32_t sectorBytes)
    : m_device(device), m_firstSector(firstSector), m_base(int64_t(firstSector * sectorBytes)) {}

int CVolumeView::GetSize(uint64_t* size) {
  uint64_t whole = 0;
  int rc = m_device->GetSize(&whole);
  if (rc != 0 || !size) return rc != 0 ? rc : -1;
  *size = whole > uint64_t(m_base) ? whole - uint64_t(m_base) : 0;
  return 0;
}

int64_t CVolumeView::Moved(int64_t devicePos) const { return devicePos < 0 ? devicePos : devicePos - m_base; }

int64_t CVolumeView::Seek(int64_t offset, int origin) {
  if (origin == 0 && (offset < 0 || offset > INT64_MAX - m_base)) return -1;
  return Moved(m_device->Seek(origin == 0 ? offset + m_base : offset, origin));
}

int64_t CVolumeView::CloneSeek(int64_t offset, int origin) {
  if (origin == 0 && (offset < 0 || offset > INT64_MAX - m_base)) return -1;
  return Moved(m_device->CloneSeek(origin == 0 ? offset + m_base : offset, origin));
}

int CVolumeView::ReadSectors(int64_t first, void* buf, uint32_t count) {
  if (first < 0 || uint64_t(first) > uint64_t(INT64_MAX) - m_firstSector) return -1;
  return m_device->ReadSectors(first + int64_t(m_firstSector), buf, count);
}

int CVolumeView::CloneReadSectors(int64_t first, void* buf, uint32_t count) {
  if (first < 0 || uint64_t(first) > uint64_t(INT64_MAX) - m_firstSector) return -1;
  return m_device->CloneReadSectors(first + int64_t(m_firstSector), buf, count);
}

int CMovedFiles::AddFile(const char16_t* folderPath, IFileInfo* file) {
  // Resident data and holes have no place on the device to move.
  if (file) {
    for (RunList* r = dynamic_cast<RunList*>(file->GetRunList()); r; r = r->m_next)
      if (r->m_start != RUN_HOLE) r->m_start += m_firstSector;
  }
  return m_files->AddFile(folderPath, file);
}
