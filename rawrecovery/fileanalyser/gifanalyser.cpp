#include "rawrecovery/fileanalyser/gifanalyser.h"

#include <algorithm>
#include <cstring>

CGifAnalyser::CGifAnalyser()
    : CSignatureAnalyser(4), m_phase(kBlock), m_afterSkip(kBlock), m_skip(0), m_descLeft(0), m_packed(0) {}


int CGifAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  if (cb.cluster_size < 13 || (std::memcmp(d, "GIF89a", 6) != 0 && std::memcmp(d, "GIF87a", 6) != 0))
    return AS_NONE;
  m_phase = kSkip;
  m_afterSkip = kBlock;
  // The signature, the screen descriptor and the global colour table when there is one.
  m_skip = 13;
  if (d[10] & 0x80) m_skip += 3 * (int64_t(2) << (d[10] & 7));
  m_descLeft = 0;
  return Begin(cb, AS_HEADER, 0);
}

int CGifAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  const uint8_t* d = cb.GetData();
  const int n = cb.cluster_size;
  const int64_t off = ClusterByteOffset(cb);
  int i = 0;
  while (i < n) {
    switch (m_phase) {
      case kSkip: {
        int64_t k = std::min<int64_t>(m_skip, n - i);
        i += int(k);
        m_skip -= k;
        if (m_skip == 0) m_phase = m_afterSkip;
        break;
      }
      case kBlock: {
        uint8_t c = d[i++];
        if (c == 0x3b) return Proven(EndAt(off + i));  // the trailer
        if (c == 0x21) m_phase = kLabel;
        else if (c == 0x2c) {
          m_phase = kDescriptor;
          m_descLeft = 9;
        }
        // any other byte between blocks is passed over
        break;
      }
      case kLabel: {
        uint8_t c = d[i];
        if (c == 0x01 || c == 0xf9 || c == 0xfe || c == 0xff) {
          ++i;
          m_phase = kSubLength;
        } else {
          m_phase = kBlock;  // an unknown label is looked at as a block byte
        }
        break;
      }
      case kDescriptor: {
        int k = std::min(m_descLeft, n - i);
        i += k;
        m_descLeft -= k;
        if (m_descLeft == 0) {
          m_packed = d[i - 1];
          if (m_packed & 0x80) {
            // The local colour table is skipped by count, so a table longer than what is
            // left of the cluster does not lose the walk's place.
            m_skip = 3 * (int64_t(2) << (m_packed & 7));
            m_phase = kSkip;
            m_afterSkip = kCodeSize;
          } else {
            m_phase = kCodeSize;
          }
        }
        break;
      }
      case kCodeSize:
        ++i;
        m_phase = kSubLength;
        break;
      case kSubLength: {
        uint8_t len = d[i++];
        if (len == 0) {
          m_phase = kBlock;
        } else {
          m_skip = len;
          m_phase = kSkip;
          m_afterSkip = kSubLength;
        }
        break;
      }
    }
  }
  return AS_NONE;
}
