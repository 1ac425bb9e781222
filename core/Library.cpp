#include "core/Library.h"

#include <atomic>

namespace Mirel {
namespace Core {

namespace {
std::atomic<bool> gInitialized{false};
}

void Library::initialize() noexcept {
    gInitialized.store(true);
}

void Library::terminate() noexcept {
    gInitialized.store(false);
}

bool Library::isInitialized() noexcept {
    return gInitialized.load();
}

} // namespace Core
} // namespace Mirel
