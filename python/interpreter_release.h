// Work without the interpreter's lock: batches on the pools, builds and
// reads, so that other Python threads go on meanwhile. A daemon thread
// still out when the interpreter shuts down would be ended as it takes the
// lock back, from inside a frame that cannot unwind: the process would
// abort. So the calls that are out are counted, an exit hook waits for them,
// and once it has run, calls keep the lock.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h> // in every file of the module: its casters must agree

namespace vantrel {

namespace py = pybind11;

// Lets the interpreter's lock go for its lifetime, and takes it back.
class WithoutInterpreter {
  public:
    WithoutInterpreter();
    ~WithoutInterpreter();
    WithoutInterpreter(const WithoutInterpreter&) = delete;
    WithoutInterpreter& operator=(const WithoutInterpreter&) = delete;

  private:
    PyThreadState* state = nullptr; // null: the lock was kept
};

// Whether the interpreter has begun to shut down: long work should stop.
bool interpreterExiting();

// Registers the exit hook, and what a forked child must forget: the calls
// its parent's other threads had out.
void waitForCallsAtExit();

} // namespace vantrel
