// Error objects and the thread's current error information.
//
// Each module (a component library, a host program) carries its own copy of this runtime
// and so its own per-thread slot. Within a module, SetErrorInfo and GetErrorInfo work as
// usual. Across modules the information travels in one of two ways:
// - IDispatch::Invoke with an EXCEPINFO: a failed member fills it and Invoke returns
//   DISP_E_EXCEPTION (EXCEPINFO.scode is the member's HRESULT);
// - otherwise the caller asks the object: GetObjectErrorInfo checks ISupportErrorInfo for
//   the interface and takes the information from the object's own module through
//   IErrorInfoSource, falling back to the caller's slot.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "platform/com/interfaces.h"
#include "platform/com/variant.h"

namespace quillet {

/// A new, empty error object.
HRESULT CreateErrorInfo(ICreateErrorInfo** info);
/// Makes info (may be null) the calling thread's current error information in this module.
HRESULT SetErrorInfo(uint32_t reserved, IErrorInfo* info);
/// Hands over and clears the calling thread's current error information in this module:
/// S_OK with the object, or S_FALSE with null when there is none.
HRESULT GetErrorInfo(uint32_t reserved, IErrorInfo** info);

/// The error information left by a failed call on object through interface iid: S_FALSE
/// and null when the object does not support error information for iid or has none.
HRESULT GetObjectErrorInfo(IUnknown* object, const IID& iid, IErrorInfo** info);

/// What an error object says, as UTF-8.
struct TErrorDetails {
    HRESULT Code = S_OK;
    GUID Guid = GUID_NULL;
    std::string Source;
    std::string Description;
    std::string HelpFile;
    uint32_t HelpContext = 0;
};
TErrorDetails ReadErrorInfo(IErrorInfo* info);
/// The EXCEPINFO a failed Invoke filled; frees its strings.
TErrorDetails TakeExcepInfo(EXCEPINFO* excepInfo);

/// Turns the exception being handled (call from inside a catch block) into error
/// information and a result: the error object gets the GUID, the source, the help file
/// (when not empty), the exception's message and help context, and becomes the thread's
/// current error information. The result is E_UNEXPECTED, or the exception's own HRESULT
/// when it carries a negative one.
HRESULT HandleSafeCallException(const GUID& errorGuid, std::string_view source, std::string_view helpFile);

/// Sets the thread's current error information from the details.
void SetErrorDetails(const TErrorDetails& details);

}  // namespace quillet
