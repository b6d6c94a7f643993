// Every IPP request, before PAPPL handles it. PAPPL 1.3.1 allows one such
// callback per system: what the application must decide about a request
// before PAPPL acts on it is decided here, in one place.
#include "app.h"

// True when the request was answered here; false lets PAPPL handle it.
bool ipp_operation(pappl_client_t *client, void * /*data*/)
{
    return printer_add_operation(client);
}
