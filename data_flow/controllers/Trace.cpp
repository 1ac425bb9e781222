#include "data_flow/controllers/Trace.h"

#include "data_flow/controllers/Controller.h"
#include "data_flow/nodes/Node.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <thread>
#include <unordered_map>

namespace Mirel {
namespace DataFlow {

// ---------------------------------------------------------------------------------------------
// EvaluationObserver: every hook does nothing unless overridden.

EvaluationObserver::~EvaluationObserver() = default;
void EvaluationObserver::evaluationStarted(Controller const&, unsigned) {}
void EvaluationObserver::evaluationEnded(Controller const&, unsigned, teOutcome, char const*) {}
void EvaluationObserver::nodeStarted(Node const&, unsigned) {}
void EvaluationObserver::nodeEnded(Node const&, unsigned, char const*) {}
void EvaluationObserver::sliceStarted(Node const&, std::size_t, std::size_t, unsigned) {}
void EvaluationObserver::sliceEnded(Node const&, std::size_t, std::size_t, unsigned, char const*) {}

// ---------------------------------------------------------------------------------------------
// TraceRecorder's per-thread buffer

/** The events one thread reported, in the order they started. An event is opened by a start
    hook and closed by the matching end hook; since a thread's hooks nest, the event to close is
    always the innermost one opened, so the open ones form a stack. Events live in fixed-size
    chunks: growing never moves or copies them, and clear() keeps the chunks for the events to
    come. An event takes 16 bytes, so that a long evaluation streams half as much memory as with
    full timestamps: its start as nanoseconds after the start of the event before it (a record
    of the full time comes first when that does not fit in 32 bits), its duration in 32 bits
    (longer ones are kept with the details) and its subject's address with the kind in the low
    bits. */
struct TraceRecorder::Buffer {
    enum teKind : std::uintptr_t { kEvaluation, kNode, kSlice, kTime };

    struct Event {
        std::uint32_t iStartDelta; // after the start of the event before; 0 for a time record
        std::uint32_t iDuration;   // kLong: in the details
        std::uintptr_t subject;    // the subject's address | kind; a time record: time << 2 | kTime
    };
    static constexpr std::uint32_t kLong = ~std::uint32_t(0);
    //! What only some events carry: a slice's range, a failure, an outcome, a cancellation, a
    //! duration too long for 32 bits.
    struct Detail {
        std::size_t begin = 0;
        std::size_t end = 0;
        std::string failure;
        int outcome = -1;
        bool bCancelled = false;
        std::int64_t iDuration = -1;
    };
    //! An event decoded for writing.
    struct Decoded {
        teKind eKind;
        void const* subject;
        std::int64_t begin;
        std::int64_t end;
        Detail const* pDetail;

        //! Appends the event as a complete event on track sTid; names caches the nodes' debug
        //! identities, read once per node.
        void appendJson(std::string& out, std::string const& sTid,
                        std::unordered_map<void const*, std::string>& names) const;
        //! Appends its "args" (range, outcome, failure or cancellation), when it has any.
        void appendArgs(std::string& out) const;
    };

    static constexpr std::size_t kChunkSize = std::size_t(1) << 13;
    static constexpr std::size_t kNone = ~std::size_t(0);

    Buffer(std::thread::id thread, unsigned iThread, std::size_t iSequence)
        : oThread(thread)
        , iThreadIndex(iThread)
        , iOrder(iSequence) {}

    std::size_t size() const { return nRecords - nTimeRecords; }

    void open(teKind eKind, void const* pSubject, std::int64_t t) {
        std::uint64_t iDelta = std::uint64_t(t - iLastStart);
        if (iDelta >= kLong) { // also a clock read before the last start (it never goes back)
            append(0, std::uintptr_t(t) << 2 | kTime);
            ++nTimeRecords;
            iDelta = 0;
        }
        Event* const pEvent =
            append(std::uint32_t(iDelta), reinterpret_cast<std::uintptr_t>(pSubject) | eKind);
        aOpen.push_back({pEvent, nRecords - 1, t});
        iLastStart = t;
    }
    //! Closes the innermost open event and returns its index; kNone when none is open (an
    //! observer attached mid-way).
    std::size_t close(std::int64_t t) {
        if (aOpen.empty())
            return kNone;
        Open const o = aOpen.back();
        aOpen.pop_back();
        std::uint64_t const iDuration = std::uint64_t(t - o.begin);
        o.pEvent->iDuration = iDuration < kLong ? std::uint32_t(iDuration) : kLong;
        if (iDuration >= kLong)
            detail(o.index).iDuration = std::int64_t(iDuration);
        return o.index;
    }
    //! The details of event i, made when it has none: call it only for the event just closed.
    Detail& detail(std::size_t i) {
        if (aDetails.empty() || aDetails.back().first != i)
            aDetails.emplace_back(i, Detail());
        return aDetails.back().second;
    }
    //! Calls f(Decoded) for every closed event, in the order they started.
    template <class F>
    void forEachClosed(F&& f) const {
        std::unordered_map<std::size_t, Detail const*> aDetailOf;
        for (auto const& d : aDetails)
            aDetailOf.emplace(d.first, &d.second);
        std::vector<bool> aIsOpen(nRecords, false);
        for (Open const& o : aOpen)
            aIsOpen[o.index] = true;
        std::int64_t t = 0;
        for (std::size_t i = 0; i < nRecords; ++i) {
            Event const& e = at(i);
            teKind const eKind = teKind(e.subject & 3);
            if (eKind == kTime) {
                t = std::int64_t(e.subject >> 2);
                continue;
            }
            t += e.iStartDelta;
            if (aIsOpen[i])
                continue;
            auto const it = aDetailOf.find(i);
            Detail const* pDetail = it == aDetailOf.end() ? nullptr : it->second;
            std::int64_t const iDuration = e.iDuration == kLong ? pDetail->iDuration : e.iDuration;
            f(Decoded{eKind, reinterpret_cast<void const*>(e.subject & ~std::uintptr_t(3)), t,
                      t + iDuration, pDetail});
        }
    }
    //! Forgets the events but keeps their chunks: recording again touches no fresh memory.
    void clear() {
        iChunk = 0;
        pNext = aChunks.empty() ? nullptr : aChunks[0].get();
        pChunkEnd = aChunks.empty() ? nullptr : pNext + kChunkSize;
        iLastStart = 0;
        nRecords = 0;
        nTimeRecords = 0;
        aOpen.clear();
        aDetails.clear();
    }

    std::thread::id const oThread;
    unsigned const iThreadIndex; // the scheduler index of its first event: names the track
    std::size_t const iOrder;    // when it was made, among the recorder's buffers

private:
    struct Open {
        Event* pEvent; // where the duration goes: no lookup through the chunks
        std::size_t index;
        std::int64_t begin;
    };

    Event const& at(std::size_t i) const { return aChunks[i / kChunkSize][i % kChunkSize]; }
    Event* append(std::uint32_t iDelta, std::uintptr_t subject) {
        if (pNext == pChunkEnd)
            nextChunk();
        // Asks for the line four lines ahead to be owned by this core before it is written: a
        // long trace writes memory that is no longer in any near cache, and waiting for each
        // line costs more than the recording itself. Asked for much earlier, the line is pushed
        // out again by the evaluation's own memory before its events come (measured: 16 events
        // ahead beats 64 by about 2 ns per node).
        __builtin_prefetch(pNext + 16, 1, 0);
        *pNext = Event{iDelta, 0, subject};
        ++nRecords;
        return pNext++;
    }
    void nextChunk() {
        if (pNext != nullptr)
            ++iChunk;
        if (iChunk == aChunks.size())
            aChunks.emplace_back(new Event[kChunkSize]);
        pNext = aChunks[iChunk].get();
        pChunkEnd = pNext + kChunkSize;
    }

    std::vector<std::unique_ptr<Event[]>> aChunks;
    std::size_t iChunk = 0; // the chunk pNext points into
    Event* pNext = nullptr; // where the next record goes; null before the first chunk
    Event* pChunkEnd = nullptr;
    std::int64_t iLastStart = 0; // the start of the last event, or the last time record
    std::size_t nRecords = 0;    // events and time records
    std::size_t nTimeRecords = 0;
    std::vector<Open> aOpen;                              // the open events, innermost last
    std::vector<std::pair<std::size_t, Detail>> aDetails; // by event index, in closing order
};

namespace {

std::atomic<std::uint64_t> gNextRecorderId{1};

//! The buffer the calling thread last used, and the recorder it belongs to: for threads whose
//! scheduler index names another thread's slot (a second host thread, another arena's worker).
struct ThreadBuffer {
    std::uint64_t nRecorder = 0;
    void* pBuffer = nullptr;
};
thread_local ThreadBuffer tBuffer;

//! Appends s as a JSON string: quotes, escapes, and U+FFFD for bytes that are not UTF-8.
void appendJsonString(std::string& out, char const* s) {
    static char const kHex[] = "0123456789abcdef";
    out += '"';
    auto const* p = reinterpret_cast<unsigned char const*>(s);
    while (*p != 0) {
        unsigned char const c = *p;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
            ++p;
        } else if (c < 0x20) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
            ++p;
        } else if (c < 0x80) {
            out += char(c);
            ++p;
        } else {
            // A well-formed UTF-8 sequence is copied as it is; anything else becomes U+FFFD.
            std::size_t const n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
            std::size_t k = 1;
            while (n != 0 && k < n && (p[k] & 0xC0) == 0x80)
                ++k;
            bool const bValid = n != 0 && k == n && c <= 0xF4 && !(c == 0xE0 && p[1] < 0xA0) &&
                                !(c == 0xED && p[1] >= 0xA0) && !(c == 0xF0 && p[1] < 0x90) &&
                                !(c == 0xF4 && p[1] >= 0x90);
            if (bValid)
                out.append(reinterpret_cast<char const*>(p), n);
            else
                out += "\\ufffd";
            p += bValid ? n : 1;
        }
    }
    out += '"';
}

//! Appends nanoseconds as microseconds with three decimals: exact, so nesting survives.
void appendMicroseconds(std::string& out, std::int64_t ns) {
    char sText[32];
    std::snprintf(sText, sizeof sText, "%lld.%03lld", static_cast<long long>(ns / 1000),
                  static_cast<long long>(ns % 1000));
    out += sText;
}

char const* outcomeName(int outcome) {
    switch (outcome) {
    case EvaluationObserver::kCompleted:
        return "completed";
    case EvaluationObserver::kFailed:
        return "failed";
    default:
        return "cancelled";
    }
}

//! "host" or "worker N", numbered when several threads had the same scheduler index.
std::string trackName(unsigned iThreadIndex, std::size_t nSame) {
    std::string sName = iThreadIndex == 0 ? "host" : "worker " + std::to_string(iThreadIndex);
    if (nSame > 1)
        sName += " (" + std::to_string(nSame) + ")";
    return sName;
}

bool isCancelled(Node const& node) {
    Controller const* pController = node.controller();
    return pController != nullptr && pController->controllerStatus() == Controller::kCancelled;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Recording

inline std::int64_t TraceRecorder::now() const noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
               .count() -
           iOrigin_;
}

TraceRecorder::TraceRecorder()
    : nId_(gNextRecorderId.fetch_add(1, std::memory_order_relaxed))
    , iOrigin_(0) {
    for (auto& oSlot : aSlots_)
        oSlot.store(nullptr, std::memory_order_relaxed);
    iOrigin_ = now();
}

TraceRecorder::~TraceRecorder() = default;

inline TraceRecorder::Buffer& TraceRecorder::buffer(unsigned thread) {
    // The thread's slot by its scheduler index: no thread-local lookup. A slot belongs to the
    // first thread that reported with that index; another thread with the same index (a second
    // host thread, a worker of another arena) finds its buffer through its thread-local cache.
    if (thread < kSlots) {
        Buffer* const pBuffer = aSlots_[thread].load(std::memory_order_acquire);
        if (pBuffer != nullptr && pBuffer->oThread == std::this_thread::get_id())
            return *pBuffer;
    }
    if (tBuffer.nRecorder == nId_)
        return *static_cast<Buffer*>(tBuffer.pBuffer);
    return attach(thread);
}

TraceRecorder::Buffer& TraceRecorder::attach(unsigned thread) {
    // The thread's first event for this recorder, or its first since it reported to another.
    std::thread::id const self = std::this_thread::get_id();
    std::lock_guard<std::mutex> oLock(oMutex_);
    Buffer* pBuffer = nullptr;
    for (auto const& p : aBuffers_)
        if (p->oThread == self)
            pBuffer = p.get();
    if (pBuffer == nullptr) {
        aBuffers_.push_back(std::make_unique<Buffer>(self, thread, aBuffers_.size()));
        pBuffer = aBuffers_.back().get();
    }
    if (thread < kSlots && aSlots_[thread].load(std::memory_order_relaxed) == nullptr)
        aSlots_[thread].store(pBuffer, std::memory_order_release);
    tBuffer = ThreadBuffer{nId_, pBuffer};
    return *pBuffer;
}

void TraceRecorder::evaluationStarted(Controller const& controller, unsigned thread) {
    buffer(thread).open(Buffer::kEvaluation, &controller, now());
}

void TraceRecorder::evaluationEnded(Controller const&, unsigned thread, teOutcome outcome,
                                    char const* failure) {
    Buffer& b = buffer(thread);
    std::size_t const iEvent = b.close(now());
    if (iEvent != Buffer::kNone) {
        Buffer::Detail& d = b.detail(iEvent);
        d.outcome = outcome;
        d.failure = failure != nullptr ? failure : "";
    }
}

void TraceRecorder::nodeStarted(Node const& node, unsigned thread) {
    buffer(thread).open(Buffer::kNode, &node, now());
}

void TraceRecorder::nodeEnded(Node const& node, unsigned thread, char const* failure) {
    Buffer& b = buffer(thread);
    std::size_t const iEvent = b.close(now());
    if (iEvent == Buffer::kNone || (failure == nullptr && !isCancelled(node)))
        return; // the common case: nothing more to note
    Buffer::Detail& d = b.detail(iEvent);
    d.failure = failure != nullptr ? failure : "";
    d.bCancelled = failure == nullptr;
}

void TraceRecorder::sliceStarted(Node const& node, std::size_t, std::size_t, unsigned thread) {
    buffer(thread).open(Buffer::kSlice, &node, now());
}

void TraceRecorder::sliceEnded(Node const&, std::size_t begin, std::size_t end, unsigned thread,
                               char const* failure) {
    Buffer& b = buffer(thread);
    std::size_t const iEvent = b.close(now());
    if (iEvent != Buffer::kNone) {
        // The range is noted at the end, which the hook is given as well as the start.
        Buffer::Detail& d = b.detail(iEvent);
        d.begin = begin;
        d.end = end;
        d.failure = failure != nullptr ? failure : "";
    }
}

void TraceRecorder::clear() {
    std::lock_guard<std::mutex> oLock(oMutex_);
    for (auto const& p : aBuffers_)
        p->clear();
    iOrigin_ = 0;
    iOrigin_ = now();
}

std::size_t TraceRecorder::eventCount() const {
    std::lock_guard<std::mutex> oLock(oMutex_);
    std::size_t n = 0;
    for (auto const& p : aBuffers_)
        n += p->size();
    return n;
}

// ---------------------------------------------------------------------------------------------
// Writing

void TraceRecorder::Buffer::Decoded::appendJson(
    std::string& out, std::string const& sTid,
    std::unordered_map<void const*, std::string>& names) const {
    out += ",\n{\"ph\":\"X\",\"pid\":1,\"tid\":" + sTid + ",\"ts\":";
    appendMicroseconds(out, begin);
    out += ",\"dur\":";
    appendMicroseconds(out, end - begin);
    out += ",\"name\":";
    if (eKind == kEvaluation) {
        out += "\"evaluation\",\"cat\":\"evaluation\"";
    } else {
        auto it = names.find(subject);
        if (it == names.end())
            it = names.emplace(subject, static_cast<Node const*>(subject)->debugId().c_str()).first;
        appendJsonString(out, it->second.c_str());
        out += eKind == kNode ? ",\"cat\":\"node\"" : ",\"cat\":\"slice\"";
    }
    appendArgs(out);
    out += "}";
}

void TraceRecorder::Buffer::Decoded::appendArgs(std::string& out) const {
    // A node's details say only whether it failed or was cancelled.
    if (pDetail == nullptr || (eKind == kNode && !pDetail->bCancelled && pDetail->failure.empty()))
        return;
    Detail const& d = *pDetail;
    char const* sComma = "";
    out += ",\"args\":{";
    if (eKind == kSlice) {
        out += "\"begin\":" + std::to_string(d.begin) + ",\"end\":" + std::to_string(d.end);
        sComma = ",";
    }
    if (eKind == kEvaluation) {
        out += std::string("\"outcome\":\"") + outcomeName(d.outcome) + "\"";
        sComma = ",";
    }
    if (d.bCancelled) {
        out += sComma;
        out += "\"cancelled\":true";
    } else if (!d.failure.empty()) {
        out += sComma;
        out += "\"failure\":";
        appendJsonString(out, d.failure.c_str());
    }
    out += "}";
}

void TraceRecorder::writeChromeTrace(std::ostream& os) const {
    std::lock_guard<std::mutex> oLock(oMutex_);
    // Tracks in scheduler order, the host first; a second thread with the same index (another
    // host thread) gets a track of its own, numbered.
    std::vector<Buffer const*> aTracks;
    for (auto const& p : aBuffers_)
        aTracks.push_back(p.get());
    std::sort(aTracks.begin(), aTracks.end(), [](Buffer const* a, Buffer const* b) {
        return a->iThreadIndex != b->iThreadIndex ? a->iThreadIndex < b->iThreadIndex
                                                  : a->iOrder < b->iOrder;
    });

    std::unordered_map<void const*, std::string> aNames; // debug ids, looked up once per node
    std::string out = "{\"traceEvents\":[";
    char const* sSeparator = "\n";
    auto flushIfLarge = [&] {
        if (out.size() > (std::size_t(1) << 16)) {
            os.write(out.data(), std::streamsize(out.size()));
            out.clear();
        }
    };
    for (std::size_t tid = 0; tid < aTracks.size(); ++tid) {
        Buffer const& b = *aTracks[tid];
        std::size_t nSame = 1;
        for (std::size_t k = 0; k < tid; ++k)
            nSame += aTracks[k]->iThreadIndex == b.iThreadIndex ? 1 : 0;
        std::string const sName = trackName(b.iThreadIndex, nSame);
        std::string const sTid = std::to_string(tid);
        out += sSeparator;
        sSeparator = ",\n";
        out += "{\"ph\":\"M\",\"pid\":1,\"tid\":" + sTid +
               ",\"name\":\"thread_name\",\"args\":{\"name\":";
        appendJsonString(out, sName.c_str());
        out += "}}";

        b.forEachClosed([&](Buffer::Decoded const& e) { // open ones: an evaluation is running
            e.appendJson(out, sTid, aNames);
            flushIfLarge();
        });
    }
    out += "\n],\"displayTimeUnit\":\"ns\"}\n";
    os.write(out.data(), std::streamsize(out.size()));
}

} // namespace DataFlow
} // namespace Mirel
