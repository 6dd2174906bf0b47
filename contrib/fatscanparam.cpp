#include "contrib/fatscanparam.h"

#include "contrib/fatrecover.h"

int CFATScanParam::SetDevice(IStorageDevice* device) {
  if (!m_owner || !device) return -1;
  return m_owner->SetDevice(device);
}
