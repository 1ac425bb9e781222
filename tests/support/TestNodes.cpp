#include "support/TestNodes.h"

namespace test {

using Mirel::String;
using namespace Mirel::DataFlow;

//! "<prefix><i>": the names of numbered connectors.
static String numbered(char const* prefix, std::size_t i) {
    return String(prefix) + std::to_string(i).c_str();
}

HookNode::HookNode(String const& name, std::size_t nInputs, std::size_t nOutputs, EventLog* pLog)
    : Node(name)
    , pLog_(pLog) {
    for (std::size_t i = 0; i < nInputs; ++i) {
        aIns_.push_back(std::make_unique<ConstInput<float>>(numbered("in", i), this));
        addInput(aIns_.back().get());
    }
    for (std::size_t i = 0; i < nOutputs; ++i) {
        aOuts_.push_back(std::make_unique<OutputTemplate<float>>(numbered("out", i), this));
        addOutput(aOuts_.back().get());
    }
}

void HookNode::internalProcess() {
    ++iProcessCount_;
    if (pLog_ != nullptr)
        pLog_->push_back(std::string(name().c_str()) + " process");
    oThread_ = std::this_thread::get_id();
    if (onProcess)
        onProcess(*this);
    float fSum = 1.0f;
    for (auto& pIn : aIns_)
        fSum += pIn->value();
    fResult_ = fSum;
    for (auto& pOut : aOuts_)
        pOut->setData(MIREL_NEW float(fSum));
}

RecordingNode::RecordingNode(String const& name, EventLog* pLog, std::size_t nInputs,
                             std::size_t nOutputs)
    : Node(name)
    , pLog_(pLog) {
    for (std::size_t i = 0; i < nInputs; ++i) {
        aIns_.push_back(std::make_unique<PlainInput>(numbered("in", i), this, pLog));
        addInput(aIns_.back().get());
    }
    for (std::size_t i = 0; i < nOutputs; ++i) {
        aOuts_.push_back(std::make_unique<PlainOutput>(numbered("out", i), this, pLog));
        addOutput(aOuts_.back().get());
    }
}

void RecordingNode::internalProcess() {
    pLog_->push_back(std::string(name().c_str()) + " process");
}

} // namespace test
