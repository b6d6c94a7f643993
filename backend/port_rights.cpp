// Root's rights are needed only for the maker's ports, which only root and
// the maker's software can create. The device URI is chosen by queue
// administrators, who are not root: any other file is opened with the rights
// of the user the scheduler runs filters as, so a queue can never make the
// backend write what only root may write.
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "diagnostics.h"
#include "velokit_port.h"
#include "velokitlp.h"

static bool running_as(uid_t uid, gid_t gid)
{
    uid_t real = 0, effective = 0, saved = 0;
    gid_t real_group = 0, effective_group = 0, saved_group = 0;
    return getresuid(&real, &effective, &saved) == 0 && real == uid && effective == uid &&
           saved == uid && getresgid(&real_group, &effective_group, &saved_group) == 0 &&
           real_group == gid && effective_group == gid && saved_group == gid &&
           getgroups(0, nullptr) == 0;
}

// Becomes lp for good; returns why not, or nothing.
static const char *become_lp()
{
    const passwd *user = getpwnam("lp");
    if (user == nullptr)
        return "there is no user lp";
    uid_t uid = user->pw_uid;
    gid_t gid = user->pw_gid;
    if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(uid, uid, uid) != 0)
        return strerror(errno);
    if (!running_as(uid, gid))
        return "the user or groups did not change";
    if (setuid(0) == 0 || setgid(0) == 0)
        return "root's rights could be taken back";
    return nullptr;
}

void limit_rights(const char *path)
{
    uid_t real = 0, effective = 0, saved = 0;
    if (getresuid(&real, &effective, &saved) != 0)
        msg_fatal("Unable to tell who runs the backend: %s", strerror(errno));
    if ((real != 0 && effective != 0 && saved != 0) || port_is_maker_path(path))
        return;
    const char *failure = become_lp();
    if (failure != nullptr)
        msg_fatal("Unable to give up root's rights to open VELO port device file \"%s\": %s", path,
                  failure);
}
