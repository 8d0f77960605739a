// The page engine: one Duktape heap per page run, with the page's objects, a memory cap, a
// time limit, and automation objects as Proxy values whose member reads, calls and
// assignments become property gets, method calls and property puts.
#include "host/script.h"

#include <dirent.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <random>

#include <duktape.h>

#include "host/page.h"
#include "host/utf.h"

namespace quillet::host {

namespace {

constexpr char kRuntimeSource[] = "JScript runtime";
constexpr char kCompileSource[] = "JScript compilation";
constexpr char kPageSource[] = "Page";
constexpr char kTextFunction[] = "__quillet_text";
constexpr char kWriteFunction[] = "__quillet_write";

// Hidden keys (a leading 0xFF byte, which no script string can hold).
constexpr char kObjectKey[] = "\xFF" "quilletObject";
constexpr char kIdKey[] = "\xFF" "quilletId";
constexpr char kNameKey[] = "\xFF" "quilletName";
constexpr char kMethodPrefix[] = "\xFF" "quilletMethod:";
constexpr char kHandlerKey[] = "\xFF" "quilletHandler";

constexpr size_t kMaxPageFile = size_t(16) << 20;
constexpr size_t kMaxListedFiles = 1000;

using Clock = std::chrono::steady_clock;

// The state of one page run; the heap's user data.
struct TEngine {
    TEngine(TPageRequest& request, TPageResponse& response, IObjectProvider& provider, const TPageOptions& options)
        : Request(request), Response(response), Options(options),
          Objects(provider, std::make_shared<TScriptingContext>(request)),
          Deadline(Clock::now() + std::chrono::seconds(std::max(1, options.TimeoutSeconds)))
    {
    }

    TPageRequest& Request;
    TPageResponse& Response;
    const TPageOptions& Options;
    TPageObjects Objects;
    std::vector<TAutoObjectRef> Wrapped;  // the objects script values refer to, by index
    const TPageProgram* Program = nullptr;
    Clock::time_point Deadline;
    size_t MemoryUsed = 0;
    int LastThrowLine = 0;  // program line of the latest throw
    bool Compiled = false;
    bool Ended = false;     // Response.End or Redirect: the page stops, successfully
    bool TimedOut = false;
    bool MemoryRefused = false;  // an allocation was refused for the page's memory limit
};

// ---- memory, time and randomness for the engine ----

constexpr size_t kHeader = 16;  // keeps the engine's blocks 16-byte aligned

void* Allocate(void* udata, duk_size_t size)
{
    TEngine* engine = static_cast<TEngine*>(udata);
    if (size > engine->Options.MemoryLimit - std::min(engine->MemoryUsed, engine->Options.MemoryLimit)) {
        engine->MemoryRefused = true;
        return nullptr;
    }
    char* block = static_cast<char*>(std::malloc(size + kHeader));
    if (block == nullptr) return nullptr;
    std::memcpy(block, &size, sizeof size);
    engine->MemoryUsed += size;
    return block + kHeader;
}

void Release(void* udata, void* ptr)
{
    if (ptr == nullptr) return;
    char* block = static_cast<char*>(ptr) - kHeader;
    size_t size;
    std::memcpy(&size, block, sizeof size);
    static_cast<TEngine*>(udata)->MemoryUsed -= size;
    std::free(block);
}

void* Reallocate(void* udata, void* ptr, duk_size_t size)
{
    if (ptr == nullptr) return Allocate(udata, size);
    if (size == 0) {
        Release(udata, ptr);
        return nullptr;
    }
    TEngine* engine = static_cast<TEngine*>(udata);
    char* block = static_cast<char*>(ptr) - kHeader;
    size_t old;
    std::memcpy(&old, block, sizeof old);
    if (size > old && size - old > engine->Options.MemoryLimit - std::min(engine->MemoryUsed, engine->Options.MemoryLimit)) {
        engine->MemoryRefused = true;
        return nullptr;
    }
    char* grown = static_cast<char*>(std::realloc(block, size + kHeader));
    if (grown == nullptr) return nullptr;
    std::memcpy(grown, &size, sizeof size);
    engine->MemoryUsed = engine->MemoryUsed - old + size;
    return grown + kHeader;
}

void Fatal(void*, const char* message)
{
    // Only reached for an error outside every protected call, which the host never makes.
    std::fprintf(stderr, "quillet: script engine failure: %s\n", message ? message : "");
    std::abort();
}

TEngine& EngineOf(duk_context* ctx)
{
    duk_memory_functions functions;
    duk_get_memory_functions(ctx, &functions);
    return *static_cast<TEngine*>(functions.udata);
}

// ---- errors ----

// The program line of the nearest script code on the call stack (natives have none).
int CallerLine(duk_context* ctx, int from)
{
    for (int level = from; level >= from - 16; --level) {
        duk_inspect_callstack_entry(ctx, level);
        if (duk_is_undefined(ctx, -1)) {
            duk_pop(ctx);
            return 0;
        }
        duk_get_prop_string(ctx, -1, "lineNumber");
        const int line = duk_get_int(ctx, -1);
        duk_pop_2(ctx);
        if (line > 0) return line;
    }
    return 0;
}

void PushScriptError(duk_context* ctx, int32_t hresult, const std::string& source, const std::string& description)
{
    duk_push_error_object(ctx, DUK_ERR_ERROR, "%s", description.c_str());
    duk_push_int(ctx, hresult);
    duk_put_prop_string(ctx, -2, "number");
    duk_push_lstring(ctx, description.data(), description.size());
    duk_put_prop_string(ctx, -2, "description");
    duk_push_lstring(ctx, source.data(), source.size());
    duk_put_prop_string(ctx, -2, "source");
}

// Every native runs its body here, so that a C++ failure becomes a script error and the
// engine's own errors pass through untouched.
template <duk_ret_t (*Body)(duk_context*, TEngine&)>
duk_ret_t Native(duk_context* ctx)
{
    TEngine& engine = EngineOf(ctx);
    try {
        return Body(ctx, engine);
    } catch (const EAutoError& e) {
        PushScriptError(ctx, e.HResult(), e.Source(), e.Message());
    } catch (const std::bad_alloc&) {
        PushScriptError(ctx, kEOutOfMemory, kPageSource, "Out of memory");
    } catch (const Exception& e) {
        PushScriptError(ctx, kEFail, kPageSource, e.Message());
    }
    return duk_throw(ctx);
}

// After Response.End a page does nothing more that anyone could see.
void StopIfEnded(TEngine& engine)
{
    if (engine.Ended) throw EAutoError(kEFail, kPageSource, "The response has ended");
}

// Records where the latest throw happened: for a thrown value that is not an Error object
// that is the only place the line can come from.
duk_ret_t NoteThrow(duk_context* ctx, TEngine& engine)
{
    engine.LastThrowLine = CallerLine(ctx, -2);
    return 1;  // the value, unchanged
}

// ---- values both ways ----

std::string ToText(duk_context* ctx, duk_idx_t index)
{
    size_t length = 0;
    const char* text = duk_to_lstring(ctx, index, &length);
    return std::string(text, length);
}

void PushValue(duk_context* ctx, TEngine& engine, const TAutoValue& value);

TAutoValue ToValue(duk_context* ctx, TEngine& engine, duk_idx_t index)
{
    switch (duk_get_type(ctx, index)) {
    case DUK_TYPE_NONE:
    case DUK_TYPE_UNDEFINED:
        return std::monostate();
    case DUK_TYPE_NULL:
        return TAutoNull();
    case DUK_TYPE_BOOLEAN:
        return bool(duk_get_boolean(ctx, index));
    case DUK_TYPE_NUMBER: {
        const double d = duk_get_number(ctx, index);
        if (d >= -2147483648.0 && d <= 2147483647.0 && d == std::floor(d) && !(d == 0 && std::signbit(d)))
            return int32_t(d);
        return d;
    }
    case DUK_TYPE_STRING:
        return ToText(ctx, index);
    default:
        break;
    }
    if (duk_is_buffer_data(ctx, index)) {
        duk_size_t size = 0;
        const uint8_t* data = static_cast<const uint8_t*>(duk_get_buffer_data(ctx, index, &size));
        return data == nullptr ? TAutoBytes() : TAutoBytes(data, data + size);
    }
    if (duk_is_object(ctx, index) && !duk_is_function(ctx, index)) {
        duk_get_prop_string(ctx, index, kObjectKey);
        const bool isWrapped = duk_is_number(ctx, -1);
        const double slot = duk_get_number(ctx, -1);
        duk_pop(ctx);
        if (isWrapped && slot >= 0 && slot < double(engine.Wrapped.size())) return engine.Wrapped[size_t(slot)];
    }
    throw EAutoError(kDispTypeMismatch, kPageSource, "Only text, numbers, booleans, byte arrays and automation "
                                                     "objects can be handed to an automation object");
}

duk_ret_t WrapperGet(duk_context* ctx, TEngine& engine);
duk_ret_t WrapperSet(duk_context* ctx, TEngine& engine);

void PushWrapper(duk_context* ctx, TEngine& engine, const TAutoObjectRef& object)
{
    engine.Wrapped.push_back(object);
    duk_push_object(ctx);  // target
    duk_push_number(ctx, double(engine.Wrapped.size() - 1));
    duk_put_prop_string(ctx, -2, kObjectKey);
    duk_push_global_stash(ctx);
    duk_get_prop_string(ctx, -1, kHandlerKey);
    duk_remove(ctx, -2);
    duk_push_proxy(ctx, 0);
}

void PushValue(duk_context* ctx, TEngine& engine, const TAutoValue& value)
{
    struct Visitor {
        duk_context* ctx;
        TEngine& engine;
        void operator()(std::monostate) const { duk_push_undefined(ctx); }
        void operator()(TAutoNull) const { duk_push_null(ctx); }
        void operator()(bool b) const { duk_push_boolean(ctx, b); }
        void operator()(int32_t i) const { duk_push_int(ctx, i); }
        void operator()(double d) const { duk_push_number(ctx, d); }
        void operator()(const std::string& s) const { duk_push_lstring(ctx, s.data(), s.size()); }
        void operator()(const TAutoBytes& bytes) const
        {
            void* data = duk_push_fixed_buffer(ctx, bytes.size());
            if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
            duk_push_buffer_object(ctx, -1, 0, bytes.size(), DUK_BUFOBJ_UINT8ARRAY);
            duk_remove(ctx, -2);
        }
        void operator()(const TAutoObjectRef& object) const
        {
            if (object)
                PushWrapper(ctx, engine, object);
            else
                duk_push_null(ctx);
        }
    };
    std::visit(Visitor{ctx, engine}, value);
}

// ---- automation objects as script values ----

IAutoObject& WrappedAt(TEngine& engine, duk_context* ctx, duk_idx_t holder, double* slotOut = nullptr)
{
    duk_get_prop_string(ctx, holder, kObjectKey);
    const double slot = duk_get_number_default(ctx, -1, -1);
    duk_pop(ctx);
    if (!(slot >= 0 && slot < double(engine.Wrapped.size())))
        throw EAutoError(kEUnexpected, kPageSource, "Not an automation object");
    if (slotOut != nullptr) *slotOut = slot;
    return *engine.Wrapped[size_t(slot)];
}

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return s;
}

[[noreturn]] void NoSuchMember(const std::string& name)
{
    throw EAutoError(kDispUnknownName, kPageSource, "Object doesn't support this property or method: '" + name + "'");
}

bool MeansCallable(int32_t hresult)
{
    return hresult == kDispMemberNotFound || hresult == kDispBadParamCount || hresult == kDispParamNotOptional;
}

duk_ret_t MethodCall(duk_context* ctx, TEngine& engine)
{
    StopIfEnded(engine);
    const duk_idx_t count = duk_get_top(ctx);
    std::vector<TAutoValue> args;
    args.reserve(size_t(count));
    for (duk_idx_t i = 0; i < count; ++i) args.push_back(ToValue(ctx, engine, i));
    duk_push_current_function(ctx);
    const duk_idx_t self = duk_get_top_index(ctx);
    IAutoObject& object = WrappedAt(engine, ctx, self);
    duk_get_prop_string(ctx, self, kIdKey);
    const int32_t id = duk_get_int(ctx, -1);
    duk_pop_2(ctx);
    PushValue(ctx, engine, object.Invoke(id, TInvokeKind::ikMethod, args));
    return 1;
}

// get(target, key, receiver): a property get, or a function for a member that is a method.
duk_ret_t WrapperGet(duk_context* ctx, TEngine& engine)
{
    if (!duk_is_string(ctx, 1) || duk_is_symbol(ctx, 1)) {
        duk_dup(ctx, 1);
        duk_get_prop(ctx, 0);
        return 1;
    }
    StopIfEnded(engine);
    const std::string name = ToText(ctx, 1);
    const std::string cacheKey = kMethodPrefix + Lower(name);
    if (duk_get_prop_lstring(ctx, 0, cacheKey.data(), cacheKey.size())) return 1;
    duk_pop(ctx);

    double slot = 0;
    IAutoObject& object = WrappedAt(engine, ctx, 0, &slot);
    const std::optional<int32_t> id = object.FindMember(name);
    if (!id) {
        // What every object has (toString, valueOf...) still works.
        duk_dup(ctx, 1);
        if (duk_get_prop(ctx, 0)) return 1;
        NoSuchMember(name);
    }
    // A member that refuses a property get without arguments is taken as a method.
    try {
        std::vector<TAutoValue> none;
        TAutoValue value = object.Invoke(*id, TInvokeKind::ikGet, none);
        PushValue(ctx, engine, value);
        return 1;
    } catch (const EAutoError& e) {
        if (!MeansCallable(e.HResult())) throw;
    }
    duk_push_c_function(ctx, Native<MethodCall>, DUK_VARARGS);
    duk_push_number(ctx, slot);
    duk_put_prop_string(ctx, -2, kObjectKey);
    duk_push_int(ctx, *id);
    duk_put_prop_string(ctx, -2, kIdKey);
    duk_push_lstring(ctx, name.data(), name.size());
    duk_put_prop_string(ctx, -2, kNameKey);
    duk_dup_top(ctx);
    duk_put_prop_lstring(ctx, 0, cacheKey.data(), cacheKey.size());
    return 1;
}

// set(target, key, value, receiver): a property put.
duk_ret_t WrapperSet(duk_context* ctx, TEngine& engine)
{
    if (!duk_is_string(ctx, 1) || duk_is_symbol(ctx, 1)) {
        duk_dup(ctx, 1);
        duk_dup(ctx, 2);
        duk_put_prop(ctx, 0);
        duk_push_true(ctx);
        return 1;
    }
    StopIfEnded(engine);
    const std::string name = ToText(ctx, 1);
    IAutoObject& object = WrappedAt(engine, ctx, 0);
    const std::optional<int32_t> id = object.FindMember(name);
    if (!id) NoSuchMember(name);
    std::vector<TAutoValue> args{ToValue(ctx, engine, 2)};
    object.Invoke(*id, TInvokeKind::ikPut, args);
    duk_push_true(ctx);
    return 1;
}

// ---- Response ----

void Append(TEngine& engine, const char* data, size_t size)
{
    if (size > engine.Options.OutputLimit - std::min(engine.Response.Body.size(), engine.Options.OutputLimit))
        throw EAutoError(kEOutOfMemory, kPageSource, "The response is larger than the page host allows");
    engine.Response.Body.append(data, size);
}

duk_ret_t PageText(duk_context* ctx, TEngine& engine)
{
    StopIfEnded(engine);
    const duk_int_t index = duk_get_int(ctx, 0);
    if (engine.Program == nullptr || index < 0 || size_t(index) >= engine.Program->Texts.size()) return 0;
    const std::string& text = engine.Program->Texts[size_t(index)];
    Append(engine, text.data(), text.size());
    return 0;
}

duk_ret_t ResponseWrite(duk_context* ctx, TEngine& engine)
{
    StopIfEnded(engine);
    if (duk_is_null_or_undefined(ctx, 0)) return 0;
    if (duk_is_buffer_data(ctx, 0)) {
        duk_size_t size = 0;
        const char* data = static_cast<const char*>(duk_get_buffer_data(ctx, 0, &size));
        if (data != nullptr) Append(engine, data, size);
        return 0;
    }
    size_t length = 0;
    const char* text = duk_to_lstring(ctx, 0, &length);
    if (std::memchr(text, 0xED, length) == nullptr) {
        Append(engine, text, length);
    } else {
        const std::string utf8 = ScriptTextToUtf8(text, length);
        Append(engine, utf8.data(), utf8.size());
    }
    return 0;
}

// Header text may not hold line breaks or other control bytes (no header injection).
void CheckHeaderText(const std::string& text, const char* what)
{
    for (unsigned char c : text)
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            throw EAutoError(kEFail, kPageSource, std::string(what) + " holds a control character");
}

duk_ret_t ContentTypeGet(duk_context* ctx, TEngine& engine)
{
    duk_push_lstring(ctx, engine.Response.ContentType.data(), engine.Response.ContentType.size());
    return 1;
}

duk_ret_t ContentTypeSet(duk_context* ctx, TEngine& engine)
{
    std::string value = ToText(ctx, 0);
    CheckHeaderText(value, "The content type");
    engine.Response.ContentType = std::move(value);
    return 0;
}

duk_ret_t StatusGet(duk_context* ctx, TEngine& engine)
{
    duk_push_lstring(ctx, engine.Response.StatusLine.data(), engine.Response.StatusLine.size());
    return 1;
}

duk_ret_t StatusSet(duk_context* ctx, TEngine& engine)
{
    const std::string value = ToText(ctx, 0);
    CheckHeaderText(value, "The status");
    const bool digits = value.size() >= 3 && std::all_of(value.begin(), value.begin() + 3, [](char c) {
                            return c >= '0' && c <= '9';
                        });
    if (!digits || value[0] == '0' || (value.size() > 3 && value[3] != ' '))
        throw EAutoError(kEFail, kPageSource, "A status is three digits and a reason, as \"404 Not Found\"");
    engine.Response.Status = std::stoi(value.substr(0, 3));
    engine.Response.StatusLine = value;
    return 0;
}

void EndPage(duk_context* ctx, TEngine& engine)
{
    engine.Ended = true;
    PushScriptError(ctx, kSOk, kPageSource, "The response has ended");
    duk_throw(ctx);
}

duk_ret_t ResponseEnd(duk_context* ctx, TEngine& engine)
{
    EndPage(ctx, engine);
    return 0;
}

duk_ret_t ResponseClear(duk_context*, TEngine& engine)
{
    StopIfEnded(engine);
    engine.Response.Body.clear();
    return 0;
}

duk_ret_t ResponseAddHeader(duk_context* ctx, TEngine& engine)
{
    StopIfEnded(engine);
    const std::string name = ToText(ctx, 0), value = ToText(ctx, 1);
    const bool token = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
    if (!token) throw EAutoError(kEFail, kPageSource, "Not a header name: '" + name + "'");
    CheckHeaderText(value, "A header value");
    for (const char* reserved : {"Content-Length", "Transfer-Encoding", "Connection", "Content-Type"})
        if (SameText(name, reserved))
            throw EAutoError(kEFail, kPageSource, "The page host sets the header " + std::string(reserved));
    engine.Response.Headers.emplace_back(name, value);
    return 0;
}

duk_ret_t ResponseRedirect(duk_context* ctx, TEngine& engine)
{
    StopIfEnded(engine);
    const std::string url = ToText(ctx, 0);
    CheckHeaderText(url, "The address");
    if (url.empty()) throw EAutoError(kEFail, kPageSource, "Redirect needs an address");
    engine.Response.Status = 302;
    engine.Response.StatusLine = "302 Object moved";
    engine.Response.Headers.emplace_back("Location", url);
    engine.Response.ContentType = "text/html; charset=utf-8";
    engine.Response.Body = "<html><head><title>Object moved</title></head><body><h1>Object moved</h1>"
                           "<p>This object may be found <a href=\"" +
                           HtmlEncode(url) + "\">here</a>.</p></body></html>\n";
    EndPage(ctx, engine);
    return 0;
}

// ---- Request ----

duk_ret_t TotalBytesGet(duk_context* ctx, TEngine& engine)
{
    duk_push_number(ctx, double(engine.Request.TotalBytes()));
    return 1;
}

duk_ret_t RequestBinaryRead(duk_context* ctx, TEngine& engine)
{
    const double count = duk_to_number(ctx, 0);
    const int64_t n = std::isnan(count) || count <= 0 ? 0 : count >= 9.0e18 ? INT64_MAX : int64_t(count);
    PushValue(ctx, engine, engine.Request.BinaryRead(n));
    return 1;
}

duk_ret_t RequestQueryString(duk_context* ctx, TEngine& engine)
{
    if (duk_is_undefined(ctx, 0)) {
        duk_push_lstring(ctx, engine.Request.QueryString.data(), engine.Request.QueryString.size());
        return 1;
    }
    const std::optional<std::string> value = engine.Request.QueryValue(ToText(ctx, 0));
    if (!value) return 0;
    duk_push_lstring(ctx, value->data(), value->size());
    return 1;
}

duk_ret_t RequestServerVariables(duk_context* ctx, TEngine& engine)
{
    const std::string value = engine.Request.ServerVariable(ToText(ctx, 0));
    duk_push_lstring(ctx, value.data(), value.size());
    return 1;
}

// ---- Server ----

duk_ret_t ServerCreateObject(duk_context* ctx, TEngine& engine)
{
    StopIfEnded(engine);
    const std::string progId = ToText(ctx, 0);
    TAutoObjectRef object = engine.Objects.Create(progId);
    PushWrapper(ctx, engine, object);
    return 1;
}

duk_ret_t ServerMapPath(duk_context* ctx, TEngine& engine)
{
    const std::string path = MapSitePath(engine.Request, ToText(ctx, 0));
    duk_push_lstring(ctx, path.data(), path.size());
    return 1;
}

duk_ret_t ServerHtmlEncode(duk_context* ctx, TEngine&)
{
    const std::string text = HtmlEncode(duk_is_null_or_undefined(ctx, 0) ? std::string() : ToText(ctx, 0));
    duk_push_lstring(ctx, text.data(), text.size());
    return 1;
}

duk_ret_t ServerUrlEncode(duk_context* ctx, TEngine&)
{
    const std::string text = UrlEncode(duk_is_null_or_undefined(ctx, 0) ? std::string() : ToText(ctx, 0));
    duk_push_lstring(ctx, text.data(), text.size());
    return 1;
}

// The regular files of a site folder, newest first: [{Name, Size, Modified (ms)}].
duk_ret_t ServerListFiles(duk_context* ctx, TEngine& engine)
{
    const std::string folder = MapSitePath(engine.Request, ToText(ctx, 0));
    struct TEntry {
        std::string Name;
        double Size, Modified;
    };
    std::vector<TEntry> entries;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* d = readdir(dir)) {
            if (d->d_name[0] == '.') continue;
            struct stat st;
            const std::string path = folder + "/" + d->d_name;
            if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            entries.push_back({d->d_name, double(st.st_size),
                               double(st.st_mtim.tv_sec) * 1000.0 + double(st.st_mtim.tv_nsec / 1000000)});
        }
        closedir(dir);
    }
    std::sort(entries.begin(), entries.end(), [](const TEntry& a, const TEntry& b) {
        return a.Modified != b.Modified ? a.Modified > b.Modified : a.Name > b.Name;
    });
    if (entries.size() > kMaxListedFiles) entries.resize(kMaxListedFiles);
    duk_push_array(ctx);
    for (size_t i = 0; i < entries.size(); ++i) {
        duk_push_object(ctx);
        duk_push_lstring(ctx, entries[i].Name.data(), entries[i].Name.size());
        duk_put_prop_string(ctx, -2, "Name");
        duk_push_number(ctx, entries[i].Size);
        duk_put_prop_string(ctx, -2, "Size");
        duk_push_number(ctx, entries[i].Modified);
        duk_put_prop_string(ctx, -2, "Modified");
        duk_put_prop_index(ctx, -2, duk_uarridx_t(i));
    }
    return 1;
}

// ---- setting up and running ----

void PutFunction(duk_context* ctx, const char* name, duk_c_function function, duk_idx_t nargs)
{
    duk_push_c_function(ctx, function, nargs);
    duk_put_prop_string(ctx, -2, name);
}

void PutAccessor(duk_context* ctx, const char* name, duk_c_function getter, duk_c_function setter)
{
    duk_push_string(ctx, name);
    duk_push_c_function(ctx, getter, 0);
    duk_uint_t flags = DUK_DEFPROP_HAVE_GETTER | DUK_DEFPROP_SET_ENUMERABLE;
    if (setter != nullptr) {
        duk_push_c_function(ctx, setter, 1);
        flags |= DUK_DEFPROP_HAVE_SETTER;
    }
    duk_def_prop(ctx, setter != nullptr ? -4 : -3, flags);
}

void DefineObjects(duk_context* ctx)
{
    duk_push_global_object(ctx);

    duk_push_object(ctx);
    PutFunction(ctx, "Write", Native<ResponseWrite>, 1);
    PutFunction(ctx, "BinaryWrite", Native<ResponseWrite>, 1);
    PutFunction(ctx, "End", Native<ResponseEnd>, 0);
    PutFunction(ctx, "Clear", Native<ResponseClear>, 0);
    PutFunction(ctx, "AddHeader", Native<ResponseAddHeader>, 2);
    PutFunction(ctx, "Redirect", Native<ResponseRedirect>, 1);
    PutAccessor(ctx, "ContentType", Native<ContentTypeGet>, Native<ContentTypeSet>);
    PutAccessor(ctx, "Status", Native<StatusGet>, Native<StatusSet>);
    duk_put_prop_string(ctx, -2, "Response");

    duk_push_object(ctx);
    PutAccessor(ctx, "TotalBytes", Native<TotalBytesGet>, nullptr);
    PutFunction(ctx, "BinaryRead", Native<RequestBinaryRead>, 1);
    PutFunction(ctx, "QueryString", Native<RequestQueryString>, 1);
    PutFunction(ctx, "ServerVariables", Native<RequestServerVariables>, 1);
    duk_put_prop_string(ctx, -2, "Request");

    duk_push_object(ctx);
    PutFunction(ctx, "CreateObject", Native<ServerCreateObject>, 1);
    PutFunction(ctx, "MapPath", Native<ServerMapPath>, 1);
    PutFunction(ctx, "HTMLEncode", Native<ServerHtmlEncode>, 1);
    PutFunction(ctx, "URLEncode", Native<ServerUrlEncode>, 1);
    PutFunction(ctx, "ListFiles", Native<ServerListFiles>, 1);
    duk_put_prop_string(ctx, -2, "Server");

    PutFunction(ctx, kTextFunction, Native<PageText>, 1);
    PutFunction(ctx, kWriteFunction, Native<ResponseWrite>, 1);

    duk_get_prop_string(ctx, -1, "Duktape");
    PutFunction(ctx, "errThrow", Native<NoteThrow>, 1);
    duk_pop(ctx);
    duk_pop(ctx);

    duk_push_global_stash(ctx);
    duk_push_object(ctx);
    PutFunction(ctx, "get", Native<WrapperGet>, 3);
    PutFunction(ctx, "set", Native<WrapperSet>, 4);
    duk_put_prop_string(ctx, -2, kHandlerKey);
    duk_pop(ctx);
}

duk_ret_t SetUpAndRun(duk_context* ctx, void* udata)
{
    TEngine& engine = *static_cast<TEngine*>(udata);
    DefineObjects(ctx);
    const std::string& source = engine.Program->Source;
    duk_push_lstring(ctx, source.data(), source.size());
    duk_push_lstring(ctx, engine.Request.ScriptName.data(), engine.Request.ScriptName.size());
    duk_compile(ctx, 0);
    engine.Compiled = true;
    duk_call(ctx, 0);
    return 0;
}

// Reads what the error value at the top of the stack says.
struct TErrorFacts {
    bool HasNumber = false;
    int32_t Number = 0;
    std::string Description, Source;
    int Line = 0;
};

duk_ret_t ReadError(duk_context* ctx, void* udata)
{
    TErrorFacts& facts = *static_cast<TErrorFacts*>(udata);
    const duk_idx_t error = duk_normalize_index(ctx, -1);
    if (!duk_is_object(ctx, error)) {
        facts.Description = ToText(ctx, error);
        return 0;
    }
    if (duk_get_prop_string(ctx, error, "number") && duk_is_number(ctx, -1)) {
        facts.HasNumber = true;
        facts.Number = int32_t(duk_to_int32(ctx, -1));
    }
    duk_pop(ctx);
    if (duk_get_prop_string(ctx, error, "description") && duk_is_string(ctx, -1))
        facts.Description = ToText(ctx, -1);
    duk_pop(ctx);
    if (facts.Description.empty()) {
        if (duk_get_prop_string(ctx, error, "message") && !duk_is_undefined(ctx, -1))
            facts.Description = ToText(ctx, -1);
        duk_pop(ctx);
    }
    if (facts.Description.empty()) {
        duk_dup(ctx, error);
        facts.Description = ToText(ctx, -1);
        duk_pop(ctx);
    }
    if (duk_get_prop_string(ctx, error, "source") && duk_is_string(ctx, -1)) facts.Source = ToText(ctx, -1);
    duk_pop(ctx);
    if (duk_get_prop_string(ctx, error, "lineNumber")) facts.Line = duk_get_int(ctx, -1);
    duk_pop(ctx);
    return 0;
}

std::string ReadPageFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw EAutoError(int32_t(0x80070002), kPageSource, "Cannot open the page " + path);
    std::string text;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, size_t(in.gcount()));
        if (text.size() > kMaxPageFile) throw EAutoError(kEFail, kPageSource, "The page file is too large");
    }
    return text;
}

std::string Hex(int32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08x", uint32_t(value));
    return text;
}

void ReplaceWithErrorPage(TPageResponse& response, const TScriptFailure& failure)
{
    response = TPageResponse();
    response.Status = 500;
    response.StatusLine = "500 Internal Server Error";
    response.ContentType = "text/plain; charset=utf-8";
    response.Body = failure.PageText();
}

// Runs the program; returns the failure that ended it, if any.
std::optional<TScriptFailure> Execute(TEngine& engine)
{
    TScriptFailure failure;
    failure.Page = engine.Request.ScriptName;
    duk_context* ctx = duk_create_heap(Allocate, Reallocate, Release, &engine, Fatal);
    if (ctx == nullptr) {
        failure.Source = kPageSource;
        failure.HResult = kEOutOfMemory;
        failure.Description = "Out of memory";
        return failure;
    }
    std::optional<TScriptFailure> result;
    if (duk_safe_call(ctx, SetUpAndRun, &engine, 0, 1) != DUK_EXEC_SUCCESS && !engine.Ended) {
        TErrorFacts facts;
        if (duk_safe_call(ctx, ReadError, &facts, 1, 1) != DUK_EXEC_SUCCESS) facts.Description = "Unreadable error";
        failure.Source = !facts.Source.empty() ? facts.Source : engine.Compiled ? kRuntimeSource : kCompileSource;
        failure.HResult = facts.HasNumber ? facts.Number : kEFail;
        failure.Description = facts.Description;
        const int programLine = engine.Compiled ? engine.LastThrowLine : facts.Line;
        failure.Line = engine.Program->PageLine(programLine);
        if (engine.MemoryRefused && failure.Description.find("alloc failed") != std::string::npos) {
            failure.Source = kPageSource;
            failure.HResult = kEOutOfMemory;
            failure.Description = "The page needed more than its memory limit of " +
                                  std::to_string(engine.Options.MemoryLimit >> 20) + " MiB";
        }
        if (engine.TimedOut) {
            failure.Source = kPageSource;
            failure.HResult = kEFail;
            failure.Description = "The page ran longer than its time limit of " +
                                  std::to_string(engine.Options.TimeoutSeconds) + " seconds";
        }
        // The engine's compile messages carry the program's line; the page line is given apart.
        const size_t at = failure.Description.rfind(" (line ");
        if (at != std::string::npos && failure.Description.back() == ')') failure.Description.resize(at);
        result = failure;
    }
    duk_destroy_heap(ctx);
    return result;
}

}  // namespace

}  // namespace quillet::host

int quillet_script_timed_out(void* udata)
{
    auto* engine = static_cast<quillet::host::TEngine*>(udata);
    if (engine == nullptr) return 0;
    if (engine->Ended || engine->TimedOut) return 1;
    if (quillet::host::Clock::now() < engine->Deadline) return 0;
    engine->TimedOut = true;
    return 1;
}

double quillet_script_random(void*)
{
    uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, 0) != ssize_t(sizeof bits)) {
        static thread_local std::mt19937_64 fallback{std::random_device{}()};
        bits = fallback();
    }
    return double(bits >> 11) * 0x1.0p-53;
}

namespace quillet::host {

std::string TScriptFailure::Text() const
{
    std::string text = Source + " error '" + Hex(HResult) + "': " + Description;
    if (!Page.empty()) text += " (" + Page + (Line > 0 ? ", line " + std::to_string(Line) : "") + ")";
    return text;
}

std::string TScriptFailure::PageText() const
{
    std::string text = Source + " error '" + Hex(HResult) + "'\n\n" + Description + "\n\n" + Page;
    if (Line > 0) text += ", line " + std::to_string(Line);
    return text + "\n";
}

std::string HtmlEncode(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

std::string UrlEncode(const std::string& text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~') {
            out.push_back(char(c));
        } else if (c == ' ') {
            out.push_back('+');
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

std::string MapSitePath(const TPageRequest& request, const std::string& path)
{
    std::string virtualPath = path;
    std::replace(virtualPath.begin(), virtualPath.end(), '\\', '/');
    if (virtualPath.find('\0') != std::string::npos)
        throw EAutoError(kEFail, kPageSource, "A path may not hold a zero byte");
    std::vector<std::string> parts;
    auto add = [&parts, &path](const std::string& from) {
        size_t i = 0;
        while (i <= from.size()) {
            size_t end = from.find('/', i);
            if (end == std::string::npos) end = from.size();
            const std::string part = from.substr(i, end - i);
            if (part == "..") {
                if (parts.empty())
                    throw EAutoError(kEFail, kPageSource, "The path '" + path + "' leads outside the site");
                parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            i = end + 1;
        }
    };
    if (virtualPath.empty() || virtualPath[0] != '/') {
        const size_t slash = request.ScriptName.rfind('/');
        add(slash == std::string::npos ? std::string() : request.ScriptName.substr(0, slash));
    }
    add(virtualPath);
    std::string result = request.Root;
    for (const std::string& part : parts) result += "/" + part;
    return result.empty() ? "/" : result;
}

std::optional<TScriptFailure> RunPageText(const std::string& text, TPageRequest& request, TPageResponse& response,
                                          IObjectProvider& provider, const TPageOptions& options)
{
    std::optional<TScriptFailure> failure;
    try {
        const TPageProgram program = TranslatePage(ParsePage(text), kTextFunction, kWriteFunction);
        TEngine engine(request, response, provider, options);
        engine.Program = &program;
        failure = Execute(engine);
        // Every object the page created ends now, also after an error; the heap has gone,
        // and with it the script's references.
        engine.Objects.EndPage();
        engine.Wrapped.clear();
    } catch (const TPageError& e) {
        failure = TScriptFailure{kPageSource, kEFail, e.Message(), request.ScriptName, e.Line()};
    } catch (const std::bad_alloc&) {
        failure = TScriptFailure{kPageSource, kEOutOfMemory, "Out of memory", request.ScriptName, 0};
    }
    if (failure) ReplaceWithErrorPage(response, *failure);
    return failure;
}

std::optional<TScriptFailure> RunPage(TPageRequest& request, TPageResponse& response, IObjectProvider& provider,
                                      const TPageOptions& options)
{
    std::string text;
    try {
        text = ReadPageFile(request.PagePath);
    } catch (const EAutoError& e) {
        TScriptFailure failure{e.Source(), e.HResult(), e.Message(), request.ScriptName, 0};
        ReplaceWithErrorPage(response, failure);
        return failure;
    }
    return RunPageText(text, request, response, provider, options);
}

}  // namespace quillet::host
