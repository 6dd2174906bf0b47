#include "testutil.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>

namespace testutil {

TempDir::TempDir() {
  char tmpl[] = "/tmp/kestrum-test-XXXXXX";
  char* p = mkdtemp(tmpl);
  m_path = p ? p : "/tmp";
}

TempDir::~TempDir() {
  if (m_path.compare(0, 18, "/tmp/kestrum-test-") == 0) {
    std::string cmd = "rm -rf '" + m_path + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

uint64_t FileChecksum(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return 0;
  uint64_t h = 1469598103934665603ull;
  std::vector<unsigned char> buf(1 << 20);
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), f)) > 0)
    for (size_t i = 0; i < n; ++i) h = (h ^ buf[i]) * 1099511628211ull;
  fclose(f);
  return h;
}

std::string Fixture(const std::string& name) {
  std::string p = std::string(KESTRUM_FIXTURE_DIR) + "/" + name;
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? p : std::string();
}

std::string Utf8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size()) c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6);
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | c >> 12);
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | c >> 18);
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

ZoneGuard::ZoneGuard(const char* tz) {
  const char* old = std::getenv("TZ");
  m_had = old != nullptr;
  if (old) m_old = old;
  setenv("TZ", tz, 1);
  tzset();
}

ZoneGuard::~ZoneGuard() {
  if (m_had) setenv("TZ", m_old.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_name(name) {
  const char* old = getenv(name);
  m_had = old != nullptr;
  if (old) m_old = old;
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (m_had)
    setenv(m_name.c_str(), m_old.c_str(), 1);
  else
    unsetenv(m_name.c_str());
}

LoopDevice::LoopDevice(const std::string& file, bool readOnly, bool partitions) : m_partitions(partitions) {
  std::string cmd = std::string("losetup -f --show ") + (readOnly ? "-r " : "") + (partitions ? "-P " : "") + "'" +
                    file + "' 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return;
  char line[128] = {0};
  bool got = fgets(line, sizeof line, p) != nullptr;
  pclose(p);
  std::string loop = got ? std::string(line) : "";
  while (!loop.empty() && (loop.back() == '\n' || loop.back() == ' ')) loop.pop_back();
  if (loop.compare(0, 9, "/dev/loop") == 0) m_path = loop;
  if (!m_path.empty() && partitions && access((m_path + "p1").c_str(), F_OK) != 0)
    (void)!system(("partx -a " + m_path + " 2>/dev/null").c_str());
}

LoopDevice::~LoopDevice() {
  if (m_path.empty()) return;
  if (m_partitions) (void)!system(("partx -d " + m_path + " 2>/dev/null").c_str());
  (void)!system(("blockdev --setrw " + m_path + " 2>/dev/null; losetup -d " + m_path).c_str());
}

Mount::Mount(const std::string& device, const std::string& dir) : m_dir(dir) {
  m_mounted = system(("mount '" + device + "' '" + dir + "' 2>/dev/null").c_str()) == 0;
}

Mount::~Mount() { Unmount(); }

bool Mount::Unmount() {
  if (m_mounted && system(("umount '" + m_dir + "' 2>/dev/null").c_str()) == 0) m_mounted = false;
  return !m_mounted;
}

}  // namespace testutil
