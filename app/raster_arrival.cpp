// PWG and Apple raster from any IPP client, queued like every other format.
// PAPPL 1.3.1 prints raster while it arrives and refuses it ("Currently
// printing another job.", the job aborted) while another job prints or the
// printer holds new jobs, which it does while jobs wait for their turn
// (job_order.cpp). Such a document is marked as spooled_raster_type before
// PAPPL reads its format, so that it is spooled and waits its turn.
// Clients on the local socket are let through before this is asked: the
// submit sub-command decides so for itself.
#include <cstring>

#include "app.h"

namespace
{

bool is_raster(const char *format)
{
    return format != nullptr &&
           (std::strcmp(format, "image/pwg-raster") == 0 || std::strcmp(format, "image/urf") == 0);
}

// Nothing printing, nothing waiting, nothing held back: PAPPL may print it
// at once.
bool printer_free(pappl_printer_t *printer)
{
    return papplPrinterGetState(printer) == IPP_PSTATE_IDLE &&
           papplPrinterGetNumberOfActiveJobs(printer) == 0 &&
           !papplPrinterIsHoldingNewJobs(printer);
}

} // namespace

void raster_arrival_spool(pappl_client_t *client, ipp_t *request)
{
    ipp_op_t op = ippGetOperation(request);
    if (op != IPP_OP_PRINT_JOB && op != IPP_OP_SEND_DOCUMENT)
        return;
    ipp_attribute_t *format = ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE);
    pappl_printer_t *printer = papplClientGetPrinter(client);
    if (format == nullptr || ippGetGroupTag(format) != IPP_TAG_OPERATION ||
        ippGetCount(format) != 1 || !is_raster(ippGetString(format, 0, nullptr)) ||
        printer == nullptr)
        return;
    // Send-Document adds to a job that is itself waiting.
    if (op == IPP_OP_PRINT_JOB && printer_free(printer))
        return;
    ippSetString(request, &format, 0, spooled_raster_type);
    papplLogClient(client, PAPPL_LOGLEVEL_DEBUG, "Raster spooled: the printer is busy.");
}
