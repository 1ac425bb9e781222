#include "data_flow/nodes/Node.h"

#include "data_flow/connectors/Connector.h"
#include "data_flow/parameters/ParameterBase.h"
#include "data_flow/private/Lifecycle.h"

#include <algorithm>
#include <map>
#include <ostream>
#include <sstream>
#include <utility>

namespace Mirel {
namespace DataFlow {

namespace {

// The debug index: every live node's ordinal, and per name the next ordinal to give. Both exist
// while the library is initialised.
using IndexMap = std::map<Node const*, int, std::less<Node const*>,
                          MirelAllocator<std::pair<Node const* const, int>>>;
using NameCounter =
    std::map<String, int, std::less<String>, MirelAllocator<std::pair<String const, int>>>;
IndexMap* pIndexMap_ = nullptr;
NameCounter* pNameCounter_ = nullptr;

using StringStream = std::basic_ostringstream<char, std::char_traits<char>, MirelAllocator<char>>;

// What debugWrite prints in place of the peer of a connector that is not linked.
constexpr char const* kUnlinked = "(unlinked)";

// Writes "<peer node's debug identity> : <peer connector's name>"; a peer that belongs to no
// node is shown as such rather than failing.
void writePeer(std::ostream& os, Connector const& peer) {
    if (peer.node() != nullptr)
        os << peer.node()->debugId();
    else
        os << "(no node)";
    os << " : " << peer.name();
}

template <class Vector>
typename Vector::value_type findByName(Vector const& connectors, String const& name) {
    auto it = std::find_if(connectors.begin(), connectors.end(), ConnectorNameEquals(name));
    return it == connectors.end() ? nullptr : *it;
}

} // namespace

// --- Construction and naming -------------------------------------------------------------------

Node::Node(String const& name)
    : sName_(name)
    , pController_(nullptr)
    , nPriority_(0)
    , eColor_(kWhite)
    , iProcessing_(0)
    , bDirty_(false) {
    internal::debugAddNode(this, sName_);
}

Node::~Node() {
    // A node outliving the library's index (terminate ran first) has nothing left to leave; a
    // destructor must not throw for it.
    if (pIndexMap_ != nullptr)
        pIndexMap_->erase(this);
}

void Node::setName(String const& name) {
    // The same as leaving the index and entering it again under the new name, but everything
    // that can run out of memory happens before the node changes: a failed rename leaves the
    // node its name and its identity.
    MIREL_CHECK(pIndexMap_ && pNameCounter_, "pIndexMap_");
    auto it = pIndexMap_->find(this);
    MIREL_CHECK(it != pIndexMap_->end(), "pIndexMap_->find( pNode ) != pIndexMap_->end()");
    String sName(name);
    int& iCounter = (*pNameCounter_)[sName];
    it->second = iCounter++;
    sName_.swap(sName);
}

// --- Debug index -------------------------------------------------------------------------------

void internal::initializeNodeMaps() {
    MIREL_CHECK(!pIndexMap_, "!pIndexMap_");
    MIREL_CHECK(!pNameCounter_, "!pNameCounter_");
    IndexMap* pIndexMap = MIREL_NEW IndexMap();
    try {
        pNameCounter_ = MIREL_NEW NameCounter();
    } catch (...) {
        Core::destroy(pIndexMap);
        throw;
    }
    pIndexMap_ = pIndexMap;
}

bool internal::nodeMapsExist() noexcept {
    return pIndexMap_ != nullptr;
}

void internal::terminateNodeMaps() {
    MIREL_CHECK(pIndexMap_, "pIndexMap_");
    MIREL_CHECK(pNameCounter_, "pNameCounter_");
    Core::destroy(pIndexMap_);
    Core::destroy(pNameCounter_);
    pIndexMap_ = nullptr;
    pNameCounter_ = nullptr;
}

void internal::debugAddNode(Node const* pNode, String const& name) {
    // Without the maps the library is down; nodes are made only while it is up.
    MIREL_CHECK(pIndexMap_ && pNameCounter_, "pIndexMap_");
    MIREL_CHECK(pIndexMap_->find(pNode) == pIndexMap_->end(),
                "pIndexMap_->find( pNode ) == pIndexMap_->end()");
    auto const counter = pNameCounter_->try_emplace(name, 0);
    try {
        pIndexMap_->emplace(pNode, counter.first->second);
    } catch (...) {
        if (counter.second) // a name that never got a node leaves no counter behind
            pNameCounter_->erase(counter.first);
        throw;
    }
    ++counter.first->second;
}

void internal::debugRemoveNode(Node const* pNode) {
    MIREL_CHECK(pIndexMap_, "pIndexMap_");
    auto it = pIndexMap_->find(pNode);
    MIREL_CHECK(it != pIndexMap_->end(), "pIndexMap_->find( pNode ) != pIndexMap_->end()");
    pIndexMap_->erase(it);
}

int internal::nodeIndex(Node const* pNode) {
    MIREL_CHECK(pIndexMap_, "pIndexMap_");
    auto it = pIndexMap_->find(pNode);
    MIREL_CHECK(it != pIndexMap_->end(), "pIndexMap_->find( pNode ) != pIndexMap_->end()");
    return it->second;
}

String Node::debugId() const {
    int const iIndex = internal::nodeIndex(this);
    StringStream os;
    os << sName_ << " [" << iIndex << "]";
    return os.str();
}

// --- Debug output ------------------------------------------------------------------------------

void Node::debugWrite(std::ostream& os) const {
    os << "Node ";
    String const sId = debugId();
    os << sId << "\n";
    os << "  " << numberOfInputs() << " inputs\n";
    for (std::size_t i = 0; i < numberOfInputs(); ++i) {
        InputConnector const* pInput = input(i);
        OutputConnector const* pProducer = pInput->connectedOutput();
        os << "  ";
        if (pProducer != nullptr)
            writePeer(os, *pProducer);
        else
            os << kUnlinked;
        os << " -> " << sId << " : " << pInput->name() << "\n";
    }
    os << "  " << numberOfOutputs() << " outputs\n";
    for (std::size_t i = 0; i < numberOfOutputs(); ++i) {
        OutputConnector const* pOutput = output(i);
        InputConnector const* pConsumer = pOutput->connectedInput();
        os << "  " << sId << " : " << pOutput->name() << " -> ";
        if (pConsumer != nullptr)
            writePeer(os, *pConsumer);
        else
            os << kUnlinked;
        os << "\n";
    }
}

std::ostream& operator<<(std::ostream& os, Node const& node) {
    node.debugWrite(os);
    return os;
}

// --- Simple virtual defaults -------------------------------------------------------------------

void Node::setController(Controller& controller) {
    pController_ = &controller;
}

void Node::emit() {}

bool Node::canEmit() const {
    return false;
}

bool Node::hasBufferChanged() {
    return true;
}

// --- Connectors and parameters -----------------------------------------------------------------

// The non-const twins share the const forms' checks: the node hands out its own connectors.
InputConnector* Node::input(std::size_t iInput) {
    return const_cast<InputConnector*>(std::as_const(*this).input(iInput));
}

InputConnector const* Node::input(std::size_t iInput) const {
    MIREL_CHECK(iInput < aInputs_.size(), "Range error: iInput < aInputs_.size()");
    return aInputs_[iInput];
}

OutputConnector* Node::output(std::size_t iOutput) {
    return const_cast<OutputConnector*>(std::as_const(*this).output(iOutput));
}

OutputConnector const* Node::output(std::size_t iOutput) const {
    MIREL_CHECK(iOutput < aOutputs_.size(), "Range error: iOutput < aOutputs_.size()");
    return aOutputs_[iOutput];
}

InputConnector* Node::input(String const& name) {
    return findByName(aInputs_, name);
}

InputConnector const* Node::input(String const& name) const {
    return findByName(aInputs_, name);
}

OutputConnector* Node::output(String const& name) {
    return findByName(aOutputs_, name);
}

OutputConnector const* Node::output(String const& name) const {
    return findByName(aOutputs_, name);
}

InputConnector* Node::convertToConnector(ParameterBase* parameter) {
    // Make room first so that the proxy, once made, cannot be lost to a failed append.
    aInputs_.reserve(aInputs_.size() + 1);
    InputConnector* pProxy = parameter->createProxyConnector(this);
    aInputs_.push_back(pProxy);
    return pProxy;
}

ParameterBase* Node::parameter(std::size_t iParameter) {
    return oParameters_.parameter(iParameter).get();
}

ParameterBase const* Node::parameter(std::size_t iParameter) const {
    return oParameters_.parameter(iParameter).get();
}

ParameterBase* Node::parameter(String const& name) {
    return oParameters_.getParameter(name).get();
}

ParameterBase const* Node::parameter(String const& name) const {
    return oParameters_.getParameter(name).get();
}

void Node::registerParameter(ParameterBase* parameter) {
    oParameters_.insert(boost::shared_ptr<ParameterBase>(parameter, NullDeleter(),
                                                         MirelAllocator<ParameterBase>()));
}

bool Node::hasUniqueName(ParameterBase*) const {
    return true;
}

// --- Evaluation --------------------------------------------------------------------------------

bool Node::isReady() const {
    // Inputs first: a visit first asks a node before its producers have run, and the first input
    // without data answers at once.
    for (InputConnector const* pInput : aInputs_)
        if (!pInput->dataAvailable()) // false for an unlinked input too
            return false;
    for (OutputConnector const* pOutput : aOutputs_)
        if (pOutput->hasData() && !pOutput->bound())
            return false; // a result not yet flushed: the node must not run again
    return true;
}

void Node::process() {
    preProcess();
    internalProcess();
    postProcess();
}

void Node::preProcess() {
    for (InputConnector* pInput : aInputs_)
        pInput->acquireData();
}

void Node::internalProcess() {}

void Node::postProcess() {
    for (InputConnector* pInput : aInputs_)
        pInput->releaseData();
}

void Node::processSlice(std::size_t, std::size_t) {
    MIREL_CHECK(false, "0");
}

Node::BlockedRange Node::rangeToProcess() const {
    return BlockedRange(0, 0, 0);
}

void Node::flush() {
    flushInputs();
    flushOutputs();
    iProcessing_.store(0, std::memory_order_relaxed);
}

void Node::flushInputs() {
    for (InputConnector* pInput : aInputs_)
        pInput->flush();
}

void Node::flushOutputs() {
    for (OutputConnector* pOutput : aOutputs_)
        pOutput->flush();
}

void Node::disconnect() {
    // The outputs themselves are unlinked: an input that let go with connect(nullptr) is still
    // pointed at by its former producer, and may have been linked elsewhere since.
    for (OutputConnector* pOutput : aOutputs_)
        pOutput->disconnect();
    for (InputConnector* pInput : aInputs_)
        pInput->disconnect();
}

// --- Dirty state -------------------------------------------------------------------------------

bool Node::hasDirtyProducer() const {
    for (InputConnector const* pInput : aInputs_) {
        OutputConnector const* pProducer = pInput->connectedOutput();
        if (pProducer != nullptr && pProducer->node() != nullptr && pProducer->node()->isDirty())
            return true;
    }
    return false;
}

bool Node::hasDirtyParametersSimpleCaching() const {
    bool bDirty = false;
    for (auto const& pParameter : oParameters_)
        bDirty = pParameter->isDirtySimpleCaching() || bDirty; // every parameter is asked
    return bDirty;
}

void Node::setCleanAllParametersSimpleCaching() {
    for (auto const& pParameter : oParameters_)
        pParameter->setCleanSimpleCaching();
}

void Node::updateDirtyState() {
    bDirty_ = hasDirtyProducer() || hasDirtyParametersSimpleCaching();
    setCleanAllParametersSimpleCaching();
}

bool Node::hasDirtyParameters() {
    bool bDirty = false;
    for (auto const& pParameter : oParameters_) {
        if (pParameter->isDirty()) {
            pParameter->setClean();
            bDirty = true;
        }
    }
    return bDirty;
}

bool Node::keepsCache() const {
    for (OutputConnector const* pOutput : aOutputs_)
        if (pOutput->keepsCache())
            return true;
    return false;
}

} // namespace DataFlow
} // namespace Mirel
