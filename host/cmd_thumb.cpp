// quillet thumb IN OUT --size WxH, and IN... --out-dir DIR --size WxH: JPEG thumbnails as
// the upload component makes them (IN copied into a private temporary folder as an upload
// is, the reader picked by its extension, the picture turned into a bitmap, scaled with the
// box filter below 320 x 200, compressed at quality 90), without a page or a request. Many
// inputs are shared out to a few worker threads.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "host/commands.h"
#include "imaging/resample.h"
#include "platform/bitmap.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/jpeg.h"
#include "platform/picture.h"
#include "platform/stream.h"

namespace quillet::host {

namespace {

constexpr char kUsage[] =
    "quillet thumb IN OUT --size WxH [--fit]\n"
    "       quillet thumb IN... --out-dir DIR --size WxH [--fit] [--jobs N]";
constexpr char kHelp[] =
    "\n"
    "Makes JPEG thumbnails the way the upload component does: IN is copied into a private\n"
    "temporary folder as an upload is (its bytes and one zero byte), read from there by the\n"
    "reader that its extension selects, turned into a bitmap, scaled with the box filter\n"
    "and written as a baseline JPEG of quality 90, whatever OUT's extension.\n"
    "\n"
    "options:\n"
    "  --size WxH     the thumbnail's size; below 320 x 200 (at most 319x199)\n"
    "  --fit          keep IN's aspect ratio: the largest size within W x H\n"
    "  --out-dir DIR  thumbnails of every IN into DIR (made if missing), each named\n"
    "                 after its IN with the extension .jpg\n"
    "  --jobs N       worker threads for --out-dir (default: one per processor)\n"
    "\n"
    "With --out-dir, a line on a terminal's stderr shows the progress, stdout ends with\n"
    "'N done, M failed', and each failure is a line 'quillet: IN: reason' on stderr.\n"
    "\n"
    "Exit status: 0 every thumbnail made, 1 one or more failed (the last line on stderr\n"
    "is 'quillet: ' and the reason), 2 a usage error.\n";

// The upload component's bounds: 319 x 199 is the largest thumbnail.
constexpr int32_t kWidthBound = 320;
constexpr int32_t kHeightBound = 200;
constexpr int kMaxJobs = 64;

struct TThumbArgs {
    std::vector<std::string> Positional;
    std::optional<std::string> OutDir;
    int32_t Width = 0, Height = 0;
    bool Fit = false;
    int Jobs = 0;  // 0: one per processor
};

// Returns an empty text on success, else what is wrong.
std::string ParseArgs(const Args& args, TThumbArgs& parsed)
{
    bool sized = false;
    for (size_t i = 0; i < args.size(); ++i) {
        TArgument arg;
        if (std::string problem = ReadArgument(args, i, {"--size", "--out-dir", "--jobs"}, arg); !problem.empty())
            return problem;
        const std::string& name = arg.Name;
        const std::string& value = arg.Value;
        if (name.empty()) {
            parsed.Positional.push_back(value);
        } else if (name == "--size") {
            if (!ParseSize(value, parsed.Width, parsed.Height)) return "--size wants WxH, two positive integers";
            if (parsed.Width >= kWidthBound || parsed.Height >= kHeightBound)
                return "--size must stay below 320x200 (319x199 at most)";
            sized = true;
        } else if (name == "--out-dir") {
            if (value.empty()) return "--out-dir needs a folder";
            parsed.OutDir = value;
        } else if (name == "--jobs") {
            const bool digits = !value.empty() && value.size() <= 2 && value.find_first_not_of("0123456789") == std::string::npos;
            parsed.Jobs = digits ? std::stoi(value) : 0;
            if (parsed.Jobs < 1 || parsed.Jobs > kMaxJobs) return "--jobs wants a number from 1 to 64";
        } else if (name == "--fit" && !arg.HasEquals) {
            parsed.Fit = true;
        } else {
            return "unknown option '" + name + "'";
        }
    }
    if (!sized) return "thumb needs --size WxH";
    if (parsed.OutDir) {
        if (parsed.Positional.empty()) return "thumb --out-dir takes one IN or more";
    } else {
        if (parsed.Positional.size() != 2) return "thumb takes IN and OUT, or IN... with --out-dir";
        if (parsed.Jobs != 0) return "--jobs goes with --out-dir";
    }
    return {};
}

// Within width x height with the source's aspect ratio, each side at least 1. An empty
// source keeps the size asked for (the resampler refuses it).
std::pair<int32_t, int32_t> FitSize(int32_t sourceWidth, int32_t sourceHeight, int32_t width, int32_t height)
{
    if (sourceWidth <= 0 || sourceHeight <= 0) return {width, height};
    const int64_t w = sourceWidth, h = sourceHeight;
    if (w * height > h * width)
        return {width, int32_t(std::max<int64_t>(1, (h * width + w / 2) / w))};
    return {int32_t(std::max<int64_t>(1, (w * height + h / 2) / h)), height};
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The picture loads from the file an upload of IN would give: in a folder of its own
// under the temporary folder, named after IN, holding IN's bytes and then one zero byte
// (none after an empty file). A reader that looks at the end of its file, or beside it,
// thus sees what it sees for an upload.
void LoadAsUpload(TPicture& picture, const std::string& in)
{
    const TLoadFolder folder(TempFolder());
    const std::string copy = folder.Path() + "/" + UploadFileName(BaseName(in));
    {
        TFileStream file(copy, TFileStream::fmCreate);
        if (file.CopyFromFile(in) > 0) {
            const uint8_t zero = 0;
            file.WriteBuffer(&zero, 1);
        }
    }
    picture.Load(copy);
}

void MakeThumbnail(const std::string& in, const std::string& out, const TThumbArgs& a)
{
    TPicture picture;
    LoadAsUpload(picture, in);
    TBitmap& source = picture.ConvertToBitmap();
    const auto [width, height] = a.Fit ? FitSize(source.Width(), source.Height(), a.Width, a.Height)
                                       : std::make_pair(a.Width, a.Height);
    source.SetPixelFormat(TPixelFormat::pf24bit);
    TBitmap result;
    ResampleBitmap(width, height, fkBox, 0.0f, source, result);
    TJPEGImage jpeg;
    jpeg.CopyFrom(result);
    jpeg.WriteImageFile(out);
}

// One input of a run over many: where its thumbnail goes, and how it went.
struct TJob {
    std::string In;
    std::string Out;
    std::string Failure;  // empty while it has not failed
};

class TBatch {
public:
    TBatch(std::vector<TJob>& jobs, const TThumbArgs& args) : FJobs(jobs), FArgs(args), FTerminal(::isatty(2) == 1) {}

    void Run(int threads)
    {
        std::vector<std::thread> workers;
        for (int i = 1; i < threads; ++i) workers.emplace_back([this] { Work(); });
        Work();
        for (std::thread& t : workers) t.join();
        if (FTerminal) std::fputs("\r\033[K", stderr);  // the progress line gives way to the summary
    }

private:
    void Work()
    {
        for (size_t i = FNext++; i < FJobs.size(); i = FNext++) {
            TJob& job = FJobs[i];
            if (job.Failure.empty()) {
                try {
                    MakeThumbnail(job.In, job.Out, FArgs);
                } catch (const std::exception& e) {
                    job.Failure = e.what();
                }
            }
            Finished(!job.Failure.empty());
        }
    }

    void Finished(bool failed)
    {
        const std::lock_guard<std::mutex> lock(FMutex);
        ++(failed ? FFailed : FDone);
        if (FTerminal)
            std::fprintf(stderr, "\r\033[K[%zu/%zu] %zu done, %zu failed", FDone + FFailed, FJobs.size(), FDone, FFailed);
        std::fflush(stderr);
    }

    std::vector<TJob>& FJobs;
    const TThumbArgs& FArgs;
    const bool FTerminal;
    std::atomic<size_t> FNext{0};
    std::mutex FMutex;
    size_t FDone = 0, FFailed = 0;
};

int RunBatch(const TThumbArgs& a)
{
    const std::string dir = *a.OutDir;
    if (!ForceDirectories(dir)) return Fail("Cannot create folder " + dir);
    // Two inputs of one base name would write one thumbnail: the later ones fail rather
    // than replace the earlier one's.
    std::vector<TJob> jobs;
    for (const std::string& in : a.Positional) {
        TJob job{in, dir + "/" + ChangeFileExt(BaseName(in), ".jpg"), {}};
        for (const TJob& earlier : jobs)
            if (earlier.Out == job.Out) job.Failure = "its thumbnail " + job.Out + " is also that of " + earlier.In;
        jobs.push_back(std::move(job));
    }
    const int processors = int(std::max(1u, std::thread::hardware_concurrency()));
    const int threads = int(std::min<size_t>(size_t(a.Jobs > 0 ? a.Jobs : processors), jobs.size()));
    TBatch(jobs, a).Run(threads);

    size_t failed = 0;
    for (const TJob& job : jobs) failed += job.Failure.empty() ? 0 : 1;
    std::printf("%zu done, %zu failed\n", jobs.size() - failed, failed);
    std::fflush(stdout);
    for (const TJob& job : jobs)
        if (!job.Failure.empty()) std::fprintf(stderr, "quillet: %s: %s\n", job.In.c_str(), job.Failure.c_str());
    return failed == 0 ? 0 : 1;
}

}  // namespace

int ThumbCommand(const Args& args)
{
    if (WantsHelp(args)) {
        std::printf("usage: %s\n%s", kUsage, kHelp);
        return 0;
    }
    TThumbArgs a;
    if (const std::string problem = ParseArgs(args, a); !problem.empty()) return UsageError(kUsage, problem);
    if (a.OutDir) return RunBatch(a);
    MakeThumbnail(a.Positional[0], a.Positional[1], a);
    return 0;
}

}  // namespace quillet::host
