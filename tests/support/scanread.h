// Reading back what an engine scan found, and handing back what the engine lent.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/inc/idevice.h"
#include "common/inc/ifileinfo.h"
#include "common/inc/ifileop.h"
#include "common/inc/inotifysink.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "filemanager/filemanager.h"
#include "testutil.h"

namespace testutil {

// A found file's bytes through the file operation that its scanner or results tree hands
// out, in reads of `chunk` bytes (by default not a multiple of a sector or a cluster).
template <class Source>
inline std::vector<uint8_t> ReadAll(Source* source, IFileInfo* f, size_t chunk = 12345) {
  IFileOP* op = nullptr;
  std::vector<uint8_t> out;
  if (source->GetFileOp(f, &op) != 0 || !op) return out;
  std::vector<uint8_t> buf(chunk);
  for (uint64_t off = 0; off < f->GetSize();) {
    uint32_t got = 0;
    if (op->Read(buf.data(), uint32_t(buf.size()), off, &got) != 0 || got == 0) break;
    out.insert(out.end(), buf.begin(), buf.begin() + got);
    off += got;
  }
  if (out.size() > f->GetSize()) out.resize(size_t(f->GetSize()));
  return out;
}

// Every file entry of a scanner's results tree with its full path ("/Volume/docs/a.txt"),
// folder by folder in the tree's own order.
inline void ForEachTreeFile(IScanOperator* scanner,
                            const std::function<void(const std::u16string& path, IFileInfo* entry)>& visit) {
  auto* tree = dynamic_cast<CFileManager*>(scanner->GetFileManager());
  if (!tree) return;
  std::u16string folder;
  tree->WalkFolders(
      [&](const std::u16string& p) {
        folder = p;
        return 0;
      },
      [&](IFileInfo* e) {
        visit(folder + u"/" + e->GetName(), e);
        return 0;
      });
}
// The files a scan reports through its sink (folders left out), by UTF-8 name; the entries
// stay the file manager's.
struct FoundFiles : INotifySink {
  std::multimap<std::string, IFileInfo*> seen;
  int Notify(int e, int64_t, int64_t, void* obj) override {
    if (e == NE_FOUND_FILE && obj) {
      IFileInfo* file = static_cast<IFileInfo*>(obj);
      if (file->GetFlags() & FF_DIRECTORY) return 0;
      seen.insert({Utf8(file->GetName() ? file->GetName() : u""), file});
    }
    return 0;
  }
};

// The caller owns disks and letters; partitions go with their disk.
inline void ReleaseOwnedDevices(IDevice* const* devices, int n) {
  std::vector<IDevice*> owned;
  for (int i = 0; i < n && devices[i]; ++i)
    if (devices[i]->GetType() != 2 && devices[i]->GetType() != 6) owned.push_back(devices[i]);
  for (IDevice* d : owned) d->Release();
}

}  // namespace testutil
