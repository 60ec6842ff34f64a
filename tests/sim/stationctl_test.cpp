#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "fennick_app.h"
#include "fw_install.h"

namespace {

TEST(StationctlFwInstall, HandOverIsAnsweredOnceAfterTheDelayUnlessTarnetGaveUp) {
    auto app = std::make_unique<fennick::FennickApp>();
    std::memset(app.get(), 0, sizeof *app);
    stationctl::FwInstaller installer(2, 1000);
    EXPECT_FALSE(installer.Serve(*app, 0));  // nothing handed over
    app->fwInstallState = 1;
    EXPECT_FALSE(installer.Serve(*app, 5000));
    EXPECT_FALSE(installer.Serve(*app, 5999));
    EXPECT_TRUE(installer.Serve(*app, 6000));
    EXPECT_EQ(app->fwInstallState, 2);
    EXPECT_FALSE(installer.Serve(*app, 9000));
    EXPECT_EQ(app->fwInstallState, 2);

    stationctl::FwInstaller failing(3, 1000);
    app->fwInstallState = 1;
    EXPECT_FALSE(failing.Serve(*app, 10000));
    app->fwInstallState = 3;  // Tarnet's time ran out first
    EXPECT_FALSE(failing.Serve(*app, 11000));
    app->fwInstallState = 1;  // a new update: a new wait
    EXPECT_FALSE(failing.Serve(*app, 11500));
    EXPECT_TRUE(failing.Serve(*app, 12500));
    EXPECT_EQ(app->fwInstallState, 3);
}

}  // namespace
