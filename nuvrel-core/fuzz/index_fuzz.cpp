// A whole index directory opened and used as the module uses it: open, term
// and boolean searches on every field, documents by number, reload. The
// input holds the directory's files split at the separator: schema.json,
// segments.json, then ".meta", ".terms", ".post", ".store" and ".vectors" of
// the segment with id 1 (an empty piece leaves its file out).
#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "index/index.h"
#include "query/boolean.h"
#include "query/collector.h"
#include "query/term.h"

using namespace nuvrel_core;

namespace {

constexpr SegmentId kSegment{1};
constexpr std::size_t kLimit = 5;
constexpr std::uint32_t kMaxFields = 4;
constexpr std::uint32_t kMaxDocs = 8;
// The words the seed corpus writes, and one no segment holds.
constexpr std::array<std::string_view, 4> kTerms = {"alpha", "beta", "gamma", "absent"};

Task<void> search_all(const Index& index, const Query& query) {
    for (const auto& segment : index.segment_readers()) (void)co_await search_segment(segment, query, kLimit);
}

Task<int> exercise(std::filesystem::path dir) {
    IndexConfig config = IndexConfig::default_config();
    config.num_threads = 1;
    config.cache_blocks = 2;
    auto opened = co_await Index::open(FsDirectory(dir), std::move(config));
    if (!opened) co_return 0;
    const Index& index = **opened;

    const auto nfields = static_cast<Field>(std::min<std::size_t>(index.schema()->fields.size(), kMaxFields));
    for (Field field = 0; field < nfields; ++field) {
        for (std::string_view term : kTerms) co_await search_all(index, TermQuery::text(field, term));
        co_await search_all(index, BooleanQuery()
                                       .must(TermQuery::text(field, kTerms[0]))
                                       .should(TermQuery::text(field, kTerms[1]))
                                       .must_not(TermQuery::text(field, kTerms[2])));
        co_await search_all(index, BooleanQuery()
                                       .should(TermQuery::text(field, kTerms[0]))
                                       .should(TermQuery::text(field, kTerms[1]))
                                       .should(TermQuery::text(field, kTerms[2])));
    }
    const std::uint32_t ndocs = std::min(index.num_docs(), kMaxDocs);
    for (std::uint32_t doc = 0; doc <= ndocs; ++doc) (void)co_await index.doc(doc);
    (void)co_await (*opened)->reload();
    co_return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path dir = nuvrel_fuzz::scratch_dir() / "index";
    static const SegmentFiles files = SegmentFiles::from_id(kSegment);
    static const std::array<std::string, 7> names = {"schema.json", "segments.json", files.meta, files.terms,
                                                     files.postings, files.store, files.vectors};
    std::filesystem::create_directories(dir);
    const auto parts = nuvrel_fuzz::split_files({data, size}, names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::error_code ignored;
        std::filesystem::remove(dir / names[i], ignored);
        if (!parts[i].empty()) nuvrel_fuzz::write_file(dir / names[i], parts[i]);
    }
    return nuvrel_fuzz::run(exercise(dir));
}
