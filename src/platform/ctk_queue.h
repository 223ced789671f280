#pragma once

#include <functional>
#include <memory>

namespace ctk {

// A serial queue with a worker thread of its own, started on first use. Tasks run one after
// the other, in order, on the worker. The destructor lets the worker finish every queued task
// (so every queued reply is still delivered) and joins it; when the last owner goes away on the
// worker itself, the worker is detached and finishes on its own.
class SerialQueue {
public:
    SerialQueue();
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> task);
    // Whether the calling thread is this queue's worker.
    bool onWorker() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace ctk
