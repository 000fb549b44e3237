#include "commands.h"

#include "posix/exception.h"

void erase_device(const std::string&) {
    throw qv::exception_t("%s: not available in this build", "-e");
}
