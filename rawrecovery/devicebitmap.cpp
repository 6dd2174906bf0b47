#include "rawrecovery/devicebitmap.h"

#include <cstdlib>
#include <cstring>

#include "common/inc/kestrum_types.h"

DeviceBitmap::DeviceBitmap()
    : m_count(0), m_clusterSize(0), m_firstOffset(0), m_buffer(nullptr), m_bufferBytes(0) {}

DeviceBitmap::~DeviceBitmap() { std::free(m_buffer); }

void DeviceBitmap::Release() { delete this; }

static uint32_t BytesFor(uint32_t count) { return uint32_t((uint64_t(count) + 7) / 8); }

int DeviceBitmap::Init(int64_t volumeBytes, int64_t firstClusterOffset, int clusterSize) {
  ZQ_ASSERT(!m_buffer);
  if (m_buffer) return -1;
  if (clusterSize <= 0 || volumeBytes < 0) return -1;
  int64_t count = volumeBytes / clusterSize;
  if (count > int64_t(UINT32_MAX)) return -1;
  uint32_t bytes = BytesFor(uint32_t(count));
  uint8_t* buf = static_cast<uint8_t*>(std::calloc(bytes ? bytes : 1, 1));
  if (!buf) return -1;
  m_buffer = buf;
  m_bufferBytes = bytes;
  m_count = uint32_t(count);
  m_clusterSize = clusterSize;
  m_firstOffset = firstClusterOffset;
  return 0;
}

uint8_t* DeviceBitmap::GetBuffer(uint32_t* outBytes) {
  if (!outBytes) return nullptr;
  *outBytes = BytesFor(m_count);
  return m_buffer;
}

bool DeviceBitmap::SetBufferSize(uint32_t bytes) {
  if (bytes < BytesFor(m_count)) return false;
  uint8_t* buf = static_cast<uint8_t*>(std::calloc(bytes ? bytes : 1, 1));
  if (!buf) return false;
  std::free(m_buffer);
  m_buffer = buf;
  m_bufferBytes = bytes;
  return true;
}

bool DeviceBitmap::BitGet(int64_t cluster) {
  if (!m_buffer || cluster < 0 || cluster >= int64_t(m_count)) return false;
  return (m_buffer[cluster >> 3] >> (cluster & 7)) & 1;
}

bool DeviceBitmap::BitSet(int64_t cluster, bool value) {
  if (!m_buffer || cluster < 0 || cluster >= int64_t(m_count)) return false;
  uint8_t mask = uint8_t(1u << (cluster & 7));
  bool old = (m_buffer[cluster >> 3] & mask) != 0;
  if (old != value) m_buffer[cluster >> 3] ^= mask;
  return old;
}

int64_t DeviceBitmap::GetFirstClusterOffset() { return m_firstOffset; }
int DeviceBitmap::GetClusterSize() { return m_clusterSize; }
uint32_t DeviceBitmap::GetClusterCount() { return m_count; }

IDeviceBitmap* NewNullDeviceBitmap() { return new NullDeviceBitmap; }
