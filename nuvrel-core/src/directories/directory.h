// Read-only file access rooted at an index directory. Every file-system call
// runs on the runtime's blocking pool; no descriptor stays open between reads.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "directories/owned_bytes.h"
#include "directories/read_ceiling.h"
#include "io_error.h"
#include "runtime/runtime.h"

namespace nuvrel_core {

// A half-open byte range [start, end); shown in messages as "start..end".
struct ByteRange {
    std::uint64_t start = 0;
    std::uint64_t end = 0;

    std::uint64_t len() const noexcept { return end - start; }
    std::string to_string() const;
    friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

// A file's size with an asynchronous byte-range read. Copies share the read
// function.
class LazyFileHandle {
public:
    using ReadFn = std::function<Task<IoResult<OwnedBytes>>(ByteRange)>;

    LazyFileHandle() = default;
    LazyFileHandle(std::shared_ptr<const ReadFn> read_fn, std::uint64_t file_size)
        : read_fn_(std::move(read_fn)), file_size_(file_size) {}

    // A handle over bytes already in memory (tests and in-memory indexes).
    static LazyFileHandle from_bytes(OwnedBytes bytes);

    std::uint64_t file_size() const noexcept { return file_size_; }
    Task<IoResult<OwnedBytes>> read_bytes_range(ByteRange range) const;

private:
    std::shared_ptr<const ReadFn> read_fn_;
    std::uint64_t file_size_ = 0;
};

// A window onto a lazily read file; ranges are relative to the window.
class LazyFileSlice {
public:
    LazyFileSlice() = default;
    LazyFileSlice(LazyFileHandle handle, std::uint64_t offset, std::uint64_t len)
        : handle_(std::move(handle)), offset_(offset), len_(len) {}

    const LazyFileHandle& handle() const noexcept { return handle_; }
    std::uint64_t offset() const noexcept { return offset_; }
    std::uint64_t len() const noexcept { return len_; }
    Task<IoResult<OwnedBytes>> read_bytes_range(ByteRange range) const;

private:
    LazyFileHandle handle_;
    std::uint64_t offset_ = 0;
    std::uint64_t len_ = 0;
};

// Why a file of type `mode` (the st_mode bits) cannot be read as an index or
// side file: "{path} is a FIFO, not a regular file" for the kinds that have
// a name here, "{path} is not a regular file" for any other.
IoError not_regular_file(const std::filesystem::path& path, unsigned mode);

// The whole file at `path`, read on the calling thread (relative paths from
// the working directory). The file is opened without blocking and must be a
// regular file (or a link to one): a FIFO, device or socket is refused by
// name. Other failures are the operating system's own errors; a file longer
// than the ceiling fails with invalid data (see ReadCeiling); memory that
// cannot be had fails with kind Other.
IoResult<OwnedBytes> read_whole_file(const std::filesystem::path& path, ReadCeiling ceiling);

class FsDirectory {
public:
    explicit FsDirectory(std::filesystem::path root) : root_(std::move(root)) {}

    const std::filesystem::path& root() const noexcept { return root_; }

    // Whether the path exists (following links). Any failure, a path holding
    // a NUL byte among them, reads as false.
    Task<bool> exists(std::string path) const;
    // The whole file, under its kind's ceiling (read_whole_file).
    Task<IoResult<OwnedBytes>> open_read(std::string path, ReadCeiling ceiling) const;
    // The file's size now; the bytes are read range by range later. Only a
    // regular file (or a directory, whose reads then fail with the system's
    // own error) is opened.
    Task<IoResult<LazyFileHandle>> open_lazy(std::string path) const;

private:
    // The root joined with the relative name; a path holding a NUL byte is
    // refused, as the OS would read it only up to the NUL and so name
    // another file.
    IoResult<std::filesystem::path> resolve(std::string_view path) const;
    std::filesystem::path root_;
};

}  // namespace nuvrel_core
