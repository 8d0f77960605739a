// The bridge between the page host's automation values and COM: an IDispatch object seen
// as an IAutoObject (members by name, Invoke with property get, method and put flags), and
// the host's own objects (the scripting context and its Request) seen as IDispatch.
#pragma once

#include "host/automation.h"
#include "platform/com/interfaces.h"
#include "platform/com/variant.h"

namespace quillet::host {

/// An IDispatch object as the script sees it; takes a reference of its own.
TAutoObjectRef WrapDispatch(IDispatch* object);

/// A value as an automation VARIANT. A host object becomes an IDispatch of its own (the
/// scripting context also answers IScriptingContext). Raises EAutoError for a value that
/// cannot be made.
TVariant ToVariant(const TAutoValue& value);
/// A VARIANT (by reference or not) as a value; raises EAutoError (DISP_E_BADVARTYPE) for
/// a type the script cannot hold.
TAutoValue FromVariant(const VARIANT& value);

}  // namespace quillet::host
