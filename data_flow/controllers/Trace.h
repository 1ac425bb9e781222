#pragma once
/** Watching an evaluation: which node ran, which slice, on which thread, for how long.

    An EvaluationObserver attached to a Controller (Controller::setObserver) is told when an
    evaluation starts and ends, when each node's processing starts and ends, and when each slice
    sub-range starts and ends. Every hook names the calling thread by its index in the
    scheduler: 0 for the host's slot (and for a host thread that evaluates outside the
    scheduler), 1 and up for the scheduler's worker threads. The hooks of one thread nest: a
    slice's start and end fall inside the processing of its node when that node runs on the same
    thread, and a node's inside its evaluation's.

    TraceRecorder is an observer that keeps those events and writes them as Chrome trace-event
    JSON, which Perfetto's web UI (ui.perfetto.dev) and chrome://tracing open. */

#include "data_flow/Export.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <vector>

namespace Mirel {
namespace DataFlow {

class Controller;
class Node;

/** The hooks a controller calls during an evaluation; each does nothing by default. They are
    called on the threads that do the work, several at once, so an observer must be safe for
    that; a hook should not throw (what one throws is a failure of the evaluation). The
    failure texts are valid only during the call. */
class DATA_FLOW_API EvaluationObserver {
public:
    //! How an evaluation ended.
    enum teOutcome : std::int32_t {
        kCompleted = 0, //!< the visit finished (some nodes may have been left unready)
        kFailed = 1,    //!< a failure ended it; the failure text says which
        kCancelled = 2  //!< cancelProcess() landed while it ran
    };

    virtual ~EvaluationObserver();
    //! process() or the asynchronous task begins its visit from the sink.
    virtual void evaluationStarted(Controller const& controller, unsigned thread);
    //! The visit is over; failure is what() of the failure for kFailed, else null.
    virtual void evaluationEnded(Controller const& controller, unsigned thread, teOutcome outcome,
                                 char const* failure);
    //! The node's processing lock is held and its process() is about to run.
    virtual void nodeStarted(Node const& node, unsigned thread);
    //! process() returned (failure null) or threw (failure is what it threw, as text).
    virtual void nodeEnded(Node const& node, unsigned thread, char const* failure);
    //! processSlice(begin, end) of the node is about to run.
    virtual void sliceStarted(Node const& node, std::size_t begin, std::size_t end,
                              unsigned thread);
    //! processSlice(begin, end) returned (failure null) or threw.
    virtual void sliceEnded(Node const& node, std::size_t begin, std::size_t end, unsigned thread,
                            char const* failure);
};

/** An observer that records every event with std::chrono::steady_clock into a buffer of the
    thread that reports it (no lock once a thread has its buffer), and writes them as Chrome
    trace-event JSON. Node names are read when the trace is written, so the recorded nodes must
    still exist then. Hooks may run on many threads at once; writeChromeTrace and clear must not
    overlap an evaluation that reports to this recorder. */
class DATA_FLOW_API TraceRecorder : public EvaluationObserver {
public:
    //! An empty recorder; times are counted from its construction (or the last clear()).
    TraceRecorder();
    ~TraceRecorder() override;
    TraceRecorder(TraceRecorder const&) = delete;
    TraceRecorder& operator=(TraceRecorder const&) = delete;

    void evaluationStarted(Controller const& controller, unsigned thread) override;
    void evaluationEnded(Controller const& controller, unsigned thread, teOutcome outcome,
                         char const* failure) override;
    void nodeStarted(Node const& node, unsigned thread) override;
    void nodeEnded(Node const& node, unsigned thread, char const* failure) override;
    void sliceStarted(Node const& node, std::size_t begin, std::size_t end,
                      unsigned thread) override;
    void sliceEnded(Node const& node, std::size_t begin, std::size_t end, unsigned thread,
                    char const* failure) override;

    /** Writes {"traceEvents":[...],"displayTimeUnit":"ns"}: a "thread_name" metadata event
        ("ph":"M") per thread ("host", "worker 1", ...), then one complete event ("ph":"X") per
        finished evaluation, node and slice, with ts and dur in microseconds, name the node's
        debug identity (or "evaluation"), cat "evaluation", "node" or "slice", and args holding
        the range, the failure text, "cancelled" or the outcome. Events of one thread come in
        the order they started and nest exactly. Throws what Node::debugId throws. */
    void writeChromeTrace(std::ostream& os) const;
    //! Forgets every event and restarts the clock; the buffers keep their memory for the events
    //! to come (destroying the recorder releases it).
    void clear();
    //! The number of events recorded (finished or not).
    std::size_t eventCount() const;

private:
    struct Buffer;

    Buffer& buffer(unsigned thread);
    Buffer& attach(unsigned thread);
    std::int64_t now() const noexcept;

    //! Scheduler thread indices below this have a slot: their buffer without a lock or a
    //! thread-local lookup.
    static constexpr unsigned kSlots = 128;

    std::uint64_t nId_; // never reused: a thread's cached buffer is checked against it
    std::int64_t iOrigin_;
    std::atomic<Buffer*> aSlots_[kSlots]; // by scheduler index: the first thread's buffer
    mutable std::mutex oMutex_;           // guards the list of buffers, not their contents
    std::vector<std::unique_ptr<Buffer>> aBuffers_;
};

} // namespace DataFlow
} // namespace Mirel
