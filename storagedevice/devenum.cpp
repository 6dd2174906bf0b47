#include "storagedevice/devenum.h"

#include <tinyxml2.h>

#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "common/textutil.h"
#include "platform/platform.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/cvolume.h"

namespace {

// The process-wide disk cache; one enumeration runs at a time.
std::vector<Disk_Physical_Info>& DiskCache() {
  static std::vector<Disk_Physical_Info> cache;
  return cache;
}

const int kLocalDevices = 256;
const int kMaxDisks = 256;

}  // namespace

int QueryDiskDrives() {
  std::vector<Disk_Physical_Info>& cache = DiskCache();
  cache.clear();
  std::vector<std::string> disks = plat::DiskPaths();
  for (size_t i = 0; i < disks.size(); ++i) {
    plat::DiskIdentity id;
    if (!plat::QueryDiskIdentity(disks[i], &id)) continue;
    Disk_Physical_Info rec;
    memset(&rec, 0, sizeof rec);
    rec.Index = int(i);
    std::string model = id.vendor;
    if (!model.empty() && !id.model.empty()) model += ' ';
    model += id.model;
    AnsiToWide(rec.Model, model.c_str(), 264);
    AnsiToWide(rec.MediaType, id.removable ? "Removable Media" : "Fixed hard disk media", 264);
    cache.push_back(rec);
  }
  return 0;
}

bool GetDiskPhysicalInfo(int index, Disk_Physical_Info* out) {
  if (!out) return false;
  if (DiskCache().empty() && QueryDiskDrives() != 0) return false;
  for (const Disk_Physical_Info& rec : DiskCache()) {
    if (rec.Index == index) {
      *out = rec;
      return true;
    }
  }
  return false;
}

int ListDevices(IDevice** out, int* outCount, int capacity) {
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
    d->Close();  // a closed device reopens itself on its next use
  }

  // Free drive letters: those that no listed partition carries.
  CVirtualVolumeenum letters;
  letters.MarkUsedLetters(out, count);
  IDevice* local[26] = {nullptr};
  int letterCount = 0;
  letters.Enum(local, &letterCount);
  for (int i = 0; i < letterCount; ++i) {
    if (count < room)
      out[count++] = local[i];
    else
      local[i]->Release();
  }
  out[count] = nullptr;
  if (outCount) *outCount = count;
  return 0;
}

// ---------------------------------------------------------------------------------------

int CDiskEnum::Enum(IDevice** out, int* count) {
  if (!out || !count) return RC_BAD_ARGUMENT;
  // Disks 0 to 9 are always tried; past them the first missing index ends the walk.
  for (int index = 0; index <= 25 && *count < kLocalDevices; ++index) {
    CDisk* disk = new (std::nothrow) CDisk();
    if (!disk) break;
    if (disk->OpenByIndex(index) == 0) {
      out[(*count)++] = disk;
      continue;
    }
    disk->Release();
    if (index >= 9) break;
  }
  return 0;
}

CDeviceEnum::CDeviceEnum() { Init(); }

CDeviceEnum::~CDeviceEnum() {
  for (IDeviceEnum* e : m_children) delete e;
}

void CDeviceEnum::Init() {
  for (IDeviceEnum* e : m_children) delete e;
  m_children.clear();
  if (IDeviceEnum* e = new (std::nothrow) CDiskEnum()) m_children.push_back(e);
}

int CDeviceEnum::Enum(IDevice** out, int* count) {
  if (!out || !count) return RC_BAD_ARGUMENT;
  for (IDeviceEnum* child : m_children) {
    IDevice* local[kLocalDevices];
    int n = 0;
    child->Enum(local, &n);
    for (int i = 0; i < n; ++i) {
      // The caller's array holds as many as the local one; the rest are not handed out.
      if (*count < kLocalDevices)
        out[(*count)++] = local[i];
      else
        local[i]->Release();
    }
  }
  return 0;
}

CVirtualVolumeenum::CVirtualVolumeenum() { memset(m_used, 0, sizeof m_used); }

int CVirtualVolumeenum::MarkUsedLetters(IDevice** devices, int count) {
  if (!devices) return RC_BAD_ARGUMENT;
  for (int i = 0; i < count; ++i) {
    IDevice* d = devices[i];
    if (!d) continue;
    int type = d->GetType();
    if (type != DT_PARTITION && type != DT_PARTITION_OTHER) continue;
    PartitionInfo info;
    if (d->GetPartitionInfo(&info) != 0) continue;
    char c = info.MountPoint[0];
    if (c >= 'a' && c <= 'z') c = char(c - 32);
    if (c >= 'A' && c <= 'Z') m_used[c - 'A'] = 1;
  }
  return 0;
}

int CVirtualVolumeenum::Enum(IDevice** out, int* count) {
  if (!out || !count) return RC_BAD_ARGUMENT;
  for (int i = 0; i < 26; ++i) {
    if (m_used[i]) continue;
    CVirtualVolume* v = new (std::nothrow) CVirtualVolume();
    if (!v) break;
    if (v->OpenByLetter(i) == 0)
      out[(*count)++] = v;
    else
      v->Release();
  }
  return 0;
}

IDeviceEnum* CDeviceEnumFactory::Create(int kind) {
  if (kind == 1 || kind == 2) return new (std::nothrow) CDiskEnum();
  return nullptr;
}

// ---------------------------------------------------------------------------------------

int CXmlAccess::ScsiInquiryVpd(const char* devicePath, uint8_t page, uint8_t* buf, int len, int* got) {
  *got = 0;
  memset(buf, 0, size_t(len));
  int n = plat::ScsiInquiryVpd(devicePath, page, buf, len);
  *got = n >= 4 ? n : 0;
  return *got ? 0 : -1;
}

int CXmlAccess::ReadVpdPage(const char* devicePath, uint8_t page, std::vector<char>* text) {
  uint8_t buf[255];
  int got = 0;
  if (ScsiInquiryVpd(devicePath, page, buf, sizeof buf, &got) != 0) return -1;
  // Byte 3 is the page length; the text runs from byte 4 for that many bytes at most.
  int len = buf[3];
  if (len > got - 4) len = got - 4;
  for (int i = 0; i < len; ++i) text->push_back(char(buf[4 + i]));
  return 0;
}

int CXmlAccess::ReadVpdXml(const char* devicePath, std::vector<char>* text) {
  text->clear();
  uint8_t list[255];
  int got = 0;
  if (ScsiInquiryVpd(devicePath, 0xC0, list, sizeof list, &got) != 0 || got <= 3) return 0;
  int n = list[3];
  if (n > 251) return n + 4;
  for (int i = 0; i < n && 4 + i < got; ++i) ReadVpdPage(devicePath, list[4 + i], text);
  return n;
}

int CXmlAccess::ReadDeviceIdentity(char letter, char* guid, char* serial, char* build) {
  std::string path;
  if (!plat::LetterPath(letter, &path)) return -1;
  std::vector<char> text;
  ReadVpdXml(path.c_str(), &text);
  if (text.empty()) return -1;
  if (text.size() > 65535) text.resize(65535);
  text.push_back(0);
  return ParseIdentity(text.data(), guid, kGuidBytes, serial, 264, build, kBuildBytes);
}

int CXmlAccess::ParseIdentity(const char* xml, char* guid, size_t guidSize, char* serial, size_t serialSize,
                              char* build, size_t buildSize) {
  if (!xml) return -1;
  tinyxml2::XMLDocument doc;
  if (doc.Parse(xml) != tinyxml2::XML_SUCCESS) return -1;
  // In a property list the keys of the dictionary sit three levels down; each key is
  // followed by its value. Any missing step means no identity.
  tinyxml2::XMLElement* root = doc.FirstChildElement();
  tinyxml2::XMLElement* dict = root ? root->FirstChildElement() : nullptr;
  tinyxml2::XMLElement* firstKey = dict ? dict->FirstChildElement() : nullptr;
  if (!firstKey) return -1;
  auto find = [&](const char* key) -> const char* {
    for (tinyxml2::XMLElement* k = firstKey; k;) {
      const char* t = k->GetText();
      if (t && strcmp(t, key) == 0) {
        tinyxml2::XMLElement* value = k->NextSiblingElement();
        if (!value) return nullptr;
        const char* v = value->GetText();
        return v ? v : "";
      }
      tinyxml2::XMLElement* value = k->NextSiblingElement();
      k = value ? value->NextSiblingElement() : nullptr;
    }
    return nullptr;
  };
  const char* g = find("FireWireGUID");
  if (!g) return -1;
  if (guid && guidSize) {
    size_t n = strnlen(g, guidSize - 1);
    memcpy(guid, g, n);  // the caller zeroes the buffer; its last byte stays the terminator
  }
  const char* s = find("SerialNumber");
  if (!s) return -1;
  if (serial && serialSize) {
    size_t k = 0;
    for (const char* p = s; *p && k < serialSize - 1; ++p)
      if (*p != ' ') serial[k++] = *p;
    serial[k] = 0;
  }
  const char* b = find("VisibleBuildID");
  if (!b) return -1;
  if (build && buildSize) {
    size_t n = strnlen(b, buildSize - 1);
    memcpy(build, b, n);
    build[n] = 0;
  }
  return 0;
}
