#include "rawrecovery/fileanalyser/asfanalyser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "common/inc/bytes.h"
#include "common/inc/kestrum_types.h"

namespace {

const uint8_t kAsfHeader[16] = {0x30, 0x26, 0xb2, 0x75, 0x8e, 0x66, 0xcf, 0x11,
                                0xa6, 0xd9, 0x00, 0xaa, 0x00, 0x62, 0xce, 0x6c};
const uint8_t kAsfFileProps[16] = {0xa1, 0xdc, 0xab, 0x8c, 0x47, 0xa9, 0xcf, 0x11,
                                   0x8e, 0xe4, 0x00, 0xc0, 0x0c, 0x20, 0x53, 0x65};
const uint8_t kAsfStreamProps[16] = {0x91, 0x07, 0xdc, 0xb7, 0xb7, 0xa9, 0xcf, 0x11,
                                     0x8e, 0xe6, 0x00, 0xc0, 0x0c, 0x20, 0x53, 0x65};
const uint8_t kAsfAudio[16] = {0x40, 0x9e, 0x69, 0xf8, 0x4d, 0x5b, 0xcf, 0x11,
                               0xa8, 0xfd, 0x00, 0x80, 0x5f, 0x5c, 0x44, 0x2b};
const uint8_t kAsfVideo[16] = {0xc0, 0xef, 0x19, 0xbc, 0x4d, 0x5b, 0xcf, 0x11,
                               0xa8, 0xfd, 0x00, 0x80, 0x5f, 0x5c, 0x44, 0x2b};

}  // namespace

CAsfAnalyser::CAsfAnalyser() : CSignatureAnalyser(20), m_headerObj(), m_objSize(0), m_header(), m_examined(false),
                               m_extText() {}


int CAsfAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  ZQ_ASSERT(cb.cluster_size > int(sizeof(m_headerObj)));
  if (cb.cluster_size < 512 || std::memcmp(d, kAsfHeader, 16) != 0) return AS_NONE;
  uint64_t size = 0;
  if (!kbytes::ReadLe64(d, size_t(cb.cluster_size), 16, &size)) return AS_NONE;
  if (size < 30 || size > 0x100000 || d[28] != 1 || d[29] != 2) return AS_NONE;
  std::memcpy(m_headerObj, d, 30);
  m_objSize = int64_t(size);
  int64_t cs = cb.cluster_size;
  m_header.assign(size_t((m_objSize + cs - 1) / cs * cs), 0);
  m_examined = false;
  m_extText[0] = 0;
  return Begin(cb, AS_HEADER, 0);
}

int CAsfAnalyser::Examine() {
  const uint8_t* h = m_header.data();
  const int64_t n = m_objSize;
  const uint8_t* fp = FindBytes(h, size_t(n), kAsfFileProps, 16);
  if (!fp) return AS_NONE;
  int64_t at = fp - h;
  // The object must lie inside the header before any of its fields is read.
  if (n - at < 48) return AS_NONE;
  const kbytes::ByteView props(fp, size_t(n - at));
  uint64_t objSize = 0, fileSize = 0;
  if (!props.Le64(16, &objSize) || !props.Le64(40, &fileSize)) return AS_NONE;
  if (objSize < 48 || objSize > uint64_t(n - at)) return AS_NONE;
  int64_t size = fileSize > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                           : int64_t(fileSize);
  bool audio = false, video = false, other = false;
  int64_t from = at;
  while (from < n) {
    const uint8_t* sp = FindBytes(h + from, size_t(n - from), kAsfStreamProps, 16);
    if (!sp) break;
    int64_t pos = sp - h;
    int64_t step = 24;
    uint64_t s = 0;
    if (n - pos >= 40 && kbytes::ReadLe64(sp, size_t(n - pos), 16, &s)) {
      if (s >= 40 && s <= uint64_t(n - pos)) {
        if (!std::memcmp(sp + 24, kAsfAudio, 16)) audio = true;
        else if (!std::memcmp(sp + 24, kAsfVideo, 16)) video = true;
        else other = true;
        step = int64_t(s);
      }
    }
    // Each step is at least an object header long, so zero-size objects cannot stall it.
    from = pos + std::max<int64_t>(step, 24);
  }
  const char* ext = other ? "asf" : video ? "wmv/asf" : audio ? "wma/asf" : "asf/wmv/wma";
  std::snprintf(m_extText, sizeof m_extText, "%s", ext);
  m_size = size;
  m_state = AS_COMPLETE;
  m_endProven = size > 0;  // the file properties give the whole file's length
  return AS_COMPLETE;
}

int CAsfAnalyser::Continue(const ClusterBuf& cb) {
  m_size += cb.cluster_size;
  if (ReachedAllMaxSizes(m_size, {"asf", "wma", "wmv"})) {
    m_state = AS_COMPLETE;
    return AS_COMPLETE;
  }
  const int64_t len = int64_t(m_header.size());
  if (m_size <= len) {
    int64_t at = m_size - cb.cluster_size;
    std::memcpy(&m_header[size_t(at)], cb.GetData(), size_t(std::min<int64_t>(cb.cluster_size, len - at)));
    return AS_NONE;
  }
  if (m_examined) return AS_NONE;
  m_examined = true;  // a header without file properties is not searched again per cluster
  return Examine();
}

const char* CAsfAnalyser::GetExtension() { return m_extText[0] ? m_extText : "asf/wma/wmv"; }

int64_t CAsfAnalyser::GetSizeForExtension(const char* ext) { return SizeForTypeRows(ext); }
