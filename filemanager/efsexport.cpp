#include "filemanager/efsexport.h"

#include <algorithm>
#include <cstring>

#include "common/inc/bytes.h"
#include "common/inc/kestrum_types.h"
#include "filemanager/fileinfo.h"

namespace {

const uint32_t kBlockDataBytes = 65536;
const uint32_t kBlockHeaderBytes = 512;
const char16_t kStreamName[] = u"::$DATA";
const uint32_t kStreamNameBytes = 14;

void PutMarker(uint8_t* p, const char* ascii4) {
  for (int i = 0; i < 4; ++i) kbytes::PutLe16(p + 2 * i, uint16_t(ascii4[i]));
}

}  // namespace

NtfsEncryptedFile::NtfsEncryptedFile(uint64_t metadataSize, IEfsByteSource* metadata, uint64_t dataSize,
                                     IEfsByteSource* data)
    : m_metaSize(metadataSize),
      m_meta(metadata),
      m_dataSize(dataSize),
      m_data(data),
      m_phase(kHeader),
      m_headerPos(0),
      m_metaPos(0),
      m_dataPos(0),
      m_blockLen(0),
      m_blockPad(0),
      m_blockPos(0),
      m_blocks(0) {
  m_header.assign(66, 0);
  uint8_t* h = m_header.data();
  kbytes::PutLe32(h + 0, 256);
  PutMarker(h + 4, "ROBS");
  kbytes::PutLe32(h + 20, 30);
  PutMarker(h + 24, "NTFS");
  kbytes::PutLe32(h + 44, 2);
  h[48] = 16;
  h[49] = 25;
  kbytes::PutLe32(h + 50, uint32_t(metadataSize + 16));
  PutMarker(h + 54, "GURE");
}

// Moves to the next section once the current one is handed out; false at the end.
bool NtfsEncryptedFile::Advance() {
  for (;;) {
    switch (m_phase) {
      case kHeader:
        if (m_headerPos < m_header.size()) return true;
        m_phase = kMetadata;
        break;
      case kMetadata:
        if (m_metaPos < m_metaSize) return true;
        m_phase = kBlockHeader;
        m_header.clear();
        break;
      case kBlockHeader: {
        if (!m_header.empty() && m_headerPos < m_header.size()) return true;
        if (!m_header.empty()) {
          m_phase = kBlockData;
          break;
        }
        if (m_dataPos >= m_dataSize) {
          m_phase = kDone;
          return false;
        }
        uint64_t rest = m_dataSize - m_dataPos;
        uint32_t L = uint32_t(std::min<uint64_t>(rest, kBlockDataBytes));
        uint32_t D = rest >= kBlockDataBytes ? kBlockDataBytes : (L + 511u) / 512u * 512u;
        m_header.assign(kBlockHeaderBytes, 0);
        uint8_t* h = m_header.data();
        uint8_t* desc;
        uint16_t dataOffset;
        if (m_blocks == 0) {
          const uint32_t n = kStreamNameBytes;
          kbytes::PutLe32(h + 0, 28 + n);
          PutMarker(h + 4, "NTFS");
          kbytes::PutLe32(h + 24, n);
          for (uint32_t i = 0; i < n / 2; ++i) kbytes::PutLe16(h + 28 + 2 * i, uint16_t(kStreamName[i]));
          kbytes::PutLe32(h + 28 + n, D + 484 - n);
          PutMarker(h + 32 + n, "GURE");
          desc = h + 44 + n;
          dataOffset = uint16_t(468 - n);
        } else {
          kbytes::PutLe32(h + 0, D + kBlockHeaderBytes);
          PutMarker(h + 4, "GURE");
          desc = h + 16;
          dataOffset = 496;
        }
        kbytes::PutLe16(desc + 2, uint16_t(m_blocks));
        kbytes::PutLe16(desc + 8, dataOffset);
        kbytes::PutLe32(desc + 12, L);
        kbytes::PutLe32(desc + 16, L);
        kbytes::PutLe16(desc + 22, 0x0D0D);
        kbytes::PutLe32(desc + 24, 0x1010C);
        kbytes::PutLe32(desc + 28, D);
        m_headerPos = 0;
        m_blockLen = L;
        m_blockPad = D - L;
        m_blockPos = 0;
        return true;
      }
      case kBlockData:
        if (m_blockPos < m_blockLen) return true;
        m_phase = kBlockPad;
        break;
      case kBlockPad:
        if (m_blockPos < m_blockLen + m_blockPad) return true;
        m_dataPos += m_blockLen;
        ++m_blocks;
        m_header.clear();
        m_phase = kBlockHeader;
        break;
      case kDone:
        return false;
    }
  }
}

int NtfsEncryptedFile::Pull(uint8_t* out, uint32_t* len) {
  if (!out || !len) return 13;
  // The header records the metadata size + 16 in 32 bits; a larger stream cannot be described.
  if (m_metaSize > 0xFFFFFFFFull - 16) return -1;
  uint32_t want = *len;
  uint32_t done = 0;
  while (done < want && Advance()) {
    uint32_t room = want - done;
    switch (m_phase) {
      case kHeader:
      case kBlockHeader: {
        uint32_t n = uint32_t(std::min<size_t>(room, m_header.size() - m_headerPos));
        memcpy(out + done, m_header.data() + m_headerPos, n);
        m_headerPos += n;
        done += n;
        break;
      }
      case kMetadata: {
        uint32_t n = uint32_t(std::min<uint64_t>(room, m_metaSize - m_metaPos));
        if (!m_meta || m_meta->ReadAt(m_metaPos, out + done, n) != 0) return -1;
        m_metaPos += n;
        done += n;
        break;
      }
      case kBlockData: {
        uint32_t n = std::min(room, m_blockLen - m_blockPos);
        if (!m_data || m_data->ReadAt(m_dataPos + m_blockPos, out + done, n) != 0) return -1;
        m_blockPos += n;
        done += n;
        break;
      }
      case kBlockPad: {
        uint32_t n = std::min(room, m_blockLen + m_blockPad - m_blockPos);
        memset(out + done, 0, n);
        m_blockPos += n;
        done += n;
        break;
      }
      case kDone:
        break;
    }
  }
  *len = done;
  return 0;
}

int NtfsEncryptedFile::Export(CEncRunList* runs, const char16_t* target) {
  if (!runs || !target || !runs->m_first || !runs->m_second) return -1;
  return RC_NOT_SUPPORTED;
}
