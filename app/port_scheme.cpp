// The velokitlp device scheme: the maker's port files, listed as the
// backend lists them, with the backend's own port code. A job opens its port
// itself (raster_job.cpp), exclusively and only while it prints, so the
// device that PAPPL opens for a printer only checks the port's name.
#include <cstdio>
#include <cstring>

#include "app.h"
#include "velokit_port.h"

static constexpr const char scheme_prefix[] = "velokitlp:";

// Only the maker's port files: the server runs as root and cannot give up
// its rights per job, so any other path would let whoever adds a printer
// write any file of the machine.
bool port_uri_accepted(const char *device_uri)
{
    if (device_uri == nullptr ||
        std::strncmp(device_uri, scheme_prefix, sizeof(scheme_prefix) - 1) != 0)
        return false;
    char path[PORT_PATH_MAX + 1];
    http_uri_status_t status = HTTP_URI_STATUS_OK;
    std::size_t length = port_uri_path(device_uri, path, &status);
    return status >= HTTP_URI_STATUS_OK && length <= PORT_PATH_MAX && port_is_maker_path(path);
}

static bool list_ports(pappl_device_cb_t cb, void *data, pappl_deverror_cb_t /*err_cb*/,
                       void * /*err_data*/)
{
    char path[PORT_NAME_SIZE];
    for (int n = 0; port_discover(n, path); n++) {
        char info[64];
        char uri[sizeof(scheme_prefix) + PORT_NAME_SIZE];
        std::snprintf(info, sizeof(info), "ORVEX Inkjet Printer #%d", n + 1);
        std::snprintf(uri, sizeof(uri), "%s%s", scheme_prefix, path);
        if (cb(info, uri, "", data))
            return true;
    }
    return false;
}

static bool open_port_device(pappl_device_t *device, const char *device_uri, const char * /*name*/)
{
    if (!port_uri_accepted(device_uri)) {
        papplDeviceError(device, "'%s' is not a port of the maker's software.", device_uri);
        return false;
    }
    return true;
}

static void close_port_device(pappl_device_t * /*device*/) {}

// Printer data reaches the port only from the job's converter.
static ssize_t write_port_device(pappl_device_t *device, const void * /*buffer*/,
                                 std::size_t /*bytes*/)
{
    papplDeviceError(device, "The port takes data only from the maker's converter.");
    return -1;
}

void port_scheme_add()
{
    papplDeviceAddScheme("velokitlp", PAPPL_DEVTYPE_CUSTOM_LOCAL, list_ports, open_port_device,
                         close_port_device, nullptr, write_port_device, nullptr, nullptr);
}
