// Evaluation with parallel branches (Controller::setParallelBranches).
//
// The visit is the serial one, depth-first from the sink, with one addition: at a node with
// several missing producers, the producers that head an independent branch are handed to the
// scheduler as branches of their own, and the visiting thread goes on with the rest. A branch is
// independent when every unprocessed node in it feeds exactly one node, inside the branch or, for
// its head, the node that forked it: nothing outside the branch can then reach into it, so the
// branches of a fork, and the rest of the visit, touch disjoint sets of nodes. The node that
// forked is processed once all its branches have arrived back.
//
// Nothing waits in the middle of the visit. Each branch is a job with its own stack of frames on
// the heap; a job that reaches the join of its fork before the branches are done is left there,
// and the last branch to arrive carries on with it on its own thread. So no thread nests one
// visit inside another, however deep the graph or however many forks it takes, and the host
// waits once, at the end, for the whole evaluation.

#include "data_flow/controllers/Controller.h"

#include "data_flow/connectors/Connector.h"
#include "data_flow/internal/ControllerImpl.h"
#include "data_flow/internal/Failures.h"
#include "data_flow/nodes/Node.h"
#include "data_flow/private/Visit.h"

#include <boost/container/small_vector.hpp>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace Mirel {
namespace DataFlow {

inline InputConnector* Controller::inputOf(Node* node, std::size_t i) noexcept {
    return node->aInputs_[i];
}

inline OutputConnector* Controller::outputOf(Node* node, std::size_t i) noexcept {
    return node->aOutputs_[i];
}

namespace internal {

class BranchVisit {
public:
    explicit BranchVisit(Controller& controller)
        : oController_(controller)
        , oContext_(tbb::task_group_context::isolated)
        , oGroup_(oContext_) {}

    //! Evaluates from root and returns when every branch is done; throws the first failure met
    //! anywhere as SharedException.
    void run(Node* root);

private:
    struct Fork;
    // The lists a fork check makes, on the stack while short: checking a node that does not
    // fork allocates nothing.
    using NodeList = boost::container::small_vector<Node*, 8>;
    enum tePhase {
        kNew,    // the node has not been looked at
        kInline, // forked: visiting the producers that stayed with this job
        kJoined, // every branch of the fork has arrived
        kScan    // visiting missing producers one at a time, as the serial visit does
    };
    struct Frame {
        Node* pNode;
        tePhase ePhase;
        std::size_t iNext; // the next input (kScan) or inline producer (kInline)
        Fork* pFork;
    };
    //! A frame for node, not looked at yet.
    static Frame newFrame(Node* node) noexcept { return {node, kNew, 0, nullptr}; }
    struct Job {
        //! A branch from head (the root's job: without a parent) to the fork it arrives at.
        Job(Node* head, Fork* parent)
            : aFrames{newFrame(head)}
            , pParent(parent) {}

        std::vector<Frame> aFrames; // storage for a FrameStack: the first nFrames are the stack
        Fork* pParent;              // the fork this branch arrives at when done; null for the root
        std::size_t nFrames = 1;    // the head's frame
        // The node count of the thread walking the job now (Controller::slotNodeCount).
        std::atomic<std::size_t>* pNodeCount = nullptr;
    };
    struct Fork {
        std::atomic<std::size_t> nPending; // branches not arrived, plus one for the owner
        Job* pOwner;
        std::vector<Node*> aInline;
    };
    //! The part of a branch still to be looked at, while its independence is being checked.
    struct Search {
        Node* pHead;
        NodeList aTodo;
        std::size_t nSteps = 0;
        bool bAlive = true;

        //! Walked to its end without meeting a node fed to another: a branch of its own.
        bool independent() const noexcept { return bAlive && aTodo.empty(); }
        bool undecided() const noexcept { return bAlive && !aTodo.empty(); }
    };

    bool running() const noexcept { return oController_.isRunning(); }
    void drive(Job* pJob) noexcept;
    using Frames = FrameStack<std::vector<Frame>>;

    bool walk(Job& job) noexcept;
    // Inline in walk(), so that the frames' top stays in a register (see FrameStack).
    [[gnu::always_inline]] bool step(Job& job, Frames& frames);
    //! The cheap part of the fork check: true when tryFork may find a branch to hand off.
    static bool mayFork(Node* pNode);
    Fork* tryFork(Job& job, Node* pNode);
    NodeList independentBranches(Node* pNode, NodeList const& aProducers);
    void start(Fork& fork, NodeList const& aBranches);
    static void expand(Search& s);
    //! Whether node, not being processed, feeds consumer and nothing else.
    static bool feedsOnly(Node* node, Node const* consumer);
    template <class F>
    static void forEachMissingProducer(Node* node, F&& f);
    static Job* arrive(Fork& fork) noexcept;

    Controller& oController_;
    tbb::task_group_context oContext_; // isolated: a cancellation of the controller never skips
                                       // a branch, which would then never arrive
    tbb::task_group oGroup_;
    FirstFailure oFailure_;
};

namespace {

//! How far a branch is walked when no other producer of its node is known independent.
constexpr std::size_t kAloneSteps = 1024;

} // namespace

bool BranchVisit::feedsOnly(Node* node, Node const* consumer) {
    for (std::size_t i = 0; i < node->numberOfOutputs(); ++i) {
        InputConnector const* pInput = Controller::outputOf(node, i)->connectedInput();
        if (pInput != nullptr && pInput->node() != consumer)
            return false;
    }
    return !node->isProcessing();
}

//! The producers of node's inputs whose outputs linked to node hold no data, in input order (a
//! producer linked to several inputs as often).
template <class F>
void BranchVisit::forEachMissingProducer(Node* node, F&& f) {
    for (std::size_t i = 0; i < node->numberOfInputs(); ++i) {
        OutputConnector const* pOutput = Controller::inputOf(node, i)->connectedOutput();
        if (pOutput != nullptr && !pOutput->hasData() && pOutput->node() != nullptr)
            f(pOutput->node());
    }
}

void BranchVisit::run(Node* root) {
    Job oRoot(root, nullptr);
    oController_.pImpl_->arena().execute([&] {
        // Isolated: while the host waits it runs only this evaluation's branches.
        tbb::this_task_arena::isolate([&] {
            drive(&oRoot);
            oGroup_.wait();
        });
    });
    oFailure_.rethrowShared();
}

void BranchVisit::drive(Job* pJob) noexcept {
    while (pJob != nullptr && walk(*pJob)) {
        Fork* const pParent = pJob->pParent;
        if (pParent == nullptr)
            return; // the root, which run() owns
        delete pJob;
        pJob = arrive(*pParent); // the owner, when this branch was the last of its fork
    }
}

BranchVisit::Job* BranchVisit::arrive(Fork& fork) noexcept {
    Job* const pOwner = fork.pOwner; // read first: once the count is down, fork may be gone
    return fork.nPending.fetch_sub(1, std::memory_order_acq_rel) == 1 ? pOwner : nullptr;
}

bool BranchVisit::walk(Job& job) noexcept {
    job.pNodeCount = oController_.slotNodeCount(); // a job may move between threads at a join
    Frames oFrames(job.aFrames, job.nFrames);
    while (!oFrames.empty()) {
        try {
            if (!step(job, oFrames))
                return false; // left at a join; the last branch carries on with it
        } catch (...) {
            // The first failure is kept; stopping makes every job unwind without processing
            // anything more, through the joins, so that no branch is left behind.
            oFailure_.offerCurrent();
            oController_.eStatus_.store(Controller::kStopped);
        }
    }
    return true;
}

inline bool BranchVisit::step(Job& job, Frames& frames) {
    Frame& f = frames.top();
    Node* const pNode = f.pNode;
    switch (f.ePhase) {
    case kNew:
        if (pNode->isProcessing()) {
            // Another evaluation processes it: wait until it lets go, and leave it alone.
            frames.pop();
            Controller::waitWhileProcessed(pNode);
        } else if (pNode->isReady()) {
            frames.pop();
            if (running())
                oController_.processNode(pNode, oController_.observedThread(), job.pNodeCount);
        } else {
            f.ePhase = kScan;
            f.iNext = 0;
            // A chain's link has nothing to fork; a node that does not fork is scanned now. The
            // cheap checks come first, without allocating: a lattice goes no further.
            if (pNode->numberOfInputs() < 2 || !mayFork(pNode) || !running())
                break;
            Fork* const pFork = tryFork(job, pNode);
            if (pFork == nullptr)
                break;
            f.ePhase = kInline;
            f.pFork = pFork;
        }
        return true;
    case kInline:
        if (f.iNext < f.pFork->aInline.size() && running()) {
            Node* const pProducer = f.pFork->aInline[f.iNext++];
            frames.push(newFrame(pProducer));
            return true;
        }
        f.ePhase = kJoined;
        // Once it has arrived, the last branch of the fork may carry on with this job on its
        // own thread: the job's depth is written down before.
        job.nFrames = frames.depth();
        return arrive(*f.pFork) == &job;
    case kJoined:
        delete f.pFork;
        f.pFork = nullptr;
        f.ePhase = kScan;
        f.iNext = 0;
        return true;
    case kScan:
        break;
    }

    // As the serial visit: the inputs in order, the first one lacking data has its producer
    // visited; with none left, the node is processed if that made it ready.
    if (Node* const pProducer = oController_.nextMissingProducer(pNode, f.iNext)) {
        frames.push(newFrame(pProducer));
        return true;
    }
    frames.pop();
    if (running() && pNode->isReady())
        oController_.processNode(pNode, oController_.observedThread(), job.pNodeCount);
    return true;
}

inline bool BranchVisit::mayFork(Node* pNode) {
    // At least two producers to visit, one of them feeding this node alone. The count comes
    // first: it reads only the node's own inputs, and in most graphs most nodes have at most one
    // producer left to visit when their visit begins (a lattice's cells, once the row above is
    // done).
    std::size_t nMissing = 0;
    forEachMissingProducer(pNode, [&](Node*) { ++nMissing; });
    if (nMissing < 2)
        return false;
    bool bCandidate = false;
    forEachMissingProducer(pNode, [&](Node* p) { bCandidate = bCandidate || feedsOnly(p, pNode); });
    return bCandidate;
}

BranchVisit::Fork* BranchVisit::tryFork(Job& job, Node* pNode) {
    NodeList aProducers;
    forEachMissingProducer(pNode, [&](Node* p) {
        if (std::find(aProducers.begin(), aProducers.end(), p) == aProducers.end())
            aProducers.push_back(p);
    });
    if (aProducers.size() < 2)
        return nullptr;
    NodeList const aBranches = independentBranches(pNode, aProducers);
    if (aBranches.empty())
        return nullptr;
    auto pFork = std::make_unique<Fork>();
    pFork->pOwner = &job;
    for (Node* p : aProducers)
        if (std::find(aBranches.begin(), aBranches.end(), p) == aBranches.end())
            pFork->aInline.push_back(p);
    pFork->nPending.store(aBranches.size() + 1, std::memory_order_relaxed);
    start(*pFork, aBranches);
    return pFork.release();
}

void BranchVisit::start(Fork& fork, NodeList const& aBranches) {
    for (std::size_t i = 0; i < aBranches.size(); ++i) {
        try {
            Job* pBranch = new Job(aBranches[i], &fork);
            try {
                oGroup_.run([this, pBranch] { drive(pBranch); });
            } catch (...) {
                delete pBranch;
                throw;
            }
        } catch (...) {
            // Out of memory: the branches not started stay with the owner, and the fork waits
            // only for those that were. The owner's own arrival is still to come, so the count
            // cannot reach zero here.
            for (std::size_t k = i; k < aBranches.size(); ++k)
                fork.aInline.push_back(aBranches[k]);
            fork.nPending.fetch_sub(aBranches.size() - i, std::memory_order_acq_rel);
            return;
        }
    }
}

BranchVisit::NodeList BranchVisit::independentBranches(Node* pNode, NodeList const& aProducers) {
    // Each producer's unprocessed part is walked until it is known to be independent (walked
    // to its end) or not. The walks take turns, one node each, and stop once at most one is
    // undecided, when another is known independent: the undecided one stays with the visiting
    // thread whatever it is, so it need not be walked to its end. Walking by turns bounds the
    // cost by the second-largest branch, so a long chain with a short side branch at every node
    // is not walked again at every node. A walk left alone with nothing known independent goes
    // on up to a bound: past that, its branch stays with the visiting thread.
    boost::container::small_vector<Search, 4> aSearches;
    for (Node* p : aProducers) {
        aSearches.push_back(Search{p, {p}});
        aSearches.back().bAlive = feedsOnly(p, pNode);
    }
    while (running()) {
        std::size_t nUndecided = 0, nIndependent = 0;
        Search* pUndecided = nullptr;
        for (Search& s : aSearches) {
            if (s.undecided()) {
                ++nUndecided;
                pUndecided = &s;
            }
            nIndependent += s.independent() ? 1 : 0;
        }
        if (nUndecided >= 2) {
            for (Search& s : aSearches)
                if (s.undecided())
                    expand(s);
        } else if (nUndecided == 1 && nIndependent == 0 && pUndecided->nSteps < kAloneSteps) {
            expand(*pUndecided);
        } else {
            break;
        }
    }

    NodeList aBranches;
    Search const* pLargest = nullptr;
    bool bAllIndependent = true;
    for (Search const& s : aSearches) {
        if (s.independent()) {
            aBranches.push_back(s.pHead);
            if (pLargest == nullptr || s.nSteps > pLargest->nSteps)
                pLargest = &s;
        } else {
            bAllIndependent = false;
        }
    }
    if (bAllIndependent && pLargest != nullptr) // the visiting thread keeps one, the largest
        aBranches.erase(std::find(aBranches.begin(), aBranches.end(), pLargest->pHead));
    return aBranches;
}

void BranchVisit::expand(Search& s) {
    Node* const pNode = s.aTodo.back();
    s.aTodo.pop_back();
    ++s.nSteps;
    std::size_t const nBefore = s.aTodo.size();
    forEachMissingProducer(pNode, [&](Node* p) {
        if (!s.bAlive)
            return;
        if (!feedsOnly(p, pNode))
            s.bAlive = false;
        else if (std::find(s.aTodo.begin() + std::ptrdiff_t(nBefore), s.aTodo.end(), p) ==
                 s.aTodo.end())
            s.aTodo.push_back(p); // a producer linked to several inputs of pNode, once
    });
}

} // namespace internal

void Controller::processBranches(Node* node) {
    internal::BranchVisit(*this).run(node);
}

} // namespace DataFlow
} // namespace Mirel
