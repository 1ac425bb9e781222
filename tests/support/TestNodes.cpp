#include "support/TestNodes.h"

#include <limits>

namespace test {

using Mirel::String;

void LibraryTest::SetUp() {
    LeakChecked::SetUp();
    Mirel::Core::Library::initialize();
    Mirel::DataFlow::Library::initialize();
}

void LibraryTest::TearDown() {
    // A test may take the library down itself; the leak count must still see everything freed.
    if (Mirel::DataFlow::Library::isInitialized())
        Mirel::DataFlow::Library::terminate();
    Mirel::Core::Library::terminate();
    LeakChecked::TearDown();
}

CountingNode::CountingNode(String const& name, EventLog* pLog)
    : Node(name)
    , pLog_(pLog) {}

void CountingNode::noteProcess() {
    ++iProcessCount_;
    if (pLog_ != nullptr)
        pLog_->push_back(std::string(name().c_str()) + " process");
}

FloatSource::FloatSource(String const& name, float value, EventLog* pLog)
    : CountingNode(name, pLog)
    , oOut_("out", this)
    , fValue_(value) {
    addOutput(&oOut_);
}

void FloatSource::internalProcess() {
    noteProcess();
    oOut_.setData(MIREL_NEW float(fValue_));
}

FloatAddOne::FloatAddOne(String const& name, EventLog* pLog)
    : CountingNode(name, pLog)
    , oIn_("in", this)
    , oOut_("out", this) {
    addInput(&oIn_);
    addOutput(&oOut_);
}

void FloatAddOne::internalProcess() {
    noteProcess();
    oOut_.setData(MIREL_NEW float(oIn_.value() + 1.0f));
}

FloatSink::FloatSink(String const& name, EventLog* pLog)
    : CountingNode(name, pLog)
    , oIn_("in", this)
    , fLast_(std::numeric_limits<float>::quiet_NaN()) {
    addInput(&oIn_);
}

void FloatSink::internalProcess() {
    noteProcess();
    fLast_ = oIn_.value();
}

RecordingInput::RecordingInput(String const& name, Mirel::DataFlow::Node* pNode, EventLog* pLog)
    : InputConnector(name, pNode)
    , pLog_(pLog) {}

void RecordingInput::log(char const* what) {
    pLog_->push_back(std::string(node()->name().c_str()) + "." + name().c_str() + what);
}

RecordingOutput::RecordingOutput(String const& name, Mirel::DataFlow::Node* pNode, EventLog* pLog)
    : OutputConnector(name, pNode)
    , pLog_(pLog) {}

void RecordingOutput::flush() {
    pLog_->push_back(std::string(node()->name().c_str()) + "." + name().c_str() + " flush");
}

RecordingNode::RecordingNode(String const& name, EventLog* pLog, std::size_t nInputs,
                             std::size_t nOutputs)
    : CountingNode(name, pLog) {
    for (std::size_t i = 0; i < nInputs; ++i) {
        String const sName = String("in") + std::to_string(i).c_str();
        aInputs_.push_back(std::make_unique<RecordingInput>(sName, this, pLog));
        addInput(aInputs_.back().get());
    }
    for (std::size_t i = 0; i < nOutputs; ++i) {
        String const sName = String("out") + std::to_string(i).c_str();
        aOutputs_.push_back(std::make_unique<RecordingOutput>(sName, this, pLog));
        addOutput(aOutputs_.back().get());
    }
}

} // namespace test
