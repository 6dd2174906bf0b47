// Raw-scan accuracy and throughput on a disk-like image: real files of every covered type
// (made with ffmpeg, lame, ImageMagick, LibreOffice, qpdf, zip and bzip2) are written into a
// FAT32 volume through mtools and deleted again. The image is filled with random bytes
// before mkfs.fat, which leaves the data area as it is, so the slack after each file is the
// old random content and a size rounded to a unit shows as a mismatch.
//
// Prints, per type: files placed, carved (something reported at the file's start under its
// extension), exact (the carved bytes are the file), prefix (one is the beginning of the
// other: cut short or carried on into the slack), wrong and missing; then the scan speeds in
// sector and cluster mode (single thread, page-cached image). When PhotoRec is installed it
// is run on the same image and its files are counted by the same rule.
//
// Usage: raw_scan_bench [image-path] [MiB]   (default /tmp/kestrum-raw-bench.img, 1024)
#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
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

bool Sh(const std::string& cmd) { return std::system(("(" + cmd + ") >/dev/null 2>&1").c_str()) == 0; }

// One kind of file: the label it is counted under, the extension it must be carved as, the
// file the tool wrote and the command that writes it.
struct Source {
  Source(const char* l, const char* e, const std::string& f, const std::string& c) : label(l), ext(e), file(f), cmd(c) {}
  std::string label, ext, file, cmd;
  std::vector<uint8_t> bytes;
};

struct Placed {
  size_t source;
  int64_t at;  // byte offset in the image
};

enum Verdict { kMissing, kExact, kPrefix, kWrong };

Verdict Judge(const std::vector<uint8_t>& got, const std::vector<uint8_t>& orig) {
  if (got == orig) return kExact;
  size_t n = std::min(got.size(), orig.size());
  if (n > 0 && std::memcmp(got.data(), orig.data(), n) == 0) return kPrefix;
  return kWrong;
}

struct Tally {
  int placed = 0, carved = 0, exact = 0, prefix = 0, wrong = 0;
};

void PrintTallies(const char* title, const std::vector<Source>& src, const std::vector<Placed>& placed,
                  const std::map<int64_t, Verdict>& verdicts) {
  std::map<std::string, Tally> t;
  Tally all;
  for (const Placed& p : placed) {
    Tally& k = t[src[p.source].label];
    ++k.placed;
    ++all.placed;
    auto it = verdicts.find(p.at);
    Verdict v = it == verdicts.end() ? kMissing : it->second;
    if (v == kMissing) continue;
    ++k.carved, ++all.carved;
    if (v == kExact) ++k.exact, ++all.exact;
    if (v == kPrefix) ++k.prefix, ++all.prefix;
    if (v == kWrong) ++k.wrong, ++all.wrong;
  }
  std::printf("%s\n  %-16s %7s %7s %7s %7s %7s %7s\n", title, "type", "placed", "carved", "exact", "prefix", "wrong",
              "missing");
  for (auto& kv : t)
    std::printf("  %-16s %7d %7d %7d %7d %7d %7d\n", kv.first.c_str(), kv.second.placed, kv.second.carved,
                kv.second.exact, kv.second.prefix, kv.second.wrong, kv.second.placed - kv.second.carved);
  std::printf("  %-16s %7d %7d %7d %7d %7d %7d\n", "all", all.placed, all.carved, all.exact, all.prefix, all.wrong,
              all.placed - all.carved);
}

// The FAT32 geometry and the files of the root directory (8.3 names only), each with its
// first cluster; files whose cluster chain is not contiguous are left out.
struct Fat32 {
  int64_t dataStart = 0, clusterSize = 0;
  std::map<std::string, int64_t> files;  // short name -> byte offset of the file
};

bool ReadFat32(const std::vector<uint8_t>& img, Fat32* out) {
  if (img.size() < 512) return false;
  const uint8_t* b = img.data();
  uint32_t bps = kbytes::Le16(b + 11), spc = b[13], res = kbytes::Le16(b + 14), nf = b[16];
  uint32_t fatsz = kbytes::Le32(b + 36), root = kbytes::Le32(b + 44);
  if (bps == 0 || spc == 0) return false;
  out->clusterSize = int64_t(bps) * spc;
  out->dataStart = (int64_t(res) + int64_t(nf) * fatsz) * bps;
  const int64_t fatAt = int64_t(res) * bps;
  auto next = [&](uint32_t c) -> uint32_t {
    int64_t at = fatAt + int64_t(c) * 4;
    if (at + 4 > int64_t(img.size())) return 0x0fffffff;
    return kbytes::Le32(&img[size_t(at)]) & 0x0fffffff;
  };
  auto offsetOf = [&](uint32_t c) { return out->dataStart + (int64_t(c) - 2) * out->clusterSize; };
  std::set<uint32_t> seen;
  for (uint32_t c = root; c >= 2 && c < 0x0ffffff8 && seen.insert(c).second; c = next(c)) {
    int64_t at = offsetOf(c);
    if (at + out->clusterSize > int64_t(img.size())) break;
    for (int64_t e = 0; e < out->clusterSize; e += 32) {
      const uint8_t* d = &img[size_t(at + e)];
      if (d[0] == 0) return true;
      if (d[0] == 0xe5 || d[11] == 0x0f || (d[11] & 0x18)) continue;
      std::string name(reinterpret_cast<const char*>(d), 8);
      name = name.substr(0, name.find(' ')) + "." + std::string(reinterpret_cast<const char*>(d + 8), 3);
      uint32_t first = (uint32_t(kbytes::Le16(d + 20)) << 16) | kbytes::Le16(d + 26);
      uint32_t size = kbytes::Le32(d + 28);
      int64_t clusters = (int64_t(size) + out->clusterSize - 1) / out->clusterSize;
      bool contiguous = first >= 2;
      uint32_t k = first;
      for (int64_t i = 1; contiguous && i < clusters; ++i) {
        uint32_t n = next(k);
        contiguous = n == k + 1;
        k = n;
      }
      if (contiguous) out->files[name] = offsetOf(first);
    }
  }
  return true;
}

// PhotoRec names each file it recovers after its start sector ("f0012345.jpg").
std::map<int64_t, std::string> PhotoRecFiles(const std::string& outBase) {
  std::map<int64_t, std::string> found;
  for (int n = 1; n < 1000; ++n) {
    std::string dir = outBase + "." + std::to_string(n);
    DIR* d = opendir(dir.c_str());
    if (!d) break;
    while (dirent* e = readdir(d)) {
      const char* s = e->d_name;
      if (s[0] != 'f' || !std::isdigit(static_cast<unsigned char>(s[1]))) continue;
      found[std::atoll(s + 1) * 512] = dir + "/" + s;
    }
    closedir(d);
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  std::string image = argc > 1 ? argv[1] : "/tmp/kestrum-raw-bench.img";
  int64_t mib = argc > 2 ? std::atoll(argv[2]) : 1024;
  if (mib < 300) mib = 300;  // mtools wants a FAT32 volume of this many 4 KiB clusters
  const std::string dir = "/tmp/kestrum-raw-bench-src";
  const std::string im = "/usr/bin/convert";
  const std::string ff = "ffmpeg -y -loglevel error ";
  const std::string lo = "HOME=" + dir + " timeout 120 soffice --headless --norestore --convert-to ";
  const std::string sine = "-f lavfi -i sine=frequency=440:duration=";
  const std::string video = "-f lavfi -i testsrc=duration=3:size=320x240:rate=25 ";
  Sh("rm -rf " + dir + " && mkdir -p " + dir + "/.config/libreoffice/4/user");
  // LibreOffice as many installations run it, without preview pictures in the documents.
  {
    std::FILE* x = std::fopen((dir + "/.config/libreoffice/4/user/registrymodifications.xcu").c_str(), "w");
    if (x) {
      std::fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<oor:items xmlns:oor=\"http://openoffice.org/2001/"
                 "registry\" xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/"
                 "XMLSchema-instance\">\n<item oor:path=\"/org.openoffice.Office.Common/Save/Document\"><prop "
                 "oor:name=\"GenerateThumbnail\" oor:op=\"fuse\"><value>false</value></prop></item>\n</oor:items>\n",
                 x);
      std::fclose(x);
    }
  }
  Sh("cd " + dir + " && printf 'Dear tax office,\\nplease find the receipts of 2019 attached.\\nRegards\\n' > note.txt"
     " && printf 'Item,Amount\\nPaper,12\\nInk,30\\nStamps,8\\n' > sheet.csv"
     " && head -c 60000 /dev/urandom | base64 > long.txt"
     " && printf '%s' '<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document "
     "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
     "xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\" office:version=\"1.2\" "
     "office:mimetype=\"application/vnd.oasis.opendocument.presentation\"><office:body><office:presentation>"
     "<draw:page draw:name=\"One\"/></office:presentation></office:body></office:document>' > slides.fodp");
  std::vector<Source> src = {
      {"wav", "wav", "a.wav", ff + sine + "3 a.wav"},
      {"avi", "avi", "a.avi", ff + video + "-c:v mpeg4 a.avi"},
      {"avi-mjpeg", "avi", "m.avi", ff + video + "-c:v mjpeg m.avi"},
      {"mpg", "mpg", "a.mpg", ff + video + "-c:v mpeg1video -f mpeg a.mpg"},
      {"mpg-vob", "mpg", "v.mpg", ff + video + sine + "3 -c:v mpeg2video -c:a mp2 -shortest -f vob v.mpg"},
      {"ogg-vorbis", "ogg", "a.ogg", ff + sine + "4 -c:a libvorbis a.ogg"},
      {"ogg-theora", "ogg", "v.ogg", ff + video + "-c:v libtheora v.ogg"},
      {"mp3-lame-id3", "mp3", "a.mp3",
       ff + sine + "4 t.wav && lame --quiet --add-id3v2 --tt Tone --ta Kestrum --tl Bench --ty 2019 t.wav a.mp3"},
      {"mp3-ffmpeg", "mp3", "f.mp3", ff + sine + "5 -c:a libmp3lame f.mp3"},
      {"docx", "docx", "note.docx", lo + "docx note.txt"},
      {"xlsx", "xlsx", "sheet.xlsx", lo + "xlsx sheet.csv"},
      {"pptx", "pptx", "slides.pptx", lo + "pptx slides.fodp"},
      {"odt", "odt", "note.odt", lo + "odt note.txt"},
      {"pdf-small", "pdf", "note.pdf", lo + "pdf note.txt"},
      {"pdf-linearized", "pdf", "lin.pdf", lo + "pdf long.txt && qpdf --linearize long.pdf lin.pdf"},
      {"doc", "doc", "long.doc", lo + "doc long.txt"},
      {"png", "png", "a.png", im + " -size 320x240 plasma:fractal a.png"},
      {"jpg", "jpg", "a.jpg", im + " -size 640x480 plasma:fractal a.jpg"},
      {"jpg-progressive", "jpg", "p.jpg", im + " -size 320x240 plasma:fractal -interlace Plane p.jpg"},
      {"gif", "gif", "a.gif", im + " -size 160x120 plasma:red-blue plasma:green-yellow -loop 0 a.gif"},
      {"tif", "tif", "a.tif", im + " -size 256x256 plasma:fractal a.tif"},
      {"bmp", "bmp", "a.bmp", im + " -size 320x240 plasma:fractal a.bmp"},
      {"psd", "psd", "a.psd", im + " -size 128x128 xc:gray +noise Random -compress none a.psd"},
      {"zip", "zip", "a.zip", "rm -f a.zip && printf 'bench zip' | zip -q -z a.zip long.txt"},
      {"bz2", "bz2", "b.bz2", "head -c 200000 /dev/urandom > b && bzip2 -kf b"},
      {"aif", "aif", "a.aif", ff + sine + "3 a.aif"},
      {"mkv", "mkv", "a.mkv", ff + video + "-c:v mpeg4 a.mkv"},
      {"flv", "flv", "a.flv", ff + video + "-c:v flv1 a.flv"},
      {"mp4", "mp4", "a.mp4", ff + video + "-c:v mpeg4 a.mp4"},
      {"mov", "mov", "a.mov", ff + video + "-c:v mpeg4 a.mov"},
      {"m4a", "m4a", "a.m4a", ff + sine + "5 -c:a aac a.m4a"},
      {"wma", "wma", "a.wma", ff + sine + "5 -c:a wmav2 a.wma"},
      {"wmv", "wmv", "a.wmv", ff + video + "-c:v wmv2 a.wmv"},
      {"aac", "aac", "a.aac", ff + sine + "5 -ar 22050 -ac 1 -c:a aac -f adts a.aac"},
  };
  std::vector<Source> made;
  for (Source& s : src) {
    if (!Sh("cd " + dir + " && " + s.cmd)) {
      std::printf("left out %s (its tool failed)\n", s.label.c_str());
      continue;
    }
    s.bytes = ReadAll(dir + "/" + s.file);
    if (s.bytes.empty()) continue;
    made.push_back(s);
  }
  src.swap(made);
  for (const Source& s : src) std::printf("  %-16s %8zu bytes\n", s.label.c_str(), s.bytes.size());

  // The volume: random bytes, then mkfs.fat, then rounds of every file under 8.3 names
  // until about 60 % of it is used, then every file deleted.
  const std::string stage = dir + "/stage";
  Sh("rm -rf " + stage + " && mkdir -p " + stage);
  int64_t perRound = 0;
  for (const Source& s : src) perRound += int64_t(s.bytes.size() + 4096);
  int rounds = int(std::max<int64_t>(1, (mib << 20) * 6 / 10 / std::max<int64_t>(perRound, 1)));
  std::map<std::string, size_t> byName;
  std::string links;
  for (int r = 0; r < rounds; ++r)
    for (size_t i = 0; i < src.size(); ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "R%04dF%02d.DAT", r % 10000, int(i % 100));
      byName[name] = i;
      links += "ln -s " + dir + "/" + src[i].file + " " + stage + "/" + name + "\n";
    }
  {
    std::FILE* f = std::fopen((dir + "/links.sh").c_str(), "w");
    std::fputs(links.c_str(), f);
    std::fclose(f);
  }
  double t0 = Now();
  if (!Sh("sh " + dir + "/links.sh") ||
      !Sh("head -c " + std::to_string(mib) + "M /dev/urandom > " + image + " && mkfs.fat -F 32 -s 8 " + image) ||
      !Sh("cd " + stage + " && mcopy -i " + image + " -Q *.DAT ::/")) {
    std::printf("could not build the volume (mkfs.fat and mtools are needed)\n");
    return 1;
  }
  std::vector<uint8_t> whole = ReadAll(image);
  Fat32 fat;
  if (!ReadFat32(whole, &fat)) return 1;
  std::vector<Placed> placed;
  for (auto& kv : fat.files) {
    auto it = byName.find(kv.first);
    if (it == byName.end()) continue;
    const std::vector<uint8_t>& b = src[it->second].bytes;
    if (kv.second + int64_t(b.size()) > int64_t(whole.size()) ||
        std::memcmp(&whole[size_t(kv.second)], b.data(), b.size()) != 0)
      continue;
    placed.push_back({it->second, kv.second});
  }
  std::sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) { return a.at < b.at; });
  Sh("mdel -i " + image + " '::/*.DAT'");
  whole = ReadAll(image);
  int zeroSlack = 0;
  for (const Placed& p : placed) {
    size_t end = size_t(p.at) + src[p.source].bytes.size();
    if (end % 4096 && end + 4 <= whole.size() && !(whole[end] | whole[end + 1] | whole[end + 2] | whole[end + 3]))
      ++zeroSlack;
  }
  std::printf("image %s: %lld MiB FAT32, clusters of %lld bytes, data at %lld; %zu files placed and deleted "
              "(%d with a zero slack start), built in %.0f s\n",
              image.c_str(), (long long)mib, (long long)fat.clusterSize, (long long)fat.dataStart, placed.size(),
              zeroSlack, Now() - t0);

  // Warm the page cache, then time a plain read in 8 MiB pieces.
  std::vector<uint8_t> buf(8 << 20);
  double readRate = 0;
  for (int pass = 0; pass < 2; ++pass) {
    std::FILE* f = std::fopen(image.c_str(), "rb");
    std::setvbuf(f, nullptr, _IONBF, 0);
    double r0 = Now();
    size_t total = 0, n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) total += n;
    readRate = double(total) / (Now() - r0) / 1e6;
    std::fclose(f);
  }
  std::printf("plain read: %.0f MB/s\n", readRate);

  std::set<std::string> exts;
  for (const Source& s : src) exts.insert(s.ext);
  for (int mode : {SECTOR_SCAN, CLUSTER_SCAN}) {
    FileStorage dev(image, mode == CLUSTER_SCAN ? int(fat.clusterSize) : 0);
    rawtest::RecordingManager fm;
    CRawRecover r;
    r.SetDevice(&dev);
    r.SetFileManager(&fm);
    for (const std::string& e : exts) r.AddFileType(e.c_str());
    r.SetScanMode(mode);
    double s0 = Now();
    int rc = r.Scan(nullptr);
    double dt = Now() - s0;
    double rate = double(dev.m_size) / dt / 1e6;
    std::map<int64_t, size_t> at;
    for (const Placed& p : placed) at[p.at] = p.source;
    std::map<int64_t, Verdict> verdicts;
    for (auto& fnd : fm.files) {
      RunList* run = static_cast<RunList*>(fnd.info->GetRunList());
      int64_t start = int64_t(run->m_start) * 512;
      auto it = at.find(start);
      if (it == at.end()) continue;
      const Source& s = src[it->second];
      if (fnd.name.substr(fnd.name.find('.') + 1) != s.ext) continue;
      int64_t len = std::min<int64_t>(fnd.info->GetSize(), int64_t(whole.size()) - start);
      std::vector<uint8_t> carved(whole.begin() + start, whole.begin() + start + len);
      Verdict v = Judge(carved, s.bytes);
      auto& slot = verdicts[start];
      if (slot == kMissing || v < slot) slot = v;  // a file reported under several names counts once, at its best
    }
    char title[200];
    std::snprintf(title, sizeof title, "mode %d (%s): rc %d, scan %.0f MB/s (%.2f GB/s, scan/read %.2f), %zu reported",
                  mode, mode == SECTOR_SCAN ? "sector" : "cluster", rc, rate, rate / 1000, rate / readRate,
                  fm.files.size());
    PrintTallies(title, src, placed, verdicts);
  }

  // The same image through PhotoRec, when it is installed; its files are judged alike.
  if (Sh("command -v photorec")) {
    const std::string out = dir + "/photorec";
    Sh("rm -rf " + out + ".*");
    double p0 = Now();
    Sh("photorec /log /d " + out + " /cmd " + image + " partition_none,fileopt,everything,enable,"
       "search < /dev/null");
    double pt = Now() - p0;
    std::map<int64_t, std::string> files = PhotoRecFiles(out);
    std::map<int64_t, Verdict> verdicts;
    for (const Placed& p : placed) {
      auto it = files.find(p.at);
      if (it == files.end()) continue;
      verdicts[p.at] = Judge(ReadAll(it->second), src[p.source].bytes);
    }
    char title[200];
    std::snprintf(title, sizeof title, "PhotoRec (whole image, every type): %zu files in %.0f s (%.0f MB/s)",
                  files.size(), pt, double(whole.size()) / pt / 1e6);
    PrintTallies(title, src, placed, verdicts);
  } else {
    std::printf("PhotoRec not installed: no comparison\n");
  }
  return 0;
}
