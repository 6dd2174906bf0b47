#include "rawrecovery/fileanalyser/docanalyser.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/kestrum_types.h"
#include "common/layout/ole_header.h"

namespace {

const uint8_t kOleMagic[8] = {0xd0, 0xcf, 0x11, 0xe0, 0xa1, 0xb1, 0x1a, 0xe1};
const uint32_t kFree = 0xffffffffu;

}  // namespace

CDocAnalyser::CDocAnalyser()
    : CSignatureAnalyser(2), m_cf(), m_clusterSize(0), m_pOleHeader(), m_sectorSize(512), m_nextDifat(-2),
      m_difatLeft(0), m_difatSeen(), m_difat(), m_fat(), m_fatComplete(false), m_held(0), m_ext(nullptr) {}


int CDocAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  const size_t kHeader = sizeof(layout::raw::OLE_HEADER);
  if (cb.cluster_size < int(kHeader) || std::memcmp(d, kOleMagic, 8) != 0) return AS_NONE;
  const kbytes::ByteView h(d, kHeader);
  uint16_t bom, shift;
  uint32_t difat, difatCount, entry;
  if (!h.Le16(28, &bom) || !h.Le16(30, &shift) || !h.Le32(68, &difat) || !h.Le32(72, &difatCount) ||
      !h.Le32(76, &entry))
    return AS_NONE;
  const int32_t firstDifat = int32_t(difat), firstEntry = int32_t(entry);
  if (bom != 0xfffe || shift < 7 || shift > 12 || firstDifat < -2 || firstEntry < 0) return AS_NONE;
  m_pOleHeader.assign(d, d + kHeader);
  m_sectorSize = 1 << shift;
  m_clusterSize = cb.cluster_size;
  m_cf.reset(new ClusterFile(cb.cluster_size));
  m_nextDifat = firstDifat;
  // A DIFAT chain can need no more sectors than a file of the largest compound-document
  // size has FAT sectors to list; a header claiming more cannot be believed.
  const int64_t per = m_sectorSize / 4;
  int64_t fatSectors = TableMaxSize("ppt") / m_sectorSize / per + 1;
  int64_t maxDifat = fatSectors > 109 ? (fatSectors - 109) / (per - 1) + 1 : 0;
  m_difatLeft = uint32_t(std::min<int64_t>(difatCount, maxDifat));
  m_difatSeen.clear();
  m_difat.clear();
  // The header's own 109 DIFAT entries fill it to its 512th byte.
  for (uint32_t v, at = 76; h.Le32(at, &v); at += 4) m_difat.push_back(v);
  m_fat.clear();
  m_fatComplete = false;
  m_held = 0;
  m_ext = nullptr;
  return Begin(cb, AS_HEADER, 0);
}

int CDocAnalyser::ReadSector(int64_t n, uint8_t* buf, int len) {
  if (m_pOleHeader.empty() || !buf || n < 0 || len < m_sectorSize || !m_cf) return -1;
  int64_t off = HeaderBytes() + n * m_sectorSize;
  if (off >= m_held) return 0;
  int k = int(std::min<int64_t>(m_sectorSize, m_held - off));
  if (m_cf->Seek(m_start + off) < 0) return 0;
  return m_cf->Read(buf, unsigned(k)) < 0 ? 0 : k;
}

int CDocAnalyser::BuildFat() {
  m_fat.clear();
  m_fatComplete = true;
  std::vector<uint8_t> sec(static_cast<size_t>(m_sectorSize));
  const int per = m_sectorSize / 4;
  for (uint32_t s : m_difat) {
    if (int32_t(s) < 0) break;
    if (ReadSector(s, sec.data(), m_sectorSize) == m_sectorSize) {
      for (uint32_t v, at = 0; kbytes::ReadLe32(sec.data(), sec.size(), at, &v); at += 4) m_fat.push_back(v);
    } else {
      m_fatComplete = false;
      m_fat.insert(m_fat.end(), size_t(per), 0xfffffffeu);
    }
  }
  while (!m_fat.empty() && m_fat.back() == kFree) m_fat.pop_back();
  m_size = int64_t(m_fat.size()) * m_sectorSize + HeaderBytes();
  // Sized from every one of its own FAT sectors: the file is whole.
  m_endProven = m_fatComplete && !m_fat.empty();
  return AS_COMPLETE;
}

int CDocAnalyser::Continue(const ClusterBuf& cb) {
  ZQ_ASSERT(!m_pOleHeader.empty());
  if (m_pOleHeader.empty()) return AS_NONE;
  m_size += cb.cluster_size;
  const int64_t count = m_size;
  if (ReachedAllMaxSizes(count, {"doc", "ppt", "xls"})) {
    m_state = BuildFat();
    m_endProven = false;  // sized at the limit, not by its own end
    return m_state;
  }
  if (!m_cf->Append(cb)) return AS_NONE;
  m_held = ClusterByteOffset(cb) + cb.cluster_size - m_start;
  if (m_nextDifat * m_sectorSize > count) return AS_NONE;
  std::vector<uint8_t> sec(static_cast<size_t>(m_sectorSize));
  while (m_difatLeft > 0) {
    // A DIFAT sector seen before ends the chain rather than walking it again.
    if (m_nextDifat < 0 ||
        std::find(m_difatSeen.begin(), m_difatSeen.end(), m_nextDifat) != m_difatSeen.end()) {
      m_difatLeft = 0;
      m_nextDifat = 0;
      break;
    }
    if (ReadSector(m_nextDifat, sec.data(), m_sectorSize) != m_sectorSize) return AS_NONE;
    m_difatSeen.push_back(m_nextDifat);
    for (uint32_t v, at = 0; kbytes::ReadLe32(sec.data(), sec.size(), at, &v); at += 4) m_difat.push_back(v);
    if (--m_difatLeft > 0) {
      int32_t next = int32_t(m_difat.back());
      m_difat.pop_back();
      if (next > 0) {
        m_nextDifat = next;
        return AS_NONE;
      }
      m_difatLeft = 0;
      m_nextDifat = 0;
    }
  }
  while (!m_difat.empty() && m_difat.back() == kFree) m_difat.pop_back();
  if (count < int64_t(m_difat.size()) * m_sectorSize * m_sectorSize) return AS_NONE;
  m_state = BuildFat();
  return m_state;
}

int CDocAnalyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  if (other.TypeId == 3) return AS_NONE;
  if (other.TypeId == 39 || other.TypeId == 15 || other.TypeId == 20 || other.TypeId == 18) return AS_ABSORB;
  BuildFat();
  int64_t at = ClusterByteOffset(cb);
  // When every FAT sector was seen the size is known; a file that ends before the next
  // head is not carved with the bytes that lie between.
  if (m_fatComplete && !m_fat.empty() && m_size > 0 && m_size <= at - m_start) {
    m_state = AS_COMPLETE;
    return AS_COMPLETE;
  }
  m_endProven = false;
  return EndAt(at);
}

const char* CDocAnalyser::GetExtension() {
  if (m_ext) return m_ext;
  if (m_pOleHeader.empty()) return "doc/xls/ppt/vsd/msg";
  static const struct {
    const char16_t* name;
    int bytes;
    const char* ext;
  } kNames[] = {{u"Workbook", 16, "xls"},
                {u"PowerPoint", 20, "ppt"},
                {u"WordDocument", 24, "doc"},
                {u"VisioDocument", 26, "vsd"},
                {u"__nameid_version1.0", 38, "msg"}};
  std::vector<uint8_t> sec(static_cast<size_t>(m_sectorSize));
  uint32_t dirStart = kFree;
  kbytes::ReadLe32(m_pOleHeader.data(), m_pOleHeader.size(), 48, &dirStart);
  int64_t s = int32_t(dirStart);
  // Sector 0 is a valid place for the directory; the walk is capped so a FAT cycle ends.
  for (int walked = 0; walked < 100 && s >= 0 && s < int64_t(m_fat.size()); ++walked) {
    if (ReadSector(s, sec.data(), m_sectorSize) == m_sectorSize) {
      for (int e = 0; e + 128 <= m_sectorSize; e += 128) {
        for (const auto& k : kNames) {
          bool same = true;
          for (int i = 0; i < k.bytes / 2 && same; ++i) {
            uint16_t c;
            same = kbytes::ReadLe16(sec.data(), sec.size(), size_t(e + 2 * i), &c) && c == uint16_t(k.name[i]);
          }
          if (same) {
            m_ext = k.ext;
            return m_ext;
          }
        }
      }
    }
    s = int32_t(m_fat[size_t(s)]);
  }
  return "doc/xls/ppt/vsd/msg";
}

int64_t CDocAnalyser::GetSizeForExtension(const char* ext) { return SizeForTypeRows(ext); }
