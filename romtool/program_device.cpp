#include "commands.h"

#include "posix/exception.h"

void program_device(const std::string&, const std::string&) {
    throw qv::exception_t("%s: not available in this build", "-p");
}
