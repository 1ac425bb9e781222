#include "HostKinds.h"

#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/librarian/NodeMetaData.h"

#include <algorithm>

using namespace Mirel::DataFlow;

namespace demo {

Measure::Measure()
    : TimedNode("measure")
    , oImageIn_("image", this)
    , oFraction_(0.5f, 0.0f, 1.0f, "fraction", "share of pixels below the measured level")
    , oLevel_("level", this) {
    addInput(&oImageIn_);
    registerParameter(&oFraction_);
    addOutput(&oLevel_);
}

bool Measure::compute() {
    Mirel::FloatVector const& image = oImageIn_.value();
    MIREL_THROW_UNLESS(!image.empty(), Mirel::ParameterException, "!image.empty()");
    aScratch_.assign(image.begin(), image.end());
    float const fraction = std::min(1.0f, std::max(0.0f, oFraction_.value()));
    auto const nth = aScratch_.begin() + std::ptrdiff_t(fraction * float(aScratch_.size() - 1));
    std::nth_element(aScratch_.begin(), nth, aScratch_.end());
    oLevel_.publish(*nth);
    return true;
}

Histogram::Histogram()
    : TimedNode("histogram")
    , oImageIn_("image", this)
    , oBins_(16, 2, 64, "bins", "number of equal bins over [0, 1]") {
    addInput(&oImageIn_);
    registerParameter(&oBins_);
}

bool Histogram::compute() {
    std::size_t const nBins = std::size_t(std::max(2, oBins_.value()));
    aCounts_.assign(nBins, 0);
    for (float value : oImageIn_.value()) {
        float const t = std::min(1.0f, std::max(0.0f, value));
        ++aCounts_[std::min(nBins - 1, std::size_t(t * float(nBins)))];
    }
    return true;
}

namespace {
Node* createMeasure(NodeTargetType) {
    return MIREL_NEW Measure();
}
Node* createHistogram(NodeTargetType) {
    return MIREL_NEW Histogram();
}
} // namespace

void registerHostKinds() {
    NodeLibrarian* pLibrarian = NodeLibrarian::Instance();
    pLibrarian->add(&createMeasure, MIREL_NEW NodeMetaData(
                                        "Measure", "analysis", "example-host", 1,
                                        "grey level at a given fraction of the pixels", "measure"));
    pLibrarian->add(&createHistogram,
                    MIREL_NEW NodeMetaData("Histogram", "analysis", "example-host", 1,
                                           "grey-value histogram, kept by the sink", "histogram"));
}

} // namespace demo
