#pragma once
// Writing the demo's result: a grey image as an 8-bit PNG file, without any image library.

#include "core/Core.h"
#include "data_flow/ValueTypes.h"

#include <string>

namespace demo {

/** Writes grey values in [0, 1] (row after row, width times height of them) as an 8-bit grey
    PNG. The pixel data is stored uncompressed, which every PNG reader accepts. False when the
    file cannot be written. */
bool writePng(std::string const& path, Mirel::FloatVector const& image, int width, int height);

} // namespace demo
