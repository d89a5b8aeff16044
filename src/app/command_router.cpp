#include "app/command_router.h"

namespace kv::app {

bool CommandTarget::run(int id) const {
    const auto it = handlers_.find(id);
    if (it == handlers_.end())
        return false;
    // A copy: the handler may replace itself (menus rebuilt while it runs).
    const Handler handler = it->second;
    handler();
    return true;
}

} // namespace kv::app
