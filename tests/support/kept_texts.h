// Texts that keep their historical spelling on purpose: the box's services, the peers and the
// applications' log watchers match on them, so they are not slips and are never corrected. Each is
// asserted byte-exact where the library produces it (grep for kept::). The D-Bus names of this kind
// (GpsOrignalUpdate, GpsParseredUpdate, GetEcallStatue...) are pinned by tests/data/catalogue.txt.
#pragma once

namespace tbox::test::kept {

// upgrade task client (upgrade_test.cpp)
inline constexpr char kStartSuccessed[] = "upgrade start successed\n";
inline constexpr char kStatusFailue[] = "upgrade failue : ";  // followed by the status
inline constexpr char kLimitFailue[] = "upgrade failue:has not successed after 180s";
inline constexpr char kPathFailue[] = "upgrade failue : package path is not UTF-8\n";
inline constexpr char kNoReplyFailue[] = "upgrade failue : server not return ";
inline constexpr char kHaveInited[] = "BindUpgradeTask have inited\n";
inline constexpr char kBindedPid[] = "Error:CheckBindedPid fail!\n[";  // followed by the service's error
// upgrade configuration channel (queue_test.cpp)
inline constexpr char kConfigNotOpen[] = "Upgrade ConfigQueue not Open,Please Call InitUpgradeConfigClient\n";
// platform-service clients (clients_test.cpp)
inline constexpr char kNetWorkChange[] = "NetWork Change Callback:[0]\n";
inline constexpr char kNetSucces[] = "[NET] init dbus proxy succes! \n";
inline constexpr char kWifiSucces[] = "enable wifi succes\n";
inline constexpr char kPmStateFinsh[] = "ModuleName[nav] PM StateChanged CallBack Finsh\n";
inline constexpr char kGsensorFinsh[] = "PM Gsensor WakeUp CallBack Finsh\n";

}  // namespace tbox::test::kept
