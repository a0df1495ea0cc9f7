#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <future>
#include <ostream>
#include <thread>

#include <fmt/format.h>

#include "compression/zstd.h"
#include "directories/directory.h"
#include "error.h"
#include "util/byte_reader.h"
#include "support/outcome.h"
#include "support/test_util.h"

using namespace nuvrel_core;
using nuvrel_test::Bytes;
using nuvrel_test::error_text;
using nuvrel_test::run;
using nuvrel_test::TempDir;

// A value and the bytes left after it, or the error.
TEST(ByteReaderVint, ValuesRestAndFaults) {
    using V = std::vector<std::uint8_t>;
    const V nine_ff(9, 0xFF), too_long = Bytes().raw(nine_ff).u8(0x80).u8(0x00).vec();
    const std::tuple<V, std::string, std::size_t> cases[] = {
        {{0x00}, "0", 0},
        {{0x7F, 0xAA}, "127", 1},
        {{0x80, 0x01}, "128", 0},
        {Bytes().raw(nine_ff).u8(0x01).vec(), "18446744073709551615", 0},
        {Bytes().raw(nine_ff).u8(0x7E).vec(), "9223372036854775807", 0},  // bits past 64 are dropped
        {too_long, "varint too long", 0},
        {{0x80}, "failed to fill whole buffer", 0},
        {{}, "failed to fill whole buffer", 0},
    };
    for (const auto& [in, outcome, rest] : cases) {
        ByteReader r{ByteView(in)};
        const std::uint64_t v = r.vint();
        EXPECT_EQ(r.ok() ? std::to_string(v) : r.status().error().to_string(), outcome);
        EXPECT_EQ(r.remaining(), rest) << outcome;
        if (r.failed()) {
            EXPECT_EQ(r.u8(), 0) << "a failed reader stays failed: " << outcome;
        }
    }
    ByteReader r{ByteView(too_long)};
    (void)r.vint();
    EXPECT_EQ(r.status().error().kind(), IoErrorKind::InvalidData);
}

class DirectoryTest : public ::testing::Test {
protected:
    TempDir dir;
    FsDirectory fs{dir.path()};
};

TEST_F(DirectoryTest, ExistsNeverFails) {
    dir.write("present", "x");
    EXPECT_TRUE(run(fs.exists("present")));
    EXPECT_FALSE(run(fs.exists("missing")));
    ASSERT_EQ(::symlink((dir.path() / "nowhere").c_str(), (dir.path() / "dangling").c_str()), 0);
    EXPECT_FALSE(run(fs.exists("dangling")));
    std::filesystem::create_directory(dir.path() / "locked");
    dir.write("locked/inner", "x");
    ::chmod((dir.path() / "locked").c_str(), 0);
    if (::geteuid() != 0) EXPECT_FALSE(run(fs.exists("locked/inner")));
    else EXPECT_TRUE(run(fs.exists("locked/inner")));  // root reads through any mode
    ::chmod((dir.path() / "locked").c_str(), 0700);
}

TEST_F(DirectoryTest, NamesHoldingANulByteNameNoFile) {
    dir.write("f", "abc");  // what the name would reach if cut at the NUL
    const std::string name("f\0x", 3);
    EXPECT_FALSE(run(fs.exists(name)));
    for (const IoError& e : {run(fs.open_read(name, kIndexJsonCeiling)).error(), run(fs.open_lazy(name)).error(),
                             read_whole_file(dir.path().string() + "/" + name, kIndexJsonCeiling).error()}) {
        EXPECT_EQ(e.kind(), IoErrorKind::InvalidInput);
        EXPECT_EQ(e.to_string(), "file name contained an unexpected NUL byte");
    }
}

TEST_F(DirectoryTest, RangeReadsBoundChecksAndTruncation) {
    std::string content;
    for (int i = 0; i < 100; ++i) content.push_back(static_cast<char>(i));
    dir.write("f", content);
    EXPECT_EQ(nuvrel_test::to_string(*run(fs.open_read("f", kIndexJsonCeiling))), content);
    auto h = run(fs.open_lazy("f"));
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->file_size(), 100u);
    EXPECT_EQ(nuvrel_test::to_string(*run(h->read_bytes_range({90, 100}))), content.substr(90));
    EXPECT_TRUE(run(h->read_bytes_range({4, 4}))->empty());
    auto past = run(h->read_bytes_range({90, 101}));
    EXPECT_EQ(error_text(past), "Range 90..101 out of bounds (file size: 100)");
    EXPECT_EQ(past.error().kind(), IoErrorKind::InvalidInput);
    EXPECT_EQ(run(h->read_bytes_range({50, 10})).error().kind(), IoErrorKind::InvalidInput);

    LazyFileSlice window(*h, 10, 5);
    EXPECT_EQ(nuvrel_test::to_string(*run(window.read_bytes_range({0, 5}))), content.substr(10, 5));
    EXPECT_EQ(error_text(run(window.read_bytes_range({0, 6}))), "Range 0..6 out of bounds (slice len: 5)");
    // A window reaching past the file shows the translated range.
    EXPECT_EQ(error_text(run(LazyFileSlice(*h, 98, 5).read_bytes_range({0, 4}))),
              "Range 98..102 out of bounds (file size: 100)");

    // Cut short after the open: an early end, and the handle still reads what is left.
    ASSERT_EQ(::truncate((dir.path() / "f").c_str(), 50), 0);
    auto cut = run(h->read_bytes_range({40, 60}));
    EXPECT_EQ(error_text(cut), "early eof");
    EXPECT_EQ(cut.error().kind(), IoErrorKind::UnexpectedEof);
    EXPECT_EQ(run(h->read_bytes_range({0, 50}))->size(), 50u);
}

// Whole-file reads (index files and side files alike) and lazy opens, for
// every kind of thing a name can lead to. Regular files and directories
// behave as the system makes them; anything else is refused by name at once,
// for a FIFO would block the open until a writer came, and a device may never
// end.
struct FileKindCase {
    const char* name;
    void (*make)(const std::filesystem::path&);
    // The error of a whole-file read, and of open_lazy or else of reading
    // byte 0 of the handle; "" when they succeed.
    const char* error;
};

// Rows print as their names in test listings and failures, not as bytes.
void PrintTo(const FileKindCase& c, std::ostream* os) { *os << c.name; }

void make_fifo(const std::filesystem::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }
void make_socket(const std::filesystem::path& p) {
    sockaddr_un addr{AF_UNIX, {}};
    std::strncpy(addr.sun_path, p.c_str(), sizeof addr.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
}

class FileKinds : public ::testing::TestWithParam<FileKindCase> {};

// Runs `read` on another thread and fails the test if it does not finish in
// time (a hang), opening the FIFO for writing to let a stuck read go.
template <class F>
auto within_deadline(const std::filesystem::path& p, F read) {
    auto pending = std::async(std::launch::async, read);
    if (pending.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "the read of " << p << " hangs";
        ::close(::open(p.c_str(), O_WRONLY | O_NONBLOCK));
    }
    return pending.get();
}

TEST_P(FileKinds, ReadsOrIsRefusedAtOnce) {
    const FileKindCase& c = GetParam();
    if (c.error == std::string_view("Permission denied (os error 13)") && ::geteuid() == 0)
        GTEST_SKIP() << "root reads through any mode";
    TempDir dir;
    FsDirectory fs{dir.path()};
    const std::filesystem::path p = dir.path() / "f";
    c.make(p);
    const std::string expected = fmt::format(fmt::runtime(c.error), p.native());
    auto whole_text = [&](const IoResult<OwnedBytes>& r) { return r ? std::string() : r.error().to_string(); };

    EXPECT_EQ(within_deadline(p, [&] { return whole_text(run(fs.open_read("f", kIndexJsonCeiling))); }),
              expected);
    const std::string lazy = within_deadline(p, [&] {
        auto h = run(fs.open_lazy("f"));
        if (!h) return h.error().to_string();
        auto r = run(h->read_bytes_range({0, std::min<std::uint64_t>(h->file_size(), 1)}));
        return r ? std::string() : r.error().to_string();
    });
    EXPECT_EQ(lazy, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Directory, FileKinds,
    ::testing::Values(
        FileKindCase{"regular", [](const auto& p) { nuvrel_test::write_file(p, "x"); }, ""},
        FileKindCase{"missing", [](const auto&) {}, "No such file or directory (os error 2)"},
        FileKindCase{"unreadable",
                     [](const auto& p) {
                         nuvrel_test::write_file(p, "x");
                         ::chmod(p.c_str(), 0);
                     },
                     "Permission denied (os error 13)"},
        FileKindCase{"directory", [](const auto& p) { std::filesystem::create_directory(p); },
                     "Is a directory (os error 21)"},
        FileKindCase{"fifo", make_fifo, "{} is a FIFO, not a regular file"},
        FileKindCase{"dev_zero", [](const auto& p) { std::filesystem::create_symlink("/dev/zero", p); },
                     "{} is a character device, not a regular file"},
        FileKindCase{"socket", make_socket, "{} is a socket, not a regular file"}),
    [](const auto& info) { return std::string(info.param.name); });

// A kind without a name of its own says only what it is not, once.
TEST(FileKindText, NamesTheKindOrSaysNotARegularFile) {
    EXPECT_EQ(not_regular_file("/i/f", 0).to_string(), "/i/f is not a regular file");
    EXPECT_EQ(not_regular_file("/i/f", S_IFBLK).to_string(), "/i/f is a block device, not a regular file");
}

// A whole-file read takes at most its ceiling, also from a file that reports
// no size and is read until it ends (kernel files, which may not end).
TEST(WholeFileRead, StaysUnderItsCeiling) {
    TempDir dir;
    dir.write("ten", std::string(10, 'a'));
    dir.write("eleven", std::string(11, 'a'));
    const std::filesystem::path maps = "/proc/self/maps";  // a regular file of size 0 with content
    const auto too_large = [](const std::filesystem::path& p, int n) {
        return fmt::format("{} is larger than the {} bytes a file of its kind may hold", p.native(), n);
    };
    const std::tuple<std::filesystem::path, ReadCeiling, std::string> cases[] = {
        {dir.path() / "ten", {10}, "10"},
        {dir.path() / "eleven", {10}, too_large(dir.path() / "eleven", 10)},
        {dir.path() / "eleven", {10, true}, "10"},
        {maps, {16}, too_large(maps, 16)},
        {maps, {16, true}, "16"},
    };
    for (const auto& [path, ceiling, outcome] : cases) {
        auto r = read_whole_file(path, ceiling);
        EXPECT_EQ(r ? std::to_string(r->size()) : r.error().to_string(), outcome) << path << " " << ceiling.max_bytes;
    }
    auto whole = read_whole_file(maps, {1 << 20});
    ASSERT_TRUE(whole);
    EXPECT_GT(whole->size(), 16u);
}

// Kernel files report size 0 and are read until they end: the bytes must be
// the file's own, the first chunk (read before the size is known to be
// wrong) included, over one growth of the buffer or many.
TEST(WholeFileRead, FilesThatReportNoSizeKeepEveryByte) {
    for (const char* path : {"/proc/self/cmdline", "/proc/self/mountinfo", "/proc/kallsyms"}) {
        std::ifstream in(path, std::ios::binary);
        const std::string want{std::istreambuf_iterator<char>(in), {}};
        if (want.empty()) continue;  // not offered here
        struct stat st{};
        ASSERT_EQ(::stat(path, &st), 0);
        EXPECT_EQ(st.st_size, 0) << path;
        auto r = read_whole_file(path, {64 << 20});
        ASSERT_TRUE(r) << path << ": " << r.error().to_string();
        EXPECT_TRUE(nuvrel_test::to_string(*r) == want) << path << ": " << r->size() << " bytes, " << want.size();
    }
}

// A file that grows while it is read: whatever the read returns is the
// file's own start, at least as long as the file was when the read began.
// (Whether a write lands inside a read is up to the scheduler; the file
// that reports no size above takes the same path every time.)
TEST(WholeFileRead, AFileGrowingDuringTheReadKeepsItsStart) {
    TempDir dir;
    const std::filesystem::path p = dir.path() / "growing";
    const auto byte_at = [](std::size_t i) { return static_cast<char>((i * 131 + i / 251) & 0xFF); };
    constexpr std::size_t kChunk = 64 * 1024, kEnd = std::size_t{16} << 20;
    const auto chunk_at = [&](std::size_t at) {
        std::string chunk;
        for (std::size_t i = at; i < at + kChunk; ++i) chunk.push_back(byte_at(i));
        return chunk;
    };
    nuvrel_test::write_file(p, chunk_at(0));
    std::atomic<bool> done{false};
    std::jthread writer([&] {  // joined however the test ends
        std::ofstream out(p, std::ios::binary | std::ios::app);
        for (std::size_t at = kChunk; at < kEnd; at += kChunk) {
            const std::string chunk = chunk_at(at);
            out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            out.flush();
        }
        done = true;
    });
    for (int reads = 0; reads < 20 || !done; ++reads) {
        const auto before = std::filesystem::file_size(p);
        auto r = read_whole_file(p, {64 << 20});
        ASSERT_TRUE(r) << r.error().to_string();
        ASSERT_GE(r->size(), before);
        std::size_t first_wrong = 0;
        while (first_wrong < r->size() && static_cast<char>((*r)[first_wrong]) == byte_at(first_wrong)) ++first_wrong;
        ASSERT_EQ(first_wrong, r->size()) << "read " << reads << " of " << r->size() << " bytes";
    }
}

// Memory that cannot be had is an error value, never an exception: an 8 TiB
// sparse file read whole under a ceiling above it, and as one range.
#ifndef __SANITIZE_ADDRESS__  // the sanitizer stops the process at such a request
TEST(WholeFileRead, MemoryThatCannotBeHadIsAnError) {
    std::ifstream overcommit("/proc/sys/vm/overcommit_memory");
    int mode = 0;
    if (overcommit >> mode && mode == 1) GTEST_SKIP() << "every allocation succeeds here";
    TempDir dir;
    const std::filesystem::path p = dir.path() / "sparse";
    nuvrel_test::write_file(p, "");
    const std::uint64_t size = std::uint64_t{1} << 43;
    if (::truncate(p.c_str(), static_cast<off_t>(size)) != 0) GTEST_SKIP() << "no sparse files here";
    const std::string message = fmt::format("memory allocation of {} bytes failed", size + 1);
    EXPECT_EQ(error_text(read_whole_file(p, {size * 2})), message);
    auto h = run(FsDirectory(dir.path()).open_lazy("sparse"));
    ASSERT_TRUE(h);
    EXPECT_EQ(error_text(run(h->read_bytes_range({0, size}))),
              fmt::format("memory allocation of {} bytes failed", size));
}
#endif

// A range read opens the file afresh each time: a FIFO put in place of a
// file after its handle was made fails the read at once.
TEST_F(DirectoryTest, RangeReadOfAFifoSwappedInFailsAtOnce) {
    dir.write("f", std::string(10, 'x'));
    auto h = run(fs.open_lazy("f"));
    ASSERT_TRUE(h);
    const std::filesystem::path p = dir.path() / "f";
    std::filesystem::remove(p);
    make_fifo(p);
    for (ByteRange range : {ByteRange{0, 0}, ByteRange{0, 4}}) {
        auto r = within_deadline(p, [&] { return run(h->read_bytes_range(range)); });
        EXPECT_FALSE(r) << range.to_string();
    }
}

TEST_F(DirectoryTest, FileWorkRunsOffTheCallingThread) {
    dir.write("f", "abc");
    static std::atomic<std::thread::id> worker;
    auto caller = std::this_thread::get_id();
    auto task = [](FsDirectory fs) -> Task<int> {
        co_await spawn_blocking([]() -> IoResult<int> {
            worker = std::this_thread::get_id();
            return 0;
        });
        auto bytes = co_await fs.open_read("f", kIndexJsonCeiling);
        co_return static_cast<int>(bytes->size());
    };
    EXPECT_EQ(run(task(fs)), 3);
    EXPECT_NE(worker.load(), caller);
}

TEST_F(DirectoryTest, NoDescriptorStaysOpen) {
    dir.write("f", std::string(10, 'x'));
    auto count_fds = [] {
        std::size_t n = 0;
        for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
        return n;
    };
    auto h = run(fs.open_lazy("f"));
    run(h->read_bytes_range({0, 5}));  // warm the pools
    std::size_t before = count_fds();
    for (int i = 0; i < 20; ++i) run(h->read_bytes_range({0, 10}));
    EXPECT_EQ(count_fds(), before);
}

TEST(Runtime, WorkerCountFromEnvironment) {
    ::setenv("TOKIO_WORKER_THREADS", "+3", 1);
    auto rt = Runtime::create();
    ASSERT_TRUE(rt.has_value());
    EXPECT_EQ((*rt)->worker_threads(), 3u);
    const std::pair<const char*, const char*> refused[] = {
        {"zero", "\"TOKIO_WORKER_THREADS\" must be usize, error: invalid digit found in string, value: zero"},
        {"", "\"TOKIO_WORKER_THREADS\" must be usize, error: cannot parse integer from empty string, value: "},
        {"99999999999999999999",
         "\"TOKIO_WORKER_THREADS\" must be usize, error: number too large to fit in target type, value: "
         "99999999999999999999"},
        {"0", "\"TOKIO_WORKER_THREADS\" cannot be set to 0"},
    };
    for (auto [value, message] : refused) {
        ::setenv("TOKIO_WORKER_THREADS", value, 1);
        auto r = Runtime::create();
        ASSERT_FALSE(r.has_value()) << value;
        EXPECT_EQ(r.error(), message);
    }
    ::unsetenv("TOKIO_WORKER_THREADS");
}

TEST(Zstd, FramesDictionariesAndFaults) {
    auto a = nuvrel_test::zstd_frame("hello ");
    auto b = nuvrel_test::zstd_frame("world", true);
    auto both = a;
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_EQ(nuvrel_test::to_string(*decompress(both)), "hello world");

    auto cut = std::vector<std::uint8_t>(b.begin(), b.end() - 2);
    EXPECT_EQ(error_text(decompress(cut)), "incomplete frame");
    EXPECT_EQ(decompress(cut).error().kind(), IoErrorKind::Other);
    EXPECT_EQ(decompress_with_dict(cut, {}).error().kind(), IoErrorKind::UnexpectedEof);
    EXPECT_EQ(error_text(decompress(std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8})), "Unknown frame descriptor");
    auto bad_sum = b;
    bad_sum.back() ^= 0xFF;
    EXPECT_EQ(error_text(decompress(bad_sum)), "Restored data doesn't match checksum");
    // A dictionary with the dictionary magic but nothing valid after it.
    std::vector<std::uint8_t> bad_dict{0x37, 0xA4, 0x30, 0xEC, 1, 0, 0, 0, 0xFF, 0xFF};
    EXPECT_EQ(error_text(decompress_with_dict(a, bad_dict)), "Dictionary is corrupted");
    // The context is clean again for the next caller.
    EXPECT_EQ(nuvrel_test::to_string(*decompress(a)), "hello ");
}

// A file's dictionary digested once serves every block as loading it per
// block would: the same bytes, and for a dictionary that does not digest or
// a frame cut short, the same errors.
TEST(Zstd, DigestedDictionaryDecodesAsTheLoadedOne) {
    const std::string text = "the quick brown fox jumps over the lazy dog ";
    const std::optional<std::vector<std::uint8_t>> raw(std::vector<std::uint8_t>(text.begin(), text.end()));
    const std::optional<std::vector<std::uint8_t>> bad(std::vector<std::uint8_t>{0x37, 0xA4, 0x30, 0xEC, 1, 0, 0, 0, 0xFF, 0xFF});
    const std::optional<std::vector<std::uint8_t>> empty(std::vector<std::uint8_t>{});
    const auto frame = [&](const std::string& s) { return nuvrel_test::zstd_frame(s, true, 3, text); };
    const auto cut = [](std::vector<std::uint8_t> f) { return f.resize(f.size() - 2), f; };
    const struct {
        const char* what;
        const std::optional<std::vector<std::uint8_t>>& dict;
        std::vector<std::uint8_t> frame;
    } cases[] = {
        {"raw content", raw, frame(text + "again: " + text)},
        {"raw content, a second block", raw, frame("the lazy dog " + text)},
        {"raw content, frame cut short", raw, cut(frame(text))},
        {"does not digest", bad, nuvrel_test::zstd_frame("hello ")},
        {"empty", empty, nuvrel_test::zstd_frame("hello ")},
    };
    for (const auto& c : cases) {
        DigestedDictionary digested;
        for (int round = 0; round < 2; ++round) {  // the digested form is made once and reused
            auto want = decompress_block(c.frame, c.dict);
            auto got = decompress_block(c.frame, c.dict, &digested);
            ASSERT_EQ(got.has_value(), want.has_value()) << c.what;
            if (want) EXPECT_EQ(nuvrel_test::to_string(*got), nuvrel_test::to_string(*want)) << c.what;
            else EXPECT_EQ(got.error(), want.error()) << c.what;
        }
        EXPECT_EQ(digested.get(*c.dict) != nullptr, &c.dict == &raw) << c.what;
    }
    // Without its dictionary, a block made with one does not decode.
    EXPECT_FALSE(decompress_block(frame(text), std::nullopt));
}
