// The request a page runs for and the response it builds, and the scripting context that
// objects receive in OnStartPage: its Request object offers TotalBytes and BinaryRead.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/automation.h"

namespace quillet::host {

struct TPageRequest {
    std::string Method = "GET";
    std::string QueryString;  ///< raw, without the '?'
    std::string ContentType;
    std::string ScriptName;   ///< the page's path in the site, "/index.asp"
    std::string PagePath;     ///< the page's file
    std::string Root;         ///< the site's folder (absolute, no trailing '/')
    std::string RemoteAddr = "127.0.0.1";
    std::string ServerName = "localhost";
    std::string ServerPort = "80";
    std::string Protocol = "HTTP/1.1";
    std::vector<std::pair<std::string, std::string>> Headers;
    std::vector<uint8_t> Body;
    size_t ReadPosition = 0;  ///< how much of the body BinaryRead has handed out

    int64_t TotalBytes() const { return int64_t(Body.size()); }
    /// Up to count bytes from the read position on (none for count <= 0); advances it.
    TAutoBytes BinaryRead(int64_t count);
    /// A server variable by name (any case); empty text for an unknown one. HTTP_NAME is
    /// the request header Name (dashes written as underscores).
    std::string ServerVariable(const std::string& name) const;
    /// The decoded value of a query-string field (name in any case); several values are
    /// joined by ", "; nullopt when the field is absent.
    std::optional<std::string> QueryValue(const std::string& name) const;
};

struct TPageResponse {
    int Status = 200;
    std::string StatusLine = "200 OK";
    std::string ContentType = "text/html; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string Body;
};

/// The value of a hexadecimal digit, or -1.
int HexDigitValue(char c);
/// Decodes %XX escapes and '+' as a blank; an invalid escape stands as written.
std::string DecodeFormValue(const std::string& text);

/// The Request object of the scripting context: TotalBytes (property) and
/// BinaryRead(count) (method; count is updated to the number of bytes read).
class TRequestObject : public IAutoObject {
public:
    explicit TRequestObject(TPageRequest& request) : FRequest(request) {}
    std::optional<int32_t> FindMember(const std::string& name) override;
    TAutoValue Invoke(int32_t id, TInvokeKind kind, std::vector<TAutoValue>& args) override;
    TPageRequest& Request() { return FRequest; }

private:
    TPageRequest& FRequest;
};

/// The scripting context handed to OnStartPage: its Request property is the request.
class TScriptingContext : public IAutoObject {
public:
    explicit TScriptingContext(TPageRequest& request) : FRequest(std::make_shared<TRequestObject>(request)) {}
    std::optional<int32_t> FindMember(const std::string& name) override;
    TAutoValue Invoke(int32_t id, TInvokeKind kind, std::vector<TAutoValue>& args) override;
    const std::shared_ptr<TRequestObject>& RequestObject() const { return FRequest; }

private:
    std::shared_ptr<TRequestObject> FRequest;
};

/// Compares ASCII letters without regard to case.
bool SameText(const std::string& a, const std::string& b);

}  // namespace quillet::host
