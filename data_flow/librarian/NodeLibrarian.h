#pragma once

#include "core/Core.h"
#include "data_flow/Export.h"
#include "data_flow/librarian/NodeMetaData.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Mirel {
namespace DataFlow {

class Library;
class Node;

//! What the host asks a factory for; passed through to the factory unread. The library defines
//! no values: node kinds give their own meaning to any int.
enum NodeTargetType : int {};

//! Makes nodes of one kind. The librarian owns the factories it accepted (tagged new).
class DATA_FLOW_API NodeFactory {
public:
    NodeFactory() = default;
    NodeFactory(NodeFactory const&) = default;
    NodeFactory& operator=(NodeFactory const&) = default;
    virtual ~NodeFactory();
    //! A new node for target, owned by the caller; null when the kind makes none.
    virtual Node* create(NodeTargetType target) = 0;
};

//! A factory around a plain creation function.
class DATA_FLOW_API CreateNodeFunctionNodeFactory : public NodeFactory {
public:
    using CreateFunction = Node* (*)(NodeTargetType);

    explicit CreateNodeFunctionNodeFactory(CreateFunction pCreateFunction);
    CreateNodeFunctionNodeFactory(CreateNodeFunctionNodeFactory const&) = default;
    CreateNodeFunctionNodeFactory& operator=(CreateNodeFunctionNodeFactory const&) = default;
    ~CreateNodeFunctionNodeFactory() override;
    //! Calls the function with target and gives its result unchanged, null included.
    Node* create(NodeTargetType target) override;

private:
    CreateFunction pCreateFunction_;
};

/** The process-wide catalogue of node kinds: metadata records with their factories, listed in
    registration order and keyed by NodeMetaDataSorter (vendor, name space, name, version).

    Library::initialize creates the one instance and Library::terminate destroys it, together
    with every factory and record it accepted. Only Create and Destroy lock; registration and
    lookups do not, so the host registers its kinds before it looks kinds up from several
    threads, or keeps the two apart itself. */
class DATA_FLOW_API NodeLibrarian {
public:
    using const_iterator =
        std::vector<NodeMetaData*, MirelAllocator<NodeMetaData*>>::const_iterator;

    //! The catalogue; throws InternalException "Enforce gpSingleton_ != NULL" while the library
    //! is down. Takes no lock.
    static NodeLibrarian* Instance();

    //! Deletes every factory and record (clearAll).
    ~NodeLibrarian();
    NodeLibrarian(NodeLibrarian const&) = delete;
    NodeLibrarian& operator=(NodeLibrarian const&) = delete;

    /** Registers a kind and takes both objects, which must come from the tagged new. A null
        argument throws InternalException and leaves both with the caller. A kind equivalent to a
        registered one deletes both given objects, then throws ParameterException "!bDuplicate". */
    void add(NodeFactory* pNodeFactory, NodeMetaData* pMetaData);
    //! Registers a kind made by a creation function, wrapped in a CreateNodeFunctionNodeFactory;
    //! the same rules as the other add.
    void add(Node* (*pCreateFunction)(NodeTargetType), NodeMetaData* pMetaData);

    //! The records in registration order.
    const_iterator begin() const { return aCatalogue_.begin(); }
    const_iterator end() const { return aCatalogue_.end(); }

    /** A node of the first registered kind with this client identifier (then chosen as
        createNodeByMetadata chooses), or null when none has it. Throws while the library is
        down. Looks the identifier up in an index, not by walking the catalogue; after records
        were assigned to through begin(), the first lookup makes the index again (which may
        throw std::bad_alloc). */
    Node* createNodeByClientID(String const& clientID, NodeTargetType target);
    /** A node of the kind described by pMetaData: with a version, exactly that version; without,
        the highest registered version of its vendor, name space and name (a kind registered
        without version counts as 0). Null when nothing matches or pMetaData is null. */
    Node* createNodeByMetadata(NodeMetaData const* pMetaData, NodeTargetType target);

    //! Deletes every factory and record; the catalogue is empty afterwards.
    void clearAll();

private:
    friend class Library;

    struct StringHash {
        std::size_t operator()(String const& s) const noexcept {
            return std::hash<std::string_view>()(std::string_view(s.data(), s.size()));
        }
    };

    using FactoryMap = std::map<NodeMetaData*, NodeFactory*, NodeMetaDataSorter,
                                MirelAllocator<std::pair<NodeMetaData* const, NodeFactory*>>>;
    using Catalogue = std::vector<NodeMetaData*, MirelAllocator<NodeMetaData*>>;
    // Client identifier -> the factory map's entry of the first registered record carrying it:
    // the answer the walk of the catalogue in registration order would give, without the walk.
    // Map entries stay put until clearAll, which empties this index too.
    using ClientIndex =
        std::unordered_map<String, FactoryMap::iterator, StringHash, std::equal_to<String>,
                           MirelAllocator<std::pair<String const, FactoryMap::iterator>>>;

    NodeLibrarian();

    //! Makes the index of client identifiers again when a record may have been edited since.
    void refreshClientIndex();

    //! Makes the singleton; throws "gpSingleton_ == 0" when it exists. Holds gMutex_.
    static void Create();
    //! Destroys the singleton; throws "Enforce gpSingleton_ != NULL" when there is none. Holds
    //! gMutex_.
    static void Destroy();

    FactoryMap oFactories_;
    Catalogue aCatalogue_;
    ClientIndex oClientIndex_;
    // internal::metaDataAssignments() when oClientIndex_ was last known to match the records.
    std::atomic<unsigned long> nIndexedAssignments_;

    static NodeLibrarian* gpSingleton_;
    static std::recursive_mutex gMutex_;
};

} // namespace DataFlow
} // namespace Mirel
