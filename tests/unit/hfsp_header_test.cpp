// The HFS+ volume header: conversion and the acceptance test on a header that xorriso
// wrote (last-mounted version "liso", an allocation file shorter than its blocks), and
// refusal of damaged ones.
#include <gtest/gtest.h>

#include <cstring>

#include "common/inc/bytes.h"
#include "scanoperate/hfsp/hfsplus_format.h"
#include "testutil.h"

namespace {

// Where xorriso leaves the HFS+ header depends on its version: at byte 1024 of the ISO
// or 1024 bytes into the HFS+ partition at 65536.
bool LoadXorrisoHeader(std::vector<uint8_t>* raw) {
  std::string iso = testutil::Fixture("hfsp_xorriso.iso");
  // Else the HFS+ volume already cut out of xorriso's ISO.
  if (iso.empty()) iso = testutil::Fixture("hfsplus_xorriso.img");
  if (iso.empty()) return false;
  auto bytes = testutil::ReadFile(iso);
  for (uint64_t at : {uint64_t(1024), uint64_t(65536 + 1024)}) {
    if (bytes.size() >= at + 512 && bytes[at] == 'H' && bytes[at + 1] == '+') {
      raw->assign(bytes.begin() + at, bytes.begin() + at + 512);
      return true;
    }
  }
  return false;
}

TEST(HfspHeader, XorrisoHeaderConvertsAndPasses) {
  std::vector<uint8_t> raw;
  if (!LoadXorrisoHeader(&raw)) GTEST_SKIP() << "no xorriso HFS+ volume";
  HFSPlusVolumeHeader h;
  ASSERT_TRUE(hfsplus_read_volume_header(raw.data(), raw.size(), &h));
  EXPECT_EQ(h.signature, kHFSPlusSigWord);
  EXPECT_EQ(h.version, 4);
  EXPECT_EQ(h.lastMountedVersion, 0x6C69736Fu);  // "liso"
  EXPECT_EQ(h.blockSize, kbytes::Be32(&raw[40]));
  EXPECT_EQ(h.catalogFile.logicalSize, kbytes::Be64(&raw[272]));
  EXPECT_EQ(h.catalogFile.extents[0].startBlock, kbytes::Be32(&raw[272 + 16]));
  EXPECT_EQ(h.catalogFile.extents[0].blockCount, kbytes::Be32(&raw[272 + 20]));
  EXPECT_GT(h.catalogFile.totalBlocks, 0u);
  EXPECT_TRUE(hfsplus_check_volume_header(&h));
  // Swapping twice restores the raw bytes.
  HFSPlusVolumeHeader twice = h;
  hfsplus_swap_volume_header(&twice);
  EXPECT_EQ(std::memcmp(&twice, raw.data(), 512), 0);
}

HFSPlusVolumeHeader SoundHeader() {
  HFSPlusVolumeHeader h{};
  h.signature = kHFSPlusSigWord;
  h.version = 4;
  h.lastMountedVersion = 0x31302E30;  // "10.0"
  h.blockSize = 4096;
  h.totalBlocks = 1000;
  h.catalogFile.logicalSize = 8 * 4096;
  h.catalogFile.totalBlocks = 8;
  h.catalogFile.extents[0] = {10, 5};
  h.catalogFile.extents[1] = {20, 3};
  return h;
}

TEST(HfspHeader, CheckAcceptsRealVariantsAndRefusesDamage) {
  HFSPlusVolumeHeader h = SoundHeader();
  EXPECT_TRUE(hfsplus_check_volume_header(&h));
  for (uint32_t tag : {0x4846534Au, 0x6673636Bu, 0x382E3130u, 0x482B4C78u}) {  // HFSJ fsck 8.10 H+Lx
    h.lastMountedVersion = tag;
    EXPECT_TRUE(hfsplus_check_volume_header(&h)) << std::hex << tag;
  }
  h = SoundHeader();
  h.signature = kHFSXSigWord;
  h.version = 5;
  EXPECT_TRUE(hfsplus_check_volume_header(&h));

  auto fails = [](void (*damage)(HFSPlusVolumeHeader*)) {
    HFSPlusVolumeHeader d = SoundHeader();
    damage(&d);
    return !hfsplus_check_volume_header(&d);
  };
  EXPECT_TRUE(fails([](HFSPlusVolumeHeader* d) { d->version = 5; }));
  EXPECT_TRUE(fails([](HFSPlusVolumeHeader* d) { d->signature = kHFSXSigWord; }));
  EXPECT_TRUE(fails([](HFSPlusVolumeHeader* d) { d->lastMountedVersion = 0; }));
  EXPECT_TRUE(fails([](HFSPlusVolumeHeader* d) { d->lastMountedVersion = 0x0A0B0C0D; }));
  EXPECT_TRUE(fails([](HFSPlusVolumeHeader* d) { d->blockSize = 3072; }));
  EXPECT_TRUE(fails([](HFSPlusVolumeHeader* d) { d->blockSize = 256; }));
  // A volume of no blocks holds none of the catalog's extents.
  EXPECT_TRUE(fails([](HFSPlusVolumeHeader* d) { d->totalBlocks = 0; }));
  // A block count of 0 alone is no reason to refuse: with no fork past the volume (no fork
  // with extents at all) the header passes on its other fields.
  h = SoundHeader();
  h.totalBlocks = 0;
  h.catalogFile = HFSPlusForkData{};
  EXPECT_TRUE(hfsplus_check_volume_header(&h));
  h.blockSize = 3072;  // the other tests still hold
  EXPECT_FALSE(hfsplus_check_volume_header(&h));
  // More bytes than the blocks hold; blocks that the extents do not account for.
  EXPECT_TRUE(fails([](HFSPlusVolumeHeader* d) { d->catalogFile.logicalSize = 8 * 4096 + 1; }));
  EXPECT_TRUE(fails([](HFSPlusVolumeHeader* d) { d->catalogFile.totalBlocks = 9; }));
  // An extent past the volume's end, also one whose end overflows 32 bits.
  EXPECT_TRUE(fails([](HFSPlusVolumeHeader* d) { d->catalogFile.extents[1] = {998, 3}; }));
  EXPECT_TRUE(fails([](HFSPlusVolumeHeader* d) {
    d->catalogFile.extents[1] = {0xFFFFFFFF, 3};
  }));

  // A logical size ending inside the last block passes (xorriso's allocation file).
  h = SoundHeader();
  h.catalogFile.logicalSize = 7 * 4096 + 1;
  EXPECT_TRUE(hfsplus_check_volume_header(&h));
  // Eight full extents holding fewer blocks than the fork: continued in the overflow file.
  h = SoundHeader();
  for (uint32_t i = 0; i < 8; ++i) h.catalogFile.extents[i] = {100 + 10 * i, 1};
  h.catalogFile.totalBlocks = 12;
  h.catalogFile.logicalSize = 12 * 4096;
  EXPECT_TRUE(hfsplus_check_volume_header(&h));
  h.catalogFile.extents[7].blockCount = 0;  // seven extents cannot continue
  EXPECT_FALSE(hfsplus_check_volume_header(&h));
  // Block counts summed in 64 bits.
  HFSPlusExtentDescriptor big[8] = {{0, 0xFFFFFFFF}, {0, 0xFFFFFFFF}};
  EXPECT_EQ(hfsplus_extents_block_count(big), 2 * 0xFFFFFFFFull);
}

// The header may sit at any byte of a buffer (the struct is packed): conversion in place
// must not load or store its fields through misaligned word pointers.
TEST(HfspHeader, ConvertsInPlaceAtAnOddAddress) {
  alignas(8) uint8_t buf[1 + sizeof(HFSPlusVolumeHeader)] = {};
  uint8_t* raw = buf + 1;
  kbytes::PutBe16(raw, kHFSPlusSigWord);
  kbytes::PutBe32(raw + 4, 0x00002000u);
  kbytes::PutBe32(raw + 40, 4096);
  kbytes::PutBe32(raw + 80, 0x11223344u);  // finderInfo[0]
  kbytes::PutBe64(raw + 272, 0x0102030405060708ull);
  auto* h = reinterpret_cast<HFSPlusVolumeHeader*>(raw);
  hfsplus_swap_volume_header(h);
  HFSPlusVolumeHeader copy;
  std::memcpy(&copy, raw, sizeof copy);
  EXPECT_EQ(copy.signature, kHFSPlusSigWord);
  EXPECT_EQ(copy.attributes, 0x2000u);
  EXPECT_EQ(copy.blockSize, 4096u);
  EXPECT_EQ(copy.finderInfo[0], 0x11223344u);
  EXPECT_EQ(copy.catalogFile.logicalSize, 0x0102030405060708ull);
}

}  // namespace
