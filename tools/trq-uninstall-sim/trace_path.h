// The file a run writes its trace to (--trace FILE). The user names it, but
// it is looked at as anything from elsewhere is: it is a regular file or a
// new one, never a FIFO or a device a write could wait on; never the device
// folder's own file or one inside that folder, however it is reached (a
// path, a link to a folder, a second name of the same file); and never a
// symbolic link in its last component, which is not followed; and never
// another file of the run (the program it runs, the answers it reads, the
// report it writes). It is checked before anything changes and created or
// opened only once the device has been loaded, so that a refusal of either
// leaves both as they were; a run appends to it, as the trace build does to
// its trace on a device.
#ifndef TRQ_TOOLS_TRACE_PATH_H
#define TRQ_TOOLS_TRACE_PATH_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "formats/host_folder.h"

namespace tool {

// A file the run reads or writes besides the device, which a trace must
// never be: known by its identity (device and inode) where it exists, else
// by its path.
struct RunFile {
    std::string what;  // how a refusal names it
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string path;  // "" for a descriptor
};
// The file at path, its links followed, as the run reads it.
RunFile RunFileAt(const std::string& what, const std::string& path);
// The regular file open on fd (standard input or output); none for anything
// else (a terminal, a pipe, /dev/null), which no trace can be.
RunFile RunFileOn(const std::string& what, int fd);

class TraceFile {
public:
    TraceFile() = default;
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Looks at path for a run on device, changing nothing: an existing file
    // is opened without waiting and examined, a missing one is noted; either
    // is refused when it is one of others. False with the reason (without
    // the path).
    bool Check(const std::string& path, const host::Folder& device, const std::vector<RunFile>& others,
               std::string& error);
    // Creates the file Check noted as missing, or opens the one it found for
    // writes at its end. The descriptor, which the caller then owns, or -1
    // with the reason.
    int Open(std::string& error);

private:
    int folder_ = -1;  // the folder the trace lies in
    int file_ = -1;    // the trace, when it exists
    std::string name_;
};

}  // namespace tool

#endif
