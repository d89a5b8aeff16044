// The data source's user-interface object. On this platform it has no window: it is a thread
// of its own with a repeating timer and a queue of posted commands and tasks, standing in for
// the dialog's timer and message loop. The thread runs from create() to destroy(); everything
// the source sends to the application (notifications) is sent from it, never from inside a
// DS_Entry call.
//
// Threading: postCommand, post, startTimer and stopTimer may be called from any thread.
// destroy() joins the thread, so it must not be called from the thread itself, nor while
// holding a lock that onTimer/onCommand take.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace Velkit {

class CTWAINUIDialog {
public:
    explicit CTWAINUIDialog(std::chrono::milliseconds period);
    virtual ~CTWAINUIDialog();
    CTWAINUIDialog(const CTWAINUIDialog&) = delete;
    CTWAINUIDialog& operator=(const CTWAINUIDialog&) = delete;

    // Starts the thread with the timer running.
    void create();
    // Asks the thread to stop after the task it runs now; pending tasks are dropped. Does not
    // wait, so it may be called while holding locks.
    void requestStop();
    // requestStop(), then joins the thread. A derived class calls it in its destructor, before
    // its own parts go.
    void destroy();
    bool stopping() const;
    // True on the dialog's own thread (a notification's receiver calling back, for example).
    bool onOwnThread() const { return std::this_thread::get_id() == thread_.get_id(); }

    void startTimer();
    void stopTimer();
    bool timerRunning() const;

    // Queues a command (a button or a posted command message) for onCommand.
    void postCommand(int id);
    // Queues any task to run on the thread.
    void post(std::function<void()> task);

protected:
    virtual void onTimer() = 0;
    virtual void onCommand(int id) = 0;

private:
    void run();

    const std::chrono::milliseconds period_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stop_ = false;
    bool timer_ = false;
    std::thread thread_;
};

} // namespace Velkit
