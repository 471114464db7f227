// dvrcore::Init: take on the supervisor's user and a fixed capability set,
// then adopt the inherited supervisor socket.
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "core/dvrcore.h"
#include "core/logging.h"
#include "core/privileges.h"

namespace {

constexpr int kSecureBitNoSetuidFixup = 4; // SECBIT_NO_SETUID_FIXUP

// Real user ID of the parent (the supervisor); 0 when it cannot be read.
uid_t ParentUserId()
{
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(getppid()));
    std::ifstream status(path);
    std::string line;
    while (std::getline(status, line)) {
        unsigned int uid = 0;
        if (sscanf(line.c_str(), "Uid: %u", &uid) == 1)
            return uid;
    }
    return 0;
}

} // namespace

void SetCapabilities(uint32_t mask)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {{mask, mask, 0}, {0, 0, 0}};
    if (syscall(SYS_capset, &header, data) != 0)
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "capset failed: %s", strerror(errno));
}

bool dvrcore::Init(int pipe)
{
    {
        std::unique_lock lock(moduleNamesMutex);
        moduleNames[CORE_PROVIDER_ID] = "core";
    }
    umask(077);
    prctl(PR_SET_SECUREBITS, kSecureBitNoSetuidFixup, 0, 0, 0);

    uid_t parentUid = ParentUserId();
    if (parentUid != getuid()) {
        errno = 0;
        struct passwd* user = getpwuid(parentUid);
        if (!user) {
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL, "getpwuid failed: %s", strerror(errno));
            return false;
        }
        if (setuid(user->pw_uid) < 0 || setgid(user->pw_gid) < 0) {
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL, "setuid/gid failed: %s", strerror(errno));
            return false;
        }
        gid_t groups[256];
        int count = 256;
        if (getgrouplist(user->pw_name, user->pw_gid, groups, &count) < 0) {
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL, "getgrouplist failed");
            return false;
        }
        if (setgroups(static_cast<size_t>(count), groups) < 0) {
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL, "setgroups failed: %s", strerror(errno));
            return false;
        }
    }
    if (parentUid != 0)
        SetCapabilities(INIT_CAPABILITIES);

    if (pipe == -1)
        return true;

    boost::system::error_code error;
    if (pipe < 0)
        error = boost::asio::error::bad_descriptor;
    else
        ipcSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), pipe, error);
    if (error) {
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL, "failed to open ipc pipe");
        return false;
    }
    ipcOpen = true;
    return true;
}
