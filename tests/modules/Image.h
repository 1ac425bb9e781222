#pragma once
// A value type of a client's own, shared by a test and the module it loads: connectors carry it
// between the two like one of the library's types.

#include <vector>

namespace test {

struct Image {
    int width;
    int height;
    std::vector<float> grey;
};

} // namespace test
