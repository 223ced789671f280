#pragma once

#include <functional>

namespace plat {

// The process's global concurrent queues: tasks run on a small pool of worker threads shared by
// every priority, started when tasks arrive; a queued task of a higher priority starts first.
// Tasks must not throw.
class Dispatch {
public:
    enum class Priority : long { High = 2, Default = 0, Low = -2, Background = -32768 };

    // Runs the task on a worker thread, soon; never on the calling thread.
    static void async(Priority priority, std::function<void()> task);

    // Blocks until no task is queued or running, tasks queued meanwhile included. False, without
    // waiting, when called from a task (it would wait for itself).
    static bool waitIdle();

    // Lets every queued task run to its end, then ends and joins the workers, so that no task of
    // the pool outlives the call; a later async starts new workers. False, doing nothing, when
    // called from a task.
    static bool shutdownAll();
};

}  // namespace plat
