// Where an HFS+ volume whose two headers are gone began. Its allocation blocks count from
// that start, and nothing that survives records it in so many words: the catalog's records
// name blocks, never sectors of the device. What ties the two together is weaker and is
// put together here: an Apple partition map in front of the volume, the catalog's header
// node (node 0, at the first block of the catalog file, so a whole number of blocks past
// the start), the nodes of the catalog that no file's blocks may cover, and above all the
// files themselves: under the right start, files of a known kind begin with a head of that
// kind. When the heads deny the start the device gives and confirm no other, the files are
// handed out without data: a right name with wrong bytes is the worst answer there is.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "common/inc/bytes.h"
#include "common/layout/apple_partition_map.h"
#include "common/layout/hfsplus_btree.h"
#include "common/layout/hfsplus_catalog.h"
#include "common/layout/hfsplus_journal.h"
#include "rawrecovery/headprobe.h"
#include "scanoperate/hfsp/hfspformat.h"

namespace {

// How far past the first catalog leaf the evidence is gathered: 32 MiB of catalog hold
// thousands of file records.
const uint64_t kEvidenceSpan = 65536;
const size_t kMaxEvidenceFiles = 65536;
// Files whose heads are read under every start that survives the first ones.
const size_t kSampleFiles = 48;
// The first files of the sample, read under every start the catalog's header node allows.
const size_t kAnchorFiles = 8;
// Starts that the anchors leave standing, the best first, that the whole sample then tries.
const size_t kMaxSurvivors = 32;

// The tree whose header node is at p: the catalog (variable-length index keys of up to 516
// bytes) or the extents tree (fixed keys of 10). A catalog must hold records; an extents
// tree may be empty. 'c', 'e' or 0.
char TreeOfHeaderNode(const uint8_t* p, uint32_t sectors, uint64_t room, uint64_t* treeSectors) {
  size_t have = size_t(sectors) * 512;
  BTNodeDescriptor d;
  BTHeaderRec rec;
  if (have < 512 || p[8] != uint8_t(kBTHeaderNode) || p[9] != 0) return 0;
  if (!layout::DecodeBTNodeDescriptor(p, have, &d) || !layout::BTHeaderNodeSound(d) || d.reserved != 0)
    return 0;
  if (!layout::DecodeBTHeaderRec(p + layout::kBTHeaderRecOffset, have - layout::kBTHeaderRecOffset, &rec) ||
      !layout::BTHeaderRecSound(rec) || rec.btreeType != 0)
    return 0;
  uint32_t nodeSectors = rec.nodeSize / 512;
  if (nodeSectors == 0 || nodeSectors > sectors || !hfsplus_check_header_node_offsets(p, rec.nodeSize))
    return 0;
  uint64_t bytes = uint64_t(nodeSectors) * rec.totalNodes;
  if (bytes > room) return 0;  // a tree larger than what is left of the device is not here
  *treeSectors = bytes;
  bool variable = (rec.attributes & kBTVariableIndexKeysMask) != 0;
  if (rec.maxKeyLength == layout::kHFSPlusCatalogKeyMaxLength && variable &&
      hfsplus_check_header_rec(&rec, 0))
    return 'c';
  if (rec.maxKeyLength == layout::kHFSPlusExtentKeyLength && !variable) return 'e';
  return 0;
}

// A few of each kind of journal structure are kept: a volume has one journal.
const size_t kMaxJournalMarks = 8;

// A journal info block whose journal lies in the volume, a whole number of sectors in:
// flags 1, the device signature and reserved words zero (the rest of its sector too).
bool JournalInfoAt(const uint8_t* p, size_t have, uint64_t* offset, uint64_t* size) {
  layout::JournalInfoBlock info;
  if (have < 512 || !layout::DecodeJournalInfoBlock(p, have, &info) ||
      info.flags != layout::kJIJournalInFSMask)
    return false;
  for (size_t i = 4; i < 512; ++i)
    if (i < 36 || i >= 52)
      if (p[i]) return false;
  if (info.offset == 0 || info.offset % 512 || info.size == 0 || info.size % 512) return false;
  *offset = info.offset;
  *size = info.size;
  return true;
}

// A journal header in either byte order ("JNLx" and 0x12345678 in the writer's), its size.
bool JournalHeaderAt(const uint8_t* p, size_t have, uint64_t* size) {
  layout::journal_header h;
  if (!layout::DecodeJournalHeader(p, have, &h)) return false;
  if (h.magic == 0x4A4E4C78u && h.endian == 0x12345678u) {
    *size = h.size;
  } else if (h.magic == 0x784C4E4Au && h.endian == 0x78563412u) {
    *size = kbytes::Be64(p + offsetof(layout::raw::journal_header, size));
  } else {
    return false;
  }
  return *size != 0;
}

// Names of plain text, whose bytes the analysers do not judge.
bool NamedAsText(const std::u16string& name) {
  static const char* const kText[] = {"txt", "text", "csv",  "log", "md", "xml",
                                      "htm", "html", "json", "ini", "rtf"};
  size_t dot = name.rfind(u'.');
  if (dot == std::u16string::npos || name.size() - dot - 1 > 4) return false;
  std::string ext;
  for (size_t i = dot + 1; i < name.size(); ++i) {
    char16_t c = name[i];
    if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
    if (c > 0x7F) return false;
    ext.push_back(char(c));
  }
  for (const char* t : kText)
    if (ext == t) return true;
  return false;
}

// How much of a file named as text is read to tell whether it begins with text.
const size_t kTextHead = 512;

// Text as such a file begins: tabs, line ends and printable bytes (UTF-8 or a code page
// above 0x7F), or a UTF-16 byte-order mark.
bool LooksLikeText(const uint8_t* p, size_t n) {
  if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) return true;
  for (size_t i = 0; i < n; ++i)
    if (p[i] < 0x20 && p[i] != '\t' && p[i] != '\n' && p[i] != '\r' && p[i] != 0x0C) return false;
  return n > 0;
}

}  // namespace

bool CHfspFormat::ReadDirect(uint64_t sector, uint8_t* buf, uint32_t bytes) {
  if (!buf || bytes == 0 || sector > (UINT64_MAX >> 9)) return false;
  uint64_t byte = sector * 512;
  if (byte >= m_volumeBytes) return false;
  uint32_t want = uint32_t(std::min<uint64_t>(bytes, m_volumeBytes - byte));
  uint64_t dev = m_baseByte + byte;
  uint64_t first = dev / m_devSector;
  uint32_t skip = uint32_t(dev % m_devSector);
  uint32_t count = uint32_t((uint64_t(skip) + want + m_devSector - 1) / m_devSector);
  try {
    m_direct.resize(size_t(count) * m_devSector);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (first > uint64_t(INT64_MAX) ||
      m_device->ReadSectors(int64_t(first), m_direct.data(), count) != int(count))
    return false;
  std::memcpy(buf, m_direct.data() + skip, want);
  if (want < bytes) std::memset(buf + want, 0, bytes - want);
  return true;
}

bool CHfspFormat::GatherStartEvidence(StartEvidence* ev) {
  const uint64_t sectors = m_volumeBytes / 512;
  // Past the probe's own reach when the device is small: a volume may begin as far in as the
  // header search looks, and its catalog lies behind that.
  const uint64_t floor = std::min<uint64_t>(sectors, kHeaderSearchSectors + kEvidenceSpan);
  const uint64_t end = std::max<uint64_t>(sectors / 6, floor);
  uint32_t got = 0;
  if (const uint8_t* p = View(0, kProbeSectors, &got)) {
    for (uint64_t b : layout::ApmHfsStarts(p, size_t(got) * 512))
      if (b % 512 == 0) ev->mapStarts.push_back(b / 512);
  }
  HfsBlockVote vote;
  bool& leafSeen = ev->leafFound;
  uint64_t& firstLeaf = ev->firstLeaf;
  for (uint64_t s = 0; s < end; ev->searched = ++s) {
    if (s % kPollEvery == 0 && Progress(0) != 0) return false;
    if (leafSeen ? s - firstLeaf >= kEvidenceSpan : s >= floor) break;
    const uint8_t* p = View(s, kProbeSectors, &got);
    if (!p) break;
    uint64_t treeSectors = 0;
    char tree = TreeOfHeaderNode(p, got, sectors - s, &treeSectors);
    if (tree == 'c' && !ev->catalogFound) {
      ev->catalogFound = true;
      ev->catalogAt = s;
      ev->catalogSectors = treeSectors;
      ev->nodes.push_back(s);
    } else if (tree == 'e' && !ev->extentsFound) {
      ev->extentsFound = true;
      ev->extentsAt = s;
      ev->extentsSectors = treeSectors;
      ev->nodes.push_back(s);
    }
    if (tree) continue;
    StartEvidence::JournalMark mark{s, 0, 0};
    if (ev->journalInfos.size() < kMaxJournalMarks &&
        JournalInfoAt(p, size_t(got) * 512, &mark.offset, &mark.size)) {
      ev->journalInfos.push_back(mark);
      continue;
    }
    if (ev->journalHeaders.size() < kMaxJournalMarks && JournalHeaderAt(p, size_t(got) * 512, &mark.size)) {
      ev->journalHeaders.push_back(mark);
      continue;
    }
    // Once the catalog's header node is known, only its own leaves speak for the volume: a
    // disk image kept as a file holds another volume's.
    bool inCatalog = !ev->catalogFound || (s >= ev->catalogAt && s - ev->catalogAt < ev->catalogSectors);
    int n = CatalogLeafRecords(
        p, got, [&](uint32_t, const std::u16string& name, uint16_t type, const uint8_t* data, size_t bytes) {
          if (!inCatalog || type != kHfsPlusFileRecord || name.empty() ||
              ev->files.size() >= kMaxEvidenceFiles)
            return true;
          layout::HFSPlusCatalogEntry e;
          if (!layout::DecodeHFSPlusCatalogEntry(data, bytes, &e)) return true;
          HFSPlusForkData f;
          hfsplus_fork_from_layout(e.dataFork, &f);
          // The records the probe itself takes.
          if (!hfsplus_fork_block_sum(&f) || f.logicalSize == 0 || e.id <= kLastReservedCnid ||
              f.extents[0].startBlock == 0 || f.extents[0].blockCount == 0)
            return true;
          uint16_t d = hfsplus_guess_block_sectors(f.totalBlocks, f.logicalSize);
          if (d) ++vote[d];
          StartEvidence::File file;
          file.fileID = e.id;
          file.type = uint16_t(kraw::TypeOfName(name.c_str()));
          file.text = !file.type && NamedAsText(name);
          file.size = f.logicalSize;
          std::memcpy(file.extents, f.extents, sizeof file.extents);
          ev->files.push_back(file);
          return true;
        });
    if (!n) continue;
    if (!leafSeen) {
      leafSeen = true;
      firstLeaf = s;
    }
    if (inCatalog && ev->catalogFound) ev->nodes.push_back(s);
    s += uint64_t(n) - 1;
  }
  ev->sectorsPerBlock = MostFrequentKey(vote);
  // The journal lies info.offset bytes past the start, and its info block a whole number
  // of blocks past it.
  const uint64_t spb = ev->sectorsPerBlock;
  for (const StartEvidence::JournalMark& info : ev->journalInfos)
    for (const StartEvidence::JournalMark& head : ev->journalHeaders) {
      uint64_t lead = info.offset / 512;
      if (head.size != info.size || head.sector < lead) continue;
      uint64_t start = head.sector - lead;
      if (spb && info.sector >= start + spb && (info.sector - start) % spb == 0)
        ev->journalStarts.push_back(start);
    }
  std::sort(ev->nodes.begin(), ev->nodes.end());
  ev->nodes.erase(std::unique(ev->nodes.begin(), ev->nodes.end()), ev->nodes.end());
  return true;
}

CHfspFormat::HeadScore CHfspFormat::ScoreHeads(const std::vector<const StartEvidence::File*>& sample,
                                                uint64_t spb, uint64_t start, size_t bytes,
                                                const HeadTest& begins) {
  HeadScore score;
  const uint64_t sectors = m_volumeBytes / 512;
  std::vector<uint8_t> head(bytes);
  for (const StartEvidence::File* f : sample) {
    uint64_t at = start + uint64_t(f->extents[0].startBlock) * spb;
    // A start that puts a file past the device's end is not its volume's.
    if (at >= sectors) {
      ++score.misses;
      continue;
    }
    if (!ReadDirect(at, head.data(), uint32_t(head.size()))) continue;  // says nothing
    if (begins(*f, head.data()))
      ++score.hits;
    else
      ++score.misses;
  }
  return score;
}

CHfspFormat::HeadScore CHfspFormat::ScoreStart(const StartEvidence& ev,
                                               const std::vector<const StartEvidence::File*>& sample,
                                               uint64_t start) {
  return ScoreHeads(sample, ev.sectorsPerBlock, start, kraw::kHeadBytes,
                    [this](const StartEvidence::File& f, const uint8_t* head) {
                      return m_probe->Begins(f.type, head, kraw::kHeadBytes);
                    });
}

std::vector<uint64_t> CHfspFormat::HeaderNodes(const StartEvidence& ev) {
  // The trees' header nodes stay at their files' first blocks for the volume's life: no
  // record of it, however old, names a block of theirs. The extents tree's counts only near
  // the catalog, where every formatter puts the two: one further off may be another
  // volume's, kept in a file.
  std::vector<uint64_t> headers;
  if (!ev.catalogFound) return headers;
  headers.push_back(ev.catalogAt);
  uint64_t near = std::max<uint64_t>(ev.catalogSectors, 4096);
  if (ev.extentsFound && ev.extentsAt + near >= ev.catalogAt &&
      ev.extentsAt <= ev.catalogAt + ev.catalogSectors + near)
    headers.push_back(ev.extentsAt);
  return headers;
}

bool CHfspFormat::StartHolds(const StartEvidence& ev, uint64_t start) {
  const uint64_t spb = ev.sectorsPerBlock;
  if (spb == 0) return false;
  if (ev.catalogFound && (ev.catalogAt < start + spb || (ev.catalogAt - start) % spb != 0)) return false;
  const std::vector<uint64_t> headers = HeaderNodes(ev);
  size_t covering = 0;
  for (const StartEvidence::File& f : ev.files) {
    for (int i = 0; i < 8 && f.extents[i].blockCount; ++i) {
      uint64_t from = start + uint64_t(f.extents[i].startBlock) * spb;
      uint64_t to = from + uint64_t(f.extents[i].blockCount) * spb;
      for (uint64_t h : headers)
        if (h >= from && h < to) return false;
      auto it = std::lower_bound(ev.nodes.begin(), ev.nodes.end(), from);
      if (it != ev.nodes.end() && *it < to) {
        ++covering;
        break;
      }
    }
  }
  // A free node of the catalog may still hold the record of a file whose blocks the
  // catalog took over when it grew: a few such files are no contradiction.
  return covering * 32 <= ev.files.size();
}

CHfspFormat::StartVerdict CHfspFormat::DecideVolumeStart(const StartEvidence& ev, uint64_t* start) {
  *start = 0;
  const uint64_t spb = ev.sectorsPerBlock;
  if (spb == 0) return kStartKept;  // no file record says anything
  if (!m_probe) m_probe.reset(new (std::nothrow) kraw::HeadProbe());
  if (!m_probe) return kStartKept;
  const uint64_t sectors = m_volumeBytes / 512;

  const std::vector<const StartEvidence::File*> sample = SampleFiles(ev, false);

  // The catalog's header node lies a whole number of blocks past the start, at least one.
  // Without that node, any sector in front of the first leaf node may be the start. Either
  // lies inside the stretch the evidence was gathered from.
  StartRange range;
  if (ev.catalogFound && ev.catalogAt >= spb) {
    range = {ev.catalogAt % spb, ev.catalogAt - spb, spb, true};
  } else if (!ev.catalogFound && ev.leafFound && ev.firstLeaf > 0) {
    range = {0, ev.firstLeaf - 1, 1, true};
  }
  range.any = range.any && range.last >= range.first;

  struct Cand {
    uint64_t start;
    bool named;  // a partition map or a journal names it
    HeadScore score;
  };
  std::vector<Cand> cands{{0, false, {}}};
  auto add = [&](uint64_t s, bool named) {
    if (!StartAligned(s) || s >= sectors) return;
    for (Cand& c : cands)
      if (c.start == s) {
        c.named = c.named || named;
        return;
      }
    cands.push_back({s, named, {}});
  };
  for (uint64_t s : ev.mapStarts) add(s, true);
  for (uint64_t s : ev.journalStarts) add(s, true);

  // With no file of a known kind to ask, the structures alone decide: a partition map or a
  // journal first; then the starts of the catalog's range under which no file's blocks cover a
  // header node, the device's own start among them. Where several remain, files named as
  // text tell them apart, and the device's start stands unless one other clearly wins.
  auto structural = [&]() -> StartVerdict {
    for (const Cand& c : cands)
      if (c.named && StartHolds(ev, c.start)) {
        *start = c.start;
        return c.start ? kStartMoved : kStartConfirmed;
      }
    bool deviceHolds = StartHolds(ev, 0);
    if (deviceHolds) {
      // Files named as text that mostly do not begin with text there deny it all the same.
      HeadScore t = TextAt(SampleFiles(ev, true), spb, 0);
      deviceHolds = t.hits + t.misses < 4 || t.misses * 2 < t.hits + t.misses;
    }
    std::vector<uint64_t> holding;
    if (ev.catalogFound && range.any) {
      std::vector<uint64_t> uncovered = UncoveredStarts(ev, range, kMaxSurvivors + 1);
      // Nothing narrows the range: the device's start stands if it holds, as nothing
      // says otherwise.
      if (uncovered.size() > kMaxSurvivors) return deviceHolds ? kStartKept : kStartUnknown;
      for (uint64_t s : uncovered)
        if (s != 0 && StartHolds(ev, s)) holding.push_back(s);
    }
    if (deviceHolds) holding.insert(holding.begin(), 0);
    if (holding.empty()) return kStartUnknown;
    uint64_t won = holding[0];
    if (holding.size() > 1 && !ClearTextWinner(ev, holding, &won) && !BitmapWinner(ev, holding, &won))
      return deviceHolds ? kStartKept : kStartUnknown;
    *start = won;
    return won ? kStartMoved : kStartConfirmed;
  };

  // Every start of the range is read under the first files; those that show most of their
  // heads stand, and the whole sample then tries them.
  if (range.any && !sample.empty()) {
    int stopped = 0;
    for (uint64_t s : AnchoredStarts(ev, sample, range, &stopped)) add(s, false);
    if (stopped) return kStartKept;  // the probe that follows ends the scan
  }

  bool tested = false;
  for (Cand& c : cands) {
    c.score = ScoreStart(ev, sample, c.start);
    tested = tested || c.score.hits + c.score.misses > 0;
  }
  if (!tested) return structural();
  int best = 0;
  for (const Cand& c : cands) best = std::max(best, c.score.hits);
  // The device's own start stands while nothing shows more heads than it does.
  if (cands[0].score.hits > 0 && cands[0].score.hits == best) return kStartConfirmed;
  if (best > 0) {
    const Cand* won = nullptr;
    int tied = 0;
    for (const Cand& c : cands)
      if (c.score.hits == best) {
        ++tied;
        if (!won || (c.named && !won->named)) won = &c;
      }
    // Two starts that show as many heads leave the volume's start open, unless a partition
    // map or a journal names one of them; one head alone may be another file's.
    bool settled = (tied == 1 || won->named) && (best >= 2 || won->named);
    if (settled && StartHolds(ev, won->start)) {
      *start = won->start;
      return kStartMoved;
    }
    // Heads that show under other starts and not under the device's: its start is wrong.
    if (best >= 2) return kStartUnknown;
  }
  // Files whose heads show under no start say nothing when no head of their kinds lies
  // anywhere the evidence was gathered from (files named for a kind their bytes are not);
  // when such heads do lie there, the files deny the device's start all the same.
  const HeadScore& device = cands[0].score;
  if (device.hits == 0 && device.misses >= 2 && HeadsShow(ev, sample)) return kStartUnknown;
  return structural();
}

bool CHfspFormat::HeadsShow(const StartEvidence& ev, const std::vector<const StartEvidence::File*>& sample) {
  std::vector<uint16_t> kinds;
  for (const StartEvidence::File* f : sample)
    if (std::find(kinds.begin(), kinds.end(), f->type) == kinds.end()) kinds.push_back(f->type);
  int seen = 0;
  for (uint64_t s = 0; s < ev.searched; ++s) {
    if (s % kPollEvery == 0 && Progress(0) != 0) return false;
    uint32_t got = 0;
    const uint8_t* p = View(s, kraw::kHeadBytes / 512, &got);
    if (!p) break;
    if ((p[0] | p[1] | p[2] | p[3]) == 0) continue;  // empty space begins no file
    for (uint16_t k : kinds)
      if (m_probe->Begins(k, p, size_t(got) * 512)) {
        // Two heads: one alone may be chance.
        if (++seen >= 2) return true;
        break;
      }
  }
  return false;
}

CHfspFormat::HeadScore CHfspFormat::TextAt(const std::vector<const StartEvidence::File*>& sample,
                                           uint64_t spb, uint64_t start) {
  return ScoreHeads(sample, spb, start, kTextHead, [](const StartEvidence::File& f, const uint8_t* head) {
    return LooksLikeText(head, size_t(std::min<uint64_t>(f.size, kTextHead)));
  });
}

std::vector<const CHfspFormat::StartEvidence::File*> CHfspFormat::SampleFiles(const StartEvidence& ev,
                                                                              bool text) {
  std::vector<const StartEvidence::File*> some, sample;
  for (const StartEvidence::File& f : ev.files)
    if (text ? f.text : f.type != 0) some.push_back(&f);
  size_t every = std::max<size_t>(1, some.size() / kSampleFiles);
  for (size_t i = 0; i < some.size() && sample.size() < kSampleFiles; i += every) sample.push_back(some[i]);
  return sample;
}

bool CHfspFormat::ClearTextWinner(const StartEvidence& ev, const std::vector<uint64_t>& starts,
                                  uint64_t* won) {
  std::vector<const StartEvidence::File*> sample = SampleFiles(ev, true);
  // Under the right start a file named as text begins with text but for the odd one; under
  // another it begins wherever another file's bytes, or the zeros after them, lie.
  int fewest = -1, next = -1;
  for (uint64_t s : starts) {
    HeadScore t = TextAt(sample, ev.sectorsPerBlock, s);
    if (t.hits + t.misses < 2) return false;
    if (fewest < 0 || t.misses < fewest) {
      next = fewest;
      fewest = t.misses;
      *won = s;
    } else if (next < 0 || t.misses < next) {
      next = t.misses;
    }
  }
  return size_t(fewest) * 8 <= sample.size() && next >= 2 * fewest + 3;
}

bool CHfspFormat::BitmapWinner(const StartEvidence& ev, const std::vector<uint64_t>& starts, uint64_t* won) {
  const uint64_t spb = ev.sectorsPerBlock;
  if (!ev.catalogFound || spb == 0) return false;
  // One sector of the allocation file marks 4096 blocks, block 0 (the volume header's) in
  // the top bit of its first byte.
  const uint32_t kBits = 512 * 8;
  auto marked = [](const uint8_t* p, uint64_t block) { return (p[block / 8] & (0x80 >> (block % 8))) != 0; };
  std::vector<std::pair<uint32_t, uint32_t>> used;  // the files' blocks in that sector's reach
  for (const StartEvidence::File& f : ev.files)
    for (int i = 0; i < 8 && f.extents[i].blockCount; ++i)
      if (uint64_t(f.extents[i].startBlock) + f.extents[i].blockCount <= kBits)
        used.push_back({f.extents[i].startBlock, f.extents[i].blockCount});
  if (used.size() < 4) return false;  // too little to tell an allocation file by
  // The runs a start puts the two trees on, as blocks; false when they fall outside.
  auto treeRuns = [&](uint64_t start, std::vector<std::pair<uint64_t, uint64_t>>* runs) {
    runs->clear();
    std::pair<uint64_t, uint64_t> trees[2] = {{ev.catalogAt, ev.catalogSectors},
                                              {ev.extentsAt, ev.extentsSectors}};
    for (int t = 0; t < (ev.extentsFound ? 2 : 1); ++t) {
      if (trees[t].first < start || trees[t].second == 0) return false;
      uint64_t first = (trees[t].first - start) / spb;
      uint64_t count = (trees[t].second + spb - 1) / spb;
      if (first + count > kBits) return false;
      runs->push_back({first, count});
    }
    return true;
  };
  int agreed = 0;
  int bitmaps = 0;
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  for (uint64_t s = 0; s < ev.searched && bitmaps < 4; ++s) {
    if (s % kPollEvery == 0 && Progress(0) != 0) return false;
    uint32_t got = 0;
    const uint8_t* p = View(s, 1, &got);
    if (!p) break;
    if (!(p[0] & 0x80)) continue;
    bool all = true;
    for (size_t i = 0; i < used.size() && all; ++i)
      for (uint64_t b = used[i].first; b < uint64_t(used[i].first) + used[i].second && all; ++b)
        all = marked(p, b);
    if (!all) continue;
    ++bitmaps;
    for (uint64_t start : starts) {
      if (!treeRuns(start, &runs)) continue;
      bool inUse = true;
      for (const auto& r : runs)
        for (uint64_t b = r.first; b < r.first + r.second && inUse; ++b) inUse = marked(p, b);
      if (!inUse) continue;
      // Every sector that reads as the allocation file must agree on the one start.
      if (agreed && *won != start) return false;
      ++agreed;
      *won = start;
    }
  }
  // A sector all in use (or a stretch of 0xFF) marks every start: it settles nothing.
  return agreed > 0 && agreed == bitmaps;
}

bool CHfspFormat::StartAligned(uint64_t start) const {
  return start <= (UINT64_MAX >> 9) && (m_baseByte + start * 512) % m_devSector == 0;
}

std::vector<uint64_t> CHfspFormat::AnchoredStarts(const StartEvidence& ev,
                                                  const std::vector<const StartEvidence::File*>& sample,
                                                  const StartRange& range, int* stopped) {
  std::vector<uint64_t> out;
  const uint64_t spb = ev.sectorsPerBlock;
  size_t count = size_t((range.last - range.first) / range.stride + 1);
  std::vector<uint8_t> hits(count, 0);
  size_t anchors = std::min(kAnchorFiles, sample.size());
  for (size_t a = 0; a < anchors; ++a) {
    const StartEvidence::File* f = sample[a];
    uint64_t off = uint64_t(f->extents[0].startBlock) * spb;
    // Start by start, the file's first block moves through the device in order: the
    // window serves the reads.
    for (size_t i = 0; i < count; ++i) {
      if (i % (kPollEvery * 8) == 0 && Progress(0) != 0) {
        *stopped = 1;
        return out;
      }
      uint32_t got = 0;
      const uint8_t* p = View(range.first + i * range.stride + off, kraw::kHeadBytes / 512, &got);
      if (!p) break;
      if (m_probe->Begins(f->type, p, size_t(got) * 512)) ++hits[i];
    }
  }
  size_t need = anchors >= 2 ? 2 : 1;
  std::vector<std::pair<uint8_t, uint64_t>> standing;
  for (size_t i = 0; i < count; ++i)
    if (hits[i] >= need) standing.push_back({hits[i], range.first + i * range.stride});
  std::stable_sort(standing.begin(), standing.end(),
                   [](const std::pair<uint8_t, uint64_t>& x, const std::pair<uint8_t, uint64_t>& y) {
                     return x.first > y.first;
                   });
  for (size_t i = 0; i < standing.size() && i < kMaxSurvivors; ++i) out.push_back(standing[i].second);
  return out;
}

std::vector<uint64_t> CHfspFormat::UncoveredStarts(const StartEvidence& ev, const StartRange& range,
                                                   size_t most) {
  std::vector<uint64_t> out;
  const uint64_t spb = ev.sectorsPerBlock;
  const int64_t stride = int64_t(range.stride);
  const int64_t count = int64_t((range.last - range.first) / range.stride + 1);
  const std::vector<uint64_t> headers = HeaderNodes(ev);
  // A file's extent covers a header node h under the starts in (h - its end, h - its
  // start]: marked on a difference array, so that every start costs one step.
  std::vector<int32_t> marks(size_t(count) + 1, 0);
  for (const StartEvidence::File& f : ev.files) {
    for (int e = 0; e < 8 && f.extents[e].blockCount; ++e) {
      int64_t from = int64_t(uint64_t(f.extents[e].startBlock) * spb);
      int64_t to = int64_t(uint64_t(f.extents[e].startBlock + uint64_t(f.extents[e].blockCount)) * spb);
      for (uint64_t h : headers) {
        int64_t lo = int64_t(h) - to + 1, hi = int64_t(h) - from;  // starts in [lo, hi]
        int64_t a = lo <= int64_t(range.first) ? 0 : (lo - int64_t(range.first) + stride - 1) / stride;
        if (hi < int64_t(range.first)) continue;
        int64_t b = std::min<int64_t>((hi - int64_t(range.first)) / stride, count - 1);
        if (a > b) continue;
        ++marks[size_t(a)];
        --marks[size_t(b) + 1];
      }
    }
  }
  int64_t covered = 0;
  for (int64_t i = 0; i < count && out.size() < most; ++i) {
    covered += marks[size_t(i)];
    uint64_t s = range.first + uint64_t(i) * range.stride;
    if (covered == 0 && StartAligned(s)) out.push_back(s);
  }
  return out;
}
