// The vector side files named in the schema, read by path as a segment open
// reads them: the first byte picks the coarse-centroids or the PQ codebook
// reader, the rest is the file.
#include "fuzz_support.h"
#include "structures/vector/ivf/coarse_centroids.h"
#include "structures/vector/quantization/pq_codebook.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const std::string path = (nuvrel_fuzz::scratch_dir() / "side.bin").string();
    nuvrel_fuzz::write_file(path, {data + 1, size - 1});
    if (data[0] % 2 == 0) (void)nuvrel_core::CoarseCentroids::load(path);
    else (void)nuvrel_core::PQCodebook::load(path);
    return 0;
}
