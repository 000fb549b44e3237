#include "commands.h"

#include "posix/exception.h"

void set_env_key(const std::string&, const std::string&, const std::string&) {
    throw qv::exception_t("%s: not available in this build", "-set");
}

void get_env_key(const std::string&, const std::string&) {
    throw qv::exception_t("%s: not available in this build", "-get");
}
