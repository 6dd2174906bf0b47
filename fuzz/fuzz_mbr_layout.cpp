// The MBR and extended-partition walk over arbitrary disk bytes: it must end (the chain may
// loop), never read outside the input, and report only partitions with sane extents.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "deviceapi/windowsdeviceio.h"
#include "fuzz/memorydeviceio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (uint32_t sectorSize : {512u, 4096u}) {
    CMemoryDeviceIo io(data, size);
    std::vector<LayoutEntry> out;
    if (!ReadMbrLayout(&io, sectorSize, &out)) continue;
    // At most four primaries and one logical per EBR of a chain capped at 128 of them.
    if (out.size() > 4 + 128) abort();
    for (const LayoutEntry& e : out)
      if (e.startByte < 0 || e.lengthByte <= 0) abort();
  }
  return 0;
}
