// The parts of velokit-printer-app, one file each.
#pragma once

#include <pappl/pappl.h>

#include "models.h"

// app_drivers.cpp: one driver per model, described by its *ModelName.
int drivers(pappl_pr_driver_t **list);
bool driver_setup(pappl_system_t *system, const char *driver_name, const char *device_uri,
                  const char *device_id, pappl_pr_driver_data_t *data, ipp_t **attrs, void *cbdata);

// printer_attributes.cpp: what a printer answers beyond PAPPL's own
// attributes (from driver_setup), and its supplies once it exists (PAPPL's
// printer creation callback).
void printer_attributes_add(pappl_pr_driver_data_t *data, ipp_t **attrs);
void printer_created(pappl_printer_t *printer, void *data);

// app_system.cpp: the server's system object, from the usual server options.
pappl_system_t *system_create(int num_options, cups_option_t *options, void *data);

// ipp_operation.cpp: every IPP request before PAPPL handles it; true when
// answered there.
bool ipp_operation(pappl_client_t *client, void *data);

// system_event.cpp: every event of the system, its printers and jobs.
void system_event(pappl_system_t *system, pappl_printer_t *printer, pappl_job_t *job,
                  pappl_event_t event, void *data);

// state_save.cpp: the state file is written only while no job is under
// way (PAPPL 1.3.1's save and a refused Print-Job take the same two locks in
// opposite orders); the job events keep the count.
void state_save_event(pappl_job_t *job, pappl_event_t event);
bool state_save_now(pappl_system_t *system);

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

// pdf_filter.cpp: PDF through Ghostscript into the raster path.
bool pdf_filter(pappl_job_t *job, pappl_device_t *device, void *data);

// job_document.cpp: the path of the job's document, copied; false, with the
// job's message set, when the document is gone.
bool job_document_path(pappl_job_t *job, char *path, std::size_t size);

// test_page.cpp: the web interface's test page, a PWG raster page.
const char *test_page(pappl_printer_t *printer, char *buffer, std::size_t size);
