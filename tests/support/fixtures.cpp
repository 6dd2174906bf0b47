#include "fixtures.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "testutil.h"

namespace testutil {

bool FixtureManifest::Load(const std::string& image) {
  return LoadFrom(KESTRUM_FIXTURE_DIR, image);
}

bool FixtureManifest::LoadFrom(const std::string& dir, const std::string& image) {
  m_dir = dir;
  m_image = image;
  m_entries.clear();
  std::ifstream in(dir + "/" + image + ".manifest");
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t')) f.push_back(field);
    if (f.size() < 7) return false;
    ManifestEntry e;
    e.path = f[0];
    e.size = std::stoull(f[1]);
    e.deleted = f[2] == "yes";
    e.sha256 = f[3];
    e.isDir = f[4] == "d";
    e.mtime = std::stoll(f[5]);
    e.stored = f[6];
    m_entries.push_back(std::move(e));
  }
  return !m_entries.empty();
}

const ManifestEntry* FixtureManifest::Find(const std::string& path) const {
  for (const auto& e : m_entries)
    if (e.path == path) return &e;
  return nullptr;
}

std::vector<const ManifestEntry*> FixtureManifest::Files(bool deletedOnly) const {
  std::vector<const ManifestEntry*> v;
  for (const auto& e : m_entries)
    if (!e.isDir && (!deletedOnly || e.deleted)) v.push_back(&e);
  return v;
}

std::string FixtureManifest::OriginalPath(const std::string& path) const {
  const ManifestEntry* e = Find(path);
  return e ? m_dir + "/" + m_image + ".files/" + e->stored : std::string();
}

std::vector<uint8_t> FixtureManifest::Original(const std::string& path) const {
  std::string p = OriginalPath(path);
  return p.empty() ? std::vector<uint8_t>() : ReadFile(p);
}

bool FixtureManifest::SameAsOriginal(const std::string& path, const std::vector<uint8_t>& bytes) const {
  const ManifestEntry* e = Find(path);
  return e && !e->isDir && bytes.size() == e->size && Sha256Hex(bytes) == e->sha256;
}

std::string FixtureManifest::ImagePath() const {
  struct stat st;
  for (const char* ext : {".img", ".iso"}) {
    std::string p = m_dir + "/" + m_image + ext;
    if (stat(p.c_str(), &st) == 0) return p;
  }
  return std::string();
}

namespace {

const uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Block(uint32_t h[8], const uint8_t* p) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
  for (int i = 0; i < 64; ++i) {
    uint32_t t1 = k + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kK[i] + w[i];
    uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    k = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += k;
}

}  // namespace

std::string Sha256Hex(const uint8_t* data, size_t size) {
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  size_t full = size / 64 * 64;
  for (size_t i = 0; i < full; i += 64) Block(h, data + i);
  uint8_t tail[128] = {};
  size_t rest = size - full;
  if (rest) memcpy(tail, data + full, rest);
  tail[rest] = 0x80;
  size_t tailLen = rest < 56 ? 64 : 128;
  uint64_t bits = uint64_t(size) * 8;
  for (int i = 0; i < 8; ++i) tail[tailLen - 1 - i] = uint8_t(bits >> (8 * i));
  for (size_t i = 0; i < tailLen; i += 64) Block(h, tail + i);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (uint32_t v : h)
    for (int s = 28; s >= 0; s -= 4) out += hex[(v >> s) & 15];
  return out;
}

std::string RunCommand(const std::string& cmd, int* status) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

bool HaveTool(const std::string& tool) {
  int status = 0;
  RunCommand("command -v '" + tool + "' > /dev/null 2>&1", &status);
  return status == 0;
}

}  // namespace testutil
