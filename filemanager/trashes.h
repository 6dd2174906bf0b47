// The per-volume trash folder of a Mac volume.
#pragma once
#include <vector>

class IStorageDevice;
class IFileInfo;

class Trashes {
 public:
  Trashes();
  virtual ~Trashes() {}

  // Builds the trash path for a mount point; false when the mount point names none.
  bool BuildTrashPath(const char* mountPoint);
  const char* GetPath() const { return m_path; }

  // -1 when the device has no partition record, 1 when no path results or after listing
  // (the listing adds nothing).
  int ScanTrash(IStorageDevice* device, std::vector<IFileInfo*>* out);

 private:
  char m_path[264];
};
