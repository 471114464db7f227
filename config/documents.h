// The documents: the operator's files read at start-up (product.xml,
// core.xml), configuration updates applied at run time, the status document
// saved as core.xml and plugins.xml and raised to the plugins, and the memory
// document raised when the video throttle changes. The supervisor's name and
// version, which the status document reports, are kept here.
#pragma once

#include <atomic>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "config/status_files.h"
#include "core/log_levels.h"
#include "dvrplugin.h"

class PluginHost;
class TiXmlDocument;

class Documents {
public:
    struct Links {
        std::string executablePath;                // its file name is the core's Filename
        std::string coreVersion;                   // until product.xml names another
        LogLevelTable* logLevels;                  // core.xml and updates set thresholds here
        LogLevelTable* defaultLogLevels;           // an update's second -1 restores these
        bool* throttlingEnabled;                   // core.xml's Memory Throttling (read before housekeeping starts)
        const std::atomic<bool>* videoThrottled;   // the memory document's Throttling
        PluginHost* host;                          // the plugins and the libraries that failed
        std::function<time_t()> wallClock;         // the memory document's Time
        std::function<void(_EventParmsIn&)> raise; // to the plugins, as the core; refused while stopping
    };

    explicit Documents(Links links) : links_(std::move(links)), coreVersion_(links_.coreVersion) {}
    Documents(const Documents&) = delete;
    Documents& operator=(const Documents&) = delete;

    // product.xml and core.xml, once at start-up on the main thread.
    void ReadConfiguration();
    // A configuration update from a plugin (I/O thread): applied whole or
    // not at all; a change rewrites the status document.
    void ApplyUpdate(const std::string& text);
    // Saves core.xml and plugins.xml and raises the status document.
    void WriteStatus();
    // Raises the memory document (I/O thread).
    void AnnounceThrottle();

    // What the supervisor's configuration packet said (I/O thread); an
    // absent version keeps the previous one.
    void SetSupervisor(std::string filename, std::optional<std::string> version);
    struct Supervisor {
        std::string filename;
        std::string version;
    };
    Supervisor supervisor() const;

    const std::string& coreVersion() const { return coreVersion_; }
    const std::string& productName() const { return productName_; }

private:
    // Raises `document`, printed on one line, as an event from the core.
    void Raise(const TiXmlDocument& document, uint32_t eventType);

    Links links_;
    // Set by ReadConfiguration before any other thread reads them.
    std::string productName_ = "tarvoSentry";
    std::string coreVersion_;
    mutable std::mutex supervisorMutex_; // a leaf: the I/O thread writes, the status document reads
    Supervisor supervisor_;
    // The saves never overlap: the main thread saves before the I/O thread
    // runs updates, and the updates run on the I/O thread alone.
    StatusFiles statusFiles_;
};
