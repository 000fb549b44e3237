#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "board.h"

#include "env_image.h"
#include "real.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vboard {

namespace {

// Request codes, compared as 32-bit values whatever width the caller used.
constexpr uint32_t FLASH_IOC_INFO = 0x4040C000;
constexpr uint32_t FLASH_IOC_ERASE = 0x2000C001;
constexpr uint32_t ZELK_IOC_ERROR_TEXT = 0xC0CCD00A;
constexpr uint32_t FLASH_ENV_SET = 0x812CC002;
constexpr uint32_t FLASH_ENV_GET = 0x412CC003;
constexpr uint32_t FLASH_ENV_CLEAR = 0x412CC004;
constexpr uint32_t NVRAM_ENV_SET = 0x812CD104;
constexpr uint32_t NVRAM_ENV_GET = 0xC12CD105;
constexpr uint32_t NVRAM_ENV_CLEAR = 0x2000D103;

constexpr size_t max_transfer = 16; // the driver programs at most 16 bytes per write
constexpr size_t env_field = 150;
constexpr size_t part_name_size = 52;
constexpr size_t error_text_size = 200;

struct device_info_t {
    int32_t manufacturer_id;
    int32_t device_id;
    int32_t size_kbits;
    char part_name[part_name_size];
};
static_assert(sizeof(device_info_t) == 64, "record layout");

struct error_text_t {
    int32_t code;
    char text[error_text_size];
};
static_assert(sizeof(error_text_t) == 204, "record layout");

// Board lock descriptors of operations in flight (descriptor + 1, 0 = free).
// A child of fork closes its copies: a copy shares the parent's open file
// description, and so its lock, which would stay held for as long as the
// child lives, although no thread of the child holds it.
constexpr int max_in_flight = 256;
std::atomic<int> in_flight[max_in_flight];

void track(int fd) {
    for (std::atomic<int>& slot : in_flight) {
        int free = 0;
        if (slot.compare_exchange_strong(free, fd + 1))
            return;
    }
}

void untrack(int fd) {
    for (std::atomic<int>& slot : in_flight) {
        int mine = fd + 1;
        if (slot.compare_exchange_strong(mine, 0))
            return;
    }
}

// ---- small file helpers (all through the real C library) ----

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

std::string escape(const char* data, size_t size) {
    std::string out = "\"";
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

std::string flags_text(int flags) {
    std::string out;
    switch (flags & O_ACCMODE) {
    case O_RDONLY:
        out = "O_RDONLY";
        break;
    case O_WRONLY:
        out = "O_WRONLY";
        break;
    case O_RDWR:
        out = "O_RDWR";
        break;
    default:
        out = "O_ACCMODE";
        break;
    }
    int rest = flags & ~O_ACCMODE & ~O_LARGEFILE;
    static const std::pair<int, const char*> names[] = {
        {O_SYNC, "O_SYNC"},           {O_DSYNC, "O_DSYNC"},       {O_CLOEXEC, "O_CLOEXEC"},
        {O_CREAT, "O_CREAT"},         {O_EXCL, "O_EXCL"},         {O_TRUNC, "O_TRUNC"},
        {O_APPEND, "O_APPEND"},       {O_NONBLOCK, "O_NONBLOCK"}, {O_NOCTTY, "O_NOCTTY"},
        {O_DIRECTORY, "O_DIRECTORY"}, {O_NOFOLLOW, "O_NOFOLLOW"},
    };
    for (const auto& [bit, name] : names) {
        if ((rest & bit) == bit) {
            out += '|';
            out += name;
            rest &= ~bit;
        }
    }
    if (rest != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "|0x%x", static_cast<unsigned>(rest));
        out += hex;
    }
    return out;
}

// ---- node identity ----

struct node_info_t {
    bool flash = true; // type=flash or type=nvram
    std::string env;   // "", "flash" or "nvram": the environment store it serves
    long long manufacturer_id = 0;
    long long device_id = 0;
    long long size_kbits = 0;
    std::string part_name;
};

bool load_info(const node_ref_t& ref, node_info_t& info) {
    std::string text;
    if (!read_cached(ref.board + "/" + ref.node + ".info", text))
        return false;
    info.flash = config_value(text, "type") != "nvram";
    info.env = config_value(text, "env");
    info.manufacturer_id = to_number(config_value(text, "manufacturer_id"), 0);
    info.device_id = to_number(config_value(text, "device_id"), 0);
    info.size_kbits = to_number(config_value(text, "size_kbits"), 0);
    info.part_name = config_value(text, "part_name");
    return true;
}

std::string image_path(const node_ref_t& ref) {
    return ref.board + "/" + ref.node + ".img";
}

// ---- faults ----

struct rule_t {
    std::vector<std::pair<std::string, std::string>> fields; // in file order
    std::string get(const std::string& key) const {
        for (const auto& [k, v] : fields)
            if (k == key)
                return v;
        return std::string();
    }
    bool has(const std::string& key) const {
        for (const auto& f : fields)
            if (f.first == key)
                return true;
        return false;
    }
    void set(const std::string& key, const std::string& value) {
        for (auto& f : fields)
            if (f.first == key) {
                f.second = value;
                return;
            }
        fields.emplace_back(key, value);
    }
};

struct fault_t {
    bool fired = false;
    int id = 0;
    int error = 0;           // fail with this error number
    long long short_to = -1; // a read returns at most this many bytes
    bool power_cut = false;
    long long partial = 0; // bytes programmed before the power goes
};

uint64_t splitmix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

bool op_matches(const std::string& rule_op, const char* op) {
    if (rule_op == op)
        return true;
    // pread and pwrite are reads and writes at the driver
    return (rule_op == "read" && std::strcmp(op, "pread") == 0) ||
           (rule_op == "write" && std::strcmp(op, "pwrite") == 0);
}

// ---- the board's lock and per-operation view of its files ----

class session_t {
public:
    explicit session_t(const std::string& board) : board_(board) {
        // Opened per operation, so that threads of one process serialise as
        // processes do: flock belongs to the open file description.
        lock_fd_ = real::open((board + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lock_fd_ >= 0)
            track(lock_fd_);
        if (lock_fd_ < 0) {
            error_ = errno == ENOENT ? ENOENT : EIO;
            diagnose("cannot open the lock of board " + board + ": " + std::strerror(errno));
            return;
        }
        while (flock(lock_fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                error_ = EIO;
                diagnose("cannot lock board " + board + ": " + std::strerror(errno));
                return;
            }
        }
        std::string conf;
        read_cached(board + "/board.conf", conf);
        log_on_ = config_value(conf, "log") == "on";
        program_ns_per_byte_ = to_number(config_value(conf, "program_ns_per_byte"), 0);
        erase_ms_ = to_number(config_value(conf, "erase_ms"), 0);
        load_rules();
    }

    ~session_t() {
        if (dirty_)
            save_rules();
        if (lock_fd_ >= 0) {
            untrack(lock_fd_);
            real::close(lock_fd_);
        }
    }

    session_t(const session_t&) = delete;
    session_t& operator=(const session_t&) = delete;

    int error() const { return error_; }

    // Counts the call against every rule it matches; the first rule whose
    // trigger fires decides what happens to it.
    fault_t check(const std::string& node, const char* op, uint32_t code) {
        fault_t out;
        for (rule_t& rule : rules_) {
            std::string rule_node = rule.get("node");
            if (rule_node != "*" && rule_node != node)
                continue;
            if (!op_matches(rule.get("op"), op))
                continue;
            if (rule.has("code") && static_cast<uint32_t>(to_number(rule.get("code"), -1)) != code)
                continue;
            long long hits = to_number(rule.get("hits"), 0) + 1;
            rule.set("hits", std::to_string(hits));
            dirty_ = true;
            if (out.fired || !fires(rule, hits))
                continue;
            out.fired = true;
            out.id = static_cast<int>(to_number(rule.get("id"), 0));
            out.error = static_cast<int>(to_number(rule.get("errno"), 0));
            out.short_to = to_number(rule.get("short"), -1);
            out.power_cut = rule.has("powercut");
            out.partial = to_number(rule.get("partial"), 0);
        }
        // A power cut kills the process before this session ends: the counters are
        // saved now, or the same rule would fire again in every later run.
        if (out.power_cut)
            save_rules();
        return out;
    }

    // One line per call; a single write to a descriptor opened for appending,
    // so lines of concurrent writers never mix.
    void log(const node_ref_t& ref, const char* op, const std::string& args, long long result,
             int error, const fault_t& fault) {
        if (!log_on_)
            return;
        char head[96];
        std::snprintf(head, sizeof head, "pid=%d tid=%ld node=", static_cast<int>(getpid()),
                      static_cast<long>(syscall(SYS_gettid)));
        std::string line = head;
        line += ref.node;
        line += " op=";
        line += op;
        if (!args.empty()) {
            line += ' ';
            line += args;
        }
        line += " result=" + std::to_string(result);
        if (result < 0)
            line += " errno=" + std::to_string(error);
        if (fault.fired)
            line += " fault=" + std::to_string(fault.id);
        if (fault.power_cut)
            line += " powercut";
        line += '\n';
        int fd = real::open((board_ + "/requests.log").c_str(),
                            O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0)
            return;
        if (real::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            diagnose("short write to the request log of " + board_);
        real::close(fd);
    }

    void program_delay(size_t bytes) const {
        if (program_ns_per_byte_ > 0)
            pause_ns(program_ns_per_byte_ * static_cast<long long>(bytes));
    }
    void erase_delay() const {
        if (erase_ms_ > 0)
            pause_ns(erase_ms_ * 1000000LL);
    }

private:
    static void pause_ns(long long ns) {
        timespec t{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
        while (nanosleep(&t, &t) != 0 && errno == EINTR) {
        }
    }

    static bool fires(const rule_t& rule, long long hits) {
        if (rule.has("nth"))
            return hits == to_number(rule.get("nth"), 0);
        if (rule.has("from"))
            return hits >= to_number(rule.get("from"), LLONG_MAX);
        if (rule.has("prob")) {
            double p = std::strtod(rule.get("prob").c_str(), nullptr);
            uint64_t seed = static_cast<uint64_t>(to_number(rule.get("seed"), 0));
            uint64_t x = splitmix64(seed ^ splitmix64(static_cast<uint64_t>(hits)));
            return static_cast<double>(x >> 11) * (1.0 / 9007199254740992.0) < p;
        }
        return true; // every call
    }

    void load_rules() {
        std::string text;
        if (!read_cached(board_ + "/faults.txt", text))
            return;
        for (const std::string& line : split_lines(text)) {
            rule_t rule;
            size_t pos = 0;
            while (pos < line.size()) {
                while (pos < line.size() && line[pos] == ' ')
                    ++pos;
                size_t end = line.find(' ', pos);
                if (end == std::string::npos)
                    end = line.size();
                if (end > pos) {
                    std::string token = line.substr(pos, end - pos);
                    size_t eq = token.find('=');
                    if (eq == std::string::npos)
                        rule.fields.emplace_back(token, std::string());
                    else
                        rule.fields.emplace_back(token.substr(0, eq), token.substr(eq + 1));
                }
                pos = end;
            }
            if (!rule.fields.empty() && rule.fields[0].first[0] != '#')
                rules_.push_back(std::move(rule));
        }
    }

    void save_rules() {
        std::string text;
        for (const rule_t& rule : rules_) {
            bool first = true;
            for (const auto& [k, v] : rule.fields) {
                if (!first)
                    text += ' ';
                first = false;
                text += k;
                if (!v.empty() || k == "node")
                    text += "=" + v;
            }
            text += '\n';
        }
        if (!write_file(board_ + "/faults.txt", text))
            diagnose("cannot update the fault counters of " + board_);
    }

    std::string board_;
    int lock_fd_ = -1;
    int error_ = 0;
    bool log_on_ = false;
    long long program_ns_per_byte_ = 0;
    long long erase_ms_ = 0;
    std::vector<rule_t> rules_;
    bool dirty_ = false;
};

[[noreturn]] void power_cut() {
    // Nothing after this point reaches the board: the process just stops.
    syscall(SYS_kill, getpid(), SIGKILL);
    for (;;)
        pause();
}

int access_mode(int fd) {
    int fl = real::fcntl(fd, F_GETFL, nullptr);
    return fl < 0 ? -1 : (fl & O_ACCMODE);
}

off64_t current_offset(int fd) {
    return real::lseek(fd, 0, SEEK_CUR);
}

// The image file of a node, opened for the length of one operation.
class image_t {
public:
    image_t(const node_ref_t& ref, bool writable) {
        fd_ = real::open(image_path(ref).c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0);
        struct stat st;
        if (fd_ >= 0 && fstat(fd_, &st) == 0)
            size_ = st.st_size;
        else if (fd_ >= 0) {
            real::close(fd_);
            fd_ = -1;
        }
    }
    ~image_t() {
        if (fd_ >= 0)
            real::close(fd_);
    }
    image_t(const image_t&) = delete;
    image_t& operator=(const image_t&) = delete;

    bool ok() const { return fd_ >= 0; }
    off64_t size() const { return size_; }
    bool read(void* buffer, size_t count, off64_t at) const {
        size_t done = 0;
        while (done < count) {
            ssize_t n = real::pread(fd_, static_cast<char*>(buffer) + done, count - done,
                                    at + static_cast<off64_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    bool write(const void* buffer, size_t count, off64_t at) const {
        return write_all(fd_, static_cast<const char*>(buffer), count, at);
    }
    bool read_all(std::string& out) const {
        out.assign(static_cast<size_t>(size_), '\0');
        return read(&out[0], out.size(), 0);
    }

private:
    int fd_ = -1;
    off64_t size_ = 0;
};

std::string env_key(const char* field) {
    return std::string(field, strnlen(field, env_field));
}

// A key with "=" could never be found again: an entry's key ends at its first "=".
bool valid_env_key(const std::string& key) {
    return key.find('=') == std::string::npos;
}

// Writes a rebuilt environment image. A power cut in the middle leaves the
// store erased with the first `partial` bytes of the new image programmed.
long store_env(const image_t& image, const std::string& data, const fault_t& fault) {
    if (fault.power_cut) {
        std::string erased(static_cast<size_t>(image.size()), '\xff');
        size_t k = std::min(static_cast<size_t>(fault.partial), data.size());
        erased.replace(0, k, data, 0, k);
        image.write(erased.data(), erased.size(), 0);
        power_cut();
    }
    return image.write(data.data(), data.size(), 0) ? 0 : -EIO;
}

long env_request(session_t& s, const node_ref_t& ref, int fd, uint32_t code, void* argument,
                 const fault_t& fault, std::string& args) {
    bool set = code == FLASH_ENV_SET || code == NVRAM_ENV_SET;
    bool get = code == FLASH_ENV_GET || code == NVRAM_ENV_GET;
    char* record = static_cast<char*>(argument);
    if ((set || get) && record == nullptr)
        return -EFAULT;
    std::string key;
    if (set || get) {
        key = env_key(record);
        args += " key=" + escape(key.data(), key.size());
    }
    if (set) {
        std::string value = env_key(record + env_field);
        args += " value=" + escape(value.data(), value.size());
    }
    if (!get && access_mode(fd) == O_RDONLY)
        return -EBADF;
    image_t image(ref, !get);
    if (!image.ok())
        return -EIO;
    std::string data;
    if (!image.read_all(data))
        return -EIO;
    env_image_t env(data);
    if (get) {
        std::string value;
        if (!env.get(key, value))
            return 0;
        std::memset(record + env_field, 0, env_field);
        std::memcpy(record + env_field, value.data(), std::min(value.size(), env_field));
        return 1;
    }
    if (set) {
        if (!valid_env_key(key))
            return -EINVAL;
        env.set(key, env_key(record + env_field));
    } else {
        env.clear();
    }
    std::string rebuilt;
    if (!env.build(data.size(), rebuilt))
        return -ENOSPC;
    s.program_delay(rebuilt.size());
    return store_env(image, rebuilt, fault);
}

long error_text_request(session_t&, const node_ref_t& ref, void* argument, std::string& args) {
    if (argument == nullptr)
        return -EFAULT;
    auto* record = static_cast<error_text_t*>(argument);
    args += " errcode=" + std::to_string(record->code);
    std::string text;
    read_cached(ref.board + "/errors.txt", text);
    for (const std::string& line : split_lines(text)) {
        size_t space = line.find(' ');
        if (line.empty() || line[0] == '#' || space == std::string::npos)
            continue;
        if (to_number(line.substr(0, space), LLONG_MIN) != record->code)
            continue;
        std::string message = line.substr(space + 1);
        std::memset(record->text, 0, sizeof record->text);
        std::memcpy(record->text, message.data(),
                    std::min(message.size(), sizeof record->text - 1));
        break;
    }
    // An unknown code leaves the caller's text as it was.
    return 0;
}

long erase(session_t& s, const node_ref_t& ref, int fd, const fault_t& fault) {
    if (access_mode(fd) == O_RDONLY)
        return -EBADF;
    image_t image(ref, true);
    if (!image.ok())
        return -EIO;
    std::string erased(static_cast<size_t>(image.size()), '\xff');
    s.erase_delay();
    if (fault.power_cut) {
        size_t k = std::min(static_cast<size_t>(fault.partial), erased.size());
        image.write(erased.data(), k, 0);
        power_cut();
    }
    return image.write(erased.data(), erased.size(), 0) ? 0 : -EIO;
}

long info(const node_info_t& info, void* argument) {
    if (argument == nullptr)
        return -EFAULT;
    device_info_t record{};
    record.manufacturer_id = static_cast<int32_t>(info.manufacturer_id);
    record.device_id = static_cast<int32_t>(info.device_id);
    record.size_kbits = static_cast<int32_t>(info.size_kbits);
    std::memcpy(record.part_name, info.part_name.data(),
                std::min(info.part_name.size(), sizeof record.part_name - 1));
    std::memcpy(argument, &record, sizeof record);
    return 0;
}

std::string hex_code(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "code=0x%08x", code);
    return text;
}

} // namespace

void diagnose(const std::string& text) {
    std::string line = "vboard: " + text + "\n";
    int saved = errno;
    ssize_t n = real::write(2, line.data(), line.size());
    (void)n;
    errno = saved;
}

void fork_child() {
    for (std::atomic<int>& slot : in_flight) {
        int fd = slot.exchange(0);
        if (fd > 0)
            real::close(fd - 1);
    }
}

long board_open(const node_ref_t& ref, int flags, int& fd) {
    session_t s(ref.board);
    fault_t none;
    std::string args = "flags=" + flags_text(flags);
    if (s.error()) {
        s.log(ref, "open", args, -1, s.error(), none);
        return -s.error();
    }
    fault_t fault = s.check(ref.node, "open", 0);
    long result = 0;
    node_info_t info;
    if (fault.fired && fault.power_cut) {
        s.log(ref, "open", args, -1, 0, fault);
        power_cut();
    }
    if (fault.fired && fault.error) {
        result = -fault.error;
    } else if (!load_info(ref, info)) {
        result = -ENOENT;
    } else if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
        result = -EEXIST;
    } else if (flags & O_DIRECTORY) {
        result = -ENOTDIR;
    } else {
        // The node's descriptor is its image file: the kernel then keeps the
        // offset, the status flags and close-on-exec for us, shared by dup and fork.
        int keep = O_ACCMODE | O_CLOEXEC | O_NONBLOCK | O_APPEND | O_SYNC | O_DSYNC;
        int accmode = flags & O_ACCMODE;
        if (accmode == O_ACCMODE)
            result = -EINVAL;
        else {
            fd = real::open(image_path(ref).c_str(), flags & keep, 0);
            result = fd >= 0 ? fd : -errno;
        }
    }
    s.log(ref, "open", args, result < 0 ? -1 : result, static_cast<int>(-result), fault);
    return result;
}

long board_read(const node_ref_t& ref, int fd, void* buffer, size_t count, const off64_t* at) {
    session_t s(ref.board);
    const char* op = at ? "pread" : "read";
    off64_t pos = at ? *at : current_offset(fd);
    std::string args = "off=" + std::to_string(pos) + " len=" + std::to_string(count);
    fault_t fault = s.check(ref.node, op, 0);
    long result;
    if (s.error())
        result = -s.error();
    else if (fault.fired && fault.power_cut) {
        s.log(ref, op, args, -1, 0, fault);
        power_cut();
    } else if (fault.fired && fault.error)
        result = -fault.error;
    else if (access_mode(fd) == O_WRONLY)
        result = -EBADF;
    else if (pos < 0)
        result = -EINVAL;
    else {
        image_t image(ref, false);
        if (!image.ok())
            result = -EIO;
        else {
            size_t n = pos >= image.size() ? 0
                                           : static_cast<size_t>(std::min<off64_t>(
                                                 static_cast<off64_t>(count), image.size() - pos));
            if (fault.fired && fault.short_to >= 0)
                n = std::min(n, static_cast<size_t>(fault.short_to));
            if (n > 0 && !image.read(buffer, n, pos))
                result = -EIO;
            else {
                result = static_cast<long>(n);
                if (!at)
                    real::lseek(fd, pos + static_cast<off64_t>(n), SEEK_SET);
            }
        }
    }
    s.log(ref, op, args, result < 0 ? -1 : result, static_cast<int>(-result), fault);
    return result;
}

long board_write(const node_ref_t& ref, int fd, const void* buffer, size_t count,
                 const off64_t* at) {
    session_t s(ref.board);
    const char* op = at ? "pwrite" : "write";
    off64_t pos = at ? *at : current_offset(fd);
    std::string args = "off=" + std::to_string(pos) + " len=" + std::to_string(count);
    fault_t fault = s.check(ref.node, op, 0);
    long result = 0;
    node_info_t info;
    if (s.error())
        result = -s.error();
    else if (fault.fired && fault.error && !fault.power_cut)
        result = -fault.error;
    else if (access_mode(fd) == O_RDONLY)
        result = -EBADF;
    else if (count > max_transfer)
        result = -EINVAL;
    else if (pos < 0)
        result = -EINVAL;
    else if (!load_info(ref, info))
        result = -ENODEV;
    else {
        image_t image(ref, true);
        if (!image.ok())
            result = -EIO;
        else if (count == 0)
            result = 0;
        else if (pos + static_cast<off64_t>(count) > image.size())
            result = -ENOSPC; // nothing is programmed past the end, not even in part
        else {
            unsigned char cells[max_transfer];
            const auto* in = static_cast<const unsigned char*>(buffer);
            if (!image.read(cells, count, pos))
                result = -EIO;
            else {
                // NOR programming only clears bits; NVRAM takes the bytes as given.
                for (size_t i = 0; i < count; ++i)
                    cells[i] = info.flash ? static_cast<unsigned char>(cells[i] & in[i]) : in[i];
                s.program_delay(count);
                if (fault.fired && fault.power_cut) {
                    size_t k = std::min(static_cast<size_t>(fault.partial), count);
                    if (k > 0)
                        image.write(cells, k, pos);
                    s.log(ref, op, args, -1, 0, fault);
                    power_cut();
                }
                if (!image.write(cells, count, pos))
                    result = -EIO;
                else {
                    result = static_cast<long>(count);
                    if (!at)
                        real::lseek(fd, pos + static_cast<off64_t>(count), SEEK_SET);
                }
            }
        }
    }
    if (fault.fired && fault.power_cut) {
        s.log(ref, op, args, -1, 0, fault);
        power_cut();
    }
    s.log(ref, op, args, result < 0 ? -1 : result, static_cast<int>(-result), fault);
    return result;
}

off64_t board_lseek(const node_ref_t& ref, int fd, off64_t offset, int whence) {
    session_t s(ref.board);
    static const char* const names[] = {"SET", "CUR", "END"};
    std::string args = "off=" + std::to_string(offset) + " whence=" +
                       (whence >= 0 && whence <= 2 ? names[whence] : std::to_string(whence));
    fault_t fault = s.check(ref.node, "lseek", 0);
    long long result;
    if (s.error())
        result = -s.error();
    else if (fault.fired && fault.power_cut) {
        s.log(ref, "lseek", args, -1, 0, fault);
        power_cut();
    } else if (fault.fired && fault.error)
        result = -fault.error;
    else {
        image_t image(ref, false);
        off64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? current_offset(fd)
                       : whence == SEEK_END ? image.size()
                                            : -1;
        off64_t target = base + offset;
        if (!image.ok())
            result = -EIO;
        else if (base < 0 || target < 0 || target > image.size())
            result = -EINVAL; // a node is positioned within its device only
        else
            result = real::lseek(fd, target, SEEK_SET) < 0 ? -EIO : target;
    }
    s.log(ref, "lseek", args, result < 0 ? -1 : result, static_cast<int>(-result), fault);
    return result;
}

long board_ioctl(const node_ref_t& ref, int fd, uint32_t code, void* argument) {
    session_t s(ref.board);
    std::string args = hex_code(code);
    fault_t fault = s.check(ref.node, "ioctl", code);
    long result;
    node_info_t info;
    if (s.error())
        result = -s.error();
    else if (!load_info(ref, info))
        result = -ENODEV;
    else {
        // The record's key fields go into the log even when a fault fails the call.
        bool env = code == FLASH_ENV_SET || code == FLASH_ENV_GET || code == FLASH_ENV_CLEAR ||
                   code == NVRAM_ENV_SET || code == NVRAM_ENV_GET || code == NVRAM_ENV_CLEAR;
        bool flash_env = code == FLASH_ENV_SET || code == FLASH_ENV_GET || code == FLASH_ENV_CLEAR;
        if (code == ZELK_IOC_ERROR_TEXT && argument)
            args += " errcode=" + std::to_string(static_cast<error_text_t*>(argument)->code);
        bool modifies = code == FLASH_IOC_ERASE || code == FLASH_ENV_SET ||
                        code == FLASH_ENV_CLEAR || code == NVRAM_ENV_SET || code == NVRAM_ENV_CLEAR;
        // A power cut during a request that changes the device lands part-way
        // through it; any other request never completes.
        if (fault.fired && fault.power_cut) {
            s.log(ref, "ioctl", args, -1, 0, fault);
            if (!modifies)
                power_cut();
        }
        if (fault.fired && fault.error && !fault.power_cut) {
            if ((code == FLASH_ENV_SET || code == FLASH_ENV_GET || code == NVRAM_ENV_SET ||
                 code == NVRAM_ENV_GET) &&
                argument) {
                std::string key = env_key(static_cast<char*>(argument));
                args += " key=" + escape(key.data(), key.size());
            }
            result = -fault.error;
        } else if (code == ZELK_IOC_ERROR_TEXT) {
            std::string ignored;
            result = error_text_request(s, ref, argument, ignored);
        } else if (code == FLASH_IOC_INFO && info.flash) {
            result = ::vboard::info(info, argument);
        } else if (code == FLASH_IOC_ERASE && info.flash) {
            result = erase(s, ref, fd, fault);
        } else if (env && info.env == (flash_env ? "flash" : "nvram")) {
            result = env_request(s, ref, fd, code, argument, fault, args);
        } else {
            result = -ENOTTY;
        }
    }
    if (fault.fired && fault.power_cut)
        power_cut(); // refused before it changed anything: the power still goes
    s.log(ref, "ioctl", args, result < 0 ? -1 : result, static_cast<int>(-result), fault);
    return result;
}

long board_close(const node_ref_t& ref, int fd) {
    session_t s(ref.board);
    fault_t fault = s.check(ref.node, "close", 0);
    if (fault.fired && fault.power_cut) {
        s.log(ref, "close", "", -1, 0, fault);
        power_cut();
    }
    // The descriptor goes whatever the driver says, as close() does on Linux.
    long result = real::close(fd) == 0 ? 0 : -errno;
    if (result == 0 && fault.fired && fault.error)
        result = -fault.error;
    if (result == 0 && s.error())
        result = -s.error();
    s.log(ref, "close", "", result < 0 ? -1 : result, static_cast<int>(-result), fault);
    return result;
}

} // namespace vboard
