/*
 * asparent - runs a command as the child of a parent whose real user is
 * another account, the way a supervisor started under that account would.
 * Must be started as root.
 *
 *   asparent [--hide-status FILE] [--drop-bound CAP] PARENT-UID CHILD-UID EXE [ARG...]
 *
 * The parent takes PARENT-UID as its real user and keeps root as its effective
 * and saved user, so it can still start a root child. The child becomes
 * CHILD-UID (0: root; otherwise that user with its primary group and no
 * supplementary groups) and executes EXE. SIGINT, SIGTERM, SIGQUIT and SIGHUP
 * are passed on to the child; the exit code is the child's (128 + signal when
 * it was killed). The child's PID is in /proc/<parent>/task/<parent>/children.
 *
 *   --hide-status FILE   in a private mount namespace, FILE (created with
 *                        mode 000) covers the parent's /proc/<pid>/status
 *   --drop-bound CAP     the child removes CAP from its bounding set, so it
 *                        starts without that capability even as root
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static volatile pid_t child = -1;

static void pass_on(int signal)
{
    if (child > 0)
        kill(child, signal);
}

static int fail(const char* what)
{
    fprintf(stderr, "asparent: %s: %s\n", what, strerror(errno));
    return 125;
}

static int hide_status(const char* file)
{
    char status[64];
    int fd;
    if (unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0)
        return -1;
    fd = open(file, O_CREAT | O_WRONLY | O_CLOEXEC, 0);
    if (fd < 0 || fchmod(fd, 0) != 0)
        return -1;
    close(fd);
    snprintf(status, sizeof status, "/proc/%d/status", (int)getpid());
    return mount(file, status, NULL, MS_BIND, NULL);
}

int main(int argc, char** argv)
{
    const char* hiddenStatus = NULL;
    long dropBound = -1;
    uid_t parentUid, childUid;
    int i = 1, status;
    struct sigaction action;

    for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (strcmp(argv[i], "--hide-status") == 0)
            hiddenStatus = argv[i + 1];
        else if (strcmp(argv[i], "--drop-bound") == 0)
            dropBound = strtol(argv[i + 1], NULL, 10);
    }
    if (argc - i < 3) {
        fprintf(stderr, "usage: asparent [--hide-status FILE] [--drop-bound CAP] PARENT-UID CHILD-UID EXE [ARG...]\n");
        return 125;
    }
    parentUid = (uid_t)strtoul(argv[i], NULL, 10);
    childUid = (uid_t)strtoul(argv[i + 1], NULL, 10);

    if (hiddenStatus && hide_status(hiddenStatus) != 0)
        return fail("hiding the status file");
    if (setresuid(parentUid, 0, 0) != 0)
        return fail("setresuid");

    memset(&action, 0, sizeof action);
    action.sa_handler = pass_on;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGQUIT, &action, NULL);
    sigaction(SIGHUP, &action, NULL);

    child = fork();
    if (child < 0)
        return fail("fork");
    if (child == 0) {
        if (dropBound >= 0 && prctl(PR_CAPBSET_DROP, dropBound, 0, 0, 0) != 0)
            _exit(fail("dropping from the bounding set"));
        if (childUid == 0) {
            if (setresuid(0, 0, 0) != 0)
                _exit(fail("setresuid in the child"));
        } else {
            struct passwd* user = getpwuid(childUid);
            gid_t gid = user ? user->pw_gid : (gid_t)childUid;
            if (setgroups(0, NULL) != 0 || setresgid(gid, gid, gid) != 0 ||
                setresuid(childUid, childUid, childUid) != 0)
                _exit(fail("taking the child's user"));
        }
        execv(argv[i + 2], argv + i + 2);
        _exit(fail("exec"));
    }
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return fail("waitpid");
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
