// SPDX-License-Identifier: MIT
#include "commands.h"
#include "failure.h"
#include "report.h"

#include "device_io.h"
#include "image.h"
#include "zelk/zelk_driver.h"

#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <optional>

namespace {

// The device read from the handle's offset to its end: its length, and the first and last
// byte that does not read erased.
struct erased_scan_t {
    std::size_t length = 0;
    std::optional<std::size_t> first, last;
    unsigned char found = 0; // at first
};

erased_scan_t scan(qv::zelk::driver_t& device, progress_t& progress, bool to_the_end) {
    erased_scan_t scan;
    read_to_end(device, progress,
                [&](std::size_t at, const unsigned char* bytes, std::size_t count) {
                    for (std::size_t i = 0; i < count; ++i) {
                        if (bytes[i] == image::erased_byte)
                            continue;
                        if (!scan.first) {
                            scan.first = at + i;
                            scan.found = bytes[i];
                        }
                        scan.last = at + i;
                    }
                    scan.length = at + count;
                    return to_the_end || !scan.first;
                });
    return scan;
}

void dry_run(const invocation_t& run, report_t& report) {
    qv::zelk::driver_t device(run.device, O_RDONLY);
    progress_t progress(run.progress(), "checking",
                        run.progress() == progress_shown_t::yes ? device_size(device) : 0);
    const erased_scan_t held = scan(device, progress, true);
    progress.finish();
    json::value_t plan;
    plan.set("erase", held.length);
    plan.set("first_not_erased", held.first ? json::value_t(*held.first) : json::value_t());
    plan.set("last_not_erased", held.last ? json::value_t(*held.last) : json::value_t());
    report.set("dryrun", true);
    report.set("plan", plan);
    std::cout << "dry run: would erase " << held.length << " bytes" << std::endl;
    char line[96];
    if (held.first)
        std::snprintf(line, sizeof line, "dry run: bytes not erased from 0x%zx to 0x%zx",
                      *held.first, *held.last);
    else
        std::snprintf(line, sizeof line, "dry run: the device reads erased already");
    std::cout << line << std::endl;
}

} // namespace

void erase_device(const invocation_t& run) {
    report_t& report = report_t::run();
    if (run.has(modifier_t::dryrun))
        return dry_run(run, report);
    const progress_shown_t shown = run.progress();
    qv::zelk::driver_t device(run.device, O_RDWR);
    // The size, for the progress and the object; the erase itself needs none.
    const std::uint64_t size =
        shown == progress_shown_t::yes || report.json() ? device_size(device) : 0;
    try {
        progress_t progress(shown, "erasing", size);
        device.ioctl(FLASH_IOC_ERASE);
        progress.advance(size);
    } catch (const qv::exception_t& e) {
        throw command_failure_t(std::string("erase failed: ") + e.what(), e);
    }
    report.set("erased", size); // measured whenever there is an object to print
    if (!run.has(modifier_t::verify))
        return;
    // A part that reports an erase it did not do, or cells a power cut left half erased,
    // read back as something else than erased flash.
    progress_t progress(shown, "verifying", size);
    const erased_scan_t held = scan(device, progress, false);
    progress.finish();
    json::value_t verify;
    verify.set("ok", !held.first);
    verify.set("offset", held.first ? json::value_t(*held.first) : json::value_t());
    report.set("erase_verify", verify);
    if (held.first) {
        char line[64];
        std::snprintf(line, sizeof line, "erase verify failed at 0x%zx: device 0x%02x", *held.first,
                      static_cast<unsigned int>(held.found));
        throw command_failure_t(line, error_kind_t::verify, *held.first);
    }
    std::cout << "erase verify OK" << std::endl;
}
