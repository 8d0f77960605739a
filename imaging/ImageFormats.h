// The image file readers and the bindings of file extensions to them.
#pragma once

namespace quillet {

/// Adds the readers' 28 extension bindings to the picture's format list, in table order.
void RegisterImageFormats();
/// Removes the eleven reader classes from the format list again; rle and dib stay.
void UnregisterImageFormats();

}  // namespace quillet
