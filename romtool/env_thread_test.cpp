#include "commands.h"

#include "posix/exception.h"

bool env_thread_test(args_t&, env_threads_t kind) {
    throw qv::exception_t("%s: not available in this build",
                          kind == env_threads_t::readers ? "-rmt" : "-wmt");
}
