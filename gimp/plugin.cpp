// The filter as a GIMP 2.10 plug-in: Filters > Enhance > JPEG Artifact Removal (Korvane DCT).
// The drawable is read through babl in the layout and depth a PNG of it would have (R'G'B' or
// Y', with or without alpha, 8 or 16 bits), filtered as korvane-dct filters that PNG, and
// written back through the shadow buffer as one undo step.
#include <libgimp/gimp.h>
#include <libgimp/gimpui.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/cpu.h"
#include "engine/engine.h"
#include "engine/kernels.h"
#include "engine/setting_texts.h"
#include "gimp/jpeg_settings.h"
#include "gimp/pixels.h"
#include "picture/picture_filter.h"
#include "strength/strength.h"

namespace korvane::gimp {
namespace {

constexpr const char* kProcedure = "plug-in-korvane-dct";
constexpr const char* kBinary = "korvane-dct";
constexpr const char* kTitle = "JPEG Artifact Removal (Korvane DCT)";

// The four settings: procedure argument and dialog label here, their meaning shared with the
// other front ends.
struct SettingLabel {
    const char* name;   // procedure argument
    const char* label;  // dialog
};
constexpr SettingLabel kSettingLabels[kTrackCount] = {
    {"threshold", "_Threshold:"},
    {"quant", "_Quant:"},
    {"n-shift", "_N shift:"},
    {"zero-weight", "_Zero weight:"},
};

// The setting's meaning as a sentence with its range and default, made once; the bare meaning
// where there is no memory for more.
const char* setting_help(int t) noexcept {
    try {
        static const std::array<std::string, kTrackCount> texts = [] {
            std::array<std::string, kTrackCount> made;
            for (int i = 0; i < kTrackCount; ++i) {
                made[static_cast<std::size_t>(i)] = setting_sentence(i) + " (" +
                                                    std::to_string(kTrackMin[i]) + ".." +
                                                    std::to_string(kTrackMax[i]) + ", default " +
                                                    std::to_string(kTrackDefault[i]) + ")";
            }
            return made;
        }();
        return texts[static_cast<std::size_t>(t)].c_str();
    } catch (...) {
        return kSettingTexts[t].meaning;
    }
}

// What the plug-in remembers between runs (gimp_set_data): plain data.
struct Values {
    gint32 tracks[kTrackCount] = {kTrackDefault[kThreshold], kTrackDefault[kQuant],
                                  kTrackDefault[kNShift], kTrackDefault[kZeroWeight]};
    gint32 automatic = 0;
};

std::int32_t worker_threads() { return default_threads(); }

struct Unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using Buffer = std::unique_ptr<GeglBuffer, Unref>;

// How the drawable's pixels are worked on: the babl format, in the drawable's colour space, and
// the matching view. 8-bit perceptual images as they are; every other precision (16-bit, 32-bit,
// floating point, linear light) as 16-bit perceptual samples, which is exact for 16-bit
// perceptual images (16-bit PNGs) and for the rest the nearest of 65536 levels, values outside
// 0..1 clipped.
struct Layout {
    const Babl* format = nullptr;
    const Babl* format_u8 = nullptr;  // the same layout in 8 bits, for the preview
    PixelsView view;
    std::size_t pixel_bytes = 0;
};

Layout layout_of(gint32 drawable) {
    Layout l;
    l.view.gray = gimp_drawable_is_gray(drawable);
    l.view.alpha = gimp_drawable_has_alpha(drawable);
    const GimpPrecision precision = gimp_image_get_precision(gimp_item_get_image(drawable));
    l.view.depth = precision == GIMP_PRECISION_U8_GAMMA ? 8 : 16;
    const std::string channels =
        std::string(l.view.gray ? "Y'" : "R'G'B'") + (l.view.alpha ? "A" : "");
    const Babl* space = gimp_drawable_get_format(drawable);
    l.format =
        babl_format_with_space((channels + (l.view.depth == 8 ? " u8" : " u16")).c_str(), space);
    l.format_u8 = babl_format_with_space((channels + " u8").c_str(), space);
    l.pixel_bytes = static_cast<std::size_t>(babl_format_get_bytes_per_pixel(l.format));
    return l;
}

// Pixels of a rectangle of the drawable in the layout's format.
struct Pixels {
    GeglRectangle rect{};
    std::vector<std::uint8_t> bytes;
    PixelsView view;
};

Pixels read_pixels(gint32 drawable, const Layout& layout, const GeglRectangle& rect) {
    Pixels p;
    p.rect = rect;
    const std::size_t stride = layout.pixel_bytes * static_cast<std::size_t>(rect.width);
    p.bytes.resize(stride * static_cast<std::size_t>(rect.height));
    const Buffer buffer(gimp_drawable_get_buffer(drawable));
    gegl_buffer_get(buffer.get(), &rect, 1.0, layout.format, p.bytes.data(),
                    static_cast<gint>(stride), GEGL_ABYSS_NONE);
    p.view = layout.view;
    p.view.data = p.bytes.data();
    p.view.w = rect.width;
    p.view.h = rect.height;
    p.view.stride = static_cast<std::ptrdiff_t>(stride);
    return p;
}

// Threshold, quant and n_shift as korvane-dct's --strength auto picks them for a picture, and
// why. From the JPEG's own luma table when GIMP kept it with the image (the jpeg-settings
// parasite), else estimated from the drawable's pixels. Both go through strength/strength.h, as in
// korvane-dct, so the plug-in picks what korvane-dct picks for the same JPEG or picture.
struct AutoSetting {
    std::int32_t threshold = 0, quant = 1, n_shift = 1;
    bool unfiltered = false;             // nothing measured to gain: the picture is left as it is
    std::int32_t chroma_threshold = -1;  // chroma's own threshold; -1: the threshold
    std::string why;
};

AutoSetting auto_setting(gint32 image, gint32 drawable) {
    SourceQuality source;
    std::optional<std::vector<int>> table;
    if (GimpParasite* parasite = gimp_image_get_parasite(image, "jpeg-settings")) {
        const auto* data = static_cast<const std::uint8_t*>(gimp_parasite_data(parasite));
        table = luma_table_of_jpeg_settings(
            std::span(data, static_cast<std::size_t>(gimp_parasite_data_size(parasite))));
        gimp_parasite_free(parasite);
    }
    if (table) {
        source.from = SourceQuality::From::jpeg_table;
        source.quality = quality_of_table(*table);
        // Another encoder's table takes a stronger row than libjpeg's, as in korvane-dct.
        source.libjpeg_table = is_libjpeg_table(*table, *source.quality);
    } else {
        const Layout layout = layout_of(drawable);
        const GeglRectangle all{0, 0, gimp_drawable_width(drawable),
                                gimp_drawable_height(drawable)};
        const Pixels pixels = read_pixels(drawable, layout, all);
        std::vector<YcPixel> host(static_cast<std::size_t>(all.width) *
                                  static_cast<std::size_t>(all.height));
        pixels_to_host(pixels.view, 0, all.height, host.data());
        source = estimate_quality(host, all.width, all.height);
    }
    const StrengthSetting s = setting_for(source, false);
    AutoSetting a{s.threshold, s.quant, s.n_shift, s.unfiltered, s.chroma_threshold, {}};
    if (source.from == SourceQuality::From::jpeg_table)
        a.why =
            "JPEG quality " + std::to_string(*source.quality) +
            (source.libjpeg_table
                 ? " (its quantisation table)"
                 : " (the nearest libjpeg table to its own; another encoder's, so the "
                   "setting of quality " +
                       std::to_string(std::min(100, *source.quality + kOtherTableMargin)) + ")");
    else if (source.quality)
        a.why = "looks like JPEG quality " + std::to_string(*source.quality) +
                " (estimated from its 8x8 blocks)";
    else
        a.why = "no block quantisation found";
    if (a.unfiltered)
        a.why += ": left as it is (no setting was measured to gain there)";
    else
        a.why +=
            ": threshold " + std::to_string(a.threshold) + ", quant " + std::to_string(a.quant) +
            ", n_shift " + std::to_string(a.n_shift) +
            (a.chroma_threshold >= 0 ? ", chroma threshold " + std::to_string(a.chroma_threshold)
                                     : "");
    return a;
}

// What a run does: the settings, and under automatic strength whether to filter at all.
struct Plan {
    Settings settings;
    bool unfiltered = false;
};

Plan plan_of(const Values& v, const std::optional<AutoSetting>& automatic) {
    Plan p{{v.tracks[kThreshold], v.tracks[kQuant], v.tracks[kNShift], v.tracks[kZeroWeight]}};
    if (v.automatic && automatic) {
        p.settings.threshold = automatic->threshold;
        p.settings.quant = automatic->quant;
        p.settings.shifts = automatic->n_shift;
        p.unfiltered = automatic->unfiltered;
        p.settings.chroma_threshold = automatic->chroma_threshold;
    }
    return p;
}

// Filters the whole drawable (the block grids lie on the layer as on the picture korvane-dct
// reads) and writes the selected part back through the shadow buffer, as one undo step, with
// GIMP's progress bar pulsing meanwhile. Throws on failure, before anything was written.
void filter_drawable(gint32 image, gint32 drawable, const Plan& plan) {
    gint x = 0, y = 0, w = 0, h = 0;
    if (plan.unfiltered || !gimp_drawable_mask_intersect(drawable, &x, &y, &w, &h)) return;
    gimp_progress_init(kTitle);
    const Layout layout = layout_of(drawable);
    const GeglRectangle all{0, 0, gimp_drawable_width(drawable), gimp_drawable_height(drawable)};
    Pixels pixels = read_pixels(drawable, layout, all);
    gimp_progress_update(0.1);

    // The filter runs on its own threads; GIMP's progress may be told only from this one.
    auto done = std::async(std::launch::async, [&] {
        PictureFilter filter(kernels_for(plugin_tier()), worker_threads());
        std::vector<YcPixel> work;
        return filter_pixels(filter, plan.settings, pixels.view, work);
    });
    while (done.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        gimp_progress_pulse();
    const Status status = done.get();
    if (status == Status::out_of_memory) throw std::bad_alloc();
    if (status != Status::ok) throw std::invalid_argument("the filter refused the picture");
    gimp_progress_update(0.9);

    gimp_image_undo_group_start(image);
    {
        const Buffer shadow(gimp_drawable_get_shadow_buffer(drawable));
        const GeglRectangle part{x, y, w, h};
        const std::size_t offset = static_cast<std::size_t>(y) * pixels.view.stride +
                                   static_cast<std::size_t>(x) * layout.pixel_bytes;
        gegl_buffer_set(shadow.get(), &part, 0, layout.format, pixels.bytes.data() + offset,
                        static_cast<gint>(pixels.view.stride));
        gegl_buffer_flush(shadow.get());
    }
    gimp_drawable_merge_shadow(drawable, TRUE);
    gimp_drawable_update(drawable, x, y, w, h);
    gimp_image_undo_group_end(image);
    gimp_progress_update(1.0);
}

// The dialog: the preview, "Automatic strength" and the four settings.
struct Dialog {
    gint32 image = -1;
    gint32 drawable = -1;
    Values* values = nullptr;
    Layout layout;
    std::optional<AutoSetting> automatic;  // worked out the first time it is asked for
    GtkWidget* preview = nullptr;
    GtkWidget* auto_label = nullptr;
    GtkObject* scales[kTrackCount] = {};
    std::unique_ptr<PictureFilter> filter;
    std::vector<YcPixel> work;

    const AutoSetting& auto_now() {
        if (!automatic) automatic = auto_setting(image, drawable);
        return *automatic;
    }

    void update_automatic() {
        const bool on = values->automatic != 0;
        for (int t = 0; t < kNShift + 1; ++t) gimp_scale_entry_set_sensitive(scales[t], !on);
        gtk_label_set_text(GTK_LABEL(auto_label), on ? auto_now().why.c_str() : "");
    }

    // The visible part of the preview, filtered with the block grids where they lie on the
    // layer: the region filtered starts on a multiple of 8 and reaches at least 16 pixels beyond
    // the visible part (where the layer goes on), so that its edges stay clear of what is shown.
    // Filtering only this region keeps the preview quick on large layers.
    void draw() {
        gint px = 0, py = 0, pw = 0, ph = 0;
        gimp_preview_get_position(GIMP_PREVIEW(preview), &px, &py);
        gimp_preview_get_size(GIMP_PREVIEW(preview), &pw, &ph);
        const gint dw = gimp_drawable_width(drawable), dh = gimp_drawable_height(drawable);
        const gint x0 = std::max(0, (px - 16) / 8 * 8), y0 = std::max(0, (py - 16) / 8 * 8);
        const gint x1 = std::min(dw, px + pw + 16), y1 = std::min(dh, py + ph + 16);
        Pixels pixels = read_pixels(drawable, layout, GeglRectangle{x0, y0, x1 - x0, y1 - y0});
        const Plan plan =
            plan_of(*values, values->automatic ? std::optional(auto_now()) : std::nullopt);
        try {
            if (!filter)
                filter =
                    std::make_unique<PictureFilter>(kernels_for(plugin_tier()), worker_threads());
            if (!plan.unfiltered) filter_pixels(*filter, plan.settings, pixels.view, work);
        } catch (...) {
            // No threads or memory: the preview shows the picture unfiltered.
        }
        const std::size_t u8_bytes =
            static_cast<std::size_t>(babl_format_get_bytes_per_pixel(layout.format_u8));
        std::vector<guchar> shown(u8_bytes * static_cast<std::size_t>(pw) *
                                  static_cast<std::size_t>(ph));
        const Babl* fish = babl_fish(layout.format, layout.format_u8);
        for (gint y = 0; y < ph; ++y) {
            const std::uint8_t* from = pixels.bytes.data() +
                                       static_cast<std::size_t>(py - y0 + y) * pixels.view.stride +
                                       static_cast<std::size_t>(px - x0) * layout.pixel_bytes;
            babl_process(fish, from, shown.data() + static_cast<std::size_t>(y) * pw * u8_bytes,
                         pw);
        }
        gimp_preview_draw_buffer(GIMP_PREVIEW(preview), shown.data(),
                                 static_cast<gint>(u8_bytes) * pw);
    }

    // GTK's signal handlers: C code calls them, so no exception leaves them. Without memory
    // for the preview or the estimate, the preview and the line about the choice stay as they
    // were; the filter itself reports the failure when OK is pressed.
    static void on_invalidated(GimpPreview*, gpointer self) {
        try {
            static_cast<Dialog*>(self)->draw();
        } catch (...) {
        }
    }
    static void on_automatic(GtkToggleButton* button, gpointer self) {
        auto& d = *static_cast<Dialog*>(self);
        d.values->automatic = gtk_toggle_button_get_active(button);
        try {
            d.update_automatic();
        } catch (...) {
        }
        gimp_preview_invalidate(GIMP_PREVIEW(d.preview));
    }
};

bool run_dialog(gint32 image, gint32 drawable, Values& values) {
    gimp_ui_init(kBinary, FALSE);
    Dialog d;
    d.image = image;
    d.drawable = drawable;
    d.values = &values;
    d.layout = layout_of(drawable);

    GtkWidget* dialog = gimp_dialog_new(kTitle, kBinary, nullptr, GtkDialogFlags(0),
                                        gimp_standard_help_func, kProcedure, "_Cancel",
                                        GTK_RESPONSE_CANCEL, "_OK", GTK_RESPONSE_OK, nullptr);
    gtk_dialog_set_alternative_button_order(GTK_DIALOG(dialog), GTK_RESPONSE_OK,
                                            GTK_RESPONSE_CANCEL, -1);
    gimp_window_set_transient(GTK_WINDOW(dialog));

    GtkWidget* box = gtk_vbox_new(FALSE, 12);
    gtk_container_set_border_width(GTK_CONTAINER(box), 12);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), box, TRUE, TRUE,
                       0);

    d.preview = gimp_drawable_preview_new_from_drawable_id(drawable);
    gtk_box_pack_start(GTK_BOX(box), d.preview, TRUE, TRUE, 0);

    GtkWidget* automatic = gtk_check_button_new_with_mnemonic("_Automatic strength");
    gimp_help_set_help_data(automatic,
                            "Threshold, quant and n shift from how hard the picture was "
                            "compressed: from the JPEG's quantisation table when the image was "
                            "opened from a JPEG, else estimated from its 8x8 blocks",
                            nullptr);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(automatic), values.automatic != 0);
    gtk_box_pack_start(GTK_BOX(box), automatic, FALSE, FALSE, 0);
    d.auto_label = gtk_label_new("");
    gtk_misc_set_alignment(GTK_MISC(d.auto_label), 0.0, 0.5);
    gtk_label_set_line_wrap(GTK_LABEL(d.auto_label), TRUE);
    gtk_box_pack_start(GTK_BOX(box), d.auto_label, FALSE, FALSE, 0);

    GtkWidget* table = gtk_table_new(kTrackCount, 3, FALSE);
    gtk_table_set_col_spacings(GTK_TABLE(table), 6);
    gtk_table_set_row_spacings(GTK_TABLE(table), 6);
    gtk_box_pack_start(GTK_BOX(box), table, FALSE, FALSE, 0);
    for (int t = 0; t < kTrackCount; ++t) {
        d.scales[t] = gimp_scale_entry_new(GTK_TABLE(table), 0, t, kSettingLabels[t].label, 200, 0,
                                           values.tracks[t], kTrackMin[t], kTrackMax[t], 1, 8, 0,
                                           TRUE, 0, 0, setting_help(t), nullptr);
        g_signal_connect(d.scales[t], "value-changed", G_CALLBACK(gimp_int_adjustment_update),
                         &values.tracks[t]);
        g_signal_connect_swapped(d.scales[t], "value-changed", G_CALLBACK(gimp_preview_invalidate),
                                 d.preview);
    }
    g_signal_connect(automatic, "toggled", G_CALLBACK(Dialog::on_automatic), &d);
    g_signal_connect(d.preview, "invalidated", G_CALLBACK(Dialog::on_invalidated), &d);
    d.update_automatic();

    gtk_widget_show_all(dialog);
    const bool ok = gimp_dialog_run(GIMP_DIALOG(dialog)) == GTK_RESPONSE_OK;
    gtk_widget_destroy(dialog);
    return ok;
}

void query() {
    static const GimpParamDef args[] = {
        {GIMP_PDB_INT32, const_cast<gchar*>("run-mode"),
         const_cast<gchar*>("The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }")},
        {GIMP_PDB_IMAGE, const_cast<gchar*>("image"), const_cast<gchar*>("Input image")},
        {GIMP_PDB_DRAWABLE, const_cast<gchar*>("drawable"), const_cast<gchar*>("Input drawable")},
        {GIMP_PDB_INT32, const_cast<gchar*>(kSettingLabels[kThreshold].name),
         const_cast<gchar*>(setting_help(kThreshold))},
        {GIMP_PDB_INT32, const_cast<gchar*>(kSettingLabels[kQuant].name),
         const_cast<gchar*>(setting_help(kQuant))},
        {GIMP_PDB_INT32, const_cast<gchar*>(kSettingLabels[kNShift].name),
         const_cast<gchar*>(setting_help(kNShift))},
        {GIMP_PDB_INT32, const_cast<gchar*>(kSettingLabels[kZeroWeight].name),
         const_cast<gchar*>(setting_help(kZeroWeight))},
        {GIMP_PDB_INT32, const_cast<gchar*>("automatic"),
         const_cast<gchar*>("Automatic strength (TRUE, FALSE): threshold, quant and n-shift from "
                            "the JPEG's quantisation table kept with the image, or estimated from "
                            "the picture; the three arguments are then ignored")},
    };
    gimp_install_procedure(
        kProcedure, "Remove JPEG block artifacts and fine noise",
        "Deblocking and denoising: averages the picture over shifted 8x8 grids, each with its "
        "weak DCT detail smoothed, as the korvane-dct command does (the same bytes for the same "
        "settings). Alpha passes through untouched.",
        "Korvane DCT developers", "Korvane DCT developers", "2026",
        "_JPEG Artifact Removal (Korvane DCT)...", "RGB*, GRAY*", GIMP_PLUGIN,
        static_cast<gint>(std::size(args)), 0, args, nullptr);
    gimp_plugin_menu_register(kProcedure, "<Image>/Filters/Enhance");
}

void run(const gchar* /*name*/, gint nparams, const GimpParam* param, gint* nreturn_vals,
         GimpParam** return_vals) {
    static GimpParam result[1];
    result[0].type = GIMP_PDB_STATUS;
    result[0].data.d_status = GIMP_PDB_SUCCESS;
    *nreturn_vals = 1;
    *return_vals = result;
    auto& status = result[0].data.d_status;
    try {
        gegl_init(nullptr, nullptr);
        const auto mode = static_cast<GimpRunMode>(param[0].data.d_int32);
        const gint32 image = param[1].data.d_image;
        const gint32 drawable = param[2].data.d_drawable;
        // The menu entry is not offered for indexed images; a script can still call it. Its
        // filtered colours would be snapped back to the palette, so the filter is refused.
        if (gimp_drawable_is_indexed(drawable)) {
            gimp_message(
                "JPEG Artifact Removal: an indexed image cannot take the filtered colours; "
                "convert it to RGB or grayscale first (Image > Mode)");
            status = GIMP_PDB_CALLING_ERROR;
            return;
        }
        Values values;
        switch (mode) {
            case GIMP_RUN_INTERACTIVE:
                gimp_get_data(kProcedure, &values);
                if (!run_dialog(image, drawable, values)) {
                    status = GIMP_PDB_CANCEL;
                    return;
                }
                break;
            case GIMP_RUN_NONINTERACTIVE:
                if (nparams != 8) {
                    status = GIMP_PDB_CALLING_ERROR;
                    return;
                }
                for (int t = 0; t < kTrackCount; ++t) {
                    values.tracks[t] = param[3 + t].data.d_int32;
                    if (values.tracks[t] < kTrackMin[t] || values.tracks[t] > kTrackMax[t]) {
                        status = GIMP_PDB_CALLING_ERROR;
                        return;
                    }
                }
                values.automatic = param[7].data.d_int32 != 0;
                break;
            case GIMP_RUN_WITH_LAST_VALS:
                gimp_get_data(kProcedure, &values);
                break;
        }
        std::optional<AutoSetting> automatic;
        if (values.automatic) automatic = auto_setting(image, drawable);
        filter_drawable(image, drawable, plan_of(values, automatic));
        if (mode != GIMP_RUN_NONINTERACTIVE) gimp_displays_flush();
        if (mode == GIMP_RUN_INTERACTIVE) gimp_set_data(kProcedure, &values, sizeof values);
    } catch (const std::bad_alloc&) {
        gimp_message("JPEG Artifact Removal: not enough memory for this picture");
        status = GIMP_PDB_EXECUTION_ERROR;
    } catch (const std::exception& e) {
        gimp_message((std::string("JPEG Artifact Removal: ") + e.what()).c_str());
        status = GIMP_PDB_EXECUTION_ERROR;
    } catch (...) {
        status = GIMP_PDB_EXECUTION_ERROR;
    }
}

}  // namespace
}  // namespace korvane::gimp

const GimpPlugInInfo PLUG_IN_INFO = {nullptr, nullptr, korvane::gimp::query, korvane::gimp::run};

MAIN()
