// Type libraries as data: the description of a library, its interfaces and classes, and
// the dispatch that is served from it (names to dispatch ids, Invoke to the slots).
#pragma once

#include <string>

#include "platform/com/interfaces.h"
#include "platform/com/variant.h"

namespace quillet {

class TRegistryData;

/// Calls one slot of an interface: instance is the interface pointer, args the arguments
/// passed in, in declaration order and already of the types the description names (a
/// VT_VARIANT argument as the caller's value, a VT_UNKNOWN one as VT_UNKNOWN), result the
/// member's out value (VT_EMPTY on entry).
using TSlotCall = HRESULT (*)(void* instance, VARIANT* args, VARIANT* result);

struct TParamDesc {
    const char* Name;  ///< empty for an unnamed argument
    VARTYPE Type;      ///< VT_VARIANT or VT_UNKNOWN
};

struct TFuncDesc {
    const char* Name;
    MEMBERID MemberId;
    INVOKEKIND InvokeKind;
    int16_t Slot;  ///< index in the slot table (IUnknown's are 0-2, IDispatch's 3-6)
    const TParamDesc* Params;
    int16_t ParamCount;
    bool HasResult;  ///< an out value (VT_VARIANT) that is the call's result
    const char* DocString;
    TSlotCall Call;
};

struct TTypeLibDesc;

struct TTypeDesc {
    TYPEKIND Kind;
    GUID Guid;
    const char* Name;
    const char* DocString;
    uint16_t Flags;  ///< TYPEFLAG_*
    const TFuncDesc* Funcs;
    uint16_t FuncCount;
    uint16_t SlotCount;  ///< of an interface, IUnknown's and IDispatch's included
    const TTypeDesc* const* Interfaces;  ///< of a class; the first is its default
    uint16_t InterfaceCount;
    const TTypeLibDesc* Library;
};

struct TTypeLibDesc {
    GUID Guid;
    const char* Name;
    const char* HelpString;
    uint16_t MajorVersion;
    uint16_t MinorVersion;
    LCID Lcid;
    const TTypeDesc* const* Types;
    uint16_t TypeCount;
};

/// Resolves names against an interface description: names[0] a member, the others its
/// argument names (their ids are argument positions). Names are matched ignoring case.
HRESULT DispGetIDsOfNames(const TTypeDesc& type, LPOLESTR* names, uint32_t count, DISPID* ids);

/// Invokes a member of an interface description on instance (a pointer to that
/// interface). The member is the one with the dispatch id whose kind the flags allow; its
/// arguments are taken from params (named ones by position, DISPID_PROPERTYPUT for the
/// value of a put) and checked against the description: DISP_E_MEMBERNOTFOUND,
/// DISP_E_BADPARAMCOUNT (more arguments than the member takes), DISP_E_PARAMNOTOPTIONAL
/// (one missing), DISP_E_PARAMNOTFOUND (a named one it does not have) and
/// DISP_E_TYPEMISMATCH (argErr: the rgvarg index of the argument at fault). A member that
/// fails returns its HRESULT, or with excepInfo given fills it from the thread's error
/// information and returns DISP_E_EXCEPTION.
HRESULT DispInvoke(const TTypeDesc& type, void* instance, DISPID member, uint16_t flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepInfo, uint32_t* argErr);

/// A type information object serving the description (counted as a live object).
HRESULT CreateTypeInfo(const TTypeDesc& type, ITypeInfo** info);

/// Writes the library's keys (TypeLib\{id}\major.minor and the Interface keys of its
/// interfaces) with the path of the file that holds it.
void RegisterTypeLib(TRegistryData& registry, const TTypeLibDesc& library, const std::string& path);
/// Removes what RegisterTypeLib wrote.
void UnRegisterTypeLib(TRegistryData& registry, const TTypeLibDesc& library);

}  // namespace quillet
