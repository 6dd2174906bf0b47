// An IArchive over a byte vector, for save/load round trips and corrupt-record tables.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/inc/iarchive.h"

namespace testutil {

class MemArchive : public IArchive {
 public:
  MemArchive() = default;
  explicit MemArchive(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}

  int Write(const void* data, uint32_t len) override {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    m_bytes.insert(m_bytes.end(), p, p + len);
    return 0;
  }
  int Read(void* buf, uint32_t len) override {
    if (m_pos > m_bytes.size() || m_bytes.size() - m_pos < len) {
      m_pos = m_bytes.size();
      return -1;
    }
    std::memcpy(buf, m_bytes.data() + m_pos, len);
    m_pos += len;
    return 0;
  }
  const std::vector<uint8_t>& bytes() const { return m_bytes; }
  size_t pos() const { return m_pos; }
  void Rewind() { m_pos = 0; }

 private:
  std::vector<uint8_t> m_bytes;
  size_t m_pos = 0;
};

}  // namespace testutil
