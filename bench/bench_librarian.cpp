// Node creation through the catalogue with 100,000 registered kinds: by client identifier
// against by metadata record. Every iteration creates one node and destroys it again, so both
// figures include the same node construction and destruction.

#include "BenchNodes.h"
#include "BenchSupport.h"

#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/librarian/NodeMetaData.h"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using Mirel::String;
using Mirel::DataFlow::NodeLibrarian;
using Mirel::DataFlow::NodeMetaData;
using Mirel::DataFlow::NodeTargetType;

constexpr int kKinds = 100000;
constexpr NodeTargetType kTarget = NodeTargetType(0);

Mirel::DataFlow::Node* createAddOne(NodeTargetType) {
    return MIREL_NEW bench::AddOne("n");
}

String kindName(int i) {
    return String(("Kind" + std::to_string(i)).c_str());
}
String vendorName(int i) {
    return String(("vendor" + std::to_string(i % 16)).c_str());
}
String clientID(int i) {
    return String(("client." + std::to_string(i)).c_str());
}

//! The kinds looked up, in a fixed shuffled order over the whole catalogue.
std::vector<int> const& lookupOrder() {
    static std::vector<int> const aOrder = [] {
        std::vector<int> a(kKinds);
        for (int i = 0; i < kKinds; ++i)
            a[std::size_t(i)] = i;
        std::shuffle(a.begin(), a.end(), std::mt19937(12345));
        return a;
    }();
    return aOrder;
}

void registerKinds() {
    NodeLibrarian* pLibrarian = NodeLibrarian::Instance();
    for (int i = 0; i < kKinds; ++i)
        pLibrarian->add(&createAddOne, MIREL_NEW NodeMetaData(kindName(i), "bench", vendorName(i),
                                                              1, "", clientID(i)));
}

void byClientID(benchmark::State& state) {
    std::vector<String> aKeys;
    for (int i : lookupOrder())
        aKeys.push_back(clientID(i));
    NodeLibrarian* pLibrarian = NodeLibrarian::Instance();
    std::size_t i = 0;
    for (auto _ : state) {
        Mirel::DataFlow::Node* pNode = pLibrarian->createNodeByClientID(aKeys[i], kTarget);
        if (pNode == nullptr)
            state.SkipWithError("kind not found");
        Mirel::Core::destroy(pNode);
        i = i + 1 == aKeys.size() ? 0 : i + 1;
    }
}

void byMetadata(benchmark::State& state, bool bVersioned) {
    std::vector<NodeMetaData> aKeys;
    for (int i : lookupOrder()) {
        if (bVersioned)
            aKeys.emplace_back(kindName(i), "bench", vendorName(i), 1, "", "");
        else
            aKeys.emplace_back(kindName(i), "bench", vendorName(i));
    }
    NodeLibrarian* pLibrarian = NodeLibrarian::Instance();
    std::size_t i = 0;
    for (auto _ : state) {
        Mirel::DataFlow::Node* pNode = pLibrarian->createNodeByMetadata(&aKeys[i], kTarget);
        if (pNode == nullptr)
            state.SkipWithError("kind not found");
        Mirel::Core::destroy(pNode);
        i = i + 1 == aKeys.size() ? 0 : i + 1;
    }
}

void directly(benchmark::State& state) {
    for (auto _ : state)
        Mirel::Core::destroy(createAddOne(kTarget));
}

} // namespace

int main(int argc, char** argv) {
    bench::LibraryScope library(argc, argv);
    registerKinds();
    bench::registerRounds(
        {{"create/by_client_id", byClientID},
         {"create/by_metadata", [](benchmark::State& state) { byMetadata(state, true); }},
         {"create/by_metadata_without_version",
          [](benchmark::State& state) { byMetadata(state, false); }},
         {"create/without_catalogue", directly}});

    using bench::Comparison;
    return bench::run(
        argc, argv,
        {{"create by client id, vs by metadata", "create/by_client_id", "create/by_metadata",
          Comparison::kAtMost, 2.0, 1.0, "ns"},
         {"create by metadata, no version, vs exact", "create/by_metadata_without_version",
          "create/by_metadata", Comparison::kAtMost, 0.0, 1.0, "ns"},
         {"create by client id, vs without catalogue", "create/by_client_id",
          "create/without_catalogue", Comparison::kAtMost, 0.0, 1.0, "ns"}});
}
