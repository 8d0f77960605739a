// quillet convert IN OUT [--resize WxH] [--filter F] [--radius R]: loads IN as an upload is
// loaded (reader chosen by IN's extension, the graphic copied into a bitmap) and writes
// OUT by OUT's extension.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "host/commands.h"
#include "imaging/readers/targa.h"
#include "imaging/resample.h"
#include "platform/bitmap.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/jpeg.h"
#include "platform/picture.h"

namespace quillet::host {

namespace {

constexpr char kUsage[] =
    "quillet convert IN OUT [--resize WxH] "
    "[--filter box|triangle|hermite|bell|bspline|lanczos3|mitchell] [--radius R]";
constexpr char kHelp[] =
    "\n"
    "Loads the picture IN with the reader that its extension selects, turns it into a bitmap\n"
    "the way an upload is loaded (a JPEG becomes its decoded pixels; an icon or a metafile\n"
    "cannot be turned into one), and writes OUT in the format of OUT's extension:\n"
    "  .bmp         a Windows bitmap in the pixel format and palette as loaded\n"
    "  .jpg, .jpeg  a baseline JPEG of quality 90\n"
    "  .tga         a Targa file\n"
    "\n"
    "options:\n"
    "  --resize WxH   scale to W x H pixels (24 bits per pixel) before writing\n"
    "  --filter F     the resampling kernel (default box)\n"
    "  --radius R     the kernel's radius; 0, the default, takes the kernel's own\n"
    "\n"
    "Exit status: 0 done, 1 the conversion failed (the last line on stderr is\n"
    "'quillet: ' and the reason), 2 a usage error.\n";
constexpr char kUnknownOutput[] = "Unknown output file extension (.%s): write .bmp, .jpg, .jpeg or .tga";

const struct {
    const char* Name;
    TFilterKind Kind;
} kFilters[] = {
    {"box", fkBox},   {"triangle", fkTriangle}, {"hermite", fkHermite}, {"bell", fkBell},
    {"bspline", fkBSpline}, {"lanczos3", fkLanczos3}, {"mitchell", fkMitchell},
};

enum class TOutput { Bitmap, Jpeg, Targa };

std::optional<TOutput> OutputKind(const std::string& extension)
{
    if (extension == "bmp") return TOutput::Bitmap;
    if (extension == "jpg" || extension == "jpeg") return TOutput::Jpeg;
    if (extension == "tga") return TOutput::Targa;
    return std::nullopt;
}

bool ParseRadius(const std::string& text, float& radius)
{
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno != 0 || !std::isfinite(value) || value < 0 || value > 1e6) return false;
    radius = float(value);
    return true;
}

struct TConvertArgs {
    std::string In, Out;
    bool Resize = false;
    int32_t Width = 0, Height = 0;
    TFilterKind Filter = fkBox;
    float Radius = 0.0f;
};

// Returns an empty text on success, else what is wrong.
std::string ParseArgs(const Args& args, TConvertArgs& parsed)
{
    std::vector<std::string> positional;
    bool filterGiven = false, radiusGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        TArgument arg;
        if (std::string problem = ReadArgument(args, i, {"--resize", "--filter", "--radius"}, arg); !problem.empty())
            return problem;
        const std::string& name = arg.Name;
        const std::string& value = arg.Value;
        if (name.empty()) {
            positional.push_back(value);
        } else if (name == "--resize") {
            if (!ParseSize(value, parsed.Width, parsed.Height)) return "--resize wants WxH, two positive integers";
            parsed.Resize = true;
        } else if (name == "--filter") {
            filterGiven = true;
            bool known = false;
            for (const auto& f : kFilters)
                if (value == f.Name) {
                    parsed.Filter = f.Kind;
                    known = true;
                }
            if (!known) return "unknown filter '" + value + "'";
        } else if (name == "--radius") {
            radiusGiven = true;
            if (!ParseRadius(value, parsed.Radius)) return "--radius wants a number of 0 or more";
        } else {
            return "unknown option '" + name + "'";
        }
    }
    if (positional.size() != 2) return "convert takes IN and OUT";
    if ((filterGiven || radiusGiven) && !parsed.Resize) return "--filter and --radius go with --resize";
    parsed.In = positional[0];
    parsed.Out = positional[1];
    return {};
}

}  // namespace

// A side: decimal digits only, 1 to 2^31 - 1.
static bool ParseSide(const std::string& text, int32_t& side)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const long long value = std::stoll(text);
    if (value < 1 || value > INT32_MAX) return false;
    side = int32_t(value);
    return true;
}

bool ParseSize(const std::string& text, int32_t& width, int32_t& height)
{
    const size_t x = text.find_first_of("xX");
    return x != std::string::npos && ParseSide(text.substr(0, x), width) && ParseSide(text.substr(x + 1), height);
}

int ConvertCommand(const Args& args)
{
    if (WantsHelp(args)) {
        std::printf("usage: %s\n%s", kUsage, kHelp);
        return 0;
    }
    TConvertArgs a;
    if (const std::string problem = ParseArgs(args, a); !problem.empty()) return UsageError(kUsage, problem);
    const std::string outExtension = TPicture::FileExtension(a.Out);
    const std::optional<TOutput> output = OutputKind(outExtension);
    if (!output) return Fail(Fmt(kUnknownOutput, outExtension.c_str()));

    // As an upload is loaded: the held graphic is copied into a bitmap, which then takes
    // its place unless it is a bitmap (or a reader) itself.
    TPicture picture;
    picture.Load(a.In);
    {
        TBitmap copy;
        copy.CopyFrom(*picture.Graphic());
        picture.AsBitmap().CopyFrom(copy);
    }
    TBitmap* result = &picture.AsBitmap();
    TBitmap resized;
    if (a.Resize) {
        ResampleBitmap(a.Width, a.Height, a.Filter, a.Radius, *result, resized);
        result = &resized;
    }

    switch (*output) {
    case TOutput::Bitmap: {
        // The bitmap writer itself, also for a reader class that writes its own format.
        TAtomicFile file(a.Out);
        result->TBitmap::WriteImage(file.Stream());
        file.Commit();
        break;
    }
    case TOutput::Jpeg: {
        TJPEGImage jpeg;
        jpeg.CopyFrom(*result);
        jpeg.WriteImageFile(a.Out);
        break;
    }
    case TOutput::Targa: {
        TTargaGraphic targa;
        targa.CopyFrom(*result);
        targa.WriteImageFile(a.Out);
        break;
    }
    }
    return 0;
}

}  // namespace quillet::host
