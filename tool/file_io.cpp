// file_io.cpp - POSIX file helpers of the tool.
#include "file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace polarmosaic {

namespace {

std::string Reason(const char* what, int error_number) {
  return std::string(what) + " (" + strerror(error_number) + ")";
}

// Temporary files being written, for the signal handler. A thread claims a
// slot, fills in the name, then marks it ready; the handler reads only
// ready slots.
constexpr int kTempSlots = 256;
constexpr size_t kTempNameMax = 4096;
char g_temp_names[kTempSlots][kTempNameMax];
std::atomic<bool> g_temp_claimed[kTempSlots];
std::atomic<bool> g_temp_ready[kTempSlots];

int ClaimTempSlot(const std::string& name) {
  if (name.size() >= kTempNameMax) return -1;
  for (int i = 0; i < kTempSlots; ++i) {
    bool expected = false;
    if (!g_temp_claimed[i].compare_exchange_strong(expected, true)) continue;
    memcpy(g_temp_names[i], name.c_str(), name.size() + 1);
    g_temp_ready[i].store(true);
    return i;
  }
  return -1;
}

void ReleaseTempSlot(int slot) {
  if (slot < 0) return;
  g_temp_ready[slot].store(false);
  g_temp_claimed[slot].store(false);
}

void RemoveTempsAndDie(int signal_number) {
  for (int i = 0; i < kTempSlots; ++i) {
    if (g_temp_ready[i].load()) unlink(g_temp_names[i]);
  }
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data,
                   std::string* error) {
  bool stdin_path = path == "-";
  int fd = stdin_path ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = Reason("cannot open", errno);
    return false;
  }
  struct stat info;
  if (!stdin_path && fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd);
    *error = "cannot read (it is a directory)";
    return false;
  }
  data->clear();
  if (!stdin_path && S_ISREG(info.st_mode) && info.st_size > 0) {
    data->reserve(static_cast<size_t>(info.st_size));
  }
  uint8_t buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      if (!stdin_path) close(fd);
      *error = Reason("cannot read", saved);
      return false;
    }
    data->insert(data->end(), buffer, buffer + n);
  }
  if (!stdin_path) close(fd);
  return true;
}

bool WriteFileAtomically(const std::string& path,
                         const std::vector<uint8_t>& data, std::string* error) {
  if (path == "-") {
    if (!WriteAll(STDOUT_FILENO, data.data(), data.size())) {
      *error = Reason("cannot write to standard output", errno);
      return false;
    }
    return true;
  }
  if (IsDirectory(path)) {
    *error = "cannot write (it is a directory)";
    return false;
  }
  size_t slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp = folder + "." + base + ".tmp-XXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) {
    *error = Reason("cannot write", errno);
    return false;
  }
  temp.assign(name.data());
  int slot = ClaimTempSlot(temp);
  // mkstemp makes the file private; give it the usual permissions.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  bool ok = WriteAll(fd, data.data(), data.size());
  int saved = errno;
  if (ok && fsync(fd) != 0) {
    ok = false;
    saved = errno;
  }
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    *error = Reason("cannot write", saved);
  }
  ReleaseTempSlot(slot);
  return ok;
}

bool IsSameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool IsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void InstallCleanupOnSignal() {
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = RemoveTempsAndDie;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

}  // namespace polarmosaic
