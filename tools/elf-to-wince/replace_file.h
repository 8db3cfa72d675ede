// Putting a file in place whole or not at all: the bytes go to a temporary
// file beside it, created afresh under a name no one can guess, written,
// synced, and renamed over the file; then the folder is synced, so that the
// rename survives a crash. On an error the file is left as it was.
#ifndef TRQ_ELF_TO_WINCE_REPLACE_FILE_H
#define TRQ_ELF_TO_WINCE_REPLACE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

namespace wince {

// False, with the cause in error, when any step fails; the temporary file
// is then removed. A link at path is replaced, never followed.
bool ReplaceFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);

}  // namespace wince

#endif
