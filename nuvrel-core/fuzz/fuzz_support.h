// What the fuzz targets share: one runtime for the whole process, a private
// scratch directory for the readers that take files by name, and the split of
// one input into the several files a multi-file target writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "directories/owned_bytes.h"
#include "runtime/runtime.h"

namespace nuvrel_fuzz {

using Bytes = std::span<const std::uint8_t>;

// Between the files of one multi-file input. Long and unlikely enough that a
// mutation almost never makes or breaks one by chance; make_seeds.py writes
// the same text.
inline constexpr std::string_view kFileSeparator = "\n%%nuvrel-next-file%%\n";

// The runtime every target drives its coroutines with: one worker, one
// blocking thread, made on first use and kept until the process ends.
nuvrel_core::Runtime& runtime();

template <class T>
T run(nuvrel_core::Task<T> task) {
    return runtime().block_on(std::move(task));
}

// The input cut at each separator into at most `parts` pieces (the last piece
// keeps any further separators); missing pieces are empty.
std::vector<Bytes> split_files(Bytes input, std::size_t parts);

// A directory of this process's own under TMPDIR (or /tmp), made on first
// use and removed at exit. Files written there replace what was there.
const std::filesystem::path& scratch_dir();
void write_file(const std::filesystem::path& path, Bytes bytes);

// Reports a broken property of the code under test and stops, so that
// libFuzzer keeps the input as a crash.
[[noreturn]] void fail(const char* what);

inline std::string_view as_text(Bytes b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }
inline nuvrel_core::OwnedBytes owned(Bytes b) { return nuvrel_core::OwnedBytes::copy_of(b); }

}  // namespace nuvrel_fuzz
