// The box as the upgrade tests need it: the box's own /oemdata (an empty tmpfs in this process's private
// mount namespace, so the built library's fixed paths are used for real) and a ky.update service on the
// private test bus that the upgrade client is initialised against.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "support/fake_service.h"
#include "support/private_mount.h"
#include "tbox/upgrade.h"
#include "tbox/upgrade_gdbus.h"

namespace tbox::test {

class UpgradeBox : public ::testing::Test {
protected:
    static constexpr const char *kVersionFile = "/oemdata/upgrade/version.txt";
    static constexpr const char *kPackageVersionFile = "/oemdata/upgrade/upgradepkg/version.txt";
    static constexpr const char *kOldPackage = "/oemdata/upgrade/old_upgrade.tgz";

    void SetUp() override {
        if (std::string(TBOX_DATA_ROOT) != "/oemdata") GTEST_SKIP() << "data root moved to " << TBOX_DATA_ROOT;
        const std::string refused = private_tmpfs("/oemdata");  // before the bus starts any thread
        if (!refused.empty()) GTEST_SKIP() << refused;
        ASSERT_EQ(mkdir("/oemdata/upgrade", 0755), 0);
        ASSERT_EQ(mkdir("/oemdata/upgrade/upgradepkg", 0755), 0);
        service =
            std::make_unique<FakeService>("ky.update", "/ky/update", [] { return gpointer(ky_update_skeleton_new()); });
        ASSERT_EQ(InitUpgradeClient(), 0);
    }
    std::unique_ptr<FakeService> service;
};

}  // namespace tbox::test
