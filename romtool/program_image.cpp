// SPDX-License-Identifier: MIT
// "-p", "-pbios" and "-pfpga": one path for the three. The image is read once, when the
// command is prepared, and laid out (program_layout.h); every sum, write and comparison
// comes from that one buffer. Without modifiers the device is opened at the first write and
// written run by run, as it always was. With "-erase", "-ifchanged" or "-verify" the one
// handle also reads the range before writing, erases, and reads it back after.
#include "commands.h"
#include "failure.h"
#include "report.h"

#include "device_io.h"
#include "image.h"
#include "program_layout.h"
#include "progress.h"
#include "zelk/zelk_driver.h"

#include <algorithm>
#include <cstdarg>
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

// The compiler checks each call's arguments against its format.
__attribute__((format(printf, 1, 2))) std::string hex_line(const char* format, ...) {
    char line[96];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
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
            std::cout << "checksum is " << image::hex(*layout_.checksum) << "\ncrc is "
                      << image::hex(*layout_.crc) << std::endl;
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
            std::cout << "crc is " << image::hex(*layout_.crc) << std::endl;
            break;
        }
        }
    }

    void run() override {
        report_t& report = report_t::run();
        json::value_t image;
        image.set("bytes", layout_.image_size);
        image.set("checksum",
                  layout_.checksum ? json::value_t(*layout_.checksum) : json::value_t());
        image.set("crc", layout_.crc ? json::value_t(*layout_.crc) : json::value_t());
        report.set("image", image);
        if (run_.has(modifier_t::dryrun))
            return dry_run();
        qv::zelk::driver_t device(run_.device, O_RDWR); // opened at its first request
        report.set("erased", false);
        report.set("skipped", false);
        if (reads_ && !check_and_erase(device))
            return report.set("skipped", true);
        if (kind_ == image_layout_t::bios)
            std::cout << "writing..." << std::endl;
        write(device);
        std::cout << (kind_ == image_layout_t::bios ? "OK" : "programming successful") << std::endl;
        report.set("verify", json::value_t());
        if (run_.has(modifier_t::verify))
            verify(device);
    }

private:
    // The range read, checked as "-ifchanged" and "-erase" check it. The device already
    // holding the image (with "-ifchanged") is said, then false: nothing to write. A device
    // too short, or one "-erase" would have to erase, is refused.
    bool check(const std::vector<unsigned char>& held, const device_state_t& state) {
        if (run_.has(modifier_t::ifchanged) && state.holds) {
            std::cout << "device already holds this image" << std::endl;
            return false;
        }
        // Erasing first would only lose what the device holds: the writes would run off
        // its end.
        if (held.size() < layout_.end())
            throw fatal_failure(error_kind_t::device,
                                qv::exception_t("%s: the device ends at 0x%zx, before the image's "
                                                "end at 0x%zx",
                                                run_.device.c_str(), held.size(), layout_.end()),
                                held.size());
        // Programming only clears bits: the whole range the image describes, written bytes
        // and the erased rest under the CRC alike, must allow the image.
        if (reads_ && !run_.has(modifier_t::erase) && state.blocked_at)
            throw command_failure_t(
                hex_line("device is not erased at 0x%zx; add -erase", *state.blocked_at),
                error_kind_t::device, *state.blocked_at);
        return true;
    }

    // "-ifchanged" and "-erase": the range read once. False when nothing is to be written.
    bool check_and_erase(qv::zelk::driver_t& device) {
        const std::vector<unsigned char> held = read_pass(device, "checking");
        const device_state_t state = compare_device(layout_, held);
        if (!check(held, state))
            return false;
        if (run_.has(modifier_t::erase) && !state.erased) {
            try {
                progress_t progress(progress_, "erasing", layout_.bytes.size());
                device.ioctl(FLASH_IOC_ERASE);
                progress.advance(layout_.bytes.size());
            } catch (const qv::exception_t& e) {
                throw command_failure_t(std::string("erase failed: ") + e.what(), e);
            }
            report_t::run().set("erased", true);
        }
        device.seek(0, SEEK_SET);
        return true;
    }

    // "-dryrun": the range read on a read-only handle, the real run's refusals given, and
    // what it would do said.
    void dry_run() {
        qv::zelk::driver_t device(run_.device, O_RDONLY);
        const std::vector<unsigned char> held = read_pass(device, "checking");
        const device_state_t state = compare_device(layout_, held);
        const bool writes = check(held, state);
        const bool erases = writes && run_.has(modifier_t::erase) && !state.erased;
        std::uint64_t bytes = 0;
        for (const write_run_t& run : layout_.runs)
            bytes += writes ? run.end - run.start : 0;
        const auto offset = [](const std::optional<std::size_t>& at) {
            return at ? json::value_t(*at) : json::value_t();
        };
        json::value_t plan;
        plan.set("erase", erases);
        plan.set("write", bytes);
        plan.set("holds_image", state.holds);
        plan.set("first_difference", offset(state.first_difference));
        plan.set("last_difference", offset(state.last_difference));
        plan.set("not_erased_at",
                 offset(run_.has(modifier_t::erase) ? std::nullopt : state.blocked_at));
        report_t::run().set("dryrun", true);
        report_t::run().set("plan", plan);
        if (!writes)
            return;
        if (erases)
            std::cout << "dry run: would erase the device" << std::endl;
        std::cout << "dry run: would write " << bytes << " bytes" << std::endl;
        if (!state.first_difference)
            std::cout << "dry run: the device already holds this image" << std::endl;
        else
            std::cout << hex_line("dry run: the device differs from 0x%zx to 0x%zx",
                                  *state.first_difference, *state.last_difference)
                      << std::endl;
        if (!run_.has(modifier_t::erase) && state.blocked_at)
            std::cout << hex_line("dry run: the device is not erased at 0x%zx: the image would "
                                  "not read back",
                                  *state.blocked_at)
                      << std::endl;
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
            report_t::run().set("written", written);
            throw command_failure_t("program failed after " + std::to_string(written) +
                                        " bytes were written: " + e.what(),
                                    e);
        }
        report_t::run().set("written", written);
    }

    // "-verify": the range read back and compared with the layout's bytes.
    void verify(qv::zelk::driver_t& device) {
        const std::vector<unsigned char>& image = layout_.bytes;
        device.seek(0, SEEK_SET);
        const std::vector<unsigned char> held = read_pass(device, "verifying");
        const auto differ = std::mismatch(held.begin(), held.end(), image.begin());
        const std::size_t at = static_cast<std::size_t>(differ.first - held.begin());
        json::value_t result;
        result.set("ok", held == image);
        if (at < held.size()) {
            result.set("offset", at);
            result.set("device", *differ.first);
            result.set("image", *differ.second);
            report_t::run().set("verify", result);
            throw command_failure_t(hex_line("verify failed at 0x%zx: device 0x%02x, image 0x%02x",
                                             at, *differ.first, *differ.second),
                                    error_kind_t::verify, at);
        }
        if (held.size() < image.size()) {
            result.set("offset", held.size());
            report_t::run().set("verify", result);
            throw command_failure_t(
                hex_line("verify failed at 0x%zx: the device ends there", held.size()),
                error_kind_t::verify, held.size());
        }
        report_t::run().set("verify", result);
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
