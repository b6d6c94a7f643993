// The models the printer application drives. The table is generated at build
// time from the PPD files compiled from the driver information file, so the
// application and the classic driver offer the same media, inks and
// qualities, with the same defaults.
#pragma once

struct model_media {
    const char *keyword;  // the PPD's PageSize choice, the converter's media word
    const char *pwg_name; // the IPP media name of the same size
    int width, length;    // hundredths of millimetres
    // The PPD's page and imageable area in points, the area from the
    // bottom-left corner: the rows the converter gets cover the area only.
    double width_pt, length_pt;
    double left, bottom, right, top;
};

struct model_ink {
    const char *keyword; // COLOR, MONO: the converter's ink word
    bool color;          // RGB raster, else gray
};

struct model_quality {
    const char *keyword; // DRAFT, NORMAL, PHOTO: the converter's quality word
    int dpi;
};

struct model_info {
    const char *driver_name; // orvex_v1, ...
    const char *model_name;  // *ModelName: the converter's first words
    const char *nickname;
    int pages_per_minute;
    const model_media *media;
    int num_media;
    int default_media;
    const model_ink *inks;
    int num_inks;
    int default_ink;
    const model_quality *qualities; // by resolution, lowest first
    int num_qualities;
    int default_quality;
};

extern const model_info app_models[];
extern const int app_num_models;

const model_info *model_find(const char *driver_name);
