// The lifecycle of the objects a page creates.
#include "host/automation.h"

namespace quillet::host {

TAutoObjectRef TPageObjects::Create(const std::string& progId)
{
    TAutoObjectRef object = FProvider.CreateObject(progId);
    if (const std::optional<int32_t> start = object->FindMember("OnStartPage")) {
        std::vector<TAutoValue> args{TAutoValue(FContext)};
        object->Invoke(*start, TInvokeKind::ikMethod, args);
    }
    std::optional<int32_t> end;
    try {
        end = object->FindMember("OnEndPage");
    } catch (const Exception&) {
        // An object that cannot say whether it has OnEndPage is simply not ended.
    }
    FObjects.push_back({object, end});
    return object;
}

void TPageObjects::EndPage() noexcept
{
    for (auto it = FObjects.rbegin(); it != FObjects.rend(); ++it) {
        if (!it->EndId) continue;
        try {
            std::vector<TAutoValue> none;
            it->Object->Invoke(*it->EndId, TInvokeKind::ikMethod, none);
        } catch (const std::exception&) {
        }
    }
    // Released only now, the last created first, once every object has ended.
    while (!FObjects.empty()) FObjects.pop_back();
    FContext.reset();
}

}  // namespace quillet::host
