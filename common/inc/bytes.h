// Bounded little- and big-endian field readers. Every decoder of on-disk data reads
// through these: a field that does not fit in (data, size) is refused, never read.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kbytes {

inline bool Fits(size_t size, size_t off, size_t len) { return off <= size && size - off >= len; }

inline uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }
inline uint16_t Be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t Be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline uint64_t Be64(const uint8_t* p) { return uint64_t(Be32(p)) << 32 | uint64_t(Be32(p + 4)); }

inline void PutLe16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void PutLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void PutBe16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
inline void PutBe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}
inline void PutBe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (56 - 8 * i));
}

inline bool ReadU8(const uint8_t* p, size_t size, size_t off, uint8_t* out) {
  if (!Fits(size, off, 1)) return false;
  *out = p[off];
  return true;
}
inline bool ReadLe16(const uint8_t* p, size_t size, size_t off, uint16_t* out) {
  if (!Fits(size, off, 2)) return false;
  *out = Le16(p + off);
  return true;
}
inline bool ReadLe32(const uint8_t* p, size_t size, size_t off, uint32_t* out) {
  if (!Fits(size, off, 4)) return false;
  *out = Le32(p + off);
  return true;
}
inline bool ReadLe64(const uint8_t* p, size_t size, size_t off, uint64_t* out) {
  if (!Fits(size, off, 8)) return false;
  *out = Le64(p + off);
  return true;
}
inline bool ReadBe16(const uint8_t* p, size_t size, size_t off, uint16_t* out) {
  if (!Fits(size, off, 2)) return false;
  *out = Be16(p + off);
  return true;
}
inline bool ReadBe32(const uint8_t* p, size_t size, size_t off, uint32_t* out) {
  if (!Fits(size, off, 4)) return false;
  *out = Be32(p + off);
  return true;
}
inline bool ReadBe64(const uint8_t* p, size_t size, size_t off, uint64_t* out) {
  if (!Fits(size, off, 8)) return false;
  *out = Be64(p + off);
  return true;
}

// len bytes copied to out, or false (and out untouched) when they do not fit.
inline bool ReadBytes(const uint8_t* p, size_t size, size_t off, void* out, size_t len) {
  if (!Fits(size, off, len)) return false;
  if (len) std::memcpy(out, p + off, len);
  return true;
}

// A read-only view with bounded accessors; out-of-range reads give false.
struct ByteView {
  const uint8_t* data;
  size_t size;
  ByteView(const void* d, size_t n) : data(static_cast<const uint8_t*>(d)), size(n) {}
  bool Has(size_t off, size_t len) const { return Fits(size, off, len); }
  bool U8(size_t off, uint8_t* v) const { return ReadU8(data, size, off, v); }
  bool Le16(size_t off, uint16_t* v) const { return ReadLe16(data, size, off, v); }
  bool Le32(size_t off, uint32_t* v) const { return ReadLe32(data, size, off, v); }
  bool Le64(size_t off, uint64_t* v) const { return ReadLe64(data, size, off, v); }
  bool Be16(size_t off, uint16_t* v) const { return ReadBe16(data, size, off, v); }
  bool Be32(size_t off, uint32_t* v) const { return ReadBe32(data, size, off, v); }
  bool Be64(size_t off, uint64_t* v) const { return ReadBe64(data, size, off, v); }
  bool Bytes(size_t off, void* out, size_t len) const { return ReadBytes(data, size, off, out, len); }
};

inline bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// start + count stays inside total, tested so that nothing overflows.
inline bool RangeInside(uint64_t start, uint64_t count, uint64_t total) {
  return start <= total && count <= total - start;
}

}  // namespace kbytes
