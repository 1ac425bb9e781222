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
    always the innermost one opened, so the open ones form a stack, linked through the events
    themselves. Events live in fixed-size chunks: growing never moves or copies them, and
    clear() keeps the chunks for the events to come. */
struct TraceRecorder::Buffer {
    enum teKind : std::uint32_t { kEvaluation, kNode, kSlice };

    struct Event {
        std::int64_t begin; // nanoseconds since the recorder's origin
        union {
            std::int64_t end;  // once closed
            Event* pEnclosing; // while open: the event open before it, or null
        };
        void const* subject;
        teKind eKind;
        std::uint32_t iDetail; // 1 + index into aDetails, 0 for none; kOpen while open
    };
    static constexpr std::uint32_t kOpen = ~std::uint32_t(0);
    //! What only some events carry: a slice's range, a failure, an outcome, a cancellation.
    struct Detail {
        std::size_t begin = 0;
        std::size_t end = 0;
        std::string failure;
        int outcome = -1;
        bool bCancelled = false;
    };

    static constexpr std::size_t kChunkSize = std::size_t(1) << 12;

    Buffer(std::thread::id thread, unsigned iThread, std::size_t iSequence)
        : oThread(thread)
        , iThreadIndex(iThread)
        , iOrder(iSequence) {}

    Event const& at(std::size_t i) const { return aChunks[i / kChunkSize][i % kChunkSize]; }
    std::size_t size() const {
        return pNext == nullptr ? 0
                                : iChunk * kChunkSize + std::size_t(pNext - aChunks[iChunk].get());
    }

    void open(teKind eKind, void const* pSubject, std::int64_t t) {
        if (pNext == pChunkEnd)
            nextChunk();
        Event* const e = pNext++;
        e->begin = t;
        e->pEnclosing = pInnermost;
        e->subject = pSubject;
        e->eKind = eKind;
        e->iDetail = kOpen;
        pInnermost = e;
    }
    //! Closes the innermost open event; null when none is open (an observer attached mid-way).
    Event* close(std::int64_t t) {
        Event* const e = pInnermost;
        if (e == nullptr)
            return nullptr;
        pInnermost = e->pEnclosing;
        e->end = t;
        e->iDetail = 0;
        return e;
    }
    std::uint32_t addDetail(Detail oDetail) {
        aDetails.push_back(std::move(oDetail));
        return std::uint32_t(aDetails.size());
    }
    //! Forgets the events but keeps their chunks: recording again touches no fresh memory.
    void clear() {
        iChunk = 0;
        pNext = aChunks.empty() ? nullptr : aChunks[0].get();
        pChunkEnd = aChunks.empty() ? nullptr : pNext + kChunkSize;
        pInnermost = nullptr;
        aDetails.clear();
    }

    std::thread::id const oThread;
    unsigned const iThreadIndex; // the scheduler index of its first event: names the track
    std::size_t const iOrder;    // when it was made, among the recorder's buffers
    std::vector<std::unique_ptr<Event[]>> aChunks;
    std::size_t iChunk = 0; // the chunk pNext points into
    Event* pNext = nullptr; // where the next event goes; null before the first chunk
    Event* pChunkEnd = nullptr;
    Event* pInnermost = nullptr; // the innermost open event
    std::vector<Detail> aDetails;

private:
    void nextChunk() {
        if (pNext != nullptr)
            ++iChunk;
        if (iChunk == aChunks.size())
            aChunks.emplace_back(new Event[kChunkSize]);
        pNext = aChunks[iChunk].get();
        pChunkEnd = pNext + kChunkSize;
    }
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
    if (Buffer::Event* pEvent = b.close(now())) {
        Buffer::Detail oDetail;
        oDetail.outcome = outcome;
        oDetail.failure = failure != nullptr ? failure : "";
        pEvent->iDetail = b.addDetail(std::move(oDetail));
    }
}

void TraceRecorder::nodeStarted(Node const& node, unsigned thread) {
    buffer(thread).open(Buffer::kNode, &node, now());
}

void TraceRecorder::nodeEnded(Node const& node, unsigned thread, char const* failure) {
    Buffer& b = buffer(thread);
    Buffer::Event* pEvent = b.close(now());
    if (pEvent == nullptr || (failure == nullptr && !isCancelled(node)))
        return; // the common case: nothing more to note
    Buffer::Detail oDetail;
    oDetail.failure = failure != nullptr ? failure : "";
    oDetail.bCancelled = failure == nullptr;
    pEvent->iDetail = b.addDetail(std::move(oDetail));
}

void TraceRecorder::sliceStarted(Node const& node, std::size_t, std::size_t, unsigned thread) {
    buffer(thread).open(Buffer::kSlice, &node, now());
}

void TraceRecorder::sliceEnded(Node const&, std::size_t begin, std::size_t end, unsigned thread,
                               char const* failure) {
    Buffer& b = buffer(thread);
    if (Buffer::Event* pEvent = b.close(now())) {
        // The range is noted at the end, which the hook is given as well as the start.
        Buffer::Detail oDetail;
        oDetail.begin = begin;
        oDetail.end = end;
        oDetail.failure = failure != nullptr ? failure : "";
        pEvent->iDetail = b.addDetail(std::move(oDetail));
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
        std::string sName =
            b.iThreadIndex == 0 ? "host" : "worker " + std::to_string(b.iThreadIndex);
        std::size_t nSame = 1;
        for (std::size_t k = 0; k < tid; ++k)
            nSame += aTracks[k]->iThreadIndex == b.iThreadIndex ? 1 : 0;
        if (nSame > 1)
            sName += " (" + std::to_string(nSame) + ")";
        std::string const sTid = std::to_string(tid);
        out += sSeparator;
        sSeparator = ",\n";
        out += "{\"ph\":\"M\",\"pid\":1,\"tid\":" + sTid +
               ",\"name\":\"thread_name\",\"args\":{\"name\":";
        appendJsonString(out, sName.c_str());
        out += "}}";

        for (std::size_t i = 0, n = b.size(); i < n; ++i) {
            Buffer::Event const& e = b.at(i);
            if (e.iDetail == Buffer::kOpen)
                continue; // still open: an evaluation is running
            out += ",\n{\"ph\":\"X\",\"pid\":1,\"tid\":" + sTid + ",\"ts\":";
            appendMicroseconds(out, e.begin);
            out += ",\"dur\":";
            appendMicroseconds(out, e.end - e.begin);
            out += ",\"name\":";
            if (e.eKind == Buffer::kEvaluation) {
                out += "\"evaluation\",\"cat\":\"evaluation\"";
            } else {
                auto it = aNames.find(e.subject);
                if (it == aNames.end())
                    it = aNames
                             .emplace(e.subject,
                                      static_cast<Node const*>(e.subject)->debugId().c_str())
                             .first;
                appendJsonString(out, it->second.c_str());
                out += e.eKind == Buffer::kNode ? ",\"cat\":\"node\"" : ",\"cat\":\"slice\"";
            }
            if (e.iDetail != 0) {
                Buffer::Detail const& d = b.aDetails[e.iDetail - 1];
                char const* sComma = "";
                out += ",\"args\":{";
                if (e.eKind == Buffer::kSlice) {
                    out += "\"begin\":" + std::to_string(d.begin) +
                           ",\"end\":" + std::to_string(d.end);
                    sComma = ",";
                }
                if (e.eKind == Buffer::kEvaluation) {
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
            out += "}";
            flushIfLarge();
        }
    }
    out += "\n],\"displayTimeUnit\":\"ns\"}\n";
    os.write(out.data(), std::streamsize(out.size()));
}

} // namespace DataFlow
} // namespace Mirel
