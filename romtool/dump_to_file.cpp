#include "commands.h"

#include "posix/file.h"
#include "progress.h"
#include "zelk/zelk_driver.h"

#include <cstdint>
#include <fcntl.h>
#include <iostream>

void dump_to_file(const std::string& path, const std::string& file, bool progress) {
    // Declared first, closed last: the dump is synced and closed before the node.
    qv::zelk::driver_t device(path, O_RDONLY);
    // Opened at the first write, so an empty device leaves no file behind. O_TRUNC then
    // drops the tail of an older, longer dump that would otherwise pass for device data.
    qv::posix::file_t out(file, O_RDWR | O_CREAT | O_TRUNC, 0600, true);

    unsigned char buffer[32];
    std::uint64_t total = 0;
    progress_t shown(progress, "dumping", progress ? device_size(device) : 0);
    for (;;) {
        const ssize_t got = device.read(buffer, sizeof buffer);
        if (got == 0)
            break;
        // A short write (file size limit, full disk) must not silently drop bytes: write
        // the rest, which then fails with the real reason.
        for (ssize_t done = 0; done < got;)
            done += out.write(buffer + done, static_cast<size_t>(got - done));
        total += static_cast<std::uint64_t>(got);
        shown.advance(static_cast<std::uint64_t>(got));
    }
    shown.finish();
    // Synced and closed here rather than in the destructor, which would swallow a failure.
    if (out.is_open()) {
        out.sync();
        out.close();
    }
    std::cout << std::dec << total << " bytes written" << std::endl;
}
