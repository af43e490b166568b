#include "interpreter_release.h"

#include <condition_variable>
#include <mutex>
#include <new>

#include <pthread.h>

namespace vantrel {

namespace {

std::mutex guard;
std::condition_variable lastCallBack;
int callsOut = 0;     // under guard
bool exiting = false; // under guard

void forgetParentsCalls() {
    // Only the forking thread goes on in a child: the others' calls never
    // come back, and one of them may have held the lock at the fork.
    new (&guard) std::mutex();
    new (&lastCallBack) std::condition_variable();
    callsOut = 0;
}

} // namespace

WithoutInterpreter::WithoutInterpreter() {
    {
        const std::lock_guard<std::mutex> lock(guard);
        if (exiting)
            return;
        ++callsOut;
    }
    state = PyEval_SaveThread();
}

WithoutInterpreter::~WithoutInterpreter() {
    if (!state)
        return;
    PyEval_RestoreThread(state);
    const std::lock_guard<std::mutex> lock(guard);
    if (--callsOut == 0)
        lastCallBack.notify_all();
}

bool interpreterExiting() {
    const std::lock_guard<std::mutex> lock(guard);
    return exiting;
}

void waitForCallsAtExit() {
    static std::once_flag forkHandler;
    std::call_once(forkHandler, [] { pthread_atfork(nullptr, nullptr, &forgetParentsCalls); });
    // Python's exit hooks run before the interpreter ends its daemon threads.
    const py::cpp_function waitForCalls([] {
        PyThreadState* const state = PyEval_SaveThread();
        {
            std::unique_lock<std::mutex> lock(guard);
            exiting = true;
            lastCallBack.wait(lock, [] { return callsOut == 0; });
        }
        PyEval_RestoreThread(state);
    });
    py::module_::import("atexit").attr("register")(waitForCalls);
}

} // namespace vantrel
