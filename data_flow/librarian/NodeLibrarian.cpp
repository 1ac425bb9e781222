#include "data_flow/librarian/NodeLibrarian.h"

#include "data_flow/private/MetaDataEdits.h"

#include <limits>

namespace Mirel {
namespace DataFlow {

NodeLibrarian* NodeLibrarian::gpSingleton_ = nullptr;
std::recursive_mutex NodeLibrarian::gMutex_;

// --- Factories ---------------------------------------------------------------------------------

NodeFactory::~NodeFactory() = default;

CreateNodeFunctionNodeFactory::CreateNodeFunctionNodeFactory(CreateFunction pCreateFunction)
    : pCreateFunction_(pCreateFunction) {}

CreateNodeFunctionNodeFactory::~CreateNodeFunctionNodeFactory() = default;

Node* CreateNodeFunctionNodeFactory::create(NodeTargetType target) {
    return pCreateFunction_(target);
}

// --- Singleton ---------------------------------------------------------------------------------

void NodeLibrarian::Create() {
    std::lock_guard<std::recursive_mutex> lock(gMutex_);
    MIREL_CHECK(gpSingleton_ == 0, "gpSingleton_ == 0");
    gpSingleton_ = MIREL_NEW NodeLibrarian();
    MIREL_CHECK(gpSingleton_ != nullptr, "Enforce gpSingleton_ != NULL");
}

void NodeLibrarian::Destroy() {
    std::lock_guard<std::recursive_mutex> lock(gMutex_);
    MIREL_CHECK(gpSingleton_ != nullptr, "Enforce gpSingleton_ != NULL");
    Core::destroy(gpSingleton_);
    gpSingleton_ = nullptr;
}

NodeLibrarian* NodeLibrarian::Instance() {
    MIREL_CHECK(gpSingleton_ != nullptr, "Enforce gpSingleton_ != NULL");
    return gpSingleton_;
}

NodeLibrarian::NodeLibrarian()
    : nIndexedAssignments_(internal::metaDataAssignments()) {}

NodeLibrarian::~NodeLibrarian() {
    clearAll();
}

// --- Registration ------------------------------------------------------------------------------

void NodeLibrarian::add(NodeFactory* pNodeFactory, NodeMetaData* pMetaData) {
    MIREL_CHECK(pNodeFactory != nullptr, "Enforce pNodeFactory != NULL");
    MIREL_CHECK(pMetaData != nullptr, "Enforce pMetaData != NULL");

    // Room in the catalogue comes first: once the map holds the record, appending must not fail.
    if (aCatalogue_.size() == aCatalogue_.capacity())
        aCatalogue_.reserve(aCatalogue_.empty() ? 16 : 2 * aCatalogue_.size());

    auto const inserted = oFactories_.emplace(pMetaData, pNodeFactory);
    bool const bDuplicate = !inserted.second;
    if (bDuplicate) {
        Core::destroy(pNodeFactory);
        Core::destroy(pMetaData);
        MIREL_THROW_UNLESS(!bDuplicate, ::Mirel::ParameterException, "!bDuplicate");
    }
    try {
        // The first record with an identifier keeps it: later ones never replace it.
        oClientIndex_.emplace(pMetaData->clientID(), inserted.first);
    } catch (...) {
        oFactories_.erase(inserted.first); // out of memory: the caller keeps both objects
        throw;
    }
    aCatalogue_.push_back(pMetaData);
}

void NodeLibrarian::add(Node* (*pCreateFunction)(NodeTargetType), NodeMetaData* pMetaData) {
    MIREL_CHECK(pCreateFunction != nullptr, "Enforce pCreateFunction != NULL");
    NodeFactory* pNodeFactory = MIREL_NEW CreateNodeFunctionNodeFactory(pCreateFunction);
    try {
        add(pNodeFactory, pMetaData);
    } catch (ParameterException const&) {
        throw; // the duplicate check has deleted the wrapper already
    } catch (...) {
        Core::destroy(pNodeFactory); // the caller never saw the wrapper
        throw;
    }
}

void NodeLibrarian::clearAll() {
    for (auto& entry : oFactories_)
        Core::destroy(entry.second);
    oFactories_.clear();
    oClientIndex_.clear();
    nIndexedAssignments_.store(internal::metaDataAssignments(), std::memory_order_release);
    for (NodeMetaData* pMetaData : aCatalogue_)
        Core::destroy(pMetaData);
    aCatalogue_.clear();
}

// --- Lookups -----------------------------------------------------------------------------------

void NodeLibrarian::refreshClientIndex() {
    unsigned long const nAssignments = internal::metaDataAssignments();
    if (nIndexedAssignments_.load(std::memory_order_acquire) == nAssignments)
        return;
    // Lookups may run on several threads at once: one makes the index, the others wait for it.
    std::lock_guard<std::recursive_mutex> lock(gMutex_);
    if (nIndexedAssignments_.load(std::memory_order_acquire) == nAssignments)
        return;
    ClientIndex oIndex;
    for (NodeMetaData* pMetaData : aCatalogue_) {
        FactoryMap::iterator const entry = oFactories_.find(pMetaData);
        if (entry != oFactories_.end())
            oIndex.emplace(pMetaData->clientID(), entry); // the first record keeps its identifier
    }
    oClientIndex_.swap(oIndex);
    nIndexedAssignments_.store(nAssignments, std::memory_order_release);
}

Node* NodeLibrarian::createNodeByClientID(String const& clientID, NodeTargetType target) {
    Instance();
    refreshClientIndex();
    auto const it = oClientIndex_.find(clientID);
    if (it == oClientIndex_.end())
        return nullptr;
    // A versioned record is its own entry of the factory map, so its factory is at hand; a record
    // without version asks for the highest registered version.
    FactoryMap::iterator const entry = it->second;
    if (entry->first->hasVersion())
        return entry->second->create(target);
    return createNodeByMetadata(entry->first, target);
}

Node* NodeLibrarian::createNodeByMetadata(NodeMetaData const* pMetaData, NodeTargetType target) {
    if (pMetaData == nullptr)
        return nullptr;
    // The map's keys are mutable pointers; the lookup reads the record only.
    NodeMetaData* const pKey = const_cast<NodeMetaData*>(pMetaData);
    if (pMetaData->hasVersion()) {
        auto const it = oFactories_.find(pKey);
        return it == oFactories_.end() ? nullptr : it->second->create(target);
    }

    // The highest version of this vendor, name space and name: the last key not after a probe
    // carrying the largest version.
    NodeMetaData probe(pMetaData->name(), pMetaData->nameSpace(), pMetaData->vendor(),
                       std::numeric_limits<unsigned int>::max(), String(), String());
    auto it = oFactories_.upper_bound(&probe);
    if (it == oFactories_.begin())
        return nullptr;
    --it;
    NodeMetaData const& found = *it->first;
    if (found.vendor().compare(pMetaData->vendor()) != 0 ||
        found.nameSpace().compare(pMetaData->nameSpace()) != 0 ||
        found.name().compare(pMetaData->name()) != 0)
        return nullptr;
    return it->second->create(target);
}

} // namespace DataFlow
} // namespace Mirel
