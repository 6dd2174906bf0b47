// A FUSE view of an image file in which chosen sectors answer EIO (tests/support/eioview.py):
// a real file whose reads fail, for the read-error paths through the platform layer.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testutil {

class EioView {
 public:
  // Sector ranges [first, last], inclusive. path() is empty where no view can be had (no
  // /dev/fuse, no fusepy, no fusermount); why() says which.
  EioView(const std::string& image, const std::vector<std::pair<uint64_t, uint64_t>>& bad);
  ~EioView();
  const std::string& path() const { return m_path; }
  const std::string& why() const { return m_why; }

 private:
  std::string m_dir, m_mount, m_path, m_why;
  int m_pid = -1;
};

}  // namespace testutil
