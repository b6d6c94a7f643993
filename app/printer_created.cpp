// Every printer as PAPPL creates it, loaded from the state file or added
// while the server runs. PAPPL 1.3.1 calls its one creation callback before
// it adds the printer's own web pages: a page added here at the same path
// takes the place of PAPPL's. What the application adds to each printer
// starts here, in one place.
#include "app.h"

void printer_created(pappl_printer_t *printer, void * /*data*/)
{
    printer_supplies_add(printer);
    web_printer_page_add(printer);
}
