// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// Controlling a running dornelman from another machine: the control key written through the
// remote registry and the control code sent through "dornelsc --machine", over a real sshd
// on loopback whose sessions use the server's root, reach the server and its box as they do
// locally; failures come back with the local exit codes and reasons.

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/src/Protocol.h"
#include "tests/fixtures/ssh/sshserver.h"
#include "tests/integration/server/scriptedbox.h"
#include "tests/integration/server/serverharness.h"

namespace sessiontest {
namespace {

TEST(RemoteControlTest, ControlCodesThroughTheMachineReachTheRunningServer) {
    ServerHarness server;
    ScriptedBox box(BoxAddress(0));
    BoxSetup setup;
    setup.address = box.address();
    ASSERT_TRUE(server.Configure({setup}));
    dorneltest::SshServer sshd(server.binDir(), server.root());
    ASSERT_TRUE(sshd.Running()) << sshd.Log();
    ::setenv("DORNEL_SSH", sshd.SshCommand().c_str(), 1);
    const std::string host = sshd.Host();
    // The administrator's machine: a root of its own with no registry and no services, so
    // whatever the tools report comes from over there.
    const std::string adminRoot = server.root() + "/administrator";
    std::filesystem::create_directories(adminRoot);
    const auto Far = [&](const std::string& tool, const std::vector<std::string>& args) {
        return server.ToolElsewhere(adminRoot, tool, args);
    };

    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(box.WaitForType(PKT_SETTINGS, 15s, 1));
    const ToolResult local = server.Tool("dornelsc", {"query", "dornelman"});
    const ToolResult far = Far("dornelsc", {"--machine", host, "query", "dornelman"});
    EXPECT_EQ(far.status, 0) << far.output;
    EXPECT_EQ(far.output, local.output);
    EXPECT_NE(far.output.find("RUNNING"), std::string::npos) << far.output;

    // Reconfigure box 0, as the applet does: the control key, then code 131.
    const ToolResult key =
        Far("dornelreg",
            {"--machine", host, "add", "HKLM\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Control", "/v",
             "Control", "/t", "REG_BINARY", "/d", "00000000", "/f"});
    ASSERT_EQ(key.status, 0) << key.output;
    const ToolResult control = Far("dornelsc", {"--machine", host, "control", "dornelman", "131"});
    EXPECT_EQ(control.status, 0) << control.output;
    EXPECT_TRUE(server.WaitForRecord(0, kReconfigureRequest, {}, 15s));
    EXPECT_TRUE(box.WaitForType(PKT_SETTINGS, 15s, 1, 2)) << "the box was sent its settings again";
    EXPECT_FALSE(server.ControlKeyExists()) << "the server took the key";

    // Take it off line with the other form of the name.
    ASSERT_EQ(Far("dornelreg",
                  {"\\\\" + host, "add", "HKLM\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Control",
                   "/v", "Control", "/t", "REG_BINARY", "/d", "00000000", "/f"})
                  .status,
              0);
    EXPECT_EQ(Far("dornelsc", {"\\\\" + host, "control", "dornelman", "129"}).status, 0);
    EXPECT_TRUE(server.WaitForRecord(0, kOfflineRequest, {}, 15s));
    EXPECT_TRUE(box.WaitForType(PKT_OFFLINE, 15s));

    // Refusals come back as they do locally.
    ToolResult missing = Far("dornelsc", {"--machine", host, "query", "nosuchservice"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("not installed"), std::string::npos) << missing.output;
    ToolResult usage = Far("dornelsc", {"--machine", host, "control", "dornelman", "0"});
    EXPECT_EQ(usage.status, 2);
    ToolResult unreachable = Far("dornelsc", {"--machine", host + ":1", "query", "dornelman"});
    EXPECT_EQ(unreachable.status, 1);
    EXPECT_NE(unreachable.output.find("Connection refused"), std::string::npos)
        << unreachable.output;

    // The box overview comes from over there as it does here: the report is forwarded.
    const ToolResult localBoxes = server.Tool("dornelsc", {"boxes", "dornelman", "--json"});
    const ToolResult farBoxes =
        Far("dornelsc", {"--machine", host, "boxes", "dornelman", "--json"});
    EXPECT_EQ(farBoxes.status, 0) << farBoxes.output;
    EXPECT_EQ(farBoxes.output, localBoxes.output);
    EXPECT_NE(farBoxes.output.find("\"held_off_line\": true"), std::string::npos)
        << farBoxes.output;

    // Stopped from over there: the stop waits for the remote state, not a local process.
    const ToolResult stop = Far("dornelsc", {"--machine", host, "stop", "dornelman"});
    EXPECT_EQ(stop.status, 0) << stop.output;
    EXPECT_NE(stop.output.find("STOPPED"), std::string::npos) << stop.output;
    server.StoppedElsewhere();
    EXPECT_NE(server.Tool("dornelsc", {"query", "dornelman"}).output.find("STOPPED"),
              std::string::npos);
    ToolResult again = Far("dornelsc", {"--machine", host, "stop", "dornelman"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.output.find("not running"), std::string::npos) << again.output;
    ToolResult noOverview = Far("dornelsc", {"--machine", host, "boxes", "dornelman"});
    EXPECT_EQ(noOverview.status, 1);
    EXPECT_NE(noOverview.output.find("not running"), std::string::npos) << noOverview.output;

    // The control is refused with the local reason.
    ToolResult refused = Far("dornelsc", {"--machine", host, "control", "dornelman", "131"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("not running"), std::string::npos) << refused.output;
    ::unsetenv("DORNEL_SSH");
}

}  // namespace
}  // namespace sessiontest
