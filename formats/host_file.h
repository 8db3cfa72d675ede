// Reading a file that came from elsewhere: a device image, an executable, an
// ELF file. Only a regular file is read, and only up to a stated size; a
// directory, a FIFO, a device or a link (where links are not followed) is
// refused with one line that says why, before a byte is read and without
// ever blocking on the open.
#ifndef TRQ_FORMATS_HOST_FILE_H
#define TRQ_FORMATS_HOST_FILE_H

#include <cstddef>
#include <string>
#include <string_view>

namespace host {

enum class Links { Follow, Refuse };

// Reads name, relative to the folder open as dirFd (AT_FDCWD: the current
// folder, or name is absolute), into bytes. Refuses what is not a regular
// file, what is larger than limit bytes (by its size or by what it yields),
// and, with Links::Refuse, a symbolic link in name's last component. False
// with error (no file name in it: the caller names the file); missing, when
// given, tells whether the name is not there at all.
bool ReadRegularFile(int dirFd, const std::string& name, size_t limit, Links links,
                     std::string& bytes, std::string& error, bool* missing = nullptr);

// All of bytes, however many writes it takes; false with errno set.
bool WriteAll(int fd, std::string_view bytes);

// For the terminal: text that came from a device image, an executable or
// the command line, with every control character (C0, DEL, C1; so escape
// sequences and line breaks too), every bidirectional override and every
// byte that is not well-formed UTF-8 written out as \xNN or \u{NNNN}, so
// that nothing it holds acts on the terminal or fakes a line.
std::string Printable(std::string_view utf8);

// "64 MiB", "1 MiB", "512 KiB", "100 bytes": a limit as the user reads it.
std::string SizeText(size_t bytes);

}  // namespace host

#endif
