// The example plugin module, image_kinds.so: the image node kinds of the demo and of the example
// graph documents, loaded with dlopen by the demo host and by the dataflow tool. The module
// registers its kinds with the node catalogue when the host calls data_flow_plugin_register();
// everything else in it is reached only through the nodes the catalogue creates.
//
// Images travel as Mirel::FloatVector (grey values, row after row) with their size beside them
// as an int2: the library's value types, which the host's documents and tools can show and
// store. Connectors carry a client's own types as well (an OutputTemplate<Image> feeding a
// ConstInput<Image>, across modules too), when nothing outside the graph has to read them.

#include "DemoNode.h"
#include "plugin/FileKinds.h"

#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/librarian/NodeMetaData.h"
#include "data_flow/parameters/Parameter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

using Mirel::FloatVector;
using Mirel::int2;
using Mirel::String;
using namespace Mirel::DataFlow;

namespace {

constexpr float kTwoPi = 6.28318530718f;

//! A repeatable value in [-0.5, 0.5) for a pixel: the fine texture of the second pattern.
float hashNoise(std::uint32_t x, std::uint32_t y, std::uint32_t seed) {
    std::uint32_t h = x * 0x8da6b343u ^ y * 0xd8163841u ^ seed * 0xcb1ab31fu;
    h ^= h >> 15;
    h *= 0x2c1b3c6du;
    h ^= h >> 12;
    h *= 0x297a2d39u;
    h ^= h >> 15;
    return float(h >> 8) * (1.0f / 16777216.0f) - 0.5f;
}

/** Source: a procedural test image, concentric rings fading towards the corners. Version 2
    adds diagonal stripes and a fine texture. Rows are computed in slices. */
class Pattern : public demo::TimedNode {
public:
    explicit Pattern(bool bTextured)
        : TimedNode("pattern")
        , oWidth_(2048, "width", "image width in pixels")
        , oHeight_(2048, "height", "image height in pixels")
        , oFrequency_(24.0f, 1.0f, 200.0f, "frequency", "rings from the centre to the edge")
        , oGrain_(0.25f, 0.0f, 1.0f, "grain", "strength of the stripes and fine texture")
        , oImage_("image", this)
        , oSize_("size", this)
        , bTextured_(bTextured) {
        registerParameter(&oWidth_);
        registerParameter(&oHeight_);
        registerParameter(&oFrequency_);
        if (bTextured_)
            registerParameter(&oGrain_);
        addOutput(&oImage_);
        addOutput(&oSize_);
    }

    BlockedRange rangeToProcess() const override {
        return BlockedRange(std::size_t(oWidth_.value()), std::size_t(oHeight_.value()));
    }

    void processSlice(std::size_t begin, std::size_t end) override {
        int const w = oWidth_.value();
        int const h = oHeight_.value();
        float const fFrequency = oFrequency_.value();
        float const fGrain = bTextured_ ? oGrain_.value() : 0.0f;
        float const fScale = 2.0f / float(std::min(w, h));
        for (std::size_t y = begin; y < end; ++y) {
            float* pRow = pTarget_->data() + y * std::size_t(w);
            float const v = (float(y) - 0.5f * float(h)) * fScale;
            for (int x = 0; x < w; ++x) {
                float const u = (float(x) - 0.5f * float(w)) * fScale;
                float const r = std::sqrt(u * u + v * v);
                float value = 0.5f + 0.45f * std::cos(kTwoPi * fFrequency * r * 0.5f) *
                                         std::exp(-0.6f * r * r);
                if (fGrain > 0.0f) {
                    value += 0.25f * fGrain * std::sin(kTwoPi * 6.0f * (u + v));
                    value += fGrain * hashNoise(std::uint32_t(x), std::uint32_t(y), 7u);
                }
                pRow[x] = std::min(1.0f, std::max(0.0f, value));
            }
        }
    }

protected:
    bool compute() override {
        MIREL_THROW_UNLESS(oWidth_.value() > 0 && oHeight_.value() > 0, Mirel::ParameterException,
                           "width > 0 && height > 0");
        std::size_t const n = std::size_t(oWidth_.value()) * std::size_t(oHeight_.value());
        demo::Owned<FloatVector> pImage(MIREL_NEW FloatVector(n));
        pTarget_ = pImage.get();
        if (!runSlices())
            return false;
        oImage_.setData(pImage.release());
        oSize_.publish(int2(oWidth_.value(), oHeight_.value()));
        return true;
    }

private:
    Parameter<int> oWidth_;
    Parameter<int> oHeight_;
    IntervalParameter<float> oFrequency_;
    IntervalParameter<float> oGrain_;
    OutputTemplate<FloatVector> oImage_;
    OutputTemplate<int2> oSize_;
    bool bTextured_;
    FloatVector* pTarget_ = nullptr; // the image the slices fill
};

/** A separable Gaussian blur. Both passes run over rows in slices: the horizontal pass blurs
    each row on its own, the vertical pass builds each output row from the neighbouring rows of
    the first pass's result. Besides the image it publishes a preview, the image shrunk eight
    times, for cheap measurements. */
class Blur : public demo::TimedNode {
public:
    Blur()
        : TimedNode("blur")
        , oImageIn_("image", this)
        , oSizeIn_("size", this)
        , oRadius_(8, 0, 64, "radius", "half width of the kernel in pixels")
        , oFaultRow_(-1, "faultRow", "for the demo: the slice holding this row fails (-1: none)")
        , oImage_("image", this)
        , oPreview_("preview", this)
        , oSize_("size", this) {
        addInput(&oImageIn_);
        addInput(&oSizeIn_);
        registerParameter(&oRadius_);
        registerParameter(&oFaultRow_);
        addOutput(&oImage_);
        addOutput(&oPreview_);
        addOutput(&oSize_);
    }

    //! One index per row; a row costs one multiply-add per pixel and kernel tap.
    BlockedRange rangeToProcess() const override {
        return BlockedRange(std::size_t(iWidth_) * aKernel_.size(), std::size_t(iHeight_));
    }

    void processSlice(std::size_t begin, std::size_t end) override {
        int const iFault = oFaultRow_.value();
        if (iFault >= 0 && std::size_t(iFault) >= begin && std::size_t(iFault) < end) {
            char text[96];
            std::snprintf(text, sizeof text, "sensor fault in row %d", iFault);
            throw Mirel::ParameterException(__FILE__, __LINE__, text);
        }
        if (iPass_ == 0)
            horizontal(begin, end);
        else
            vertical(begin, end);
    }

protected:
    bool compute() override {
        FloatVector const& source = oImageIn_.value();
        int2 const size = oSizeIn_.value();
        MIREL_THROW_UNLESS(std::size_t(size.x) * std::size_t(size.y) == source.size(),
                           Mirel::ParameterException, "size.x * size.y == image.size()");
        iWidth_ = size.x;
        iHeight_ = size.y;
        makeKernel(oRadius_.value());

        demo::Owned<FloatVector> pPass(MIREL_NEW FloatVector(source.size()));
        demo::Owned<FloatVector> pResult(MIREL_NEW FloatVector(source.size()));
        pSource_ = &source;
        pPass_ = pPass.get();
        pResult_ = pResult.get();
        iPass_ = 0;
        if (!runSlices())
            return false;
        pSource_ = pPass_;
        iPass_ = 1;
        if (!runSlices())
            return false;
        pPass.reset();

        oPreview_.setData(shrink(*pResult).release());
        oImage_.setData(pResult.release());
        oSize_.publish(size);
        return true;
    }

private:
    void makeKernel(int iRadius) {
        aKernel_.assign(std::size_t(2 * iRadius + 1), 0.0f);
        float const sigma = std::max(0.5f, float(iRadius) / 2.5f);
        float sum = 0.0f;
        for (int k = -iRadius; k <= iRadius; ++k)
            sum += aKernel_[std::size_t(k + iRadius)] =
                std::exp(-float(k * k) / (2.0f * sigma * sigma));
        for (float& weight : aKernel_)
            weight /= sum;
    }

    void horizontal(std::size_t begin, std::size_t end) const {
        int const r = int(aKernel_.size() / 2);
        for (std::size_t y = begin; y < end; ++y) {
            float const* pIn = pSource_->data() + y * std::size_t(iWidth_);
            float* pOut = pPass_->data() + y * std::size_t(iWidth_);
            for (int x = 0; x < iWidth_; ++x) {
                float sum = 0.0f;
                if (x >= r && x + r < iWidth_) {
                    float const* pTap = pIn + (x - r);
                    for (std::size_t k = 0; k < aKernel_.size(); ++k)
                        sum += aKernel_[k] * pTap[k];
                } else {
                    for (int k = -r; k <= r; ++k)
                        sum += aKernel_[std::size_t(k + r)] *
                               pIn[std::min(iWidth_ - 1, std::max(0, x + k))];
                }
                pOut[x] = sum;
            }
        }
    }

    void vertical(std::size_t begin, std::size_t end) const {
        int const r = int(aKernel_.size() / 2);
        for (std::size_t y = begin; y < end; ++y) {
            float* pOut = pResult_->data() + y * std::size_t(iWidth_);
            std::fill(pOut, pOut + iWidth_, 0.0f);
            for (int k = -r; k <= r; ++k) {
                int const iRow = std::min(iHeight_ - 1, std::max(0, int(y) + k));
                float const* pIn = pSource_->data() + std::size_t(iRow) * std::size_t(iWidth_);
                float const weight = aKernel_[std::size_t(k + r)];
                for (int x = 0; x < iWidth_; ++x)
                    pOut[x] += weight * pIn[x];
            }
        }
    }

    demo::Owned<FloatVector> shrink(FloatVector const& image) const {
        constexpr int kFactor = 8;
        int const w = std::max(1, iWidth_ / kFactor);
        int const h = std::max(1, iHeight_ / kFactor);
        demo::Owned<FloatVector> pPreview(MIREL_NEW FloatVector(std::size_t(w) * std::size_t(h)));
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                float sum = 0.0f;
                int n = 0;
                for (int dy = 0; dy < kFactor && y * kFactor + dy < iHeight_; ++dy) {
                    float const* pRow = image.data() + std::size_t(y * kFactor + dy) * iWidth_;
                    for (int dx = 0; dx < kFactor && x * kFactor + dx < iWidth_; ++dx, ++n)
                        sum += pRow[x * kFactor + dx];
                }
                (*pPreview)[std::size_t(y) * std::size_t(w) + std::size_t(x)] = sum / float(n);
            }
        }
        return pPreview;
    }

    ConstInput<FloatVector> oImageIn_;
    ConstInput<int2> oSizeIn_;
    IntervalParameter<int> oRadius_;
    Parameter<int> oFaultRow_;
    OutputTemplate<FloatVector> oImage_;
    OutputTemplate<FloatVector> oPreview_;
    OutputTemplate<int2> oSize_; // passed on: an output feeds one input only

    // State of the current computation, read by the slices.
    std::vector<float> aKernel_;
    int iWidth_ = 0;
    int iHeight_ = 0;
    int iPass_ = 0;
    FloatVector const* pSource_ = nullptr;
    FloatVector* pPass_ = nullptr;
    FloatVector* pResult_ = nullptr;
};

/** A soft threshold: grey values well below `level` become black, well above it white, with a
    smooth step of half width `softness` between. The level is usually driven by an upstream
    measurement through a proxy input. Works on blocks of pixels in slices; passes the image
    size on. */
class Tone : public demo::TimedNode {
public:
    Tone()
        : TimedNode("tone")
        , oImageIn_("image", this)
        , oSizeIn_("size", this)
        , oLevel_(0.5f, 0.0f, 1.0f, "level", "grey value mapped to one half")
        , oSoftness_(0.05f, 0.0f, 0.5f, "softness", "half width of the soft step")
        , oImage_("image", this)
        , oSize_("size", this) {
        addInput(&oImageIn_);
        addInput(&oSizeIn_);
        registerParameter(&oLevel_);
        registerParameter(&oSoftness_);
        addOutput(&oImage_);
        addOutput(&oSize_);
    }

    BlockedRange rangeToProcess() const override {
        return BlockedRange(kBlock, (pSource_->size() + kBlock - 1) / kBlock);
    }

    void processSlice(std::size_t begin, std::size_t end) override {
        float const fLow = oLevel_.value() - oSoftness_.value();
        float const fSpan = std::max(1e-6f, 2.0f * oSoftness_.value());
        std::size_t const last = std::min(pSource_->size(), end * kBlock);
        float const* pIn = pSource_->data();
        float* pOut = pTarget_->data();
        for (std::size_t i = begin * kBlock; i < last; ++i) {
            float const t = std::min(1.0f, std::max(0.0f, (pIn[i] - fLow) / fSpan));
            pOut[i] = t * t * (3.0f - 2.0f * t);
        }
    }

protected:
    bool compute() override {
        pSource_ = &oImageIn_.value();
        demo::Owned<FloatVector> pImage(MIREL_NEW FloatVector(pSource_->size()));
        pTarget_ = pImage.get();
        if (!runSlices())
            return false;
        oImage_.setData(pImage.release());
        oSize_.publish(oSizeIn_.value());
        return true;
    }

private:
    static constexpr std::size_t kBlock = 4096;

    ConstInput<FloatVector> oImageIn_;
    ConstInput<int2> oSizeIn_;
    IntervalParameter<float> oLevel_;
    IntervalParameter<float> oSoftness_;
    OutputTemplate<FloatVector> oImage_;
    OutputTemplate<int2> oSize_;
    FloatVector const* pSource_ = nullptr;
    FloatVector* pTarget_ = nullptr;
};

/** Measures an image: publishes the grey value below which the given fraction of its pixels
    lies. Fed with the blur's preview, it drives the tone step's level. */
class Measure : public demo::TimedNode {
public:
    Measure()
        : TimedNode("measure")
        , oImageIn_("image", this)
        , oFraction_(0.5f, 0.0f, 1.0f, "fraction", "share of pixels below the measured level")
        , oLevel_("level", this) {
        addInput(&oImageIn_);
        registerParameter(&oFraction_);
        addOutput(&oLevel_);
    }

protected:
    bool compute() override {
        FloatVector const& image = oImageIn_.value();
        MIREL_THROW_UNLESS(!image.empty(), Mirel::ParameterException, "!image.empty()");
        aScratch_.assign(image.begin(), image.end());
        float const fraction = std::min(1.0f, std::max(0.0f, oFraction_.value()));
        auto const nth = aScratch_.begin() + std::ptrdiff_t(fraction * float(aScratch_.size() - 1));
        std::nth_element(aScratch_.begin(), nth, aScratch_.end());
        oLevel_.publish(*nth);
        return true;
    }

private:
    ConstInput<FloatVector> oImageIn_;
    IntervalParameter<float> oFraction_;
    OutputTemplate<float> oLevel_;
    std::vector<float> aScratch_;
};

Node* createPatternRings(NodeTargetType) {
    return MIREL_NEW Pattern(false);
}
Node* createPatternTextured(NodeTargetType) {
    return MIREL_NEW Pattern(true);
}
Node* createBlur(NodeTargetType) {
    return MIREL_NEW Blur();
}
Node* createTone(NodeTargetType) {
    return MIREL_NEW Tone();
}
Node* createMeasure(NodeTargetType) {
    return MIREL_NEW Measure();
}

} // namespace

/** The module's entry point, looked up by the host with dlsym: registers the module's kinds with
    the node catalogue. The library must be up. The catalogue keeps pointers to the creation
    functions, so the host unloads the module only after Library::terminate. */
extern "C" __attribute__((visibility("default"))) void data_flow_plugin_register() {
    NodeLibrarian* pLibrarian = NodeLibrarian::Instance();
    pLibrarian->add(&createPatternRings,
                    MIREL_NEW NodeMetaData("Pattern", "image", "example", 1, "concentric rings",
                                           "pattern-rings"));
    pLibrarian->add(&createPatternTextured,
                    MIREL_NEW NodeMetaData("Pattern", "image", "example", 2,
                                           "concentric rings with stripes and a fine texture",
                                           "pattern-textured"));
    pLibrarian->add(&createBlur,
                    MIREL_NEW NodeMetaData("Blur", "image", "example", 1,
                                           "separable Gaussian blur, rows in slices", "blur"));
    pLibrarian->add(&createTone, MIREL_NEW NodeMetaData("Tone", "image", "example", 1,
                                                        "soft threshold around a level", "tone"));
    pLibrarian->add(&createMeasure, MIREL_NEW NodeMetaData(
                                        "Measure", "analysis", "example", 1,
                                        "grey level at a given fraction of the pixels", "measure"));
    demo::registerFileKinds();
}
