// The black-box tests' one fixture around the real executable: a temporary
// installation whose test plugins all journal into one file, the core started
// on a pseudo-terminal (under the test's supervisor and configured, when
// asked), and stopped with a clean exit expected.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>

#include <memory>
#include <string>

#include "dvrplugin.h"
#include "support/plugin_journal.h"
#include "support/process.h"
#include "support/supervisor_peer.h"

namespace dvrtest {

class JournaledCore {
public:
    // `binary` is a built test plugin (probe, eventprobe); `name` its file stem here.
    void Add(const std::string& binary, const std::string& name, const std::string& conf)
    {
        install.AddConfiguredPlugin(binary, name, conf, journal.path());
    }

    // Without a supervisor: the core runs until a signal stops it.
    void Start() { core = StartCore(install, nullptr); }
    // Under the test's supervisor, which sends the configuration packet.
    void StartSupervised()
    {
        StartUnconfigured();
        ASSERT_TRUE(ConfigureCore(supervisor, *core));
    }
    // Under the test's supervisor, which has said nothing yet.
    void StartUnconfigured()
    {
        supervised_ = true;
        core = StartCore(install, &supervisor);
    }

    // Stops the core as its supervisor does (SIGTERM without one) and
    // expects a clean exit.
    void Stop()
    {
        if (supervised_)
            ASSERT_TRUE(supervisor.Send(IPC_KIND_STOP, 0));
        else
            core->Signal(SIGTERM);
        ASSERT_EQ(core->WaitExit(), 0) << core->Output();
    }
    // The same once a journal line starts with `prefix`.
    void StopAfter(const std::string& prefix)
    {
        ASSERT_TRUE(journal.WaitForPrefix(prefix)) << journal.Text();
        Stop();
    }

    // The next block the core sent to the supervisor, as text.
    std::string Received()
    {
        auto record = supervisor.Receive();
        return record ? std::string(record->begin(), record->end()) : "<nothing>";
    }

    CoreInstall install;
    PluginJournal journal{install.root() / "journal"};
    SupervisorPeer supervisor;
    std::unique_ptr<Process> core;

private:
    bool supervised_ = false;
};

} // namespace dvrtest
