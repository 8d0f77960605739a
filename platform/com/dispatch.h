// Calling objects by name through IDispatch, as a page host or a component does.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/com/errorinfo.h"
#include "platform/com/interfaces.h"
#include "platform/com/variant.h"

namespace quillet {

/// The dispatch id of a member name (DISP_E_UNKNOWNNAME when the object has none).
HRESULT GetDispId(IDispatch* object, std::string_view name, DISPID* id);

/// Invokes a member by id. args are in declaration order (the first argument first); a
/// put passes its one argument as the named DISPID_PROPERTYPUT value. On failure the
/// result is the member's HRESULT (the EXCEPINFO's scode when Invoke reports
/// DISP_E_EXCEPTION), and failure, when given, receives the error's details: from the
/// EXCEPINFO, else from the object's error information.
HRESULT InvokeMember(IDispatch* object, DISPID id, uint16_t flags, const VARIANT* args, uint32_t argCount,
                     VARIANT* result, TErrorDetails* failure);
/// The same by name.
HRESULT InvokeByName(IDispatch* object, std::string_view name, uint16_t flags, const VARIANT* args,
                     uint32_t argCount, VARIANT* result, TErrorDetails* failure);

/// InvokeByName that raises EOleSysError (the error's description, the failing HRESULT)
/// when the call fails, and returns the result.
TVariant DispatchCall(IDispatch* object, std::string_view name, uint16_t flags,
                      std::initializer_list<VARIANT> args = {});

}  // namespace quillet
