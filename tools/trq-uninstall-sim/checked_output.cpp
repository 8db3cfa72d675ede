#include "tools/trq-uninstall-sim/checked_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "formats/host_file.h"

namespace tool {

namespace {

const size_t kBufferBytes = 64 << 10;

std::string Cause(int number) { return number ? std::strerror(number) : "the write failed"; }

}  // namespace

CheckedFile::~CheckedFile()
{
    if (owned_ && fd_ >= 0) ::close(fd_);
}

void CheckedFile::Attach(int fd)
{
    fd_ = fd;
    owned_ = false;
}

void CheckedFile::Own(int fd)
{
    fd_ = fd;
    owned_ = true;
}

bool CheckedFile::Flush()
{
    if (failure_) return false;
    if (!host::WriteAll(fd_, buffer_)) failure_ = errno ? errno : EIO;
    buffer_.clear();
    return !failure_;
}

int CheckedFile::overflow(int c)
{
    if (failure_) return traits_type::eof();
    if (c != traits_type::eof()) buffer_.push_back(static_cast<char>(c));
    if (buffer_.size() >= kBufferBytes && !Flush()) return traits_type::eof();
    return traits_type::not_eof(c);
}

std::streamsize CheckedFile::xsputn(const char* s, std::streamsize n)
{
    if (failure_) return 0;
    buffer_.append(s, static_cast<size_t>(n));
    if (buffer_.size() >= kBufferBytes && !Flush()) return 0;
    return n;
}

int CheckedFile::sync() { return Flush() ? 0 : -1; }

bool CheckedFile::Close(std::string& error)
{
    bool ok = fd_ >= 0 && Flush();
    if (owned_ && fd_ >= 0 && ::close(fd_) != 0 && ok) {
        failure_ = errno;
        ok = false;
    }
    fd_ = -1;
    if (!ok) error = Cause(failure_);
    return ok;
}

CheckedStandardOutput::CheckedStandardOutput()
{
    file_.Attach(STDOUT_FILENO);
    previous_ = std::cout.rdbuf(&file_);
}

CheckedStandardOutput::~CheckedStandardOutput() { std::cout.rdbuf(previous_); }

bool CheckedStandardOutput::Finish(std::string& error) { return file_.Close(error); }

}  // namespace tool
