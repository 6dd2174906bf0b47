// Carving edges found in review: end markers and escapes cut by a unit boundary, and
// clusters larger than the scan's read window.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "rawrecovery/rawrecover.h"
#include "rawtestdev.h"

using rawtest::Carved;
using rawtest::MemStorage;
using rawtest::RecordingManager;

namespace {

int ScanImage(MemStorage& dev, RecordingManager& fm, int mode, const char* ext) {
  CRawRecover r;
  r.SetDevice(&dev);
  r.SetFileManager(&fm);
  r.AddFileType(ext);
  r.SetScanMode(mode);
  return r.Scan(nullptr);
}

void Put(std::vector<uint8_t>& img, size_t at, const std::string& s) { std::memcpy(&img[at], s.data(), s.size()); }

}  // namespace

TEST(RawEdges, PdfEofCutByAUnitBoundaryIsFound) {
  // "%%EOF\n" placed so that "%EOF" is split by the boundary of two 512-byte units at each
  // cut point; slack after it is not zero. Before, such a PDF was never ended and so lost.
  for (int cut = 1; cut <= 3; ++cut) {
    std::vector<uint8_t> img(512 * 24, 0x5C);
    std::memset(img.data(), 0, 512);
    Put(img, 512, "%PDF-1.4\n1 0 obj << >> endobj\n");
    std::fill(img.begin() + 512 + 30, img.begin() + 512 * 20, ' ');
    size_t markerAt = 512 * 20 - size_t(cut);  // the 'E' of "%EOF" or a later byte is in the next unit
    Put(img, markerAt - 1, "%%EOF\n");
    MemStorage dev(img, 0);
    RecordingManager fm;
    ASSERT_EQ(0, ScanImage(dev, fm, SECTOR_SCAN, "pdf"));
    ASSERT_EQ(1u, fm.files.size()) << "cut " << cut;
    EXPECT_EQ(markerAt + 5 - 512, fm.files[0].info->GetSize()) << "cut " << cut;
  }
}

TEST(RawEdges, RtfEscapesAreCountedAcrossUnitsAndPairs) {
  // An escaped backslash before a group end: the brace closes the group.
  {
    const std::string rtf = "{\\rtf1{\\f0 C:\\\\dir\\\\}text}";
    std::vector<uint8_t> img(512 * 8, 0x41);
    std::memset(img.data(), 0, 512);
    Put(img, 512, rtf);
    MemStorage dev(img, 512);
    RecordingManager fm;
    ASSERT_EQ(0, ScanImage(dev, fm, CLUSTER_SCAN, "rtf"));
    ASSERT_EQ(1u, fm.files.size());
    EXPECT_EQ(rtf.size(), fm.files[0].info->GetSize());
  }
  // A backslash as the last byte of one unit escapes the brace that begins the next.
  {
    std::vector<uint8_t> img(512 * 8, 0x41);
    std::memset(img.data(), 0, 512);
    Put(img, 512, "{\\rtf1 ");
    img[1023] = '\\';
    Put(img, 1024, "} more}");
    img[1031] = 0;
    MemStorage dev(img, 0);
    RecordingManager fm;
    ASSERT_EQ(0, ScanImage(dev, fm, SECTOR_SCAN, "rtf"));
    ASSERT_EQ(1u, fm.files.size());
    EXPECT_EQ(519u, fm.files[0].info->GetSize());
    EXPECT_EQ(std::vector<uint8_t>(img.begin() + 512, img.begin() + 1031), Carved(dev, fm.files[0].info));
  }
}

TEST(RawEdges, ClustersLargerThanTheReadWindow) {
  // exFAT allows 16 and 32 MiB clusters, twice and four times the scan's 8 MiB window.
  const size_t cs = size_t(16) << 20;
  std::vector<uint8_t> img(cs * 3, 0);
  const uint8_t png[] = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
  std::memcpy(&img[cs], png, 8);
  std::memset(&img[cs + 8], 0x33, 10000);
  const uint8_t iend[] = {'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
  std::memcpy(&img[cs + 10008], iend, 8);
  MemStorage dev(std::move(img), int(cs));
  RecordingManager fm;
  ASSERT_EQ(0, ScanImage(dev, fm, CLUSTER_SCAN, "png"));
  ASSERT_EQ(1u, fm.files.size());
  EXPECT_EQ(10016u, fm.files[0].info->GetSize());
  std::vector<uint8_t> got = Carved(dev, fm.files[0].info);
  ASSERT_EQ(10016u, got.size());
  EXPECT_EQ(0, std::memcmp(got.data(), dev.bytes().data() + cs, got.size()));
}

TEST(RawEdges, MpegWithZeroSystemBytesEndsAtTheDeviceEnd) {
  // A stream whose 16 bytes kept after its first start code are zero: the zero unit that
  // stands for the device end must end it, not be absorbed into it.
  std::vector<uint8_t> img(512 * 24, 0x33);
  std::memset(img.data(), 0, 512);
  std::memcpy(&img[512], "\0\0\x01\xb3", 4);
  std::memcpy(&img[512 + 12], "\0\0\x01\xb2", 4);
  std::memset(&img[512 + 16], 0, 16);
  MemStorage dev(img, 512);
  RecordingManager fm;
  ASSERT_EQ(0, ScanImage(dev, fm, CLUSTER_SCAN, "mpg"));
  ASSERT_EQ(1u, fm.files.size());
  EXPECT_EQ(23u * 512, fm.files[0].info->GetSize());
}
