#include "rawrecovery/fileanalyser/tiffanalyser.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/kestrum_types.h"

namespace {

const int kSubDataTags[] = {330, 347, 33421, 33423, 33723, 34675, 34857, 34858, 34859, 37389, 37393, 37394, 37395, 37398};

bool IsDngTag(int t) {
  return (t >= 50706 && t <= 50741) || t == 50778 || t == 50779 || t == 50781 || (t >= 50828 && t <= 50834) ||
         t == 50879 || (t >= 50931 && t <= 50942) || (t >= 50964 && t <= 50972) || t == 50981 || t == 50982 ||
         t == 51008 || t == 51009;
}

int TypeSize(int type) {
  switch (type) {
    case 3: case 8: return 2;
    case 4: case 9: case 11: case 13: return 4;  // 13: an IFD offset (SubIFDs, Exif)
    case 5: case 10: case 12: return 8;
    default: return 1;
  }
}

int64_t ValueBytes(const CTiffAnalyser::Entry& e) { return int64_t(TypeSize(e.type)) * e.count; }

const char* const kTiffRows[] = {"tif", "nef", "orf", "cr2", "dcr", "mrw", "sr2", "arw", "erf", "raf"};

struct FlagExt {
  unsigned flag;
  const char* ext;
};
const FlagExt kFlagExts[] = {{0x1, "nef"},  {0x2, "orf"},   {0x4, "cr2"},   {0x80, "dcr"},
                             {0x40, "mrw"}, {0x20, "sr2"},  {0x10, "raf"},  {0x100, "erf"},
                             {0x8, "raw"},  {0x400, "arw"}, {0x200, "dng"}};

const int kMaxMakerBytes = 64;
const uint32_t kMaxTableEntries = 1u << 20;
// Bounds the steps taken for one cluster; the visited set already stops directory cycles.
const int kMaxStepsPerWalk = 4096;

}  // namespace

CTiffAnalyser::CTiffAnalyser()
    : CSignatureAnalyser(5), m_be(0), m_ifd(0), m_left(0), m_maxIfdEnd(0), m_sub(false), m_flags(0), m_count(0),
      m_held(0), m_queue(), m_entries(), m_pending(), m_visited(), m_cf(), m_ext() {}


bool CTiffAnalyser::U16(const kbytes::ByteView& v, size_t off, uint16_t* out) const {
  return m_be ? v.Be16(off, out) : v.Le16(off, out);
}
bool CTiffAnalyser::U32(const kbytes::ByteView& v, size_t off, uint32_t* out) const {
  return m_be ? v.Be32(off, out) : v.Le32(off, out);
}

bool CTiffAnalyser::Parse(const kbytes::ByteView& v, size_t off, Entry* e) const {
  return U16(v, off, &e->tag) && U16(v, off + 2, &e->type) && U32(v, off + 4, &e->count) &&
         U32(v, off + 8, &e->value) && v.Bytes(off + 8, e->raw, 4);
}

int CTiffAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  if (cb.cluster_size < 512) return AS_NONE;
  int be;
  unsigned flags = 0;
  if (std::memcmp(d, "II*\0", 4) == 0) be = 0;
  else if (std::memcmp(d, "MM\0*", 4) == 0) be = 1;
  else if (std::memcmp(d, "IIRS", 4) == 0 || std::memcmp(d, "IIRO", 4) == 0) be = 0, flags = 0x2;
  else if (std::memcmp(d, "IIU\0", 4) == 0) be = 0, flags = 0x8;
  else return AS_NONE;
  uint32_t first = 0;
  if (!(be ? kbytes::ReadBe32 : kbytes::ReadLe32)(d, size_t(cb.cluster_size), 4, &first)) return AS_NONE;
  if (int32_t(first) < 0 || int64_t(first) > TableMaxSize("tif")) return AS_NONE;
  m_be = be;
  m_flags = flags;
  m_cf.reset(new ClusterFile(cb.cluster_size));
  m_ifd = first;
  m_left = 0;
  m_maxIfdEnd = 0;
  m_sub = false;
  m_count = 0;
  m_held = 0;
  m_queue.clear();
  m_entries.clear();
  m_pending.clear();
  m_visited.clear();
  m_visited.insert(m_ifd);
  return Begin(cb, AS_HEADER, 0);
}

void CTiffAnalyser::SetIfd(int64_t off) {
  // A directory already walked ends the chain: a cyclic next pointer cannot hold the walk.
  if (off <= 0 || !m_visited.insert(off).second) off = 0;
  m_ifd = off;
  m_left = 0;
}

int CTiffAnalyser::ReadAt(int64_t off, void* dst, int len) {
  if (!m_cf || off < 0 || len <= 0 || off >= m_held) return 0;
  int n = int(std::min<int64_t>(len, m_held - off));
  if (m_cf->Seek(m_start + off) < 0) return 0;
  return m_cf->Read(dst, unsigned(n)) < 0 ? 0 : n;
}

int CTiffAnalyser::ReadOffsets(const Entry& e, std::vector<int64_t>* out) {
  int ts = TypeSize(e.type);
  if (int64_t(e.value) > TableMaxSize("tif") || (ts != 2 && ts != 4)) return 1;
  // Large images have thousands of strips or tiles; skipping such a table would size the
  // file by its other pages or not at all. The cap only bounds what one table may allocate.
  if (e.count > kMaxTableEntries) return 1;
  int64_t bytes = ValueBytes(e);
  std::vector<uint8_t> v;
  if (bytes <= 4) {
    v.assign(e.raw, e.raw + 4);
  } else {
    if (bytes > m_held - int64_t(e.value)) return 0;  // not all held yet: asked again later
    v.resize(size_t(bytes));
    if (ReadAt(e.value, v.data(), int(bytes)) != int(bytes)) return 0;
  }
  const kbytes::ByteView table(v.data(), v.size());
  for (uint32_t i = 0; i < e.count; ++i) {
    uint16_t s;
    uint32_t l;
    if (ts == 2 ? !U16(table, size_t(i) * 2, &s) : !U32(table, size_t(i) * 4, &l)) break;
    out->push_back(ts == 2 ? int64_t(s) : int64_t(l));
  }
  return 1;
}

void CTiffAnalyser::MakerTest(const Entry& e) {
  int ts = TypeSize(e.type);
  if (ts != 1 && e.count > 32) return;
  // A huge count on a text value reads no more than a maker name needs.
  int len = int(std::min<int64_t>(ValueBytes(e), kMaxMakerBytes));
  char text[kMaxMakerBytes + 1] = {};
  if (len <= 4) {
    std::memcpy(text, e.raw, size_t(len));
  } else if (ReadAt(e.value, text, len) != len) {
    return;
  }
  for (int i = 0; i < len; ++i) text[i] = char(std::toupper(static_cast<unsigned char>(text[i])));
  std::string s(text, size_t(len));
  static const struct {
    const char* name;
    unsigned flag;
  } kMakers[] = {{"NIKON", 0x1}, {"CANON", 0x4},    {"PANASONIC", 0x8}, {"FUJI", 0x10},
                 {"SONY", 0x420}, {"MINOLTA", 0x40}, {"KODAK", 0x80},    {"EPSON", 0x100}};
  for (const auto& m : kMakers) {
    if (s.find(m.name) != std::string::npos) {
      m_flags |= m.flag;
      return;
    }
  }
}

int CTiffAnalyser::ComputeSize() {
  int64_t align = 1, valuesEnd = 0;
  std::vector<int64_t> offsets, counts, thumbAt, thumbLen;
  for (const Entry& e : m_entries) {
    // A table not held yet is waited for: sizing the file without it would cut it short.
    if (e.tag == 273 || e.tag == 324) {
      if (!ReadOffsets(e, &offsets)) return AS_NONE;
    } else if (e.tag == 279 || e.tag == 325) {
      if (!ReadOffsets(e, &counts)) return AS_NONE;
    } else if (e.tag == 513 || e.tag == 514) {
      // The JPEG preview of IFD1 and of raw files is addressed by offset and length, not
      // by a strip table, and often lies last in the file.
      if (ValueBytes(e) <= 4 && int64_t(e.value) <= TableMaxSize("tif"))
        (e.tag == 513 ? thumbAt : thumbLen).push_back(e.value);
    } else if (e.tag == 278) {
      if (e.value >= 1 && e.value <= 1023) align = e.value;
    } else if (e.tag == 271 || e.tag == 272) {
      MakerTest(e);
    } else if (ValueBytes(e) > 4) {
      valuesEnd = std::max(valuesEnd, int64_t(e.value) + ValueBytes(e));
    }
  }
  if (offsets.empty() || counts.empty() || offsets.size() != counts.size()) return AS_GIVEN_UP;
  int64_t dataEnd = 0;
  for (size_t i = 0; i < offsets.size(); ++i) dataEnd = std::max(dataEnd, offsets[i] + counts[i]);
  dataEnd = (dataEnd + align - 1) / align * align;
  for (size_t i = 0; i < thumbAt.size() && i < thumbLen.size(); ++i) valuesEnd = std::max(valuesEnd, thumbAt[i] + thumbLen[i]);
  m_size = std::max(std::max(dataEnd, valuesEnd), m_maxIfdEnd);
  m_endProven = true;
  return AS_COMPLETE;
}

void CTiffAnalyser::TakeEntries(const kbytes::ByteView& v, int n) {
  for (int k = 0; k < n; ++k) {
    Entry e;
    if (!Parse(v, size_t(12 * k), &e)) break;
    if (int32_t(e.count) < 0 || !(ValueBytes(e) <= 4 || int32_t(e.value) >= 0)) continue;
    if (IsDngTag(e.tag)) {
      m_flags |= 0x200;
    } else {
      for (int t : kSubDataTags)
        if (e.tag == t) m_sub = true;
    }
    if (e.tag == 330 || e.tag == 34665) m_pending.push_back(e);
    m_entries.push_back(e);
  }
}

int CTiffAnalyser::Continue(const ClusterBuf& cb) {
  m_count += cb.cluster_size;
  bool all = true;
  for (const char* r : kTiffRows) all = all && m_count >= TableMaxSize(r);
  if (all) {
    m_size = m_count;
    m_state = AS_COMPLETE;
    m_endProven = false;
    return AS_COMPLETE;
  }
  if (!m_cf || !m_cf->Append(cb)) return AS_NONE;
  m_held = ClusterByteOffset(cb) + cb.cluster_size - m_start;
  return Walk();
}

// The walk goes on as far as the clusters held allow: one step per cluster would leave the
// last directories of a file unread when the next file's head follows at once.
int CTiffAnalyser::Walk() {
  for (int i = 0; i < kMaxStepsPerWalk; ++i) {
    const int64_t ifd = m_ifd;
    const int left = m_left;
    const size_t queued = m_queue.size(), pending = m_pending.size(), entries = m_entries.size();
    int r = Step();
    if (r != AS_NONE) return r;
    if (ifd == m_ifd && left == m_left && queued == m_queue.size() && pending == m_pending.size() &&
        entries == m_entries.size())
      break;  // waiting for clusters not held yet
  }
  return AS_NONE;
}

int CTiffAnalyser::Step() {
  if (m_ifd <= 0) {
    for (auto it = m_pending.begin(); it != m_pending.end();) {
      std::vector<int64_t> offs;
      if (!ReadOffsets(*it, &offs)) {
        ++it;
        continue;
      }
      for (int64_t o : offs) m_queue.push_back(uint32_t(o));
      it = m_pending.erase(it);
    }
    while (!m_queue.empty() && (m_queue.back() == 0 || m_visited.count(m_queue.back()))) m_queue.pop_back();
    if (m_queue.empty()) {
      if (!m_pending.empty()) return AS_NONE;
      int r = ComputeSize();
      if (r == AS_NONE) return AS_NONE;
      m_state = r;
      return r;
    }
    m_sub = true;
    SetIfd(m_queue.back());
    m_queue.pop_back();
    return AS_NONE;
  }
  if (m_ifd >= m_held) return AS_NONE;
  if (m_left == 0) {
    uint8_t c[2];
    uint16_t entries;
    if (ReadAt(m_ifd, c, 2) != 2 || !U16(kbytes::ByteView(c, 2), 0, &entries)) return AS_NONE;
    int16_t count = int16_t(entries);
    if (count < 1 || count > 64) {
      m_size = m_count;
      m_state = AS_COMPLETE;
      m_endProven = false;
      return AS_COMPLETE;
    }
    m_ifd += 2;
    m_left = count;
    return AS_NONE;
  }
  const int L = 12 * m_left;
  const int64_t ifdEnd = m_ifd + L + 4;
  uint8_t block[12 * 64 + 4];
  int got = ReadAt(m_ifd, block, L + 4);
  if (got <= 0) {
    m_state = AS_GIVEN_UP;
    return AS_GIVEN_UP;
  }
  // The end is taken after the entries, so a directory that itself sets the sub-data flag
  // counts the two bytes too.
  struct EndUpdate {
    int64_t end;
    int64_t* max;
    bool* sub;
    ~EndUpdate() { *max = std::max(*max, end + (*sub ? 2 : 0)); }
  } update{ifdEnd, &m_maxIfdEnd, &m_sub};
  int whole = std::min(got, L) / 12;
  const kbytes::ByteView held(block, size_t(got));
  if (got == L + 4) {
    TakeEntries(held, whole);
    uint32_t next = 0;
    SetIfd(U32(held, size_t(L), &next) ? next : 0);
  } else if (whole == m_left) {
    // The next pointer is not held yet: the last entry is read again with it.
    TakeEntries(held, whole - 1);
    m_ifd += 12 * int64_t(whole - 1);
    m_left = 1;
  } else {
    TakeEntries(held, whole);
    m_ifd += 12 * int64_t(whole);
    m_left -= whole;
  }
  return AS_NONE;
}

int CTiffAnalyser::OnNewHeader(const FileHint&, const ClusterBuf&) {
  if (m_state != AS_COMPLETE && m_state != AS_GIVEN_UP) Walk();
  if (ComputeSize() != AS_COMPLETE) {
    m_size = m_count;
    m_endProven = false;
  }
  m_state = AS_COMPLETE;
  return AS_COMPLETE;
}

const char* CTiffAnalyser::GetExtension() {
  if (m_flags == 0) return "tif";
  m_ext[0] = 0;
  for (const FlagExt& f : kFlagExts) {
    if (!(m_flags & f.flag)) continue;
    if (m_ext[0]) std::strcat(m_ext, "/");
    std::strcat(m_ext, f.ext);
  }
  return m_ext;
}

int64_t CTiffAnalyser::GetSizeForExtension(const char* ext) {
  ZQ_ASSERT(ext);
  if (!ext) return 0;
  int64_t v = m_state == AS_ENDED ? m_end - m_start : m_state == AS_COMPLETE ? m_size : 0;
  const FileHint* row = TableRow(ext);
  if (!row) return 0;
  if (!std::strcmp(ext, "tif") || !std::strcmp(ext, "dng")) return LimitSize(*row, v);
  static const char* const kRaw[] = {"orf", "nef", "cr2", "crw", "dcr", "mrw", "sr2", "arw", "raf", "erf", "raw"};
  for (const char* r : kRaw)
    if (!std::strcmp(ext, r)) return v > 0 ? row->CheckSize(v + 81920) : 0;
  return 0;
}
