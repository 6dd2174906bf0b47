// What the formatted FAT reader keeps of one directory entry until the graph hands it out.
#pragma once
#include <cstdint>
#include <string>

namespace fatrec {

// kItemUntold: its entry lies in bytes another volume may have written, so its own bytes
// cannot be told apart. kItemPresent: its entry lies in a folder of the present volume, which
// shares the layout of the folders the search reads.
enum FatItemKind { kItemDirectory = 1, kItemDeleted = 2, kItemUntold = 4, kItemPresent = 8 };

struct FatItem {
  std::u16string name;
  int64_t createTime = 0;  // time values (midnight of the entry's dates)
  int64_t writeTime = 0;
  uint32_t size = 0;
  uint32_t firstCluster = 0;  // high word restored where it could be
  int64_t parentId = 0;
  int kind = 0;
  // Creation date, time and hundredths as stored (date << 24 | time << 8 | hundredths):
  // orders two entries that name the same clusters.
  uint64_t created = 0;
};

// Graph merge for files that share an id and name: the later creation time stays. The
// graph keeps whichever payload the answer names, so the other one is freed here.
bool KeepLaterCreated(void* existing, void* incoming, int exists);
// Graph merge that keeps the node already stored and frees the incoming payload.
bool KeepExisting(void* existing, void* incoming, int exists);
void ReleaseItem(void* payload, void* user);

}  // namespace fatrec
