// The receiving end of the syslog messages of a core run in a private mount
// namespace whose /dev/log leads here. Needs root and mount namespaces; where
// the machine has neither, it is inert and runs the core plainly.
#pragma once

#include <memory>
#include <string>

#include "support/process.h"

namespace dvrtest {

// Whether this process may make mount namespaces and mount inside them.
bool CanUseMountNamespaces();

class SyslogCapture {
public:
    explicit SyslogCapture(const CoreInstall& install);
    ~SyslogCapture();
    SyslogCapture(const SyslogCapture&) = delete;
    SyslogCapture& operator=(const SyslogCapture&) = delete;

    bool owned() const { return fd_ >= 0; }
    // Runs the installed core with this /dev/log when owned, plainly otherwise.
    std::unique_ptr<Process> Start(const CoreInstall& install, ProcessOptions options) const;
    // The first message holding `text`; "" when none came in time.
    std::string Find(const std::string& text) const;

private:
    std::string path_;
    int fd_ = -1;
};

} // namespace dvrtest
