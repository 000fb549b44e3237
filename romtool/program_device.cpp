// SPDX-License-Identifier: MIT
#include "commands.h"
#include "failure.h"

#include "device_io.h"
#include "image.h"
#include "posix/exception.h"
#include "posix/file.h"
#include "program_options.h"
#include "progress.h"
#include "zelk/zelk_driver.h"

#include <cstdint>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <vector>

namespace {

// The whole image, read before anything is written: a read that fails (a directory, an
// I/O error) leaves the device untouched.
std::vector<unsigned char> read_image(const std::string& file) {
    qv::posix::file_t input(file, image::image_flags);
    try {
        input.open();
    } catch (const qv::exception_t&) {
        throw qv::exception_t("error opening file");
    }
    std::vector<unsigned char> bytes;
    try {
        image::read_file(input, image::plain_limit, bytes);
    } catch (const qv::exception_t&) {
        throw command_failure_t("program failed after 0 bytes were written: "
                                "program_device() -- read of input file failed.");
    }
    return bytes;
}

} // namespace

void program_device(const std::string& path, const std::string& file,
                    const program_options_t& options) {
    qv::zelk::driver_t device(path, O_RDWR); // opened at the first write
    std::cout << "program_device:" << std::endl;
    target_image_t target;
    target.bytes = read_image(file);
    if (target.bytes.size() > image::plain_limit)
        throw qv::exception_t("%s: image longer than 0x%zx bytes", file.c_str(),
                              image::plain_limit);
    target.written = target.end = target.bytes.size();
    if (before_writing(path, target, options) == before_writing_t::done)
        return;

    std::uint64_t written = 0;
    try {
        progress_t progress(options.progress, "writing", target.written);
        write_pieces(device, target.bytes.data(), target.bytes.size(), progress, written);
    } catch (const qv::exception_t& e) {
        throw command_failure_t("program failed after " + std::to_string(written) +
                                " bytes were written: " + e.what());
    }
    std::cout << "programming successful" << std::endl;
    after_writing(path, target, options);
}
