#include "platform/dispatch.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace plat {

namespace {

constexpr size_t kMaxWorkers = 8;

thread_local bool t_onWorker = false;

struct Pool {
    std::mutex mutex;
    std::condition_variable work;  // a task was queued, or the workers are to end
    std::condition_variable idle;  // the last task ended
    std::map<long, std::deque<std::function<void()>>, std::greater<>> queues;  // highest priority first
    size_t queued = 0;
    size_t running = 0;
    size_t waitingWorkers = 0;
    bool stopping = false;
    std::vector<std::thread> workers;

    // Takes the first task of the highest priority; the caller holds the lock and knows one is queued.
    std::function<void()> take() {
        auto first = queues.begin();
        std::function<void()> task = std::move(first->second.front());
        first->second.pop_front();
        if (first->second.empty()) queues.erase(first);
        --queued;
        return task;
    }

    // One more worker while more tasks are queued than workers wait for them.
    void startWorkerIfNeeded() {
        if (stopping || queued <= waitingWorkers || workers.size() >= kMaxWorkers) return;
        workers.emplace_back([this] { runWorker(); });
    }

    void runWorker() {
        t_onWorker = true;
        std::unique_lock lock(mutex);
        for (;;) {
            ++waitingWorkers;
            work.wait(lock, [this] { return queued > 0 || stopping; });
            --waitingWorkers;
            if (queued == 0) return;  // stopping, and nothing is left
            std::function<void()> task = take();
            ++running;
            lock.unlock();
            task();
            task = nullptr;  // what the task captured goes before the pool counts it as ended
            lock.lock();
            --running;
            if (running == 0 && queued == 0) idle.notify_all();
        }
    }
};

// Never destroyed: workers may still be running while the process exits.
Pool& pool() {
    static Pool* instance = new Pool();
    return *instance;
}

}  // namespace

void Dispatch::async(Priority priority, std::function<void()> task) {
    Pool& p = pool();
    {
        std::lock_guard lock(p.mutex);
        p.queues[static_cast<long>(priority)].push_back(std::move(task));
        ++p.queued;
        p.startWorkerIfNeeded();
    }
    p.work.notify_one();
}

bool Dispatch::waitIdle() {
    if (t_onWorker) return false;
    Pool& p = pool();
    std::unique_lock lock(p.mutex);
    p.idle.wait(lock, [&p] { return p.queued == 0 && p.running == 0; });
    return true;
}

bool Dispatch::shutdownAll() {
    if (t_onWorker) return false;
    Pool& p = pool();
    for (;;) {
        std::vector<std::thread> workers;
        {
            std::lock_guard lock(p.mutex);
            if (p.workers.empty()) return true;
            p.stopping = true;
            workers = std::move(p.workers);
            p.workers.clear();
        }
        p.work.notify_all();
        for (std::thread& worker : workers) worker.join();
        std::lock_guard lock(p.mutex);
        p.stopping = false;
        // Tasks queued from other threads after the last worker ended get workers again, and
        // the next round ends those as well.
        p.startWorkerIfNeeded();
    }
}

}  // namespace plat
