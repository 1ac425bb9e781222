// A libFuzzer target over the public API. The input is read as a sequence of operations: create
// and destroy nodes, connectors, parameters, parameter sets and metadata records; link and unlink;
// set values; register and look up node kinds; evaluate (synchronously and asynchronously) and
// flush. A small model of what the library promises is kept beside it and compared after every
// operation; every violation aborts, which libFuzzer reports with the input that caused it.
//
// The host rules of the library are kept, as a host must: a node is unlinked from every peer
// and removed from its controller before it is destroyed, only acyclic graphs are evaluated, and
// nothing runs while the graph changes.

#include "data_flow/DataFlow.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace {

using namespace Mirel;
using namespace Mirel::DataFlow;

[[noreturn]] void violated(char const* what, int line) {
    std::fprintf(stderr, "data_flow fuzzer: invariant violated at line %d: %s\n", line, what);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond))                                                                               \
            violated(#cond, __LINE__);                                                             \
    } while (false)

//! Runs f, which must throw an exception of the core's family E with exactly this message.
template <class E, class F>
void expectThrow(F&& f, char const* message) {
    try {
        f();
    } catch (E const& e) {
        FUZZ_CHECK(std::strcmp(e.message(), message) == 0);
        return;
    }
    violated(message, __LINE__);
}

// Names come from small pools, so that lookups by name, shared names and duplicates happen.
char const* const kNames[] = {"a", "b", "blur", "sharpen", "x", ""};
char const* const kWords[] = {"v", "w", "image", "core", "example", ""};

String pickName(FuzzedDataProvider& data) {
    return String(kNames[data.ConsumeIntegralInRange<std::size_t>(0, std::size(kNames) - 1)]);
}
String pickWord(FuzzedDataProvider& data) {
    return String(kWords[data.ConsumeIntegralInRange<std::size_t>(0, std::size(kWords) - 1)]);
}

// ---------------------------------------------------------------------------------------------
// Values

constexpr long long kModulus = 1000003; // node values stay exact in a float

//! A float as the node kinds read it: finite and not too large, or 0.
long long asWhole(float f) {
    return std::isfinite(f) && std::fabs(f) < 1.0e12f ? static_cast<long long>(f) : 0;
}

template <class T>
struct Tag {
    using type = T;
};

// The parameter types the fuzzer makes: plain values, the core's types, vectors and strings.
using FuzzTypes = std::tuple<int, unsigned int, unsigned long, float, bool, int3, float2, float4x4,
                             FloatVector, Float2Vector, String>;

template <class T>
T fuzzValue(FuzzedDataProvider& data) {
    if constexpr (std::is_same<T, bool>::value) {
        return data.ConsumeBool();
    } else if constexpr (std::is_same<T, float>::value) {
        return data.ConsumeFloatingPoint<float>();
    } else if constexpr (std::is_arithmetic<T>::value) {
        return data.ConsumeIntegralInRange<T>(0, 5);
    } else if constexpr (std::is_same<T, int3>::value) {
        return int3(data.ConsumeIntegralInRange<int>(-2, 2));
    } else if constexpr (std::is_same<T, float2>::value) {
        return float2(static_cast<float>(data.ConsumeIntegralInRange<int>(-2, 2)));
    } else if constexpr (std::is_same<T, float4x4>::value) {
        float4x4 m;
        m.m[1][2] = static_cast<float>(data.ConsumeIntegralInRange<int>(0, 2));
        return m;
    } else if constexpr (std::is_same<T, String>::value) {
        return String(data.ConsumeRandomLengthString(40).c_str());
    } else {
        T v(data.ConsumeIntegralInRange<std::size_t>(0, 6));
        for (auto& e : v)
            e = typename T::value_type(static_cast<float>(data.ConsumeIntegralInRange<int>(0, 3)));
        return v;
    }
}

//! Equality that counts a NaN equal to a NaN: "the same value" rather than T's ==.
template <class T>
bool same(T const& a, T const& b) {
    if constexpr (std::is_same<T, float>::value)
        return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
    else if constexpr (std::is_same<T, FloatVector>::value)
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same<float>);
    else
        return a == b;
}

//! Calls f(Tag<T>()) with the value type of p, which is one of FuzzTypes.
template <class F>
void withType(ParameterBase const& p, F&& f) {
    bool bFound = false;
    std::apply(
        [&](auto... t) {
            ((!bFound && p.datatype() == typeid(t) ? (bFound = true, f(Tag<decltype(t)>()), 0) : 0),
             ...);
        },
        FuzzTypes());
    FUZZ_CHECK(bFound);
}

template <class F>
void withTypeIndex(std::size_t i, F&& f) {
    std::size_t k = 0;
    std::apply([&](auto... t) { ((k++ == i ? (f(Tag<decltype(t)>()), 0) : 0), ...); }, FuzzTypes());
}

bool allDirty(ParameterBase const& p) {
    return p.isDirty() && p.isDirtySimpleCaching() && p.isDirtyLumet();
}

// ---------------------------------------------------------------------------------------------
// The node kind

/** Float and int inputs and outputs added at will, a float parameter "gain" (which may be
    driven through proxy inputs), and optionally its work cut into slices. Its value is a fixed
    function of its id, gain, inputs and slices, published on every output. */
class FuzzNode final : public Node {
public:
    FuzzNode(String const& name, int iId, int iKind, int iTarget)
        : Node(name)
        , iId_(iId)
        , iKind_(iKind)
        , iTarget_(iTarget)
        , oGain_(0.0f, "gain") {
        registerParameter(&oGain_);
    }
    ~FuzzNode() override {
        for (InputConnector* p : aProxies_)
            Core::destroy(p);
    }

    void addFloatInput() {
        aFloatIn_.push_back(std::make_unique<ConstInput<float>>("fin", this));
        aRegular_.push_back(aFloatIn_.back().get());
        addInput(aFloatIn_.back().get());
    }
    void addIntInput() {
        aIntIn_.push_back(std::make_unique<ConstInput<int>>("iin", this));
        aRegular_.push_back(aIntIn_.back().get());
        addInput(aIntIn_.back().get());
    }
    void addFloatOutput() {
        aFloatOut_.push_back(std::make_unique<OutputTemplate<float>>("fout", this));
        addOutput(aFloatOut_.back().get());
    }
    void addIntOutput() {
        aIntOut_.push_back(std::make_unique<OutputTemplate<int>>("iout", this));
        addOutput(aIntOut_.back().get());
    }
    void gainAsInput() { aProxies_.push_back(convertToConnector(&oGain_)); }
    bool isProxy(InputConnector const* p) const {
        return std::find(aProxies_.begin(), aProxies_.end(), p) != aProxies_.end();
    }

    int id() const { return iId_; }
    int kind() const { return iKind_; }
    int target() const { return iTarget_; }
    Parameter<float>& gain() { return oGain_; }
    void setSlices(std::size_t n) { nSlices_ = n; }
    std::size_t slices() const { return nSlices_; }
    void setThrowing(bool b) { bThrow_ = b; }
    bool throwing() const { return bThrow_; }
    //! The regular (non-proxy) inputs in input order.
    std::vector<InputConnector*> const& regularInputs() const { return aRegular_; }

    int processed() const { return nProcessed_; }
    long long lastValue() const { return iLast_; }
    void resetRun() { nProcessed_ = 0; }

    BlockedRange rangeToProcess() const override { return BlockedRange(1, nSlices_, 0); }
    void processSlice(std::size_t begin, std::size_t end) override {
        for (std::size_t i = begin; i < end; ++i)
            aPartial_[i] = static_cast<long long>(i) * 3 + 1;
    }

protected:
    void internalProcess() override {
        ++nProcessed_;
        MIREL_CHECK(!bThrow_, "fuzz failure");
        long long acc = iId_ * 31LL + asWhole(oGain_.value());
        for (std::size_t k = 0; k < aRegular_.size(); ++k)
            acc += static_cast<long long>(k + 1) * readInput(aRegular_[k]);
        if (nSlices_ > 0) {
            aPartial_.assign(nSlices_, 0);
            controller()->processSlices(this);
            for (long long v : aPartial_)
                acc += v;
        }
        iLast_ = acc % kModulus;
        for (auto& p : aFloatOut_)
            p->setData(MIREL_NEW float(static_cast<float>(iLast_)));
        for (auto& p : aIntOut_)
            p->setData(MIREL_NEW int(static_cast<int>(iLast_)));
    }

private:
    static long long readInput(InputConnector* p) {
        if (p->datatype() == typeid(float))
            return asWhole(static_cast<ConstInput<float>*>(p)->value());
        return static_cast<ConstInput<int>*>(p)->value();
    }

    int iId_;
    int iKind_;
    int iTarget_;
    Parameter<float> oGain_;
    std::size_t nSlices_ = 0;
    bool bThrow_ = false;
    std::vector<long long> aPartial_;
    std::vector<std::unique_ptr<ConstInput<float>>> aFloatIn_;
    std::vector<std::unique_ptr<ConstInput<int>>> aIntIn_;
    std::vector<InputConnector*> aRegular_;
    std::vector<std::unique_ptr<OutputTemplate<float>>> aFloatOut_;
    std::vector<std::unique_ptr<OutputTemplate<int>>> aIntOut_;
    std::vector<InputConnector*> aProxies_;
    int nProcessed_ = 0;
    long long iLast_ = -1;
};

int gNextId = 0;

//! What the operations reached, printed at exit when DATA_FLOW_FUZZ_STATS is set.
struct Stats {
    long evaluations = 0, checkedInFull = 0, failedAsExpected = 0, asynchronous = 0;
    long registrations = 0, duplicates = 0, nodesMade = 0, typeMismatches = 0;
    ~Stats() {
        if (std::getenv("DATA_FLOW_FUZZ_STATS") != nullptr)
            std::fprintf(stderr,
                         "fuzz stats: %ld evaluations (%ld asynchronous), %ld checked in full, "
                         "%ld failing as expected; %ld registrations, %ld duplicates refused, "
                         "%ld nodes made by the catalogue; %ld link type mismatches\n",
                         evaluations, asynchronous, checkedInFull, failedAsExpected, registrations,
                         duplicates, nodesMade, typeMismatches);
    }
} gStats;

//! Made by the function-based registrations: the kind is unknown (-1), the target is kept.
Node* createByFunction(NodeTargetType target) {
    return MIREL_NEW FuzzNode("made", gNextId++, -1, static_cast<int>(target));
}

//! Made by the factory-based registrations: the node carries the registration's kind.
class KindFactory : public NodeFactory {
public:
    explicit KindFactory(int iKind)
        : iKind_(iKind) {}
    Node* create(NodeTargetType target) override {
        if (iKind_ % 5 == 4)
            return nullptr; // some kinds make no node
        return MIREL_NEW FuzzNode("made", gNextId++, iKind_, static_cast<int>(target));
    }

private:
    int iKind_;
};

// ---------------------------------------------------------------------------------------------
// The world and its model

struct Registration {
    std::string vendor, nameSpace, name, clientID;
    unsigned int version;
    bool bHasVersion;
    int iKind; // -1 for a function-based registration
};

std::string str(String const& s) {
    return std::string(s.data(), s.size());
}

class World {
public:
    explicit World(FuzzedDataProvider& data)
        : data_(data) {}

    ~World() {
        for (std::size_t i = 0; i < aNodes_.size(); ++i)
            if (aNodes_[i] != nullptr)
                destroyNode(i);
        FUZZ_CHECK(oController_.nodesBegin() == oController_.nodesEnd());
    }

    void run() {
        int steps = 0;
        while (data_.remaining_bytes() > 0 && steps++ < 400) {
            step();
            checkInvariants();
        }
    }

private:
    // --- picking --------------------------------------------------------------------------------

    std::size_t pick(std::size_t n) { return data_.ConsumeIntegralInRange<std::size_t>(0, n - 1); }

    FuzzNode* pickNode() {
        std::vector<FuzzNode*> aLive;
        for (FuzzNode* p : aNodes_)
            if (p != nullptr)
                aLive.push_back(p);
        return aLive.empty() ? nullptr : aLive[pick(aLive.size())];
    }
    InputConnector* pickInput() {
        FuzzNode* p = pickNode();
        return p == nullptr || p->numberOfInputs() == 0 ? nullptr
                                                        : p->input(pick(p->numberOfInputs()));
    }
    OutputConnector* pickOutput() {
        FuzzNode* p = pickNode();
        return p == nullptr || p->numberOfOutputs() == 0 ? nullptr
                                                         : p->output(pick(p->numberOfOutputs()));
    }

    // --- nodes and the debug index --------------------------------------------------------------

    void adopt(FuzzNode* p) {
        aNodes_.push_back(p);
        std::string const name = str(p->name());
        aOrdinal_[p] = aNameCounter_[name]++;
        FUZZ_CHECK(oController_.addNode(p));
        aMembers_.push_back(p);
        FUZZ_CHECK(p->controller() == &oController_);
    }

    void destroyNode(std::size_t i) {
        FuzzNode* pNode = aNodes_[i];
        // Out of the controller: removeNode answers true once per entry, then false.
        long const entries = std::count(aMembers_.begin(), aMembers_.end(), pNode);
        for (long k = 0; k < entries; ++k)
            FUZZ_CHECK(oController_.removeNode(pNode));
        FUZZ_CHECK(!oController_.removeNode(pNode));
        aMembers_.erase(std::remove(aMembers_.begin(), aMembers_.end(), pNode), aMembers_.end());
        if (oController_.getSinkNode() == pNode)
            oController_.setSinkNode(nullptr);
        // Unlinked from every peer, including outputs that still point at one of its inputs
        // after that input was cleared with connect(nullptr).
        pNode->disconnect();
        for (FuzzNode* pOther : aNodes_) {
            if (pOther == nullptr || pOther == pNode)
                continue;
            for (std::size_t o = 0; o < pOther->numberOfOutputs(); ++o) {
                InputConnector* pIn = pOther->output(o)->connectedInput();
                if (pIn != nullptr && pIn->node() == pNode)
                    pOther->output(o)->disconnect();
            }
            for (std::size_t k = 0; k < pOther->numberOfInputs(); ++k) {
                OutputConnector* pOut = pOther->input(k)->connectedOutput();
                if (pOut != nullptr && pOut->node() == pNode)
                    pOther->input(k)->disconnect();
            }
        }
        aOrdinal_.erase(pNode);
        Core::destroy(pNode);
        aNodes_[i] = nullptr;
    }

    void checkIdentity(FuzzNode* p) {
        std::string const expected = str(p->name()) + " [" + std::to_string(aOrdinal_.at(p)) + "]";
        FUZZ_CHECK(str(p->debugId()) == expected);
    }

    // --- parameters -----------------------------------------------------------------------------

    boost::shared_ptr<ParameterBase> makeParameter() {
        boost::shared_ptr<ParameterBase> p;
        withTypeIndex(pick(std::tuple_size<FuzzTypes>::value), [&](auto tag) {
            using T = typename decltype(tag)::type;
            T const value = fuzzValue<T>(data_);
            String const name = pickName(data_);
            String const description = pickWord(data_);
            if constexpr (std::is_same<T, FloatVector>::value || std::is_same<T, int>::value ||
                          std::is_same<T, float>::value || std::is_same<T, bool>::value ||
                          std::is_same<T, int3>::value || std::is_same<T, float2>::value ||
                          std::is_same<T, float4x4>::value) {
                if (data_.ConsumeBool()) {
                    auto pInterval =
                        IntervalParameter<T>::create(value, T(), value, name, description);
                    FUZZ_CHECK(pInterval->isInterval());
                    FUZZ_CHECK(same(pInterval->upperBound(), value));
                    p = pInterval;
                }
            }
            if (!p)
                p = Parameter<T>::create(value, name, description);
            FUZZ_CHECK(same(p->valueAs<T>(), value));
            FUZZ_CHECK(allDirty(*p));
            FUZZ_CHECK(p->name().compare(name) == 0);
        });
        return p;
    }

    //! The text a parameter writes after "name description ".
    static std::string valueText(ParameterBase const& p) {
        std::ostringstream os;
        os << p;
        std::string const text = os.str();
        std::size_t const prefix = p.name().size() + 1 + p.description().size() + 1;
        FUZZ_CHECK(text.size() >= prefix);
        FUZZ_CHECK(text.compare(0, p.name().size(), str(p.name())) == 0);
        return text.substr(prefix);
    }

    void parameterStep() {
        switch (pick(6)) {
        case 0:
            aParameters_.push_back(makeParameter());
            break;
        case 1: { // setValue: a real change raises all three flags, an equal value none
            if (aParameters_.empty())
                return;
            ParameterBase& p = *aParameters_[pick(aParameters_.size())];
            withType(p, [&](auto tag) {
                using T = typename decltype(tag)::type;
                auto& typed = static_cast<Parameter<T>&>(p);
                T const old = typed.value();
                bool const flags[3] = {p.isDirty(), p.isDirtySimpleCaching(), p.isDirtyLumet()};
                T const value = data_.ConsumeBool() ? old : fuzzValue<T>(data_);
                typed.setValue(value);
                if (value == old) {
                    FUZZ_CHECK(same(typed.value(), old));
                    FUZZ_CHECK(p.isDirty() == flags[0] && p.isDirtySimpleCaching() == flags[1] &&
                               p.isDirtyLumet() == flags[2]);
                } else {
                    FUZZ_CHECK(same(typed.value(), value));
                    FUZZ_CHECK(allDirty(p));
                }
            });
            break;
        }
        case 2: { // setValueFromParameter: same type copies, another type throws and keeps
            if (aParameters_.empty())
                return;
            ParameterBase& target = *aParameters_[pick(aParameters_.size())];
            ParameterBase const& source = *aParameters_[pick(aParameters_.size())];
            std::string const before = valueText(target);
            if (std::strcmp(target.data_type_name(), source.data_type_name()) != 0) {
                FUZZ_CHECK(target.datatype() != source.datatype());
                expectThrow<InternalException>([&] { target.setValueFromParameter(source); },
                                               "strcmp(data_type_name(), type_name(typeid(T)))==0");
                FUZZ_CHECK(valueText(target) == before);
            } else {
                target.setValueFromParameter(source);
                withType(target, [&](auto tag) {
                    using T = typename decltype(tag)::type;
                    FUZZ_CHECK(same(target.valueAs<T>(), source.valueAs<T>()));
                });
            }
            break;
        }
        case 3: { // clones: independent, all dirty, same value; clone(name) renames only
            if (aParameters_.empty())
                return;
            ParameterBase const& p = *aParameters_[pick(aParameters_.size())];
            boost::shared_ptr<ParameterBase> const pCopy =
                data_.ConsumeBool() ? p.clone() : p.clone(pickName(data_));
            FUZZ_CHECK(pCopy.get() != &p);
            FUZZ_CHECK(allDirty(*pCopy));
            FUZZ_CHECK(pCopy->isInterval() == p.isInterval());
            FUZZ_CHECK(valueText(*pCopy) == valueText(p));
            FUZZ_CHECK(pCopy->description().compare(p.description()) == 0);
            aParameters_.push_back(pCopy);
            break;
        }
        case 4: { // reset to the default
            if (aParameters_.empty())
                return;
            ParameterBase& p = *aParameters_[pick(aParameters_.size())];
            p.resetToDefaultValue();
            withType(p, [&](auto tag) {
                using T = typename decltype(tag)::type;
                auto const& typed = static_cast<Parameter<T> const&>(p);
                FUZZ_CHECK(typed.value() == typed.defaultValue() ||
                           same(typed.value(), typed.defaultValue()));
            });
            break;
        }
        case 5: // drop one
            if (!aParameters_.empty())
                aParameters_.erase(aParameters_.begin() +
                                   static_cast<long>(pick(aParameters_.size())));
            break;
        }
    }

    // --- parameter sets -------------------------------------------------------------------------

    void checkSet(std::size_t i) {
        ParameterSet const& set = *aSets_[i];
        std::vector<boost::shared_ptr<ParameterBase>> const& model = aSetModel_[i];
        FUZZ_CHECK(set.size() == model.size());
        for (std::size_t k = 0; k < model.size(); ++k) {
            // Shared handles are the very objects; clones carry the name and the value.
            FUZZ_CHECK(set.parameter(k)->name().compare(model[k]->name()) == 0);
            FUZZ_CHECK(valueText(*set.parameter(k)) == valueText(*model[k]));
        }
        expectThrow<InternalException>([&] { set.parameter(set.size()); },
                                       "Range error: iParameter < size()");
        String const name = pickName(data_);
        ParameterSet::Handle const found = set.getParameter(name);
        ParameterSet::Handle expected;
        for (std::size_t k = 0; k < set.size() && !expected; ++k)
            if (set.parameter(k)->name().compare(name) == 0)
                expected = set.parameter(k);
        FUZZ_CHECK(found == expected);
        std::ostringstream os;
        os << set;
        std::string const text = os.str();
        FUZZ_CHECK(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >=
                   set.size());
    }

    //! The model of a copy: the same names and values, in objects that later changes of the
    //! source do not reach.
    static std::vector<boost::shared_ptr<ParameterBase>> clonesOf(ParameterSet const& set) {
        std::vector<boost::shared_ptr<ParameterBase>> aClones;
        for (ParameterSet::Handle const& p : set)
            aClones.push_back(p->clone());
        return aClones;
    }

    void setStep() {
        switch (pick(5)) {
        case 0:
            aSets_.push_back(std::make_unique<ParameterSet>());
            aSetModel_.emplace_back();
            break;
        case 1: { // insert shares the handle
            if (aSets_.empty() || aParameters_.empty())
                return;
            std::size_t const i = pick(aSets_.size());
            boost::shared_ptr<ParameterBase> const p = aParameters_[pick(aParameters_.size())];
            if (data_.ConsumeBool()) {
                aSets_[i]->insert(p);
            } else {
                ParameterSet::iterator it = aSets_[i]->insert(aSets_[i]->begin(), p);
                FUZZ_CHECK(it == aSets_[i]->end() - 1);
            }
            FUZZ_CHECK(aSets_[i]->parameter(aSets_[i]->size() - 1).get() == p.get());
            aSetModel_[i].push_back(p);
            break;
        }
        case 2: { // copy, assignment (also to itself) and combine clone every parameter
            if (aSets_.empty())
                return;
            std::size_t const a = pick(aSets_.size());
            std::size_t b = pick(aSets_.size());
            switch (pick(3)) {
            case 0:
                aSets_.push_back(std::make_unique<ParameterSet>(*aSets_[a]));
                aSetModel_.push_back(clonesOf(*aSets_[a]));
                b = aSets_.size() - 1;
                break;
            case 1:
                aSetModel_[b] = clonesOf(*aSets_[a]);
                *aSets_[b] = *aSets_[a];
                break;
            case 2: {
                std::vector<boost::shared_ptr<ParameterBase>> model = clonesOf(*aSets_[a]);
                for (auto const& p : clonesOf(*aSets_[b]))
                    model.push_back(p);
                aSets_.push_back(std::make_unique<ParameterSet>(combine(*aSets_[a], *aSets_[b])));
                aSetModel_.push_back(std::move(model));
                b = aSets_.size() - 1;
                break;
            }
            }
            for (ParameterSet::Handle const& p : *aSets_[b]) // every entry is a fresh clone
                FUZZ_CHECK(allDirty(*p));
            break;
        }
        case 3: { // clear and swap
            if (aSets_.empty())
                return;
            std::size_t const a = pick(aSets_.size());
            std::size_t const b = pick(aSets_.size());
            if (data_.ConsumeBool()) {
                aSets_[a]->clear();
                aSetModel_[a].clear();
            } else {
                aSets_[a]->swap(*aSets_[b]);
                std::swap(aSetModel_[a], aSetModel_[b]);
            }
            break;
        }
        case 4:
            if (!aSets_.empty()) {
                std::size_t const i = pick(aSets_.size());
                aSets_.erase(aSets_.begin() + static_cast<long>(i));
                aSetModel_.erase(aSetModel_.begin() + static_cast<long>(i));
            }
            break;
        }
    }

    // --- metadata and the catalogue -------------------------------------------------------------

    NodeMetaData makeRecord() {
        String const name = pickWord(data_);
        String const nameSpace = pickWord(data_);
        String const vendor = pickWord(data_);
        if (data_.ConsumeBool())
            return NodeMetaData(name, nameSpace, vendor);
        unsigned int const version = data_.ConsumeBool() ? data_.ConsumeIntegral<unsigned int>()
                                                         : data_.ConsumeIntegralInRange(0u, 3u);
        return NodeMetaData(name, nameSpace, vendor, version, pickWord(data_), pickName(data_));
    }

    static std::tuple<std::string, std::string, std::string, unsigned int>
    key(NodeMetaData const& r) {
        return {str(r.vendor()), str(r.nameSpace()), str(r.name()), r.version()};
    }
    static std::tuple<std::string, std::string, std::string, unsigned int>
    key(Registration const& r) {
        return {r.vendor, r.nameSpace, r.name, r.bHasVersion ? r.version : 0u};
    }

    //! The registration a lookup by this record should use, or null.
    Registration const* expectedByMetadata(NodeMetaData const& r) const {
        Registration const* pBest = nullptr;
        for (Registration const& reg : aRegistrations_) {
            if (r.hasVersion()) {
                if (key(reg) == key(r))
                    return &reg;
            } else if (reg.vendor == str(r.vendor()) && reg.nameSpace == str(r.nameSpace()) &&
                       reg.name == str(r.name()) &&
                       (pBest == nullptr || std::get<3>(key(reg)) > std::get<3>(key(*pBest)))) {
                pBest = &reg;
            }
        }
        return pBest;
    }

    void checkMadeNode(Node* pMade, Registration const* pExpected, int iTarget) {
        if (pExpected == nullptr || pExpected->iKind % 5 == 4) {
            FUZZ_CHECK(pMade == nullptr);
            return;
        }
        FUZZ_CHECK(pMade != nullptr);
        auto* pNode = static_cast<FuzzNode*>(pMade);
        FUZZ_CHECK(pNode->kind() == pExpected->iKind);
        FUZZ_CHECK(pNode->target() == iTarget);
        adopt(pNode);
        ++gStats.nodesMade;
    }

    void catalogueStep() {
        NodeLibrarian& librarian = *NodeLibrarian::Instance();
        switch (pick(5)) {
        case 0: { // records: ordering and text
            NodeMetaData const a = makeRecord();
            NodeMetaData const b = makeRecord();
            NodeMetaDataSorter const less;
            FUZZ_CHECK(less(a, b) == (key(a) < key(b)));
            FUZZ_CHECK(less(&a, &b) == less(a, b));
            FUZZ_CHECK(!(less(a, b) && less(b, a)));
            NodeMetaData copy(b);
            copy = a;
            FUZZ_CHECK(key(copy) == key(a) && copy.hasVersion() == a.hasVersion());
            std::ostringstream os;
            os << a;
            std::string expected = "name(" + str(a.name()) + ") namespace(" + str(a.nameSpace()) +
                                   ") vendor(" + str(a.vendor()) + ") ";
            if (a.hasVersion())
                expected += "version(" + std::to_string(a.version()) + ") ";
            expected +=
                "description(" + str(a.description()) + ") clientID(" + str(a.clientID()) + ")";
            FUZZ_CHECK(os.str() == expected);
            break;
        }
        case 1: { // registration: duplicates refused, the catalogue in registration order
            NodeMetaData const record = makeRecord();
            Registration reg{str(record.vendor()),
                             str(record.nameSpace()),
                             str(record.name()),
                             str(record.clientID()),
                             record.version(),
                             record.hasVersion(),
                             data_.ConsumeBool() ? -1 : iNextKind_++};
            bool bDuplicate = false;
            for (Registration const& other : aRegistrations_)
                bDuplicate = bDuplicate || key(other) == key(reg);
            auto* pRecord = MIREL_NEW NodeMetaData(record);
            auto const add = [&] {
                if (reg.iKind < 0)
                    librarian.add(&createByFunction, pRecord);
                else
                    librarian.add(MIREL_NEW KindFactory(reg.iKind), pRecord);
            };
            if (bDuplicate) {
                expectThrow<ParameterException>(add, "!bDuplicate"); // both given objects deleted
                ++gStats.duplicates;
            } else {
                add();
                aRegistrations_.push_back(reg);
                ++gStats.registrations;
            }
            FUZZ_CHECK(static_cast<std::size_t>(librarian.end() - librarian.begin()) ==
                       aRegistrations_.size());
            std::size_t k = 0;
            for (auto it = librarian.begin(); it != librarian.end(); ++it, ++k)
                FUZZ_CHECK(key(**it) == key(aRegistrations_[k]));
            break;
        }
        case 2: { // lookup by record
            NodeMetaData const record = makeRecord();
            int const target = data_.ConsumeIntegralInRange(-3, 3);
            Node* pMade = librarian.createNodeByMetadata(&record, NodeTargetType(target));
            checkMadeNode(pMade, expectedByMetadata(record), target);
            FUZZ_CHECK(librarian.createNodeByMetadata(nullptr, NodeTargetType(0)) == nullptr);
            break;
        }
        case 3: { // lookup by client identifier: the first registration that carries it
            String const clientID = pickName(data_);
            int const target = data_.ConsumeIntegralInRange(-3, 3);
            Registration const* pFirst = nullptr;
            for (Registration const& reg : aRegistrations_)
                if (pFirst == nullptr && reg.clientID == str(clientID))
                    pFirst = &reg;
            Registration const* pExpected = nullptr;
            if (pFirst != nullptr) {
                NodeMetaData const probe = pFirst->bHasVersion
                                               ? NodeMetaData(String(pFirst->name.c_str()),
                                                              String(pFirst->nameSpace.c_str()),
                                                              String(pFirst->vendor.c_str()),
                                                              pFirst->version, String(), String())
                                               : NodeMetaData(String(pFirst->name.c_str()),
                                                              String(pFirst->nameSpace.c_str()),
                                                              String(pFirst->vendor.c_str()));
                pExpected = expectedByMetadata(probe);
            }
            checkMadeNode(librarian.createNodeByClientID(clientID, NodeTargetType(target)),
                          pExpected, target);
            break;
        }
        case 4:
            librarian.clearAll();
            aRegistrations_.clear();
            FUZZ_CHECK(librarian.begin() == librarian.end());
            break;
        }
    }

    // --- links ----------------------------------------------------------------------------------

    void linkStep() {
        switch (pick(5)) {
        case 0: { // Connect: same types link (unlinking former peers), others throw and keep
            OutputConnector* pOut = pickOutput();
            InputConnector* pIn = pickInput();
            if (pOut == nullptr || pIn == nullptr)
                return;
            InputConnector* const pOldIn = pOut->connectedInput();
            OutputConnector* const pOldOut = pIn->connectedOutput();
            if (pOut->datatype() != pIn->datatype()) {
                ++gStats.typeMismatches;
                FUZZ_CHECK(!ConnectorsAreCompatible(*pOut, *pIn));
                FUZZ_CHECK(!pIn->canConnect(pOut));
                expectThrow<InternalException>(
                    [&] {
                        if (data_.ConsumeBool())
                            Connect(*pOut, *pIn);
                        else
                            Connect(*pIn, *pOut);
                    },
                    "ConnectorsAreCompatible(out, in)");
                FUZZ_CHECK(pOut->connectedInput() == pOldIn);
                FUZZ_CHECK(pIn->connectedOutput() == pOldOut);
                FUZZ_CHECK(!pIn->connect(pOut));
                FUZZ_CHECK(pIn->connectedOutput() == pOldOut);
            } else {
                FUZZ_CHECK(pIn->canConnect(pOut));
                if (data_.ConsumeBool())
                    Connect(*pOut, *pIn);
                else
                    FUZZ_CHECK(pIn->connect(pOut));
                FUZZ_CHECK(pOut->connectedInput() == pIn && pIn->connectedOutput() == pOut);
                // The former peers are unlinked: the output that fed the input, and the input
                // the output fed, whatever that input was linked to.
                if (pOldOut != nullptr && pOldOut != pOut)
                    FUZZ_CHECK(pOldOut->connectedInput() == nullptr);
                if (pOldIn != nullptr && pOldIn != pIn)
                    FUZZ_CHECK(pOldIn->connectedOutput() == nullptr);
            }
            break;
        }
        case 1: { // connect(nullptr) clears the input only
            InputConnector* pIn = pickInput();
            if (pIn == nullptr)
                return;
            OutputConnector* const pOld = pIn->connectedOutput();
            FUZZ_CHECK(pIn->connect(nullptr));
            FUZZ_CHECK(pIn->connectedOutput() == nullptr);
            if (pOld != nullptr)
                FUZZ_CHECK(pOld->connectedInput() == pIn);
            break;
        }
        case 2: {
            InputConnector* pIn = pickInput();
            if (pIn == nullptr)
                return;
            OutputConnector* const pOld = pIn->connectedOutput();
            pIn->disconnect();
            FUZZ_CHECK(pIn->connectedOutput() == nullptr);
            if (pOld != nullptr)
                FUZZ_CHECK(pOld->connectedInput() == nullptr);
            break;
        }
        case 3: {
            OutputConnector* pOut = pickOutput();
            if (pOut == nullptr)
                return;
            InputConnector* const pOld = pOut->connectedInput();
            pOut->disconnect();
            FUZZ_CHECK(pOut->connectedInput() == nullptr);
            if (pOld != nullptr)
                FUZZ_CHECK(pOld->connectedOutput() == nullptr);
            break;
        }
        case 4: { // a node unlinks all its connectors
            FuzzNode* p = pickNode();
            if (p == nullptr)
                return;
            // An output may still point at an input that connect(nullptr) cleared; such an
            // output is told nothing by the input it points at, and keeps pointing.
            bool bMutual = true;
            for (std::size_t i = 0; i < p->numberOfOutputs(); ++i) {
                InputConnector const* pIn = p->output(i)->connectedInput();
                bMutual = bMutual && (pIn == nullptr || pIn->connectedOutput() == p->output(i));
            }
            p->disconnect();
            for (std::size_t i = 0; i < p->numberOfInputs(); ++i)
                FUZZ_CHECK(p->input(i)->connectedOutput() == nullptr);
            for (std::size_t i = 0; i < p->numberOfOutputs() && bMutual; ++i)
                FUZZ_CHECK(p->output(i)->connectedInput() == nullptr);
            break;
        }
        }
    }

    // --- nodes ----------------------------------------------------------------------------------

    void nodeStep() {
        switch (pick(8)) {
        case 0:
        case 1: {
            auto* p = MIREL_NEW FuzzNode(pickName(data_), gNextId++, -2, 0);
            adopt(p);
            checkIdentity(p);
            break;
        }
        case 2: {
            std::vector<std::size_t> aLive;
            for (std::size_t i = 0; i < aNodes_.size(); ++i)
                if (aNodes_[i] != nullptr)
                    aLive.push_back(i);
            if (!aLive.empty())
                destroyNode(aLive[pick(aLive.size())]);
            break;
        }
        case 3: { // connectors and the range errors
            FuzzNode* p = pickNode();
            if (p == nullptr)
                return;
            std::size_t const nIn = p->numberOfInputs();
            std::size_t const nOut = p->numberOfOutputs();
            switch (pick(5)) {
            case 0:
                p->addFloatInput();
                break;
            case 1:
                p->addIntInput();
                break;
            case 2:
                p->addFloatOutput();
                break;
            case 3:
                p->addIntOutput();
                break;
            case 4:
                p->gainAsInput();
                FUZZ_CHECK(p->input(nIn)->datatype() == typeid(float));
                FUZZ_CHECK(p->input(nIn)->name().compare("gain") == 0);
                break;
            }
            FUZZ_CHECK(p->numberOfInputs() + p->numberOfOutputs() == nIn + nOut + 1);
            expectThrow<InternalException>([&] { p->input(p->numberOfInputs()); },
                                           "Range error: iInput < aInputs_.size()");
            expectThrow<InternalException>([&] { p->output(p->numberOfOutputs()); },
                                           "Range error: iOutput < aOutputs_.size()");
            if (p->numberOfInputs() > 0)
                FUZZ_CHECK(p->input(p->input(0)->name()) == p->input(0));
            break;
        }
        case 4: { // renaming gives a fresh ordinal under the new name
            FuzzNode* p = pickNode();
            if (p == nullptr)
                return;
            String const name = pickName(data_);
            p->setName(name);
            aOrdinal_[p] = aNameCounter_[str(name)]++;
            checkIdentity(p);
            break;
        }
        case 5: { // behaviour switches and the gain
            FuzzNode* p = pickNode();
            if (p == nullptr)
                return;
            switch (pick(3)) {
            case 0:
                p->setSlices(data_.ConsumeIntegralInRange<std::size_t>(0, 40));
                break;
            case 1:
                p->setThrowing(data_.ConsumeIntegralInRange(0, 7) == 0);
                break;
            case 2:
                p->gain().setValue(data_.ConsumeBool()
                                       ? static_cast<float>(data_.ConsumeIntegralInRange(-9, 9))
                                       : data_.ConsumeFloatingPoint<float>());
                break;
            }
            break;
        }
        case 6: { // the debug text: identity, counts, one line per connector
            FuzzNode* p = pickNode();
            if (p == nullptr)
                return;
            std::ostringstream os;
            os << *p;
            std::string const text = os.str();
            FUZZ_CHECK(text.rfind("Node " + str(p->debugId()) + "\n", 0) == 0);
            FUZZ_CHECK(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) ==
                       3 + p->numberOfInputs() + p->numberOfOutputs());
            break;
        }
        case 7: { // membership: duplicates, removal, unconnected nodes
            FuzzNode* p = pickNode();
            if (p == nullptr)
                return;
            if (data_.ConsumeBool()) {
                FUZZ_CHECK(oController_.addNode(p));
                aMembers_.push_back(p);
            } else {
                auto it = std::find(aMembers_.begin(), aMembers_.end(), p);
                FUZZ_CHECK(oController_.removeNode(p) == (it != aMembers_.end()));
                if (it != aMembers_.end())
                    aMembers_.erase(it);
            }
            Controller::NodeVector const unconnected = oController_.findUnconnectedNodes();
            std::vector<Node*> expected;
            for (FuzzNode* pMember : aMembers_) {
                bool bUnlinked = false;
                for (std::size_t i = 0; i < pMember->numberOfOutputs(); ++i)
                    bUnlinked = bUnlinked || pMember->output(i)->connectedInput() == nullptr;
                for (std::size_t i = 0; i < pMember->numberOfInputs(); ++i)
                    bUnlinked = bUnlinked || pMember->input(i)->connectedOutput() == nullptr;
                if (bUnlinked)
                    expected.push_back(pMember);
            }
            FUZZ_CHECK(std::vector<Node*>(unconnected.begin(), unconnected.end()) == expected);
            break;
        }
        }
    }

    // --- dirty state and caching ----------------------------------------------------------------

    void dirtyStep() {
        FuzzNode* p = pickNode();
        if (p == nullptr)
            return;
        switch (pick(4)) {
        case 0:
            p->updateDirtyState();
            FUZZ_CHECK(!p->gain().isDirtySimpleCaching());
            break;
        case 1: {
            bool const bAny = p->gain().isDirty();
            FUZZ_CHECK(p->hasDirtyParameters() == bAny);
            FUZZ_CHECK(!p->hasDirtyParameters());
            break;
        }
        case 2:
            if (p->numberOfOutputs() > 0) {
                OutputConnector* pOut = p->output(pick(p->numberOfOutputs()));
                pOut->keepCache(data_.ConsumeBool());
            }
            break;
        case 3: {
            bool bAny = false;
            for (std::size_t i = 0; i < p->numberOfOutputs(); ++i)
                bAny = bAny || p->output(i)->keepsCache();
            FUZZ_CHECK(p->keepsCache() == bAny);
            break;
        }
        }
    }

    // --- evaluation -----------------------------------------------------------------------------

    //! The producer node of an input, or null when unlinked.
    static FuzzNode* producerOf(InputConnector const* p) {
        OutputConnector const* pOut = p->connectedOutput();
        return pOut == nullptr ? nullptr : static_cast<FuzzNode*>(pOut->node());
    }

    /** What an evaluation from pSink must give, when the graph holds no data: each reachable
        node's value, whether some reachable node fails (an unlinked input, or throwing), and
        whether the reachable graph has a cycle (then it is not evaluated at all). */
    struct Expectation {
        std::map<FuzzNode*, long long> aValue;
        bool bFails = false;
        bool bCycle = false;
    };

    void expect(FuzzNode* p, Expectation& e, std::map<FuzzNode*, int>& aState) {
        int& state = aState[p];
        if (state == 2)
            return;
        if (state == 1) {
            e.bCycle = true;
            return;
        }
        state = 1;
        long long acc = p->id() * 31LL;
        float gain = p->gain().value();
        bool bValue = !p->throwing();
        for (std::size_t i = 0; i < p->numberOfInputs(); ++i) {
            InputConnector const* pIn = p->input(i);
            FuzzNode* pProducer = producerOf(pIn);
            if (pProducer == nullptr) {
                e.bFails = true;
                bValue = false;
                continue;
            }
            expect(pProducer, e, aState);
            auto const it = e.aValue.find(pProducer);
            if (it == e.aValue.end()) {
                bValue = false;
                continue;
            }
            if (p->isProxy(pIn))
                gain = static_cast<float>(it->second); // the last proxy wins
        }
        std::vector<InputConnector*> const& aRegular = p->regularInputs();
        for (std::size_t k = 0; k < aRegular.size() && bValue; ++k)
            acc += static_cast<long long>(k + 1) * e.aValue.at(producerOf(aRegular[k]));
        acc += asWhole(gain);
        for (std::size_t s = 0; s < p->slices(); ++s)
            acc += static_cast<long long>(s) * 3 + 1;
        if (p->throwing())
            e.bFails = true;
        if (bValue)
            e.aValue[p] = acc % kModulus;
        state = 2;
    }

    void evaluateStep() {
        FuzzNode* pSink = pickNode();
        if (pSink == nullptr)
            return;
        oController_.setSinkNode(pSink);
        Expectation e;
        std::map<FuzzNode*, int> aState;
        expect(pSink, e, aState);
        if (e.bCycle)
            return; // a cyclic graph is never evaluated: the host keeps its graphs acyclic

        // Outputs holding data (cached, or never flushed) and nodes left processing by a failure
        // make the outcome depend on history; only a graph without either is checked in full.
        bool bHeld = false;
        for (FuzzNode* p : aNodes_) {
            for (std::size_t i = 0; p != nullptr && i < p->numberOfOutputs(); ++i)
                bHeld = bHeld || p->output(i)->hasData();
            bHeld = bHeld || (p != nullptr && p->isProcessing());
        }
        for (FuzzNode* p : aNodes_)
            if (p != nullptr)
                p->resetRun();
        oController_.setSingleThreadMode(data_.ConsumeBool());

        bool bFailed = false;
        std::string sFailure;
        ++gStats.evaluations;
        if (data_.ConsumeBool()) {
            try {
                oController_.process();
            } catch (InternalException const& x) {
                bFailed = true;
                sFailure = x.message();
            }
        } else {
            ++gStats.asynchronous;
            oController_.processAsync();
            FUZZ_CHECK(oController_.wait(60.0, 0.0001));
            try {
                oController_.checkException();
            } catch (SharedException const& x) {
                auto const* pInner = dynamic_cast<InternalException const*>(x.wrapped().get());
                FUZZ_CHECK(pInner != nullptr);
                bFailed = true;
                sFailure = pInner->message();
            }
        }
        FUZZ_CHECK(oController_.controllerStatus() == Controller::kStopped);
        if (bFailed)
            FUZZ_CHECK(sFailure == "producerOutput" || sFailure == "fuzz failure");
        for (FuzzNode* p : aNodes_)
            FUZZ_CHECK(p == nullptr || p->processed() <= 1);
        if (!bHeld) {
            ++gStats.checkedInFull;
            gStats.failedAsExpected += bFailed ? 1 : 0;
            FUZZ_CHECK(bFailed == e.bFails);
            if (!bFailed) {
                FUZZ_CHECK(pSink->processed() == 1);
                FUZZ_CHECK(pSink->lastValue() == e.aValue.at(pSink));
                for (FuzzNode* p : aNodes_)
                    if (p != nullptr)
                        FUZZ_CHECK(p->processed() == (e.aValue.count(p) ? 1 : 0));
            }
        }
        FUZZ_CHECK(oController_.wait(60.0, 0.0001));
        if (data_.ConsumeIntegralInRange(0, 3) != 0) {
            FUZZ_CHECK(oController_.flushGraph());
            for (FuzzNode* p : aMembers_)
                FUZZ_CHECK(!p->isProcessing());
        }
    }

    // --- one step and the invariants ------------------------------------------------------------

    void step() {
        switch (pick(9)) {
        case 0:
        case 1:
            nodeStep();
            break;
        case 2:
        case 3:
            linkStep();
            break;
        case 4:
            parameterStep();
            break;
        case 5:
            setStep();
            break;
        case 6:
            catalogueStep();
            break;
        case 7:
            dirtyStep();
            break;
        case 8:
            evaluateStep();
            break;
        }
    }

    void checkInvariants() {
        for (FuzzNode* p : aNodes_) {
            if (p == nullptr)
                continue;
            // An input's link is always mutual (an output may still point at an input that was
            // cleared with connect(nullptr)).
            for (std::size_t i = 0; i < p->numberOfInputs(); ++i) {
                OutputConnector const* pOut = p->input(i)->connectedOutput();
                FUZZ_CHECK(pOut == nullptr || pOut->connectedInput() == p->input(i));
            }
            checkIdentity(p);
        }
        for (std::size_t i = 0; i < aSets_.size(); ++i)
            checkSet(i);
        FUZZ_CHECK(oController_.controllerStatus() == Controller::kStopped);
    }

    FuzzedDataProvider& data_;
    Controller oController_;
    std::vector<FuzzNode*> aNodes_; // destroyed nodes leave a null
    std::vector<FuzzNode*> aMembers_;
    std::map<FuzzNode const*, int> aOrdinal_;
    std::map<std::string, int> aNameCounter_;
    std::vector<boost::shared_ptr<ParameterBase>> aParameters_;
    std::vector<std::unique_ptr<ParameterSet>> aSets_;
    std::vector<std::vector<boost::shared_ptr<ParameterBase>>> aSetModel_;
    std::vector<Registration> aRegistrations_;
    int iNextKind_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Core::Library::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* bytes, size_t size) {
    std::size_t const start = Core::liveAllocations();
    Library::initialize();
    {
        FuzzedDataProvider data(bytes, size);
        World world(data);
        world.run();
    }
    Library::terminate();
    // Everything the library allocated for this input has been given back.
    FUZZ_CHECK(Core::liveAllocations() == start);
    return 0;
}
