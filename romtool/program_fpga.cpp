#include "commands.h"

#include "posix/exception.h"

void program_fpga(const std::string&, const std::list<std::string>&) {
    throw qv::exception_t("%s: not available in this build", "-pfpga");
}
