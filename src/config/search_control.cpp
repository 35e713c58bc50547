// Names of the stop reasons, as the Python layer reports them.
#include "config/search_control.hpp"

namespace vok {

std::string_view stop_reason_name(StopReason reason) {
  switch (reason) {
    case StopReason::Completed: return "completed";
    case StopReason::EarlyExit: return "early_exit";
    case StopReason::TimeLimit: return "time_limit";
    case StopReason::Cancelled: return "cancelled";
  }
  return "completed";
}

}  // namespace vok
