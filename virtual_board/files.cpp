// SPDX-License-Identifier: MIT
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "files.h"

#include "real.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unordered_map>

namespace vboard {

bool read_file(const std::string& path, std::string& out) {
    out.clear();
    int fd = real::open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    char buffer[8192];
    for (;;) {
        ssize_t n = real::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0)
            out.append(buffer, static_cast<size_t>(n));
        // a regular file reads short only at its end
        if (n < static_cast<ssize_t>(sizeof buffer)) {
            real::close(fd);
            return n >= 0;
        }
    }
}

// The board's small text files are read at every operation; a thread keeps
// what it read while stat shows the same file. A file changed within the
// timestamp granularity of when it was read is read again next time, as its
// next change could carry the same time stamp.
bool read_cached(const std::string& path, std::string& out) {
    struct entry_t {
        dev_t dev;
        ino_t ino;
        off_t size;
        timespec mtime;
        bool settled;
        std::string content;
    };
    thread_local std::unordered_map<std::string, entry_t> cache;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        cache.erase(path);
        return false;
    }
    auto it = cache.find(path);
    if (it != cache.end() && it->second.settled && it->second.dev == st.st_dev &&
        it->second.ino == st.st_ino && it->second.size == st.st_size &&
        it->second.mtime.tv_sec == st.st_mtim.tv_sec &&
        it->second.mtime.tv_nsec == st.st_mtim.tv_nsec) {
        out = it->second.content;
        return true;
    }
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (!read_file(path, out)) {
        cache.erase(path);
        return false;
    }
    long long age_ms = (static_cast<long long>(now.tv_sec) - st.st_mtim.tv_sec) * 1000 +
                       (now.tv_nsec - st.st_mtim.tv_nsec) / 1000000;
    if (cache.size() > 256)
        cache.clear();
    cache[path] = entry_t{st.st_dev, st.st_ino, st.st_size, st.st_mtim, age_ms > 100, out};
    return true;
}

bool write_all(int fd, const char* data, size_t size, off64_t offset) {
    while (size > 0) {
        ssize_t n = real::pwrite(fd, data, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

bool write_file(const std::string& path, const std::string& data) {
    int fd = real::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, data.data(), data.size(), 0);
    return real::close(fd) == 0 && ok;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// "key=value" lines, a later line overriding an earlier one; '#' starts a comment line.
std::string config_value(const std::string& text, const std::string& key) {
    std::string value;
    for (const std::string& line : split_lines(text)) {
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        if (eq != std::string::npos && eq == key.size() && line.compare(0, eq, key) == 0)
            value = line.substr(eq + 1);
    }
    return value;
}

long long to_number(const std::string& text, long long fallback) {
    if (text.empty())
        return fallback;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0')
        return fallback;
    return v;
}

} // namespace vboard
