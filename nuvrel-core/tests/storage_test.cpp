#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "compression/zstd.h"
#include "directories/directory.h"
#include "error.h"
#include "structures/sstable/vint.h"
#include "support/test_util.h"

using namespace nuvrel_core;
using nuvrel_test::Bytes;
using nuvrel_test::run;
using nuvrel_test::TempDir;

TEST(ErrorDisplay, VariantsAndIoPayloads) {
    EXPECT_EQ(Error(IoError::from_errno(2)).to_string(), "IO error: No such file or directory (os error 2)");
    EXPECT_EQ(Error(Error::InvalidFieldType{"text", "u64"}).to_string(), "Invalid field type: expected text, got u64");
    EXPECT_EQ(Error(Error::DocumentNotFound{7}).to_string(), "Document not found: 7");
    EXPECT_EQ(Error(Error::IndexClosed{}).to_string(), "Index is closed");
    EXPECT_EQ(Error::corruption("Invalid segment ID: xyz").to_string(), "Index corruption: Invalid segment ID: xyz");
    EXPECT_EQ(Error::serialization("EOF while parsing a value at line 1 column 0").to_string(),
              "Serialization error: EOF while parsing a value at line 1 column 0");
    EXPECT_EQ(Error(Error::FieldNotFound{"t"}).to_string(), "Field not found: t");
    EXPECT_EQ(Error(Error::Schema{"s"}).to_string(), "Schema error: s");
    EXPECT_EQ(Error(Error::Query{"q"}).to_string(), "Query error: q");
    EXPECT_EQ(Error(Error::Internal{"i"}).to_string(), "Internal error: i");
    EXPECT_EQ(Error(IoError::invalid_data("Store too small")).to_string(), "IO error: Store too small");
}

TEST(ReadVint, Table) {
    struct Case {
        std::vector<std::uint8_t> in;
        std::uint64_t value;
        std::size_t rest;
    } cases[] = {
        {{0x00}, 0, 0},
        {{0x7F, 0xAA}, 127, 1},
        {{0x80, 0x01}, 128, 0},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 18446744073709551615ull, 0},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7E}, 9223372036854775807ull, 0},
    };
    for (const auto& c : cases) {
        ByteView cur(c.in);
        auto v = read_vint(cur);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(*v, c.value);
        EXPECT_EQ(cur.size(), c.rest);
    }
    std::vector<std::uint8_t> too_long{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x00};
    ByteView cur(too_long);
    auto v = read_vint(cur);
    ASSERT_FALSE(v.has_value());
    EXPECT_EQ(v.error().kind(), IoErrorKind::InvalidData);
    EXPECT_EQ(v.error().to_string(), "varint too long");

    for (std::vector<std::uint8_t> cut : {std::vector<std::uint8_t>{0x80}, std::vector<std::uint8_t>{}}) {
        ByteView c(cut);
        auto r = read_vint(c);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind(), IoErrorKind::UnexpectedEof);
        EXPECT_EQ(r.error().to_string(), "failed to fill whole buffer");
        EXPECT_TRUE(c.empty());
    }
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

TEST_F(DirectoryTest, MissingFileIsTheSystemsError) {
    auto r = run(fs.open_read("missing"));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), "No such file or directory (os error 2)");
    auto l = run(fs.open_lazy("missing"));
    ASSERT_FALSE(l.has_value());
    EXPECT_EQ(l.error().os_code(), 2);
}

TEST_F(DirectoryTest, RangeReadsAndBoundChecks) {
    std::string content;
    for (int i = 0; i < 100; ++i) content.push_back(static_cast<char>(i));
    dir.write("f", content);
    EXPECT_EQ(nuvrel_test::to_string(*run(fs.open_read("f"))), content);
    auto h = run(fs.open_lazy("f"));
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->file_size(), 100u);

    auto tail = run(h->read_bytes_range({90, 100}));
    ASSERT_TRUE(tail.has_value());
    EXPECT_EQ(nuvrel_test::to_string(*tail), content.substr(90));

    auto past = run(h->read_bytes_range({90, 101}));
    ASSERT_FALSE(past.has_value());
    EXPECT_EQ(past.error().kind(), IoErrorKind::InvalidInput);
    EXPECT_EQ(past.error().to_string(), "Range 90..101 out of bounds (file size: 100)");

    EXPECT_TRUE(run(h->read_bytes_range({4, 4}))->empty());

    auto inverted = run(h->read_bytes_range({50, 10}));
    ASSERT_FALSE(inverted.has_value());
    EXPECT_EQ(inverted.error().kind(), IoErrorKind::InvalidInput);

    LazyFileSlice window(*h, 10, 5);
    EXPECT_EQ(nuvrel_test::to_string(*run(window.read_bytes_range({0, 5}))), content.substr(10, 5));
    auto wide = run(window.read_bytes_range({0, 6}));
    ASSERT_FALSE(wide.has_value());
    EXPECT_EQ(wide.error().to_string(), "Range 0..6 out of bounds (slice len: 5)");

    // A window reaching past the file shows the translated range.
    LazyFileSlice beyond(*h, 98, 5);
    auto translated = run(beyond.read_bytes_range({0, 4}));
    ASSERT_FALSE(translated.has_value());
    EXPECT_EQ(translated.error().to_string(), "Range 98..102 out of bounds (file size: 100)");
}

TEST_F(DirectoryTest, TruncatedAfterOpenIsEarlyEofAndHandleStaysUsable) {
    dir.write("f", std::string(100, 'a'));
    auto h = run(fs.open_lazy("f"));
    ASSERT_TRUE(h.has_value());
    ASSERT_EQ(::truncate((dir.path() / "f").c_str(), 50), 0);
    auto r = run(h->read_bytes_range({40, 60}));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), IoErrorKind::UnexpectedEof);
    EXPECT_EQ(r.error().to_string(), "early eof");
    EXPECT_EQ(run(h->read_bytes_range({0, 50}))->size(), 50u);
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
        auto bytes = co_await fs.open_read("f");
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
    ::setenv("TOKIO_WORKER_THREADS", "3", 1);
    auto rt = Runtime::create();
    ASSERT_TRUE(rt.has_value());
    EXPECT_EQ((*rt)->worker_threads(), 3u);
    ::setenv("TOKIO_WORKER_THREADS", "zero", 1);
    EXPECT_FALSE(Runtime::create().has_value());
    ::setenv("TOKIO_WORKER_THREADS", "0", 1);
    EXPECT_FALSE(Runtime::create().has_value());
    ::unsetenv("TOKIO_WORKER_THREADS");
}

TEST(Zstd, FramesDictionariesAndFaults) {
    auto a = nuvrel_test::zstd_frame("hello ");
    auto b = nuvrel_test::zstd_frame("world", true);
    auto both = a;
    both.insert(both.end(), b.begin(), b.end());
    auto out = decompress(both);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(nuvrel_test::to_string(*out), "hello world");

    auto cut = std::vector<std::uint8_t>(b.begin(), b.end() - 2);
    auto r = decompress(cut);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), IoErrorKind::Other);
    EXPECT_EQ(r.error().to_string(), "incomplete frame");
    auto rd = decompress_with_dict(cut, {});
    ASSERT_FALSE(rd.has_value());
    EXPECT_EQ(rd.error().kind(), IoErrorKind::UnexpectedEof);

    auto garbage = std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(decompress(garbage).error().to_string(), "Unknown frame descriptor");

    auto bad_sum = b;
    bad_sum[bad_sum.size() - 1] ^= 0xFF;
    EXPECT_EQ(decompress(bad_sum).error().to_string(), "Restored data doesn't match checksum");

    // A dictionary with the dictionary magic but nothing valid after it.
    std::vector<std::uint8_t> bad_dict{0x37, 0xA4, 0x30, 0xEC, 1, 0, 0, 0, 0xFF, 0xFF};
    auto d = decompress_with_dict(a, bad_dict);
    ASSERT_FALSE(d.has_value());
    EXPECT_EQ(d.error().to_string(), "Dictionary is corrupted");
    // The context is clean again for the next caller.
    EXPECT_EQ(nuvrel_test::to_string(*decompress(a)), "hello ");
}
