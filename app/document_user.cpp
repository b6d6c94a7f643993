// Documents come from anyone who can reach the server, and the programs that
// read them (Ghostscript, the maker's converter) are large. A root server
// runs them as user lp, as CUPS runs its filters, with no supplementary
// groups and no way back; they get the document and the rows through
// descriptors the server opened, so the spool stays root's alone.
#include <cerrno>
#include <pwd.h>
#include <unistd.h>

#include "app.h"

constexpr const char *document_user_name = "lp";

int document_child_setup(child_setup *setup, child_user *user)
{
    *setup = child_setup{};
    setup->die_with_parent = true;
    if (geteuid() != 0)
        return 0;
    passwd entry{};
    passwd *found = nullptr;
    char area[4096];
    int error = getpwnam_r(document_user_name, &entry, area, sizeof(area), &found);
    if (found == nullptr)
        return error != 0 ? error : ENOENT;
    // A user that is root by another name would give nothing up.
    if (entry.pw_uid == 0 || entry.pw_gid == 0)
        return EPERM;
    user->uid = entry.pw_uid;
    user->gid = entry.pw_gid;
    setup->run_as = user;
    return 0;
}
