// Running a page: its program in a fresh script engine with the Request, Response and
// Server objects, automation objects reached by name, and a report of an uncaught error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "host/automation.h"
#include "host/request.h"

namespace quillet::host {

struct TPageOptions {
    int TimeoutSeconds = 90;                  ///< a page still running then is stopped
    size_t MemoryLimit = size_t(512) << 20;   ///< the script engine's heap
    size_t OutputLimit = size_t(256) << 20;   ///< the response body a page may write
};

/// An error that ended a page: what the error page names.
struct TScriptFailure {
    std::string Source;       ///< the error's source ("Lumexa.Quillet", "JScript runtime"...)
    int32_t HResult = 0;
    std::string Description;
    std::string Page;         ///< the page's path in the site
    int Line = 0;             ///< 1-based page line; 0 when unknown

    /// One line: source error 'hresult': description (page, line N)
    std::string Text() const;
    /// The plain text of the HTTP 500 page.
    std::string PageText() const;
};

/// Runs request.PagePath for the request. The response holds what the page wrote; when an
/// error was not caught it is replaced by a 500 response with the error page (the objects
/// the page created still get OnEndPage, the last created first). Returns that failure.
std::optional<TScriptFailure> RunPage(TPageRequest& request, TPageResponse& response, IObjectProvider& provider,
                                      const TPageOptions& options = {});

/// As RunPage, for page text that is already in memory.
std::optional<TScriptFailure> RunPageText(const std::string& text, TPageRequest& request, TPageResponse& response,
                                          IObjectProvider& provider, const TPageOptions& options = {});

/// Text with &, <, >, " and ' written as character references.
std::string HtmlEncode(const std::string& text);
/// Text for a URL's query: letters, digits and -_.~ stand, a blank becomes '+', every other
/// byte %XX.
std::string UrlEncode(const std::string& text);
/// A site path (relative to the page's folder, or from the root with a leading '/'; '\' is
/// taken as '/') as a file path. Raises EAutoError for a path that leads above the root.
std::string MapSitePath(const TPageRequest& request, const std::string& path);

}  // namespace quillet::host
