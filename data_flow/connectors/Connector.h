#pragma once
/** Connectors are the endpoints of the graph's edges.

    An edge is a pair of mutual links between exactly one OutputConnector (on the producer, the
    node that computes a value) and exactly one InputConnector (on the consumer, the node that
    reads it). There is no fan-out at connector level: an output feeds at most one input and an
    input is fed by at most one output, so linking an output to a second input unlinks the
    first.

    A connector carries an untyped, non-owned pointer to its current value ("data"). Data set
    with setBoundData() is bound data: storage supplied from outside the evaluation, which a
    node's readiness does not wait on and which typed inputs refuse to release. The value type
    is announced by datatype(); two connectors carry the same type when the decorated names of
    their type_info objects are equal strings, so equal types described by separately loaded
    modules still match.

    Nothing here locks: links and data pointers are plain pointer writes, and rewiring must not
    overlap an evaluation of the graph. */

#include "core/String.h"
#include "data_flow/Export.h"
#include "data_flow/nodes/Node.h" // keepsCache reads the nodes' dirty flags

#include <typeinfo>

namespace Mirel {
namespace DataFlow {

class Node;
class Connector;
class InputConnector;
class OutputConnector;

//! Links out and in to each other, unlinking their former peers. Throws InternalException
//! "ConnectorsAreCompatible(out, in)" for different value types, and then changes no link.
DATA_FLOW_API void Connect(OutputConnector& out, InputConnector& in);
//! The same as Connect(out, in).
DATA_FLOW_API void Connect(InputConnector& in, OutputConnector& out);
//! True when a and b carry the same value type (decorated type names compared with strcmp).
DATA_FLOW_API bool ConnectorsAreCompatible(Connector const& a, Connector const& b);

/** Abstract base of inputs and outputs: a name, the declaring node, the carried data pointer
    and the bound flag. A connector owns nothing but its name. */
class DATA_FLOW_API Connector {
public:
    //! A connector named `name`, declared by `node` (not owned); no data, not bound.
    Connector(String name, Node* node);
    //! Releases the name only; a linked connector must be unlinked first if its peer lives on.
    virtual ~Connector();

    //! The run-time type of the carried value.
    virtual std::type_info const& datatype() const = 0;
    //! Carries p as bound data: data() becomes p and bound() true for good.
    virtual void setBoundData(void const* p);

    //! The connector's name, fixed at construction.
    String const& name() const { return sName_; }
    //! The node that declares the connector; not owned.
    Node* node() const { return pNode_; }
    //! The carried value, not owned; null when the connector holds no data.
    void const* data() const { return pData_; }
    //! True when data() is not null.
    bool hasData() const { return pData_ != nullptr; }
    //! True once setBoundData() has run on this connector (or on the one it was copied from).
    bool bound() const { return bBound_; }
    //! Publishes p (null clears); the bound flag is left as it is.
    void setDataPtr(void const* p) { pData_ = p; }

    Connector& operator=(Connector const&) = delete;

protected:
    //! Copies name, node and bound flag; the copy carries no data.
    Connector(Connector const& other);

private:
    String sName_;
    Node* pNode_;
    void const* pData_;
    bool bBound_;
};

/** The consumer's end of an edge. Node evaluation calls acquireData() on every input before the
    node computes, releaseData() after it, and flush() when the graph is flushed. */
class DATA_FLOW_API InputConnector : public Connector {
public:
    //! An unlinked input.
    InputConnector(String name, Node* node);
    //! Copies the Connector part (without data) and the producer link; the producer is not
    //! told, so it still points only at the input that was copied.
    InputConnector(InputConnector const& other);

    //! Takes the producer's value before the node computes.
    virtual void acquireData() = 0;
    //! Lets go of the value after the node has computed.
    virtual void releaseData() = 0;
    //! True when out is not null and carries the same value type as this input.
    virtual bool canConnect(OutputConnector* out);
    //! Drops what the input holds when the graph is flushed.
    virtual void flush() = 0;

    //! The producer's output this input is linked to; null when unlinked.
    OutputConnector* connectedOutput() { return pConnectedOutput_; }
    OutputConnector const* connectedOutput() const { return pConnectedOutput_; }

    /** Links to out with Connect(*out, *this) and answers true; false, with nothing changed,
        when Connect throws (incompatible types), which never propagates. A null out only
        clears this input's link and answers true: the former producer is not told. */
    bool connect(OutputConnector* out);
    //! Forgets the peer, which forgets this connector too unless it has been linked elsewhere
    //! since; nothing when unlinked.
    void disconnect();
    //! True when the linked output has data; false for an unlinked input.
    bool dataAvailable() const;

protected:
    //! Points this input at out; the output is not touched.
    void connectWith(OutputConnector* out) { pConnectedOutput_ = out; }

private:
    friend class OutputConnector;
    friend void Connect(OutputConnector& out, InputConnector& in);

    OutputConnector* pConnectedOutput_;
};

/** The producer's end of an edge. The producing node publishes its result with setDataPtr (or a
    typed output's own setData); flush() decides what survives a graph flush. */
class DATA_FLOW_API OutputConnector : public Connector {
public:
    //! An unlinked output that does not ask to keep its cache.
    OutputConnector(String name, Node* node);
    //! True for an OutputTemplate<T> (T being datatype()): the outputs a ConstInput<T> reads.
    bool isOutputTemplate() const noexcept { return bOutputTemplate_; }

    //! Drops (or keeps, see keepsCache) the published result when the graph is flushed.
    virtual void flush() = 0;

    //! The consumer's input this output feeds; null when unlinked.
    InputConnector* connectedInput() { return pConnectedInput_; }
    InputConnector const* connectedInput() const { return pConnectedInput_; }

    //! Forgets the peer, which forgets this connector too unless it has been linked elsewhere
    //! since; nothing when unlinked.
    void disconnect();
    //! Asks that this output hold on to its data across flushes (see keepsCache).
    void keepCache(bool keep) { bKeepCache_ = keep; }
    /** Whether the output should hold on to its data: when asked to with keepCache(true), or
        when its own node is clean while the node it feeds is dirty. Reads the nodes' dirty
        flags, so the output needs a node unless keepCache(true) was asked. */
    bool keepsCache() const;

protected:
    enum teOutputTemplate { kOutputTemplate };
    //! The constructor of OutputTemplate<T>.
    OutputConnector(String name, Node* node, teOutputTemplate);
    //! Copies the Connector part (without data), the keep-cache request and what isOutputTemplate
    //! answers; the copy is unlinked.
    OutputConnector(OutputConnector const& other);
    //! Points this output at in; the input is not touched.
    void connectWith(InputConnector* in) { pConnectedInput_ = in; }

private:
    friend class InputConnector;
    friend void Connect(OutputConnector& out, InputConnector& in);

    InputConnector* pConnectedInput_;
    bool bKeepCache_;
    bool bOutputTemplate_;
};

// Inline: a visit asks every input of every node twice.
inline bool InputConnector::dataAvailable() const {
    return pConnectedOutput_ != nullptr && pConnectedOutput_->hasData();
}

// Inline: a graph flush asks every output.
inline bool OutputConnector::keepsCache() const {
    if (bKeepCache_)
        return true;
    // An output without a node has no dirty state to go by: it keeps nothing unless asked to.
    if (node() == nullptr || node()->isDirty())
        return false;
    if (pConnectedInput_ == nullptr)
        return false;
    Node const* pConsumer = pConnectedInput_->node();
    return pConsumer != nullptr && pConsumer->isDirty();
}

/** Predicate for lookups by name: true for the connector whose name equals the held one exactly
    (byte-wise, case-sensitive). */
class DATA_FLOW_API ConnectorNameEquals {
public:
    explicit ConnectorNameEquals(String name);
    ConnectorNameEquals(ConnectorNameEquals const& other);
    ConnectorNameEquals& operator=(ConnectorNameEquals const& other);
    ~ConnectorNameEquals();

    bool operator()(Connector const* c) const;

private:
    String sName_;
};

} // namespace DataFlow
} // namespace Mirel
