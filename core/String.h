#pragma once

#include "core/Allocator.h"

#include <string>

namespace Mirel {

//! The library's character string: compared byte-wise and case-sensitively.
using String = std::basic_string<char, std::char_traits<char>, MirelAllocator<char>>;

} // namespace Mirel
