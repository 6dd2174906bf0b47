// Reading back what an engine scan found, and handing back what the engine lent.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/inc/idevice.h"
#include "common/inc/ifileinfo.h"
#include "common/inc/ifileop.h"
#include "common/inc/iscanoperator.h"
#include "filemanager/filemanager.h"

namespace testutil {

// A found file's bytes through its scanner's file operation, in reads of an odd size.
inline std::vector<uint8_t> ReadAll(IScanOperator* scanner, IFileInfo* f) {
  IFileOP* op = nullptr;
  std::vector<uint8_t> out;
  if (scanner->GetFileOp(f, &op) != 0 || !op) return out;
  std::vector<uint8_t> buf(12345);  // not a multiple of a sector or a cluster
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

// The caller owns disks and letters; partitions go with their disk.
inline void ReleaseOwnedDevices(IDevice* const* devices, int n) {
  std::vector<IDevice*> owned;
  for (int i = 0; i < n && devices[i]; ++i)
    if (devices[i]->GetType() != 2 && devices[i]->GetType() != 6) owned.push_back(devices[i]);
  for (IDevice* d : owned) d->Release();
}

}  // namespace testutil
