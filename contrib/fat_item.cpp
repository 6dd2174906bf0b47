#include "contrib/fat_item.h"

namespace fatrec {

bool KeepLaterCreated(void* existing, void* incoming, int) {
  FatItem* a = static_cast<FatItem*>(existing);
  FatItem* b = static_cast<FatItem*>(incoming);
  bool replace = a && b ? b->createTime > a->createTime : (b != nullptr);
  delete (replace ? a : b);
  return replace;
}

bool KeepExisting(void*, void* incoming, int) {
  delete static_cast<FatItem*>(incoming);
  return false;
}

void ReleaseItem(void* payload, void*) { delete static_cast<FatItem*>(payload); }

}  // namespace fatrec
