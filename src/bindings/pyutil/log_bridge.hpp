// Forwards the core's structured log events to Python's `logging`.
#pragma once

namespace korvane::py {

// Installs the core's log sink. Events go to the logger named after their target ("::" becomes
// "."), with the event's fields as attributes of the record. No handler is installed: where the
// records end up is the host's choice.
void install_log_bridge();

}  // namespace korvane::py
