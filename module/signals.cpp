// Ctrl-C during a computation: checks the fits and back-calculations make
// now and then, with the interpreter's lock given up or held.
#include "module/bridge.h"

namespace {

bool poll_due(SignalPoll& poll)
{
    const auto now = std::chrono::steady_clock::now();
    if (now - poll.last < signal_poll_interval) {
        return false;
    }
    poll.last = now;
    return true;
}

// The handlers may themselves fit on this thread: whatever they do cannot
// disturb the fit in progress.
bool handlers_raised()
{
    SavedFitState saved;
    return PyErr_CheckSignals() != 0;
}

bool signal_pending_unlocked(void* context)
{
    auto* poll = static_cast<SignalPoll*>(context);
    if (!poll_due(*poll)) {
        return false;
    }
    PyEval_RestoreThread(poll->thread);
    const bool raised = handlers_raised();
    poll->thread = PyEval_SaveThread();
    return raised;
}

bool signal_pending_locked(void* context)
{
    auto* poll = static_cast<SignalPoll*>(context);
    return poll_due(*poll) && handlers_raised();
}

}  // namespace

SignalPoll signal_poll_start()
{
    return {nullptr, std::chrono::steady_clock::now()};
}

void signal_poll_release(SignalPoll& poll)
{
    poll.thread = PyEval_SaveThread();
}

void signal_poll_reacquire(SignalPoll& poll)
{
    PyEval_RestoreThread(poll.thread);
    poll.thread = nullptr;
}

InterruptCheck signal_check_unlocked(SignalPoll& poll)
{
    return {signal_pending_unlocked, &poll, interrupt_check_vectors};
}

InterruptCheck signal_check_locked(SignalPoll& poll)
{
    return {signal_pending_locked, &poll, interrupt_check_vectors};
}
