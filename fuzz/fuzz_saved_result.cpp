// Arbitrary bytes as a saved scan result, loaded with the device check skipped into a results
// tree over a blank disk image: whatever the file says, the loader answers without a crash,
// a hang or an allocation it did not bound.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/inc/idevice.h"
#include "common/inc/inotifysink.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/seams.h"
#include "filemanager/filemanager.h"
#include "filemanager/savefilesystem.h"
#include "storagedevice/devenum.h"

namespace {

class Sink : public INotifySink {
 public:
  int Notify(int, int64_t, int64_t, void*) override { return 0; }
};

// A blank 4 MiB disk as disk 0, so that a saved disk or partition record can be rebuilt.
const std::string& Setup() {
  static std::string file;
  if (!file.empty()) return file;
  std::string base = "/tmp/fuzz_saved_" + std::to_string(getpid());
  std::string disk = base + ".img";
  if (FILE* f = std::fopen(disk.c_str(), "wb")) {
    std::fseek(f, (4 << 20) - 1, SEEK_SET);
    std::fputc(0, f);
    std::fclose(f);
  }
  if (!getenv("KESTRUM_DISKS")) setenv("KESTRUM_DISKS", disk.c_str(), 1);
  QueryDiskDrives();
  file = base + ".res";
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = Setup();
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  SaveFileSystem reader(0);
  if (reader.Open(path.c_str(), 0, nullptr) != 0) return 0;
  int r = reader.ReadHeader(1);
  if (r == 0) {
    IDevice* device = reader.GetDevice();
    IStorageDevice* facade = CreateStorageDevice();
    CFileManager* tree = new CFileManager;
    if (facade && device && facade->Attach(device) == 0) tree->SetStorageDevice(facade);
    else if (facade) facade->Release();
    reader.SetFileManager(tree);
    Sink sink;
    r = reader.Load(&sink, 1);
    if (r != 0 && r != -1) __builtin_trap();
    tree->Release();
  } else if (r != -1 && r != 6) {
    __builtin_trap();
  }
  return 0;
}
