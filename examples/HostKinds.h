#pragma once
// The node kinds the demo host defines itself, next to those of its plugin module.

#include "DemoNode.h"

#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "data_flow/parameters/Parameter.h"

#include <cstddef>
#include <vector>

namespace demo {

/** Measures an image: publishes the grey value below which the given fraction of its pixels
    lies. Fed with the blur's preview, it drives the tone step's level. */
class Measure : public TimedNode {
public:
    Measure();

protected:
    bool compute() override;

private:
    Mirel::DataFlow::ConstInput<Mirel::FloatVector> oImageIn_;
    Mirel::DataFlow::IntervalParameter<float> oFraction_;
    Mirel::DataFlow::OutputTemplate<float> oLevel_;
    std::vector<float> aScratch_;
};

//! The sink: counts the grey values of an image in equal bins over [0, 1] and keeps the counts.
class Histogram : public TimedNode {
public:
    Histogram();

    //! The counts of the last run, bin 0 first; empty before the first run.
    std::vector<std::size_t> const& counts() const { return aCounts_; }

protected:
    bool compute() override;

private:
    Mirel::DataFlow::ConstInput<Mirel::FloatVector> oImageIn_;
    Mirel::DataFlow::IntervalParameter<int> oBins_;
    std::vector<std::size_t> aCounts_;
};

//! Registers Measure and Histogram with the node catalogue (the library must be up).
void registerHostKinds();

} // namespace demo
