// Sinks that write a grey image (grey values in [0, 1], row after row, with its size) to a file:
// an 8-bit PNG through libpng's simplified writing interface, or a binary PGM, whose header is
// one line of text.

#include "plugin/FileKinds.h"

#include "DemoNode.h"

#include "data_flow/connectors/Inputs.h"
#include "data_flow/parameters/Parameter.h"

#include <png.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

using Mirel::FloatVector;
using Mirel::int2;
using Mirel::String;
using namespace Mirel::DataFlow;

namespace demo {

namespace {

std::vector<std::uint8_t> toBytes(FloatVector const& image) {
    std::vector<std::uint8_t> bytes(image.size());
    std::transform(image.begin(), image.end(), bytes.begin(), [](float v) {
        return std::uint8_t(std::min(1.0f, std::max(0.0f, v)) * 255.0f + 0.5f);
    });
    return bytes;
}

/** Base of the file sinks: inputs "image" and "size", parameter "path". A file that cannot be
    written fails the evaluation. */
class ImageWriter : public TimedNode {
public:
    ImageWriter(char const* name, char const* defaultPath)
        : TimedNode(name)
        , oImageIn_("image", this)
        , oSizeIn_("size", this)
        , oPath_(String(defaultPath), "path", "file to write") {
        addInput(&oImageIn_);
        addInput(&oSizeIn_);
        registerParameter(&oPath_);
    }

protected:
    virtual bool write(std::string const& path, std::vector<std::uint8_t> const& pixels,
                       int2 size) = 0;

    bool compute() override {
        FloatVector const& image = oImageIn_.value();
        int2 const size = oSizeIn_.value();
        MIREL_THROW_UNLESS(size.x > 0 && size.y > 0 &&
                               std::size_t(size.x) * std::size_t(size.y) == image.size(),
                           Mirel::ParameterException, "size.x * size.y == image.size()");
        std::string const path(oPath_.value().c_str());
        MIREL_THROW_UNLESS(write(path, toBytes(image), size), Mirel::ParameterException,
                           "the image file could be written");
        return true;
    }

private:
    ConstInput<FloatVector> oImageIn_;
    ConstInput<int2> oSizeIn_;
    Parameter<String> oPath_;
};

class WritePng : public ImageWriter {
public:
    WritePng()
        : ImageWriter("write-png", "out.png") {}

protected:
    bool write(std::string const& path, std::vector<std::uint8_t> const& pixels,
               int2 size) override {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = png_uint_32(size.x);
        image.height = png_uint_32(size.y);
        image.format = PNG_FORMAT_GRAY;
        bool const bWritten =
            png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), size.x, nullptr) != 0;
        png_image_free(&image);
        return bWritten;
    }
};

class WritePgm : public ImageWriter {
public:
    WritePgm()
        : ImageWriter("write-pgm", "out.pgm") {}

protected:
    bool write(std::string const& path, std::vector<std::uint8_t> const& pixels,
               int2 size) override {
        std::ofstream file(path, std::ios::binary);
        file << "P5\n" << size.x << " " << size.y << "\n255\n";
        file.write(reinterpret_cast<char const*>(pixels.data()), std::streamsize(pixels.size()));
        return bool(file);
    }
};

Node* createWritePng(NodeTargetType) {
    return MIREL_NEW WritePng();
}
Node* createWritePgm(NodeTargetType) {
    return MIREL_NEW WritePgm();
}

} // namespace

void registerFileKinds() {
    NodeLibrarian* pLibrarian = NodeLibrarian::Instance();
    pLibrarian->add(&createWritePng,
                    MIREL_NEW NodeMetaData("WritePng", "file", "example", 1,
                                           "writes the image as an 8-bit grey PNG", "write-png"));
    pLibrarian->add(&createWritePgm,
                    MIREL_NEW NodeMetaData("WritePgm", "file", "example", 1,
                                           "writes the image as a binary grey PGM", "write-pgm"));
}

} // namespace demo
