// The Lumexa type library: its identifiers, the dispatch ids, the IQuillet interface in
// slot order and the library's description as data.
#pragma once

#include "platform/com/interfaces.h"
#include "platform/com/typeinfo.h"

namespace quillet {

inline constexpr GUID LIBID_Lumexa = {0x6FE3A3E2, 0x7202, 0x47DB, {0xAD, 0x24, 0x40, 0x3F, 0x63, 0x18, 0xDE, 0x22}};
inline constexpr IID IID_IQuillet = {0xEC51502B, 0xBFBA, 0x436D, {0x82, 0xDA, 0xE0, 0x10, 0x6F, 0xF3, 0x63, 0x76}};
inline constexpr CLSID CLASS_Quillet = {0x87B9124E, 0x0A30, 0x4B1E, {0x8F, 0xA9, 0x1E, 0x14, 0x10, 0x93, 0xEE, 0x32}};

inline constexpr uint16_t LumexaMajorVersion = 1;
inline constexpr uint16_t LumexaMinorVersion = 0;

// Dispatch ids of IQuillet (4, 6 and 8 are not used).
enum : DISPID {
    DISPID_OnStartPage = 1,
    DISPID_OnEndPage = 2,
    DISPID_FilePath = 3,
    DISPID_ExtName = 5,
    DISPID_FileName = 7,
    DISPID_Request = 9,
    DISPID_CopyRight = 10,
    DISPID_Width = 11,
    DISPID_Height = 12,
    DISPID_LoadImage = 13,
    DISPID_SetSize = 14,
    DISPID_SaveImage = 15,
};

/// Dispatch interface for Quillet Object. Slots 0-2 are IUnknown's, 3-6 IDispatch's; the
/// members follow from slot 7. Each returns an HRESULT; a member's result is its last,
/// out argument.
class IQuillet : public IDispatch {
public:
    virtual HRESULT OnStartPage(IUnknown* AScriptingContext) = 0;             // 7
    virtual HRESULT OnEndPage() = 0;                                           // 8
    virtual HRESULT get_FilePath(VARIANT* Value) = 0;                          // 9
    virtual HRESULT put_FilePath(VARIANT Value) = 0;                           // 10
    virtual HRESULT ExtName(VARIANT TagName, VARIANT* Value) = 0;              // 11
    virtual HRESULT FileName(VARIANT TagName, VARIANT* Value) = 0;             // 12
    virtual HRESULT Request(VARIANT TagName, VARIANT* Value) = 0;              // 13
    virtual HRESULT get_CopyRight(VARIANT* Value) = 0;                         // 14
    virtual HRESULT get_Width(VARIANT* Value) = 0;                             // 15
    virtual HRESULT get_Height(VARIANT* Value) = 0;                            // 16
    virtual HRESULT LoadImage(VARIANT TagName, VARIANT* Value) = 0;            // 17
    virtual HRESULT SetSize(VARIANT Width, VARIANT Height, VARIANT* Value) = 0;  // 18
    virtual HRESULT SaveImage(VARIANT FileName, VARIANT* Value) = 0;           // 19

protected:
    ~IQuillet() = default;
};

/// The library "Lumexa": help string "Lumexa Image ReSize", version 1.0, locale 0x409.
extern const TTypeLibDesc LumexaLibrary;
/// Interface IQuillet: dual, automation-compatible, dispatchable.
extern const TTypeDesc IQuilletType;
/// Class Quillet: creatable, with IQuillet as its one and default interface.
extern const TTypeDesc QuilletClass;

}  // namespace quillet
