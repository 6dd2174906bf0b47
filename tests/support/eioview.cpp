#include "eioview.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace testutil {

namespace {

bool Sh(const std::string& cmd) { return system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

EioView::EioView(const std::string& image, const std::vector<std::pair<uint64_t, uint64_t>>& bad) {
  const std::string script = std::string(KESTRUM_SOURCE_DIR) + "/tests/support/eioview.py";
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    m_why = "no /dev/fuse";
    return;
  }
  if (!Sh("/usr/bin/python3 -c 'import fusepy'") && !Sh("/usr/bin/python3 -c 'import fuse'")) {
    m_why = "no fusepy";
    return;
  }
  if (!Sh("command -v fusermount || command -v fusermount3")) {
    m_why = "no fusermount";
    return;
  }
  char tmpl[] = "/tmp/kestrum-eio-XXXXXX";
  if (!mkdtemp(tmpl)) {
    m_why = "no temporary folder";
    return;
  }
  m_dir = tmpl;
  m_mount = m_dir + "/mnt";
  mkdir(m_mount.c_str(), 0700);
  std::vector<std::string> args{"/usr/bin/python3", script, image, m_mount};
  for (auto& r : bad) args.push_back(std::to_string(r.first) + "-" + std::to_string(r.second));
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) {
    m_why = "fork failed";
    return;
  }
  m_pid = pid;
  const std::string file = m_mount + "/disk.img";
  for (int i = 0; i < 100; ++i) {
    struct stat st;
    if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      m_path = file;
      return;
    }
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  m_why = "the view did not come up";
}

EioView::~EioView() {
  if (!m_mount.empty())
    Sh("fusermount -u '" + m_mount + "' || fusermount3 -u '" + m_mount + "' || umount -l '" + m_mount + "'");
  if (m_pid > 0) {
    int status = 0;
    for (int i = 0; i < 40 && waitpid(m_pid, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (waitpid(m_pid, &status, WNOHANG) == 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, &status, 0);
    }
  }
  if (!m_mount.empty()) rmdir(m_mount.c_str());
  if (!m_dir.empty()) rmdir(m_dir.c_str());
}

}  // namespace testutil
