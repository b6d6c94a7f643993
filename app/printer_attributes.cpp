// What driverless clients read about a printer beyond what PAPPL 1.3.1 builds
// from the driver data: each value says what the printer really does.
#include <cstdio>

#include "app.h"

// The sheet comes out as the converter gets it: upright, never turned.
static void add_fixed_answers(ipp_t *attrs)
{
    // Validate-Job answers no preferred values.
    ippAddBoolean(attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
    // An "overrides" collection may name its pages or document; no job
    // attribute can be changed for part of a job, so nothing else is listed.
    static const char *const overrides[] = {"document-number", "pages"};
    ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD), "overrides-supported", 2,
                  nullptr, overrides);
    // Colours are converted by Ghostscript's defaults and the maker's
    // converter; a client cannot choose how.
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD),
                 "print-rendering-intent-default", nullptr, "auto");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD),
                 "print-rendering-intent-supported", nullptr, "auto");
    // One-sided only: no back side is ever printed, so it is never turned.
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_CONST_TAG(IPP_TAG_KEYWORD),
                 "pwg-raster-document-sheet-back", nullptr, "normal");
}

void printer_attributes_add(pappl_pr_driver_data_t *data, ipp_t **attrs)
{
    // Pages are printed as they come, long edge down the sheet.
    data->orient_default = IPP_ORIENT_PORTRAIT;
    if (*attrs == nullptr)
        *attrs = ippNew();
    if (*attrs != nullptr)
        add_fixed_answers(*attrs);
}

// The maker's software reports no ink levels: each cartridge is listed, its
// level unknown (-2, as the Printer MIB writes it), so clients neither warn
// of empty ink nor show a false level.
static int ink_supplies(const model_info *model, pappl_supply_t *supplies)
{
    bool color = false;
    for (int i = 0; i < model->num_inks; i++)
        color = color || model->inks[i].color;
    supplies[0] = {};
    supplies[0].color = PAPPL_SUPPLY_COLOR_BLACK;
    std::snprintf(supplies[0].description, sizeof(supplies[0].description), "Black Ink");
    supplies[0].is_consumed = true;
    supplies[0].level = -2;
    supplies[0].type = PAPPL_SUPPLY_TYPE_INK_CARTRIDGE;
    if (!color)
        return 1;
    supplies[1] = supplies[0];
    supplies[1].color = PAPPL_SUPPLY_COLOR_MULTIPLE;
    std::snprintf(supplies[1].description, sizeof(supplies[1].description), "Color Ink");
    return 2;
}

void printer_supplies_add(pappl_printer_t *printer)
{
    const model_info *model = model_find(papplPrinterGetDriverName(printer));
    if (model == nullptr)
        return;
    pappl_supply_t supplies[2];
    papplPrinterSetSupplies(printer, ink_supplies(model, supplies), supplies);
}
