// Where commands go: every command is offered first to the diagnostics command target, then to
// the application. Each target is a table of handlers by command id; modules add theirs at
// start-up (see command_handlers.h). A command without a handler in either target does nothing,
// and its menu item is disabled (or, for factory commands, not shown).
#pragma once

#include <functional>
#include <map>

namespace kv::app {

class CommandTarget {
public:
    using Handler = std::function<void()>;
    void add(int id, Handler handler) { handlers_[id] = std::move(handler); }
    bool has(int id) const { return handlers_.count(id) != 0; }
    // Runs the handler; false when the target has none for `id`.
    bool run(int id) const;

private:
    std::map<int, Handler> handlers_;
};

class CommandRouter {
public:
    CommandTarget& diagnostics() { return diagnostics_; }
    CommandTarget& application() { return application_; }
    bool has(int id) const { return diagnostics_.has(id) || application_.has(id); }
    // While busy (a station procedure runs) no command starts; the command counts as handled.
    bool run(int id) const { return busy_ || diagnostics_.run(id) || application_.run(id); }
    void setBusy(bool busy) { busy_ = busy; }
    bool busy() const { return busy_; }

    // Busy for a scope, for commands that keep the window alive while they wait. Scopes nest:
    // the state before the scope comes back at its end.
    class BusyScope {
    public:
        explicit BusyScope(CommandRouter& router) : router_(router), before_(router.busy_) {
            router_.busy_ = true;
        }
        ~BusyScope() { router_.busy_ = before_; }
        BusyScope(const BusyScope&) = delete;
        BusyScope& operator=(const BusyScope&) = delete;

    private:
        CommandRouter& router_;
        bool before_;
    };

private:
    CommandTarget diagnostics_;
    CommandTarget application_;
    bool busy_ = false;
};

} // namespace kv::app
