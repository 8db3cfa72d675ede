// Output whose failure is noticed: the trace file and standard output, each
// written through a buffer of its own that remembers the first write that
// failed and why.
#ifndef TRQ_TOOLS_CHECKED_OUTPUT_H
#define TRQ_TOOLS_CHECKED_OUTPUT_H

#include <streambuf>
#include <string>

namespace tool {

class CheckedFile : public std::streambuf {
public:
    CheckedFile() = default;
    ~CheckedFile() override;
    CheckedFile(const CheckedFile&) = delete;
    CheckedFile& operator=(const CheckedFile&) = delete;

    // Writes to fd, which Close closes.
    void Own(int fd);
    // Writes to fd, which stays open.
    void Attach(int fd);
    // Writes what is buffered and closes; false with the cause of the first
    // write that failed, here or before.
    bool Close(std::string& error);

protected:
    int overflow(int c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    bool Flush();
    int fd_ = -1;
    bool owned_ = false;
    int failure_ = 0;  // errno of the first write that failed
    std::string buffer_;
};

// std::cout through a CheckedFile on standard output while this lives.
class CheckedStandardOutput {
public:
    CheckedStandardOutput();
    ~CheckedStandardOutput();
    CheckedStandardOutput(const CheckedStandardOutput&) = delete;
    CheckedStandardOutput& operator=(const CheckedStandardOutput&) = delete;
    // Writes what is buffered; false with the cause when anything written
    // to standard output was lost.
    bool Finish(std::string& error);

private:
    CheckedFile file_;
    std::streambuf* previous_;
};

}  // namespace tool

#endif
