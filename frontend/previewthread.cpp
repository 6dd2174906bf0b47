#include "frontend/previewthread.h"

#include <algorithm>
#include <new>

#include "common/inc/ifileinfo.h"
#include "common/inc/ifileop.h"
#include "common/inc/iscanoperator.h"

void PreviewReader::run() {
  const uint64_t size = m_file ? m_file->GetSize() : 0;
  if (size > kMaxPreviewBytes) {
    m_outcome = 1;
    return;
  }
  IFileOP* op = nullptr;
  if (!m_scanner || !m_file || m_scanner->GetFileOp(m_file, &op) != 0 || !op) {
    m_outcome = 2;
    return;
  }
  try {
    m_data.resize(int(size));
  } catch (const std::bad_alloc&) {
    m_outcome = 4;
    return;
  }
  uint64_t offset = 0;
  while (offset < size) {
    const uint32_t chunk = uint32_t(std::min<uint64_t>(size - offset, 0x80000));
    uint32_t got = 0;
    if (op->Read(m_data.data() + offset, chunk, offset, &got) != 0 || got == 0 || got > chunk) break;
    offset += got;
  }
  // A partly read picture may still show its top rows; the caller decides.
  m_data.resize(int(offset));
  m_outcome = offset == size ? 0 : 3;
}
