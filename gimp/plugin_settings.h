// plugin_settings.h - the GIMP plug-in's settings and pixels, without GIMP.
//
// The plug-in keeps one text value per entry of the host's option table
// (option_table.h), written as the tool takes it ("28", "4%", "48,48,48",
// "30%,40%"). Names, defaults and limits all come from the table; this file
// only maps each entry to the host's UserSettings and runs the effect on the
// interleaved 8-bit pixels GIMP hands over (grey, grey+alpha, RGB, RGBA).
#ifndef POLARMOSAIC_GIMP_PLUGIN_SETTINGS_H
#define POLARMOSAIC_GIMP_PLUGIN_SETTINGS_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "mosaic_host.h"
#include "option_table.h"

namespace polarmosaic {

// Option name -> value text. A missing or empty value is the geometry's
// default.
using SettingValues = std::map<std::string, std::string>;

// The entry's default in the fitted or the classic geometry.
const std::string& DefaultText(const OptionEntry& entry, bool classic);

// Every option of the table at its default.
SettingValues DefaultValues(bool classic);

// True when values asks for the classic geometry.
bool IsClassic(const SettingValues& values);

// Checks every value against its table entry (and the host's own rules for
// lengths and angles) and fills *settings. On failure returns false with
// "option NAME: 'TEXT' is not ..." in *reason.
bool ValuesToSettings(const SettingValues& values, UserSettings* settings, std::string* reason);

// "name=value" lines, for GIMP's last-values store; and back (lines for
// names the table no longer has are skipped).
std::string SerializeValues(const SettingValues& values);
SettingValues ParseSerializedValues(const std::string& text);

// Luma of an sRGB colour (Rec. 709 weights on the 8-bit values, rounded):
// a grey layer's line colour.
int GreyOfColour(const int rgb[3]);

// Runs the effect in place on width x height interleaved pixels of
// channels 1 (grey), 2 (grey+alpha), 3 (RGB) or 4 (RGBA), rows stride bytes
// apart. Grey runs as equal R, G and B with the line colour made grey, so
// the three stay equal. Alpha is kept; the fitted geometry weights tile
// averages by it. Keeps its buffers between calls (the dialog's preview).
class PixelRunner {
public:
    bool Run(uint8_t* pixels, int width, int height, ptrdiff_t stride, int channels, MosaicOptions options,
             std::string* reason);

private:
    MosaicHost host_;
    std::vector<uint8_t> colour_;
};

}  // namespace polarmosaic

#endif  // POLARMOSAIC_GIMP_PLUGIN_SETTINGS_H
