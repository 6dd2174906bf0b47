#include "damagematrix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>

#include "common/inc/idevice.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/irecoverymanagement.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "eioview.h"
#include "foundnames.h"
#include "fixtures.h"
#include "scanread.h"
#include "stubfilemanager.h"
#include "testutil.h"

namespace testutil {

DamageImage::DamageImage(const std::string& path) {
  m_fd = open(path.c_str(), O_RDWR);
  struct stat st;
  if (m_fd >= 0 && fstat(m_fd, &st) == 0) m_size = uint64_t(st.st_size);
}

DamageImage::~DamageImage() {
  if (m_fd >= 0) close(m_fd);
}

bool DamageImage::Read(uint64_t offset, void* out, size_t n) const {
  if (m_fd < 0 || offset > m_size || m_size - offset < n) return false;
  return pread(m_fd, out, n, off_t(offset)) == ssize_t(n);
}

bool DamageImage::Write(uint64_t offset, const void* bytes, size_t n) {
  if (m_fd < 0 || offset > m_size || m_size - offset < n) return false;
  return pwrite(m_fd, bytes, n, off_t(offset)) == ssize_t(n);
}

bool DamageImage::Zero(uint64_t offset, uint64_t n) {
  if (m_fd < 0 || offset > m_size || m_size - offset < n) return false;
  std::vector<uint8_t> zeros(size_t(std::min<uint64_t>(n, 1 << 20)), 0);
  for (uint64_t done = 0; done < n;) {
    size_t step = size_t(std::min<uint64_t>(n - done, zeros.size()));
    if (!Write(offset + done, zeros.data(), step)) return false;
    done += step;
  }
  return true;
}

std::vector<uint8_t> DamageImage::Bytes(uint64_t offset, size_t n) const {
  std::vector<uint8_t> v(n);
  if (!Read(offset, v.data(), n)) v.clear();
  return v;
}

namespace {

std::string BaseName(const std::string& p) {
  size_t s = p.rfind('/');
  return s == std::string::npos ? p : p.substr(s + 1);
}

}  // namespace

DamageTally RunDamageRow(const DamageRow& row) {
  DamageTally t;
  const std::string source = Fixture(row.image);
  FixtureManifest manifest;
  if (source.empty() || !manifest.Load(row.manifest)) {
    t.skipped = "fixture " + row.image + " was not built here";
    return t;
  }
  TempDir dir;
  const std::string copy = dir.file("damaged.img");
  int status = 0;
  RunCommand("cp --sparse=always '" + source + "' '" + copy + "'", &status);
  if (status != 0) {
    ADD_FAILURE() << "cannot copy " << source;
    return t;
  }
  if (row.damage) {
    DamageImage image(copy);
    if (!image.ok() || !row.damage(image)) {
      ADD_FAILURE() << row.name << ": the damage does not fit the image";
      return t;
    }
  }
  // KESTRUM_DAMAGE_KEEP names a folder that gets a copy of each damaged image, so that the
  // same bytes can be scanned by another version (scan_probe) for its figures.
  if (const char* keep = getenv("KESTRUM_DAMAGE_KEEP")) {
    if (*keep)
      RunCommand("cp --sparse=always '" + copy + "' '" + std::string(keep) + "/" + row.name + ".img'",
                 &status);
  }
  std::unique_ptr<EioView> view;
  std::string scanned = copy;
  if (!row.unreadable.empty()) {
    view.reset(new EioView(copy, row.unreadable));
    if (view->path().empty()) {
      t.skipped = "no view with unreadable sectors: " + view->why();
      return t;
    }
    scanned = view->path();
  }
  const uint64_t before = FileChecksum(copy);

  ScopedEnv disks("KESTRUM_DISKS", scanned), volumes("KESTRUM_VOLUMES", "");
  std::unique_ptr<ScopedEnv> sector;
  if (row.sectorSize) sector.reset(new ScopedEnv("KESTRUM_SECTOR_SIZE", std::to_string(row.sectorSize)));
  IRecoveryManagement* top = nullptr;
  if (InitKestrum(&top) != 0 || !top) {
    ADD_FAILURE() << "no engine";
    return t;
  }
  IDevice* devices[100] = {};
  int count = 0;
  top->EnumDevices(devices, &count, 100);
  IDevice* chosen = nullptr;
  for (int i = 0; i < count && devices[i] && !chosen; ++i) {
    int type = devices[i]->GetType();
    bool partition = type == DT_PARTITION || type == DT_PARTITION_OTHER;
    if (row.device == i || (row.device == -1 && partition) || (row.device == -2 && !partition))
      chosen = devices[i];
  }
  IFileManager* fm = nullptr;
  IScanOperator* so = nullptr;
  if (!chosen) {
    ADD_FAILURE() << row.name << ": the engine lists no such device";
  } else if ((t.scanResult = top->CreateScanOperator(chosen, row.kind, &fm, &so)) == 0 && so) {
    QuietSink sink;
    t.scanResult = so->Scan(&sink);
    std::vector<const ManifestEntry*> originals = manifest.Files();
    t.manifestFiles = int(originals.size());
    std::map<std::string, std::vector<uint8_t>> bytesOf;  // original path -> bytes, on demand
    auto original = [&](const ManifestEntry* e) -> const std::vector<uint8_t>& {
      auto it = bytesOf.find(e->path);
      if (it == bytesOf.end()) it = bytesOf.emplace(e->path, manifest.Original(e->path)).first;
      return it->second;
    };
    std::map<std::string, bool> exactAtPath;
    ForEachTreeFile(so, [&](const std::u16string& wide, IFileInfo* f) {
      if (f->GetFlags() & FF_DIRECTORY) return;
      ++t.files;
      const std::string path = Utf8(wide);
      if (f->GetFlags() & FF_NODATA) {
        ++t.noData;
        if (f->GetFlags() & FF_OVERWRITTEN) ++t.overwritten;
        return;
      }
      // Why a file has no data is said only of files without data.
      if (f->GetFlags() & FF_OVERWRITTEN) ADD_FAILURE() << path << ": marked overwritten, but has data";
      std::vector<uint8_t> got = ReadAll(so, f);
      if (got.size() < f->GetSize()) ++t.readFailed;
      bool named = false, same = false, atPath = false;
      for (const ManifestEntry* e : originals) {
        if (!SameName(BaseName(path), BaseName(e->path))) continue;
        named = true;
        if (got.size() != e->size || original(e) != got) continue;
        same = true;
        if (path.compare(0, row.root.size(), row.root) == 0 && SamePath(path.substr(row.root.size()), e->path) &&
            !exactAtPath[e->path]) {
          exactAtPath[e->path] = true;
          atPath = true;
        }
      }
      // A short read hands out a correct beginning and says the rest failed: no wrong bytes.
      bool prefix = false;
      if (named && !same && got.size() < f->GetSize())
        for (const ManifestEntry* e : originals)
          if (SameName(BaseName(path), BaseName(e->path)) && original(e).size() >= got.size() &&
              std::equal(got.begin(), got.end(), original(e).begin()))
            prefix = true;
      if (atPath)
        ++t.exact;
      else if (same)
        ++t.elsewhere, t.moved.push_back(path);
      else if (named && !prefix)
        t.wrong.push_back(path);
    });
    for (const ManifestEntry* e : originals)
      if (!exactAtPath[e->path]) t.notExact.push_back(e->path);
  }
  if (so) so->Release();
  if (fm) fm->Release();
  ReleaseOwnedDevices(devices, count);
  top->Release();
  t.unchanged = FileChecksum(copy) == before;
  return t;
}

}  // namespace testutil
