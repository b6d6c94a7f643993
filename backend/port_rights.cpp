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

// The real, effective and saved users, or nothing.
static bool users(uid_t ids[3])
{
    return getresuid(&ids[0], &ids[1], &ids[2]) == 0;
}

// True when every user is uid, every group gid, and no other group is left.
static bool running_as(uid_t uid, gid_t gid)
{
    uid_t ids[3] = {};
    gid_t group_ids[3] = {};
    if (!users(ids) || getresgid(&group_ids[0], &group_ids[1], &group_ids[2]) != 0)
        return false;
    for (int i = 0; i < 3; i++) {
        if (ids[i] != uid || group_ids[i] != gid)
            return false;
    }
    return getgroups(0, nullptr) == 0;
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
    uid_t ids[3] = {};
    bool root = !users(ids) || ids[0] == 0 || ids[1] == 0 || ids[2] == 0;
    if (!root || port_is_maker_path(path))
        return;
    const char *failure = become_lp();
    if (failure != nullptr)
        msg_fatal("Unable to give up root's rights to open VELO port device file \"%s\": %s", path,
                  failure);
}
