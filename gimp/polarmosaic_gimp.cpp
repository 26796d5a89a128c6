// polarmosaic_gimp.cpp - GIMP 2.10 plug-in: Filters > Distorts > Polar Mosaic.
//
// Registers plug-in-polarmosaic with one parameter per entry of the host's
// option table (after run-mode, image and drawable), so Script-Fu and
// Python-Fu can call it; the dialog's controls, their defaults and limits
// come from the same table. The effect's picture is the selection's bounding
// box; GIMP's shadow buffer merge keeps pixels outside the selection.
#include <libgimp/gimp.h>
#include <libgimp/gimpui.h>
#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "plugin_settings.h"

namespace polarmosaic {
namespace {

constexpr char kProcedure[] = "plug-in-polarmosaic";
constexpr char kBinary[] = "polarmosaic";
constexpr char kRole[] = "gimp-polarmosaic";
constexpr int kFixedParams = 3;  // run-mode, image, drawable
constexpr int kPreviewSize = 360;

std::string Format(const char* format, double value) {
    char text[64];
    snprintf(text, sizeof(text), format, value);
    return text;
}

// "border-width" -> "Border width".
std::string LabelOf(const OptionEntry& entry) {
    std::string label = entry.name;
    std::replace(label.begin(), label.end(), '-', ' ');
    label[0] = static_cast<char>(label[0] - 'a' + 'A');
    return label;
}

GimpPDBArgType ArgType(OptionKind kind) {
    switch (kind) {
        case kOptionWhole:
        case kOptionFlag:
            return GIMP_PDB_INT32;
        case kOptionNumber:
            return GIMP_PDB_FLOAT;
        case kOptionColour:
            return GIMP_PDB_COLOR;
        default:
            return GIMP_PDB_STRING;
    }
}

std::string Describe(const OptionEntry& e) {
    const std::string lo = Format("%g", e.min), hi = Format("%g", e.max);
    std::string text;
    switch (e.kind) {
        case kOptionWhole:
            text = "Whole number " + lo + " .. " + hi;
            break;
        case kOptionNumber:
            text = "Number " + lo + " .. " + hi;
            break;
        case kOptionLength:
            text = "Length: \"N\" pixels (" + lo + " .. " + hi + ") or \"N%\" of the half-diagonal (" +
                   Format("%g", e.min_percent) + " .. " + Format("%g", e.max_percent) + "); \"\" the default";
            break;
        case kOptionChoice:
            text = "One of";
            for (const std::string& choice : e.choices) text += " \"" + choice + "\"";
            text += "; \"\" the default";
            break;
        case kOptionFlag:
            text = "0 or 1";
            break;
        case kOptionColour:
            text = "Colour";
            break;
        case kOptionCentre:
            text =
                "\"X,Y\", each pixels from the left or top edge or \"N%\" of the way across; \"\" the "
                "default";
            break;
    }
    text += " (default " + e.default_text;
    if (!e.classic_default_text.empty()) text += ", classic " + e.classic_default_text;
    text += std::string(e.scope == kScopeFitted    ? "; fitted geometry only"
                        : e.scope == kScopeClassic ? "; classic geometry only"
                                                   : "") +
            ")";
    return text;
}

void Query() {
    // GimpParamDef takes non-const strings: keep them alive here.
    static std::vector<std::string> names, descriptions;
    std::vector<GimpParamDef> args = {
        {GIMP_PDB_INT32, const_cast<gchar*>("run-mode"),
         const_cast<gchar*>(
             "The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1), RUN-WITH-LAST-VALS (2) }")},
        {GIMP_PDB_IMAGE, const_cast<gchar*>("image"), const_cast<gchar*>("Input image")},
        {GIMP_PDB_DRAWABLE, const_cast<gchar*>("drawable"), const_cast<gchar*>("Input drawable")},
    };
    for (const OptionEntry& entry : OptionTable()) {
        names.push_back(entry.name);
        descriptions.push_back(Describe(entry));
    }
    for (size_t i = 0; i < OptionTable().size(); ++i) {
        args.push_back({ArgType(OptionTable()[i].kind), const_cast<gchar*>(names[i].c_str()),
                        const_cast<gchar*>(descriptions[i].c_str())});
    }
    gimp_install_procedure(kProcedure, "Polar mosaic: tiles along rings and sectors around a centre",
                           "Turns the selection's bounding box into a mosaic of tiles laid out in rings and "
                           "sectors around a centre, with shaded lines between them. The parameters are the "
                           "polarmosaic tool's options of the same names.",
                           "polarmosaic project", "polarmosaic project", "2025", "Polar _Mosaic...",
                           "RGB*, GRAY*", GIMP_PLUGIN, static_cast<gint>(args.size()), 0, args.data(),
                           nullptr);
    gimp_plugin_menu_register(kProcedure, "<Image>/Filters/Distorts");
}

// A PDB argument as the option's value text.
std::string ParamText(const OptionEntry& entry, const GimpParam& param) {
    switch (entry.kind) {
        case kOptionWhole:
        case kOptionFlag:
            return std::to_string(param.data.d_int32);
        case kOptionNumber:
            return Format("%.17g", param.data.d_float);
        case kOptionColour: {
            guchar r, g, b;
            gimp_rgb_get_uchar(&param.data.d_color, &r, &g, &b);
            return std::to_string(r) + "," + std::to_string(g) + "," + std::to_string(b);
        }
        default:
            return param.data.d_string ? param.data.d_string : "";
    }
}

SettingValues LastValues() {
    SettingValues values = DefaultValues(false);
    const gint size = gimp_get_data_size(kProcedure);
    if (size > 0) {
        std::string text(static_cast<size_t>(size), '\0');
        gimp_get_data(kProcedure, &text[0]);
        for (const auto& value : ParseSerializedValues(text.c_str())) values[value.first] = value.second;
    }
    return values;
}

// The drawable's pixels as 8-bit babl format, by its channels.
struct Layout {
    int channels = 0;
    const Babl* format = nullptr;
};

Layout LayoutOf(gint32 drawable) {
    Layout layout;
    const bool alpha = gimp_drawable_has_alpha(drawable);
    if (gimp_drawable_is_rgb(drawable)) {
        layout.channels = alpha ? 4 : 3;
        layout.format = babl_format(alpha ? "R'G'B'A u8" : "R'G'B' u8");
    } else if (gimp_drawable_is_gray(drawable)) {
        layout.channels = alpha ? 2 : 1;
        layout.format = babl_format(alpha ? "Y'A u8" : "Y' u8");
    }
    return layout;
}

// The selection's bounds within the drawable, and their pixels.
struct Picture {
    gint32 drawable = -1;
    Layout layout;
    gint x = 0, y = 0, width = 0, height = 0;
    std::vector<uint8_t> pixels;
    ptrdiff_t stride() const { return static_cast<ptrdiff_t>(width) * layout.channels; }
};

bool ReadPicture(gint32 drawable, Picture* picture) {
    picture->drawable = drawable;
    picture->layout = LayoutOf(drawable);
    if (!gimp_drawable_mask_intersect(drawable, &picture->x, &picture->y, &picture->width,
                                      &picture->height)) {
        return false;
    }
    picture->pixels.resize(static_cast<size_t>(picture->stride()) * picture->height);
    GeglBuffer* buffer = gimp_drawable_get_buffer(drawable);
    const GeglRectangle rect = {picture->x, picture->y, picture->width, picture->height};
    gegl_buffer_get(buffer, &rect, 1.0, picture->layout.format, picture->pixels.data(), GEGL_AUTO_ROWSTRIDE,
                    GEGL_ABYSS_NONE);
    g_object_unref(buffer);
    return true;
}

// Resolves values for the picture and runs the effect on pixels (the
// picture's size and layout). False with the reason.
bool RunEffect(const SettingValues& values, const Picture& picture, PixelRunner* runner,
               std::vector<uint8_t>* pixels, std::string* reason) {
    UserSettings settings;
    if (!ValuesToSettings(values, &settings, reason)) return false;
    MosaicOptions options = ResolveSettings(settings, picture.width, picture.height, reason);
    if (!reason->empty()) return false;
    options.threads = 0;
    try {
        return runner->Run(pixels->data(), picture.width, picture.height, picture.stride(),
                           picture.layout.channels, options, reason);
    } catch (const std::bad_alloc&) {
        *reason = "not enough memory for a " + std::to_string(picture.width) + " x " +
                  std::to_string(picture.height) + " picture";
        return false;
    }
}

// ------------------------------------------------------------------ dialog

struct Control {
    const OptionEntry* entry = nullptr;
    GtkAdjustment* adjustment[2] = {};  // whole, number: [0]; length: [0]; centre: X, Y
    GtkWidget* unit[2] = {};            // lengths and centre: "px" / "%"
    GtkWidget* spin[2] = {};
    GtkWidget* widget = nullptr;    // choice: combo; flag: check; colour: button
    std::vector<GtkWidget*> parts;  // everything made insensitive with its scope
};

struct Dialog {
    Picture picture;
    std::vector<Control> controls;
    GtkWidget* preview = nullptr;
    GtkWidget* note = nullptr;
    PixelRunner runner;
    std::vector<uint8_t> result;
    std::string result_key;
    bool result_ok = false;
    bool quiet = false;  // no preview while controls are set
};

bool IsPercent(GtkWidget* unit) { return gtk_combo_box_get_active(GTK_COMBO_BOX(unit)) == 1; }

// Limits of a length or centre axis in the unit shown.
void SetLimits(const Dialog& d, const Control& c, int axis) {
    const OptionEntry& e = *c.entry;
    const bool percent = IsPercent(c.unit[axis]);
    double lo = percent ? e.min_percent : e.min;
    double hi = percent ? e.max_percent : e.max;
    double step = percent ? e.step_percent : e.step;
    if (e.kind == kOptionCentre && !percent) {  // pixels within the picture
        lo = 0;
        hi = (axis == 0 ? d.picture.width : d.picture.height) - 1;
        step = 1;
    }
    gtk_spin_button_set_digits(GTK_SPIN_BUTTON(c.spin[axis]), step >= 1 ? 0 : 2);
    GtkAdjustment* adj = c.adjustment[axis];
    gtk_adjustment_configure(adj, std::min(std::max(gtk_adjustment_get_value(adj), lo), hi), lo, hi, step,
                             step * 10, 0);
}

std::string SpinText(const Control& c, int axis) {
    const double v = gtk_adjustment_get_value(c.adjustment[axis]);
    return Format("%.10g", v) + (IsPercent(c.unit[axis]) ? "%" : "");
}

SettingValues ReadControls(const Dialog& d) {
    SettingValues values;
    for (const Control& c : d.controls) {
        std::string text;
        switch (c.entry->kind) {
            case kOptionWhole:
                text = Format("%.0f", gtk_adjustment_get_value(c.adjustment[0]));
                break;
            case kOptionNumber:
                text = Format("%.10g", gtk_adjustment_get_value(c.adjustment[0]));
                break;
            case kOptionLength:
                text = SpinText(c, 0);
                break;
            case kOptionCentre:
                text = SpinText(c, 0) + "," + SpinText(c, 1);
                break;
            case kOptionChoice: {
                gchar* active = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(c.widget));
                text = active ? active : "";
                g_free(active);
                break;
            }
            case kOptionFlag:
                text = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(c.widget)) ? "1" : "0";
                break;
            case kOptionColour: {
                GimpRGB rgb;
                guchar r, g, b;
                gimp_color_button_get_color(GIMP_COLOR_BUTTON(c.widget), &rgb);
                gimp_rgb_get_uchar(&rgb, &r, &g, &b);
                text = std::to_string(r) + "," + std::to_string(g) + "," + std::to_string(b);
                break;
            }
        }
        values[c.entry->name] = text;
    }
    return values;
}

// Shows a length ("28", "4%") on one spin button and its unit.
void SetSpin(Dialog* d, Control* c, int axis, const Length& length) {
    gtk_combo_box_set_active(GTK_COMBO_BOX(c->unit[axis]), length.relative ? 1 : 0);
    SetLimits(*d, *c, axis);
    gtk_adjustment_set_value(c->adjustment[axis], length.value);
}

void SetControl(Dialog* d, Control* c, const std::string& text) {
    const OptionEntry& e = *c->entry;
    switch (e.kind) {
        case kOptionWhole:
        case kOptionNumber:
            gtk_adjustment_set_value(c->adjustment[0], strtod(text.c_str(), nullptr));
            break;
        case kOptionLength: {
            Length length;
            if (ParseLength(text, &length)) SetSpin(d, c, 0, length);
            break;
        }
        case kOptionCentre: {
            CentreSpec centre;
            if (ParseCentre(text, &centre)) {
                SetSpin(d, c, 0, Length{centre.x, centre.x_relative});
                SetSpin(d, c, 1, Length{centre.y, centre.y_relative});
            }
            break;
        }
        case kOptionChoice:
            for (size_t i = 0; i < e.choices.size(); ++i) {
                if (e.choices[i] == text)
                    gtk_combo_box_set_active(GTK_COMBO_BOX(c->widget), static_cast<gint>(i));
            }
            break;
        case kOptionFlag:
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(c->widget), text == "1");
            break;
        case kOptionColour: {
            int r = 0, g = 0, b = 0;
            if (sscanf(text.c_str(), "%d,%d,%d", &r, &g, &b) == 3) {
                GimpRGB rgb;
                gimp_rgb_set_uchar(&rgb, static_cast<guchar>(r), static_cast<guchar>(g),
                                   static_cast<guchar>(b));
                gimp_color_button_set_color(GIMP_COLOR_BUTTON(c->widget), &rgb);
            }
            break;
        }
    }
}

// Fitted-only controls are insensitive in the classic geometry and the
// other way round.
void UpdateScopes(Dialog* d, bool classic) {
    for (Control& c : d->controls) {
        const bool on = c.entry->scope == kScopeBoth || (c.entry->scope == kScopeClassic) == classic;
        for (GtkWidget* part : c.parts) gtk_widget_set_sensitive(part, on);
    }
}

void DrawPreview(Dialog* d) {
    GimpPreview* preview = GIMP_PREVIEW(d->preview);
    const Picture& p = d->picture;
    const SettingValues values = ReadControls(*d);
    const std::string key = SerializeValues(values);
    if (key != d->result_key) {
        d->result = p.pixels;
        std::string reason;
        d->result_ok = RunEffect(values, p, &d->runner, &d->result, &reason);
        d->result_key = key;
        gtk_label_set_text(GTK_LABEL(d->note), reason.c_str());
    }
    const std::vector<uint8_t>& shown = d->result_ok ? d->result : p.pixels;
    gint x, y, width, height;
    gimp_preview_get_position(preview, &x, &y);
    gimp_preview_get_size(preview, &width, &height);
    // The preview's area lies within the selection's bounds; clamp anyway.
    x = std::min(std::max(x - p.x, 0), p.width - 1);
    y = std::min(std::max(y - p.y, 0), p.height - 1);
    width = std::min(width, p.width - x);
    height = std::min(height, p.height - y);
    const int channels = p.layout.channels;
    std::vector<uint8_t> area(static_cast<size_t>(width) * height * channels);
    for (int row = 0; row < height; ++row) {
        std::copy_n(&shown[(y + row) * p.stride() + static_cast<ptrdiff_t>(x) * channels],
                    static_cast<size_t>(width) * channels,
                    &area[static_cast<size_t>(row) * width * channels]);
    }
    gimp_preview_draw_buffer(preview, area.data(), width * channels);
}

void Changed(Dialog* d) {
    if (!d->quiet) gimp_preview_invalidate(GIMP_PREVIEW(d->preview));
}

// A unit switch keeps the length: converted between pixels and per cent.
struct UnitSwitch {
    Dialog* dialog;
    size_t control;
    int axis;
    bool percent;
};

void UnitChanged(GtkComboBox*, UnitSwitch* s) {
    Dialog* d = s->dialog;
    Control& c = d->controls[s->control];
    const bool percent = IsPercent(c.unit[s->axis]);
    if (percent == s->percent) return;
    s->percent = percent;
    const double v = gtk_adjustment_get_value(c.adjustment[s->axis]);
    const int w = d->picture.width, h = d->picture.height;
    double whole;  // pixels that make 100%
    if (c.entry->kind == kOptionCentre) {
        whole = (s->axis == 0 ? w : h) - 1;
    } else {
        whole = LengthPixels(Length{100.0, true}, w, h);
    }
    const bool quiet = d->quiet;
    d->quiet = true;
    SetLimits(*d, c, s->axis);
    if (!quiet && whole > 0) {
        gtk_adjustment_set_value(c.adjustment[s->axis],
                                 percent ? v / whole * 100.0 : round(v / 100.0 * whole));
    }
    d->quiet = quiet;
    Changed(d);
}

void GeometryChanged(GtkComboBox*, Dialog* d) {
    const bool classic = IsClassic(ReadControls(*d));
    if (!d->quiet) {
        // A length still at the other geometry's default takes this one's.
        const SettingValues values = ReadControls(*d);
        d->quiet = true;
        for (Control& c : d->controls) {
            if (c.entry->kind == kOptionLength &&
                values.at(c.entry->name) == DefaultText(*c.entry, !classic)) {
                SetControl(d, &c, DefaultText(*c.entry, classic));
            }
        }
        d->quiet = false;
    }
    UpdateScopes(d, classic);
    Changed(d);
}

GtkWidget* UnitCombo(Dialog* d, size_t control, int axis, std::vector<UnitSwitch*>* switches) {
    GtkWidget* combo = gtk_combo_box_text_new();
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), "px");
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), "%");
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 0);
    switches->push_back(new UnitSwitch{d, control, axis, false});
    g_signal_connect(combo, "changed", G_CALLBACK(UnitChanged), switches->back());
    return combo;
}

GtkWidget* Spin(GtkAdjustment** adjustment, double step) {
    *adjustment = GTK_ADJUSTMENT(gtk_adjustment_new(0, 0, 1, step, step * 10, 0));
    GtkWidget* spin = gtk_spin_button_new(*adjustment, step, 2);
    gtk_spin_button_set_numeric(GTK_SPIN_BUTTON(spin), TRUE);
    gtk_entry_set_width_chars(GTK_ENTRY(spin), 8);
    return spin;
}

void AttachLabel(GtkWidget* table, Control* c, int row, const std::string& text) {
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_misc_set_alignment(GTK_MISC(label), 0.0, 0.5);
    gtk_table_attach(GTK_TABLE(table), label, 0, 1, row, row + 1, GTK_FILL, GTK_FILL, 0, 0);
    c->parts.push_back(label);
}

bool RunDialog(gint32 drawable, SettingValues* values) {
    gimp_ui_init(kBinary, FALSE);
    Dialog d;
    if (!ReadPicture(drawable, &d.picture)) return true;  // empty selection: nothing to ask
    GtkWidget* dialog =
        gimp_dialog_new("Polar Mosaic", kRole, nullptr, GtkDialogFlags(0), gimp_standard_help_func,
                        kProcedure, "_Cancel", GTK_RESPONSE_CANCEL, "_OK", GTK_RESPONSE_OK, nullptr);
    gtk_dialog_set_alternative_button_order(GTK_DIALOG(dialog), GTK_RESPONSE_OK, GTK_RESPONSE_CANCEL, -1);
    gimp_window_set_transient(GTK_WINDOW(dialog));

    GtkWidget* hbox = gtk_hbox_new(FALSE, 12);
    gtk_container_set_border_width(GTK_CONTAINER(hbox), 12);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), hbox, TRUE, TRUE, 0);
    GtkWidget* left = gtk_vbox_new(FALSE, 6);
    gtk_box_pack_start(GTK_BOX(hbox), left, TRUE, TRUE, 0);
    d.preview = gimp_drawable_preview_new_from_drawable_id(drawable);
    gtk_widget_set_size_request(gimp_preview_get_area(GIMP_PREVIEW(d.preview)), kPreviewSize, kPreviewSize);
    gtk_box_pack_start(GTK_BOX(left), d.preview, TRUE, TRUE, 0);
    d.note = gtk_label_new("");
    gtk_label_set_line_wrap(GTK_LABEL(d.note), TRUE);
    gtk_widget_set_size_request(d.note, kPreviewSize, -1);
    gtk_box_pack_start(GTK_BOX(left), d.note, FALSE, FALSE, 0);

    const std::vector<OptionEntry>& table_entries = OptionTable();
    GtkWidget* table = gtk_table_new(static_cast<guint>(table_entries.size()), 5, FALSE);
    gtk_table_set_col_spacings(GTK_TABLE(table), 6);
    gtk_table_set_row_spacings(GTK_TABLE(table), 4);
    gtk_box_pack_start(GTK_BOX(hbox), table, FALSE, FALSE, 0);

    std::vector<UnitSwitch*> switches;
    d.controls.resize(table_entries.size());
    for (size_t i = 0; i < table_entries.size(); ++i) {
        const OptionEntry& e = table_entries[i];
        Control& c = d.controls[i];
        c.entry = &e;
        const int row = static_cast<int>(i);
        const std::string label = LabelOf(e);
        switch (e.kind) {
            case kOptionWhole:
            case kOptionNumber: {
                const guint digits = e.kind == kOptionWhole ? 0 : 2;
                GtkObject* adj = gimp_scale_entry_new(
                    GTK_TABLE(table), 0, row, label.c_str(), 160, 8, e.typical_lo, e.typical_lo, e.typical_hi,
                    e.step, e.step * 10, digits, FALSE, e.min, e.max, nullptr, nullptr);
                c.adjustment[0] = GTK_ADJUSTMENT(adj);
                c.parts = {GTK_WIDGET(GIMP_SCALE_ENTRY_LABEL(adj)), GTK_WIDGET(GIMP_SCALE_ENTRY_SCALE(adj)),
                           GTK_WIDGET(GIMP_SCALE_ENTRY_SPINBUTTON(adj))};
                g_signal_connect_swapped(adj, "value-changed", G_CALLBACK(Changed), &d);
                break;
            }
            case kOptionLength:
            case kOptionCentre: {
                AttachLabel(table, &c, row, label);
                GtkWidget* box = gtk_hbox_new(FALSE, 4);
                const int axes = e.kind == kOptionCentre ? 2 : 1;
                for (int axis = 0; axis < axes; ++axis) {
                    GtkWidget* spin = c.spin[axis] = Spin(&c.adjustment[axis], e.step);
                    c.unit[axis] = UnitCombo(&d, i, axis, &switches);
                    gtk_box_pack_start(GTK_BOX(box), spin, FALSE, FALSE, 0);
                    gtk_box_pack_start(GTK_BOX(box), c.unit[axis], FALSE, FALSE, 0);
                    g_signal_connect_swapped(c.adjustment[axis], "value-changed", G_CALLBACK(Changed), &d);
                }
                gtk_table_attach(GTK_TABLE(table), box, 1, 3, row, row + 1, GTK_FILL, GTK_FILL, 0, 0);
                c.parts.push_back(box);
                break;
            }
            case kOptionChoice: {
                AttachLabel(table, &c, row, label);
                c.widget = gtk_combo_box_text_new();
                for (const std::string& choice : e.choices) {
                    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(c.widget), choice.c_str());
                }
                gtk_table_attach(GTK_TABLE(table), c.widget, 1, 2, row, row + 1, GTK_FILL, GTK_FILL, 0, 0);
                if (std::string(e.name) == "geometry") {
                    g_signal_connect(c.widget, "changed", G_CALLBACK(GeometryChanged), &d);
                } else {
                    g_signal_connect_swapped(c.widget, "changed", G_CALLBACK(Changed), &d);
                }
                c.parts.push_back(c.widget);
                break;
            }
            case kOptionFlag:
                c.widget = gtk_check_button_new_with_label(label.c_str());
                gtk_table_attach(GTK_TABLE(table), c.widget, 0, 3, row, row + 1, GTK_FILL, GTK_FILL, 0, 0);
                g_signal_connect_swapped(c.widget, "toggled", G_CALLBACK(Changed), &d);
                c.parts.push_back(c.widget);
                break;
            case kOptionColour: {
                AttachLabel(table, &c, row, label);
                GimpRGB black;
                gimp_rgb_set_uchar(&black, 0, 0, 0);
                c.widget = gimp_color_button_new(label.c_str(), 60, 20, &black, GIMP_COLOR_AREA_FLAT);
                gtk_table_attach(GTK_TABLE(table), c.widget, 1, 2, row, row + 1, GTK_FILL, GTK_FILL, 0, 0);
                g_signal_connect_swapped(c.widget, "color-changed", G_CALLBACK(Changed), &d);
                c.parts.push_back(c.widget);
                break;
            }
        }
    }
    d.quiet = true;
    for (Control& c : d.controls) SetControl(&d, &c, (*values)[c.entry->name]);
    for (UnitSwitch* s : switches) s->percent = IsPercent(d.controls[s->control].unit[s->axis]);
    UpdateScopes(&d, IsClassic(*values));
    d.quiet = false;
    g_signal_connect_swapped(d.preview, "invalidated", G_CALLBACK(DrawPreview), &d);

    gtk_widget_show_all(dialog);
    const bool ok = gimp_dialog_run(GIMP_DIALOG(dialog)) == GTK_RESPONSE_OK;
    if (ok) *values = ReadControls(d);
    gtk_widget_destroy(dialog);
    for (UnitSwitch* s : switches) delete s;
    return ok;
}

// ------------------------------------------------------------------ run

void Run(const gchar*, gint nparams, const GimpParam* param, gint* nreturn_vals, GimpParam** return_vals) {
    static GimpParam result[2];
    static std::string message;
    *nreturn_vals = 1;
    *return_vals = result;
    result[0].type = GIMP_PDB_STATUS;
    result[0].data.d_status = GIMP_PDB_SUCCESS;
    auto fail = [&](GimpPDBStatusType status, const std::string& reason) {
        message = reason;
        result[0].data.d_status = status;
        result[1].type = GIMP_PDB_STRING;
        result[1].data.d_string = const_cast<gchar*>(message.c_str());
        *nreturn_vals = 2;
    };
    if (nparams < kFixedParams) return fail(GIMP_PDB_CALLING_ERROR, "plug-in-polarmosaic: too few arguments");
    gegl_init(nullptr, nullptr);
    const auto run_mode = static_cast<GimpRunMode>(param[0].data.d_int32);
    const gint32 image = param[1].data.d_image;
    const gint32 drawable = param[2].data.d_drawable;
    gchar* image_name = gimp_image_get_name(image);
    const std::string name = image_name ? image_name : "image";
    g_free(image_name);

    SettingValues values = LastValues();
    const std::vector<OptionEntry>& table = OptionTable();
    if (run_mode == GIMP_RUN_NONINTERACTIVE) {
        if (nparams != kFixedParams + static_cast<gint>(table.size())) {
            return fail(GIMP_PDB_CALLING_ERROR, "plug-in-polarmosaic takes " +
                                                    std::to_string(kFixedParams + table.size()) +
                                                    " arguments, not " + std::to_string(nparams));
        }
        for (size_t i = 0; i < table.size(); ++i)
            values[table[i].name] = ParamText(table[i], param[kFixedParams + i]);
    } else if (run_mode == GIMP_RUN_INTERACTIVE) {
        if (!RunDialog(drawable, &values)) return fail(GIMP_PDB_CANCEL, "cancelled");
    }
    if (!LayoutOf(drawable).format)
        return fail(GIMP_PDB_EXECUTION_ERROR, name + ": an indexed layer (RGB or grey only)");

    Picture picture;
    if (!ReadPicture(drawable, &picture)) return;  // the selection misses the layer: nothing to do
    gimp_progress_init("Polar Mosaic");
    std::string reason;
    PixelRunner runner;
    if (!RunEffect(values, picture, &runner, &picture.pixels, &reason)) {
        reason = name + ": " + reason;
        if (run_mode == GIMP_RUN_INTERACTIVE) g_message("%s", reason.c_str());
        return fail(GIMP_PDB_EXECUTION_ERROR, reason);
    }
    gimp_image_undo_group_start(image);
    GeglBuffer* shadow = gimp_drawable_get_shadow_buffer(drawable);
    const GeglRectangle rect = {picture.x, picture.y, picture.width, picture.height};
    gegl_buffer_set(shadow, &rect, 0, picture.layout.format, picture.pixels.data(), GEGL_AUTO_ROWSTRIDE);
    g_object_unref(shadow);  // flushes it
    gimp_drawable_merge_shadow(drawable, TRUE);
    gimp_drawable_free_shadow(drawable);
    gimp_drawable_update(drawable, picture.x, picture.y, picture.width, picture.height);
    gimp_image_undo_group_end(image);
    gimp_progress_update(1.0);
    if (run_mode != GIMP_RUN_NONINTERACTIVE) gimp_displays_flush();
    // Every successful run's settings are the last values (Filters > Repeat, WITH_LAST_VALS).
    const std::string stored = SerializeValues(values);
    gimp_set_data(kProcedure, stored.c_str(), static_cast<guint32>(stored.size() + 1));
}

}  // namespace
}  // namespace polarmosaic

namespace {
void QueryEntry() { polarmosaic::Query(); }
void RunEntry(const gchar* name, gint nparams, const GimpParam* param, gint* nreturn_vals,
              GimpParam** return_vals) {
    polarmosaic::Run(name, nparams, param, nreturn_vals, return_vals);
}
}  // namespace

const GimpPlugInInfo PLUG_IN_INFO = {nullptr, nullptr, QueryEntry, RunEntry};

MAIN()
