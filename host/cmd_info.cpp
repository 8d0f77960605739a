// quillet info IN: loads IN with the reader that its extension selects and prints one line
// of JSON about the graphic that was loaded.
#include <cstdio>

#include "host/commands.h"
#include "platform/bitmap.h"
#include "platform/picture.h"

namespace quillet::host {

namespace {

constexpr char kUsage[] = "quillet info IN";
constexpr char kHelp[] =
    "\n"
    "Loads the picture IN with the reader that its extension selects and prints one line:\n"
    "  {\"class\":\"TGIFGraphic\",\"width\":100,\"height\":50,\"bits\":8,\"palette\":256}\n"
    "class: the graphic class that loaded it; bits: bits per pixel of a bitmap (0 for a\n"
    "graphic that is not a bitmap: a JPEG, an icon, a metafile); palette: the number of\n"
    "palette entries (0 when there is none).\n"
    "\n"
    "Exit status: 0 done, 1 the picture did not load (the last line on stderr is\n"
    "'quillet: ' and the reason), 2 a usage error.\n";

}  // namespace

int InfoCommand(const Args& args)
{
    if (WantsHelp(args)) {
        std::printf("usage: %s\n%s", kUsage, kHelp);
        return 0;
    }
    if (args.size() != 1 || (args[0].size() >= 2 && args[0].compare(0, 2, "--") == 0))
        return UsageError(kUsage, args.empty() ? "info takes IN" : "info takes only IN");

    TPicture picture;
    picture.Load(args[0]);
    const TGraphic& graphic = *picture.Graphic();
    int bits = 0, palette = 0;
    if (graphic.InheritsFrom(TBitmap::Class)) {
        const auto& bitmap = static_cast<const TBitmap&>(graphic);
        bits = BitsPerPixel(bitmap.PixelFormat());
        if (bitmap.Palette()) palette = bitmap.Palette()->Count();
    }
    // Class names are identifiers: nothing in them needs escaping.
    std::printf("{\"class\":\"%s\",\"width\":%d,\"height\":%d,\"bits\":%d,\"palette\":%d}\n", graphic.ClassName(),
                graphic.Width(), graphic.Height(), bits, palette);
    return 0;
}

}  // namespace quillet::host
