// The image pipeline members: LoadImage, SetSize, SaveImage and the FilePath setter.
// These bodies hold the places of the pipeline until it lands: the setter keeps the text,
// the three methods convert their arguments and answer False.
#include "component/QuilletUnit.h"

namespace quillet {

HRESULT TQuillet::put_FilePath(VARIANT Value)
{
    return Guard(nullptr, [&] { FolderPath = ArgText(Value); });
}

HRESULT TQuillet::LoadImage(VARIANT TagName, VARIANT* Value)
{
    return Guard(Value, [&] {
        ArgText(TagName);
        Resized = false;
        SetBool(Value, false);
    });
}

HRESULT TQuillet::SetSize(VARIANT Width, VARIANT Height, VARIANT* Value)
{
    return Guard(Value, [&] {
        ArgInteger(Width);
        ArgInteger(Height);
        Resized = false;
        SetBool(Value, false);
    });
}

HRESULT TQuillet::SaveImage(VARIANT FileName, VARIANT* Value)
{
    return Guard(Value, [&] {
        ArgText(FileName);
        SetBool(Value, false);
    });
}

}  // namespace quillet
