// The search for volumes that no partition table lists.
#include "storagedevice/cdisk.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <set>

#include "common/inc/bytes.h"
#include "common/inc/inotifysink.h"
#include "storagedevice/checkdbr.h"
#include "storagedevice/cstoragedevice.h"
#include "storagedevice/cvolume.h"

namespace {

const uint32_t kSearchChunkBytes = 0x800000;
// Smaller hits are left out: 200 MiB on 512-byte sectors.
const int64_t kSearchMinSectors = 409600;
// A second hit of the same size this close to the last one is its backup boot sector.
const uint64_t kSearchRepeatWindow = 0x200000;
const int64_t kSearchJumpMinBytes = 0x96800000;
const int kSearchMaxFailedChunks = 100;

}  // namespace

int CDisk::SearchPartitions(int mode, INotifySink* sink) {
  if (!m_pDev) return RC_FAIL;
  if (!m_pDev->IsOpen() && Open() != 0) return RC_FAIL;
  if (!sink) return RC_MISSING;
  if (sink->Notify(NE_STARTED, 0, 0, nullptr) < 0) return RC_CANCELLED;
  if (sink->Notify(NE_STARTED, 0, 0, nullptr) < 0) return RC_CANCELLED;
  m_partitionCounter = 0;

  const uint32_t ss = m_geometry.BytesPerSector;
  if (ss < 512 || ss > kSearchChunkBytes || !kbytes::IsPowerOfTwo(ss)) {
    sink->Notify(NE_FINISHED, 0, 0, nullptr);
    return RC_FAIL;
  }
  const uint64_t perChunk = kSearchChunkBytes / ss;
  // The last, partial chunk is searched too: a volume (or the backup boot sector of one)
  // in the disk's final megabytes must not be missed.
  const uint64_t totalSectors = uint64_t(TotalSectors());
  const uint64_t chunkCount = (totalSectors + perChunk - 1) / perChunk;
  if (mode != 3 || m_geometry.DiskSize < kSearchJumpMinBytes) mode = 0;

  uint8_t* buffer = new (std::nothrow) uint8_t[kSearchChunkBytes];
  if (!buffer) {
    sink->Notify(NE_FINISHED, 0, 0, nullptr);
    return RC_FAIL;
  }
  CStorageDevice* facade = new (std::nothrow) CStorageDevice();
  ICheckDBR* checker = CreateCheckDBR();
  // The checker reads through the facade's device, this disk, and never through its private
  // clone: a clone that cannot be opened takes nothing from the search.
  if (facade) facade->Attach(this);
  if (!facade || !checker) {
    if (checker) checker->Release();
    if (facade) facade->Release();
    delete[] buffer;
    sink->Notify(NE_FINISHED, 0, 0, nullptr);
    return RC_MISSING;
  }

  int result = RC_OK;
  uint64_t index = 0, jump = 0;
  bool kept = false;
  int64_t lastStart = 0, lastSize = 0;
  int failedInRow = 0;
  std::set<uint64_t> reported;  // volume starts of kept hits
  while (index < chunkCount) {
    if (jump) {
      // The body of a volume found with full confidence is not read: the search resumes at
      // the chunk holding its last sector or the one before.
      uint64_t chunks = jump / perChunk;
      jump = 0;
      if (chunks > 1) index += chunks - 1;
      if (index >= chunkCount) break;
    }
    if (sink->Notify(NE_PERCENT, int64_t(index * 100 / chunkCount), 0, nullptr) < 0) {
      result = RC_CANCELLED;
      break;
    }
    const uint64_t first = index * perChunk;
    const uint64_t want = std::min<uint64_t>(perChunk, totalSectors - first);
    int got = ReadSectors(int64_t(first), buffer, uint32_t(want));
    if (got <= 0) {
      // Unreadable stretches are passed over; a long run of them means the disk is gone.
      if (failedInRow > kSearchMaxFailedChunks) break;
      ++failedInRow;
      ++index;
      continue;
    }
    // A short read still delivered its first sectors: they are searched like any others.
    failedInRow = uint64_t(got) < want ? failedInRow + 1 : 0;
    for (uint64_t i = 0; i < uint64_t(got); ++i) {
      const uint64_t sector = first + i;
      int64_t size = 0;
      int quality = 0;
      const uint8_t* bytes = buffer + i * ss;
      int fs = checker->Check(facade, bytes, int(ss), uint32_t(sector), uint32_t(sector >> 32), &size, &quality);
      uint64_t backupStart = 0;
      bool fromBackup = false;
      if (fs == FS_NONE) {
        size = 0;
        quality = 0;
        fs = CheckBackupBootSector(checker, facade, bytes, ss, sector, &reported, &backupStart, &size,
                                   &quality);
        fromBackup = fs != FS_NONE;
      }
      if (fs == FS_NONE || size < kSearchMinSectors) continue;
      // The NTFS total leaves out the backup boot sector that lies just past it: the
      // volume's partition held one sector more.
      if (fs == FS_NTFS && size < INT64_MAX) ++size;
      bool keep = !kept || quality != 0 || sector - uint64_t(lastStart) >= kSearchRepeatWindow || size != lastSize;
      if (!keep) continue;
      kept = true;
      lastStart = int64_t(sector);
      lastSize = size;
      int64_t start = int64_t(sector);
      if (fromBackup) {
        start = int64_t(backupStart);
      } else if (fs == FS_HFS || fs == FS_HFSP) {
        // The HFS+ header is volume byte 1024, whatever the sector size.
        uint32_t headerIndex = HfsHeaderSectorIndex(ss);
        if (sector < headerIndex) continue;
        start = int64_t(sector - headerIndex);
      }
      reported.insert(uint64_t(start));
      CVolume* volume = AddPartitionVolume(start, size, int(FsTypeToPartitionType(fs)));
      if (!volume) continue;
      PartitionInfo info;
      volume->GetPartitionInfo(&info);
      info.SectorSize = ss;
      info.SectorsPerCluster = uint32_t(checker->GetClusterSize()) / ss;
      volume->SetPartitionInfo(info);
      // From here the receiver owns the partition, whatever it answers: a sink that keeps
      // the object and then asks to stop must not find it freed under its hands.
      if (sink->Notify(NE_PARTITION_FOUND, 0, quality, volume) < 0) break;
      // A volume met through its backup lies partly or wholly behind: only what is left of
      // it ahead is skipped (nothing, for NTFS, whose backup is its last sector).
      uint64_t ahead = uint64_t(size) - 1;
      if (fromBackup) {
        const uint64_t last = uint64_t(start) + uint64_t(size) - 1;
        ahead = last > sector ? last - sector : 0;
      }
      if (mode == 3 && quality == 100 && uint64_t(size) > perChunk && (!fromBackup || ahead > perChunk)) {
        jump = ahead;
        break;
      }
    }
    ++index;
  }

  checker->Release();
  facade->Release();
  delete[] buffer;
  sink->Notify(NE_FINISHED, 0, 0, nullptr);
  return result;
}
