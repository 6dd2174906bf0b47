// Raw-scan throughput: builds an image of at least 1 GiB from real files (made with
// ImageMagick, ffmpeg, LibreOffice, qpdf and zip) laid at 4 KiB-aligned offsets with filler between them, then
// times a plain sequential read and raw scans in sector and cluster mode.
// Usage: raw_scan_bench [image-path] [MiB]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/inc/istoragedevice.h"
#include "rawrecovery/rawrecover.h"
#include "rawtestdev.h"

namespace {

class FileStorage : public IStorageDevice {
 public:
  FileStorage(const std::string& path, int cluster) : m_cluster(cluster) {
    m_f = std::fopen(path.c_str(), "rb");
    std::setvbuf(m_f, nullptr, _IONBF, 0);
    std::fseek(m_f, 0, SEEK_END);
    m_size = uint64_t(std::ftell(m_f));
  }
  virtual ~FileStorage() { std::fclose(m_f); }
  void Release() override {}
  int Attach(IDevice*) override { return 0; }
  int GetFileSystem() override { return 0; }
  IDevice* GetDevice() override { return nullptr; }
  int GetType() override { return DT_LETTER_VOLUME; }
  int GetSize(uint64_t* s) override { *s = m_size; return 0; }
  int GetClusterInfo(int* c, int* s) override { *c = m_cluster; *s = 512; return m_cluster ? 0 : -1; }
  int Read(void* b, uint32_t n) override { return int(std::fread(b, 1, n, m_f)); }
  int Write(const void*, uint32_t) override { return -1; }
  int64_t Seek(int64_t o, int) override { return std::fseek(m_f, long(o), SEEK_SET) == 0 ? o : -1; }
  int ReadSectors(int64_t, void*, uint32_t) override { return -1; }
  int WriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  int CloneRead(void*, uint32_t) override { return -1; }
  int CloneWrite(const void*, uint32_t) override { return -1; }
  int64_t CloneSeek(int64_t, int) override { return -1; }
  int CloneReadSectors(int64_t, void*, uint32_t) override { return -1; }
  int CloneWriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  bool IsReadOnly() override { return true; }
  int Close(int) override { return 0; }
  std::FILE* m_f;
  uint64_t m_size;
  int m_cluster;
};

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<uint8_t> ReadAll(const std::string& p) {
  std::vector<uint8_t> v;
  std::FILE* f = std::fopen(p.c_str(), "rb");
  if (!f) return v;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
  std::fclose(f);
  return v;
}

bool PrefixMatch(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  size_t n = std::min(a.size(), b.size());
  if (n == 0 || std::memcmp(a.data(), b.data(), n) != 0) return false;
  const auto& l = a.size() > b.size() ? a : b;
  for (size_t i = n; i < l.size(); ++i)
    if (l[i]) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string image = argc > 1 ? argv[1] : "/tmp/kestrum-raw-bench.img";
  int64_t mib = argc > 2 ? std::atoll(argv[2]) : 1024;
  std::string dir = "/tmp/kestrum-raw-bench-src";
  std::string mk = "mkdir -p " + dir + " && cd " + dir + " && ";
  const char* cmds[] = {
      "/usr/bin/convert -size 320x240 plasma:fractal a.png",
      "/usr/bin/convert -size 320x240 plasma:fractal a.bmp",
      "/usr/bin/convert -size 128x128 xc:gray +noise Random -compress none a.psd",
      "ffmpeg -y -f lavfi -i sine=frequency=440:duration=3 a.wav",
      "ffmpeg -y -f lavfi -i sine=frequency=440:duration=3 a.aif",
      "ffmpeg -y -f lavfi -i testsrc=duration=3:size=320x240:rate=25 -c:v mjpeg a.avi",
      "ffmpeg -y -f lavfi -i testsrc=duration=3:size=320x240:rate=25 -c:v mjpeg a.mkv",
      "ffmpeg -y -f lavfi -i testsrc=duration=3:size=320x240:rate=25 -c:v flv1 a.flv",
      "ffmpeg -y -f lavfi -i sine=frequency=330:duration=8 -c:a libvorbis a.ogg",
      "head -c 200000 /dev/urandom > b && bzip2 -kf b",
      "/usr/bin/convert -size 640x480 plasma:fractal a.jpg",
      "/usr/bin/convert -size 320x240 plasma:fractal -interlace Plane p.jpg",
      "/usr/bin/convert -size 160x120 plasma:red-blue plasma:green-yellow plasma:fractal -loop 0 a.gif",
      "/usr/bin/convert -size 256x256 plasma:fractal a.tif",
      "head -c 60000 /dev/urandom | base64 > t.txt && rm -f a.zip && printf 'bench zip' | zip -q -z a.zip t.txt a.png",
      "HOME=/tmp/kestrum-raw-bench-src soffice --headless --convert-to pdf t.txt && qpdf --linearize t.pdf a.pdf",
      "HOME=/tmp/kestrum-raw-bench-src soffice --headless --convert-to doc t.txt && mv t.doc a.doc",
      "HOME=/tmp/kestrum-raw-bench-src soffice --headless --convert-to docx t.txt && mv t.docx a.docx",
      "ffmpeg -y -f lavfi -i sine=frequency=440:duration=5 -c:a libmp3lame a.mp3",
      "ffmpeg -y -f lavfi -i testsrc=duration=3:size=320x240:rate=25 -c:v mpeg4 a.mp4",
      "ffmpeg -y -f lavfi -i testsrc=duration=3:size=320x240:rate=25 -c:v mpeg4 a.mov",
      "ffmpeg -y -f lavfi -i sine=frequency=440:duration=5 -c:a aac a.m4a",
      "ffmpeg -y -f lavfi -i testsrc=duration=3:size=320x240:rate=25 -c:v mpeg1video -f mpeg a.mpg",
      "ffmpeg -y -f lavfi -i sine=frequency=440:duration=5 -c:a wmav2 a.wma",
      "ffmpeg -y -f lavfi -i testsrc=duration=3:size=320x240:rate=25 -c:v wmv2 a.wmv",
      "ffmpeg -y -f lavfi -i sine=frequency=440:duration=5 -ar 22050 -ac 1 -c:a aac -f adts a.aac",
  };
  std::map<std::string, std::vector<uint8_t>> files;
  for (const char* c : cmds) {
    if (std::system((mk + c + " >/dev/null 2>&1").c_str()) != 0) continue;
  }
  for (const char* e : {"png", "bmp", "psd", "wav", "aif", "avi", "mkv", "flv", "ogg", "jpg", "gif", "tif", "zip",
                        "pdf", "doc", "docx", "mp3", "mp4", "mov", "m4a", "mpg", "wma", "wmv", "aac"}) {
    auto v = ReadAll(dir + "/a." + e);
    if (!v.empty()) files[e] = v;
  }
  auto prog = ReadAll(dir + "/p.jpg");
  if (!prog.empty()) files["jpg-progressive"] = prog;
  auto bz = ReadAll(dir + "/b.bz2");
  if (!bz.empty()) files["bz2"] = bz;

  // Layout: each file at a 4 KiB boundary, then 8 KiB of zeros, then 0-64 KiB of filler
  // (random bytes whose first word is zero, so they start no file).
  std::mt19937 rng(7);
  std::vector<uint8_t> filler(65536);
  for (auto& b : filler) b = uint8_t(rng());
  std::FILE* out = std::fopen(image.c_str(), "wb");
  if (!out) return 1;
  int64_t pos = 0, limit = mib << 20;
  std::vector<std::pair<std::string, int64_t>> placed;
  std::vector<uint8_t> zeros(8192 + 4096, 0);
  while (pos < limit) {
    for (auto& kv : files) {
      placed.emplace_back(kv.first, pos);
      std::fwrite(kv.second.data(), 1, kv.second.size(), out);
      pos += int64_t(kv.second.size());
      int64_t pad = (4096 - pos % 4096) % 4096 + 8192;
      std::fwrite(zeros.data(), 1, size_t(pad), out);
      pos += pad;
      size_t f = (rng() % 16) * 4096;
      for (size_t i = 0; i < f; i += 4096) {
        filler[i] = filler[i + 1] = filler[i + 2] = filler[i + 3] = 0;
      }
      std::fwrite(filler.data(), 1, f, out);
      pos += int64_t(f);
    }
  }
  std::fclose(out);
  std::printf("image %s: %.0f MiB, %zu files placed\n", image.c_str(), pos / 1048576.0, placed.size());

  // Warm the page cache, then time a plain read in 8 MiB pieces.
  std::vector<uint8_t> buf(8 << 20);
  for (int pass = 0; pass < 2; ++pass) {
    std::FILE* f = std::fopen(image.c_str(), "rb");
    std::setvbuf(f, nullptr, _IONBF, 0);
    double t0 = Now();
    size_t total = 0, n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) total += n;
    double dt = Now() - t0;
    std::fclose(f);
    if (pass == 1) std::printf("plain read: %.0f MB/s\n", total / dt / 1e6);
  }
  double readRate = 0;
  {
    std::FILE* f = std::fopen(image.c_str(), "rb");
    std::setvbuf(f, nullptr, _IONBF, 0);
    double t0 = Now();
    size_t total = 0, n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) total += n;
    readRate = total / (Now() - t0) / 1e6;
    std::fclose(f);
  }

  std::vector<uint8_t> whole = ReadAll(image);
  for (int mode : {SECTOR_SCAN, CLUSTER_SCAN}) {
    FileStorage dev(image, mode == CLUSTER_SCAN ? 4096 : 0);
    rawtest::RecordingManager fm;
    CRawRecover r;
    r.SetDevice(&dev);
    r.SetFileManager(&fm);
    for (auto& kv : files) r.AddFileType(kv.first.substr(0, kv.first.find('-')).c_str());
    r.SetScanMode(mode);
    double t0 = Now();
    int rc = r.Scan(nullptr);
    double dt = Now() - t0;
    double rate = double(dev.m_size) / dt / 1e6;
    rawtest::MemStorage view({}, 0);
    int match = 0;
    std::set<int64_t> matched;  // a file reported under several names counts once
    std::map<int64_t, std::string> at;
    for (auto& p : placed) at[p.second] = p.first;
    for (auto& fnd : fm.files) {
      RunList* run = static_cast<RunList*>(fnd.info->GetRunList());
      int64_t start = int64_t(run->m_start) * 512;
      auto it = at.find(start);
      if (it == at.end()) continue;
      size_t len = size_t(fnd.info->GetSize());
      if (uint64_t(start) + len > whole.size()) continue;
      std::vector<uint8_t> carved(whole.begin() + start, whole.begin() + start + int64_t(len));
      if (PrefixMatch(carved, files[it->second]) && matched.insert(start).second) ++match;
    }
    std::printf("mode %d: rc %d, %.0f MB/s (scan/read %.2f), %zu carved of %zu placed, %d match\n", mode, rc,
                rate, rate / readRate, fm.files.size(), placed.size(), match);
  }
  return 0;
}
