#pragma once

#include "core/Core.h"
#include "data_flow/Export.h"
#include "data_flow/nodes/ProcessLock.h"
#include "data_flow/parameters/ParameterSet.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <utility>
#include <vector>

namespace Mirel {
namespace DataFlow {

class Controller;
class InputConnector;
class OutputConnector;
class ParameterBase;

/** Base class of every vertex of a dataflow graph.

    Vocabulary: a node's inputs are fed by the outputs of other nodes, its producers; the nodes
    its outputs feed are its consumers; the sink is the node an evaluation starts from. A node is
    ready when every producer has delivered and none of its own outputs still holds an unflushed
    result. Bound data is storage attached to a connector from outside the evaluation
    (Connector::setBoundData); it never blocks readiness. A slice is a sub-range of the work that
    rangeToProcess() offers, processed by processSlice() on the scheduler's threads.

    Node kinds derive from Node, own their connectors and member parameters, register them with
    addInput, addOutput and registerParameter, and override the evaluation hooks. The node keeps
    non-owning pointers only. Every node has a debug identity, its name followed by a per-name
    ordinal ("blur [2]"), from a process-wide index that Library::initialize creates; nodes are
    therefore made after the library is up and destroyed before it goes down.

    Nothing here locks: links, parameters, dirty flags and the debug index are changed by the host
    while no evaluation runs. The Controller holds the processing lock around process(). */
class DATA_FLOW_API Node {
public:
    //! A marking for clients' graph traversals; the library only stores it. New nodes are kWhite.
    enum teColor : std::uint32_t { kWhite = 0, kGray = 1, kBlack = 2 };

    //! The work a node offers in slices: indices [0, numberOfItems), each worth itemSize units.
    class BlockedRange {
    public:
        BlockedRange(std::size_t itemSize = 0, std::size_t numberOfItems = 0,
                     std::size_t reserved = 0) noexcept
            : itemSize(itemSize)
            , numberOfItems(numberOfItems)
            , reserved(reserved) {}

        std::size_t itemSize;      //!< work units per index; divides the minimum grain size
        std::size_t numberOfItems; //!< number of indices; 0 means nothing to slice
        std::size_t reserved;      //!< not read by the library
    };

    using InputVector = std::vector<InputConnector*, MirelAllocator<InputConnector*>>;
    using OutputVector = std::vector<OutputConnector*, MirelAllocator<OutputConnector*>>;

    //! Makes a node and enters it in the debug index; throws InternalException when the library
    //! is not initialised.
    explicit Node(String const& name);
    Node(Node const&) = delete;
    Node& operator=(Node const&) = delete;

    // Virtual operations: client modules derive from Node, so their order is part of the
    // binary interface and must not change.

    //! Leaves the debug index and frees the lists; neither deletes nor unlinks the connectors.
    virtual ~Node();
    //! Prints the identity and every link; an unlinked connector's peer reads "(unlinked)".
    virtual void debugWrite(std::ostream& os) const;
    //! Remembers the controller the node was added to; nothing ever resets it.
    virtual void setController(Controller& controller);
    //! Client hook; does nothing by default.
    virtual void emit();
    //! Client hook; false by default.
    virtual bool canEmit() const;
    //! Client hook; true by default.
    virtual bool hasBufferChanged();
    //! Flushes the inputs, then the outputs, then clears the processing state.
    virtual void flush();
    //! Unlinks every connector of the node on both sides: afterwards no output of the node
    //! points at an input, also one that let go of it with connect(nullptr).
    virtual void disconnect();
    //! Calls flush() on every output in registration order.
    virtual void flushOutputs();
    //! Calls flush() on every input in registration order.
    virtual void flushInputs();
    //! True when no output holds unbound data and every input's producer output has data; false
    //! for an unlinked input. No allocation, no lock.
    virtual bool isReady() const;
    //! preProcess(), internalProcess(), postProcess(); an exception stops the sequence.
    virtual void process();
    //! Processes the indices [begin, end); may run concurrently on disjoint ranges. The default
    //! throws InternalException "0": node kinds that offer a range override it.
    virtual void processSlice(std::size_t begin, std::size_t end);
    //! The range processSlices hands out in slices; {0, 0, 0} (nothing to slice) by default.
    virtual BlockedRange rangeToProcess() const;

protected:
    //! acquireData() on every input, in registration order.
    virtual void preProcess();
    //! The node kind's computation: reads the inputs, publishes on the outputs. Does nothing here.
    virtual void internalProcess();
    //! releaseData() on every input, in registration order; outputs keep their results.
    virtual void postProcess();

public:
    String const& name() const noexcept { return sName_; }
    //! Renames the node and gives it a fresh ordinal under the new name, even an unchanged one.
    //! When it throws (out of memory), the node keeps its name and its identity.
    void setName(String const& name);
    //! The name followed by the per-name ordinal in brackets: "blur [2]". Throws
    //! InternalException when the node is not in the debug index.
    String debugId() const;

    unsigned int priority() const noexcept { return nPriority_; }
    void setPriority(unsigned int priority) noexcept { nPriority_ = priority; }
    teColor color() const noexcept { return eColor_; }
    void setColor(teColor color) noexcept { eColor_ = color; }
    Controller* controller() noexcept { return pController_; }
    Controller const* controller() const noexcept { return pController_; }
    //! Read without the lock by a thread that reaches the node while another processes it.
    bool isProcessing() const noexcept { return iProcessing_.load(std::memory_order_relaxed) > 0; }
    void setProcessing(bool processing) noexcept {
        iProcessing_.store(processing ? 1 : 0, std::memory_order_relaxed);
    }

    std::size_t numberOfInputs() const noexcept { return aInputs_.size(); }
    std::size_t numberOfOutputs() const noexcept { return aOutputs_.size(); }
    //! The i-th input; throws InternalException "Range error: iInput < aInputs_.size()".
    InputConnector* input(std::size_t iInput);
    InputConnector const* input(std::size_t iInput) const;
    //! The i-th output; throws InternalException "Range error: iOutput < aOutputs_.size()".
    OutputConnector* output(std::size_t iOutput);
    OutputConnector const* output(std::size_t iOutput) const;
    //! The first input registered under exactly this name, or null.
    InputConnector* input(String const& name);
    InputConnector const* input(String const& name) const;
    //! The first output registered under exactly this name, or null.
    OutputConnector* output(String const& name);
    OutputConnector const* output(String const& name) const;
    //! Appends the parameter's proxy input to the inputs and returns it. The caller owns the
    //! proxy (tagged new); the parameter stays in the parameter set.
    InputConnector* convertToConnector(ParameterBase* parameter);

    ParameterSet& parameters() noexcept { return oParameters_; }
    ParameterSet const& parameters() const noexcept { return oParameters_; }
    std::size_t numberOfParameters() const { return oParameters_.size(); }
    //! The i-th parameter; out of range the set throws its own range error.
    ParameterBase* parameter(std::size_t iParameter);
    ParameterBase const* parameter(std::size_t iParameter) const;
    //! The first parameter of that name, or null.
    ParameterBase* parameter(String const& name);
    ParameterBase const* parameter(String const& name) const;

    //! The dirty flag; changed only by updateDirtyState().
    bool isDirty() const noexcept { return bDirty_; }
    //! Dirty when a producer node is dirty or a parameter changed since the last call; consumes
    //! every parameter's simple-caching change. Call on producers before their consumers.
    void updateDirtyState();
    //! True when some parameter was dirty; cleans all of them in the same call.
    bool hasDirtyParameters();
    //! True when some output should hold on to its data (OutputConnector::keepsCache).
    bool keepsCache() const;

protected:
    //! Registers an input; no checks (null, duplicates and repeated names are accepted).
    void addInput(InputConnector* input) { aInputs_.push_back(input); }
    //! Registers an output; no checks.
    void addOutput(OutputConnector* output) { aOutputs_.push_back(output); }
    //! Adds a member parameter through a handle that never deletes it: the node kind owns it.
    void registerParameter(ParameterBase* parameter);
    //! Always true.
    bool hasUniqueName(ParameterBase* parameter) const;

    //! True when the node of some input's producer is dirty; unlinked inputs are skipped.
    bool hasDirtyProducer() const;
    //! True when some parameter's simple-caching flag is up; asks every one, changes nothing.
    bool hasDirtyParametersSimpleCaching() const;
    //! Lowers every parameter's simple-caching flag.
    void setCleanAllParametersSimpleCaching();

private:
    friend class Controller;

    String sName_;
    Controller* pController_;
    std::uint32_t nPriority_; // 0 until a client sets it; the library never reads it
    teColor eColor_;
    ProcessLock oProcessLock_;
    std::atomic<std::int32_t> iProcessing_; // a whole 32-bit value, read across threads
    ParameterSet oParameters_;
    OutputVector aOutputs_;
    InputVector aInputs_;
    bool bDirty_;
};

//! Writes node.debugWrite(os) through the virtual table; returns os.
DATA_FLOW_API std::ostream& operator<<(std::ostream& os, Node const& node);

} // namespace DataFlow
} // namespace Mirel
