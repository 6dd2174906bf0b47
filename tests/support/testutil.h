// Helpers shared by the tests: temporary images, checksums, fixture paths.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

// A temporary folder removed when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return m_path; }
  std::string file(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::string& path);
std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed);
// FNV-1a over a whole file: enough to prove that nothing wrote to it.
uint64_t FileChecksum(const std::string& path);

// A fixture image built by tests/fixtures, or "" when the builder skipped it.
std::string Fixture(const std::string& name);

// UTF-16 to UTF-8, pairing surrogates; for comparing names a scan reports with plain strings.
std::string Utf8(const std::u16string& s);

// Pins TZ (and the C library's idea of it) for the life of the object.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* tz);
  ~ZoneGuard();

 private:
  bool m_had;
  std::string m_old;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string m_name;
  std::string m_old;
  bool m_had;
};

// A loop device over an image file for the life of the object (read-only when asked, and
// left writable again before it is detached); path() is empty where none can be attached.
// With partitions, the partition table is read too (partition nodes "<path>p1"...), and
// where the kernel's own scan lists none they are added by partx.
class LoopDevice {
 public:
  LoopDevice(const std::string& file, bool readOnly, bool partitions = false);
  ~LoopDevice();
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
  bool m_partitions = false;
};

// A mount of a block device for the life of the object; mounted() is false where the
// device cannot be mounted here. The destructor unmounts whatever happens in the test.
class Mount {
 public:
  Mount(const std::string& device, const std::string& dir);
  ~Mount();
  bool mounted() const { return m_mounted; }
  // Unmounts now; true when the device is no longer mounted.
  bool Unmount();

 private:
  std::string m_dir;
  bool m_mounted = false;
};

}  // namespace testutil
