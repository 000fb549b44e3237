// SPDX-License-Identifier: MIT
#include "commands.h"
#include "failure.h"

#include "image.h"
#include "posix/exception.h"
#include "program_options.h"
#include "progress.h"
#include "stdio_file.h"
#include "zelk/zelk_driver.h"

#include <cstdint>
#include <fcntl.h>
#include <iostream>
#include <string>

void program_device(const std::string& path, const std::string& file,
                    const program_options_t& options) {
    qv::zelk::driver_t device(path, O_RDWR); // opened at the first write
    std::cout << "program_device:" << std::endl;
    stdio_file_t input;
    input.open(file, "rb");
    const target_image_t target = options.any() ? plain_target(file) : target_image_t();
    if (before_writing(path, target, options) == before_writing_t::done)
        return;

    std::uint64_t written = 0;
    try {
        progress_t progress(options.progress, "writing", target.written);
        unsigned char buffer[image::chunk_size];
        while (!input.eof()) {
            const size_t got = input.read(buffer, sizeof buffer);
            // Nothing read with the error indicator set (a directory, an I/O error) is a
            // failed read, not the end of the image.
            if (input.error())
                throw qv::exception_t("program_device() -- read of input file failed.");
            if (got == 0)
                break;
            device.write(buffer, got);
            written += got;
            progress.advance(got);
        }
    } catch (const qv::exception_t& e) {
        throw command_failure_t("program failed after " + std::to_string(written) +
                                " bytes were written: " + e.what());
    }
    std::cout << "programming successful" << std::endl;
    after_writing(path, target, options);
}
