// The files that surviving directory entries name vote for the layout that held them: a file
// whose first cluster, under a candidate cluster size and origin, lies where a head of its
// own kind begins speaks for that layout. Shared by the formatted FAT and exFAT readers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "rawrecovery/headprobe.h"

namespace layoutvote {

// A file named by a directory entry: its first cluster and its carving type.
struct FileRef {
  uint32_t firstCluster;
  uint16_t type;
  uint64_t length;  // bytes
  bool operator<(const FileRef& o) const {
    return firstCluster != o.firstCluster ? firstCluster < o.firstCluster : type < o.type;
  }
  bool operator==(const FileRef& o) const { return firstCluster == o.firstCluster && type == o.type; }
};

// A device sector where the analysers found a head of a type.
struct Head {
  uint64_t sector;
  uint16_t type;
  bool operator<(const Head& o) const { return sector != o.sector ? sector < o.sector : type < o.type; }
  bool operator==(const Head& o) const { return sector == o.sector && type == o.type; }
};

// Bounds that keep a volume full of lookalikes from costing more than these.
const size_t kMaxFileRefs = 65536;
const size_t kMaxHeads = size_t(1) << 20;

// Gathers heads during one pass over the device.
class HeadCollector {
 public:
  // The sector at `sector` with avail bytes from it in memory (the head test wants
  // kraw::kHeadBytes; fewer are padded with zeros).
  void Sector(const uint8_t* p, size_t avail, uint64_t sector);
  // Sorted, without repeats.
  void Finish();
  const std::vector<Head>& Heads() const { return m_heads; }
  bool Full() const { return m_heads.size() >= kMaxHeads; }

 private:
  kraw::HeadProbe m_probe;
  std::vector<Head> m_heads;
  std::vector<int> m_types;
  std::vector<uint8_t> m_pad;
};

void SortRefs(std::vector<FileRef>* refs);

// The files whose first cluster lies at a head of their kind when cluster c begins at
// device sector origin + c x spc.
int CountHits(const std::vector<FileRef>& refs, const std::vector<Head>& heads, int64_t origin, uint64_t spc);

// For one cluster size: the origins that pairs of a file and a head of the same kind
// propose, at most `keep` of them, most proposed first, each proposed at least twice and
// none below minOrigin.
std::vector<int64_t> ProposeOrigins(const std::vector<FileRef>& refs, const std::vector<Head>& heads, uint64_t spc,
                                    int64_t minOrigin, size_t keep);

// Reads device bytes; false when it cannot.
typedef std::function<bool(uint64_t offset, uint8_t* buf, uint32_t len)> DeviceReader;

// Of up to `sample` files (spread over refs) that show their head under the layout and are
// small enough to walk, those whose analyser, reading them as one piece, proves exactly the
// length their entry gives. Neighbouring layouts (the origin a cluster off) put files on
// the heads of their neighbours, whose ends then disagree with the entries.
int ConfirmByEnds(const std::vector<FileRef>& refs, const std::vector<Head>& heads, int64_t origin, uint64_t spc,
                  uint32_t sectorBytes, const DeviceReader& read, kraw::HeadProbe* probe, size_t sample);

}  // namespace layoutvote
