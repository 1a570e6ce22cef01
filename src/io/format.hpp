// The index file: a 32-byte little-endian header (magic "KRVN", version 1,
// dim, top_k, the three bit widths, five reserved bytes, the item count)
// followed by the three grids and the dense mags, phases and norms.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "codec/error.hpp"
#include "index/index.hpp"
#include "io/posix_file.hpp"

namespace korvane {

inline constexpr std::uint32_t kFormatVersion = 1;
inline constexpr std::size_t kHeaderSize = 32;

// Reads count = dst.size() little-endian single-precision values in one exact
// read. On Io (the file holds fewer bytes, or a read fails) `dst` is left
// untouched.
Status read_f32s(BufferedReader& reader, std::span<float> dst);

// Writes the index; returns the number of bytes written. An index whose grids
// do not hold 2^bits entries is refused before the file is opened, since its
// file could not be read back. `check` decides, whenever a system call is
// interrupted, whether to go on (Interrupted when not).
Result<std::uint64_t> write_index_file(const SpectralIndex& index, const std::string& path,
                                       InterruptCheck check = nullptr);

Result<SpectralIndex> read_index_file(const std::string& path, InterruptCheck check = nullptr);

}  // namespace korvane
