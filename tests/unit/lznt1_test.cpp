// LZNT1: what the encoder writes the decoder reads back exactly, the chunk rules that NTFS
// relies on hold, and hostile streams end in -1 without touching memory outside the buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "filemanager/lznt1.h"
#include "testutil.h"

namespace {

std::vector<uint8_t> Compress(const std::vector<uint8_t>& in) {
  // Every chunk may cost its header and 4096 bytes, and the unit ends in a zero header.
  std::vector<uint8_t> out((in.size() / 4096 + 1) * 4098 + 2);
  int64_t n = Lznt1Compress(in.data(), in.size(), out.data(), out.size());
  EXPECT_GE(n, 0);
  out.resize(size_t(n < 0 ? 0 : n));
  return out;
}

TEST(Lznt1, RoundTripsTextRandomAndRuns) {
  std::vector<std::vector<uint8_t>> inputs;
  std::string text;
  for (int i = 0; text.size() < 70000; ++i)
    text += "line " + std::to_string(i % 97) + " of a letter to the bank\n";
  inputs.emplace_back(text.begin(), text.end());
  inputs.push_back(testutil::RandomBytes(20000, 7));
  inputs.push_back(std::vector<uint8_t>(65536, 0));
  inputs.push_back(std::vector<uint8_t>(4097, 'a'));
  inputs.push_back(std::vector<uint8_t>{1, 2, 3});
  for (size_t n : {1u, 15u, 16u, 17u, 4095u, 4096u, 4097u, 8191u}) {
    auto b = testutil::RandomBytes(n, uint32_t(n));
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(b[i] % 4);  // compressible, varied
    inputs.push_back(b);
  }
  for (const auto& in : inputs) {
    SCOPED_TRACE(in.size());
    auto packed = Compress(in);
    if (std::all_of(in.begin(), in.end(), [](uint8_t b) { return b == 0; })) {
      EXPECT_LT(packed.size(), in.size() / 10);
    }
    std::vector<uint8_t> out(in.size());
    ASSERT_EQ(Lznt1Decompress(packed.data(), packed.size(), out.data(), out.size()),
              int64_t(in.size()));
    EXPECT_EQ(out, in);
  }
}

TEST(Lznt1, ChunkRules) {
  std::vector<uint8_t> out(65536, 0xEE);
  // A stored chunk copies its 4096 bytes.
  std::vector<uint8_t> stored{0xFF, 0x3F};
  auto raw = testutil::RandomBytes(4096, 3);
  stored.insert(stored.end(), raw.begin(), raw.end());
  ASSERT_EQ(Lznt1Decompress(stored.data(), stored.size(), out.data(), out.size()), 4096);
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), out.begin()));

  // A compressed chunk of 100 bytes followed by another chunk: zeros up to 4096 between.
  auto hundred = testutil::RandomBytes(100, 4);
  auto packed = Compress(hundred);
  std::vector<uint8_t> two(packed.begin(), packed.end() - 2);  // without the end marker
  two.insert(two.end(), packed.begin(), packed.end());
  std::fill(out.begin(), out.end(), 0xEE);
  ASSERT_EQ(Lznt1Decompress(two.data(), two.size(), out.data(), out.size()), 4096 + 100);
  EXPECT_TRUE(std::equal(hundred.begin(), hundred.end(), out.begin()));
  EXPECT_TRUE(std::all_of(out.begin() + 100, out.begin() + 4096, [](uint8_t b) { return !b; }));
  EXPECT_TRUE(std::equal(hundred.begin(), hundred.end(), out.begin() + 4096));

  // A zero header ends the unit; trailing zeros (the rest of the unit) are harmless.
  std::vector<uint8_t> zeros(64, 0);
  EXPECT_EQ(Lznt1Decompress(zeros.data(), zeros.size(), out.data(), out.size()), 0);

  // A back-reference at chunk position 0, or reaching before the chunk start.
  const uint8_t atZero[] = {0x02, 0xB0, 0x01, 0x00, 0x00};
  EXPECT_EQ(Lznt1Decompress(atZero, sizeof atZero, out.data(), out.size()), -1);
  const uint8_t tooFar[] = {0x04, 0xB0, 0x02, 'a', 0x00, 0x10};  // displacement 2 after 1 byte
  EXPECT_EQ(Lznt1Decompress(tooFar, sizeof tooFar, out.data(), out.size()), -1);
  // Overlapping reference: 'a' then copy 5 from 1 back.
  const uint8_t overlap[] = {0x03, 0xB0, 0x02, 'a', 0x02, 0x00};
  ASSERT_EQ(Lznt1Decompress(overlap, sizeof overlap, out.data(), out.size()), 6);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 6), "aaaaaa");
  // A chunk length past the input, a token cut in half, an output too small.
  const uint8_t longChunk[] = {0x40, 0xB0, 0x00, 'a'};
  EXPECT_EQ(Lznt1Decompress(longChunk, sizeof longChunk, out.data(), out.size()), -1);
  const uint8_t halfToken[] = {0x02, 0xB0, 0x02, 'a', 0x00};
  EXPECT_EQ(Lznt1Decompress(halfToken, sizeof halfToken, out.data(), out.size()), -1);
  EXPECT_EQ(Lznt1Decompress(stored.data(), stored.size(), out.data(), 4095), -1);
}

std::vector<uint8_t> Header(uint16_t h) { return {uint8_t(h), uint8_t(h >> 8)}; }

std::vector<uint8_t> Cat(std::vector<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

int64_t Decode(const std::vector<uint8_t>& in, std::vector<uint8_t>* out) {
  // Exact-size heap copies, so a read or write past either end is seen by the sanitizer.
  std::unique_ptr<uint8_t[]> src(new uint8_t[in.size() + 1]);
  std::copy(in.begin(), in.end(), src.get());
  std::unique_ptr<uint8_t[]> dst(new uint8_t[out->size() + 1]);
  int64_t n = Lznt1Decompress(src.get(), in.size(), dst.get(), out->size());
  std::copy(dst.get(), dst.get() + out->size(), out->begin());
  return n;
}

// A stored chunk is 4096 bytes or damaged: a header that claims any other length must not
// pass its bytes on as the file's. A header without room for a chunk after it is a cut-off
// stream.
TEST(Lznt1, StoredChunkLengthAndShortTailsAreRefused) {
  std::vector<uint8_t> out(65536);
  auto raw = testutil::RandomBytes(4096, 12);
  auto good = Cat({Header(0x3FFF), raw});
  ASSERT_EQ(Decode(good, &out), 4096);
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), out.begin()));
  // Without the signature bits the length still decides.
  EXPECT_EQ(Decode(Cat({Header(0x0FFF), raw}), &out), 4096);

  // Stored lengths of 1, 100 and 4095 bytes, alone and behind a sound chunk, with the
  // data that they claim and the zero header after.
  auto hundred = testutil::RandomBytes(100, 5);
  auto packed = Compress(hundred);
  packed.resize(packed.size() - 2);  // drop the end marker to chain another chunk
  for (uint16_t len : {1, 100, 4095}) {
    SCOPED_TRACE(len);
    auto bad = Cat({Header(uint16_t(0x3000 | (len - 1))), std::vector<uint8_t>(raw.begin(), raw.begin() + len),
                    Header(0)});
    EXPECT_EQ(Decode(bad, &out), -1);
    EXPECT_EQ(Decode(Cat({good, bad}), &out), -1);
    EXPECT_EQ(Decode(Cat({packed, bad}), &out), -1);
  }
  // A stored 4096 bytes with fewer left in the input, or in the output.
  EXPECT_EQ(Decode(std::vector<uint8_t>(good.begin(), good.end() - 1), &out), -1);
  std::vector<uint8_t> small(4095);
  EXPECT_EQ(Decode(good, &small), -1);

  // The smallest chunk (header, flag byte, one literal) needs the end marker after it.
  const std::vector<uint8_t> one{0x01, 0xB0, 0x00, 'x'};
  EXPECT_EQ(Decode(one, &out), -1);
  EXPECT_EQ(Decode(Cat({one, {0x00}}), &out), -1);
  ASSERT_EQ(Decode(Cat({one, Header(0)}), &out), 1);
  EXPECT_EQ(out[0], 'x');
  EXPECT_EQ(Decode(Cat({good, one}), &out), -1);
  EXPECT_EQ(Decode(Cat({good, {0x30}}), &out), -1) << "half a header after a chunk";
  EXPECT_EQ(Decode(Cat({good, {0x00}}), &out), 4096) << "a lone zero byte is the end";
}

// The encoder never writes a short stored chunk: a short last chunk is compressed, even
// when that makes it longer, and one that cannot be is stored whole with zeros after it.
TEST(Lznt1, EncoderKeepsStoredChunksWhole) {
  for (size_t n : {1u, 2u, 100u, 3000u, 3640u, 3900u, 4095u, 4096u + 4000u}) {
    SCOPED_TRACE(n);
    auto in = testutil::RandomBytes(n, uint32_t(n));
    auto packed = Compress(in);
    for (size_t at = 0; at + 2 <= packed.size();) {
      uint16_t h = uint16_t(packed[at] | packed[at + 1] << 8);
      if (h == 0) break;
      if (!(h & 0x8000)) {
        EXPECT_EQ(h & 0xFFF, 0xFFF);
      }
      at += 2 + (h & 0xFFF) + 1;
    }
    size_t whole = (n + 4095) / 4096 * 4096;
    std::vector<uint8_t> out(whole, 0xEE);
    int64_t got = Decode(packed, &out);
    ASSERT_TRUE(got == int64_t(n) || got == int64_t(whole)) << got;
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + long(n), out.begin() + got, [](uint8_t b) { return b == 0; }));
  }
}

// Truncations, bit flips and garbage over heap buffers of exact size.
TEST(Lznt1, HostileStreamsStayInBounds) {
  std::string text(20000, 'x');
  for (size_t i = 0; i < text.size(); i += 7) text[i] = char('a' + i % 26);
  auto packed = Compress(std::vector<uint8_t>(text.begin(), text.end()));
  auto run = [](const std::vector<uint8_t>& in, size_t cap) {
    std::unique_ptr<uint8_t[]> src(new uint8_t[in.size() + 1]);
    std::copy(in.begin(), in.end(), src.get());
    std::unique_ptr<uint8_t[]> dst(new uint8_t[cap + 1]);
    int64_t n = Lznt1Decompress(src.get(), in.size(), dst.get(), cap);
    EXPECT_LE(n, int64_t(cap));
  };
  for (size_t cut = 0; cut <= packed.size(); cut += 3)
    run(std::vector<uint8_t>(packed.begin(), packed.begin() + cut), 20000);
  std::mt19937 rng(11);
  for (int i = 0; i < 2000; ++i) {
    auto m = packed;
    for (int k = 0; k < 4; ++k) m[rng() % m.size()] ^= uint8_t(1u << (rng() % 8));
    run(m, 1 + rng() % 20000);
  }
  for (int i = 0; i < 300; ++i) run(testutil::RandomBytes(1 + rng() % 9000, rng()), 65536);
}

}  // namespace
