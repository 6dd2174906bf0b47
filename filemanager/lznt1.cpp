// LZNT1: the chunked LZ77 variant that NTFS uses for compressed attributes.
//
// A stream is a sequence of chunks, each covering at most 4096 bytes of output. A chunk
// starts with a 16-bit header: bit 15 set = compressed, bits 12-14 the signature 3, and
// bits 0-11 the chunk's data length minus one. A compressed chunk is a run of flag bytes,
// each followed by up to eight tokens: a clear bit is a literal byte, a set bit a 16-bit
// back-reference whose split between displacement and length widens with the position
// inside the chunk.
#include "filemanager/lznt1.h"

#include <cstring>
#include <vector>

namespace {

const size_t kChunk = 4096;

// Displacement bits grow from 4 to 12 as the chunk position grows, so a back-reference
// can always reach the chunk start but never further.
unsigned DisplacementShift(size_t pos) {
  unsigned k = 0;
  for (size_t q = pos - 1; q >= 16; q >>= 1) ++k;
  return k;
}

// Decodes one compressed chunk's data into out[0, cap); returns bytes written or -1.
int64_t DecodeChunk(const uint8_t* in, size_t inLen, uint8_t* out, size_t cap) {
  size_t ip = 0;
  size_t op = 0;
  while (ip < inLen) {
    uint8_t flags = in[ip++];
    for (int bit = 0; bit < 8 && ip < inLen; ++bit, flags >>= 1) {
      if ((flags & 1) == 0) {
        if (op >= cap) return -1;
        out[op++] = in[ip++];
        continue;
      }
      if (inLen - ip < 2) return -1;
      uint16_t token = uint16_t(in[ip] | (in[ip + 1] << 8));
      ip += 2;
      if (op == 0) return -1;  // nothing to refer back to yet
      unsigned k = DisplacementShift(op);
      size_t disp = size_t(token >> (12 - k)) + 1;
      size_t len = size_t(token & (0xFFFu >> k)) + 3;
      if (disp > op) return -1;
      if (len > cap - op) return -1;
      // Byte by byte: an overlapping reference repeats what it has just written.
      for (size_t i = 0; i < len; ++i, ++op) out[op] = out[op - disp];
    }
  }
  return int64_t(op);
}

}  // namespace

int64_t Lznt1Decompress(const uint8_t* in, size_t inLen, uint8_t* out, size_t outCap) {
  if (!in || !out) return -1;
  size_t ip = 0;
  size_t op = 0;
  while (ip < inLen) {
    size_t left = inLen - ip;
    uint16_t header = uint16_t(in[ip] | (left >= 2 ? in[ip + 1] << 8 : 0));
    if (header == 0) break;  // end of the unit's data
    // The smallest chunk that ends a unit is a header, a flag byte, a literal and the
    // zero header after it; less than that is a cut-off stream, not a short chunk.
    if (left < 6) return -1;
    ip += 2;
    size_t dataLen = size_t(header & 0xFFF) + 1;
    if (dataLen > inLen - ip) return -1;
    // Every chunk but the last stands for a full 4096 bytes: a short chunk is padded so that
    // the next one starts where the file's data does.
    if (op > outCap) return -1;
    size_t room = outCap - op;
    size_t cap = room < kChunk ? room : kChunk;
    int64_t got;
    if (header & 0x8000) {
      got = DecodeChunk(in + ip, dataLen, out + op, cap);
      if (got < 0) return -1;
    } else {
      // A stored chunk is always a whole 4096 bytes. Any other length is a damaged header,
      // and copying what it claims would hand out the wrong bytes as the file's.
      if (dataLen != kChunk || cap < kChunk) return -1;
      std::memcpy(out + op, in + ip, kChunk);
      got = int64_t(kChunk);
    }
    ip += dataLen;
    op += size_t(got);
    bool more = inLen - ip >= 2 && (in[ip] | in[ip + 1]) != 0;
    if (more && size_t(got) < kChunk) {
      size_t pad = kChunk - size_t(got);
      if (pad > outCap - op) return -1;
      std::memset(out + op, 0, pad);
      op += pad;
    }
  }
  return int64_t(op);
}

namespace {

// Greedy encoder of one chunk with hash chains over 3-byte prefixes; enough for tests and
// fixtures, where the point is a valid stream rather than the best ratio.
size_t EncodeChunk(const uint8_t* src, size_t n, uint8_t* dst, size_t dstCap) {
  const int kHashBits = 12;
  const int kMaxChain = 64;
  std::vector<int> head(size_t(1) << kHashBits, -1);
  std::vector<int> prev(n, -1);
  auto hash = [&](size_t i) {
    return (unsigned(src[i]) * 2654435761u ^ unsigned(src[i + 1]) << 8 ^ src[i + 2]) &
           ((1u << kHashBits) - 1);
  };
  size_t op = 0;
  size_t pos = 0;
  while (pos < n) {
    if (op >= dstCap) return 0;
    size_t flagAt = op++;
    uint8_t flags = 0;
    for (int bit = 0; bit < 8 && pos < n; ++bit) {
      size_t bestLen = 0, bestDisp = 0;
      if (pos > 0 && n - pos >= 3) {
        unsigned k = DisplacementShift(pos);
        size_t maxLen = (0xFFFu >> k) + 3;
        if (maxLen > n - pos) maxLen = n - pos;
        int cand = head[hash(pos)];
        for (int chain = 0; cand >= 0 && chain < kMaxChain; ++chain, cand = prev[cand]) {
          size_t c = size_t(cand);
          size_t len = 0;
          while (len < maxLen && src[c + len] == src[pos + len]) ++len;
          if (len > bestLen) {
            bestLen = len;
            bestDisp = pos - c;
            if (len == maxLen) break;
          }
        }
        if (bestLen >= 3 && bestDisp > (size_t(1) << (4 + k))) bestLen = 0;
      }
      size_t step;
      if (bestLen >= 3) {
        if (dstCap - op < 2) return 0;
        unsigned k = DisplacementShift(pos);
        uint16_t token = uint16_t(((bestDisp - 1) << (12 - k)) | (bestLen - 3));
        dst[op++] = uint8_t(token);
        dst[op++] = uint8_t(token >> 8);
        flags |= uint8_t(1u << bit);
        step = bestLen;
      } else {
        if (op >= dstCap) return 0;
        dst[op++] = src[pos];
        step = 1;
      }
      for (size_t i = 0; i < step; ++i, ++pos) {
        if (n - pos >= 3) {
          unsigned h = hash(pos);
          prev[pos] = head[h];
          head[h] = int(pos);
        }
      }
    }
    dst[flagAt] = flags;
  }
  return op;
}

}  // namespace

int64_t Lznt1Compress(const uint8_t* in, size_t inLen, uint8_t* out, size_t outCap) {
  if ((!in && inLen) || !out) return -1;
  uint8_t scratch[kChunk];
  size_t op = 0;
  for (size_t ip = 0; ip < inLen; ip += kChunk) {
    size_t n = inLen - ip < kChunk ? inLen - ip : kChunk;
    size_t packed = EncodeChunk(in + ip, n, scratch, sizeof scratch);
    // A short last chunk stays compressed (all literals, if need be) while that fits in a
    // chunk: a stored chunk is always 4096 bytes, and the zeros that pad it would come
    // back out of the decoder as data.
    bool compressed = packed != 0 && (packed < n || n < kChunk);
    size_t dataLen = compressed ? packed : kChunk;
    if (outCap - op < 2 + dataLen) return -1;
    uint16_t header = uint16_t((compressed ? 0xB000 : 0x3000) | (dataLen - 1));
    out[op] = uint8_t(header);
    out[op + 1] = uint8_t(header >> 8);
    if (compressed) {
      std::memcpy(out + op + 2, scratch, dataLen);
    } else {
      std::memcpy(out + op + 2, in + ip, n);
      std::memset(out + op + 2 + n, 0, kChunk - n);
    }
    op += 2 + dataLen;
  }
  // The zero header that ends the unit, as NTFS leaves it, counted in the length.
  if (outCap - op < 2) return -1;
  out[op] = out[op + 1] = 0;
  return int64_t(op + 2);
}
