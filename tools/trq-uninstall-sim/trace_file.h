// The file a run writes its trace to (--trace FILE). The user names it, but
// it is looked at as anything from elsewhere is: it is a regular file or a
// new one, never a FIFO or a device a write could wait on; never the device
// folder's own file or one inside that folder, however it is reached (a
// path, a link to a folder, a second name of the same file); and never a
// symbolic link in its last component, which is not followed. It is checked
// before anything changes and emptied only once the device has been loaded,
// so that a refusal of either leaves both as they were.
#ifndef TRQ_TOOLS_TRACE_FILE_H
#define TRQ_TOOLS_TRACE_FILE_H

#include <string>

#include "formats/host_folder.h"

namespace tool {

class TraceFile {
public:
    TraceFile() = default;
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Looks at path for a run on device, changing nothing: an existing file
    // is opened without waiting and examined, a missing one is noted. False
    // with the reason (without the path).
    bool Check(const std::string& path, const host::Folder& device, std::string& error);
    // Creates the file Check noted as missing, or empties the one it found
    // (with append, writes go to its end instead, as a device appends to its
    // trace). The descriptor, which the caller then owns, or -1 with the reason.
    int Open(std::string& error, bool append = false);

private:
    int folder_ = -1;  // the folder the trace lies in
    int file_ = -1;    // the trace, when it exists
    std::string name_;
};

}  // namespace tool

#endif
