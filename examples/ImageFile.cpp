#include "ImageFile.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <vector>

namespace demo {

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t crc32(std::uint8_t const* p, std::size_t n, std::uint32_t crc = 0) {
    static std::array<std::uint32_t, 256> const table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1u) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i)
        crc = table[(crc ^ p[i]) & 0xffu] ^ (crc >> 8);
    return ~crc;
}

void putBigEndian(Bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(std::uint8_t(v >> shift));
}

void writeChunk(std::ofstream& file, char const* type, Bytes const& data) {
    Bytes head;
    putBigEndian(head, std::uint32_t(data.size()));
    head.insert(head.end(), type, type + 4);
    std::uint32_t crc = crc32(head.data() + 4, 4);
    crc = crc32(data.data(), data.size(), crc);
    Bytes tail;
    putBigEndian(tail, crc);
    file.write(reinterpret_cast<char const*>(head.data()), std::streamsize(head.size()));
    file.write(reinterpret_cast<char const*>(data.data()), std::streamsize(data.size()));
    file.write(reinterpret_cast<char const*>(tail.data()), std::streamsize(tail.size()));
}

//! A zlib stream of stored (uncompressed) deflate blocks around raw.
Bytes zlibStored(Bytes const& raw) {
    Bytes out = {0x78, 0x01};
    std::size_t pos = 0;
    do {
        std::size_t const n = std::min<std::size_t>(65535, raw.size() - pos);
        bool const bLast = pos + n == raw.size();
        out.push_back(bLast ? 1 : 0);
        out.push_back(std::uint8_t(n & 0xffu));
        out.push_back(std::uint8_t(n >> 8));
        out.push_back(std::uint8_t(~n & 0xffu));
        out.push_back(std::uint8_t((~n >> 8) & 0xffu));
        out.insert(out.end(), raw.begin() + std::ptrdiff_t(pos),
                   raw.begin() + std::ptrdiff_t(pos + n));
        pos += n;
    } while (pos < raw.size());
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t byte : raw) {
        a = (a + byte) % 65521u;
        b = (b + a) % 65521u;
    }
    putBigEndian(out, (b << 16) | a);
    return out;
}

} // namespace

bool writePng(std::string const& path, Mirel::FloatVector const& image, int width, int height) {
    if (width <= 0 || height <= 0 || image.size() != std::size_t(width) * std::size_t(height))
        return false;
    std::ofstream file(path, std::ios::binary);
    if (!file)
        return false;
    static std::uint8_t const signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    file.write(reinterpret_cast<char const*>(signature), 8);

    Bytes header;
    putBigEndian(header, std::uint32_t(width));
    putBigEndian(header, std::uint32_t(height));
    header.insert(header.end(), {8, 0, 0, 0, 0}); // 8-bit grey, no interlace
    writeChunk(file, "IHDR", header);

    Bytes raw;
    raw.reserve(std::size_t(height) * (std::size_t(width) + 1));
    for (int y = 0; y < height; ++y) {
        raw.push_back(0); // filter: none
        for (int x = 0; x < width; ++x) {
            float const v = image[std::size_t(y) * std::size_t(width) + std::size_t(x)];
            raw.push_back(std::uint8_t(std::min(1.0f, std::max(0.0f, v)) * 255.0f + 0.5f));
        }
    }
    writeChunk(file, "IDAT", zlibStored(raw));
    writeChunk(file, "IEND", Bytes());
    return bool(file);
}

} // namespace demo
