#include "commands.h"

#include "posix/exception.h"

void dump_device(const std::string&, int) {
    throw qv::exception_t("%s: not available in this build", "-r");
}
