#include "storagedevice/cstoragedevice.h"

#include <cstring>
#include <new>

#include "common/inc/ideviceio.h"
#include "common/inc/seams.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/channelforward.h"
#include "storagedevice/cvolume.h"

IStorageDevice* CreateStorageDevice() { return new (std::nothrow) CStorageDevice(); }

CStorageDevice::CStorageDevice() : m_pDevice(nullptr), m_pClone(nullptr) {}

CStorageDevice::~CStorageDevice() {
  if (m_pClone) {
    if (IDeviceIo* io = m_pClone->GetIo()) io->Close();
  }
  if (m_pDevice) {
    if (IDeviceIo* io = m_pDevice->GetIo()) io->Close();
  }
  // A clone is freed through its own release, which also frees a partition clone's
  // private disk.
  if (m_pClone) m_pClone->Release();
}

void CStorageDevice::Release() { delete this; }

int CStorageDevice::Attach(IDevice* device) {
  if (!device) return -1;
  if (m_pClone) {
    m_pClone->Release();
    m_pClone = nullptr;
  }
  m_pDevice = device;
  IDeviceIo* io = device->GetIo();
  if (!io) return RC_DEVICE_ABSENT;
  int flags = io->GetOpenFlags();
  if (flags < 0) flags = KIO_RDONLY;
  IDevice* clone = nullptr;
  int type = device->GetType();
  if (type == DT_FIXED_DISK || type == DT_OTHER_DISK || type == DT_LETTER_VOLUME) {
    int r = io->Open(device->GetName(), flags, 0);
    if (r != 0) return r;
    if (type == DT_LETTER_VOLUME) {
      CVirtualVolume* v = new (std::nothrow) CVirtualVolume();
      if (v && v->CloneFrom(device) == 0) clone = v;
      else if (v) v->Release();
    } else {
      CDisk* d = new (std::nothrow) CDisk();
      if (d && d->CloneFrom(device) == 0) clone = d;
      else if (d) d->Release();
    }
  } else if (type == DT_PARTITION || type == DT_PARTITION_OTHER) {
    CVolume* volume = dynamic_cast<CVolume*>(device);
    IDevice* parent = volume ? volume->GetParent() : nullptr;
    if (!parent) return -1;
    int r = io->Open(parent->GetName(), flags, 0);
    if (r != 0) return r;
    CVolume* v = new (std::nothrow) CVolume();
    if (v && v->CloneFrom(device) == 0) clone = v;
    else if (v) v->Release();
  } else {
    ZQ_ASSERT(!"unknown device type");
  }
  m_pClone = clone;
  return m_pDevice && m_pClone ? 0 : -1;
}

int CStorageDevice::GetFileSystem() {
  if (!m_pDevice) return FS_NONE;
  int type = m_pDevice->GetType();
  if (type == DT_PARTITION || type == DT_LETTER_VOLUME || type == DT_PARTITION_OTHER) {
    PartitionInfo info;
    if (m_pDevice->GetPartitionInfo(&info) != 0) return FS_NONE;
    return PartitionTypeToFsType(info.PartitionType);
  }
  return FS_NONE;
}

IDevice* CStorageDevice::GetDevice() { return m_pDevice; }
int CStorageDevice::GetType() { return m_pDevice ? m_pDevice->GetType() : -1; }
int CStorageDevice::GetSize(uint64_t* size) { return m_pDevice ? m_pDevice->GetSize(size) : -1; }

int CStorageDevice::GetClusterInfo(int* clusterBytes, int* sectorSize) {
  if (!m_pDevice) return -1;
  int type = m_pDevice->GetType();
  if (type == DT_FIXED_DISK || type == DT_OTHER_DISK) {
    DiskGeometry g;
    if (m_pDevice->GetGeometry(&g) != 0) return -1;
    if (sectorSize) *sectorSize = int(g.BytesPerSector);
    return 0;
  }
  if (type == DT_PARTITION || type == DT_LETTER_VOLUME || type == DT_PARTITION_OTHER) {
    PartitionInfo info;
    if (m_pDevice->GetPartitionInfo(&info) != 0) return -1;
    if (sectorSize) *sectorSize = int(info.SectorSize);
    if (clusterBytes) *clusterBytes = int(info.SectorSize * info.SectorsPerCluster);
    return 0;
  }
  return -1;
}

int CStorageDevice::Read(void* buf, uint32_t count) { return m_pDevice ? m_pDevice->Read(buf, count) : -1; }
int CStorageDevice::Write(const void* buf, uint32_t count) { return m_pDevice ? m_pDevice->Write(buf, count) : -1; }
int64_t CStorageDevice::Seek(int64_t offset, int origin) { return m_pDevice ? m_pDevice->Seek(offset, origin) : -1; }
int CStorageDevice::ReadSectors(int64_t first, void* buf, uint32_t count) {
  return m_pDevice ? m_pDevice->ReadSectors(first, buf, count) : -1;
}
int CStorageDevice::WriteSectors(int64_t first, const void* buf, uint32_t count) {
  return m_pDevice ? m_pDevice->WriteSectors(first, buf, count) : -1;
}
int CStorageDevice::CloneRead(void* buf, uint32_t count) { return m_pClone ? m_pClone->Read(buf, count) : -1; }
int CStorageDevice::CloneWrite(const void* buf, uint32_t count) { return m_pClone ? m_pClone->Write(buf, count) : -1; }
int64_t CStorageDevice::CloneSeek(int64_t offset, int origin) {
  return m_pClone ? m_pClone->Seek(offset, origin) : -1;
}
int CStorageDevice::CloneReadSectors(int64_t first, void* buf, uint32_t count) {
  return m_pClone ? m_pClone->ReadSectors(first, buf, count) : -1;
}
int CStorageDevice::CloneWriteSectors(int64_t first, const void* buf, uint32_t count) {
  return m_pClone ? m_pClone->WriteSectors(first, buf, count) : -1;
}

bool CStorageDevice::IsReadOnly() {
  // The devices' own rule: a write-protected device may have taken a read-write open, and
  // then the clone refuses every write anyway.
  return !m_pClone || ChannelIsReadOnly(m_pClone->GetIo());
}

int CStorageDevice::Close(int closeDevice) {
  if (closeDevice == 1 && m_pDevice) m_pDevice->Close();
  return 0;
}
