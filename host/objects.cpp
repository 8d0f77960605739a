// Objects by program id.
#include "host/objects.h"

namespace quillet::host {

std::string NotRegisteredMessage(const std::string& progId)
{
    return "The program id '" + progId +
           "' is not registered; run 'quillet register' to register the component";
}

TAutoObjectRef TRegistryObjectProvider::CreateObject(const std::string& progId)
{
    throw EAutoError(kClassNotRegistered, "Server.CreateObject", NotRegisteredMessage(progId));
}

}  // namespace quillet::host
