#include "base/result.h"

namespace kv {

std::string_view statusText(Status code) {
    switch (code) {
    case status::Ok:
        return "success";
    case status::LinkLost:
        return "the link to the camera is lost";
    case status::IoFailed:
        return "the serial read or write failed";
    case status::Overrun:
        return "receive overrun";
    case status::LostWhileBusy:
        return "the link was lost while the camera was busy";
    case status::TimedOut:
        return "the camera did not answer in time";
    case status::Failed:
        return "failed";
    default:
        return "unknown result code";
    }
}

} // namespace kv
