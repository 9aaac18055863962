// The vertical placement of one line of text in a grid cell, shared by the three grids.
#pragma once

namespace tessaline {

struct TextBand {
    int top;
    int bottom;
};

// The line's band keeps the cell's left and right; its top is (top + bottom - height) / 2 with
// integer division rounding toward zero, so an odd leftover pixel goes below the text.
constexpr TextBand CentredTextBand(int top, int bottom, int text_height) {
    const int band_top = (top + bottom - text_height) / 2;
    return {band_top, band_top + text_height};
}

}  // namespace tessaline
