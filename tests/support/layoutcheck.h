// Helpers for the on-disk layout tests: byte ranges of fixture images (which are large and
// sparse, so never read whole) and the refusal of every truncated buffer.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace testutil {

// len bytes at offset of a file; empty when they cannot all be read.
inline std::vector<uint8_t> ReadRange(const std::string& path, uint64_t offset, size_t len) {
  std::vector<uint8_t> out(len);
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  in.seekg(std::streamoff(offset));
  in.read(reinterpret_cast<char*>(out.data()), std::streamsize(len));
  if (size_t(in.gcount()) != len) return {};
  return out;
}

// Every length below minimum is refused, and nothing past the given length is read: the
// bytes are copied into a buffer of exactly that length so that ASan sees an overread.
template <typename Out, typename Decoder>
void ExpectRefusesShort(Decoder decode, const std::vector<uint8_t>& bytes, size_t minimum) {
  ASSERT_GE(bytes.size(), minimum);
  for (size_t n = 0; n < minimum; ++n) {
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + long(n));
    Out out;
    EXPECT_FALSE(decode(n ? cut.data() : bytes.data(), n, &out)) << "length " << n;
  }
  std::vector<uint8_t> whole(bytes.begin(), bytes.begin() + long(minimum));
  Out out;
  EXPECT_TRUE(decode(whole.data(), whole.size(), &out)) << "length " << minimum;
}

}  // namespace testutil
