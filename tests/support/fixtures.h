// What the fixture builders kept about each image: the original bytes of every file, which
// ones were deleted, their sizes, times and SHA-256 sums. Recovered bytes are compared
// against these.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

struct ManifestEntry {
  std::string path;  // "/docs/note1.txt", relative to the volume root
  uint64_t size = 0;
  bool deleted = false;
  std::string sha256;  // lower-case hex; "-" for a folder
  bool isDir = false;
  int64_t mtime = 0;   // seconds since 1970, UTC
  std::string stored;  // where the bytes are, relative to <image>.files/
};

class FixtureManifest {
 public:
  // Loads "<fixture dir>/<image>.manifest" ("ntfs", "fat32", "exfat", "hfsplus", ...).
  // False when the builder skipped the image or the manifest cannot be read.
  bool Load(const std::string& image);
  // The same from any folder (the demo disk, a test's own build).
  bool LoadFrom(const std::string& dir, const std::string& image);

  const std::vector<ManifestEntry>& Entries() const { return m_entries; }
  const ManifestEntry* Find(const std::string& path) const;
  std::vector<const ManifestEntry*> Files(bool deletedOnly = false) const;
  std::vector<const ManifestEntry*> Deleted() const { return Files(true); }

  // The original bytes of a file of the volume; empty when the path is unknown.
  std::vector<uint8_t> Original(const std::string& path) const;
  std::string OriginalPath(const std::string& path) const;
  // True when the bytes are exactly those of the original file at path.
  bool SameAsOriginal(const std::string& path, const std::vector<uint8_t>& bytes) const;
  // "<dir>/<image>.img", or ".iso" when only that exists; "" when neither does.
  std::string ImagePath() const;

 private:
  std::string m_dir;
  std::string m_image;
  std::vector<ManifestEntry> m_entries;
};

std::string Sha256Hex(const uint8_t* data, size_t size);
inline std::string Sha256Hex(const std::vector<uint8_t>& v) { return Sha256Hex(v.data(), v.size()); }

// Runs a shell command and returns what it printed on stdout; *status gets its exit code.
std::string RunCommand(const std::string& cmd, int* status = nullptr);
bool HaveTool(const std::string& tool);

}  // namespace testutil
