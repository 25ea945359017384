// The five UI extension points of the browser window: the manifest key that describes each, its
// fixed identifier, and the name click payloads use for it. Constant data: safe from any thread.
#pragma once

namespace Logic {

inline constexpr char16_t kToolbarPointId[] = u"185A0831-E83A-4a49-A9FE-2632A7D59888";
inline constexpr char16_t kAddressBarPointId[] = u"92D6A738-C5CA-44a0-8020-D01149618D60";
inline constexpr char16_t kAppBarPointId[] = u"8CC9336E-AD56-4cb8-8EC1-59BF6962AB6B";
inline constexpr char16_t kSmartBarPointId[] = u"ECD4176C-0C37-431e-852D-CAB14F9F2336";
inline constexpr char16_t kSideBarPointId[] = u"0FE0820D-0A73-423b-A3EC-771BF44C3748";

struct UIExtPoint {
  const char16_t* manifest_key;
  const char16_t* identifier;
  const char16_t* payload_name;  // in click payloads; the application bar is "appui"
};

// In the order in which an extension's description lists them.
inline constexpr UIExtPoint kUIExtPoints[] = {
    {u"toolbarui", kToolbarPointId, u"toolbarui"},
    {u"addressui", kAddressBarPointId, u"addressui"},
    {u"appbarui", kAppBarPointId, u"appui"},
    {u"smartbarui", kSmartBarPointId, u"smartbarui"},
    {u"sidebarui", kSideBarPointId, u"sidebarui"},
};

}  // namespace Logic
