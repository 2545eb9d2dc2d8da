// The box's platform services as fakes made of our own skeletons, by short name: x is ky.<x> at /ky/<x>
// (at, gnss, param, net, wifi, pm, gbreal, update). With no handler set, each answers every call with
// GIO's UnknownMethod error.
#pragma once

#include <tbox/at_gdbus.h>
#include <tbox/gb_gdbus.h>
#include <tbox/gnss_gdbus.h>
#include <tbox/net_gdbus.h>
#include <tbox/param_gdbus.h>
#include <tbox/pm_gdbus.h>
#include <tbox/upgrade_gdbus.h>
#include <tbox/wifi_gdbus.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_service.h"

namespace tbox::test {

inline gpointer (*skeleton_of(const std::string &x))() {
    static const std::map<std::string, gpointer (*)()> skeletons = {
        {"at", [] { return gpointer(ky_at_skeleton_new()); }},
        {"gnss", [] { return gpointer(ky_gnss_skeleton_new()); }},
        {"param", [] { return gpointer(ky_param_skeleton_new()); }},
        {"net", [] { return gpointer(ky_net_skeleton_new()); }},
        {"wifi", [] { return gpointer(ky_wifi_skeleton_new()); }},
        {"pm", [] { return gpointer(ky_pm_skeleton_new()); }},
        {"gbreal", [] { return gpointer(ky_gbreal_skeleton_new()); }},
        {"update", [] { return gpointer(ky_update_skeleton_new()); }},
    };
    return skeletons.at(x);
}

inline FakeService fake(const std::string &x) {
    return FakeService("ky." + x, "/ky/" + x, skeleton_of(x));
}

// One fake of each named service, all alive together; every service when no names are given.
class BoxFakes {
public:
    explicit BoxFakes(const std::vector<std::string> &names = {"at", "gnss", "param", "net", "wifi", "pm", "gbreal",
                                                               "update"}) {
        for (const auto &x : names) services_[x] = std::make_unique<FakeService>("ky." + x, "/ky/" + x, skeleton_of(x));
    }
    FakeService &operator[](const std::string &x) const { return *services_.at(x); }

private:
    std::map<std::string, std::unique_ptr<FakeService>> services_;
};

}  // namespace tbox::test
