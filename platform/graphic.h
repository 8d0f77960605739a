// The graphic base class and the class identities that the picture's format list uses.
#pragma once

#include <memory>
#include <string>

namespace quillet {

class TBitmap;
class TGraphic;
class TStream;

/// A graphic class's identity: its name, its parent class and how to make one.
struct TGraphicClass {
    const char* Name;
    const TGraphicClass* Parent;
    std::unique_ptr<TGraphic> (*Create)();

    /// True for this class and every class derived from it.
    bool InheritsFrom(const TGraphicClass& ancestor) const
    {
        for (const TGraphicClass* c = this; c != nullptr; c = c->Parent)
            if (c == &ancestor) return true;
        return false;
    }
};

/// Defines a class's identity: QUILLET_GRAPHIC_CLASS(TGIFGraphic, &TBitmap::Class).
#define QUILLET_GRAPHIC_CLASS(Type, ParentClass)                                            \
    const TGraphicClass Type::Class = {#Type, ParentClass,                                  \
                                       []() -> std::unique_ptr<TGraphic> { return std::make_unique<Type>(); }}; \
    const TGraphicClass& Type::ClassType() const { return Class; }

/// A picture's content: a bitmap, a reader, an icon, a metafile or a JPEG image.
class TGraphic {
public:
    virtual ~TGraphic() = default;
    TGraphic() = default;
    TGraphic(const TGraphic&) = delete;
    TGraphic& operator=(const TGraphic&) = delete;

    virtual const TGraphicClass& ClassType() const = 0;
    const char* ClassName() const { return ClassType().Name; }
    bool InheritsFrom(const TGraphicClass& ancestor) const { return ClassType().InheritsFrom(ancestor); }

    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual bool Empty() const { return Width() == 0 || Height() == 0; }

    /// Loads one image from the stream's current position.
    virtual void ReadImage(TStream& stream) = 0;
    /// Saves the graphic to the stream in its own format.
    virtual void WriteImage(TStream& stream) = 0;
    /// Opens the file for shared reading and reads it with ReadImage.
    virtual void ReadImageFile(const std::string& fileName);
    /// Writes the graphic to the file; the file appears under its name only when complete.
    virtual void WriteImageFile(const std::string& fileName);

    /// Copies this graphic into a bitmap; raises "Cannot assign a %s to a %s" unless the
    /// class knows how.
    virtual void AssignTo(TBitmap& dest) const;
};

}  // namespace quillet
