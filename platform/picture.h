// The picture: holds one graphic, loads files by extension through the format list and
// saves through the held graphic's writer.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/graphic.h"

namespace quillet {

class TBitmap;

/// One binding of the format list.
struct TFileFormat {
    std::string Extension;  ///< lower case, without the dot
    std::string Description;
    const TGraphicClass* GraphicClass;
};

class TPicture {
public:
    TPicture() = default;
    ~TPicture();
    TPicture(const TPicture&) = delete;
    TPicture& operator=(const TPicture&) = delete;

    /// Loads the file with the graphic class bound to its extension; the new graphic is
    /// kept only when it loaded. Raises "Unknown picture file extension (.%s)".
    void Load(const std::string& fileName);
    /// Writes the held graphic to the file; nothing when none is held.
    void Save(const std::string& fileName);
    /// The held graphic when it is a bitmap; otherwise it is replaced by a new empty one.
    TBitmap& AsBitmap();
    /// The held graphic turned into a bitmap the way an upload is loaded: a bitmap (or a
    /// reader) stays as it is; another graphic is replaced by a bitmap copied from it (a
    /// JPEG image by its decoded pixels); an icon or a metafile raises "Cannot assign a %s
    /// to a %s" and stays.
    TBitmap& ConvertToBitmap();

    TGraphic* Graphic() const { return FGraphic.get(); }
    void SetGraphic(std::unique_ptr<TGraphic> graphic) { FGraphic = std::move(graphic); }
    int Width() const;
    int Height() const;

    /// The extension of a file name: after the last '.' that follows the last '/', '\'
    /// or ':', without the dot, lower-cased; empty when there is none.
    static std::string FileExtension(const std::string& fileName);
    /// Adds a binding; lookups find the newest binding of an extension first.
    static void RegisterFileFormat(const std::string& extension, const std::string& description,
                                   const TGraphicClass& graphicClass);
    /// Removes every binding of the class and of classes derived from it.
    static void UnregisterGraphicClass(const TGraphicClass& graphicClass);
    /// The class bound to the file name's extension, or null.
    static const TGraphicClass* FindGraphicClass(const std::string& fileName);
    /// The bindings, oldest first.
    static std::vector<TFileFormat> FileFormats();

private:
    std::unique_ptr<TGraphic> FGraphic;
};

}  // namespace quillet
