// SPDX-License-Identifier: MIT
#include "commands.h"

#include "zelk/zelk_driver.h"

#include <fcntl.h>
#include <unistd.h>

void access_loop(const std::string& path) {
    // The handle is made and never used, so the node is never opened.
    const qv::zelk::driver_t device(path, O_RDONLY);
    // pause() sleeps until a signal arrives; a signal that is caught and returns must not
    // end the loop, one that terminates ends the process.
    for (;;)
        pause();
}
