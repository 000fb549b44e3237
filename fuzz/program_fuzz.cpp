// SPDX-License-Identifier: MIT
// BIOS and FPGA programming (program_command, linked from romtool's own sources) on
// arbitrary image files and sizes, in process, on a virtual board whose
// bios0 and fpga0 start erased for every input.
//
// Checked for every input: the command ends; the device afterwards holds exactly the
// image, the CRC in its slot (computed here bit by bit, not with the product's table)
// and erased flash everywhere else, so nothing is written past the image or the
// region; the printed lines are exact. Decided behaviour: a BIOS image longer than
// 0x40000 bytes, or FPGA files longer than 0x7FFFC bytes together, are refused with
// an exception before anything is printed or written; a BIOS body that is not a
// multiple of 4 bytes gives the warning line, and the missing bytes of its last word
// count as 0xFF.
#include "commands.h"
#include "fuzz_support.h"

#include "posix/exception.h"

#include <cstdio>
#include <fuzzer/FuzzedDataProvider.h>
#include <iostream>
#include <list>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr size_t bios_region = 0x40000, bios_crc = 0x40, bios_body = 0x44;
constexpr size_t fpga_crc = 0x7FFFC;

std::string bios_node, fpga_node, scratch;
size_t bios_size, fpga_size;

// Everything the command prints, taken from file descriptor 1.
class capture_t {
public:
    capture_t() : fd(memfd_create("stdout", 0)), saved(dup(1)) {
        if (fd < 0 || saved < 0)
            fuzz::fail("cannot capture stdout");
        std::fflush(stdout);
        dup2(fd, 1);
    }
    std::string finish() {
        std::cout.flush();
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        std::string text;
        char buffer[4096];
        ssize_t n;
        lseek(fd, 0, SEEK_SET);
        while ((n = read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(n));
        close(fd);
        return text;
    }

private:
    int fd, saved;
};

// An image of `size` bytes drawn from the input's remaining bytes.
fuzz::bytes_t make_image(size_t size, const fuzz::bytes_t& pool, size_t& offset) {
    fuzz::bytes_t image(size);
    for (size_t i = 0; i < size; ++i)
        image[i] = pool.empty()
                       ? static_cast<uint8_t>(0xA5 ^ i)
                       : static_cast<uint8_t>(pool[(offset + i) % pool.size()] ^ (i >> 12));
    offset += size;
    return image;
}

size_t choose_size(FuzzedDataProvider& in, size_t limit, size_t used) {
    // Mostly small: an image near the limit takes the board thousands of requests.
    const int kind = in.ConsumeIntegralInRange(0, 19);
    switch (kind < 12 ? 0 : kind < 15 ? 1 : kind < 18 ? 2 : 3) {
    case 0:
        return in.ConsumeIntegralInRange<size_t>(0, 300);
    case 1: { // around the limit
        const size_t room = limit > used ? limit - used : 0;
        const size_t low = room > 40 ? room - 40 : 0;
        return in.ConsumeIntegralInRange<size_t>(low, room + 40);
    }
    case 2:
        return in.ConsumeIntegralInRange<size_t>(bios_crc - 8, bios_body + 8);
    default:
        return in.ConsumeIntegralInRange<size_t>(0, limit + 64);
    }
}

void put_be32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

// As romtool runs it: prepared (the images read), then run.
void program(const char* node, image_layout_t layout, const std::list<std::string>& files) {
    const std::unique_ptr<command_t> command =
        program_command(invocation_t{node, {}, ZELK_ENV_FLASH}, layout, files);
    command->prepare();
    command->run();
}

std::string hex_line(const char* name, uint32_t value) {
    char line[64];
    std::snprintf(line, sizeof line, "%s is 0x%lx\n", name, static_cast<unsigned long>(value));
    return line;
}

void expect_device(const std::string& node, const fuzz::bytes_t& expected, const char* what) {
    const fuzz::bytes_t got = fuzz::read_file(node);
    if (got.size() != expected.size())
        fuzz::fail("%s: the device is now %zu bytes, was %zu", what, got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i] != expected[i])
            fuzz::fail("%s: device byte 0x%zx is 0x%02x, expected 0x%02x", what, i, got[i],
                       expected[i]);
}

void expect_output(const std::string& got, const std::string& expected, const char* what) {
    if (got != expected)
        fuzz::fail("%s: printed\n%s\nexpected\n%s", what, got.c_str(), expected.c_str());
}

void check_bios(const fuzz::bytes_t& image) {
    const std::string file = scratch + "/bios.img";
    fuzz::write_file(file, image);
    const size_t size = image.size();

    capture_t capture;
    bool refused = false;
    std::string message;
    try {
        program("/dev/zelk/flash_bios0", image_layout_t::bios, {file});
    } catch (const qv::exception_t& e) {
        refused = true;
        message = e.what();
    }
    const std::string out = capture.finish();

    fuzz::bytes_t device(bios_size, 0xFF);
    if (size > bios_region) {
        if (!refused)
            fuzz::fail("a BIOS image of 0x%zx bytes was accepted", size);
        expect_output(out, "", "refused BIOS image");
        expect_device(bios_node, device, "refused BIOS image");
        return;
    }
    if (refused)
        fuzz::fail("a BIOS image of 0x%zx bytes was refused: %s", size, message.c_str());

    // Body, then erased flash up to the end of the region; a short last word is
    // completed with erased bytes, which comes to the same.
    fuzz::bytes_t covered(bios_region - bios_body, 0xFF);
    if (size > bios_body)
        std::copy(image.begin() + bios_body, image.end(), covered.begin());
    const uint32_t crc = fuzz::reference_crc32(0, covered.data(), covered.size());
    uint32_t checksum = 0;
    for (size_t i = 0; i < covered.size(); i += 4)
        checksum += static_cast<uint32_t>(covered[i]) << 24 | covered[i + 1] << 16 |
                    covered[i + 2] << 8 | covered[i + 3];

    std::string expected;
    if (size > bios_body && (size - bios_body) % 4 != 0)
        expected +=
            "warning: unexpected count " + std::to_string((size - bios_body) % 4) + " read\n";
    expected += hex_line("checksum", checksum) + hex_line("crc", crc) + "writing...\nOK\n";
    expect_output(out, expected, "BIOS image");

    std::copy(image.begin(), image.end(), device.begin());
    uint8_t slot[4];
    put_be32(slot, crc);
    for (size_t i = bios_crc; i < bios_body && i < size; ++i)
        device[i] = slot[i - bios_crc];
    expect_device(bios_node, device, "BIOS image");
}

void check_fpga(const std::vector<fuzz::bytes_t>& images) {
    std::list<std::string> files;
    fuzz::bytes_t whole;
    for (size_t i = 0; i < images.size(); ++i) {
        files.push_back(scratch + "/fpga" + std::to_string(i) + ".img");
        fuzz::write_file(files.back(), images[i]);
        whole.insert(whole.end(), images[i].begin(), images[i].end());
    }

    capture_t capture;
    bool refused = false, reported_ok = false;
    std::string message;
    try {
        program("/dev/zelk/flash_fpga0", image_layout_t::fpga, files);
        reported_ok = true;
    } catch (const qv::exception_t& e) {
        refused = true;
        message = e.what();
    }
    const std::string out = capture.finish();

    fuzz::bytes_t device(fpga_size, 0xFF);
    if (whole.size() > fpga_crc) {
        if (!refused)
            fuzz::fail("FPGA files of 0x%zx bytes together were accepted", whole.size());
        expect_output(out, "", "refused FPGA image");
        expect_device(fpga_node, device, "refused FPGA image");
        return;
    }
    if (refused || !reported_ok)
        fuzz::fail("FPGA files of 0x%zx bytes together failed: %s", whole.size(),
                   (message + out).c_str());

    fuzz::bytes_t covered(fpga_crc, 0xFF);
    std::copy(whole.begin(), whole.end(), covered.begin());
    const uint32_t crc = fuzz::reference_crc32(0, covered.data(), covered.size());
    expect_output(out, hex_line("crc", crc) + "programming successful\n", "FPGA image");
    std::copy(whole.begin(), whole.end(), device.begin());
    put_be32(&device[fpga_crc], crc);
    expect_device(fpga_node, device, "FPGA image");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    fuzz::run_on_board(*argv);
    bios_node = fuzz::board_dir() + "/flash_bios0.img";
    fpga_node = fuzz::board_dir() + "/flash_fpga0.img";
    scratch = fuzz::scratch_dir();
    bios_size = fuzz::read_file(bios_node).size();
    fpga_size = fuzz::read_file(fpga_node).size();
    if (bios_size < bios_region || fpga_size < fpga_crc + 4)
        fuzz::fail("the board's bios0 or fpga0 is too small");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool fpga = in.ConsumeBool();
    fuzz::write_file(fpga ? fpga_node : bios_node,
                     fuzz::bytes_t(fpga ? fpga_size : bios_size, 0xFF));
    if (!fpga) {
        const size_t image_size = choose_size(in, bios_region, 0);
        const fuzz::bytes_t pool = in.ConsumeRemainingBytes<uint8_t>();
        size_t offset = 0;
        check_bios(make_image(image_size, pool, offset));
        return 0;
    }
    const size_t count = in.ConsumeIntegralInRange(0, 4);
    std::vector<size_t> sizes;
    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        sizes.push_back(choose_size(in, fpga_crc, used));
        used += sizes.back();
    }
    const fuzz::bytes_t pool = in.ConsumeRemainingBytes<uint8_t>();
    size_t offset = 0;
    std::vector<fuzz::bytes_t> images;
    for (size_t s : sizes)
        images.push_back(make_image(s, pool, offset));
    check_fpga(images);
    return 0;
}
