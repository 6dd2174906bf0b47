#include "filemanager/savefilesystem.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/inc/bytes.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/seams.h"
#include "common/textutil.h"
#include "filemanager/archiveio.h"
#include "filemanager/fileinfo.h"
#include "filemanager/filemanager.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/cvolume.h"
#include "storagedevice/devenum.h"

using namespace archiveio;

namespace {

const char kMagic[] = "Dravenholme Data Recovery SDK 2.0 Res File";
const size_t kMagicBytes = 42;
static_assert(sizeof kMagic == kMagicBytes + 1, "magic text");
const char kDeviceTag[6] = {'D', 'E', 'V', 'I', 'C', 'E'};
const char kDirTag[4] = {'D', 'I', 'R', '0'};
const char kFileTag[4] = {'F', 'I', 'L', 'E'};
// Progress goes out after every this many FILE records.
const uint32_t kProgressEvery = 500;
// The devices that a reader without a list enumerates to find the saved identity.
const int kMaxEnumerated = 100;
// A longer wide path than this is refused rather than cut.
const size_t kMaxPathUnits = 4096;

bool IsDisk(int type) { return type == DT_FIXED_DISK || type == DT_OTHER_DISK; }
bool IsPartition(int type) { return type == DT_PARTITION || type == DT_PARTITION_OTHER; }

}  // namespace

// ---------------------------------------------------------------- stream and archive

CResultStream::~CResultStream() { Finish(false); }

int CResultStream::OpenForSave(const std::string& path) {
  if (m_file || path.empty()) return -1;
  m_target = path;
  m_temp = path + ".saving";
  m_file = std::fopen(m_temp.c_str(), "w+b");
  if (!m_file) return -1;
  m_saving = true;
  return 0;
}

int CResultStream::OpenForLoad(const std::string& path) {
  if (m_file || path.empty()) return -1;
  m_target = path;
  m_file = std::fopen(path.c_str(), "rb");
  m_saving = false;
  return m_file ? 0 : -1;
}

int CResultStream::Finish(bool commit) {
  if (!m_file) return commit ? -1 : 0;
  int result = 0;
  if (m_saving && commit && std::fflush(m_file) != 0) result = -1;
  if (std::fclose(m_file) != 0) result = -1;
  m_file = nullptr;
  if (!m_saving) return result;
  m_saving = false;
  if (commit && result == 0 && std::rename(m_temp.c_str(), m_target.c_str()) == 0) return 0;
  std::remove(m_temp.c_str());
  return -1;
}

int CCusArchive::Write(const void* data, uint32_t len) {
  if (!m_stream || !m_stream->File()) return -1;
  if (len == 0) return 0;
  return std::fwrite(data, 1, len, m_stream->File()) == len ? 0 : -1;
}

int CCusArchive::Read(void* buf, uint32_t len) {
  if (!m_stream || !m_stream->File()) return -1;
  if (len == 0) return 0;
  return std::fread(buf, 1, len, m_stream->File()) == len ? 0 : -1;
}

// ---------------------------------------------------------------- device identity

int BuildDeviceIdentity(IDevice* device, char* out) {
  if (!device || !out) return -1;
  std::memset(out, 0, kIdentityBytes);
  DiskGeometry g;
  PartitionInfo p;
  std::memset(&g, 0, sizeof g);
  std::memset(&p, 0, sizeof p);
  int type = device->GetType();
  if (IsDisk(type)) {
    if (device->GetGeometry(&g) != 0) return -1;
  } else if (IsPartition(type)) {
    CVolume* v = dynamic_cast<CVolume*>(device);
    CDisk* disk = v ? v->GetParentDisk() : nullptr;
    if (!disk || device->GetPartitionInfo(&p) != 0 || disk->GetGeometry(&g) != 0) return -1;
  } else if (type == DT_LETTER_VOLUME) {
    if (device->GetPartitionInfo(&p) != 0 || device->GetGeometry(&g) != 0) return -1;
  } else {
    return -1;
  }
  // 128-bit so that no device value, however odd, overflows the product.
  __int128 psize = __int128(p.SectorCount) * __int128(g.BytesPerSector) / 1048576;
  snprintf(out, kIdentityBytes, "disksize:%lld; ptype:%d; psize:%lld; pstartoffset:%lld;",
           static_cast<long long>(g.DiskSize / 1048576), int(p.PartitionType),
           static_cast<long long>(psize), static_cast<long long>(p.StartSector));
  return 0;
}

// ---------------------------------------------------------------- SaveFileSystem

SaveFileSystem::SaveFileSystem(int mode)
    : m_mode(mode), m_nScanType(Scan_None), m_nFileCount(0), m_pArchive(nullptr), m_pStream(nullptr),
      m_pDevice(nullptr), m_pDisk(nullptr), m_pFileSystem(nullptr), m_saved(false), m_headerRead(false),
      m_headerOk(false) {
  std::memset(m_identity, 0, sizeof m_identity);
}

SaveFileSystem::~SaveFileSystem() {
  Close();
  FreeDevice();
}

void SaveFileSystem::FreeDevice() {
  // The partition first: it reads through its disk.
  if (m_pDevice) m_pDevice->Release();
  if (m_pDisk) m_pDisk->Release();
  m_pDevice = nullptr;
  m_pDisk = nullptr;
}

std::vector<IDevice*> SaveFileSystem::TakeDevices() {
  std::vector<IDevice*> out;
  if (m_pDevice) out.push_back(m_pDevice);
  if (m_pDisk) out.push_back(m_pDisk);
  m_pDevice = nullptr;
  m_pDisk = nullptr;
  return out;
}

int SaveFileSystem::Open(const char* path, int scanType, IFileManager* manager) {
  if (!path || m_pStream) return -1;
  m_path = path;
  m_pFileSystem = manager;
  m_nScanType = m_mode == 1 ? scanType : Scan_None;
  m_pStream = new (std::nothrow) CResultStream;
  if (!m_pStream) return -1;
  int r = m_mode == 1 ? m_pStream->OpenForSave(m_path) : m_pStream->OpenForLoad(m_path);
  if (r != 0) {
    delete m_pStream;
    m_pStream = nullptr;
    return -1;
  }
  m_pArchive = new (std::nothrow) CCusArchive(m_pStream);
  if (!m_pArchive) {
    Close();
    return -1;
  }
  return 0;
}

int SaveFileSystem::Close() {
  delete static_cast<CCusArchive*>(m_pArchive);
  m_pArchive = nullptr;
  int r = 0;
  if (m_pStream) {
    r = m_pStream->Finish(m_mode == 1 && m_saved);
    delete m_pStream;
    m_pStream = nullptr;
  }
  return r;
}

// ---------------------------------------------------------------- writing

int SaveFileSystem::WriteHeaderAndDevice(IDevice* device, uint32_t count) {
  char identity[kIdentityBytes];
  if (BuildDeviceIdentity(device, identity) != 0) return -1;
  int type = device->GetType();
  if (m_pArchive->Write(identity, kIdentityBytes) != 0 || m_pArchive->Write(kMagic, kMagicBytes) != 0 ||
      PutU32(m_pArchive, uint32_t(m_nScanType)) != 0 || PutU32(m_pArchive, count) != 0 ||
      m_pArchive->Write(kDeviceTag, sizeof kDeviceTag) != 0 || PutU32(m_pArchive, uint32_t(type)) != 0)
    return -1;
  if (IsDisk(type) || type == DT_LETTER_VOLUME) return device->Save(m_pArchive) == 0 ? 0 : -1;
  if (IsPartition(type)) {
    CVolume* v = dynamic_cast<CVolume*>(device);
    CDisk* disk = v ? v->GetParentDisk() : nullptr;
    if (!disk || disk->Save(m_pArchive) != 0 || v->Save(m_pArchive) != 0) return -1;
    return 0;
  }
  return -1;
}

int SaveFileSystem::WriteRecords(INotifySink* sink, uint32_t count) {
  CFileManager* tree = dynamic_cast<CFileManager*>(m_pFileSystem);
  if (!tree || !tree->Root()->firstChild) return -1;
  uint32_t folderId = 0;
  bool haveFolder = false;
  uint32_t written = 0;
  const int kCancelled = 2;
  int r = tree->WalkFolders(
      [&](const std::u16string& path) -> int {
        if (haveFolder) ++folderId;
        haveFolder = true;
        if (path.size() + 1 > MAX_PATH_ZQ) return -1;
        std::vector<uint8_t> rec(4 + 4 + 2 + 2 * (path.size() + 1));
        std::memcpy(rec.data(), kDirTag, 4);
        kbytes::PutLe32(&rec[4], folderId);
        kbytes::PutLe16(&rec[8], uint16_t(path.size() + 1));
        for (size_t i = 0; i < path.size(); ++i) kbytes::PutLe16(&rec[10 + 2 * i], path[i]);
        return m_pArchive->Write(rec.data(), uint32_t(rec.size())) == 0 ? 0 : -1;
      },
      [&](IFileInfo* entry) -> int {
        if (written >= count) return -1;
        if (m_pArchive->Write(kFileTag, 4) != 0 || PutU32(m_pArchive, folderId) != 0 ||
            entry->Save(m_pArchive) != 0)
          return -1;
        ++written;
        if (sink && written % kProgressEvery == 0) {
          int64_t pct = std::min<int64_t>(100, int64_t(written) * 100 / int64_t(count));
          if (sink->Notify(NE_PERCENT, pct, 0, nullptr) == -1) return kCancelled;
        }
        return 0;
      });
  if (r != 0 || written != count) return -1;
  return 0;
}

int SaveFileSystem::Save(INotifySink* sink) {
  m_saved = false;
  if (m_mode != 1 || !m_pArchive || !m_pFileSystem || m_nScanType == Scan_None) return -1;
  CFileManager* tree = dynamic_cast<CFileManager*>(m_pFileSystem);
  IStorageDevice* facade = m_pFileSystem->GetStorageDevice();
  IDevice* device = facade ? facade->GetDevice() : nullptr;
  if (!tree || !device) return -1;
  uint64_t count64 = tree->GetFileCount();
  if (count64 > UINT32_MAX) return -1;
  uint32_t count = uint32_t(count64);
  if (WriteHeaderAndDevice(device, count) != 0) return -1;
  if (count != 0 && WriteRecords(sink, count) != 0) return -1;
  if (sink) sink->Notify(NE_PERCENT, 100, 0, nullptr);
  m_saved = true;
  return 0;
}

// ---------------------------------------------------------------- reading

int SaveFileSystem::MatchIdentity(const char* saved) {
  std::vector<IDevice*> owned;
  std::vector<IDevice*> devices = m_devices;
  if (devices.empty()) {
    // A bounded enumeration of our own; the devices it hands out are ours to free.
    std::vector<IDevice*> found(kMaxEnumerated + 1, nullptr);
    int count = 0;
    ListDevices(found.data(), &count, kMaxEnumerated + 1);
    for (int i = 0; i < count && i < kMaxEnumerated; ++i) devices.push_back(found[size_t(i)]);
    owned = devices;
  }
  int result = RC_DEVICE_ABSENT;
  for (IDevice* d : devices) {
    char identity[kIdentityBytes];
    if (d && BuildDeviceIdentity(d, identity) == 0 && std::memcmp(identity, saved, kIdentityBytes) == 0) {
      result = 0;
      break;
    }
  }
  // Partitions go with their disk; disks and drive letters are released here. Which is
  // which is settled before the first release, since a released disk frees its partitions.
  std::vector<IDevice*> toRelease;
  for (IDevice* d : owned)
    if (d && !IsPartition(d->GetType())) toRelease.push_back(d);
  for (IDevice* d : toRelease) d->Release();
  return result;
}

int SaveFileSystem::ReadDevice() {
  char tag[sizeof kDeviceTag];
  uint32_t type = 0;
  if (m_pArchive->Read(tag, sizeof tag) != 0 || std::memcmp(tag, kDeviceTag, sizeof tag) != 0 ||
      !GetU32(m_pArchive, &type))
    return -1;
  if (IsDisk(int(type))) {
    CDisk* disk = new (std::nothrow) CDisk;
    if (!disk) return -1;
    if (disk->Load(m_pArchive) != 0) {
      disk->Release();
      return -1;
    }
    m_pDevice = disk;
  } else if (IsPartition(int(type))) {
    CDisk* disk = new (std::nothrow) CDisk;
    if (!disk) return -1;
    if (disk->Load(m_pArchive) != 0) {
      disk->Release();
      return -1;
    }
    CVolume* vol = new (std::nothrow) CVolume(disk);
    if (!vol || vol->Load(m_pArchive) != 0) {
      if (vol) vol->Release();
      disk->Release();
      return -1;
    }
    m_pDisk = disk;
    m_pDevice = vol;
  } else if (type == DT_LETTER_VOLUME) {
    CVirtualVolume* vol = new (std::nothrow) CVirtualVolume;
    if (!vol) return -1;
    if (vol->Load(m_pArchive) != 0) {
      vol->Release();
      return -1;
    }
    m_pDevice = vol;
  }
  return m_pDevice ? 0 : -1;
}

int SaveFileSystem::ReadHeader(int skipDeviceCheck) {
  if (m_mode != 0 || !m_pArchive || m_headerRead || m_pDevice || m_nScanType != Scan_None) return -1;
  m_headerRead = true;
  if (m_pArchive->Read(m_identity, kIdentityBytes) != 0) return -1;
  if (skipDeviceCheck != 1) {
    int r = MatchIdentity(m_identity);
    if (r != 0) return r;
  }
  char magic[kMagicBytes];
  uint32_t kind = 0, count = 0;
  if (m_pArchive->Read(magic, kMagicBytes) != 0 || std::memcmp(magic, kMagic, kMagicBytes) != 0 ||
      !GetU32(m_pArchive, &kind) || !GetU32(m_pArchive, &count))
    return -1;
  if (kind == uint32_t(Scan_None) || kind > uint32_t(INT32_MAX)) return -1;
  m_nScanType = int(kind);
  m_nFileCount = count;
  if (ReadDevice() != 0) {
    FreeDevice();
    return -1;
  }
  if (skipDeviceCheck != 1) {
    // After a re-enumeration a saved disk index may name another disk: the device that the
    // records rebuilt must be the one whose identity matched.
    char rebuilt[kIdentityBytes];
    if (BuildDeviceIdentity(m_pDevice, rebuilt) != 0 || std::memcmp(rebuilt, m_identity, kIdentityBytes) != 0) {
      FreeDevice();
      return RC_DEVICE_ABSENT;
    }
  }
  m_headerOk = true;
  return 0;
}

int SaveFileSystem::Load(INotifySink* sink, int skipDeviceCheck) {
  if (m_mode != 0 || !m_pArchive) return -1;
  if (!m_headerOk) {
    if (m_headerRead) return -1;
    int r = ReadHeader(skipDeviceCheck);
    if (r != 0) return r;
  }
  if (m_nFileCount == 0) {
    // An empty result ends with its device section; records after it mean a bad count.
    uint8_t more;
    return m_pArchive->Read(&more, 1) == 0 ? -1 : 0;
  }
  if (!sink || !m_pFileSystem) return -1;
  m_pFileSystem->SetNotifySink(sink);
  CFileManager* tree = dynamic_cast<CFileManager*>(m_pFileSystem);

  std::u16string curPath;
  bool haveFolder = false;
  uint32_t curId = 0;
  uint32_t read = 0;
  for (;;) {
    char tag[4];
    if (m_pArchive->Read(tag, 4) != 0) break;
    if (std::memcmp(tag, kDirTag, 4) == 0) {
      uint32_t id = 0;
      uint16_t len = 0;
      if (!GetU32(m_pArchive, &id) || !GetU16(m_pArchive, &len)) return -1;
      if (len < 1 || len > MAX_PATH_ZQ) return -1;
      // Folders are numbered from 0 in the order written; the root comes first.
      if (id != (haveFolder ? curId + 1 : 0)) return -1;
      char16_t units[MAX_PATH_ZQ];
      if (!GetUnits(m_pArchive, len, units)) return -1;
      // The path is stored with its terminator, and holds no other.
      if (units[len - 1] != 0) return -1;
      std::u16string path(units, len - 1);
      if (path.find(char16_t(0)) != std::u16string::npos) return -1;
      if ((id == 0) != path.empty() || (!path.empty() && path[0] != u'/')) return -1;
      curPath = std::move(path);
      curId = id;
      haveFolder = true;
      if (tree && !curPath.empty()) tree->AddFolderPath(curPath.c_str());
      continue;
    }
    if (std::memcmp(tag, kFileTag, 4) != 0) break;
    uint32_t dirId = 0;
    if (!GetU32(m_pArchive, &dirId) || !haveFolder || dirId != curId) return -1;
    if (read >= m_nFileCount) return -1;
    CFileInfo* file = new (std::nothrow) CFileInfo;
    if (!file) return -1;
    if (file->Load(m_pArchive) != 0) {
      file->Release();
      return -1;
    }
    // Files of the root were saved under the empty path; the tree takes them as "/".
    m_pFileSystem->AddFile(curPath.empty() ? u"/" : curPath.c_str(), file);
    ++read;
    if (read % kProgressEvery == 0) {
      int64_t pct = std::min<int64_t>(100, int64_t(read) * 100 / int64_t(m_nFileCount));
      if (sink->Notify(NE_PERCENT, pct, 0, nullptr) == -1) return 0;
    }
  }
  return read == m_nFileCount ? 0 : -1;
}

// ---------------------------------------------------------------- seams

namespace {

// The whole path in the system code page, or false when it cannot be had uncut.
bool NarrowPath(const char16_t* path, std::string* out) {
  size_t n = WideLength(path);
  if (n == 0 || n > kMaxPathUnits) return false;
  std::vector<char> buf(3 * n + 1);
  int len = WideToAnsiLen(path, buf.data(), int(buf.size()));
  if (len <= 0) return false;
  out->assign(buf.data(), size_t(len));
  return out->find('\0') == std::string::npos;
}

}  // namespace

bool ResultPathToNarrow(const char16_t* path, std::string* out) { return path && out && NarrowPath(path, out); }

void DestroyResultFile(SaveFileSystem* file) { delete file; }

int SaveScanResult(IScanOperator* scanner, const char16_t* path, INotifySink* sink) {
  if (!scanner || !path) return RC_FAIL;
  std::string narrow;
  if (!NarrowPath(path, &narrow)) return RC_MISSING;
  SaveFileSystem writer(1);
  if (writer.Open(narrow.c_str(), scanner->GetScanType(), scanner->GetFileManager()) != 0) return RC_MISSING;
  int r = writer.Save(sink);
  int c = writer.Close();
  return r != 0 ? RC_FAIL : (c != 0 ? RC_FAIL : 0);
}

int LoadScanResultRecords(SaveFileSystem* file, INotifySink* sink, int skipDeviceCheck) {
  if (!file) return RC_FAIL;
  return file->Load(sink, skipDeviceCheck);
}
