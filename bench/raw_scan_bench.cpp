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
// A second image holds large files (photos of several MB, video and audio of tens of MB,
// PDF and office documents) written densely into FAT32 and deleted; it is built once and kept
// in the build folder. For it the bench prints the scan alone (files kept in memory), the
// whole run with every found file written out and judged from what was written, and `dd` at
// 1 MiB and 8 MiB blocks over the same image, all in cluster mode with every type selected.
//
// Last, every type is looked for in random bytes (made as they are read, no image on disk),
// in sector and cluster mode: the bench prints how many files of each type came out of the
// noise, which shows a header test that takes too little as well as its speed.
//
// Usage: raw_scan_bench [image-path] [MiB]   the small-file image only (default
//                                            /tmp/kestrum-raw-bench.img, 1024)
//        raw_scan_bench --large              the large-file image only
//        raw_scan_bench --large-scan         one scan alone of the cached large image
//        raw_scan_bench --noise [MiB]        random bytes only (default 16384)
//        raw_scan_bench                      all three
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/istoragedevice.h"
#include "rawrecovery/analysertype.h"
#include "rawrecovery/rawrecover.h"
#include "rawtestdev.h"
#include "readonlystorage.h"

namespace {

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

bool ReadFat32(const uint8_t* b, size_t imgSize, Fat32* out) {
  if (imgSize < 512) return false;
  uint32_t bps = kbytes::Le16(b + 11), spc = b[13], res = kbytes::Le16(b + 14), nf = b[16];
  uint32_t fatsz = kbytes::Le32(b + 36), root = kbytes::Le32(b + 44);
  if (bps == 0 || spc == 0) return false;
  out->clusterSize = int64_t(bps) * spc;
  out->dataStart = (int64_t(res) + int64_t(nf) * fatsz) * bps;
  const int64_t fatAt = int64_t(res) * bps;
  auto next = [&](uint32_t c) -> uint32_t {
    int64_t at = fatAt + int64_t(c) * 4;
    if (at + 4 > int64_t(imgSize)) return 0x0fffffff;
    return kbytes::Le32(b + at) & 0x0fffffff;
  };
  auto offsetOf = [&](uint32_t c) { return out->dataStart + (int64_t(c) - 2) * out->clusterSize; };
  std::set<uint32_t> seen;
  for (uint32_t c = root; c >= 2 && c < 0x0ffffff8 && seen.insert(c).second; c = next(c)) {
    int64_t at = offsetOf(c);
    if (at + out->clusterSize > int64_t(imgSize)) break;
    for (int64_t e = 0; e < out->clusterSize; e += 32) {
      const uint8_t* d = b + at + e;
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

int RunSmall(const std::string& image, int64_t mib) {
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
  if (!ReadFat32(whole.data(), whole.size(), &fat)) return 1;
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
    FileStorage dev(image, mode == CLUSTER_SCAN ? int(fat.clusterSize) : 0, DT_LETTER_VOLUME);
    rawtest::RecordingManager fm;
    CRawRecover r;
    r.SetDevice(&dev);
    r.SetFileManager(&fm);
    for (const std::string& e : exts) r.AddFileType(e.c_str());
    r.SetScanMode(mode);
    double s0 = Now();
    int rc = r.Scan(nullptr);
    double dt = Now() - s0;
    double rate = double(dev.size()) / dt / 1e6;
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

namespace {

// A read-only view of a whole file.
struct Mapped {
  explicit Mapped(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
      void* p = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
      if (p != MAP_FAILED) {
        data = static_cast<const uint8_t*>(p);
        size = size_t(st.st_size);
      }
    }
    close(fd);
  }
  ~Mapped() {
    if (data) munmap(const_cast<uint8_t*>(data), size);
  }
  Mapped(const Mapped&) = delete;
  Mapped& operator=(const Mapped&) = delete;
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// The results tree of the whole run: every file is written out through its run list as
// soon as it is found, the way a recovery copies what it finds.
class WritingManager : public rawtest::RecordingManager {
 public:
  WritingManager(int imageFd, const std::string& outDir) : m_fd(imageFd), m_dir(outDir) {}
  int64_t written = 0;
  int AddFile(const char16_t* folder, IFileInfo* file) override {
    RecordingManager::AddFile(folder, file);
    std::string out = m_dir + "/" + files.back().name;
    int dst = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (dst < 0) return 0;
    int64_t left = file->GetSize();
    for (RunList* r = static_cast<RunList*>(file->GetRunList()); r && left > 0; r = r->m_next) {
      int64_t at = int64_t(r->m_start) * 512;
      int64_t len = std::min<int64_t>(int64_t(r->m_count) * 512, left);
      while (len > 0) {
        size_t piece = size_t(std::min<int64_t>(len, int64_t(m_buf.size())));
        ssize_t got = pread(m_fd, m_buf.data(), piece, at);
        if (got <= 0) break;
        if (write(dst, m_buf.data(), size_t(got)) != got) break;
        at += got;
        len -= got;
        left -= got;
        written += got;
      }
    }
    close(dst);
    return 0;
  }

 private:
  int m_fd;
  std::string m_dir;
  std::vector<uint8_t> m_buf = std::vector<uint8_t>(1 << 20);
};

std::string BuildDir() { return KESTRUM_BENCH_BUILD_DIR; }

// Scans the image in cluster mode with every type of the table selected; returns seconds.
double ScanAllTypes(const std::string& image, int cluster, rawtest::RecordingManager* fm, int* rc) {
  FileStorage dev(image, cluster, DT_LETTER_VOLUME);
  CRawRecover r;
  r.SetDevice(&dev);
  r.SetFileManager(fm);
  FileHintTable* table = FileHintTable::Instance();
  for (size_t i = 0; i < table->Count(); ++i) r.AddFileType(table->Row(i).ext);
  r.SetScanMode(CLUSTER_SCAN);
  double s0 = Now();
  *rc = r.Scan(nullptr);
  return Now() - s0;
}

double DdSeconds(const std::string& image, const char* bs) {
  std::string cmd = "dd if=" + image + " of=/dev/null bs=" + bs + " status=none";
  Sh(cmd);  // warm
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    double t0 = Now();
    Sh(cmd);
    best = std::min(best, Now() - t0);
  }
  return best;
}

struct LargeSet {
  std::vector<Source> src;
  std::vector<Placed> placed;
  int64_t clusterSize = 0;
};

// The large files, made once into the source folder; the image and the list of where each
// copy landed are kept beside it, so later runs only scan.
bool BuildLarge(const std::string& image, LargeSet* set) {
  const std::string dir = BuildDir() + "/bench-images/raw-large-src";
  const std::string list = image + ".placed";
  const std::string im = "/usr/bin/convert ";
  const std::string ff = "ffmpeg -y -loglevel error ";
  const std::string lo = "HOME=" + dir + " timeout 180 soffice --headless --norestore --convert-to ";
  const std::string tone = "-f lavfi -i sine=frequency=440:duration=";
  const std::string hd = "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=";
  const std::string sd = "-f lavfi -i testsrc2=size=640x480:rate=25:duration=";
  Sh("mkdir -p " + dir + "/.config/libreoffice/4/user");
  std::vector<Source> src = {
      {"jpg-photo", "jpg", "photo.jpg", im + "base.png -quality 95 photo.jpg"},
      {"jpg-photo-exif", "jpg", "exif.jpg", im + "base.png -resize 3000x2250 -quality 92 exif.jpg && exiftool -q "
                                            "-overwrite_original -Make=Kestrum -Model=Bench exif.jpg || true"},
      {"jpg-progressive", "jpg", "prog.jpg", im + "base.png -resize 2400x1800 -interlace Plane -quality 90 prog.jpg"},
      {"png-photo", "png", "photo.png", im + "base.png -resize 2000x1500 photo.png"},
      {"tif-photo", "tif", "photo.tif", im + "base.png -resize 1600x1200 -compress none photo.tif"},
      {"bmp-photo", "bmp", "photo.bmp", im + "base.png -resize 1600x1200 photo.bmp"},
      {"gif-anim", "gif", "anim.gif", im + "-size 400x300 plasma:red-blue plasma:green-yellow plasma:fractal "
                                          "-loop 0 anim.gif"},
      {"psd", "psd", "photo.psd", im + "base.png -resize 1024x768 -compress none photo.psd"},
      {"mp4-hd", "mp4", "hd.mp4", ff + hd + "20 " + tone + "20 -c:v mpeg4 -b:v 8M -c:a aac -shortest hd.mp4"},
      {"mov-hd", "mov", "hd.mov", ff + hd + "12 " + tone + "12 -c:v mpeg4 -b:v 8M -c:a aac -shortest hd.mov"},
      {"avi-mpeg4", "avi", "hd.avi", ff + hd + "12 " + tone + "12 -c:v mpeg4 -b:v 8M -c:a pcm_s16le -shortest "
                                     "hd.avi"},
      {"avi-mjpeg", "avi", "mj.avi", ff + sd + "8 -c:v mjpeg -q:v 3 mj.avi"},
      {"mpg-ps", "mpg", "hd.mpg", ff + sd + "15 " + tone + "15 -c:v mpeg2video -b:v 6M -c:a mp2 -shortest -f vob "
                                  "hd.mpg"},
      {"mkv", "mkv", "hd.mkv", ff + sd + "12 -c:v mpeg4 -b:v 6M hd.mkv"},
      {"flv", "flv", "sd.flv", ff + sd + "10 -c:v flv1 -b:v 3M sd.flv"},
      {"wmv", "wmv", "sd.wmv", ff + sd + "10 -c:v wmv2 -b:v 4M sd.wmv"},
      {"ogg-theora", "ogg", "sd.ogg", ff + sd + "10 -c:v libtheora -q:v 8 sd.ogg"},
      {"wav-long", "wav", "long.wav", ff + tone + "90 -ac 2 -ar 44100 long.wav"},
      {"mp3-lame", "mp3", "long.mp3", ff + tone + "240 -ac 2 t.wav && lame --quiet -b 192 --add-id3v2 --tt Tone "
                                      "t.wav long.mp3 && rm -f t.wav"},
      {"ogg-vorbis", "ogg", "long.ogg", ff + tone + "240 -ac 2 -c:a libvorbis -q:a 6 long.ogg"},
      {"m4a", "m4a", "long.m4a", ff + tone + "240 -ac 2 -c:a aac -b:a 192k long.m4a"},
      {"wma", "wma", "long.wma", ff + tone + "180 -ac 2 -c:a wmav2 -b:a 192k long.wma"},
      {"aif", "aif", "long.aif", ff + tone + "40 -ac 2 long.aif"},
      {"pdf-picture", "pdf", "p1.pdf", im + "base.png -resize 1600x1200 -quality 90 p1.jpg && " + lo + "pdf p1.jpg"},
      {"pdf-text", "pdf", "text.pdf", lo + "pdf text.txt"},
      {"docx", "docx", "text.docx", lo + "docx text.txt"},
      {"odt", "odt", "text.odt", lo + "odt text.txt"},
      {"doc", "doc", "text.doc", lo + "doc text.txt"},
      {"xlsx", "xlsx", "sheet.xlsx", lo + "xlsx sheet.csv"},
      {"zip", "zip", "bundle.zip", "rm -f bundle.zip && zip -q bundle.zip photo.bmp text.txt"},
      {"bz2", "bz2", "text.bz2", "bzip2 -kc text.txt > text.bz2"},
  };
  // Smaller files, each placed several times per round, so that headers are as frequent as
  // on a disk of ordinary pictures, songs and documents.
  const size_t firstSmall = src.size();
  const int smallCopies = 6;
  std::vector<Source> small = {
      {"jpg-small", "jpg", "small.jpg", im + "base.png -resize 1024x768 -quality 85 small.jpg"},
      {"png-small", "png", "small.png", im + "base.png -resize 640x480 small.png"},
      {"gif-small", "gif", "small.gif", im + "base.png -resize 320x240 small.gif"},
      {"mp3-short", "mp3", "short.mp3", ff + tone + "20 -c:a libmp3lame -b:a 128k short.mp3"},
      {"wav-short", "wav", "short.wav", ff + tone + "4 short.wav"},
      {"mp4-short", "mp4", "short.mp4", ff + sd + "3 -c:v mpeg4 short.mp4"},
      {"pdf-short", "pdf", "short.pdf", lo + "pdf short.txt"},
      {"docx-short", "docx", "short.docx", lo + "docx short.txt"},
      {"xlsx-short", "xlsx", "short.xlsx", lo + "xlsx short.csv"},
      {"zip-small", "zip", "small.zip", "rm -f small.zip && zip -q small.zip short.txt small.png"},
  };
  src.insert(src.end(), small.begin(), small.end());
  bool cached = access(image.c_str(), R_OK) == 0 && access(list.c_str(), R_OK) == 0;
  if (!cached) {
    double t0 = Now();
    Sh("cd " + dir + " && [ -s base.png ] || " + im + "-size 4000x3000 plasma:fractal -blur 0x1 base.png");
    Sh("cd " + dir + " && [ -s text.txt ] || (head -c 600000 /dev/urandom | base64 -w 76 > text.txt)");
    Sh("cd " + dir + " && [ -s short.txt ] || (head -c 6000 /dev/urandom | base64 -w 76 > short.txt)");
    Sh("cd " + dir + " && [ -s short.csv ] || (seq 1 300 | awk '{print $1\",\"$1*7}' > short.csv)");
    Sh("cd " + dir + " && [ -s sheet.csv ] || (seq 1 20000 | awk '{print $1\",\"$1*3\",item\"$1}' > sheet.csv)");
    for (Source& s : src)
      if (access((dir + "/" + s.file).c_str(), R_OK) != 0 && !Sh("cd " + dir + " && " + s.cmd))
        std::printf("left out %s (its tool failed)\n", s.label.c_str());
    std::printf("large sources made in %.0f s\n", Now() - t0);
  }
  std::vector<Source> made;
  std::vector<int> copies;
  for (size_t i = 0; i < src.size(); ++i) {
    src[i].bytes = ReadAll(dir + "/" + src[i].file);
    if (src[i].bytes.empty()) continue;
    made.push_back(src[i]);
    copies.push_back(i >= firstSmall ? smallCopies : 1);
  }
  src.swap(made);
  set->src = src;
  if (cached) {
    std::FILE* f = std::fopen(list.c_str(), "r");
    char label[64];
    long long at = 0, cs = 0;
    if (f && std::fscanf(f, "cluster %lld\n", &cs) == 1) {
      set->clusterSize = cs;
      while (std::fscanf(f, "%63s %lld\n", label, &at) == 2)
        for (size_t i = 0; i < src.size(); ++i)
          if (src[i].label == label) set->placed.push_back({i, at});
    }
    if (f) std::fclose(f);
    if (!set->placed.empty()) return true;
  }

  // Whole rounds of every file until about 92 % of the volume is used, under 8.3 names,
  // over random bytes; then every file is deleted.
  const int64_t mib = 1280;
  int64_t perRound = 0;
  for (size_t i = 0; i < src.size(); ++i) perRound += int64_t(src[i].bytes.size() + 4096) * copies[i];
  int rounds = int(std::max<int64_t>(1, (mib << 20) * 92 / 100 / std::max<int64_t>(perRound, 1)));
  const std::string stage = dir + "/stage";
  Sh("rm -rf " + stage + " && mkdir -p " + stage);
  std::map<std::string, size_t> byName;
  int n = 0;
  for (int r = 0; r < rounds; ++r)
    for (int c = 0; c < smallCopies; ++c)
      for (size_t i = 0; i < src.size(); ++i) {
        if (c >= copies[i]) continue;
        char name[32];
        std::snprintf(name, sizeof name, "%08d.DAT", ++n);
        byName[name] = i;
        if (symlink((dir + "/" + src[i].file).c_str(), (stage + "/" + name).c_str()) != 0) return false;
      }
  double t0 = Now();
  if (!Sh("rm -f " + image + " && head -c " + std::to_string(mib) + "M /dev/urandom > " + image +
          " && mkfs.fat -F 32 -s 8 " + image) ||
      !Sh("cd " + stage + " && mcopy -i " + image + " -Q *.DAT ::/")) {
    std::printf("could not build the large volume (mkfs.fat and mtools are needed)\n");
    return false;
  }
  {
    Mapped m(image);
    Fat32 fat;
    if (!m.data || !ReadFat32(m.data, m.size, &fat)) return false;
    set->clusterSize = fat.clusterSize;
    for (auto& kv : fat.files) {
      auto it = byName.find(kv.first);
      if (it == byName.end()) continue;
      const std::vector<uint8_t>& b = src[it->second].bytes;
      if (kv.second + int64_t(b.size()) > int64_t(m.size) || std::memcmp(m.data + kv.second, b.data(), b.size()))
        continue;
      set->placed.push_back({it->second, kv.second});
    }
  }
  Sh("mdel -i " + image + " '::/*.DAT'");
  Sh("rm -rf " + stage);
  std::sort(set->placed.begin(), set->placed.end(), [](const Placed& a, const Placed& b) { return a.at < b.at; });
  std::FILE* f = std::fopen(list.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "cluster %lld\n", (long long)set->clusterSize);
  for (const Placed& p : set->placed) std::fprintf(f, "%s %lld\n", src[p.source].label.c_str(), (long long)p.at);
  std::fclose(f);
  std::printf("large image built in %.0f s\n", Now() - t0);
  return true;
}

std::string LargeImage() { return BuildDir() + "/bench-images/raw-large.img"; }

int RunLarge() {
  const std::string image = LargeImage();
  Sh("mkdir -p " + BuildDir() + "/bench-images");
  LargeSet set;
  if (!BuildLarge(image, &set)) {
    std::printf("large image: could not be built\n");
    return 1;
  }
  const std::vector<Source>& src = set.src;
  Mapped img(image);
  if (!img.data) return 1;
  int64_t totalBytes = 0;
  for (const Placed& p : set.placed) totalBytes += int64_t(src[p.source].bytes.size());
  std::printf("\nlarge-file image %s: %.0f MiB FAT32, clusters of %lld bytes; %zu files of %zu kinds, %.0f MiB, "
              "placed and deleted\n",
              image.c_str(), double(img.size) / 1048576, (long long)set.clusterSize, set.placed.size(), src.size(),
              double(totalBytes) / 1048576);
  for (const Source& s : src) std::printf("  %-16s %9zu bytes\n", s.label.c_str(), s.bytes.size());

  // dd first, which also warms the page cache for the scans.
  double dd1 = DdSeconds(image, "1M"), dd8 = DdSeconds(image, "8M");
  const double gb = double(img.size) / 1e9;
  std::printf("dd bs=1M: %.3f s, %.2f GB/s; dd bs=8M: %.3f s, %.2f GB/s\n", dd1, gb / dd1, dd8, gb / dd8);

  int rc = 0;
  double best = 1e9;
  size_t reported = 0;
  for (int i = 0; i < 3; ++i) {
    rawtest::RecordingManager fm;
    best = std::min(best, ScanAllTypes(image, int(set.clusterSize), &fm, &rc));
    reported = fm.files.size();
  }
  std::printf("scan alone (cluster mode, %zu types, single thread, best of 3): rc %d, %.3f s, %.2f GB/s, "
              "%.0f %% of dd bs=1M; %zu reported\n",
              FileHintTable::Instance()->Count(), rc, best, gb / best, 100 * dd1 / best, reported);

  const std::string out = BuildDir() + "/bench-images/raw-large-out";
  Sh("rm -rf " + out + " && mkdir -p " + out);
  int fd = open(image.c_str(), O_RDONLY);
  WritingManager wm(fd, out);
  double whole = ScanAllTypes(image, int(set.clusterSize), &wm, &rc);
  close(fd);
  std::printf("whole run, every found file written: rc %d, %.3f s, %.2f GB/s, %zu files, %.0f MiB written\n", rc,
              whole, gb / whole, wm.files.size(), double(wm.written) / 1048576);
  std::map<int64_t, size_t> at;
  for (const Placed& p : set.placed) at[p.at] = p.source;
  std::map<int64_t, Verdict> verdicts;
  for (const rawtest::Found& f : wm.files) {
    RunList* run = static_cast<RunList*>(f.info->GetRunList());
    auto it = at.find(int64_t(run->m_start) * 512);
    if (it == at.end()) continue;
    const Source& s = src[it->second];
    if (f.name.substr(f.name.find('.') + 1) != s.ext) continue;
    Verdict v = Judge(ReadAll(out + "/" + f.name), s.bytes);
    auto& slot = verdicts[it->first];
    if (slot == kMissing || v < slot) slot = v;
  }
  Sh("rm -rf " + out);
  PrintTallies("large-file image, judged from the written files:", src, set.placed, verdicts);
  if (!Sh("command -v photorec")) std::printf("PhotoRec not installed: no comparison\n");
  return 0;
}

// Every type of the table over mib MiB of seeded random bytes: the files carved, by type.
int RunNoise(int64_t mib) {
  FileHintTable* table = FileHintTable::Instance();
  int carvedInAll = 0;
  for (int mode : {SECTOR_SCAN, CLUSTER_SCAN}) {
    rawtest::NoiseStorage dev(uint64_t(mib) << 20, 0x6e6f697365ull, mode == CLUSTER_SCAN ? 4096 : 0);
    rawtest::RecordingManager fm;
    CRawRecover r;
    r.SetDevice(&dev);
    r.SetFileManager(&fm);
    for (size_t i = 0; i < table->Count(); ++i) r.AddFileType(table->Row(i).ext);
    r.SetScanMode(mode);
    double s0 = Now();
    int rc = r.Scan(nullptr);
    double dt = Now() - s0;
    std::map<std::string, std::pair<int, int64_t>> byType;
    for (const rawtest::Found& f : fm.files) {
      auto& t = byType[f.folder.substr(1)];
      ++t.first;
      t.second += int64_t(f.info->GetSize());
    }
    std::printf("random bytes, %lld MiB, %s mode, every type: rc %d, %.1f s (%.2f GB/s), %zu files carved from "
                "random bytes\n",
                (long long)mib, mode == SECTOR_SCAN ? "sector" : "cluster (4 KiB)", rc, dt,
                double(mib << 20) / dt / 1e9, fm.files.size());
    for (auto& kv : byType)
      std::printf("  %-8s %5d files, %.1f MiB\n", kv.first.c_str(), kv.second.first, double(kv.second.second) / 1048576);
    carvedInAll += int(fm.files.size());
  }
  // A head shows in noise about once in 2^(8 x the bytes it fixes) units; the scan above sees
  // too few units to show a test that fixes four bytes or more. So each type's header test is
  // also asked directly, about random units that begin with a byte its heads can begin with.
  const int kUnits = 1000000;
  std::mt19937_64 rng(7);
  std::vector<uint8_t> pool(size_t(64) << 20);
  for (size_t i = 0; i < pool.size(); i += 8) {
    uint64_t x = rng();
    std::memcpy(&pool[i], &x, 8);
  }
  size_t count = 0;
  const AnalyserType* types = AnalyserTypes(&count);
  std::printf("header tests over %d random 512-byte units each, the first byte one that the type's heads can "
              "have; the chance per unit of the device:\n",
              kUnits);
  int weak = 0;
  for (size_t t = 0; t < count; ++t) {
    std::vector<int> firsts;
    for (int b = 0; b < 256; ++b)
      if (types[t].first.Has(b)) firsts.push_back(b);
    if (firsts.empty() || !*types[t].exts) continue;
    std::unique_ptr<CRawAnalyser> a(types[t].make());
    ClusterBuf cb(512);
    int taken = 0;
    for (int u = 0; u < kUnits; ++u) {
      std::memcpy(cb.GetData(), &pool[size_t(rng() % (pool.size() - 512))], 512);
      cb.GetData()[0] = uint8_t(firsts[size_t(rng() % firsts.size())]);
      if (Decides(a->CheckHeader(cb))) {
        ++taken;
        a.reset(types[t].make());
      }
    }
    if (taken == 0) continue;
    ++weak;
    std::printf("  %-24.24s %6d taken, about 1 in %.3g units\n", types[t].exts, taken,
                double(kUnits) * 256 / double(firsts.size()) / taken);
  }
  if (weak == 0) std::printf("  none taken\n");
  return carvedInAll == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string first = argc > 1 ? argv[1] : "";
  if (first == "--large") return RunLarge();
  if (first == "--large-scan") {
    // One scan alone of the cached image, for timing the process from outside.
    std::FILE* f = std::fopen((LargeImage() + ".placed").c_str(), "r");
    long long cs = 0;
    if (!f || std::fscanf(f, "cluster %lld", &cs) != 1) {
      std::printf("no cached large image: run raw_scan_bench --large first\n");
      if (f) std::fclose(f);
      return 1;
    }
    std::fclose(f);
    rawtest::RecordingManager fm;
    int rc = 0;
    double t = ScanAllTypes(LargeImage(), int(cs), &fm, &rc);
    std::printf("rc %d, %.3f s, %zu reported\n", rc, t, fm.files.size());
    return 0;
  }
  if (first == "--noise") return RunNoise(argc > 2 ? std::max(1LL, std::atoll(argv[2])) : 16384);
  if (!first.empty()) return RunSmall(first, argc > 2 ? std::atoll(argv[2]) : 1024);
  int rc = RunSmall("/tmp/kestrum-raw-bench.img", 1024);
  rc |= RunLarge();
  return RunNoise(16384) | rc;
}
