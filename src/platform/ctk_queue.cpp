#include "platform/ctk_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace ctk {

struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    bool stopping = false;
    std::thread worker;
    std::thread::id workerId;
};

namespace {

void runWorker(std::shared_ptr<void> keepAlive, std::mutex& mutex, std::condition_variable& wake,
               std::deque<std::function<void()>>& tasks, const bool& stopping) {
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [&] { return stopping || !tasks.empty(); });
        if (tasks.empty()) return;  // stopping and drained
        std::function<void()> task = std::move(tasks.front());
        tasks.pop_front();
        lock.unlock();
        task();
        task = nullptr;  // release what the task captured before taking the lock again
        lock.lock();
    }
    (void)keepAlive;
}

}  // namespace

SerialQueue::SerialQueue() : state_(std::make_shared<State>()) {}

SerialQueue::~SerialQueue() {
    std::thread worker;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        worker = std::move(state_->worker);
    }
    state_->wake.notify_all();
    if (!worker.joinable()) return;
    if (worker.get_id() == std::this_thread::get_id())
        worker.detach();  // the worker holds the state itself and ends after the queued tasks
    else
        worker.join();
}

void SerialQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(state_->mutex);
        state_->tasks.push_back(std::move(task));
        if (!state_->worker.joinable() && !state_->stopping) {
            State* s = state_.get();
            state_->worker = std::thread(runWorker, std::shared_ptr<void>(state_), std::ref(s->mutex),
                                         std::ref(s->wake), std::ref(s->tasks), std::cref(s->stopping));
            state_->workerId = state_->worker.get_id();
        }
    }
    state_->wake.notify_one();
}

bool SerialQueue::onWorker() const {
    std::lock_guard lock(state_->mutex);
    return state_->workerId == std::this_thread::get_id();
}

}  // namespace ctk
