#pragma once
// Node kinds shared by the node, librarian and controller tests, and the fixture that brings the
// library up around a test.

#include "support/TestSupport.h"

#include "data_flow/DataFlowLibrary.h"
#include "data_flow/connectors/Connector.h"
#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "data_flow/nodes/Node.h"

#include <memory>
#include <string>
#include <vector>

namespace test {

/** Initialises the core library and data_flow's Library in SetUp and terminates both in
    TearDown; the leak count spans both, so the node index and the catalogue must be given back
    too. Create nodes inside the test body: they must be gone before TearDown runs. */
class LibraryTest : public LeakChecked {
protected:
    void SetUp() override;
    void TearDown() override;
};

//! A shared record of what happened, in order ("src process", "a.in0 acquire", ...).
using EventLog = std::vector<std::string>;

/** Base of the float test kinds: counts process() runs (internalProcess calls) and, when given
    a log, appends "<name> process" to it. */
class CountingNode : public Mirel::DataFlow::Node {
public:
    explicit CountingNode(Mirel::String const& name, EventLog* pLog = nullptr);

    int processCount() const { return iProcessCount_; }

protected:
    //! Counts the run and logs it; every test kind's internalProcess starts with it.
    void noteProcess();

private:
    EventLog* pLog_;
    int iProcessCount_ = 0;
};

//! No inputs, one output "out": publishes its value (setData(MIREL_NEW float(v))) when processed.
class FloatSource : public CountingNode {
public:
    FloatSource(Mirel::String const& name, float value, EventLog* pLog = nullptr);

    Mirel::DataFlow::OutputTemplate<float>& out() { return oOut_; }

protected:
    void internalProcess() override;

private:
    Mirel::DataFlow::OutputTemplate<float> oOut_;
    float fValue_;
};

//! Input "in", output "out": publishes the input's value plus 1.
class FloatAddOne : public CountingNode {
public:
    explicit FloatAddOne(Mirel::String const& name, EventLog* pLog = nullptr);

    Mirel::DataFlow::ConstInput<float>& in() { return oIn_; }
    Mirel::DataFlow::OutputTemplate<float>& out() { return oOut_; }

protected:
    void internalProcess() override;

private:
    Mirel::DataFlow::ConstInput<float> oIn_;
    Mirel::DataFlow::OutputTemplate<float> oOut_;
};

//! Input "in": records the value it received.
class FloatSink : public CountingNode {
public:
    explicit FloatSink(Mirel::String const& name, EventLog* pLog = nullptr);

    Mirel::DataFlow::ConstInput<float>& in() { return oIn_; }
    //! The value of the last run; NaN before the first.
    float lastValue() const { return fLast_; }

protected:
    void internalProcess() override;

private:
    Mirel::DataFlow::ConstInput<float> oIn_;
    float fLast_;
};

//! A float input that logs "<node>.<input> acquire|release|flush" and holds no value itself.
class RecordingInput : public Mirel::DataFlow::InputConnector {
public:
    RecordingInput(Mirel::String const& name, Mirel::DataFlow::Node* pNode, EventLog* pLog);

    std::type_info const& datatype() const override { return typeid(float); }
    void acquireData() override { log(" acquire"); }
    void releaseData() override { log(" release"); }
    void flush() override { log(" flush"); }

private:
    void log(char const* what);
    EventLog* pLog_;
};

//! A float output that logs "<node>.<output> flush". Tests publish on it with setDataPtr.
class RecordingOutput : public Mirel::DataFlow::OutputConnector {
public:
    RecordingOutput(Mirel::String const& name, Mirel::DataFlow::Node* pNode, EventLog* pLog);

    std::type_info const& datatype() const override { return typeid(float); }
    void flush() override;

private:
    EventLog* pLog_;
};

/** A node with inputs "in0".. and outputs "out0".. whose connectors log every hook call, and
    whose internalProcess logs "<name> process". For tests of the order of the hooks. */
class RecordingNode : public CountingNode {
public:
    RecordingNode(Mirel::String const& name, EventLog* pLog, std::size_t nInputs,
                  std::size_t nOutputs);

    RecordingInput& recordingInput(std::size_t i) { return *aInputs_.at(i); }
    RecordingOutput& recordingOutput(std::size_t i) { return *aOutputs_.at(i); }

protected:
    void internalProcess() override { noteProcess(); }

private:
    std::vector<std::unique_ptr<RecordingInput>> aInputs_;
    std::vector<std::unique_ptr<RecordingOutput>> aOutputs_;
};

} // namespace test
