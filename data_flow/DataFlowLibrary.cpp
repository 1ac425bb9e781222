#include "data_flow/DataFlowLibrary.h"

#include "core/Core.h"
#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/private/Lifecycle.h"

namespace Mirel {
namespace DataFlow {

bool Library::bInitialized_ = false;

void Library::initialize() {
    MIREL_CHECK(!bInitialized_, "!bInitialized_");
    MIREL_CHECK(Core::Library::isInitialized(), "Core::Library::isInitialized()");
    internal::initializeNodeMaps();
    NodeLibrarian::Create();
    bInitialized_ = true;
}

void Library::terminate() {
    MIREL_CHECK(bInitialized_, "bInitialized_");
    MIREL_CHECK(Core::Library::isInitialized(), "Core::Library::isInitialized()");
    NodeLibrarian::Destroy(); // the reverse order of initialize
    internal::terminateNodeMaps();
    bInitialized_ = false;
}

bool Library::isInitialized() {
    return bInitialized_;
}

AutoInitializer::AutoInitializer()
    : bActive_(true) {
    Library::initialize();
}

AutoInitializer::~AutoInitializer() {
    if (!bActive_)
        return;
    try {
        Library::terminate();
    } catch (...) {
        // A destructor has no one to report to; the library may have been taken down already.
    }
}

} // namespace DataFlow
} // namespace Mirel
