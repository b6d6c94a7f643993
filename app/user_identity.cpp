// Who a client is: a login checked through PAM (HTTP Basic), or the local
// user owning the other end of a loopback connection, as the kernel records
// it; and whether a user belongs to a group, primary or supplementary.
#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "app.h"

namespace
{

struct pam_login {
    const char *user, *password;
};

// Answers PAM's prompts with the login's name and password.
int pam_answer(int count, const struct pam_message **messages, struct pam_response **responses,
               void *data)
{
    const auto *login = static_cast<const pam_login *>(data);
    auto *replies =
        static_cast<pam_response *>(calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    if (replies == nullptr)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; i++) {
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF)
            replies[i].resp = strdup(login->password);
        else if (messages[i]->msg_style == PAM_PROMPT_ECHO_ON)
            replies[i].resp = strdup(login->user);
    }
    *responses = replies;
    return PAM_SUCCESS;
}

bool pam_accepts(const char *user, const char *password, const char *remote_host)
{
    pam_login login = {user, password};
    struct pam_conv conversation = {pam_answer, &login};
    pam_handle_t *pamh = nullptr;
    int status = pam_start(pam_service_name, user, &conversation, &pamh);
    if (status == PAM_SUCCESS)
        status = pam_set_item(pamh, PAM_RHOST, remote_host);
    if (status == PAM_SUCCESS)
        status = pam_authenticate(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS)
        status = pam_acct_mgmt(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (pamh != nullptr)
        pam_end(pamh, status);
    return status == PAM_SUCCESS;
}

// The address of a socket as the kernel prints it in /proc/self/net/tcp(6): each
// 32-bit word in the machine's own order, in hexadecimal, then the port.
bool proc_net_address(const sockaddr_storage &address, char *text, std::size_t size)
{
    if (address.ss_family == AF_INET) {
        const auto &in = reinterpret_cast<const sockaddr_in &>(address);
        std::uint32_t word = 0;
        std::memcpy(&word, &in.sin_addr, sizeof(word));
        std::snprintf(text, size, "%08X:%04X", word, ntohs(in.sin_port));
        return true;
    }
    if (address.ss_family == AF_INET6) {
        const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(address);
        std::uint32_t words[4];
        std::memcpy(words, &in6.sin6_addr, sizeof(words));
        std::snprintf(text, size, "%08X%08X%08X%08X:%04X", words[0], words[1], words[2], words[3],
                      ntohs(in6.sin6_port));
        return true;
    }
    return false;
}

// A line of /proc/self/net/tcp(6): "sl local remote st queues tr retrnsmt
// uid ...". True and the uid when it is the socket from one address to the
// other.
bool socket_owner(char *line, const char *from, const char *to, uid_t *uid)
{
    const char *fields[8] = {};
    char *rest = nullptr;
    int count = 0;
    for (char *field = strtok_r(line, " \t\n", &rest); field != nullptr && count < 8;
         field = strtok_r(nullptr, " \t\n", &rest))
        fields[count++] = field;
    if (count < 8 || std::strcmp(fields[1], from) != 0 || std::strcmp(fields[2], to) != 0)
        return false;
    char *end = nullptr;
    unsigned long owner = std::strtoul(fields[7], &end, 10);
    if (*end != '\0')
        return false;
    *uid = static_cast<uid_t>(owner);
    return true;
}

} // namespace

bool login_check(const char *authorization, const char *remote_host, char *user,
                 std::size_t user_size)
{
    if (authorization == nullptr || strncmp(authorization, "Basic ", 6) != 0)
        return false;
    const char *encoded = authorization + 6;
    while (*encoded == ' ')
        encoded++;
    char decoded[512];
    int length = sizeof(decoded) - 1;
    httpDecode64_2(decoded, &length, encoded);
    if (length < 0 || length >= static_cast<int>(sizeof(decoded)))
        return false;
    decoded[length] = '\0';
    char *password = strchr(decoded, ':');
    if (password == nullptr || password == decoded)
        return false;
    *password++ = '\0';
    bool accepted = pam_accepts(decoded, password, remote_host);
    if (accepted)
        std::snprintf(user, user_size, "%s", decoded);
    explicit_bzero(decoded, sizeof(decoded));
    return accepted;
}

bool loopback_peer_uid(int fd, uid_t *uid)
{
    sockaddr_storage peer{};
    sockaddr_storage local{};
    socklen_t peer_len = sizeof(peer);
    socklen_t local_len = sizeof(local);
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peer_len) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&local), &local_len) != 0)
        return false;
    // The client's socket: its local address is our peer, its remote ours.
    char client_side[64];
    char server_side[64];
    if (!proc_net_address(peer, client_side, sizeof(client_side)) ||
        !proc_net_address(local, server_side, sizeof(server_side)))
        return false;
    FILE *table =
        std::fopen(peer.ss_family == AF_INET ? "/proc/self/net/tcp" : "/proc/self/net/tcp6", "re");
    if (table == nullptr)
        return false;
    char line[512];
    bool found = false;
    while (!found && std::fgets(line, sizeof(line), table) != nullptr)
        found = socket_owner(line, client_side, server_side, uid);
    std::fclose(table);
    return found;
}

bool user_in_group(const char *user, const char *group_name)
{
    if (user == nullptr || *user == '\0' || group_name == nullptr || *group_name == '\0')
        return false;
    passwd pw{};
    passwd *pw_found = nullptr;
    group gr{};
    group *gr_found = nullptr;
    std::vector<char> pw_text(16384);
    std::vector<char> gr_text(65536);
    if (getpwnam_r(user, &pw, pw_text.data(), pw_text.size(), &pw_found) != 0 ||
        pw_found == nullptr)
        return false;
    if (getgrnam_r(group_name, &gr, gr_text.data(), gr_text.size(), &gr_found) != 0 ||
        gr_found == nullptr)
        return false;
    if (pw.pw_gid == gr.gr_gid)
        return true;
    // getgrouplist answers -1 and the count it needs when the list is short.
    int count = 32;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (getgrouplist(user, pw.pw_gid, groups.data(), &count) < 0) {
        if (count <= static_cast<int>(groups.size()))
            return false;
        groups.resize(static_cast<std::size_t>(count));
    }
    for (int i = 0; i < count; i++) {
        if (groups[static_cast<std::size_t>(i)] == gr.gr_gid)
            return true;
    }
    return false;
}

bool user_name_of(uid_t uid, char *name, std::size_t size)
{
    passwd pw{};
    passwd *found = nullptr;
    std::vector<char> text(16384);
    if (getpwuid_r(uid, &pw, text.data(), text.size(), &found) != 0 || found == nullptr)
        return false;
    std::snprintf(name, size, "%s", pw.pw_name);
    return true;
}

bool user_is_admin(const char *user, const char *admin_group)
{
    passwd pw{};
    passwd *found = nullptr;
    std::vector<char> text(16384);
    if (getpwnam_r(user, &pw, text.data(), text.size(), &found) == 0 && found != nullptr &&
        pw.pw_uid == 0)
        return true;
    return user_in_group(user, admin_group);
}
