// css_colours.h - the CSS colour names the tool takes for colours.
#ifndef POLARMOSAIC_TOOL_CSS_COLOURS_H
#define POLARMOSAIC_TOOL_CSS_COLOURS_H

#include <stdint.h>

#include <string>

namespace polarmosaic {

// The colour of a CSS colour name in lower case ("navy": 0x000080), or
// false when it is none.
bool FindCssColour(const std::string& name, uint32_t* rgb);

}  // namespace polarmosaic

#endif  // POLARMOSAIC_TOOL_CSS_COLOURS_H
