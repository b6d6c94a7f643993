// The parts of velokit-printer-app, one file each.
#pragma once

#include <pappl/pappl.h>
#include <vector>

#include "child_process.h"
#include "models.h"

// app_drivers.cpp: one driver per model, described by its *ModelName.
int drivers(pappl_pr_driver_t **list);
bool driver_setup(pappl_system_t *system, const char *driver_name, const char *device_uri,
                  const char *device_id, pappl_pr_driver_data_t *data, ipp_t **attrs, void *cbdata);

// printer_attributes.cpp: what a printer answers beyond PAPPL's own
// attributes (from driver_setup), and its supplies once it exists (from
// printer_created).
void printer_attributes_add(pappl_pr_driver_data_t *data, ipp_t **attrs);
void printer_supplies_add(pappl_printer_t *printer);

// app_system.cpp: the server's system object, from the usual server options.
pappl_system_t *system_create(int num_options, cups_option_t *options, void *data);
// Its printers' numbers, so that each can be looked up and dealt with
// without the system's lock held.
std::vector<int> system_printer_ids(pappl_system_t *system);

// ipp_operation.cpp: every IPP request before PAPPL handles it; true when
// answered there.
bool ipp_operation(pappl_client_t *client, void *data);

// system_event.cpp: every event of the system, its printers and jobs.
void system_event(pappl_system_t *system, pappl_printer_t *printer, pappl_job_t *job,
                  pappl_event_t event, void *data);

// document_user.cpp: how the server's children that read documents start:
// tied to the server's life and, when it is root, as user lp (in *user).
// Returns 0, or an errno value when lp cannot be had: nothing may run then.
int document_child_setup(child_setup *setup, child_user *user);

// job_order.cpp: per printer, jobs start in the order the server accepted
// them. The oldest waiting job is the only pending one; the others are held
// for order, new ones while anything prints or waits. `ending` is the job
// whose processing ends in the calling thread, or nullptr; see the file's
// head for when to call it.
void job_order_settle(pappl_printer_t *printer, const pappl_job_t *ending);
void job_order_started(pappl_job_t *job);

// printer_status.cpp: a printer's pause, its port's presence and its
// converter's stalls, as PAPPL does not show them.
void printer_status_event(pappl_printer_t *printer, const pappl_job_t *job, pappl_event_t event);
bool printer_paused(pappl_printer_t *printer);
void printer_port_seen(pappl_printer_t *printer, bool writable);
void printer_stalled(pappl_printer_t *printer, bool stalled);
void printer_status_check(pappl_printer_t *printer);
// The thread of the periodic checks (job order, idle ports), once.
void periodic_checks_start(pappl_system_t *system);

// port_scheme.cpp: the velokitlp device scheme on the maker's port files.
void port_scheme_add();
// True for velokitlp:/var/run/velokitlpN and velokitlp:/run/velokitlpN.
bool port_uri_accepted(const char *device_uri);

// raster_job.cpp: rows of every page to the maker's converter, its output to
// the port.
bool job_start(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
bool job_start_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                    unsigned page);
bool job_write_row(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                   unsigned y, const unsigned char *row);
bool job_end_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                  unsigned page);
bool job_end(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);

// raster_file.cpp: a PWG raster stream through the raster callbacks, from
// job start to job end; spooled raster jobs.
bool print_raster_stream(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                         int input);
bool print_raster_file(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
// The type under which PWG and Apple raster is spooled rather than streamed,
// and its filter.
constexpr const char *spooled_raster_type = "application/vnd.velokit-spooled-raster";
// A raster Print-Job or Send-Document to a busy printer is spooled instead.
void raster_arrival_spool(pappl_client_t *client, ipp_t *request);
bool spooled_raster_filter(pappl_job_t *job, pappl_device_t *device, void *data);
// The same as PAPPL's filter from PWG raster to PWG raster.
bool raster_filter(pappl_job_t *job, pappl_device_t *device, void *data);

// pdf_filter.cpp: PDF through Ghostscript into the raster path.
bool pdf_filter(pappl_job_t *job, pappl_device_t *device, void *data);

// job_document.cpp: the path of the job's document, copied; false, with the
// job's message set, when the document is gone.
bool job_document_path(pappl_job_t *job, char *path, std::size_t size);
// state_save.cpp: the state file, written whole; a job's record saved when it
// is created and again once its document is spooled; never while another
// job's document is still arriving (PAPPL 1.3.1's save and an upload it gives
// up on take the same two locks in opposite orders).
void state_paths_set(const char *state_file, const char *spool_dir);
bool state_save(pappl_system_t *system);
// The file that holds the latest state, and the whole of a new one written.
const char *state_latest();
bool state_write(const char *data, std::size_t size);
void state_job_created(pappl_system_t *system, pappl_printer_t *printer, pappl_job_t *job);

// job_recovery.cpp: before the state is loaded, jobs it saved as printing
// become pending again; once the server runs, they and the waiting jobs start.
bool recovery_prepare(const char *spool_dir);

// spool_document.cpp: a job's document in the spool directory, if it is
// there whole (PDF, JPEG, PNG or PWG raster).
bool spool_document_find(const char *spool_dir, int printer_id, int job_id, char *path,
                         std::size_t size);
// The next job ids beyond the saved ones, before any client is answered;
// then, once the server runs, a printer's jobs in order and the oldest
// started.
void recovery_start(pappl_system_t *system);
void recovery_resume(pappl_printer_t *printer);

// server_shutdown.cpp: a stop within seconds that keeps the printing jobs.
void shutdown_setup(pappl_system_t *system);
bool server_stopping();
// The jobs of every printer, as the periodic checks last counted them.
void shutdown_jobs_counted(int active_jobs);
// What a filter callback returns to PAPPL: ok, unless the server's shutdown
// stopped the job, whose thread then waits for the process to end so that
// the job and its document are kept.
bool job_park_when_stopped(pappl_job_t *job, bool ok);

// submit_command.cpp: the submit sub-command, telling refusals; -1 when it
// is PAPPL's to handle (a printer URI, an option it alone knows).
int submit_command(int argc, char *argv[]);

// test_page.cpp: the web interface's test page, a PWG raster page.
const char *test_page(pappl_printer_t *printer, char *buffer, std::size_t size);

// user_identity.cpp: who a client is and what groups a user is in.
constexpr const char *pam_service_name = "velokit-printer-app";
// An HTTP Basic "Authorization" value checked through PAM: true and the
// user's name when the login is good.
bool login_check(const char *authorization, const char *remote_host, char *user,
                 std::size_t user_size);
// The local user who owns the other end of a TCP connection over loopback.
bool loopback_peer_uid(int fd, uid_t *uid);
// Membership of the named group, as primary or supplementary group.
bool user_in_group(const char *user, const char *group);
bool user_name_of(uid_t uid, char *name, std::size_t size);
// Root, or a member of the admin group.
bool user_is_admin(const char *user, const char *admin_group);

// access_control.cpp: who may do what, on every channel.
constexpr const char *default_admin_group = "lpadmin";
void access_control_setup(pappl_system_t *system, const char *admin_group);

// private_files.cpp: nothing the server writes is readable by others.
void private_files_setup(pappl_system_t *system, const char *state_file, const char *spool);

// cli_access.cpp: true when the sub-command would need root's server and
// its socket refuses this user.
bool system_server_refuses(int argc, char *argv[]);
// printer_dnssd.cpp: every printer advertised through DNS-SD while it exists,
// also when avahi-daemon starts after the server.
void printer_dnssd_start(pappl_system_t *system, bool host_name_given);
void printer_dnssd_event(pappl_system_t *system, pappl_printer_t *printer, pappl_event_t event);
// True when the server stopped to start again with a new avahi client.
bool printer_dnssd_restart_wanted();

// cli_printer_id.cpp: the add, delete and default sub-commands on a
// running server, by the printer's real number; -1 leaves the command to
// PAPPL.
int cli_printer_id_command(int argc, char *argv[]);

// web_add_printer.cpp: the web interface's Add Printer page, with the
// maker's ports and the drivers only.
void web_add_printer_page(pappl_system_t *system);

// printer_add.cpp: printers the application adds while the server runs,
// with their real number from the start (errno as papplPrinterCreate sets
// it), and the vendor operation through which the command line adds one.
constexpr ipp_op_t ipp_op_add_printer = static_cast<ipp_op_t>(0x4100);
pappl_printer_t *printer_add(pappl_system_t *system, const char *name, const char *driver,
                             const char *device_id, const char *device_uri);
// True when the request was that operation, and answered.
bool printer_add_operation(pappl_client_t *client);

// printer_created.cpp: PAPPL's one creation callback, for every printer,
// loaded or added, before PAPPL adds its web pages.
void printer_created(pappl_printer_t *printer, void *data);

// held_job_release.cpp: jobs made by Create-Job still waiting for their
// document, which PAPPL would start without one if released.
int jobs_awaiting_document(pappl_printer_t *printer);
// True for a Release-Job or Release-Held-New-Jobs that would start one.
bool release_would_start_empty_job(pappl_client_t *client, ipp_t *request);

// web_printer_page.cpp: the printer's home page, whose actions that change
// the printer or the system are the administrators'.
void web_printer_page_add(pappl_printer_t *printer);
// A posted form's action and job; false, with what to tell, when unusable.
struct web_form {
    char action[64] = "";
    int job_id = 0;
};
bool web_read_form(pappl_client_t *client, web_form *form, const char **status);
void web_put_button(pappl_client_t *client, const char *path, const char *action,
                    const char *label);

// web_jobs.cpp: a printer's jobs on its pages, and its jobs page in place of
// PAPPL's: a job is changed by its owner or an administrator, and a job that
// has ended stays as it ended. The table shows the jobs from the first-th
// on, a page of them; what to tell of an action, nullptr when the client
// was answered already.
void web_show_jobs(pappl_client_t *client, pappl_printer_t *printer, const char *path, int first);
const char *web_job_action(pappl_client_t *client, pappl_printer_t *printer, const web_form &form);
void web_jobs_page_add(pappl_printer_t *printer);
