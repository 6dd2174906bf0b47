// Reading back what an engine scan found, and handing back what the engine lent.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/inc/idevice.h"
#include "common/inc/ifileinfo.h"
#include "common/inc/ifileop.h"
#include "common/inc/iscanoperator.h"

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

// The caller owns disks and letters; partitions go with their disk.
inline void ReleaseOwnedDevices(IDevice* const* devices, int n) {
  std::vector<IDevice*> owned;
  for (int i = 0; i < n && devices[i]; ++i)
    if (devices[i]->GetType() != 2 && devices[i]->GetType() != 6) owned.push_back(devices[i]);
  for (IDevice* d : owned) d->Release();
}

}  // namespace testutil
