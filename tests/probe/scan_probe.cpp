// scan_probe: runs one scan of one listed device through the engine's public interface and
// says what came back, file by file, judged against a fixture manifest when one is given.
// It uses only the exported interface, so the same source builds against any version of the
// library and the answers of two versions can be set side by side.
//
//   scan_probe [--list] [--device N] [--kind K] [--manifest M] [--root R] [--quiet]
//              [--types all|EXT,EXT...] [--mode M] IMAGE...
//
// The images are the engine's disks (KESTRUM_DISKS). --device picks the Nth listed device
// (default: the first partition); --kind is the scan kind (default 0x100, Volume Recovery);
// --manifest is a fixture manifest (<name>.manifest beside <name>.files/). Each found file
// is printed as "flags size verdict path"; the verdict is exact (at its own folder and name
// under --root, "/Volume" by default), moved (exact, elsewhere), wrong, nodata, readfail (the
// read stopped early) or unknown (no original of that name). The last line counts them, and
// "missing" counts the manifest's files that came back exact nowhere.
//
// A raw scan (--kind 0x10000) needs its file types: --types selects them as the desktop
// program does ("all" is every extension of the built-in table) and --mode sets the raw scan
// mode (1 sector, the program's choice and the default; 2 cluster; 3 free clusters only).
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "idevice.h"
#include "ifileinfo.h"
#include "ifilemanager.h"
#include "ifileop.h"
#include "ifilter.h"
#include "inotifysink.h"
#include "irecoverymanagement.h"
#include "iscanoperator.h"
#include "foundnames.h"

namespace {

using testutil::Fold;
using testutil::SameName;
using testutil::SamePath;

const uint32_t kDirectory = 0x800, kNoData = 0x80000;

std::string Utf8(const char16_t* s) {
  std::string o;
  for (; s && *s; ++s) {
    uint32_t c = *s;
    if (c >= 0xD800 && c < 0xDC00 && s[1] >= 0xDC00 && s[1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(s[1]) - 0xDC00);
      ++s;
    }
    if (c < 0x80) {
      o += char(c);
    } else if (c < 0x800) {
      o += char(0xC0 | (c >> 6));
      o += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      o += char(0xE0 | (c >> 12));
      o += char(0x80 | ((c >> 6) & 0x3F));
      o += char(0x80 | (c & 0x3F));
    } else {
      o += char(0xF0 | (c >> 18));
      o += char(0x80 | ((c >> 12) & 0x3F));
      o += char(0x80 | ((c >> 6) & 0x3F));
      o += char(0x80 | (c & 0x3F));
    }
  }
  return o;
}

struct Found {
  std::string path;
  IFileInfo* file;
};

struct Collect : INotifySink {
  std::vector<Found> files;
  int Notify(int event, int64_t a, int64_t, void* obj) override {
    if (event != 5 || !obj) return 0;
    IFileInfo* f = static_cast<IFileInfo*>(obj);
    if (f->GetFlags() & kDirectory) return 0;
    const char16_t* folder = reinterpret_cast<const char16_t*>(static_cast<intptr_t>(a));
    files.push_back({Utf8(folder) + "/" + Utf8(f->GetName()), f});
    return 0;
  }
};

// Every extension of the built-in file-type table, as the desktop program can select them.
const char* const kAllTypes[] = {
    "jpg", "doc", "ppt", "xls", "zip", "docx", "pptx", "xlsx", "vsd", "gif", "tif", "dng", "cr2", "nef",
    "orf", "raf", "sr2", "erf", "raw", "mrw", "dcr", "bmp", "png", "psd", "pdf", "ai", "wmf", "pst", "dbx",
    "crw", "rar", "mp3", "mov", "mp4", "m4a", "m4v", "3gp", "3g2", "htm", "avi", "wav", "rm", "rmvb", "asf",
    "wma", "wmv", "swf", "flv", "mpg", "sit", "ogg", "mid", "aif", "aac", "indd", "cwk", "eps", "emlx",
    "key", "pages", "numbers", "odt", "odp", "ods", "odg", "odf", "xcf", "rtf", "plist", "msg", "7z", "eml",
    "bz2", "x3f", "mkv", "arw", "dwg", "mat", "mxf", "sitx", "tax"};

struct Quiet : INotifySink {
  int Notify(int, int64_t, int64_t, void*) override { return 0; }
};

struct Original {
  std::string path;  // relative to the volume root, "/docs/a.txt"
  std::string stored;
  uint64_t size;
};

std::vector<uint8_t> Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Base(const std::string& p) {
  size_t s = p.rfind('/');
  return s == std::string::npos ? p : p.substr(s + 1);
}

}  // namespace

int main(int argc, char** argv) {
  int deviceIndex = -1, kind = 0x100;
  bool list = false, quiet = false;
  std::string manifest;
  std::string disks;
  std::string root = "/Volume";
  std::string types;
  int rawMode = 1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--list") list = true;
    else if (a == "--quiet") quiet = true;
    else if (a == "--device" && i + 1 < argc) deviceIndex = std::atoi(argv[++i]);
    else if (a == "--kind" && i + 1 < argc) kind = int(std::strtol(argv[++i], nullptr, 0));
    else if (a == "--manifest" && i + 1 < argc) manifest = argv[++i];
    else if (a == "--root" && i + 1 < argc) root = argv[++i];
    else if (a == "--types" && i + 1 < argc) types = argv[++i];
    else if (a == "--mode" && i + 1 < argc) rawMode = std::atoi(argv[++i]);
    else disks += (disks.empty() ? "" : ":") + a;
  }
  if (disks.empty()) {
    std::fprintf(stderr, "usage: scan_probe [--list] [--device N] [--kind K] [--manifest M] IMAGE...\n");
    return 2;
  }
  setenv("KESTRUM_DISKS", disks.c_str(), 1);
  if (!getenv("KESTRUM_VOLUMES")) setenv("KESTRUM_VOLUMES", "", 1);
  IRecoveryManagement* top = nullptr;
  if (InitKestrum(&top) != 0 || !top) return 3;
  IDevice* devices[100] = {};
  int count = 0;
  top->EnumDevices(devices, &count, 100);
  IDevice* chosen = nullptr;
  for (int i = 0; i < count && devices[i]; ++i) {
    PartitionInfo info;
    std::memset(&info, 0, sizeof info);
    int type = devices[i]->GetType();
    bool part = type == 2 || type == 6;
    if (part) devices[i]->GetPartitionInfo(&info);
    if (list)
      std::printf("%d: type %d%s start %" PRId64 " count %" PRId64 " fs 0x%X number %d\n", i, type,
                  part ? " partition" : "", info.StartSector, info.SectorCount, info.PartitionType,
                  info.PartitionNumber);
    if (deviceIndex == i || (deviceIndex < 0 && part && !chosen)) chosen = devices[i];
  }
  if (list) return 0;
  if (!chosen) {
    std::fprintf(stderr, "no such device\n");
    return 3;
  }
  IFileManager* fm = nullptr;
  IScanOperator* so = nullptr;
  int rc = top->CreateScanOperator(chosen, kind, &fm, &so);
  if (rc != 0 || !so) {
    std::printf("create %d\n", rc);
    return 4;
  }
  if (!types.empty()) {
    IScanParam* param = nullptr;
    if (so->GetScanParam(&param) != 0 || !param) {
      std::printf("no scan parameters\n");
      return 4;
    }
    std::vector<std::string> exts;
    if (types == "all") {
      exts.assign(std::begin(kAllTypes), std::end(kAllTypes));
    } else {
      std::stringstream ss(types);
      for (std::string e; std::getline(ss, e, ',');)
        if (!e.empty()) exts.push_back(e);
    }
    for (const std::string& e : exts) param->AddFileType(e.c_str());
    param->SetScanMode(rawMode);
  }
  Quiet quietSink;
  int scanRc = so->Scan(&quietSink);
  Collect found;
  IFilter* filter = nullptr;
  if (so->CreateFilter(&filter) == 0 && filter) {
    so->ListFiles(filter, &found);
    delete filter;
  }

  std::map<std::string, std::vector<Original>> byName;  // lower-case base name
  std::vector<Original> originals;
  std::string filesDir;
  if (!manifest.empty()) {
    std::ifstream in(manifest);
    filesDir = manifest.substr(0, manifest.size() - std::strlen(".manifest")) + ".files";
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::vector<std::string> f;
      std::stringstream ss(line);
      std::string cell;
      while (std::getline(ss, cell, '\t')) f.push_back(cell);
      if (f.size() < 5 || f[4] != "f") continue;
      Original o{f[0], f.size() > 6 && !f[6].empty() ? f[6] : f[0], std::strtoull(f[1].c_str(), nullptr, 10)};
      originals.push_back(o);
      byName[Fold(Base(o.path))].push_back(o);
    }
  }

  std::map<std::string, int> tally;
  std::set<std::string> exactOriginals;
  std::vector<uint8_t> buf(1 << 19);
  for (const Found& f : found.files) {
    uint32_t flags = f.file->GetFlags();
    uint64_t size = f.file->GetSize();
    std::vector<uint8_t> bytes;
    bool readFailed = false;
    IFileOP* op = nullptr;
    if (!(flags & kNoData) && so->GetFileOp(f.file, &op) == 0 && op) {
      for (uint64_t off = 0; off < size;) {
        uint32_t got = 0;
        if (op->Read(buf.data(), uint32_t(buf.size()), off, &got) != 0 || got == 0) {
          readFailed = true;
          break;
        }
        bytes.insert(bytes.end(), buf.begin(), buf.begin() + got);
        off += got;
      }
      // The results tree lends its readers: they are not freed here.
    }
    if (bytes.size() > size) bytes.resize(size_t(size));
    std::string verdict;
    if (flags & kNoData) {
      verdict = "nodata";
    } else {
      // A deleted FAT short name lost its first letter; match the rest.
      std::string name = Base(f.path);
      std::vector<Original> cands;
      for (const auto& kv : byName)
        if (SameName(name, kv.first)) cands.insert(cands.end(), kv.second.begin(), kv.second.end());
      if (manifest.empty() || cands.empty()) {
        verdict = readFailed ? "readfail" : "unknown";
      } else {
        bool exact = false, atPath = false;
        for (const Original& o : cands)
          if (!readFailed && o.size == size && Slurp(filesDir + "/" + o.stored) == bytes) {
            exact = true;
            exactOriginals.insert(o.path);
            atPath = atPath || (f.path.compare(0, root.size(), root) == 0 && SamePath(f.path.substr(root.size()), o.path));
          }
        verdict = atPath ? "exact" : exact ? "moved" : readFailed ? "readfail" : "wrong";
      }
    }
    ++tally[verdict];
    if (!quiet || verdict == "wrong")
      std::printf("%08X %12" PRIu64 " %-8s %s\n", flags, size, verdict.c_str(), f.path.c_str());
  }
  int missing = 0;
  for (const Original& o : originals)
    if (!exactOriginals.count(o.path)) {
      ++missing;
      if (!quiet) std::printf("missing %s\n", o.path.c_str());
    }
  std::printf("scan %d files %zu exact %d moved %d nodata %d wrong %d readfail %d unknown %d missing %d\n", scanRc,
              found.files.size(), tally["exact"], tally["moved"], tally["nodata"], tally["wrong"],
              tally["readfail"], tally["unknown"], missing);
  so->Release();
  if (fm) fm->Release();
  top->Release();
  return 0;
}
