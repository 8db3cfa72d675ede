#include "tools/trq-uninstall-sim/exit_codes.h"

#include <iostream>

#include "formats/host_file.h"

namespace tool {

int Fail(int code, const std::string& message)
{
    std::cerr << "trq-uninstall-sim: " << host::Printable(message) << "\n";
    return code;
}

}  // namespace tool
