// file_io.h - whole-file reads and all-or-nothing writes.
#ifndef POLARMOSAIC_TOOL_FILE_IO_H
#define POLARMOSAIC_TOOL_FILE_IO_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>

#include "byte_buffer.h"

namespace polarmosaic {

struct ReadOptions {
    // Files larger than this are refused before they are read.
    uint64_t max_bytes = UINT64_MAX;
    // Sees the first bytes (up to 64, fewer only for a shorter file) before
    // the rest is read, and may refuse the file with a reason.
    std::function<bool(const uint8_t* head, size_t size, std::string* error)> check_head;
    // For a stream (a pipe, standard input, a device: no size known before
    // it is read): called before the buffer grows to hold bytes, and may
    // refuse with a reason, so that memory is counted before it is taken.
    std::function<bool(uint64_t bytes, std::string* error)> grow;
};

// Reads a whole file ("-": standard input). On failure returns false and a
// reason such as "cannot open (No such file or directory)".
bool ReadWholeFile(const std::string& path, const ReadOptions& options, ByteBuffer* data, std::string* error);

// Reads up to the first max_bytes of a file; false when it cannot be read.
bool ReadFileHead(const std::string& path, size_t max_bytes, ByteBuffer* head);

// Size of a regular file; -1 for standard input, pipes and devices, or
// when it cannot be found out.
int64_t RegularFileSize(const std::string& path);

// Empty when path may be written: it does not exist or is a regular file
// (or a link to one). Otherwise the reason, e.g. for a device or a FIFO.
std::string CheckOutputPath(const std::string& path);

// Writes data to a temporary file beside path and renames it into place
// once complete, so path holds either its old content or all of data,
// never a part. "-" writes to standard output. A new file gets the
// permissions of the file it replaces, or 0666 less the umask.
bool WriteFileAtomically(const std::string& path, const uint8_t* data, size_t size, std::string* error);

// True when both paths name the same existing file; "-" is standard input.
bool IsSameFile(const std::string& a, const std::string& b);
bool IsDirectory(const std::string& path);

// A name that two paths of the same file share even when the file does
// not exist yet: the real path of the folder (links, "." and ".." resolved)
// and the last name. path itself when its folder cannot be resolved.
std::string CanonicalOutputPath(const std::string& path);

// The device and inode of an existing file (links followed); false when it
// does not exist.
bool FileIdentity(const std::string& path, uint64_t* device, uint64_t* inode);

// Makes the folder and any missing parents (mode 0777 less the umask);
// true when it exists as a folder afterwards.
bool MakeFolders(const std::string& path, std::string* error);

// Call once at start-up, before any other thread exists. SIGINT, SIGTERM,
// SIGHUP and SIGQUIT are then taken by a thread of their own, which stops
// every new temporary file and rename, removes the temporary files of the
// writes in progress and lets the process die of the signal as usual.
// SIGPIPE and SIGXFSZ are ignored, so a closed pipe or a file-size limit
// fails the write with a message instead of killing the process.
void InstallCleanupOnSignal();

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_FILE_IO_H
