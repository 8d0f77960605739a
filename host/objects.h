// Server.CreateObject's source of objects: the program id looked up in the registry, the
// library loaded, its class factory asked for an object, and the object reached through
// IDispatch by name.
#pragma once

#include "host/automation.h"

namespace quillet::host {

/// Creates objects of the classes registered in the registry.
class TRegistryObjectProvider : public IObjectProvider {
public:
    TAutoObjectRef CreateObject(const std::string& progId) override;
};

/// The message for a program id that the registry does not know.
std::string NotRegisteredMessage(const std::string& progId);

}  // namespace quillet::host
