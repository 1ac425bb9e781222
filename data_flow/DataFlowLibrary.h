#pragma once

#include "data_flow/Export.h"

namespace Mirel {
namespace DataFlow {

/** Start-up and shut-down of the library's process-wide state: the node debug index and the
    node catalogue (NodeLibrarian). The host initialises the core library first and terminates
    it last. Nothing here locks: the host calls these from one thread while no other thread uses
    the library. Each initialize starts with fresh node ordinals and an empty catalogue. */
class DATA_FLOW_API Library {
public:
    /** Brings the library up. Throws InternalException "!bInitialized_" when it is up already
        and "Core::Library::isInitialized()" when the core is down; a failing step propagates,
        leaves the library down and keeps the steps already done. */
    static void initialize();
    /** Takes the library down, destroying every registered factory and record. Throws
        InternalException "bInitialized_" when it is down and "Core::Library::isInitialized()"
        when the core is down. */
    static void terminate();
    //! True between a successful initialize and a successful terminate.
    static bool isInitialized();

private:
    static bool bInitialized_;
};

/** Scope guard: initialises the library when made and terminates it when destroyed, unless
    release() was called. A failing initialize leaves the constructor, so no guard exists. */
class DATA_FLOW_API AutoInitializer {
public:
    //! Calls Library::initialize(); its exceptions pass out of the constructor.
    AutoInitializer();
    //! Calls Library::terminate() unless released; swallows whatever it throws.
    ~AutoInitializer();
    AutoInitializer(AutoInitializer const&) = delete;
    AutoInitializer& operator=(AutoInitializer const&) = delete;

    //! The destructor will leave the library up.
    void release() { bActive_ = false; }

private:
    bool bActive_;
};

} // namespace DataFlow
} // namespace Mirel
