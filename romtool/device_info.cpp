#include "commands.h"

#include "posix/exception.h"

void device_info(const std::string&) {
    throw qv::exception_t("%s: not available in this build", "-i");
}
