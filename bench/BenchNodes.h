#pragma once
// The trivial float node kinds the benchmarks build graphs of.

#include "core/Core.h"
#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "data_flow/nodes/Node.h"

namespace bench {

//! No inputs; publishes 1 on its output "out".
class Source : public Mirel::DataFlow::Node {
public:
    explicit Source(Mirel::String const& name)
        : Node(name)
        , oOut_("out", this) {
        addOutput(&oOut_);
    }
    Mirel::DataFlow::OutputTemplate<float>& out() { return oOut_; }

protected:
    void internalProcess() override { oOut_.publish(1.0f); }

private:
    Mirel::DataFlow::OutputTemplate<float> oOut_;
};

//! The 1-input, 1-output float node: publishes its input plus one.
class AddOne : public Mirel::DataFlow::Node {
public:
    explicit AddOne(Mirel::String const& name)
        : Node(name)
        , oIn_("in", this)
        , oOut_("out", this) {
        addInput(&oIn_);
        addOutput(&oOut_);
    }
    Mirel::DataFlow::ConstInput<float>& in() { return oIn_; }
    Mirel::DataFlow::OutputTemplate<float>& out() { return oOut_; }

protected:
    void internalProcess() override { oOut_.publish(oIn_.value() + 1.0f); }

private:
    Mirel::DataFlow::ConstInput<float> oIn_;
    Mirel::DataFlow::OutputTemplate<float> oOut_;
};

//! Source publishing with setData(MIREL_NEW float(...)), the way node kinds are usually written.
class SetDataSource : public Source {
public:
    using Source::Source;

protected:
    void internalProcess() override { out().setData(MIREL_NEW float(1.0f)); }
};

//! AddOne publishing with setData(MIREL_NEW float(...)).
class SetDataAddOne : public AddOne {
public:
    using AddOne::AddOne;

protected:
    void internalProcess() override { out().setData(MIREL_NEW float(in().value() + 1.0f)); }
};

/** A cell of a lattice: up to two inputs ("up", "left") and up to two outputs ("down",
    "right"); publishes the sum of its inputs plus one on each output it has. Connectors a cell
    does not use are not registered. */
class LatticeNode : public Mirel::DataFlow::Node {
public:
    LatticeNode(Mirel::String const& name, bool bUp, bool bLeft, bool bDown, bool bRight)
        : Node(name)
        , oUp_("up", this)
        , oLeft_("left", this)
        , oDown_("down", this)
        , oRight_("right", this)
        , bUp_(bUp)
        , bLeft_(bLeft)
        , bDown_(bDown)
        , bRight_(bRight) {
        if (bUp)
            addInput(&oUp_);
        if (bLeft)
            addInput(&oLeft_);
        if (bDown)
            addOutput(&oDown_);
        if (bRight)
            addOutput(&oRight_);
    }
    Mirel::DataFlow::ConstInput<float>& up() { return oUp_; }
    Mirel::DataFlow::ConstInput<float>& left() { return oLeft_; }
    Mirel::DataFlow::OutputTemplate<float>& down() { return oDown_; }
    Mirel::DataFlow::OutputTemplate<float>& right() { return oRight_; }

protected:
    void internalProcess() override {
        float const v = (bUp_ ? oUp_.value() : 0.0f) + (bLeft_ ? oLeft_.value() : 0.0f) + 1.0f;
        if (bDown_)
            oDown_.publish(v);
        if (bRight_)
            oRight_.publish(v);
    }

private:
    Mirel::DataFlow::ConstInput<float> oUp_;
    Mirel::DataFlow::ConstInput<float> oLeft_;
    Mirel::DataFlow::OutputTemplate<float> oDown_;
    Mirel::DataFlow::OutputTemplate<float> oRight_;
    bool bUp_, bLeft_, bDown_, bRight_;
};

} // namespace bench
