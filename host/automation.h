// Automation objects as the page host sees them: members found by name and invoked as a
// property read, a method call or a property assignment, with values of a few kinds. The
// COM bridge serves real objects through this; the host's own scripting context is one too.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/errors.h"

namespace quillet::host {

class IAutoObject;

struct TAutoNull {
    bool operator==(const TAutoNull&) const = default;
};
using TAutoBytes = std::vector<uint8_t>;
using TAutoObjectRef = std::shared_ptr<IAutoObject>;

/// An automation value: empty, null, boolean, 32-bit integer, double, text (UTF-8), a byte
/// array or an object.
using TAutoValue =
    std::variant<std::monostate, TAutoNull, bool, int32_t, double, std::string, TAutoBytes, TAutoObjectRef>;

enum class TInvokeKind { ikGet, ikMethod, ikPut };

// HRESULTs the host produces or looks for.
inline constexpr int32_t kSOk = 0;
inline constexpr int32_t kEFail = int32_t(0x80004005);
inline constexpr int32_t kEUnexpected = int32_t(0x8000FFFF);
inline constexpr int32_t kEOutOfMemory = int32_t(0x8007000E);
inline constexpr int32_t kDispMemberNotFound = int32_t(0x80020003);
inline constexpr int32_t kDispParamNotOptional = int32_t(0x80020004);
inline constexpr int32_t kDispTypeMismatch = int32_t(0x80020005);
inline constexpr int32_t kDispUnknownName = int32_t(0x80020006);
inline constexpr int32_t kDispBadParamCount = int32_t(0x8002000E);
inline constexpr int32_t kClassNotRegistered = int32_t(0x80040154);

/// A failed automation call: its HRESULT, the error's source and its description (the
/// exception's message).
class EAutoError : public Exception {
public:
    EAutoError(int32_t hresult, std::string source, std::string description)
        : Exception(std::move(description)), FHResult(hresult), FSource(std::move(source)) {}
    int32_t HResult() const noexcept { return FHResult; }
    const std::string& Source() const noexcept { return FSource; }

private:
    int32_t FHResult;
    std::string FSource;
};

class IAutoObject {
public:
    virtual ~IAutoObject() = default;
    /// The dispatch id of a member, the name compared without regard to case; nullopt for
    /// a name the object does not know. Raises EAutoError for other failures.
    virtual std::optional<int32_t> FindMember(const std::string& name) = 0;
    /// Calls a member. Arguments are in call order; a callee may change them (arguments by
    /// reference). Raises EAutoError on failure.
    virtual TAutoValue Invoke(int32_t id, TInvokeKind kind, std::vector<TAutoValue>& args) = 0;
};

/// Makes the objects that pages ask for by program id.
class IObjectProvider {
public:
    virtual ~IObjectProvider() = default;
    /// Raises EAutoError (for example for a program id that is not registered).
    virtual TAutoObjectRef CreateObject(const std::string& progId) = 0;
};

/// The objects one page created: started when created, ended when the page ends.
class TPageObjects {
public:
    /// context is what OnStartPage receives.
    TPageObjects(IObjectProvider& provider, TAutoObjectRef context)
        : FProvider(provider), FContext(std::move(context)) {}
    ~TPageObjects() { EndPage(); }
    TPageObjects(const TPageObjects&) = delete;
    TPageObjects& operator=(const TPageObjects&) = delete;

    /// Creates an object and, when it has OnStartPage, calls it with the context. An object
    /// whose OnStartPage fails is released and the failure raised.
    TAutoObjectRef Create(const std::string& progId);
    /// Calls OnEndPage on every started object that has it, the last created first, then
    /// releases them all (this list's references). Failures of OnEndPage are not reported:
    /// the page is over. A second call does nothing.
    void EndPage() noexcept;

private:
    struct TEntry {
        TAutoObjectRef Object;
        std::optional<int32_t> EndId;
    };
    IObjectProvider& FProvider;
    TAutoObjectRef FContext;
    std::vector<TEntry> FObjects;
};

}  // namespace quillet::host
