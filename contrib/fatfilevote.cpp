// The formatted FAT reader's second opinion on the geometry: the files that surviving
// short entries name vote for the layout that puts their first clusters on heads of their
// own kind, and under a layout the files establish, each file must show
// that its bytes are still where the entry says.
#include <algorithm>
#include <cstring>

#include "common/inc/bytes.h"
#include "common/inc/inotifysink.h"
#include "common/inc/istoragedevice.h"
#include "common/layout/fat_dirent.h"
#include "contrib/fatinspector.h"
#include "contrib/fatrecover.h"
#include "filesystems/fatentry.h"

namespace {

const uint32_t kSurveyChunk = 4u << 20;

// A short entry of a file of a kind the analysers know (live or deleted), with data.
bool FileEntryAt(const uint8_t* e, bool fat32, layoutvote::FileRef* out) {
  layout::FatDirEntry d;
  if (!layout::DecodeFatDirEntry(e, fat::kEntrySize, &d)) return false;
  if (d.name[0] == 0 || (d.attributes & (fat::kAttrDirectory | fat::kAttrVolume)) || d.attributes > 0x3F) return false;
  if (d.fileSize == 0 || fat::FatIsInvalidShortName(d.name, true) != 0) return false;
  uint32_t first = d.FirstCluster(fat32);
  if (first < 2) return false;
  char ext[4];
  size_t n = 0;
  for (int i = 8; i < 11 && d.name[i] != ' '; ++i) ext[n++] = char(d.name[i]);
  ext[n] = 0;
  int type = kraw::TypeOfExtension(ext);
  if (type <= 0) return false;
  *out = {first, uint16_t(type), d.fileSize};
  return true;
}

// A cluster that begins with "." and ".." (as the search takes them): the cluster "." names,
// and whether a live entry other than those two follows within the bytes at hand.
bool DotClusterAt(const uint8_t* p, size_t len, bool fat32, uint32_t* self, uint32_t* parent, bool* live) {
  layout::FatDirEntry dot, dotdot;
  if (!fatrec::FatInspector::IsDotPair(p, len) || !layout::DecodeFatDirEntry(p, len, &dot) ||
      !layout::DecodeFatDirEntry(p + fat::kEntrySize, len - fat::kEntrySize, &dotdot))
    return false;
  *self = dot.FirstCluster(fat32);
  *parent = dotdot.FirstCluster(fat32);
  *live = CFatFormat::HoldsLiveEntry(p + 2 * fat::kEntrySize, len - 2 * fat::kEntrySize);
  return true;
}

const size_t kMaxSeenDirs = size_t(1) << 20;
const size_t kMaxSeenFiles = size_t(1) << 21;

// A short entry of a file with data, live or deleted, with a legal name and dates: where it
// says the file begins, its size and its creation stamp.
bool FileWithDataAt(const uint8_t* e, bool fat32, CFatFormat::SeenFile* out) {
  if (e[0] == 0 || e[0] == '.' || e[11] == fat::kAttrLongName) return false;
  layout::FatDirEntry d;
  if (!layout::DecodeFatDirEntry(e, fat::kEntrySize, &d)) return false;
  if ((d.attributes & (fat::kAttrDirectory | fat::kAttrVolume)) || d.attributes > 0x3F || d.fileSize == 0)
    return false;
  int y, m, day;
  if (fat::FatIsInvalidShortName(d.name, true) != 0 || !fat::DosDateParts(d.writeDate, &y, &m, &day))
    return false;
  uint32_t first = d.FirstCluster(fat32);
  if (first < 2) return false;
  *out = {first, d.fileSize, uint64_t(d.createDate) << 24 | uint32_t(d.createTime) << 8 | e[13]};
  return true;
}

}  // namespace

bool CFatFormat::HoldsLiveEntry(const uint8_t* p, size_t len) {
  for (size_t at = 0; p && at + fat::kEntrySize <= len; at += fat::kEntrySize) {
    const uint8_t* e = p + at;
    if (e[0] == 0) return false;
    layout::FatDirEntry d;
    std::u16string name;
    int y, m, day;
    if (e[0] == fat::kDeletedMark || !layout::DecodeFatDirEntry(e, fat::kEntrySize, &d) ||
        d.attributes == fat::kAttrLongName || (d.attributes & fat::kAttrVolume) || d.attributes > 0x3F ||
        layout::FatDotName(d.name) != 0)
      continue;
    if (fat::FatShortNameToString(e, &name) > 0 && fat::DosDateParts(d.writeDate, &y, &m, &day)) return true;
  }
  return false;
}

bool CFatFormat::PresentWrote(int64_t offset, int64_t bytes) const {
  // The last format zeroed its FATs and root cluster: everything before the end of that.
  return m_presentEnd > 0 && offset < m_presentEnd && bytes > 0;
}

void CFatFormat::VoteByFiles() {
  m_checkFiles = false;
  m_heads.clear();
  m_presentEnd = 0;
  m_seenDirs.clear();
  m_seenFiles.clear();
  m_seenFilesFull = false;
  const bool fat32 = m_info.ft == fatrec::FT_FAT32;
  uint64_t size = 0;
  if (m_device->GetSize(&size) != 0 || size == 0) return;
  const uint32_t ds = 512;
  // The present volume, when its boot sector is sound.
  uint8_t boot[512];
  fat::FatGeometry present;
  bool havePresent = m_inspector->CachedRead(0, boot, sizeof boot) == 0 &&
                     fat::ParseFatBoot(boot, sizeof boot, fat32 ? fat::kFat32 : fat::kFat16, size, &present) == 0;
  if (havePresent) m_presentEnd = int64_t(present.dataOffset + (fat32 ? present.clusterBytes : 0));

  std::vector<layoutvote::FileRef> refs;
  layoutvote::HeadCollector heads;
  std::vector<uint8_t> buf;
  try {
    buf.resize(size_t(std::min<uint64_t>(kSurveyChunk, size)) + kraw::kHeadBytes);
  } catch (...) {
    return;
  }
  for (uint64_t at = 0; at < size;) {
    // The progress line already stands where the geometry search left it; only a stop is
    // asked for.
    if (m_sink && m_sink->Notify(NE_CANCEL_POLL, 0, 0, nullptr) != 0) {
      m_feeder.Stop();
      return;
    }
    uint64_t ask = std::min<uint64_t>(buf.size(), size - at);
    if (m_inspector->CachedRead(int64_t(at), buf.data(), uint32_t(ask)) != 0) {
      at += buf.size() - kraw::kHeadBytes;  // a damaged stretch is passed over
      continue;
    }
    uint64_t n = std::min<uint64_t>(buf.size() - kraw::kHeadBytes, ask) / ds;
    for (uint64_t i = 0; i < n; ++i) {
      const uint8_t* sec = buf.data() + i * ds;
      const uint64_t off = at + i * ds;
      if (!PresentWrote(int64_t(off), ds)) heads.Sector(sec, size_t(ask - i * ds), off / ds);
      if (sec[0] == 0) continue;
      SeenDir dir;
      if (sec[0] == '.' && m_seenDirs.size() < kMaxSeenDirs &&
          DotClusterAt(
              sec, size_t(std::min<uint64_t>(ask - i * ds, m_info.clusterSize > 0 ? m_info.clusterSize : ds)),
              fat32, &dir.self, &dir.parent, &dir.live)) {
        dir.offset = int64_t(off);
        m_seenDirs.push_back(dir);
      }
      for (uint32_t j = 0; j < ds / 32; ++j) {
        layoutvote::FileRef r;
        if (refs.size() < layoutvote::kMaxFileRefs && FileEntryAt(sec + j * 32, fat32, &r)) refs.push_back(r);
        SeenFile file;
        if (!m_seenFilesFull && FileWithDataAt(sec + j * 32, fat32, &file)) {
          if (m_seenFiles.size() < kMaxSeenFiles)
            m_seenFiles.push_back(file);
          else
            m_seenFilesFull = true;
        }
      }
    }
    at += n * ds;
    if (n == 0) break;
  }
  layoutvote::SortRefs(&refs);
  heads.Finish();
  const std::vector<layoutvote::Head>& h = heads.Heads();

  // The geometry the inspector found, as cluster 0's sector and sectors per cluster.
  const uint64_t spcNow = uint64_t(m_info.clusterSize) / ds;
  const int64_t startNow = m_inspector->ClusterToOffset(2);
  struct Cand {
    int64_t origin;
    uint64_t spc;
    int files;
    int score;  // the files, and for the inspector's geometry the "." entries it rests on
  };
  std::vector<Cand> cands;
  if (startNow >= 0 && spcNow) cands.push_back({startNow / ds - int64_t(2 * spcNow), spcNow, 0, 0});
  for (uint64_t spc = 1; spc * ds <= fatrec::MAX_CLUSTERSIZE; spc <<= 1)
    for (int64_t o : layoutvote::ProposeOrigins(refs, h, spc, 1 - int64_t(2 * spc), 3)) {
      bool dup = false;
      for (const Cand& c : cands) dup = dup || (c.origin == o && c.spc == spc);
      if (!dup) cands.push_back({o, spc, 0, 0});
    }
  const bool asBoot = havePresent && int64_t(present.dataOffset) == startNow &&
                      int64_t(present.clusterBytes) == m_info.clusterSize;
  for (size_t i = 0; i < cands.size(); ++i) {
    cands[i].files = layoutvote::CountHits(refs, h, cands[i].origin, cands[i].spc);
    cands[i].score = cands[i].files;
    // Folders that name their own clusters voted for a geometry the boot sector does not give.
    if (i == 0 && spcNow && !asBoot) cands[i].score += int(std::min<int64_t>(m_inspector->DotClustersFound(), 1 << 20));
  }
  // The inspector's own geometry stays first among equals.
  std::stable_sort(cands.begin(), cands.end(), [](const Cand& a, const Cand& b) { return a.score > b.score; });
  // A geometry the inspector found (boot sector or "." entries) stands as it always did
  // unless the files say otherwise; one the files establish, or one they leave in doubt,
  // hands out only what each file proves.
  if (spcNow == 0) m_checkFiles = true;
  if (cands.empty() || cands[0].files < 3) {
    m_heads = h;
    return;
  }
  size_t rivals = 1;
  while (rivals < cands.size() && rivals < 5 && 2 * cands[rivals].score >= cands[0].score) ++rivals;
  size_t top = 0;
  if (rivals > 1) {
    auto read = [this](uint64_t off, uint8_t* b, uint32_t len) {
      return m_inspector->CachedRead(int64_t(off), b, len) == 0;
    };
    int topEnds = -1, runnerEnds = -1;
    for (size_t i = 0; i < rivals; ++i) {
      int ends = layoutvote::ConfirmByEnds(refs, h, cands[i].origin, cands[i].spc, ds, read, m_probe.get(), 16);
      if (ends > topEnds) {
        runnerEnds = topEnds;
        topEnds = ends;
        top = i;
      } else if (ends > runnerEnds) {
        runnerEnds = ends;
      }
    }
    if (topEnds <= 0 || topEnds == runnerEnds) {
      // No layout is certain: whatever the geometry, every file must prove its bytes.
      m_checkFiles = true;
      m_heads = h;
      return;
    }
  }
  const Cand& won = cands[top];
  m_heads = h;
  if (won.origin == (startNow >= 0 ? startNow / ds - int64_t(2 * spcNow) : -1) && won.spc == spcNow) return;
  int64_t dataStart = (won.origin + int64_t(2 * won.spc)) * ds;
  if (dataStart <= 0) return;
  m_info.clusterSize = int(won.spc * ds);
  m_info.numFats = 0;
  m_info.fatSize = 0;
  if (fat32) {
    m_info.fatOffset = dataStart;
    m_info.rootEntries = uint16_t(m_info.clusterSize / 32);
    m_info.rootCluster = 2;
  } else {
    // The fixed root lies before cluster 2.
    m_info.fatOffset = dataStart - int64_t(m_info.rootEntries) * 32;
    if (m_info.fatOffset < 0) return;
  }
  m_inspector->SetInfo(m_info);
  m_checkFiles = true;
}

bool CFatFormat::DataStillThere(const fatrec::FatItem& item, int64_t offset, bool strict) const {
  const int64_t c = m_info.clusterSize;
  if (c <= 0 || item.size == 0) return true;
  const int64_t clusters = (int64_t(item.size) + c - 1) / c;
  if (PresentWrote(offset, clusters * c)) return false;
  int type = kraw::TypeOfName(item.name.c_str());
  if (type > 0) {
    std::vector<uint8_t> head(kraw::kHeadBytes, 0);
    uint32_t want = uint32_t(std::min<uint64_t>(kraw::kHeadBytes, item.size));
    if (m_inspector->CachedRead(offset, head.data(), want) != 0 || !m_probe->Begins(type, head.data(), head.size()))
      return false;
  }
  if (clusters == 1 && !strict) return true;
  // The chain is gone with the old FAT: the file is taken as one piece only when no other
  // file begins inside it and its own structure proves where it ends.
  if (type <= 0) return false;
  uint64_t first = uint64_t(offset) / 512, last = uint64_t(offset + clusters * c) / 512;
  auto it = std::upper_bound(m_heads.begin(), m_heads.end(), layoutvote::Head{first, 0xFFFF});
  for (; it != m_heads.end() && it->sector < last; ++it)
    if ((it->sector - first) * 512 % uint64_t(c) == 0) return false;
  auto read = [this, offset](uint64_t off, uint8_t* b, uint32_t len) {
    return m_inspector->CachedRead(offset + int64_t(off), b, len) == 0;
  };
  return m_probe->ProvenLength(type, read, uint64_t(item.size) + kraw::kHeadBytes) == int64_t(item.size);
}
