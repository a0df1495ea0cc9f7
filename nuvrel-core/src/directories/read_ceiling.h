// How much of a file a whole-file read may take, per kind of file.
#pragma once

#include <cstdint>

namespace nuvrel_core {

// How much a whole-file read may take. Whole files are read into memory at
// once, so each kind of file gets a ceiling far above any real file of its
// kind: an endless or huge file (a device, a kernel file, a damaged name)
// then costs at most the ceiling, never memory without bound.
struct ReadCeiling {
    std::uint64_t max_bytes = 0;
    // Past the ceiling the read fails, unless the kind of file never needs
    // the bytes beyond it; then the read stops there and returns the rest.
    bool stop_at_ceiling = false;
};

// The index's own JSON files, "schema.json" and "segments.json". A schema
// field takes 40 bytes at the least and a listed segment 35, so 64 MiB holds
// over 1.6 million fields or 1.9 million segments; real indexes have
// thousands of either at most.
inline constexpr ReadCeiling kIndexJsonCeiling{std::uint64_t{64} << 20};

}  // namespace nuvrel_core
