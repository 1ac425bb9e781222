#include "data_flow/connectors/Connector.h"

#include "core/Exceptions.h"

#include <cstring>
#include <utility>

namespace Mirel {
namespace DataFlow {

// Connector ------------------------------------------------------------------------------------

Connector::Connector(String name, Node* node)
    : sName_(std::move(name))
    , pNode_(node)
    , pData_(nullptr)
    , bBound_(false) {}

Connector::Connector(Connector const& other)
    : sName_(other.sName_)
    , pNode_(other.pNode_)
    , pData_(nullptr)
    , bBound_(other.bBound_) {}

Connector::~Connector() = default;

void Connector::setBoundData(void const* p) {
    pData_ = p;
    bBound_ = true;
}

// InputConnector -------------------------------------------------------------------------------

InputConnector::InputConnector(String name, Node* node)
    : Connector(std::move(name), node)
    , pConnectedOutput_(nullptr) {}

InputConnector::InputConnector(InputConnector const& other)
    : Connector(other)
    , pConnectedOutput_(other.pConnectedOutput_) {}

bool InputConnector::canConnect(OutputConnector* out) {
    return out != nullptr && ConnectorsAreCompatible(*this, *out);
}

bool InputConnector::connect(OutputConnector* out) {
    if (out == nullptr) {
        // Only this side forgets the link; the producer keeps pointing here until it is
        // relinked or its node disconnects.
        pConnectedOutput_ = nullptr;
        return true;
    }
    try {
        Connect(*out, *this);
    } catch (...) {
        return false;
    }
    return true;
}

void InputConnector::disconnect() {
    if (pConnectedOutput_ != nullptr && pConnectedOutput_->pConnectedInput_ == this)
        pConnectedOutput_->pConnectedInput_ = nullptr;
    pConnectedOutput_ = nullptr;
}

// OutputConnector ------------------------------------------------------------------------------

OutputConnector::OutputConnector(String name, Node* node)
    : Connector(std::move(name), node)
    , pConnectedInput_(nullptr)
    , bKeepCache_(false)
    , bOutputTemplate_(false) {}

OutputConnector::OutputConnector(String name, Node* node, teOutputTemplate)
    : OutputConnector(std::move(name), node) {
    bOutputTemplate_ = true;
}

OutputConnector::OutputConnector(OutputConnector const& other)
    : Connector(other)
    , pConnectedInput_(nullptr)
    , bKeepCache_(other.bKeepCache_)
    , bOutputTemplate_(other.bOutputTemplate_) {}

void OutputConnector::disconnect() {
    // The input may have let go of this output (connect(nullptr)) and be linked elsewhere now.
    if (pConnectedInput_ != nullptr && pConnectedInput_->pConnectedOutput_ == this)
        pConnectedInput_->pConnectedOutput_ = nullptr;
    pConnectedInput_ = nullptr;
}

// Free functions -------------------------------------------------------------------------------

bool ConnectorsAreCompatible(Connector const& a, Connector const& b) {
    // By name, never by type_info address: separately loaded modules may each hold their own
    // type_info object for the same type.
    return std::strcmp(a.datatype().name(), b.datatype().name()) == 0;
}

void Connect(OutputConnector& out, InputConnector& in) {
    MIREL_CHECK(ConnectorsAreCompatible(out, in), "ConnectorsAreCompatible(out, in)");
    // Whatever the peers point at, the former producer of `in` and the former consumer of
    // `out` end up unlinked on their side; relinking a pair that is already linked is a no-op.
    in.disconnect();
    out.disconnect();
    out.pConnectedInput_ = &in;
    in.pConnectedOutput_ = &out;
}

void Connect(InputConnector& in, OutputConnector& out) {
    Connect(out, in);
}

// ConnectorNameEquals --------------------------------------------------------------------------

ConnectorNameEquals::ConnectorNameEquals(String name)
    : sName_(std::move(name)) {}
ConnectorNameEquals::ConnectorNameEquals(ConnectorNameEquals const& other) = default;
ConnectorNameEquals& ConnectorNameEquals::operator=(ConnectorNameEquals const& other) = default;
ConnectorNameEquals::~ConnectorNameEquals() = default;

bool ConnectorNameEquals::operator()(Connector const* c) const {
    return c->name().compare(sName_) == 0;
}

} // namespace DataFlow
} // namespace Mirel
