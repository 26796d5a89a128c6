// file_io.cpp - POSIX file helpers of the tool.
#include "file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <thread>

#include "memory_budget.h"

namespace polarmosaic {

namespace {

std::string Reason(const char* what, int error_number) {
    return std::string(what) + " (" + strerror(error_number) + ")";
}

// Temporary files being written. Creating one, renaming it into place and
// removing it all happen under the lock, so the signal thread, once it
// holds the lock, sees every temporary file that exists and no new one can
// appear.
std::mutex g_temp_mutex;
std::set<std::string>* g_temp_names = new std::set<std::string>;
bool g_stopping = false;  // guarded by g_temp_mutex

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void CleanupThread(sigset_t signals) {
    int signal_number = 0;
    while (sigwait(&signals, &signal_number) != 0) {
    }
    // The lock is kept until the process is gone: workers stop at their next
    // temporary file or rename.
    g_temp_mutex.lock();
    g_stopping = true;
    for (const std::string& name : *g_temp_names) unlink(name.c_str());
    signal(signal_number, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(signal_number);
    _exit(128 + signal_number);  // not reached for the signals above
}

// The process umask, read without setting it (umask() cannot be read
// without changing it, which would race with other threads creating files).
mode_t ProcessUmask() {
    static const mode_t mask = [] {
        FILE* status = fopen("/proc/self/status", "r");
        mode_t value = 022;
        if (!status) return value;
        char line[256];
        while (fgets(line, sizeof(line), status)) {
            unsigned octal = 0;
            if (sscanf(line, "Umask: %o", &octal) == 1) {
                value = static_cast<mode_t>(octal & 0777);
                break;
            }
        }
        fclose(status);
        return value;
    }();
    return mask;
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

// Reads until size bytes or the end; returns the count or -1 with errno.
ssize_t ReadFully(int fd, uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, data + done, size - done);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

std::string TooLargeFileText(uint64_t size, uint64_t limit) {
    std::string a, b;
    MemoryTexts(size, limit, &a, &b);
    return "file is " + a + ", more than the memory budget of " + b + " (--memory)";
}

const char* FileKind(mode_t mode) {
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

}  // namespace

bool ReadWholeFile(const std::string& path, const ReadOptions& options, ByteBuffer* data,
                   std::string* error) {
    bool stdin_path = path == "-";
    int fd = stdin_path ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = Reason("cannot open", errno);
        return false;
    }
    auto fail = [&](const std::string& reason) {
        if (!stdin_path) close(fd);
        *error = reason;
        return false;
    };
    struct stat info;
    if (fstat(fd, &info) != 0) return fail(Reason("cannot read", errno));
    if (S_ISDIR(info.st_mode)) return fail("cannot read (it is a directory)");
    bool sized = S_ISREG(info.st_mode);
    uint64_t file_size = sized ? static_cast<uint64_t>(info.st_size) : 0;
    if (sized && file_size > options.max_bytes) {
        return fail(TooLargeFileText(file_size, options.max_bytes));
    }
    // The first bytes decide whether the rest is worth reading.
    constexpr size_t kHead = 64;
    data->resize(kHead);
    ssize_t head = ReadFully(fd, data->data(), kHead);
    if (head < 0) return fail(Reason("cannot read", errno));
    size_t have = static_cast<size_t>(head);
    data->resize(have);
    if (options.check_head && !options.check_head(data->data(), have, error)) {
        if (!stdin_path) close(fd);
        return false;
    }
    if (have == kHead) {
        // A regular file is read in one piece of its size (plus one byte, to
        // notice a file that grew); anything else in growing pieces.
        size_t chunk = sized && file_size >= kHead ? static_cast<size_t>(file_size - kHead) + 1 : 65536;
        for (;;) {
            if (have + chunk > options.max_bytes) {
                chunk = static_cast<size_t>(options.max_bytes - have) + 1;
            }
            std::string refusal;
            if (!sized && options.grow && !options.grow(have + chunk, &refusal)) return fail(refusal);
            data->resize(have + chunk);
            ssize_t n = ReadFully(fd, data->data() + have, chunk);
            if (n < 0) return fail(Reason("cannot read", errno));
            have += static_cast<size_t>(n);
            if (have > options.max_bytes) {
                return fail(sized ? TooLargeFileText(have, options.max_bytes)
                                  : "input is larger than the memory budget of " +
                                        MemoryText(options.max_bytes) + " (--memory)");
            }
            if (static_cast<size_t>(n) < chunk) break;
            chunk = std::max<size_t>(65536, have);
        }
        data->resize(have);
    }
    if (!stdin_path) close(fd);
    return true;
}

bool ReadFileHead(const std::string& path, size_t max_bytes, ByteBuffer* head) {
    // Opening a pipe, even for a moment, would let its writer go ahead and
    // die on the pipe closed behind it: the real read would then find nothing.
    struct stat before;
    if (stat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode)) return false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat info;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (ok) {
        head->resize(max_bytes);
        ssize_t n = ReadFully(fd, head->data(), max_bytes);
        ok = n >= 0;
        head->resize(ok ? static_cast<size_t>(n) : 0);
    }
    close(fd);
    return ok;
}

int64_t RegularFileSize(const std::string& path) {
    struct stat info;
    if (path == "-" || stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return -1;
    }
    return static_cast<int64_t>(info.st_size);
}

std::string CheckOutputPath(const std::string& path) {
    if (path == "-") return std::string();
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode)) {
        return std::string();
    }
    if (S_ISDIR(info.st_mode)) return "cannot write (it is a directory)";
    return std::string("refusing to replace ") + FileKind(info.st_mode) + " (not a regular file)";
}

bool WriteFileAtomically(const std::string& path, const uint8_t* data, size_t size, std::string* error) {
    if (path == "-") {
        if (!WriteAll(STDOUT_FILENO, data, size)) {
            *error = Reason("cannot write to standard output", errno);
            return false;
        }
        return true;
    }
    std::string refusal = CheckOutputPath(path);
    if (!refusal.empty()) {
        *error = refusal;
        return false;
    }
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // ".NAME.tmp-XXXXXX" must itself fit the folder's name limit.
    long name_max = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    if (name_max <= 0) name_max = NAME_MAX;
    const size_t kTempExtra = 12;  // "." and ".tmp-XXXXXX"
    if (base.size() + kTempExtra > static_cast<size_t>(name_max)) {
        base.resize(static_cast<size_t>(name_max) - kTempExtra);
    }
    std::string temp = folder + "." + base + ".tmp-XXXXXX";
    mode_t mode = 0666 & ~ProcessUmask();
    struct stat old;
    if (stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        mode = old.st_mode & 0777;
    }
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(g_temp_mutex);
        if (g_stopping) {
            *error = "cannot write (interrupted)";
            return false;
        }
        fd = mkostemp(&temp[0], O_CLOEXEC);
        if (fd < 0) {
            *error = Reason("cannot write", errno);
            return false;
        }
        g_temp_names->insert(temp);
    }
    // mkstemp makes the file private; give it the permissions it should have.
    bool ok = fchmod(fd, mode) == 0;
    int saved = errno;
    if (ok) {
        ok = WriteAll(fd, data, size);
        saved = errno;
    }
    if (ok && fsync(fd) != 0) {
        ok = false;
        saved = errno;
    }
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    std::lock_guard<std::mutex> lock(g_temp_mutex);
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        *error = Reason("cannot write", saved);
    }
    g_temp_names->erase(temp);
    return ok;
}

bool IsSameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    int got_a = a == "-" ? fstat(STDIN_FILENO, &sa) : stat(a.c_str(), &sa);
    if (got_a != 0 || stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string CanonicalOutputPath(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    char* real = realpath(folder.c_str(), nullptr);
    if (!real) return path;
    std::string canonical(real);
    free(real);
    if (name.empty() || name == "." || name == "..") return path;
    return canonical + (canonical.back() == '/' ? "" : "/") + name;
}

bool FileIdentity(const std::string& path, uint64_t* device, uint64_t* inode) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return false;
    *device = static_cast<uint64_t>(info.st_dev);
    *inode = static_cast<uint64_t>(info.st_ino);
    return true;
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool MakeFolders(const std::string& path, std::string* error) {
    for (size_t end = 1; end <= path.size(); ++end) {
        if (end < path.size() && path[end] != '/') continue;
        std::string part = path.substr(0, end);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            *error = Reason("cannot make the folder", errno);
            return false;
        }
    }
    if (!IsDirectory(path)) {
        *error = "not a folder";
        return false;
    }
    return true;
}

void InstallCleanupOnSignal() {
    ProcessUmask();  // read once while no other thread runs
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : kCleanupSignals) {
        // A signal ignored by the parent (nohup, background job) stays ignored.
        struct sigaction current;
        if (sigaction(s, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
            continue;
        }
        sigaddset(&signals, s);
    }
    // Every thread started from here on inherits the mask; only the cleanup
    // thread takes these signals.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    if (!sigisemptyset(&signals)) std::thread(CleanupThread, signals).detach();
}

}  // namespace polarmosaic
