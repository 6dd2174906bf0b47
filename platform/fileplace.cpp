#include "platform/fileplace.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace plat {

bool RenameNoReplace(const std::string& from, const std::string& to) {
#ifdef SYS_renameat2
  long r = syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 1 /* RENAME_NOREPLACE */);
  return r == 0;
#else
  errno = ENOSYS;
  return false;
#endif
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

}  // namespace plat
