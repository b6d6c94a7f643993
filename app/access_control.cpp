// Who may do what. Anyone may print, list printers and jobs and read their
// status; a job's owner may cancel, hold and release it; everything that
// changes the printers or the system belongs to root and the admin group.
//
// PAPPL 1.3.1 asks the application through one door, the authentication
// callback, and only for clients over TCP: it lets a client on its local
// socket do everything without asking, and its operation callback sees only
// the operations it does not handle itself. So the local socket is closed to
// all but root and the admin group (a domain socket's mode is the kernel's
// check on every connect), and every TCP client, IPP and web alike, is
// decided here. PAPPL requires TLS of a client on another machine before it
// asks the callback.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app.h"

namespace
{

char admin_group[256];

struct identity {
    char name[256] = "";
    bool known = false;     // a good login, or the kernel's word on a local peer
    bool logged_in = false; // a good login
    bool admin = false;     // root or a member of the admin group
    bool bad_login = false; // credentials given and refused
};

// Operations PAPPL lets any printer user do that change the printer or
// another user's job: they are the administrators'.
bool operation_needs_admin(ipp_op_t op)
{
    return op == IPP_OP_DISABLE_PRINTER || op == IPP_OP_ENABLE_PRINTER ||
           op == IPP_OP_CANCEL_CURRENT_JOB;
}

// A login when one is given; else, for an IPP request over loopback, the
// local user the kernel says is at the other end; else the name the request
// claims, which like CUPS's is only good for the claimant's own jobs.
identity client_identity(pappl_client_t *client, ipp_t *request)
{
    identity who;
    http_t *http = papplClientGetHTTP(client);
    const char *authorization = httpGetField(http, HTTP_FIELD_AUTHORIZATION);
    char host[256];
    httpAddrString(httpGetAddress(http), host, sizeof(host));
    uid_t uid = 0;
    if (authorization != nullptr && *authorization != '\0') {
        who.known = who.logged_in = login_check(authorization, host, who.name, sizeof(who.name));
        who.bad_login = !who.known;
        if (who.bad_login)
            papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Login refused.");
    } else if (request != nullptr && httpAddrLocalhost(httpGetAddress(http)) != 0 &&
               loopback_peer_uid(httpGetFd(http), &uid)) {
        who.known = user_name_of(uid, who.name, sizeof(who.name));
    }
    if (!who.known && request != nullptr) {
        const char *claimed = ippGetString(
            ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME), 0, nullptr);
        std::snprintf(who.name, sizeof(who.name), "%s", claimed != nullptr ? claimed : "");
    }
    who.admin = who.known && user_is_admin(who.name, admin_group);
    return who;
}

// PAPPL asks with the admin group for administration and for another user's
// job, with the printer's print group (usually none) for everything else.
http_status_t authorize(pappl_client_t *client, const char *group, gid_t /*group_id*/,
                        void * /*data*/)
{
    ipp_t *request = papplClientGetRequest(client);
    identity who = client_identity(client, request);
    // PAPPL compares it with a job's owner, and records it on new jobs.
    papplClientSetUsername(client, who.name[0] != '\0' ? who.name : nullptr);
    if (who.bad_login)
        return HTTP_STATUS_UNAUTHORIZED;
    // PAPPL asks here before a release, and would then crash the server.
    if (request != nullptr && release_would_start_empty_job(client, request))
        return HTTP_STATUS_FORBIDDEN;
    if (request != nullptr)
        raster_arrival_spool(client, request);
    bool admin_asked = (group != nullptr && std::strcmp(group, admin_group) == 0) ||
                       (request != nullptr && operation_needs_admin(ippGetOperation(request)));
    if (!admin_asked) {
        if (group == nullptr || *group == '\0')
            return HTTP_STATUS_CONTINUE;
        if (who.admin || (who.known && user_in_group(who.name, group)))
            return HTTP_STATUS_CONTINUE;
        return who.logged_in ? HTTP_STATUS_FORBIDDEN : HTTP_STATUS_UNAUTHORIZED;
    }
    if (who.admin)
        return HTTP_STATUS_CONTINUE;
    papplLogClient(client, PAPPL_LOGLEVEL_INFO, "Refused to %s: not an administrator.",
                   who.name[0] != '\0' ? who.name : "anonymous");
    // A login may still make a local user an administrator: ask for one.
    return who.logged_in ? HTTP_STATUS_FORBIDDEN : HTTP_STATUS_UNAUTHORIZED;
}

// PAPPL's main loop makes the socket its clients use mode 0777 after the
// system is created; the first turn of the loop narrows it: root's server to
// root and the admin group, a user's own server to that user.
bool restrict_local_socket(pappl_system_t *system, void * /*data*/)
{
    char path[1024];
    if (getuid() == 0)
        std::snprintf(path, sizeof(path), "/run/%s.sock", program_invocation_short_name);
    else
        std::snprintf(path, sizeof(path), "%s/%s%d.sock", papplGetTempDir(),
                      program_invocation_short_name, static_cast<int>(getuid()));
    struct group *gr = getuid() == 0 ? getgrnam(admin_group) : nullptr;
    bool done = gr != nullptr ? chown(path, 0, gr->gr_gid) == 0 && chmod(path, 0770) == 0
                              : chmod(path, 0700) == 0;
    if (!done)
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to restrict access to '%s': %s", path,
                 std::strerror(errno));
    return false;
}

} // namespace

void access_control_setup(pappl_system_t *system, const char *group)
{
    std::snprintf(admin_group, sizeof(admin_group), "%s",
                  group != nullptr && *group != '\0' ? group : default_admin_group);
    papplSystemSetAdminGroup(system, admin_group);
    papplSystemSetAuthCallback(system, "Basic", authorize, nullptr);
    papplSystemAddTimerCallback(system, 0, 0, restrict_local_socket, nullptr);
}
