// A results tree for tests that only watch what a scan hands over: every operation but
// AddFile does nothing, and helpers read a handed-over file's bytes straight from an image.
#pragma once
#include <cstdint>
#include <vector>

#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "filemanager/fileinfo.h"

class StubFileManager : public IFileManager {
 public:
  virtual ~StubFileManager() = default;
  IFileManager* SetStorageDevice(IStorageDevice*) override { return this; }
  IStorageDevice* GetStorageDevice() override { return nullptr; }
  int SetNotifySink(INotifySink*) override { return 0; }
  int GetFileOp(IFileInfo*, IFileOP**) override { return -1; }
  int ListFiles(IFilter*, INotifySink*) override { return -1; }
  int CreateFilter(IFilter**) override { return -1; }
  void Release() override {}
  IDeviceBitmap* GetDeviceBitmap() override { return nullptr; }
};

// Counts the files and frees them.
class CountingFileManager : public StubFileManager {
 public:
  size_t files = 0;
  int AddFile(const char16_t*, IFileInfo* file) override {
    ++files;
    file->Release();
    return 0;
  }
};

class QuietSink : public INotifySink {
 public:
  int Notify(int, int64_t, int64_t, void*) override { return 0; }
};

// A file's bytes as its run list lays them in a 512-byte-sector image: resident data as
// kept, holes as zeros, cut to the file's size; stops at a run that leaves the image.
inline std::vector<uint8_t> GatherRunBytes(const std::vector<uint8_t>& image, IFileInfo* file) {
  std::vector<uint8_t> out;
  const uint64_t size = file->GetSize();
  IRunList* runs = file->GetRunList();
  if (runs && runs->IsResident()) {
    auto* r = static_cast<CPermanentRunList*>(runs);
    const uint8_t* d = nullptr;
    if (r->GetData(&d) == 0) out.assign(d, d + r->GetLength());
  } else {
    for (RunList* n = static_cast<RunList*>(runs); n && out.size() < size; n = n->m_next) {
      uint64_t bytes = uint64_t(n->m_count) * 512;
      if (n->m_start == RUN_HOLE) {
        out.insert(out.end(), bytes, 0);
        continue;
      }
      uint64_t at = n->m_start * 512;
      if (at > image.size() || bytes > image.size() - at) break;
      out.insert(out.end(), image.begin() + long(at), image.begin() + long(at + bytes));
    }
  }
  if (out.size() > size) out.resize(size);
  return out;
}
