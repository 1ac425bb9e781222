#pragma once

#include <thread>

namespace Mirel {

//! The identity of the thread that made the value.
class ThreadID {
public:
    ThreadID() noexcept : id_(std::this_thread::get_id()) {}
    std::thread::id id() const noexcept { return id_; }

private:
    std::thread::id id_;
};

} // namespace Mirel
