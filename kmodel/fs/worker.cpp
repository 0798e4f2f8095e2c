// The model's system worker thread: a System thread that runs queued work in order, as the
// kernel's worker threads run work items. It stands for threads that exist from boot, so the
// thread notify routines are not told of it. Started on first use, ended at shutdown.
#include "fs/model_fs.h"
#include "internal/ps.h"

namespace km::fs {

namespace {

struct Worker {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::function<void()>> queue;
    bool stopping = false;
    km::Thread* thread = nullptr;
};

Worker& TheWorker()
{
    static auto* worker = new Worker;
    return *worker;
}

void RunWork()
{
    Worker& worker = TheWorker();
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock<std::mutex> hold(worker.lock);
            worker.changed.wait(hold, [&] { return worker.stopping || !worker.queue.empty(); });
            if (worker.queue.empty()) {
                return;
            }
            work = std::move(worker.queue.front());
            worker.queue.pop_front();
        }
        work();
    }
}

}  // namespace

void QueueSystemWork(std::function<void()> work)
{
    Worker& worker = TheWorker();
    bool start;
    {
        std::lock_guard<std::mutex> hold(worker.lock);
        worker.queue.push_back(std::move(work));
        start = worker.thread == nullptr;
        if (start) {
            worker.stopping = false;
            worker.thread = KmStartThread(km::SystemProcess(), RunWork, false);
        }
    }
    worker.changed.notify_all();
}

void StopSystemWorker()
{
    Worker& worker = TheWorker();
    km::Thread* thread;
    {
        std::lock_guard<std::mutex> hold(worker.lock);
        thread = worker.thread;
        worker.stopping = true;
    }
    worker.changed.notify_all();
    if (thread != nullptr) {
        km::JoinThread(thread);
    }
    std::lock_guard<std::mutex> hold(worker.lock);
    worker.thread = nullptr;
    worker.stopping = false;
}

}  // namespace km::fs
