// SPDX-License-Identifier: MIT
// "-p", "-pbios" and "-pfpga": one path for the three. The image is read once, when the
// command is prepared, and laid out (program_layout.h); every sum, write and comparison
// comes from that one buffer. Without modifiers the device is opened at the first write and
// written run by run, as it always was. With "-erase", "-ifchanged" or "-verify" the one
// handle also reads the range before writing, erases, and reads it back after.
#include "commands.h"
#include "failure.h"

#include "device_io.h"
#include "image.h"
#include "program_layout.h"
#include "progress.h"
#include "zelk/zelk_driver.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <iostream>

namespace {

// "-p": the whole image read before anything is written, so a read that fails (a folder,
// an I/O error) leaves the device untouched.
std::vector<unsigned char> read_plain_image(const std::string& file) {
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
    if (bytes.size() > image::plain_limit)
        throw qv::exception_t("%s: image longer than 0x%zx bytes", file.c_str(),
                              image::plain_limit);
    return bytes;
}

std::string hex_line(const char* format, std::size_t at, unsigned int a = 0, unsigned int b = 0) {
    char line[96];
    std::snprintf(line, sizeof line, format, at, a, b);
    return line;
}

class program_command_t final : public command_t {
public:
    program_command_t(const invocation_t& run, image_layout_t kind,
                      const std::list<std::string>& files)
        : run_(run), kind_(kind), files_(files), progress_(run.progress()),
          reads_(run.has(modifier_t::erase) || run.has(modifier_t::ifchanged)) {}

    void prepare() override {
        switch (kind_) {
        case image_layout_t::plain:
            std::cout << "program_device:" << std::endl;
            layout_ = plain_layout(read_plain_image(files_.front()));
            break;
        case image_layout_t::bios: {
            // Refused before anything is printed: a longer image would run past the region
            // and its CRC would describe nothing on the device.
            std::vector<unsigned char> image;
            image::append_image(files_.front(), image::bios_region, "BIOS", image);
            layout_ = bios_layout(std::move(image));
            if (layout_.short_word != 0)
                std::cout << "warning: unexpected count " << layout_.short_word << " read"
                          << std::endl;
            std::printf("checksum is 0x%lx\n", static_cast<unsigned long>(*layout_.checksum));
            std::printf("crc is 0x%lx\n", static_cast<unsigned long>(*layout_.crc));
            break;
        }
        case image_layout_t::fpga: {
            // Refused before anything is written, naming the file that passes the CRC's place.
            std::vector<unsigned char> image;
            std::vector<std::size_t> ends;
            for (const std::string& name : files_) {
                image::append_image(name, image::fpga_crc_offset, "FPGA", image);
                ends.push_back(image.size());
            }
            layout_ = fpga_layout(std::move(image), ends);
            std::printf("crc is 0x%lx\n", static_cast<unsigned long>(*layout_.crc));
            break;
        }
        }
    }

    void run() override {
        qv::zelk::driver_t device(run_.device, O_RDWR); // opened at its first request
        if (reads_ && !check_and_erase(device))
            return;
        if (kind_ == image_layout_t::bios)
            std::cout << "writing..." << std::endl;
        write(device);
        std::cout << (kind_ == image_layout_t::bios ? "OK" : "programming successful") << std::endl;
        if (run_.has(modifier_t::verify))
            verify(device);
    }

private:
    // "-ifchanged" and "-erase": the range read once. False when the device already holds
    // the image and nothing is to be written.
    bool check_and_erase(qv::zelk::driver_t& device) {
        const std::vector<unsigned char>& target = layout_.bytes;
        const std::vector<unsigned char> held = read_pass(device, "checking");
        if (run_.has(modifier_t::ifchanged) && held == target) {
            std::cout << "device already holds this image" << std::endl;
            return false;
        }
        // Erasing first would only lose what the device holds: the writes would run off
        // its end.
        if (held.size() < layout_.end())
            throw qv::exception_t("%s: the device ends at 0x%zx, before the image's end at 0x%zx",
                                  run_.device.c_str(), held.size(), layout_.end());
        if (!run_.has(modifier_t::erase)) {
            // Programming only clears bits: the whole range the image describes, written
            // bytes and the erased rest under the CRC alike, must allow the image.
            const auto blocked = std::mismatch(
                held.begin(), held.end(), target.begin(),
                [](unsigned char was, unsigned char wanted) { return (was & wanted) == wanted; });
            if (blocked.first != held.end())
                throw command_failure_t(
                    hex_line("device is not erased at 0x%zx; add -erase",
                             static_cast<std::size_t>(blocked.first - held.begin())));
        } else if (!std::all_of(held.begin(), held.end(),
                                [](unsigned char b) { return b == image::erased_byte; })) {
            try {
                progress_t progress(progress_, "erasing", target.size());
                device.ioctl(FLASH_IOC_ERASE);
                progress.advance(target.size());
            } catch (const qv::exception_t& e) {
                throw command_failure_t(std::string("erase failed: ") + e.what());
            }
        }
        device.seek(0, SEEK_SET);
        return true;
    }

    void write(qv::zelk::driver_t& device) {
        std::uint64_t written = 0; // the image's bytes: a CRC written after it is not counted
        try {
            std::uint64_t total = 0;
            for (const write_run_t& run : layout_.runs)
                total += run.end - run.start;
            progress_t progress(progress_, "writing", total);
            for (const write_run_t& run : layout_.runs) {
                if (run.seek)
                    device.seek(static_cast<off_t>(run.start), SEEK_SET);
                write_pieces(device, layout_.bytes.data() + run.start, run.end - run.start,
                             progress, [&](std::size_t at, std::size_t length) {
                                 if (run.start + at < layout_.image_size)
                                     written += length;
                             });
            }
            progress.finish();
        } catch (const qv::exception_t& e) {
            throw command_failure_t("program failed after " + std::to_string(written) +
                                    " bytes were written: " + e.what());
        }
    }

    // "-verify": the range read back and compared with the layout's bytes.
    void verify(qv::zelk::driver_t& device) {
        const std::vector<unsigned char>& image = layout_.bytes;
        device.seek(0, SEEK_SET);
        const std::vector<unsigned char> held = read_pass(device, "verifying");
        const auto differ = std::mismatch(held.begin(), held.end(), image.begin());
        const std::size_t at = static_cast<std::size_t>(differ.first - held.begin());
        if (at < held.size())
            throw command_failure_t(hex_line("verify failed at 0x%zx: device 0x%02x, image 0x%02x",
                                             at, *differ.first, *differ.second));
        if (held.size() < image.size())
            throw command_failure_t(
                hex_line("verify failed at 0x%zx: the device ends there", held.size()));
        std::cout << "verify OK" << std::endl;
    }

    std::vector<unsigned char> read_pass(qv::zelk::driver_t& device, const char* what) {
        progress_t progress(progress_, what, layout_.bytes.size());
        return read_device(device, layout_.bytes.size(), progress);
    }

    const invocation_t run_;
    const image_layout_t kind_;
    const std::list<std::string> files_;
    const progress_shown_t progress_;
    const bool reads_; // the range is read before writing
    layout_t layout_;
};

} // namespace

std::unique_ptr<command_t> program_command(const invocation_t& run, image_layout_t layout,
                                           const std::list<std::string>& files) {
    return std::make_unique<program_command_t>(run, layout, files);
}
