#include "deviceapi/commdeviceio.h"

#include <errno.h>

#include <climits>
#include <cstring>

CCommDeviceIo::CCommDeviceIo()
    : m_sectorsize(0), m_openFlags(-1), m_inSector(0), m_pos(0), m_bounce(new uint8_t[kBounceBytes]()) {
  m_path[0] = 0;
}

CCommDeviceIo::~CCommDeviceIo() {
  Close();
  delete[] m_bounce;
}

int CCommDeviceIo::Close() {
  if (m_dev.fd < 0) return 0;
  int r = plat::Close(&m_dev);
  m_pos = 0;
  m_inSector = 0;
  return r;
}

bool CCommDeviceIo::IsOpen() { return m_dev.fd >= 0; }

void CCommDeviceIo::Release() { delete this; }

int CCommDeviceIo::GetOpenFlags() { return m_openFlags; }

int64_t CCommDeviceIo::Seek(int64_t offset, int origin) {
  ZQ_ASSERT(m_sectorsize != 0);
  if (m_dev.fd < 0) return -2;
  int64_t target;
  if (origin == 0) {
    target = offset;
  } else if (origin == 1 || origin == 2) {
    int64_t base = m_pos + m_inSector;
    if (origin == 2 && !plat::DeviceSize(m_dev, &base)) return -1;
    // Checked before the sum: an offset near the 64-bit limit must fail, not wrap.
    if ((offset > 0 && base > INT64_MAX - offset) || (offset < 0 && base < INT64_MIN - offset)) return -1;
    target = base + offset;
  } else {
    return -1;
  }
  // A failed seek leaves the position where it was and says so.
  if (target < 0) return -1;
  int ss = m_sectorsize > 0 ? m_sectorsize : 512;
  m_inSector = int(target % ss);
  m_pos = target - m_inSector;
  return target;
}

int64_t CCommDeviceIo::ReadAligned(void* dst, int64_t bytes, int64_t pos) {
  int64_t r = plat::ReadAt(m_dev, dst, bytes, pos);
  if (r < 0 && errno == EACCES) Close();
  return r;
}

int CCommDeviceIo::Read(void* buf, int count) {
  if (m_dev.fd < 0 || count < 0 || !buf) return -1;
  if (count == 0) return 0;
  const int ss = m_sectorsize;
  uint8_t* out = static_cast<uint8_t*>(buf);
  const int64_t start = m_pos + m_inSector;
  int64_t pos = m_pos;
  const int o = m_inSector;
  int64_t delivered = 0;
  const int64_t want = count;
  // Whatever happens, the logical position ends after the bytes delivered.
  auto finish = [&]() {
    int64_t p = start + delivered;
    m_inSector = int(p % ss);
    m_pos = p - m_inSector;
    return int(delivered);
  };

  // Head: the request starts inside a sector, so that sector goes through the bounce buffer.
  if (o != 0) {
    int64_t got = ReadAligned(m_bounce, ss, pos);
    if (got < 0) return -1;
    int64_t avail = got > o ? got - o : 0;
    int64_t take = want < avail ? want : avail;
    memcpy(out, m_bounce + o, size_t(take));
    delivered = take;
    if (delivered == want || got < ss) return finish();
    pos += ss;
  }

  // Middle: whole sectors go straight into the caller's buffer.
  int64_t middle = ((want - delivered) / ss) * ss;
  if (middle > 0) {
    int64_t got = ReadAligned(out + delivered, middle, pos);
    // The whole sectors are the body of the request: when they cannot be read the read has
    // failed, even though the head sector arrived, and the position stays where it was.
    if (got < 0) return -1;
    delivered += got;
    if (got < middle) return finish();
    pos += middle;
  }

  // Tail: the request ends inside a sector.
  int64_t rest = want - delivered;
  if (rest > 0) {
    memset(m_bounce, 0, size_t(ss));
    int64_t got = ReadAligned(m_bounce, ss, pos);
    if (got < 0 && delivered == 0) return -1;
    if (got > 0) {
      int64_t take = rest < got ? rest : got;
      memcpy(out + delivered, m_bounce, size_t(take));
      delivered += take;
    }
  }
  return finish();
}

int CCommDeviceIo::Write(const void* buf, int count) {
  if (m_dev.fd < 0 || count < 0 || !buf) return -1;
  // Writes are whole sectors at sector positions; anything else would need a
  // read-modify-write that could tear a sector of someone's data.
  if (m_inSector != 0 || (m_sectorsize > 0 && count % m_sectorsize != 0)) return -1;
  int64_t r = plat::WriteAt(m_dev, buf, count, m_pos);
  if (r < 0) return -1;
  m_pos += r;
  return int(r);
}

int IDeviceIo::ReadSectors(int64_t first, void* buf, uint32_t count, uint32_t sectorSize) {
  if (sectorSize == 0 || first < 0) return -1;
  uint64_t bytes = uint64_t(count) * sectorSize;
  if (bytes > uint64_t(INT_MAX) || first > INT64_MAX / int64_t(sectorSize)) return -1;
  int64_t target = first * int64_t(sectorSize);
  int64_t at = Seek(target, 0);
  if (at < 0) return -1;
  ZQ_ASSERT(at == target);
  int r = Read(buf, int(bytes));
  if (r < 0) return -1;
  return int(r / int64_t(sectorSize));
}

int IDeviceIo::WriteSectors(int64_t first, const void* buf, uint32_t count, uint32_t sectorSize) {
  if (sectorSize == 0 || first < 0) return -1;
  uint64_t bytes = uint64_t(count) * sectorSize;
  if (bytes > uint64_t(INT_MAX) || first > INT64_MAX / int64_t(sectorSize)) return -1;
  int64_t target = first * int64_t(sectorSize);
  int64_t at = Seek(target, 0);
  if (at < 0) return -1;
  ZQ_ASSERT(at == target);
  int r = Write(buf, int(bytes));
  if (r < 0) return -1;
  return int(r / int64_t(sectorSize));
}
