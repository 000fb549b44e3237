#include "commands.h"

#include "posix/exception.h"

void dump_to_file(const std::string&, const std::string&) {
    throw qv::exception_t("%s: not available in this build", "-dump");
}
