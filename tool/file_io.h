// file_io.h - whole-file reads and all-or-nothing writes.
#ifndef POLARMOSAIC_TOOL_FILE_IO_H
#define POLARMOSAIC_TOOL_FILE_IO_H

#include <stdint.h>

#include <string>
#include <vector>

namespace polarmosaic {

// Reads a whole file ("-": standard input). On failure returns false and a
// reason such as "cannot open (No such file or directory)".
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data,
                   std::string* error);

// Writes data to a temporary file beside path and renames it into place
// once complete, so path holds either its old content or all of data,
// never a part. "-" writes to standard output.
bool WriteFileAtomically(const std::string& path,
                         const std::vector<uint8_t>& data, std::string* error);

// True when both paths name the same existing file.
bool IsSameFile(const std::string& a, const std::string& b);
bool IsDirectory(const std::string& path);

// Removes the temporary files of writes in progress when the process is
// interrupted (SIGINT, SIGTERM, SIGHUP), then dies of the signal as usual.
void InstallCleanupOnSignal();

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_FILE_IO_H
