#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

namespace plat {
namespace {

std::vector<std::string> SplitColon(const char* s) {
  std::vector<std::string> out;
  std::string cur;
  for (const char* p = s; *p; ++p) {
    if (*p == ':') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += *p;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

// "E=/a:b.img:F=/dev/sdb1": an item ends only at a ':' followed by a letter and '=', so a
// path holding a ':' stays whole.
std::vector<std::string> SplitVolumeList(const char* s) {
  std::vector<std::string> out;
  std::string cur;
  for (const char* p = s; *p; ++p) {
    if (*p == ':' && isalpha((unsigned char)p[1]) && p[2] == '=') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += *p;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path);
  std::string s;
  if (in) std::getline(in, s);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\t')) s.pop_back();
  return s;
}

bool IsBlockDevice(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

std::string RealPath(const std::string& p) {
  char buf[PATH_MAX];
  if (realpath(p.c_str(), buf)) return buf;
  return p;
}


struct MountEntry {
  std::string source;
  std::string mountPoint;
  std::string fsType;
  std::string devNumber;  // "major:minor" of the mounted file system
};

// mountinfo escapes blanks and backslashes as octal.
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && isdigit((unsigned char)s[i + 1])) {
      int v = (s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0');
      out += char(v);
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::vector<MountEntry> Mounts() {
  std::vector<MountEntry> out;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::vector<std::string> f;
    std::string w;
    while (ls >> w) f.push_back(w);
    auto dash = std::find(f.begin(), f.end(), "-");
    if (f.size() < 5 || dash == f.end() || dash + 2 >= f.end()) continue;
    MountEntry e;
    e.mountPoint = Unescape(f[4]);
    e.fsType = *(dash + 1);
    e.source = Unescape(*(dash + 2));
    e.devNumber = f[2];
    out.push_back(e);
  }
  return out;
}

// The sysfs name of a block device ("sda1"), from its device number.
std::string SysfsName(const std::string& devPath) {
  struct stat st;
  if (stat(devPath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return "";
  char link[64];
  snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(st.st_rdev), minor(st.st_rdev));
  std::string real = RealPath(link);
  size_t slash = real.rfind('/');
  return slash == std::string::npos ? "" : real.substr(slash + 1);
}

}  // namespace

// Natural order: "sda" < "sdb" < "sdaa", "nvme0n1" < "nvme0n10". Names are compared run by
// run; a run of digits by its value, a run of letters by its length, then its text (the
// kernel names disks sda..sdz, then sdaa). Comparing token keys keeps the order a strict
// weak one, which std::sort relies on.
bool DiskNameLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    bool da = isdigit((unsigned char)a[i]) != 0, db = isdigit((unsigned char)b[j]) != 0;
    if (da != db) return da;
    size_t i2 = i, j2 = j;
    while (i2 < a.size() && (isdigit((unsigned char)a[i2]) != 0) == da) ++i2;
    while (j2 < b.size() && (isdigit((unsigned char)b[j2]) != 0) == db) ++j2;
    std::string ta = a.substr(i, i2 - i), tb = b.substr(j, j2 - j);
    if (da) {
      ta.erase(0, std::min(ta.find_first_not_of('0'), ta.size() - 1));
      tb.erase(0, std::min(tb.find_first_not_of('0'), tb.size() - 1));
    }
    if (ta.size() != tb.size()) return ta.size() < tb.size();
    if (ta != tb) return ta < tb;
    i = i2;
    j = j2;
  }
  if ((i < a.size()) != (j < b.size())) return j < b.size();
  return a < b;
}

// A listed path that cannot be read drops out of the device list; that is said on stderr, once
// per path however often the list is read, so that a mistyped path is not lost without a word.
static void SayUnreadableDisks(const std::vector<std::string>& paths) {
  static std::mutex lock;
  static std::set<std::string> said;
  for (const std::string& p : paths) {
    if (access(p.c_str(), R_OK) == 0) continue;
    const int err = errno;
    std::lock_guard<std::mutex> hold(lock);
    if (said.insert(p).second)
      fprintf(stderr, "KESTRUM_DISKS: %s is not listed: %s\n", p.c_str(), strerror(err));
  }
}

std::vector<std::string> DiskPaths() {
  const char* env = getenv("KESTRUM_DISKS");
  if (env) {
    std::vector<std::string> paths = SplitColon(env);
    SayUnreadableDisks(paths);
    return paths;
  }
  std::vector<std::string> names;
  DIR* d = opendir("/sys/block");
  if (!d) return {};
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    if (n.compare(0, 3, "ram") == 0 || n.compare(0, 4, "zram") == 0 || n.compare(0, 2, "sr") == 0 ||
        n.compare(0, 3, "dm-") == 0 || n.compare(0, 2, "md") == 0 || n.compare(0, 3, "nbd") == 0)
      continue;
    if (n.compare(0, 4, "loop") == 0) {
      // A loop device counts only while a file backs it.
      if (ReadSmallFile("/sys/block/" + n + "/loop/backing_file").empty()) continue;
    }
    names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end(), DiskNameLess);
  std::vector<std::string> out;
  for (auto& n : names) out.push_back("/dev/" + n);
  return out;
}

std::vector<LetterVolume> LetterVolumes() {
  std::vector<LetterVolume> out;
  const char* env = getenv("KESTRUM_VOLUMES");
  if (env) {
    for (const std::string& item : SplitVolumeList(env)) {
      if (item.size() < 3 || item[1] != '=') continue;
      char l = char(toupper((unsigned char)item[0]));
      if (l < 'A' || l > 'Z') continue;
      out.push_back({l, item.substr(2)});
    }
    return out;
  }
  char next = 'C';
  std::vector<std::string> seen;
  for (const MountEntry& m : Mounts()) {
    if (m.source.compare(0, 5, "/dev/") != 0 || !IsBlockDevice(m.source)) continue;
    std::string real = RealPath(m.source);
    if (std::find(seen.begin(), seen.end(), real) != seen.end()) continue;
    seen.push_back(real);
    if (next > 'Z') break;
    out.push_back({next++, real});
  }
  return out;
}

bool LetterPath(char letter, std::string* path) {
  letter = char(toupper((unsigned char)letter));
  for (const LetterVolume& v : LetterVolumes()) {
    if (v.letter == letter) {
      *path = v.path;
      return true;
    }
  }
  return false;
}

bool Open(const std::string& path, int engineFlags, int64_t base, int64_t length, OpenDevice* out) {
  int flags = O_CLOEXEC;
  if ((engineFlags & 3) == 2)
    flags |= O_RDWR;
  else if ((engineFlags & 3) == 1)
    flags |= O_WRONLY;
  else
    flags |= O_RDONLY;
  // O_NONBLOCK keeps the open itself from waiting (a FIFO given as a path would wait for a
  // writer forever); it is cleared again once the file is known to be a disk or an image.
  int fd = ::open(path.c_str(), flags | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return false;
  }
  if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    return false;
  }
  int fl = fcntl(fd, F_GETFL);
  if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    return false;
  }
  out->fd = fd;
  out->base = base;
  out->length = length;
  out->isBlock = S_ISBLK(st.st_mode);
  if (!out->isBlock) {
    // The kernel reads ahead more eagerly for sequential scans.
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  return true;
}

int Close(OpenDevice* dev) {
  if (dev->fd < 0) return 0;
  int r = ::close(dev->fd);
  dev->fd = -1;
  return r;
}

static int64_t WindowRemaining(const OpenDevice& dev, int64_t pos) {
  int64_t total;
  if (!DeviceSize(dev, &total)) return -1;
  return pos >= total ? 0 : total - pos;
}

int64_t ReadAt(const OpenDevice& dev, void* buf, int64_t count, int64_t pos) {
  if (dev.fd < 0 || pos < 0 || count < 0) {
    errno = EINVAL;
    return -1;
  }
  if (dev.length >= 0) {
    int64_t rem = WindowRemaining(dev, pos);
    if (rem < 0) return -1;
    count = std::min(count, rem);
  }
  // A position near the 64-bit limit is past any end: the kernel would refuse the request
  // as invalid (and the sum would overflow), where the answer is "nothing there".
  if (pos > INT64_MAX - dev.base) return 0;
  count = std::min(count, INT64_MAX - dev.base - pos);
  int64_t done = 0;
  while (done < count) {
    ssize_t r = ::pread(dev.fd, static_cast<char*>(buf) + done, size_t(count - done), dev.base + pos + done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? done : -1;
    }
    if (r == 0) break;
    done += r;
  }
  return done;
}

int64_t WriteAt(const OpenDevice& dev, const void* buf, int64_t count, int64_t pos) {
  if (dev.fd < 0 || pos < 0 || count < 0) {
    errno = EINVAL;
    return -1;
  }
  if (dev.length >= 0) {
    int64_t rem = WindowRemaining(dev, pos);
    if (rem < 0) return -1;
    count = std::min(count, rem);
  }
  if (pos > INT64_MAX - dev.base || count > INT64_MAX - dev.base - pos) {
    errno = EINVAL;
    return -1;
  }
  int64_t done = 0;
  while (done < count) {
    ssize_t r = ::pwrite(dev.fd, static_cast<const char*>(buf) + done, size_t(count - done), dev.base + pos + done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? done : -1;
    }
    if (r == 0) break;
    done += r;
  }
  return done;
}

bool DeviceSize(const OpenDevice& dev, int64_t* bytes) {
  if (dev.fd < 0) return false;
  int64_t total = 0;
  if (dev.isBlock) {
    uint64_t sz = 0;
    if (ioctl(dev.fd, BLKGETSIZE64, &sz) != 0) return false;
    total = int64_t(sz);
  } else {
    struct stat st;
    if (fstat(dev.fd, &st) != 0) return false;
    total = st.st_size;
  }
  if (dev.length >= 0) {
    int64_t avail = total > dev.base ? total - dev.base : 0;
    total = std::min(avail, dev.length);
  }
  *bytes = total;
  return true;
}

uint32_t SectorSize(const OpenDevice& dev) {
  if (dev.isBlock) {
    int ss = 0;
    if (ioctl(dev.fd, BLKSSZGET, &ss) == 0 && ss > 0) return uint32_t(ss);
    return 512;
  }
  const char* env = getenv("KESTRUM_SECTOR_SIZE");
  if (env) {
    long v = strtol(env, nullptr, 10);
    if (v >= 512 && v <= 65536 && (v & (v - 1)) == 0) return uint32_t(v);
  }
  // The image's own first sector, also for a partition's window into it: the disk and its
  // partitions read in one sector size.
  uint8_t head[512];
  if (dev.fd >= 0 && ::pread(dev.fd, head, sizeof head, 0) == ssize_t(sizeof head)) {
    uint32_t named = SectorSizeNamedByBootRecord(head, sizeof head);
    if (named) return named;
  }
  return 512;
}

bool IsWriteProtected(const OpenDevice& dev) {
  if (dev.fd < 0) return false;
  if (dev.isBlock) {
    int ro = 0;
    return ioctl(dev.fd, BLKROGET, &ro) == 0 && ro != 0;
  }
  struct statvfs vs;
  if (fstatvfs(dev.fd, &vs) == 0 && (vs.f_flag & ST_RDONLY)) return true;
  return false;
}

bool ResolvePartition(int diskIndex, int64_t startByte, int64_t lengthByte, std::string* path,
                      int64_t* base, int64_t* length) {
  std::vector<std::string> disks = DiskPaths();
  if (diskIndex < 0 || size_t(diskIndex) >= disks.size() || startByte < 0) return false;
  const std::string& disk = disks[size_t(diskIndex)];
  if (!IsBlockDevice(disk)) {
    struct stat st;
    if (stat(disk.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (startByte >= st.st_size) return false;
    *path = disk;
    *base = startByte;
    *length = lengthByte > 0 ? lengthByte : st.st_size - startByte;
    return true;
  }
  std::string name = SysfsName(disk);
  if (name.empty()) return false;
  std::string dir = "/sys/class/block/" + name;
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  bool found = false;
  while (dirent* e = readdir(d)) {
    std::string part = e->d_name;
    if (part.compare(0, name.size(), name) != 0 || part == name) continue;
    std::string start = ReadSmallFile(dir + "/" + part + "/start");
    if (start.empty()) continue;
    // sysfs counts partition starts in 512-byte units whatever the sector size.
    if (strtoll(start.c_str(), nullptr, 10) * 512 == startByte) {
      *path = "/dev/" + part;
      *base = 0;
      *length = -1;
      found = true;
      break;
    }
  }
  closedir(d);
  return found;
}

bool FreeBytes(const std::string& mountPoint, uint64_t* freeBytes) {
  if (mountPoint.empty()) return false;
  struct statvfs vs;
  if (statvfs(mountPoint.c_str(), &vs) != 0) return false;
  *freeBytes = uint64_t(vs.f_bfree) * uint64_t(vs.f_frsize);
  return true;
}

bool VolumeLabelOf(const std::string& devicePath, std::string* label) {
  if (!IsBlockDevice(devicePath)) return false;
  std::string real = RealPath(devicePath);
  DIR* d = opendir("/dev/disk/by-label");
  if (!d) return false;
  bool found = false;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    if (RealPath("/dev/disk/by-label/" + n) == real) {
      // udev escapes unsafe bytes as \xHH.
      std::string out;
      for (size_t i = 0; i < n.size(); ++i) {
        if (n[i] == '\\' && i + 3 < n.size() && n[i + 1] == 'x') {
          out += char(strtol(n.substr(i + 2, 2).c_str(), nullptr, 16));
          i += 3;
        } else {
          out += n[i];
        }
      }
      *label = out;
      found = true;
      break;
    }
  }
  closedir(d);
  return found;
}

bool PathExistsUnder(const std::string& mountPoint, const std::string& relative) {
  if (mountPoint.empty()) return false;
  std::string p = mountPoint;
  if (p.back() != '/') p += '/';
  size_t i = 0;
  while (i < relative.size() && relative[i] == '/') ++i;
  p += relative.substr(i);
  return access(p.c_str(), F_OK) == 0;
}

char LetterOfDevice(const std::string& devicePath) {
  std::string real = RealPath(devicePath);
  for (const LetterVolume& v : LetterVolumes())
    if (RealPath(v.path) == real) return v.letter;
  return 0;
}

namespace {

// The whole disk a sysfs block name belongs to: a partition's sysfs parent, else itself.
std::string WholeDiskOf(const std::string& name) {
  std::string link = RealPath("/sys/class/block/" + name);
  if (access((link + "/partition").c_str(), F_OK) != 0) return name;
  std::string parent = link.substr(0, link.rfind('/'));
  return parent.substr(parent.rfind('/') + 1);
}

// Every whole disk under a block device: a device-mapper or md volume (LVM, crypt, RAID)
// sits on the devices listed in its slaves folder.
void DisksUnder(const std::string& name, int depth, std::vector<std::string>* out) {
  if (depth > 8) return;
  out->push_back(WholeDiskOf(name));
  DIR* d = opendir(("/sys/class/block/" + name + "/slaves").c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") DisksUnder(n, depth + 1, out);
  }
  closedir(d);
}

// The sysfs name of the block device a mount stands on, or "" for one on none.
std::string MountedBlockName(const MountEntry& m) {
  // The device number names the block device even where the source does not resolve
  // ("/dev/root" of a kernel-mounted root file system); FUSE mounts have an anonymous
  // number and name their device only as the source.
  std::string n;
  if (m.devNumber.compare(0, 2, "0:") != 0) {
    std::string real = RealPath("/sys/dev/block/" + m.devNumber);
    if (real.compare(0, 15, "/sys/dev/block/") != 0) n = real.substr(real.rfind('/') + 1);
  }
  if (n.empty() && m.source.compare(0, 5, "/dev/") == 0) n = SysfsName(m.source);
  return n;
}

// True when the whole disk (a sysfs name), a partition of it, or a volume built on it
// (LVM, crypt, RAID) is mounted. Names are compared whole: "sda" is no part of "sdaa1",
// nor "loop1" of "loop10".
bool DiskHasMount(const std::string& disk) {
  for (const MountEntry& m : Mounts()) {
    std::string n = MountedBlockName(m);
    if (n.empty()) continue;
    std::vector<std::string> disks;
    DisksUnder(n, 0, &disks);
    if (std::find(disks.begin(), disks.end(), disk) != disks.end()) return true;
  }
  return false;
}

// The sysfs names of the loop devices whose backing file is this file (the same file by
// device and inode, whatever path each was attached by).
std::vector<std::string> LoopsBackedBy(const std::string& file) {
  std::vector<std::string> out;
  struct stat fs;
  if (stat(file.c_str(), &fs) != 0 || !S_ISREG(fs.st_mode)) return out;
  DIR* d = opendir("/sys/block");
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n.compare(0, 4, "loop") != 0) continue;
    std::string backing = ReadSmallFile("/sys/block/" + n + "/loop/backing_file");
    struct stat bs;
    if (!backing.empty() && stat(backing.c_str(), &bs) == 0 && bs.st_dev == fs.st_dev && bs.st_ino == fs.st_ino)
      out.push_back(n);
  }
  closedir(d);
  return out;
}

bool MountPointOfName(const std::string& name, std::string* mountPoint) {
  for (const MountEntry& m : Mounts()) {
    if (MountedBlockName(m) == name) {
      *mountPoint = m.mountPoint;
      return true;
    }
  }
  return false;
}

}  // namespace

bool IsMountedOrHasMountedPartition(const std::string& devicePath) {
  std::string name = SysfsName(devicePath);
  if (name.empty()) return false;
  // Another loop device of the same image file writes to the same bytes.
  std::string backing = ReadSmallFile("/sys/block/" + WholeDiskOf(name) + "/loop/backing_file");
  if (!backing.empty() && IsMountedOrHasMountedPartition(HostDevice{backing, 0, -1})) return true;
  return DiskHasMount(WholeDiskOf(name));
}

bool IsMountedOrHasMountedPartition(const HostDevice& device) {
  if (IsBlockDevice(device.path)) return IsMountedOrHasMountedPartition(device.path);
  // An image file is mounted through the loop devices that it backs; any of them with a
  // mounted partition makes the whole image busy, as a disk with one would be.
  for (const std::string& loop : LoopsBackedBy(device.path))
    if (DiskHasMount(loop)) return true;
  return false;
}

bool MountPointOf(const std::string& devicePath, std::string* mountPoint) {
  std::string name = SysfsName(devicePath);
  return !name.empty() && MountPointOfName(name, mountPoint);
}

bool MountPointOf(const HostDevice& device, std::string* mountPoint) {
  if (IsBlockDevice(device.path)) return MountPointOf(device.path, mountPoint);
  // A window of an image file is the loop device, or the loop partition, that starts at the
  // same byte of the file.
  for (const std::string& loop : LoopsBackedBy(device.path)) {
    std::string dir = "/sys/block/" + loop;
    int64_t offset = strtoll(ReadSmallFile(dir + "/loop/offset").c_str(), nullptr, 10);
    if (offset == device.base && MountPointOfName(loop, mountPoint)) return true;
    DIR* d = opendir(dir.c_str());
    if (!d) continue;
    std::vector<std::string> parts;
    while (dirent* e = readdir(d)) {
      std::string part = e->d_name;
      if (part.size() > loop.size() && part.compare(0, loop.size(), loop) == 0) parts.push_back(part);
    }
    closedir(d);
    for (const std::string& part : parts) {
      std::string start = ReadSmallFile(dir + "/" + part + "/start");
      if (start.empty()) continue;
      // sysfs counts partition starts in 512-byte units whatever the sector size.
      if (offset + strtoll(start.c_str(), nullptr, 10) * 512 == device.base && MountPointOfName(part, mountPoint))
        return true;
    }
  }
  return false;
}

bool SyncDevice(const HostDevice& device) {
  auto sync = [](const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    ::close(fd);
    return ok;
  };
  if (!sync(device.path)) return false;
  // A partition's sectors are written through its whole disk (the partition object reads
  // and writes through its parent's channel), and a block device's cache is its own: the
  // disk node is flushed too.
  std::string name = SysfsName(device.path);
  if (name.empty()) return true;
  std::string disk = WholeDiskOf(name);
  if (disk == name) return true;
  std::string node = "/dev/" + disk;
  return !IsBlockDevice(node) || sync(node);
}

bool QueryDiskIdentity(const std::string& path, DiskIdentity* out) {
  *out = DiskIdentity();
  if (!IsBlockDevice(path)) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    out->isImage = true;
    size_t slash = path.rfind('/');
    out->model = "Image " + (slash == std::string::npos ? path : path.substr(slash + 1));
    return true;
  }
  std::string name = SysfsName(path);
  if (name.empty()) return false;
  std::string dir = "/sys/block/" + name;
  out->vendor = ReadSmallFile(dir + "/device/vendor");
  out->model = ReadSmallFile(dir + "/device/model");
  if (out->model.empty() && name.compare(0, 4, "loop") == 0) {
    std::string backing = ReadSmallFile(dir + "/loop/backing_file");
    size_t slash = backing.rfind('/');
    out->model = "Loop " + (slash == std::string::npos ? backing : backing.substr(slash + 1));
  }
  out->removable = ReadSmallFile(dir + "/removable") == "1";
  return true;
}

std::string ProgramFolder() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = 0;
  std::string p = buf;
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

uint64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

}  // namespace plat

#include <scsi/sg.h>

namespace plat {

bool PathExists(const std::string& path) { return !path.empty() && access(path.c_str(), F_OK) == 0; }

int ScsiInquiryVpd(const std::string& devicePath, uint8_t page, uint8_t* buf, int len) {
  if (!buf || len <= 0 || len > 255) return 0;
  memset(buf, 0, size_t(len));
  if (!IsBlockDevice(devicePath) && devicePath.compare(0, 7, "/dev/sg") != 0) return 0;
  int fd = ::open(devicePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  unsigned char cdb[6] = {0x12, 0x01, page, 0, uint8_t(len), 0};
  unsigned char sense[32];
  sg_io_hdr_t io;
  memset(&io, 0, sizeof io);
  io.interface_id = 'S';
  io.cmd_len = sizeof cdb;
  io.mx_sb_len = sizeof sense;
  io.dxfer_direction = SG_DXFER_FROM_DEV;
  io.dxfer_len = unsigned(len);
  io.dxferp = buf;
  io.cmdp = cdb;
  io.sbp = sense;
  io.timeout = 2000;
  int r = ioctl(fd, SG_IO, &io);
  ::close(fd);
  if (r != 0 || (io.info & SG_INFO_OK_MASK) != SG_INFO_OK) return 0;
  int got = len - io.resid;
  return got >= 4 ? got : 0;
}

}  // namespace plat
