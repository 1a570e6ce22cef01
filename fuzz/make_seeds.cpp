// Writes the fuzzer's seed corpus into the directory named by argv[1]: small
// index files from the writer itself, some followed by code records in the
// layout fuzz_index_file.cpp reads.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/encoder.hpp"
#include "index/index.hpp"
#include "io/format.hpp"
#include "test_support.hpp"

using namespace korvane;
using korvane::testing::pseudo_random;

namespace {

void append_record(std::vector<std::uint8_t>& out, const SpectralCodes& c, std::uint8_t top_k) {
    const std::size_t k = std::min<std::size_t>(c.idx.size(), 255);
    out.push_back(static_cast<std::uint8_t>(k));
    out.push_back(static_cast<std::uint8_t>(k));
    out.push_back(static_cast<std::uint8_t>(k));
    out.push_back(static_cast<std::uint8_t>(c.norm_q & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c.norm_q >> 8));
    out.push_back(top_k);
    for (std::size_t j = 0; j < k; ++j) {
        out.push_back(static_cast<std::uint8_t>(c.idx[j] & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c.idx[j] >> 8));
    }
    out.insert(out.end(), c.mag_q.begin(), c.mag_q.begin() + static_cast<std::ptrdiff_t>(k));
    out.insert(out.end(), c.phase_q.begin(), c.phase_q.begin() + static_cast<std::ptrdiff_t>(k));
}

struct Config {
    std::uint64_t dim, top_k;
    std::uint8_t mag_bits, phase_bits, norm_bits;
    std::size_t n;
    bool records;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const Config configs[] = {
        {4, 1, 1, 1, 1, 0, false}, {8, 3, 2, 2, 1, 1, false}, {16, 4, 3, 2, 2, 3, true},
        {17, 5, 4, 3, 2, 2, true}, {32, 8, 4, 4, 4, 4, true}, {6, 4, 8, 8, 2, 1, true},
    };
    int written = 0;
    for (const Config& c : configs) {
        auto built = build_encoder(c.dim, c.top_k, c.mag_bits, c.phase_bits, c.norm_bits);
        if (!built) return 1;
        SpectralIndex index(*built);
        auto codes = encode_rows(*built, pseudo_random((c.n + 1) * c.dim, written + 1));
        if (!codes) return 1;
        if (auto s = index.add_codes(std::span(*codes).first(c.n)); !s) return 1;
        const std::string path = dir + "/seed-" + std::to_string(written++);
        if (!write_index_file(index, path)) return 1;
        if (!c.records) continue;
        std::ifstream in(path, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (const SpectralCodes& r : *codes) append_record(bytes, r, static_cast<std::uint8_t>(c.n));
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    return 0;
}
