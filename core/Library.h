#pragma once

#include "core/Export.h"

namespace Mirel {
namespace Core {

//! The core library's own start-up state; hosts initialise it before data_flow's Library.
class MIREL_CORE_API Library {
public:
    //! Brings the core up; calling it again while up changes nothing.
    static void initialize() noexcept;
    //! Takes the core down; calling it while down changes nothing.
    static void terminate() noexcept;
    //! True between initialize() and terminate(); any thread may ask.
    static bool isInitialized() noexcept;
};

} // namespace Core
} // namespace Mirel
