#include "io/format.hpp"

#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

namespace korvane {

namespace {

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

Status check_grid_length(const SpectralGrid& grid, const char* name, std::uint8_t bits) {
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

Result<std::uint64_t> write_index_file(const SpectralIndex& index, const std::string& path) {
    const SpectralEncoder& e = index.encoder;
    if (auto s = check_grid_length(e.mag_grid, "mag_grid", e.mag_bits); !s) return fail(s.error());
    if (auto s = check_grid_length(e.phase_grid, "phase_grid", e.phase_bits); !s) return fail(s.error());
    if (auto s = check_grid_length(e.norm_grid, "norm_grid", e.norm_bits); !s) return fail(s.error());
    auto opened = BufferedWriter::replace(path);
    if (!opened) return fail(opened.error());
    BufferedWriter& out = *opened;

    std::uint8_t header[kHeaderSize] = {};
    std::memcpy(header, kMagic, 4);
    put_le<std::uint32_t>(header + 4, kFormatVersion);
    put_le<std::uint32_t>(header + 8, static_cast<std::uint32_t>(e.dim));
    put_le<std::uint32_t>(header + 12, static_cast<std::uint32_t>(e.top_k));
    header[16] = e.mag_bits;
    header[17] = e.phase_bits;
    header[18] = e.norm_bits;
    put_le<std::uint64_t>(header + 24, index.codes.size());
    if (auto s = out.write(header); !s) return fail(s.error());

    const std::span<const float> sections[] = {e.mag_grid, e.phase_grid, e.norm_grid,
                                               index.mags, index.phases, index.norms};
    std::uint64_t values = 0;
    for (auto section : sections) {
        if (auto s = write_f32s(out, section); !s) return fail(s.error());
        values += section.size();
    }
    if (auto s = out.commit(); !s) return fail(s.error());
    return kHeaderSize + 4 * values;
}

Result<SpectralIndex> read_index_file(const std::string& path) {
    auto opened = BufferedReader::open(path);
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

    // The encoder is built with default grids of 2^bits values each before
    // the file's grids replace them: for a header it accepts, first make sure
    // the file holds that many values, so a damaged width cannot make the
    // loader allocate gigabytes.
    if (auto s = check_encoder_config(dim, top_k, mag_bits, phase_bits, norm_bits); !s) return fail(s.error());
    const std::uint64_t grid_values =
        (std::uint64_t{1} << mag_bits) + (std::uint64_t{1} << phase_bits) + (std::uint64_t{1} << norm_bits);
    if (in.remaining() / 4 < grid_values) return fail(io_short_read());
    auto built = build_encoder(dim, top_k, mag_bits, phase_bits, norm_bits);
    if (!built) return fail(built.error());
    SpectralIndex index = make_index(*built);
    SpectralEncoder& e = index.encoder;

    // Size nothing from the header that the file cannot hold: a damaged or
    // hostile count must not make the loader allocate or overflow.
    auto fits = [&](std::uint64_t values) { return in.remaining() / 4 >= values; };
    SpectralGrid grids[3];
    const std::uint8_t widths[3] = {mag_bits, phase_bits, norm_bits};
    for (int g = 0; g < 3; ++g) {
        const std::uint64_t count = std::uint64_t{1} << widths[g];
        if (!fits(count)) return fail(io_short_read());
        grids[g].assign(count, 0.0f);
        if (auto s = read_f32s(in, grids[g]); !s) return fail(s.error());
    }
    e.mag_grid = std::move(grids[0]);
    e.phase_grid = std::move(grids[1]);
    e.norm_grid = std::move(grids[2]);

    std::uint64_t dense = 0;
    std::uint64_t all = 0;
    if (!mul_add(e.f, n, 0, dense) || !mul_add(dense, 2, n, all) || !fits(all)) return fail(io_short_read());
    if (n > kMaxItems)
        return fail(invalid_input("the file holds " + std::to_string(n) + " items; 32-bit ids name at most " +
                                  std::to_string(kMaxItems)));
    index.mags.assign(dense, 0.0f);
    if (auto s = read_f32s(in, index.mags); !s) return fail(s.error());
    index.phases.assign(dense, 0.0f);
    if (auto s = read_f32s(in, index.phases); !s) return fail(s.error());
    index.norms.assign(n, 0.0f);
    if (auto s = read_f32s(in, index.norms); !s) return fail(s.error());

    resize_codes(index.codes, n, SpectralCodes{});
    return index;
}

}  // namespace korvane
