#include "rawrecovery/fileanalyser/matanalyser.h"

#include <cstring>

#include "common/inc/bytes.h"

CMatAnalyser::CMatAnalyser() : CSignatureAnalyser(44), m_next(0), m_js(), m_clusterSize(0) {}


int CMatAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  if (cb.cluster_size < 512 || std::memcmp(d, "MATLAB 5.0 MAT-file", 19) != 0) return AS_NONE;
  m_clusterSize = cb.cluster_size;
  // The first data element's tag follows the 128-byte header: its type and byte count.
  uint32_t type = 0, bytes = 0;
  const kbytes::ByteView h(d, size_t(cb.cluster_size));
  m_next = h.Le32(128, &type) && h.Le32(132, &bytes) && type >= 1 && type <= 15 ? int64_t(bytes) + 136 : 0;
  m_js.reset(new JointSearch(cb.cluster_size));
  return Begin(cb, AS_HEADER, 0);
}

int CMatAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  if (!m_js) return AS_NONE;
  m_js->Feed(cb);
  if (m_next <= 0) return AS_NONE;
  const int64_t count = m_size;
  const uint8_t* end = m_js->GetStart() + m_js->Size();
  while (count - m_next >= 9) {
    if (count - m_next > m_js->Size()) {
      m_next = 0;  // the element lies before the bytes held: the walk cannot go on
      return AS_NONE;
    }
    const kbytes::ByteView tag(end - (count - m_next), size_t(count - m_next));
    uint32_t type = 0, bytes = 0;
    if (!tag.Le32(0, &type) || !tag.Le32(4, &bytes)) return AS_NONE;
    if (type < 1 || type > 15) {
      m_size = m_next;
      m_state = AS_COMPLETE;
      m_endProven = true;
      return AS_COMPLETE;
    }
    m_next += 8 + int64_t(bytes);
  }
  return AS_NONE;
}
