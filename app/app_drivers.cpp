// The drivers: one per model of the driver information file, with the media,
// inks and qualities of its PPD (models.h), so both ways of printing offer
// the same choices and defaults.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app.h"

static pappl_pr_driver_t driver_list[16];

int drivers(pappl_pr_driver_t **list)
{
    int n = 0;
    for (; n < app_num_models && n < static_cast<int>(sizeof(driver_list) / sizeof(driver_list[0]));
         n++) {
        driver_list[n].name = app_models[n].driver_name;
        driver_list[n].description = app_models[n].model_name;
        driver_list[n].device_id = nullptr;
        driver_list[n].extension = nullptr;
    }
    *list = driver_list;
    return n;
}

static int hundredths_mm(double points)
{
    return static_cast<int>(std::lround(points * 2540.0 / 72.0));
}

const model_info *model_find(const char *driver_name)
{
    for (int i = 0; driver_name != nullptr && i < app_num_models; i++) {
        if (std::strcmp(app_models[i].driver_name, driver_name) == 0)
            return &app_models[i];
    }
    return nullptr;
}

// Every sheet comes from the one tray, as plain paper: PAPPL needs a media
// type to set the printer up whole. It takes one margin for the sides and
// one for top and bottom, the driver's own.
static void media_col(const model_media *media, const pappl_pr_driver_data_t *data,
                      pappl_media_col_t *col)
{
    std::memset(col, 0, sizeof(*col));
    std::snprintf(col->size_name, sizeof(col->size_name), "%s", media->pwg_name);
    col->size_width = media->width;
    col->size_length = media->length;
    col->left_margin = col->right_margin = data->left_right;
    col->top_margin = col->bottom_margin = data->bottom_top;
    std::snprintf(col->source, sizeof(col->source), "main");
    std::snprintf(col->type, sizeof(col->type), "stationery");
}

static void set_media(const model_info *model, pappl_pr_driver_data_t *data)
{
    data->num_media = model->num_media;
    for (int i = 0; i < model->num_media && i < PAPPL_MAX_MEDIA; i++)
        data->media[i] = model->media[i].pwg_name;
    const model_media *def = &model->media[model->default_media];
    // One value each for PAPPL: the widest margin of the PPD's imageable
    // areas, so nothing is ever placed outside the area the PPD gives.
    for (int i = 0; i < model->num_media; i++) {
        const model_media *m = &model->media[i];
        data->left_right = std::max(
            {data->left_right, hundredths_mm(m->left), hundredths_mm(m->width_pt - m->right)});
        data->bottom_top = std::max(
            {data->bottom_top, hundredths_mm(m->bottom), hundredths_mm(m->length_pt - m->top)});
    }
    media_col(def, data, &data->media_default);
    media_col(def, data, &data->media_ready[0]);
    data->num_source = 1;
    data->source[0] = "main";
    data->num_type = 1;
    data->type[0] = "stationery";
}

static void set_inks(const model_info *model, pappl_pr_driver_data_t *data)
{
    for (int i = 0; i < model->num_inks; i++) {
        data->color_supported |=
            model->inks[i].color ? PAPPL_COLOR_MODE_COLOR : PAPPL_COLOR_MODE_MONOCHROME;
        data->raster_types |=
            model->inks[i].color ? PAPPL_PWG_RASTER_TYPE_SRGB_8 : PAPPL_PWG_RASTER_TYPE_SGRAY_8;
    }
    data->color_default = model->inks[model->default_ink].color ? PAPPL_COLOR_MODE_COLOR
                                                                : PAPPL_COLOR_MODE_MONOCHROME;
}

// PAPPL selects the first resolution for draft, the middle one for normal and
// the last for high, as the qualities are ordered.
static void set_qualities(const model_info *model, pappl_pr_driver_data_t *data)
{
    data->num_resolution = model->num_qualities;
    for (int i = 0; i < model->num_qualities; i++) {
        data->x_resolution[i] = model->qualities[i].dpi;
        data->y_resolution[i] = model->qualities[i].dpi;
    }
    int def = model->default_quality;
    data->x_default = data->y_default = model->qualities[def].dpi;
    if (def == 0 && model->num_qualities > 1)
        data->quality_default = IPP_QUALITY_DRAFT;
    else if (def == model->num_qualities - 1 && model->num_qualities > 1)
        data->quality_default = IPP_QUALITY_HIGH;
    else
        data->quality_default = IPP_QUALITY_NORMAL;
}

bool driver_setup(pappl_system_t *system, const char *driver_name, const char *device_uri,
                  const char * /*device_id*/, pappl_pr_driver_data_t *data, ipp_t ** /*attrs*/,
                  void * /*cbdata*/)
{
    const model_info *model = model_find(driver_name);
    if (model == nullptr) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "No driver named '%s'.", driver_name);
        return false;
    }
    // The web interface's Add Printer comes here without the IPP check.
    if (!port_uri_accepted(device_uri)) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR,
                 "Refusing device '%s': only the ports velokitlp:/var/run/velokitlpN "
                 "and velokitlp:/run/velokitlpN can be used.",
                 device_uri);
        return false;
    }

    data->rstartjob_cb = job_start;
    data->rstartpage_cb = job_start_page;
    data->rwriteline_cb = job_write_row;
    data->rendpage_cb = job_end_page;
    data->rendjob_cb = job_end;
    data->printfile_cb = print_raster_file;
    data->testpage_cb = test_page;
    // PWG raster is always listed by PAPPL and reaches the drivers through
    // raster_filter; naming it here too would list it twice.
    data->format = "application/octet-stream";
    std::snprintf(data->make_and_model, sizeof(data->make_and_model), "%s", model->model_name);
    data->ppm = data->ppm_color = model->pages_per_minute;
    data->kind = PAPPL_KIND_DOCUMENT | PAPPL_KIND_PHOTO;
    data->orient_default = IPP_ORIENT_NONE;
    data->content_default = PAPPL_CONTENT_AUTO;
    data->scaling_default = PAPPL_SCALING_AUTO;
    data->duplex = PAPPL_DUPLEX_NONE;
    data->sides_supported = data->sides_default = PAPPL_SIDES_ONE_SIDED;
    set_media(model, data);
    set_inks(model, data);
    set_qualities(model, data);
    return true;
}
