// The runtime's interfaces: abstract classes whose virtual members are declared in slot
// order, so that a table of slots is what a caller in another module sees. A host and a
// component library reach each other only through these (and the plain data of types.h).
#pragma once

#include "platform/com/types.h"

namespace quillet {

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_ISupportErrorInfo = {0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
inline constexpr IID IID_IErrorInfo = {0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
inline constexpr IID IID_ICreateErrorInfo = {0x22F03340, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
inline constexpr IID IID_IProvideClassInfo = {0xB196B283, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
// This runtime's own interfaces.
inline constexpr IID IID_ITypeInfo = {0x1DDBCAF8, 0x2B53, 0x48A1, {0xB8, 0xA3, 0xCE, 0xE0, 0xFD, 0x31, 0xB4, 0x3A}};
inline constexpr IID IID_IErrorInfoSource = {0x69AE4AFB, 0xE0A5, 0x4FE1, {0x82, 0xC2, 0x6F, 0xCB, 0x64, 0x2A, 0x1A, 0x4E}};
inline constexpr IID IID_IScriptingContext = {0xB1868202, 0x7C87, 0x4213, {0x9B, 0xF8, 0x4B, 0xE0, 0x26, 0xF8, 0x9E, 0x92}};
inline constexpr IID IID_IPageObject = {0xFD3FD081, 0x15DF, 0x4633, {0x91, 0x2D, 0xF2, 0xE6, 0xE2, 0x83, 0x7A, 0x12}};

class IUnknown {
public:
    /// Hands out another interface of the object (counted), or E_NOINTERFACE and null.
    virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;  // objects go by Release, never by delete through an interface
};

class ITypeInfo;

/// Late-bound access by name.
class IDispatch : public IUnknown {
public:
    virtual HRESULT GetTypeInfoCount(uint32_t* count) = 0;
    /// DISP_E_BADINDEX for an index other than 0.
    virtual HRESULT GetTypeInfo(uint32_t index, LCID lcid, ITypeInfo** info) = 0;
    /// names[0] is a member, names[1..] its argument names; names are matched ignoring
    /// case. Unknown names get DISPID_UNKNOWN and the call returns DISP_E_UNKNOWNNAME.
    virtual HRESULT GetIDsOfNames(const IID& iid, LPOLESTR* names, uint32_t count, LCID lcid, DISPID* ids) = 0;
    /// With excepInfo given, a failed member fills it (scode = the member's HRESULT) and
    /// the call returns DISP_E_EXCEPTION; without it the member's HRESULT is returned.
    virtual HRESULT Invoke(DISPID member, const IID& iid, LCID lcid, uint16_t flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* excepInfo, uint32_t* argErr) = 0;

protected:
    ~IDispatch() = default;
};

class IClassFactory : public IUnknown {
public:
    /// A new object, queried for iid; CLASS_E_NOAGGREGATION when outer is given.
    virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) = 0;
    /// Counts a client's hold on the server (DllCanUnloadNow answers S_FALSE while held).
    virtual HRESULT LockServer(int32_t lock) = 0;

protected:
    ~IClassFactory() = default;
};

/// S_OK for the interfaces whose failures leave error information, S_FALSE otherwise.
class ISupportErrorInfo : public IUnknown {
public:
    virtual HRESULT InterfaceSupportsErrorInfo(const IID& iid) = 0;

protected:
    ~ISupportErrorInfo() = default;
};

/// An error object; the BSTRs it hands out belong to the caller.
class IErrorInfo : public IUnknown {
public:
    virtual HRESULT GetGUID(GUID* guid) = 0;
    virtual HRESULT GetSource(BSTR* source) = 0;
    virtual HRESULT GetDescription(BSTR* description) = 0;
    virtual HRESULT GetHelpFile(BSTR* helpFile) = 0;
    virtual HRESULT GetHelpContext(uint32_t* helpContext) = 0;

protected:
    ~IErrorInfo() = default;
};

class ICreateErrorInfo : public IUnknown {
public:
    virtual HRESULT SetGUID(const GUID& guid) = 0;
    virtual HRESULT SetSource(const OLECHAR* source) = 0;
    virtual HRESULT SetDescription(const OLECHAR* description) = 0;
    virtual HRESULT SetHelpFile(const OLECHAR* helpFile) = 0;
    virtual HRESULT SetHelpContext(uint32_t helpContext) = 0;

protected:
    ~ICreateErrorInfo() = default;
};

/// The thread's current error information as the module behind an object holds it. Every
/// module carries its own copy of the runtime, and so its own per-thread slot: a caller in
/// another module reaches the slot of the object's module through this interface.
class IErrorInfoSource : public IUnknown {
public:
    /// Hands over (and clears) the calling thread's current error information of the
    /// object's module: S_OK and the object, or S_FALSE and null when there is none.
    virtual HRESULT GetErrorInfo(IErrorInfo** info) = 0;

protected:
    ~IErrorInfoSource() = default;
};

class IProvideClassInfo : public IUnknown {
public:
    /// The description of the object's class.
    virtual HRESULT GetClassInfo(ITypeInfo** info) = 0;

protected:
    ~IProvideClassInfo() = default;
};

enum TYPEKIND : int32_t { TKIND_INTERFACE = 3, TKIND_DISPATCH = 4, TKIND_COCLASS = 5 };
enum INVOKEKIND : int32_t {
    INVOKE_FUNC = 1,
    INVOKE_PROPERTYGET = 2,
    INVOKE_PROPERTYPUT = 4,
    INVOKE_PROPERTYPUTREF = 8,
};
enum : uint16_t {
    TYPEFLAG_FCANCREATE = 0x0002,
    TYPEFLAG_FDUAL = 0x0040,
    TYPEFLAG_FOLEAUTOMATION = 0x0100,
    TYPEFLAG_FDISPATCHABLE = 0x1000,
};
inline constexpr MEMBERID MEMBERID_NIL = -1;

/// What a type description says of itself.
struct TYPEATTR {
    GUID guid;
    LCID lcid;
    TYPEKIND typekind;
    uint16_t cFuncs;       ///< members (a property's get and put count as two)
    uint16_t cImplTypes;   ///< interfaces of a class
    uint16_t cbSizeVft;    ///< bytes of the slot table, IUnknown's and IDispatch's included
    uint16_t wTypeFlags;
    uint16_t wMajorVerNum;
    uint16_t wMinorVerNum;
};

/// One member of an interface description.
struct FUNCDESC {
    MEMBERID memid;
    INVOKEKIND invkind;
    int16_t cParams;     ///< arguments passed in (the result is not counted)
    int16_t cParamsOpt;  ///< of which optional
    int16_t oVft;        ///< byte offset of the member's slot in the slot table
    VARTYPE vtResult;    ///< VT_VARIANT for a member with a result, VT_EMPTY otherwise
};

/// A type description (an interface or a class) of a type library.
class ITypeInfo : public IUnknown {
public:
    virtual HRESULT GetTypeAttr(TYPEATTR* attr) = 0;
    /// TYPE_E_ELEMENTNOTFOUND past the last member.
    virtual HRESULT GetFuncDesc(uint32_t index, FUNCDESC* desc) = 0;
    /// The member's name, then its argument names.
    virtual HRESULT GetNames(MEMBERID member, BSTR* names, uint32_t maxNames, uint32_t* count) = 0;
    /// MEMBERID_NIL describes the type itself. Any out pointer may be null.
    virtual HRESULT GetDocumentation(MEMBERID member, BSTR* name, BSTR* docString, uint32_t* helpContext,
                                     BSTR* helpFile) = 0;
    virtual HRESULT GetIDsOfNames(LPOLESTR* names, uint32_t count, MEMBERID* ids) = 0;
    /// Calls the member on instance, a pointer to the interface this describes.
    virtual HRESULT Invoke(void* instance, MEMBERID member, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                           EXCEPINFO* excepInfo, uint32_t* argErr) = 0;
    /// A class's index-th interface.
    virtual HRESULT GetImplTypeInfo(uint32_t index, ITypeInfo** info) = 0;

protected:
    ~ITypeInfo() = default;
};

/// The page host's scripting context. Its members are reached by name through IDispatch:
/// the property "Request" is the request object, whose property "TotalBytes" is the body's
/// byte count and whose method "BinaryRead(count)" returns up to count bytes of the body as
/// an array of bytes (VT_ARRAY | VT_UI1), count being passed by reference.
class IScriptingContext : public IDispatch {
protected:
    ~IScriptingContext() = default;
};

/// A page object: the host calls OnStartPage with its scripting context when the page
/// starts and OnEndPage when it ends. The same members are also reachable by name.
class IPageObject : public IUnknown {
public:
    virtual HRESULT OnStartPage(IUnknown* scriptingContext) = 0;
    virtual HRESULT OnEndPage() = 0;

protected:
    ~IPageObject() = default;
};

}  // namespace quillet
