// The request as pages and objects see it.
#include "host/request.h"

#include <cmath>

namespace quillet::host {

namespace {

constexpr char kHostSource[] = "Request";

char Upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }

// A count argument as an integer: numbers are truncated, anything else is refused.
int64_t CountOf(const TAutoValue& value)
{
    if (const int32_t* i = std::get_if<int32_t>(&value)) return *i;
    if (const double* d = std::get_if<double>(&value)) {
        if (std::isnan(*d)) return 0;
        if (*d >= 9.0e18) return INT64_MAX;
        if (*d <= -9.0e18) return INT64_MIN;
        return int64_t(*d);
    }
    throw EAutoError(kDispTypeMismatch, kHostSource, "BinaryRead needs a byte count");
}

}  // namespace

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool SameText(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i])) return false;
    return true;
}

std::string DecodeFormValue(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 && HexDigitValue(text[i + 2]) >= 0) {
            out.push_back(char(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

TAutoBytes TPageRequest::BinaryRead(int64_t count)
{
    const size_t left = Body.size() - ReadPosition;
    const size_t n = count <= 0 ? 0 : uint64_t(count) < left ? size_t(count) : left;
    TAutoBytes out(Body.begin() + std::ptrdiff_t(ReadPosition), Body.begin() + std::ptrdiff_t(ReadPosition + n));
    ReadPosition += n;
    return out;
}

std::string TPageRequest::ServerVariable(const std::string& name) const
{
    const struct {
        const char* Name;
        const std::string TPageRequest::*Field;
    } kFields[] = {
        {"REQUEST_METHOD", &TPageRequest::Method}, {"QUERY_STRING", &TPageRequest::QueryString},
        {"CONTENT_TYPE", &TPageRequest::ContentType}, {"SCRIPT_NAME", &TPageRequest::ScriptName},
        {"PATH_INFO", &TPageRequest::ScriptName}, {"URL", &TPageRequest::ScriptName},
        {"PATH_TRANSLATED", &TPageRequest::PagePath}, {"APPL_PHYSICAL_PATH", &TPageRequest::Root},
        {"REMOTE_ADDR", &TPageRequest::RemoteAddr}, {"REMOTE_HOST", &TPageRequest::RemoteAddr},
        {"SERVER_NAME", &TPageRequest::ServerName}, {"SERVER_PORT", &TPageRequest::ServerPort},
        {"SERVER_PROTOCOL", &TPageRequest::Protocol},
    };
    for (const auto& f : kFields)
        if (SameText(name, f.Name)) return this->*f.Field;
    if (SameText(name, "CONTENT_LENGTH")) return std::to_string(Body.size());
    if (SameText(name, "SERVER_SOFTWARE")) return "quillet";
    if (name.size() > 5 && SameText(name.substr(0, 5), "HTTP_")) {
        const std::string wanted = name.substr(5);
        for (const auto& [header, value] : Headers) {
            std::string key = header;
            for (char& c : key)
                if (c == '-') c = '_';
            if (SameText(key, wanted)) return value;
        }
    }
    return std::string();
}

std::optional<std::string> TPageRequest::QueryValue(const std::string& name) const
{
    std::optional<std::string> result;
    size_t i = 0;
    while (i <= QueryString.size()) {
        size_t end = QueryString.find('&', i);
        if (end == std::string::npos) end = QueryString.size();
        const std::string field = QueryString.substr(i, end - i);
        const size_t eq = field.find('=');
        const std::string key = DecodeFormValue(field.substr(0, eq));
        if (!field.empty() && SameText(key, name)) {
            const std::string value = eq == std::string::npos ? std::string() : DecodeFormValue(field.substr(eq + 1));
            result = result ? *result + ", " + value : value;
        }
        i = end + 1;
    }
    return result;
}

std::optional<int32_t> TRequestObject::FindMember(const std::string& name)
{
    if (SameText(name, "TotalBytes")) return 1;
    if (SameText(name, "BinaryRead")) return 2;
    return std::nullopt;
}

TAutoValue TRequestObject::Invoke(int32_t id, TInvokeKind kind, std::vector<TAutoValue>& args)
{
    if (id == 1 && kind == TInvokeKind::ikGet && args.empty()) {
        if (FRequest.TotalBytes() > INT32_MAX) throw EAutoError(kEFail, kHostSource, "The body is too large");
        return int32_t(FRequest.TotalBytes());
    }
    if (id == 2 && kind == TInvokeKind::ikMethod) {
        if (args.size() != 1) throw EAutoError(kDispBadParamCount, kHostSource, "BinaryRead takes one argument");
        TAutoBytes bytes = FRequest.BinaryRead(CountOf(args[0]));
        args[0] = int32_t(bytes.size());
        return bytes;
    }
    throw EAutoError(kDispMemberNotFound, kHostSource, "Member not found");
}

std::optional<int32_t> TScriptingContext::FindMember(const std::string& name)
{
    if (SameText(name, "Request")) return 1;
    return std::nullopt;
}

TAutoValue TScriptingContext::Invoke(int32_t id, TInvokeKind kind, std::vector<TAutoValue>& args)
{
    if (id == 1 && kind == TInvokeKind::ikGet && args.empty()) return TAutoObjectRef(FRequest);
    throw EAutoError(kDispMemberNotFound, "ScriptingContext", "Member not found");
}

}  // namespace quillet::host
