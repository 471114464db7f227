// dvrcore::Init: take on the supervisor's user and a fixed capability set,
// then adopt the inherited supervisor socket.
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
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

// getpwuid leaves errno at 0 (or sets one of these) when the user simply
// has no entry; only other values are real lookup failures.
std::string PasswordLookupFailure(uid_t uid)
{
    if (errno == 0 || errno == ENOENT || errno == ESRCH || errno == EBADF || errno == EPERM)
        return "no password entry for user " + std::to_string(uid);
    return strerror(errno);
}

// After a change of user nothing may lead back to root: every thread's real,
// effective, saved and file-system IDs are the new user's, and no permitted
// set holds CAP_SETUID or CAP_SETGID (the secure bit kept the full sets
// across setuid, so a refused capset would leave them). Returns what is
// wrong, empty when nothing is.
std::string WayBackToRoot(uid_t uid, gid_t gid)
{
    constexpr uint64_t kSetIds = (1ull << CAP_SETUID) | (1ull << CAP_SETGID);
    for (pid_t tid : ProcessThreads()) {
        std::optional<ThreadCredentials> thread = ReadThreadCredentials(tid);
        if (!thread)
            continue;
        for (int i = 0; i < 4; ++i)
            if (thread->uid[i] != uid || thread->gid[i] != gid)
                return "thread " + DescribeThread(tid) + " keeps other user or group ids";
        if (thread->permitted & kSetIds)
            return "thread " + DescribeThread(tid) + " may still change its user or group ids";
    }
    return "";
}

} // namespace

bool dvrcore::Init(int pipe)
{
    umask(077);
    prctl(PR_SET_SECUREBITS, kSecureBitNoSetuidFixup, 0, 0, 0);

    uid_t parentUid = ParentUserId();
    const bool changeUser = parentUid != getuid();
    uid_t newUid = 0;
    gid_t newGid = 0;
    if (changeUser) {
        errno = 0;
        struct passwd* user = getpwuid(parentUid);
        if (!user) {
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL, "getpwuid failed: %s",
                       PasswordLookupFailure(parentUid).c_str());
            return false;
        }
        if (setuid(user->pw_uid) < 0 || setgid(user->pw_gid) < 0) {
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL, "setuid/gid failed: %s", strerror(errno));
            return false;
        }
        newUid = user->pw_uid;
        newGid = user->pw_gid;
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
    if (changeUser) {
        std::string fault = WayBackToRoot(newUid, newGid);
        if (!fault.empty()) {
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL, "privilege drop incomplete: %s",
                       fault.c_str());
            return false;
        }
    }

    if (pipe == -1)
        return true;

    if (!channel_.Adopt(pipe)) {
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL, "failed to open ipc pipe");
        return false;
    }
    return true;
}
