// The saved scan-result file: a header naming the device, the device's own records, then
// per folder a DIR0 record followed by the FILE records of that folder. A saved file is
// untrusted input: the loader bounds every length and answers -1 (or 6 for a foreign
// device) rather than trusting what it reads.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/inc/iarchive.h"
#include "common/inc/idevice.h"

class IFileManager;
class INotifySink;

// The C file behind a saved result. A save writes a temporary file beside the target and
// renames it over the target only once the whole result is written, so that a failed or
// cancelled save leaves the previous file as it was.
class CResultStream {
 public:
  CResultStream() = default;
  ~CResultStream();
  CResultStream(const CResultStream&) = delete;
  CResultStream& operator=(const CResultStream&) = delete;

  int OpenForSave(const std::string& path);  // mode "w+b" on the temporary file
  int OpenForLoad(const std::string& path);  // mode "rb"
  std::FILE* File() { return m_file; }
  // Closes the file; a save is renamed into place only when commit is set and every byte
  // reached the disk, else the temporary file is removed. 0, or -1.
  int Finish(bool commit);

 private:
  std::FILE* m_file = nullptr;
  std::string m_target;
  std::string m_temp;
  bool m_saving = false;
};

class CCusArchive : public IArchive {
 public:
  explicit CCusArchive(CResultStream* stream) : m_stream(stream) {}
  virtual ~CCusArchive() {}
  int Write(const void* data, uint32_t len) override;
  int Read(void* buf, uint32_t len) override;

 private:
  CResultStream* m_stream;
};

// The identity text of a device as a saved result stores it: 264 bytes, NUL-padded.
const size_t kIdentityBytes = 264;
int BuildDeviceIdentity(IDevice* device, char* out /* kIdentityBytes */);

// A wide path in the system code page, whole: false when it cannot be converted uncut.
bool ResultPathToNarrow(const char16_t* path, std::string* out);

class SaveFileSystem {
 public:
  explicit SaveFileSystem(int mode);  // 1 save, 0 load
  ~SaveFileSystem();
  SaveFileSystem(const SaveFileSystem&) = delete;
  SaveFileSystem& operator=(const SaveFileSystem&) = delete;

  int Open(const char* path, int scanType, IFileManager* manager);
  int Save(INotifySink* sink);
  int ReadHeader(int skipDeviceCheck);
  int Load(INotifySink* sink, int skipDeviceCheck);
  // Closes the file; a save is put in place only after a successful Save. 0, or -1.
  int Close();

  IDevice* GetDevice() { return m_pDevice; }
  int GetScanType() const { return m_nScanType; }
  uint32_t GetFileCount() const { return m_nFileCount; }
  void SetFileManager(IFileManager* manager) { m_pFileSystem = manager; }
  void SetDeviceList(const std::vector<IDevice*>& devices) { m_devices = devices; }
  // Hands the rebuilt device and, for a partition, its disk to a new owner, the device
  // first; the reader keeps no pointer to them afterwards.
  std::vector<IDevice*> TakeDevices();

 private:
  int WriteHeaderAndDevice(IDevice* device, uint32_t count);
  int WriteRecords(INotifySink* sink, uint32_t count);
  int ReadDevice();
  int MatchIdentity(const char* saved);
  void FreeDevice();

  int m_mode;
  int m_nScanType;
  uint32_t m_nFileCount;
  IArchive* m_pArchive;
  CResultStream* m_pStream;
  IDevice* m_pDevice;
  IDevice* m_pDisk;  // the parent of a rebuilt partition, owned with it
  std::string m_path;
  IFileManager* m_pFileSystem;
  std::vector<IDevice*> m_devices;
  bool m_saved;
  bool m_headerRead;
  bool m_headerOk;  // the header and device section were read and accepted
  char m_identity[kIdentityBytes];
};
