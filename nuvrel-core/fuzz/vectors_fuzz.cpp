// A segment's ".vectors" file with the two side files its entries may name,
// loaded as a segment open loads them. The input holds three files split at
// the separator: ".vectors", the coarse centroids and the PQ codebook. The
// schema is fixed: one dense-vector field of each index type, all of
// dimension 3, naming the two side files.
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "segment/reader.h"

using namespace nuvrel_core;

namespace {

constexpr SegmentId kSegment{1};

std::string schema_json(const std::string& coarse, const std::string& codebook) {
    const std::string paths = R"("coarse_centroids_path":")" + coarse + R"(","pq_codebook_path":")" + codebook + '"';
    auto field = [&](const char* name, const char* type) {
        return std::string(R"({"name":")") + name +
               R"(","field_type":"dense_vector","indexed":false,"stored":true,"dense_vector_config":{"dim":3,"index_type":")" +
               type + "\"," + paths + "}}";
    };
    return R"({"fields":[{"name":"title","field_type":"text","indexed":true,"stored":true},)" +
           field("flat", "ra_bit_q") + "," + field("ivf", "ivf_ra_bit_q") + "," + field("pq", "sca_n_n") +
           R"(],"name_to_field":{"title":0,"flat":1,"ivf":2,"pq":3}})";
}

struct Setup {
    std::filesystem::path dir = nuvrel_fuzz::scratch_dir();
    SegmentFiles files = SegmentFiles::from_id(kSegment);
    std::string coarse = (dir / "coarse.bin").string();
    std::string codebook = (dir / "codebook.bin").string();
    std::shared_ptr<const Schema> schema;

    Setup() {
        const std::string text = schema_json(coarse, codebook);
        auto parsed = Schema::from_slice({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
        if (!parsed) nuvrel_fuzz::fail("the fixed schema does not parse");
        schema = std::make_shared<const Schema>(std::move(*parsed));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Setup setup;
    const auto parts = nuvrel_fuzz::split_files({data, size}, 3);
    nuvrel_fuzz::write_file(setup.dir / setup.files.vectors, parts[0]);
    nuvrel_fuzz::write_file(setup.coarse, parts[1]);
    nuvrel_fuzz::write_file(setup.codebook, parts[2]);
    (void)nuvrel_fuzz::run(nuvrel_core::load_vectors_file(FsDirectory(setup.dir), setup.files, setup.schema));
    return 0;
}
