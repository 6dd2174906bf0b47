#include "storagedevice/channelforward.h"

#include "common/inc/kestrum_types.h"

bool ChannelIsReadOnly(IDeviceIo* io) { return !io || (io->GetOpenFlags() & 3) == 0 || io->IsWriteProtected(); }

int ChannelForward::Open() {
  if (!m_io) return -1;
  if (m_io->Open(m_path, KIO_RDWR, 0) != 0 && m_io->Open(m_path, KIO_RDONLY, 0) != 0) return -1;
  m_readOnly = ChannelIsReadOnly(m_io);
  return 0;
}

bool ChannelForward::EnsureOpen() {
  if (!m_io) return false;
  if (!m_io->IsOpen() && Open() != 0) return false;
  return m_io->IsOpen();
}

int ChannelForward::Read(void* buf, uint32_t count) {
  if (!EnsureOpen() || count > uint32_t(INT32_MAX)) return -1;
  return m_io->Read(buf, int(count));
}

int ChannelForward::Write(const void* buf, uint32_t count) {
  // The flag is asked after the reopen, which is what sets it for the channel that would
  // take the write.
  if (!EnsureOpen() || count > uint32_t(INT32_MAX)) return -1;
  if (m_readOnly) return RC_READ_FAILED;
  return m_io->Write(buf, int(count));
}

int64_t ChannelForward::Seek(int64_t offset, int origin) {
  if (!EnsureOpen()) return -1;
  return m_io->Seek(offset, origin);
}

int ChannelForward::ReadSectors(int64_t first, void* buf, uint32_t count) {
  if (!EnsureOpen()) return -1;
  return m_io->ReadSectors(first, buf, count, m_sectorSize);
}

int ChannelForward::WriteSectors(int64_t first, const void* buf, uint32_t count) {
  if (!EnsureOpen()) return -1;
  if (m_readOnly) return RC_READ_FAILED;
  return m_io->WriteSectors(first, buf, count, m_sectorSize);
}

int ChannelForward::Close() { return m_io ? m_io->Close() : 0; }

int ChannelForward::OpenLike(IDeviceIo* source, const char* sourcePath) {
  if (!source) return -1;
  ZQ_ASSERT(!m_io);
  if (m_io) {
    m_io->Release();
    m_io = nullptr;
  }
  int flags = source->GetOpenFlags();
  if (flags < 0) flags = KIO_RDONLY;
  IDeviceIo* io = CreateDeviceIo();
  if (!io) return -1;
  if (io->Open(sourcePath, flags, 0) != 0) {
    io->Release();
    return -1;
  }
  m_io = io;
  m_readOnly = ChannelIsReadOnly(io);
  return 0;
}
