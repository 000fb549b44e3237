#include "commands.h"

#include "posix/exception.h"

void access_loop(const std::string&) {
    throw qv::exception_t("%s: not available in this build", "-l");
}
