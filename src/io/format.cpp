#include "io/format.hpp"

#include <bit>
#include <cerrno>
#include <cstring>
#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

namespace korvane {

namespace {

// Values per block when rows are formed for writing or read for loading.
constexpr std::size_t kBlockValues = std::size_t{1} << 16;

constexpr std::uint8_t kMagic[4] = {'K', 'R', 'V', 'N'};

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);

template <class T>
void put_le(std::uint8_t* out, T v) {
    for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

template <class T>
T get_le(const std::uint8_t* in) {
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>(v | (static_cast<T>(in[i]) << (8 * i)));
    return v;
}

// One array as its little-endian byte image, handed over in one write.
Status write_f32s(BufferedWriter& out, std::span<const float> values) {
    if (values.empty()) return {};
    if constexpr (std::endian::native == std::endian::little) {
        return out.write({reinterpret_cast<const std::uint8_t*>(values.data()), values.size() * 4});
    } else {
        std::vector<std::uint8_t> bytes(values.size() * 4);
        for (std::size_t i = 0; i < values.size(); ++i) put_le(&bytes[4 * i], std::bit_cast<std::uint32_t>(values[i]));
        return out.write(bytes);
    }
}

Status check_grid_length(std::span<const float> grid, const char* name, std::uint8_t bits) {
    const std::uint64_t want = bits < 64 ? std::uint64_t{1} << bits : 0;
    if (bits < 64 && grid.size() == want) return {};
    return fail(invalid_input(std::string(name) + " has " + std::to_string(grid.size()) + " entries but its width of " +
                              std::to_string(bits) + " bits needs " + std::to_string(want) +
                              "; such an index file could not be read back"));
}

// a * b + c in 64 bits, or false when it does not fit.
bool mul_add(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t& out) {
    std::uint64_t prod;
    if (__builtin_mul_overflow(a, b, &prod)) return false;
    return !__builtin_add_overflow(prod, c, &out);
}

}  // namespace

Status read_f32s(BufferedReader& reader, std::span<float> dst) {
    if (dst.empty()) return {};
    const std::uint64_t left = reader.remaining();
    if (left / 4 < dst.size()) return fail(io_short_read());
    // Straight into `dst` when the file is known to hold the bytes; from a
    // pipe or other file of unknown size through a staging array, so that a
    // short read leaves `dst` as it was.
    std::vector<float> staged;
    std::span<float> into = dst;
    if (left == std::numeric_limits<std::uint64_t>::max()) {
        staged.resize(dst.size());
        into = staged;
    }
    auto bytes = std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(into.data()), into.size() * 4);
    if (auto s = reader.read_exact(bytes); !s) return s;
    if constexpr (std::endian::native == std::endian::big) {
        for (float& v : into) {
            std::uint8_t b[4];
            std::memcpy(b, &v, 4);
            v = std::bit_cast<float>(get_le<std::uint32_t>(b));
        }
    }
    if (!staged.empty()) std::memcpy(dst.data(), staged.data(), dst.size() * 4);
    return {};
}

Result<std::uint64_t> write_index_file(const SpectralIndex& index, const std::string& path, InterruptCheck check) {
    const SpectralEncoder& e = index.encoder();
    if (auto s = check_grid_length(e.mag_grid(), "mag_grid", e.mag_bits()); !s) return fail(s.error());
    if (auto s = check_grid_length(e.phase_grid(), "phase_grid", e.phase_bits()); !s) return fail(s.error());
    if (auto s = check_grid_length(e.norm_grid(), "norm_grid", e.norm_bits()); !s) return fail(s.error());
    const std::uint64_t n = index.size();
    const std::size_t f = e.f();
    const std::uint64_t grid_values = e.mag_grid().size() + e.phase_grid().size() + e.norm_grid().size();
    const std::uint64_t length = kHeaderSize + 4 * (grid_values + 2 * f * n + n);
    auto opened = BufferedWriter::replace(path, length, check);
    if (!opened) return fail(opened.error());
    BufferedWriter& out = *opened;

    std::uint8_t header[kHeaderSize] = {};
    std::memcpy(header, kMagic, 4);
    put_le<std::uint32_t>(header + 4, kFormatVersion);
    put_le<std::uint32_t>(header + 8, static_cast<std::uint32_t>(e.dim()));
    put_le<std::uint32_t>(header + 12, static_cast<std::uint32_t>(e.top_k()));
    header[16] = e.mag_bits();
    header[17] = e.phase_bits();
    header[18] = e.norm_bits();
    put_le<std::uint64_t>(header + 24, n);
    if (auto s = out.write(header); !s) return fail(s.error());

    for (std::span<const float> grid : {e.mag_grid(), e.phase_grid(), e.norm_grid()})
        if (auto s = write_f32s(out, grid); !s) return fail(s.error());

    // The dense sections, a block of rows at a time: the index keeps codes,
    // and the rows are formed only to be written.
    const std::size_t rows_per_block = std::max<std::size_t>(1, kBlockValues / f);
    std::vector<float> block(std::min<std::uint64_t>(rows_per_block, n) * f);
    for (int section = 0; section < 2; ++section) {
        for (std::size_t first = 0; first < n; first += rows_per_block) {
            const std::size_t count = std::min<std::size_t>(rows_per_block, n - first);
            const std::span<float> rows(block.data(), count * f);
            if (section == 0) index.dense_rows(first, count, rows, {});
            else index.dense_rows(first, count, {}, rows);
            if (auto s = write_f32s(out, rows); !s) return fail(s.error());
        }
    }
    if (auto s = write_f32s(out, index.norms()); !s) return fail(s.error());
    if (auto s = out.commit(); !s) return fail(s.error());
    return length;
}

namespace {

// Reads `count` values into a new array that grows in bounded steps as the
// bytes arrive, so that a count the file does not back allocates no more
// than the file holds.
Result<std::vector<float>> read_f32_array(BufferedReader& in, std::uint64_t count) {
    std::vector<float> out;
    while (out.size() < count) {
        const std::size_t at = out.size();
        const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(count - at, std::max(at, kBlockValues)));
        out.resize(at + step);
        if (auto s = read_f32s(in, std::span<float>(out).subspan(at)); !s) return fail(s.error());
    }
    return out;
}

// Where the rows of a dense section come from: a reader of its own in a
// regular file, or the whole section read ahead from a pipe or device.
class SectionSource {
public:
    static SectionSource of_reader(BufferedReader reader) { return SectionSource(std::move(reader)); }
    static SectionSource of_values(std::vector<float> values) { return SectionSource(std::move(values)); }

    Status read(std::span<float> out) {
        if (reader_) return read_f32s(*reader_, out);
        std::copy_n(values_.begin() + static_cast<std::ptrdiff_t>(at_), out.size(), out.begin());
        at_ += out.size();
        return {};
    }

private:
    explicit SectionSource(BufferedReader reader) : reader_(std::move(reader)) {}
    explicit SectionSource(std::vector<float> values) : values_(std::move(values)) {}
    std::optional<BufferedReader> reader_;
    std::vector<float> values_;
    std::size_t at_ = 0;
};

// Reads n items, a block at a time, from the three sections into `index`.
Status read_items(SpectralIndex& index, SectionSource& mags, SectionSource& phases, SectionSource& norms,
                  std::uint64_t n) {
    const std::size_t f = index.encoder().f();
    const std::size_t rows_per_block = std::max<std::size_t>(1, kBlockValues / f);
    const std::size_t block = static_cast<std::size_t>(std::min<std::uint64_t>(rows_per_block, n));
    std::vector<float> m(block * f);
    std::vector<float> p(block * f);
    std::vector<float> w(block);
    for (std::uint64_t first = 0; first < n; first += rows_per_block) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(rows_per_block, n - first));
        const std::span<float> mb(m.data(), count * f);
        const std::span<float> pb(p.data(), count * f);
        const std::span<float> wb(w.data(), count);
        if (auto s = mags.read(mb); !s) return s;
        if (auto s = phases.read(pb); !s) return s;
        if (auto s = norms.read(wb); !s) return s;
        if (auto s = index.add_dense_rows(mb, pb, wb); !s) return s;
    }
    return {};
}

}  // namespace

Result<SpectralIndex> read_index_file(const std::string& path, InterruptCheck check) {
    auto opened = BufferedReader::open(path, check);
    if (!opened) return fail(opened.error());
    BufferedReader& in = *opened;

    std::uint8_t header[kHeaderSize];
    if (auto s = in.read_exact(header); !s) return fail(s.error());
    if (std::memcmp(header, kMagic, 4) != 0) return fail(Format{"magic bytes mismatch"});
    const auto version = get_le<std::uint32_t>(header + 4);
    if (version != kFormatVersion) return fail(VersionMismatch{version, kFormatVersion});
    const std::uint64_t dim = get_le<std::uint32_t>(header + 8);
    const std::uint64_t top_k = get_le<std::uint32_t>(header + 12);
    const std::uint8_t mag_bits = header[16];
    const std::uint8_t phase_bits = header[17];
    const std::uint8_t norm_bits = header[18];
    const std::uint64_t n = get_le<std::uint64_t>(header + 24);

    // The header's widths must be acceptable before anything is read, and a
    // regular file must hold the grids' values before they are read.
    if (auto s = check_encoder_config(dim, top_k, mag_bits, phase_bits, norm_bits); !s) return fail(s.error());
    const std::uint64_t grid_values =
        (std::uint64_t{1} << mag_bits) + (std::uint64_t{1} << phase_bits) + (std::uint64_t{1} << norm_bits);
    if (in.remaining() / 4 < grid_values) return fail(io_short_read());

    // Size nothing from the header that the file cannot hold: a damaged or
    // hostile count must not make the loader allocate or overflow.
    auto fits = [&](std::uint64_t values) { return in.remaining() / 4 >= values; };
    SpectralGrid grids[3];
    const std::uint8_t widths[3] = {mag_bits, phase_bits, norm_bits};
    for (int g = 0; g < 3; ++g) {
        const std::uint64_t count = std::uint64_t{1} << widths[g];
        if (!fits(count)) return fail(io_short_read());
        auto grid = read_f32_array(in, count);
        if (!grid) return fail(grid.error());
        grids[g] = std::move(*grid);
    }
    auto built = build_encoder_with_grids(dim, top_k, mag_bits, phase_bits, norm_bits, std::move(grids[0]),
                                          std::move(grids[1]), std::move(grids[2]));
    if (!built) return fail(built.error());
    const SpectralEncoder& e = *built;

    std::uint64_t dense = 0;
    std::uint64_t all = 0;
    if (!mul_add(e.f(), n, 0, dense) || !mul_add(dense, 2, n, all) || !fits(all)) return fail(io_short_read());
    // A pipe's count is only known to be false when its data ends (a short
    // read); the index itself refuses an item past 2^32 - 1 should the data
    // go on that long.
    if (n > kMaxItems && in.sized())
        return fail(invalid_input("the file holds " + std::to_string(n) + " items; 32-bit ids name at most " +
                                  std::to_string(kMaxItems)));

    // The three per-item sections are read side by side, a block of items at
    // a time: from a regular file through a reader for each section; from a
    // pipe, whose bytes come once and in order, the two row sections are
    // read ahead, each growing only as its bytes arrive.
    SpectralIndex index(e);
    if (in.sized()) {
        auto phases_reader = in.fork(4 * dense);
        if (!phases_reader) return fail(phases_reader.error());
        auto norms_reader = in.fork(8 * dense);
        if (!norms_reader) return fail(norms_reader.error());
        auto mags = SectionSource::of_reader(std::move(in));
        auto phases = SectionSource::of_reader(std::move(*phases_reader));
        auto norms = SectionSource::of_reader(std::move(*norms_reader));
        if (auto s = read_items(index, mags, phases, norms, n); !s) return fail(s.error());
        return index;
    }
    auto mag_rows = read_f32_array(in, dense);
    if (!mag_rows) return fail(mag_rows.error());
    auto phase_rows = read_f32_array(in, dense);
    if (!phase_rows) return fail(phase_rows.error());
    auto mags = SectionSource::of_values(std::move(*mag_rows));
    auto phases = SectionSource::of_values(std::move(*phase_rows));
    auto norms = SectionSource::of_reader(std::move(in));
    if (auto s = read_items(index, mags, phases, norms, n); !s) return fail(s.error());
    return index;
}

}  // namespace korvane
