#include "directories/directory.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "util/try.h"

namespace nuvrel_core {

namespace {

// Closes the descriptor when the read is over, whatever the outcome.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// The OS would read a name only up to a NUL byte, and so open another file.
IoResult<void> check_no_nul(const std::filesystem::path& path) {
    if (path.native().find('\0') != std::string::npos)
        return std::unexpected(IoError::invalid_input("file name contained an unexpected NUL byte"));
    return {};
}

// Index and side files are regular files. A directory is let through: its
// reads fail with the system's own "Is a directory". Anything else (a FIFO
// would block or never end, a device may be endless) is refused by name.
IoResult<void> check_file_type(const std::filesystem::path& path, mode_t mode) {
    if (S_ISREG(mode) || S_ISDIR(mode)) return {};
    return std::unexpected(not_regular_file(path, mode));
}

// Non-blocking, so that a FIFO put in place of an index file cannot stall
// the open until some writer appears; regular files ignore the flag.
IoResult<int> open_readonly(const std::filesystem::path& path) {
    NUVREL_TRY_VOID(check_no_nul(path));
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        // A socket cannot be opened at all; say what it is rather than
        // "No such device or address".
        struct stat st{};
        if (err == ENXIO && ::stat(path.c_str(), &st) == 0) NUVREL_TRY_VOID(check_file_type(path, st.st_mode));
        return std::unexpected(IoError::from_errno(err));
    }
    return fd;
}

IoError out_of_memory(std::uint64_t n) {
    return IoError::other(fmt::format("memory allocation of {} bytes failed", n));
}

// Reads into buf until it is full or the file ends; the count read.
IoResult<std::size_t> read_some(int fd, std::uint8_t* buf, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        ssize_t got = ::read(fd, buf + done, n - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(IoError::from_errno(errno));
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

IoResult<OwnedBytes> read_range(const std::filesystem::path& path, ByteRange range) {
    NUVREL_TRY(const int raw_fd, open_readonly(path));
    Fd fd(raw_fd);
    if (range.start > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return std::unexpected(IoError::from_errno(EINVAL));
    if (::lseek(fd.get(), static_cast<off_t>(range.start), SEEK_SET) < 0)
        return std::unexpected(IoError::from_errno(errno));
    std::uint64_t n = range.len();
    if (n > std::numeric_limits<std::size_t>::max() / 2)
        return std::unexpected(IoError::invalid_input(fmt::format("Range {} too large", range.to_string())));
    auto buffer = OwnedBytes::try_allocate(static_cast<std::size_t>(n));
    if (!buffer) return std::unexpected(out_of_memory(n));
    NUVREL_TRY(const std::size_t got, read_some(fd.get(), buffer->second, static_cast<std::size_t>(n)));
    if (got < n) return std::unexpected(IoError::unexpected_eof("early eof"));
    return std::move(buffer->first);
}

IoError inverted_range(ByteRange r) {
    return IoError::invalid_input(fmt::format("Range {} is inverted: start lies beyond end", r.to_string()));
}

}  // namespace

IoError not_regular_file(const std::filesystem::path& path, unsigned mode) {
    const char* kind = S_ISFIFO(mode)  ? "a FIFO"
                       : S_ISCHR(mode) ? "a character device"
                       : S_ISBLK(mode) ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : nullptr;
    if (kind == nullptr) return IoError::invalid_input(fmt::format("{} is not a regular file", path.native()));
    return IoError::invalid_input(fmt::format("{} is {}, not a regular file", path.native(), kind));
}

std::string ByteRange::to_string() const { return fmt::format("{}..{}", start, end); }

LazyFileHandle LazyFileHandle::from_bytes(OwnedBytes bytes) {
    std::uint64_t size = bytes.size();
    auto fn = std::make_shared<const ReadFn>([bytes = std::move(bytes)](ByteRange r) {
        return spawn_blocking([bytes, r]() -> IoResult<OwnedBytes> {
            return bytes.slice(static_cast<std::size_t>(r.start), static_cast<std::size_t>(r.end));
        });
    });
    return LazyFileHandle(std::move(fn), size);
}

Task<IoResult<OwnedBytes>> LazyFileHandle::read_bytes_range(ByteRange range) const {
    if (range.end > file_size_)
        co_return std::unexpected(IoError::invalid_input(
            fmt::format("Range {} out of bounds (file size: {})", range.to_string(), file_size_)));
    if (range.start > range.end) co_return std::unexpected(inverted_range(range));
    std::shared_ptr<const ReadFn> fn = read_fn_;  // the read outlives nothing it needs
    IoResult<OwnedBytes> r = co_await (*fn)(range);
    co_return r;
}

Task<IoResult<OwnedBytes>> LazyFileSlice::read_bytes_range(ByteRange range) const {
    if (range.end > len_)
        co_return std::unexpected(IoError::invalid_input(
            fmt::format("Range {} out of bounds (slice len: {})", range.to_string(), len_)));
    if (range.start > range.end) co_return std::unexpected(inverted_range(range));
    // offset + len lies within the file for windows cut from a file, but a
    // window built from damaged offsets may not: never let the sum wrap.
    if (offset_ > std::numeric_limits<std::uint64_t>::max() - range.end)
        co_return std::unexpected(IoError::invalid_input(fmt::format(
            "Range {} out of bounds (file size: {})", range.to_string(), handle_.file_size())));
    LazyFileHandle handle = handle_;
    IoResult<OwnedBytes> r = co_await handle.read_bytes_range({offset_ + range.start, offset_ + range.end});
    co_return r;
}

IoResult<OwnedBytes> read_whole_file(const std::filesystem::path& path, ReadCeiling ceiling) {
    NUVREL_TRY(const int raw_fd, open_readonly(path));
    Fd fd(raw_fd);
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(IoError::from_errno(errno));
    if (S_ISDIR(st.st_mode)) return std::unexpected(IoError::from_errno(EISDIR));
    NUVREL_TRY_VOID(check_file_type(path, st.st_mode));

    const std::uint64_t max = ceiling.max_bytes;
    const auto too_large = [&] {
        return std::unexpected(IoError::invalid_data(
            fmt::format("{} is larger than the {} bytes a file of its kind may hold", path.native(), max)));
    };
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size > max && !ceiling.stop_at_ceiling) return too_large();
    // One byte past the ceiling tells a file that goes on beyond it.
    const std::uint64_t limit = ceiling.stop_at_ceiling ? max : max + 1;
    if (limit > std::numeric_limits<std::size_t>::max() / 2) return std::unexpected(out_of_memory(limit));

    // The recorded size is where the read should end; one spare byte shows
    // whether the file goes on (it grew, or it reports no size, as kernel
    // files do), and then the buffer doubles up to the limit.
    std::size_t capacity = static_cast<std::size_t>(std::min(size + 1, limit));
    OwnedBytes bytes;
    std::uint8_t* buf = nullptr;
    std::size_t filled = 0;
    for (;;) {
        auto grown = OwnedBytes::try_allocate(capacity);
        if (!grown) return std::unexpected(out_of_memory(capacity));
        if (filled != 0) std::memcpy(grown->second, buf, filled);
        bytes = std::move(grown->first);
        buf = grown->second;
        NUVREL_TRY(const std::size_t got, read_some(fd.get(), buf + filled, capacity - filled));
        filled += got;
        if (filled < capacity) break;  // the file ended
        if (capacity == limit) {
            if (!ceiling.stop_at_ceiling) return too_large();
            break;
        }
        capacity = static_cast<std::size_t>(
            std::min<std::uint64_t>(limit, std::max<std::uint64_t>(capacity * 2, 64 * 1024)));
    }
    return bytes.slice(0, filled);
}

IoResult<std::filesystem::path> FsDirectory::resolve(std::string_view path) const {
    std::filesystem::path full = root_ / path;
    NUVREL_TRY_VOID(check_no_nul(full));
    return full;
}

// The coroutines below keep every awaited operation in a named local: GCC 12
// mishandles temporaries that live across a co_await.
Task<bool> FsDirectory::exists(std::string path) const {
    IoResult<std::filesystem::path> full = resolve(path);
    if (!full) co_return false;
    auto test = [full = std::move(*full)]() -> IoResult<bool> {
        std::error_code ec;
        return std::filesystem::exists(full, ec) && !ec;
    };
    IoResult<bool> r = co_await spawn_blocking(std::move(test));
    co_return r.value_or(false);
}

Task<IoResult<OwnedBytes>> FsDirectory::open_read(std::string path, ReadCeiling ceiling) const {
    NUVREL_CO_TRY(std::filesystem::path full, resolve(path));
    auto read = [full = std::move(full), ceiling]() { return read_whole_file(full, ceiling); };
    IoResult<OwnedBytes> r = co_await spawn_blocking(std::move(read));
    co_return r;
}

Task<IoResult<LazyFileHandle>> FsDirectory::open_lazy(std::string path) const {
    NUVREL_CO_TRY(std::filesystem::path full, resolve(path));
    auto stat_size = [full]() -> IoResult<std::uint64_t> {
        struct stat st{};
        if (::stat(full.c_str(), &st) != 0) return std::unexpected(IoError::from_errno(errno));
        NUVREL_TRY_VOID(check_file_type(full, st.st_mode));
        return static_cast<std::uint64_t>(st.st_size);
    };
    NUVREL_CO_TRY(const std::uint64_t size, co_await spawn_blocking(std::move(stat_size)));
    // The read function owns the path; each call reads on the blocking pool.
    auto fn = std::make_shared<const LazyFileHandle::ReadFn>([full](ByteRange r) {
        return spawn_blocking([full, r]() { return read_range(full, r); });
    });
    co_return LazyFileHandle(std::move(fn), size);
}

}  // namespace nuvrel_core
