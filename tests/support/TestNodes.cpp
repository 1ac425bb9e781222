#include "support/TestNodes.h"

namespace test {

using Mirel::String;
using namespace Mirel::DataFlow;

void LibraryTest::SetUp() {
    LeakChecked::SetUp();
    Mirel::Core::Library::initialize();
    Library::initialize();
}

void LibraryTest::TearDown() {
    // A test may take the library down itself; the leak count must still see everything freed.
    if (Library::isInitialized())
        Library::terminate();
    Mirel::Core::Library::terminate();
    LeakChecked::TearDown();
}

namespace {

//! "<prefix><i>": the names of numbered connectors.
String numbered(char const* prefix, std::size_t i) {
    return String(prefix) + std::to_string(i).c_str();
}

void note(EventLog* pLog, Connector const& c, char const* what) {
    pLog->push_back(std::string(c.node()->name().c_str()) + "." + c.name().c_str() + what);
}

class RecordingInput : public InputConnector {
public:
    RecordingInput(String const& name, Node* pNode, EventLog* pLog)
        : InputConnector(name, pNode)
        , pLog_(pLog) {}
    std::type_info const& datatype() const override { return typeid(float); }
    void acquireData() override { note(pLog_, *this, " acquire"); }
    void releaseData() override { note(pLog_, *this, " release"); }
    void flush() override { note(pLog_, *this, " flush"); }

private:
    EventLog* pLog_;
};

class RecordingOutput : public OutputConnector {
public:
    RecordingOutput(String const& name, Node* pNode, EventLog* pLog)
        : OutputConnector(name, pNode)
        , pLog_(pLog) {}
    std::type_info const& datatype() const override { return typeid(float); }
    void flush() override { note(pLog_, *this, " flush"); }

private:
    EventLog* pLog_;
};

class OpenController : public Controller {
public:
    using Controller::terminateScheduler;
};

} // namespace

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
        aConnectors_.push_back(std::make_unique<RecordingInput>(numbered("in", i), this, pLog));
        addInput(static_cast<InputConnector*>(aConnectors_.back().get()));
    }
    for (std::size_t i = 0; i < nOutputs; ++i) {
        aConnectors_.push_back(std::make_unique<RecordingOutput>(numbered("out", i), this, pLog));
        addOutput(static_cast<OutputConnector*>(aConnectors_.back().get()));
    }
}

void RecordingNode::internalProcess() {
    pLog_->push_back(std::string(name().c_str()) + " process");
}

SettingsGuard::SettingsGuard()
    : nThreads_(Controller::getNumberOfThreads())
    , nGrain_(Controller::getMinimumGrainSize()) {}

SettingsGuard::~SettingsGuard() {
    Controller::setMinimumGrainSize(nGrain_);
    Controller::setNumberOfThreads(nThreads_);
    if (bRestarted_)
        terminateScheduler();
}

void SettingsGuard::restartScheduler(std::size_t nThreads) {
    bRestarted_ = true;
    Controller::setNumberOfThreads(nThreads);
    terminateScheduler();
}

void SettingsGuard::terminateScheduler() {
    OpenController().terminateScheduler();
}

} // namespace test
