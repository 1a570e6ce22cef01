// The index file: a 32-byte little-endian header (magic "KRVN", version 1,
// dim, top_k, the three bit widths, five reserved bytes, the item count)
// followed by the three grids and the dense mags, phases and norms.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

#include "codec/error.hpp"
#include "index/index.hpp"

namespace korvane {

inline constexpr std::uint32_t kFormatVersion = 1;
inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::size_t kIoBufferSize = 8192;

// An open file read through an 8 KiB buffer.
class BufferedReader {
public:
    static Result<BufferedReader> open(const std::string& path);
    BufferedReader(BufferedReader&& other) noexcept;
    BufferedReader& operator=(BufferedReader&&) = delete;
    ~BufferedReader();

    // Reads exactly out.size() bytes, or returns Io ("failed to fill whole
    // buffer" when the file ends first).
    Status read_exact(std::span<std::uint8_t> out);
    // Bytes between the read position and the end of the file as it is now
    // (not a regular file: unknown, the largest value).
    std::uint64_t remaining() const;

private:
    BufferedReader(int fd, std::uint64_t file_size);
    int fd_ = -1;
    std::uint64_t file_size_ = 0;
    std::uint64_t consumed_ = 0;  // bytes handed out so far
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
};

// Reads count = dst.size() little-endian single-precision values in one exact
// read. On Io (the file holds fewer bytes, or a read fails) `dst` is left
// untouched.
Status read_f32s(BufferedReader& reader, std::span<float> dst);

// Writes the index; returns the number of bytes written. An index whose grids
// do not hold 2^bits entries is refused before the file is opened, since its
// file could not be read back.
Result<std::uint64_t> write_index_file(const SpectralIndex& index, const std::string& path);

Result<SpectralIndex> read_index_file(const std::string& path);

}  // namespace korvane
