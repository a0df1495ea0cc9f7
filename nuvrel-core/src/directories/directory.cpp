#include "directories/directory.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <vector>

#include <fmt/format.h>

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

IoResult<int> open_readonly(const std::filesystem::path& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(IoError::from_errno(errno));
    return fd;
}

// Reads exactly n bytes into buf; a file that ends first is "early eof".
IoResult<void> read_exact(int fd, std::uint8_t* buf, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        ssize_t got = ::read(fd, buf + done, n - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(IoError::from_errno(errno));
        }
        if (got == 0) return std::unexpected(IoError::unexpected_eof("early eof"));
        done += static_cast<std::size_t>(got);
    }
    return {};
}

IoResult<OwnedBytes> read_range(const std::filesystem::path& path, ByteRange range) {
    auto fd_or = open_readonly(path);
    if (!fd_or) return std::unexpected(fd_or.error());
    Fd fd(*fd_or);
    if (range.start > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return std::unexpected(IoError::from_errno(EINVAL));
    if (::lseek(fd.get(), static_cast<off_t>(range.start), SEEK_SET) < 0)
        return std::unexpected(IoError::from_errno(errno));
    std::uint64_t n = range.len();
    if (n > std::numeric_limits<std::size_t>::max() / 2)
        return std::unexpected(IoError::invalid_input(fmt::format("Range {} too large", range.to_string())));
    auto [bytes, buf] = OwnedBytes::allocate(static_cast<std::size_t>(n));
    if (auto r = read_exact(fd.get(), buf, static_cast<std::size_t>(n)); !r) return std::unexpected(r.error());
    return bytes;
}

IoResult<OwnedBytes> read_whole(const std::filesystem::path& path) {
    auto fd_or = open_readonly(path);
    if (!fd_or) return std::unexpected(fd_or.error());
    Fd fd(*fd_or);
    std::vector<std::uint8_t> out;
    struct stat st{};
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        out.reserve(static_cast<std::size_t>(st.st_size));
    std::uint8_t chunk[64 * 1024];
    for (;;) {
        ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(IoError::from_errno(errno));
        }
        if (got == 0) break;
        out.insert(out.end(), chunk, chunk + got);
    }
    return OwnedBytes::from_vec(std::move(out));
}

IoError inverted_range(ByteRange r) {
    return IoError::invalid_input(fmt::format("Range {} is inverted: start lies beyond end", r.to_string()));
}

}  // namespace

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

IoResult<std::filesystem::path> FsDirectory::resolve(std::string_view path) const {
    std::filesystem::path full = root_ / path;
    if (full.native().find('\0') != std::string::npos)
        return std::unexpected(IoError::invalid_input("file name contained an unexpected NUL byte"));
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

Task<IoResult<OwnedBytes>> FsDirectory::open_read(std::string path) const {
    IoResult<std::filesystem::path> full = resolve(path);
    if (!full) co_return std::unexpected(full.error());
    auto read = [full = std::move(*full)]() { return read_whole(full); };
    IoResult<OwnedBytes> r = co_await spawn_blocking(std::move(read));
    co_return r;
}

Task<IoResult<LazyFileHandle>> FsDirectory::open_lazy(std::string path) const {
    IoResult<std::filesystem::path> resolved = resolve(path);
    if (!resolved) co_return std::unexpected(resolved.error());
    std::filesystem::path full = std::move(*resolved);
    auto stat_size = [full]() -> IoResult<std::uint64_t> {
        struct stat st{};
        if (::stat(full.c_str(), &st) != 0) return std::unexpected(IoError::from_errno(errno));
        return static_cast<std::uint64_t>(st.st_size);
    };
    IoResult<std::uint64_t> size = co_await spawn_blocking(std::move(stat_size));
    if (!size) co_return std::unexpected(size.error());
    // The read function owns the path; each call reads on the blocking pool.
    auto fn = std::make_shared<const LazyFileHandle::ReadFn>([full](ByteRange r) {
        return spawn_blocking([full, r]() { return read_range(full, r); });
    });
    co_return LazyFileHandle(std::move(fn), *size);
}

}  // namespace nuvrel_core
