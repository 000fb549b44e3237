#include "image.h"

namespace image {

void open_file(qv::posix::file_t& file) {
    try {
        file.open();
    } catch (const qv::posix::posix_exception_t& e) {
        throw qv::exception_t("Unable to open '%s': %s\n", file.name().c_str(), e.what());
    }
}

} // namespace image
