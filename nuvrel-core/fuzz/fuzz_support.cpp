#include "fuzz_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace nuvrel_fuzz {

nuvrel_core::Runtime& runtime() {
    static std::unique_ptr<nuvrel_core::Runtime> rt = [] {
        auto created = nuvrel_core::Runtime::create(1, 1);
        if (!created) {
            std::fprintf(stderr, "cannot start the runtime: %s\n", created.error().c_str());
            std::abort();
        }
        return std::move(*created);
    }();
    return *rt;
}

void fail(const char* what) {
    std::fprintf(stderr, "broken property: %s\n", what);
    std::abort();
}

std::vector<Bytes> split_files(Bytes input, std::size_t parts) {
    std::vector<Bytes> out;
    const auto* sep = reinterpret_cast<const std::uint8_t*>(kFileSeparator.data());
    while (out.size() + 1 < parts) {
        auto at = std::search(input.begin(), input.end(), sep, sep + kFileSeparator.size());
        if (at == input.end()) break;
        const auto cut = static_cast<std::size_t>(at - input.begin());
        out.push_back(input.first(cut));
        input = input.subspan(cut + kFileSeparator.size());
    }
    out.push_back(input);
    out.resize(parts);
    return out;
}

namespace {

std::filesystem::path make_scratch_dir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/nuvrel-fuzz-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    return templ;
}

// Removes the scratch directory when the process ends normally; a crash
// leaves it for the post-mortem.
struct ScratchOwner {
    std::filesystem::path path = make_scratch_dir();
    ~ScratchOwner() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

const std::filesystem::path& scratch_dir() {
    static ScratchOwner owner;
    return owner.path;
}

void write_file(const std::filesystem::path& path, Bytes bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::perror(path.c_str());
        std::abort();
    }
}

}  // namespace nuvrel_fuzz
